// Signal-path transforms: fast MDCTs, real FFTs and a long synthesis frame,
// with a direct O(N^2) MDCT (cosines tabulated once) as the reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "common/fft.h"
#include "common/windows.h"
#include "decoder/synthesis.h"
#include "encoder/analysis.h"

namespace qmz {
namespace {

std::vector<double> randomData(int n) {
    std::mt19937 gen(1234);
    std::uniform_real_distribution<double> dist(-32768.0, 32768.0);
    std::vector<double> v(n);
    for (double& x : v) x = dist(gen);
    return v;
}

void BM_ForwardMdct(benchmark::State& state) {
    const BlockShape shape = state.range(0) == kFrameLength ? BlockShape::Long : BlockShape::Short;
    const int m = coefficientsOf(shape);
    const std::vector<double> in = randomData(2 * m);
    std::vector<double> out(m);
    for (auto _ : state) {
        forwardMdct(in.data(), out.data(), shape);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ForwardMdct)->Arg(1024)->Arg(128);

void BM_InverseMdct(benchmark::State& state) {
    const BlockShape shape = state.range(0) == kFrameLength ? BlockShape::Long : BlockShape::Short;
    const int m = coefficientsOf(shape);
    const std::vector<double> in = randomData(m);
    std::vector<double> out(2 * m);
    for (auto _ : state) {
        inverseMdct(in.data(), out.data(), shape);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_InverseMdct)->Arg(1024)->Arg(128);

void BM_RealFft(benchmark::State& state) {
    const int n = int(state.range(0));
    const std::vector<double> in = randomData(n);
    std::vector<double> a(n);
    // The input is restored each time (a copy of n doubles, included in the
    // figure) so that the magnitudes stay those of real audio.
    for (auto _ : state) {
        std::copy(in.begin(), in.end(), a.begin());
        realFft(n, a.data());
        benchmark::DoNotOptimize(a.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RealFft)->Arg(2048)->Arg(256);

void BM_SynthesizeChannelLong(benchmark::State& state) {
    const std::vector<double> spectrum = randomData(kFrameLength);
    std::vector<double> output(kFrameLength);
    OverlapBuffer overlap{};
    initWindows();
    for (auto _ : state) {
        synthesizeChannel(spectrum.data(), output.data(), overlap, BlockType::Long);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SynthesizeChannelLong);

// The cosine sum itself, with the kernel tabulated over 4N so that the timed
// loop evaluates no cosine either.
void BM_DirectMdct(benchmark::State& state) {
    const BlockShape shape = state.range(0) == kFrameLength ? BlockShape::Long : BlockShape::Short;
    const int m = coefficientsOf(shape);
    const int n = 2 * m;
    std::vector<double> table(4 * n);
    for (int i = 0; i < 4 * n; ++i) table[i] = std::cos(2.0 * std::numbers::pi * i / (4 * n));
    const std::vector<double> in = randomData(n);
    std::vector<double> out(m);
    for (auto _ : state) {
        for (int k = 0; k < m; ++k) {
            double sum = 0.0;
            for (int t = 0; t < n; ++t)
                sum += in[t] * table[((2 * t + m + 1) * (2 * k + 1)) % (4 * n)];
            out[k] = 2.0 * sum;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DirectMdct)->Arg(1024)->Arg(128);

}  // namespace
}  // namespace qmz
