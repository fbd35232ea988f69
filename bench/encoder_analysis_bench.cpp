// The encoder's perceptual core per frame and channel: the psychoacoustic
// analysis (one long and eight short FFT analyses, spreading, band results)
// and the quantiser (one long block, or eight short blocks).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "common/windows.h"
#include "encoder/psychoacoustic_model.h"
#include "encoder/quantizer.h"

namespace qmz {
namespace {

constexpr int kFrames = 16;

// Music-like: a few partials with vibrato-free decay, noise, and a click in
// one frame, on the 16-bit scale.
std::vector<double> musicLikeSignal() {
    std::vector<double> x((kFrames + 1) * kFrameLength);
    std::mt19937 rng(2024);
    std::normal_distribution<double> noise(0.0, 300.0);
    const double partials[] = {220.0, 440.0, 661.0, 1327.0, 2950.0, 5100.0};
    for (size_t n = 0; n < x.size(); ++n) {
        const double t = n / 44100.0;
        double v = noise(rng);
        for (int p = 0; p < 6; ++p)
            v += (6000.0 / (p + 1)) * std::sin(2.0 * std::numbers::pi * partials[p] * t);
        x[n] = v;
    }
    x[9 * kFrameLength + 300] += 20000.0;
    return x;
}

// Direct MDCT of 2M windowed samples (setup only).
void directMdct(const double* u, double* out, int m) {
    const int n = 2 * m;
    for (int k = 0; k < m; ++k) {
        double s = 0.0;
        for (int i = 0; i < n; ++i)
            s += u[i] * std::cos(2.0 * std::numbers::pi / n * (i + n / 4.0 + 0.5) * (k + 0.5));
        out[k] = 2.0 * s;
    }
}

void BM_PsyAnalyzeChannel(benchmark::State& bs) {
    const std::vector<double> x = musicLikeSignal();
    auto state = std::make_unique<PsyState>();
    PsyBandResults out{};
    psyInit();
    int frame = 0;
    for (auto _ : bs) {
        benchmark::DoNotOptimize(
            psyAnalyzeChannel(*state, x.data() + frame * kFrameLength, out, 0, PsyConfig{}));
        benchmark::ClobberMemory();
        frame = (frame + 1) % kFrames;
    }
}
BENCHMARK(BM_PsyAnalyzeChannel);

struct QuantizerInput {
    std::vector<double> longSpectrum, shortSpectrum;
    PsyBandResults psy{};
};

// One analysed frame of the signal: its long and short MDCT spectra and the
// model's results for it.
QuantizerInput quantizerInput() {
    const std::vector<double> x = musicLikeSignal();
    QuantizerInput in;
    auto state = std::make_unique<PsyState>();
    for (int f = 0; f <= 4; ++f)
        psyAnalyzeChannel(*state, x.data() + f * kFrameLength, in.psy, 0, PsyConfig{});
    const auto& w = windowTables();
    const double* block = x.data() + 3 * kFrameLength;  // frames 3 and 4
    std::vector<double> u(2048);
    for (int i = 0; i < 2048; ++i)
        u[i] = block[i] * (i < 1024 ? w.longWindow[i] : w.longWindow[2047 - i]);
    in.longSpectrum.resize(1024);
    directMdct(u.data(), in.longSpectrum.data(), 1024);
    in.shortSpectrum.resize(1024);
    for (int b = 0; b < 8; ++b) {
        for (int i = 0; i < 256; ++i)
            u[i] = block[448 + 128 * b + i] * (i < 128 ? w.shortWindow[i] : w.shortWindow[255 - i]);
        directMdct(u.data(), in.shortSpectrum.data() + 128 * b, 128);
    }
    return in;
}

void BM_QuantizeLongBlock(benchmark::State& bs) {
    QuantizerInput in = quantizerInput();
    QuantizerState state;
    QuantizedBlock out{};
    for (auto _ : bs) {
        quantizeBlock(state,
                      {BlockShape::Long, in.longSpectrum.data(), in.psy.longRatio.data(),
                       in.psy.longUnpredictability.data()},
                      QuantizerSettings{}, out, nullptr);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_QuantizeLongBlock);

void BM_QuantizeEightShortBlocks(benchmark::State& bs) {
    QuantizerInput in = quantizerInput();
    QuantizerState state;
    ChannelBlocks out{};
    for (auto _ : bs) {
        for (int j = 0; j < 8; ++j)
            quantizeBlock(state,
                          {BlockShape::Short, in.shortSpectrum.data() + 128 * j,
                           in.psy.shortRatio[j].data(), in.psy.shortUnpredictability[j].data()},
                          QuantizerSettings{}, out[j], nullptr);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_QuantizeEightShortBlocks);

}  // namespace
}  // namespace qmz
