// Quantisation for the quality mode.
//
// The mean noise-to-mask ratio over bands is what a listener's ear adds up,
// so the bits go where they lower it most: every band gets the same
// allowance relative to its masking threshold. A band's step is first
// estimated from that allowance (uniform quantisation noise is step^2 / 12
// per line), started two quarter-powers coarser (sparse bands make less
// noise than the estimate) and refined until the band's squared error fits.
// The global gain is the coarsest step any band wants, so no band is forced
// finer than its allowance by the gain, which the presets tie to the peak.
#include "encoder/quality_policy.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "encoder/psychoacoustic_model.h"
#include "encoder/quality_mask.h"

namespace qmz {
namespace {

constexpr int kMinGain = 12;
// The finest step a decoder has, 2^0: a scalefactor above the global gain
// makes a stream every decoder refuses.
constexpr int kFinestStep = 0;
constexpr int kMaxGain = 139;
constexpr int kMaxScalefactor = 89;
constexpr int kMaxLineValue = 1023;
// Rounding below one half favours the smaller magnitude: fewer bits for
// a little more noise, which the step search then makes up (0.3 measured
// better than the presets' 0.405).
constexpr double kRoundingOffset = 0.3;
constexpr double kInputMagnitudeLimit = 1e10;
constexpr double kTonalityNoiseLimit = 0.1;
constexpr double kLoudestNoiseLevel = 20.0;
constexpr int kStartCoarser = 2;  // quarter-powers of two above the estimate
// Scalefactors and the global gain move in whole powers of two: the
// adaptive code spends far less on scalefactors drawn from 23 values than
// from 90, which paid for the coarser fit to each band's allowance.
constexpr int kStepGrid = 4;
// Mean rates of the tuning music at the two ends of the quality scale.
constexpr double kRateAtQualityZero = 38.0;
constexpr double kRateAtQualityTen = 351.0;

// Step 2^(index / 4) for the step indices a gain and scalefactor can make.
constexpr int kStepIndexMin = kMinGain - kMaxScalefactor;
constexpr int kStepCount = kMaxGain - kStepIndexMin + 1;

struct Steps {
    std::array<double, kStepCount> step, inverse;
};

const Steps& steps() {
    static const Steps table = [] {
        Steps t{};
        for (int i = 0; i < kStepCount; ++i) {
            t.step[i] = std::pow(2.0, (i + kStepIndexMin) * 0.25);
            t.inverse[i] = 1.0 / t.step[i];
        }
        return t;
    }();
    return table;
}

// Squared error of lines a..b-1 at step index `index`, lines written to q.
double quantiseBand(const double* absX, int32_t* q, int a, int b, int index) {
    const double step = steps().step[index - kStepIndexMin];
    const double inv = steps().inverse[index - kStepIndexMin];
    double error = 0.0;
    for (int k = a; k < b; ++k) {
        const double v = absX[k] * inv + kRoundingOffset;
        const int32_t line = v >= kMaxLineValue ? kMaxLineValue : static_cast<int32_t>(v);
        q[k] = line;
        const double e = absX[k] - line * step;
        error += e * e;
    }
    return error;
}

// The lowest step index at which no line of the band exceeds 1023.
int clipFreeIndex(double bandPeak) {
    const double ratio = bandPeak / (kMaxLineValue + 1.0 - kRoundingOffset);
    if (!(ratio > 0.0)) return kStepIndexMin;
    return static_cast<int>(std::ceil(4.0 * std::log2(ratio)));
}

int noiseLevel(double energy, int width) {
    const double w = 4.0 * std::log10(std::sqrt(energy / width));
    if (!(w >= 2.0)) return 1;
    if (w >= 20.0) return 20;
    return static_cast<int>(w);
}

}  // namespace

QualityTuning qualityTuningOf(double quality) {
    const double q = std::clamp(quality, kMinQuality, kMaxRateControlQuality);
    QualityTuning t{};
    // Measured on the tuning music with bench/quality: the rate rises
    // steeply while the allowance comes down to the signal's own level and
    // slowly below it, hence two slopes (quality 0, 5 and 10 give about 38,
    // 130 and 351 kbit/s). A tilt of the allowance towards bands wide in
    // lines lost at every rate; tonal bands paid for 6 dB more
    // signal-to-noise; a narrower band than 15 kHz never paid.
    const double offsetDb = q <= 5.0 ? -2.24 * q : -11.2 - 4.0 * (q - 5.0);
    t.noiseScale = std::pow(10.0, offsetDb / 10.0);
    t.tonalDb = 6.0;
    // Beyond quality 10 (the rate control's reach only) the threshold in
    // quiet comes down too: a sparse file has nothing else left to spend on.
    t.quietScale = q <= 10.0 ? 1.0 : std::pow(10.0, -0.5 * (q - 10.0));
    t.longLines = std::clamp(static_cast<int>(600 + 66 * q), 0, kLongCodedLines);
    return t;
}

double initialQualityForRate(int kbps) {
    // log(rate) grows about linearly with the quality; the two ends come
    // from the tuning music.
    const double lowRate = kRateAtQualityZero, highRate = kRateAtQualityTen;
    const double q = 10.0 * std::log(kbps / lowRate) / std::log(highRate / lowRate);
    return std::clamp(q, kMinQuality, kMaxQuality);
}

double searchQualityForRate(int kbps, const std::function<double(double)>& rateAt) {
    constexpr double kTolerance = 0.015;
    constexpr int kMaxPasses = 8;
    const double target = std::log(static_cast<double>(kbps));
    double q0 = initialQualityForRate(kbps);
    double l0 = std::log(std::max(rateAt(q0), 1e-3));
    double best = q0, bestMiss = std::fabs(l0 - target);
    // The qualities known to lie below and above the rate: the secant's
    // step is kept between them and bisects where it would leave them (the
    // rate jumps where bands start or stop being coded).
    double low = kMinQuality, high = kMaxRateControlQuality;
    (l0 < target ? low : high) = q0;
    // The slope between the two ends, until two passes give their own.
    double slope = std::log(kRateAtQualityTen / kRateAtQualityZero) / 10.0;
    for (int pass = 1; pass < kMaxPasses && bestMiss > kTolerance; ++pass) {
        double q1 = q0 + (target - l0) / slope;
        if (!(q1 > low && q1 < high)) q1 = 0.5 * (low + high);
        if (q1 == q0) break;  // at an end, and the rate lies beyond it
        const double l1 = std::log(std::max(rateAt(q1), 1e-3));
        if (std::fabs(l1 - target) < bestMiss) {
            best = q1;
            bestMiss = std::fabs(l1 - target);
        }
        (l1 < target ? low : high) = q1;
        const double measured = (l1 - l0) / (q1 - q0);
        if (measured > 1e-3) slope = measured;  // the rate grows with the quality
        q0 = q1;
        l0 = l1;
    }
    return best;
}

bool prefersMidSide(double sumEnergy, double differenceEnergy) {
    // 12 dB apart: on the tuning music every file whose channels' sum and
    // difference lay further apart (15 to over 100 dB) gained 0.2 to 9 dB
    // of mean NMR with mid and side, those 5 to 11 dB apart lost up to 2 dB
    // or stayed.
    constexpr double kApart = 0.0630957;  // -12 dB
    return differenceEnergy < kApart * sumEnergy || sumEnergy < kApart * differenceEnergy;
}

PresetParams qualityModeModel(bool midSide) {
    // The -A model: flat floor, short blocks allowed. A rise in energy
    // alone asks for them only from 25 dB within a frame: rises of 15-25 dB
    // without the entropy of a real attack cost more in short blocks'
    // bits than their pre-echo costs (0.2-0.5 dB on the tuning music).
    // A single band rising by 35 dB asks for them too: the high bands'
    // onsets under louder low ones gave the worst frames of the quality
    // mode's music. Bars from 30 to 40 dB gained 0.15-0.2 dB on the tuning
    // music, 25 dB less, 15 dB lost 0.9 dB.
    PresetParams p{};
    p.attackRatioAlone = 300.0;
    p.bandOnsetRatio = 3000.0;
    p.midSide = midSide ? 1 : 0;
    return p;
}

void QualityPolicy::quantise(QuantizerState&, const BlockToQuantize& block, QuantizedBlock& out,
                             QuantizerEventSink*) const {
    const bool isLong = block.shape == BlockShape::Long;
    const int bandCount = isLong ? kLongBandCount : kShortBandCount;
    const int* edges = isLong ? longBandEdges.data() : shortBandEdges.data();
    const int lineLimit = isLong ? tuning_.longLines : tuning_.longLines / kShortBlocksPerFrame;

    std::array<double, kLongCodedLines> absX{};
    std::array<int32_t, kLongCodedLines> q{};
    std::array<double, kLongBandCount> energy{}, allowed{};
    std::array<int, kLongBandCount> index{};
    int bands = 0;
    while (bands < bandCount && edges[bands + 1] <= lineLimit) ++bands;

    for (int s = 0; s < bands; ++s) {
        double e = 0.0;
        for (int k = edges[s]; k < edges[s + 1]; ++k) {
            const double m = std::fabs(block.lines[k]);
            const double x = m <= kInputMagnitudeLimit
                                 ? m
                                 : (m > kInputMagnitudeLimit ? kInputMagnitudeLimit : 0.0);
            absX[k] = x;
            e += x * x;
        }
        energy[s] = e;
    }
    allowedNoise(tuning_, isLong, energy.data(), block.unpredictability, bands, allowed.data());

    int gain = kMinGain;
    for (int s = 0; s < bands; ++s) {
        double e = energy[s], peak = 0.0;
        for (int k = edges[s]; k < edges[s + 1]; ++k) peak = std::max(peak, absX[k]);
        const int width = edges[s + 1] - edges[s];
        // A band louder than the loudest noise band the stream can carry
        // is coded, however much noise the quality allows.
        if (4.0 * std::log10(std::sqrt(e / width)) >= kLoudestNoiseLevel)
            allowed[s] = std::min(allowed[s], 0.25 * e);
        if (!(allowed[s] < e)) {
            index[s] = kMaxGain + 1;  // the band goes as zeros
            continue;
        }
        const double step = std::sqrt(12.0 * allowed[s] / width);
        int i = static_cast<int>(std::floor(4.0 * std::log2(step))) + kStartCoarser;
        i = std::clamp(std::max(i, clipFreeIndex(peak)), kFinestStep, kMaxGain);
        index[s] = i;
        gain = std::max(gain, i);
    }

    gain = std::min((gain + kStepGrid - 1) / kStepGrid * kStepGrid, kMaxGain);
    out.globalGain = gain;
    for (int s = 0; s < bands; ++s) {
        const int a = edges[s], b = edges[s + 1];
        if (index[s] > kMaxGain) {
            out.scalefactors[s] = 0;
            continue;
        }
        constexpr int grid = kStepGrid;
        double peak = 0.0;
        for (int k = a; k < b; ++k) peak = std::max(peak, absX[k]);
        // Neither past the step at which a line would clip nor past the
        // finest step: the scalefactor never exceeds the gain.
        const int clipLimit =
            std::clamp(gain - std::max(clipFreeIndex(peak), kFinestStep), 0, kMaxScalefactor) /
            grid * grid;
        int sf = std::min(std::clamp(gain - index[s], 0, kMaxScalefactor) / grid * grid, clipLimit);
        while (quantiseBand(absX.data(), q.data(), a, b, gain - sf) > allowed[s] &&
               sf + grid <= clipLimit)
            sf += grid;
        out.scalefactors[s] = sf;
    }
    for (int s = bands; s < bandCount; ++s) out.scalefactors[s] = 0;

    // Bands left without lines that sound like noise are filled with noise
    // by the decoder, at their level.
    const int firstNoiseBand = isLong ? 8 : 4;
    for (int s = firstNoiseBand; s < bands; ++s) {
        int32_t any = 0;
        for (int k = edges[s]; k < edges[s + 1]; ++k) any |= q[k];
        if (any == 0 && tonalityIndex(block.unpredictability[s]) < kTonalityNoiseLimit)
            out.scalefactors[s] = kNoiseBandBase + noiseLevel(energy[s], edges[s + 1] - edges[s]);
    }

    const int codedLines = isLong ? kLongCodedLines : kShortCodedLines;
    for (int k = 0; k < codedLines; ++k) out.lines[k] = block.lines[k] < 0 ? -q[k] : q[k];
    for (int k = codedLines; k < kLongCodedLines; ++k) out.lines[k] = 0;
    for (int s = bandCount; s < kLongBandCount; ++s) out.scalefactors[s] = 0;
}

}  // namespace qmz
