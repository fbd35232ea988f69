// Quantiser and scalefactor search.
//
// The global gain puts the block's peak near 2^(gainOffset / 4) quantiser
// steps. Each band then starts at scalefactor 0 (the coarsest step) and
// refines by a quarter power of two at a time; a pass over the band stops as
// soon as its squared error exceeds the allowance, so coarse attempts on a
// loud band cost only a few lines. Rounding adds 0.405465108 before
// truncation: slightly below one half, which favours the smaller magnitude.
//
// A line that would exceed 1023 cannot be coded. The band then restarts at
// scalefactor 0 with its allowance raised by a quarter; since the clip
// happened at some scalefactor, the restarted search always ends below it
// with a complete pass and every line within +-1023.
#include "encoder/quantizer.h"

#include <algorithm>
#include <cmath>

#include "common/cpu_features.h"
#include "common/simd_lanes.h"
#include "encoder/psychoacoustic_model.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qmz {
namespace {

constexpr int kScalefactorSearchEnd = 90;  // the search stops before reaching this
constexpr int kMinGain = 12;
constexpr int kMaxGain = 139;
constexpr int kMaxLineValue = 1023;
constexpr double kRoundingOffset = 0.405465108;
constexpr double kInputMagnitudeLimit = 1e10;  // larger MDCT lines are taken as this
constexpr double kTonalityNoiseLimit = 0.1;

// Steps 2^(i / 4) for i = kMinGain - (kScalefactorSearchEnd - 1) .. kMaxGain, and
// their reciprocals 1 / step (the same division a pass would make). Only
// indices 9..139 occur for 16-bit input; the lower ones keep any gain and
// scalefactor pair inside the table.
constexpr int kStepIndexMin = kMinGain - (kScalefactorSearchEnd - 1);
constexpr int kStepCount = kMaxGain - kStepIndexMin + 1;

struct StepTable {
    std::array<double, kStepCount> step;
    std::array<double, kStepCount> inverse;
};

const StepTable& stepTable() {
    static const StepTable table = [] {
        StepTable t{};
        for (int i = 0; i < kStepCount; ++i) {
            t.step[i] = std::pow(2.0, (i + kStepIndexMin) * 0.25);
            t.inverse[i] = 1.0 / t.step[i];
        }
        return t;
    }();
    return table;
}

void report(QuantizerEventSink* sink, QuantizerEvent event) {
    if (sink != nullptr) sink->onQuantizerEvent(event);
}

// One pass over lines a..b-1 at the given step (inv = 1 / step). Returns the
// squared error accumulated up to the stopping point, or sets clipped when a
// line would exceed 1023 (that line is stored as 1023).
//
// V::kWidth lines at a time, their quotients, truncations and errors side by
// side (see common/simd_lanes.h); the error is still summed line by line, in
// order, and checked after each line, so the sum, the stopping point and the
// lines written are those of one line at a time. A group with a clipping
// line is left to the single-line steps. V is chosen once per block.
template <class V>
double quantizePass(const double* absX, int32_t* q, int a, int b, double step, double inv,
                    double allowance, bool& clipped) {
    double d = 0.0;
    clipped = false;
    int k = a;
    if constexpr (V::kWidth > 1) {
        const V vInv = V::broadcast(inv), vStep = V::broadcast(step);
        const V offset = V::broadcast(kRoundingOffset);
        const V clip = V::broadcast(kMaxLineValue + 1.0);
        for (; k + V::kWidth <= b; k += V::kWidth) {
            const V x = V::load(absX + k);
            const V v = x * vInv + offset;
            if (anyTrue(v >= clip)) break;
            const auto lines = truncatedInt32(v);
            const V err = x - fromInt32(lines) * vStep;
            const V squared = err * err;
            for (int i = 0; i < V::kWidth; ++i) {
                q[k + i] = int32Lane(lines, i);
                d += laneAt(squared, i);
                if (d > allowance) return d;
            }
        }
    }
    for (; k < b; ++k) {
        const double v = absX[k] * inv + kRoundingOffset;
        if (v >= kMaxLineValue + 1.0) {  // trunc(v) > 1023
            q[k] = kMaxLineValue;
            clipped = true;
            return d;
        }
        q[k] = static_cast<int32_t>(v);
        const double err = absX[k] - static_cast<double>(q[k]) * step;
        d += err * err;
        if (d > allowance) return d;
    }
    return d;
}

// q[k] = -q[k] where x[k] < 0, without a branch on the sign (which
// mispredicts half the time): all ones negates, zero keeps. The SSE2 form
// takes four lines per step, two double registers' signs packed into one
// integer register; a form over the lane type would take two, and the
// compiler's own vectorisation of the scalar loop is slower still.
void applySigns(const double* x, int32_t* q, int count) {
    int k = 0;
#if defined(__SSE2__)
    if (useSse2()) {
        const __m128d zero = _mm_setzero_pd();
        for (; k + 4 <= count; k += 4) {
            const __m128d negativeLow = _mm_cmplt_pd(_mm_loadu_pd(x + k), zero);
            const __m128d negativeHigh = _mm_cmplt_pd(_mm_loadu_pd(x + k + 2), zero);
            // The low halves of the four 64-bit masks, as four 32-bit masks.
            const __m128i flip = _mm_castps_si128(_mm_shuffle_ps(
                _mm_castpd_ps(negativeLow), _mm_castpd_ps(negativeHigh), _MM_SHUFFLE(2, 0, 2, 0)));
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + k));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(q + k),
                             _mm_sub_epi32(_mm_xor_si128(v, flip), flip));
        }
    }
#endif
    for (; k < count; ++k) {
        const int32_t flip = -static_cast<int32_t>(x[k] < 0);
        q[k] = (q[k] ^ flip) - flip;
    }
}

// |x[k]| for the coded lines (larger ones taken as kInputMagnitudeLimit, a
// NaN as 0), and the largest of them and 10; count is a multiple of 4.
template <class V>
double magnitudes(const double* x, int count, double* absX) {
    const V limit = V::broadcast(kInputMagnitudeLimit), zero = V::broadcast(0.0);
    V peaks = V::broadcast(10.0);
    for (int k = 0; k < count; k += V::kWidth) {
        const V m = abs(V::load(x + k));
        const V clamped = keepWhere(m >= zero, min(limit, m));  // a NaN gives 0
        clamped.store(absX + k);
        peaks = max(peaks, clamped);
    }
    return largestLane(peaks);
}

// `complete` tells whether the last pass ran to the band's end.
template <class V>
int searchBand(const double* absX, double& allowance, int32_t* q, int gain, int a, int b,
               QuantizerEventSink* sink, bool& complete) {
    const auto& steps = stepTable();
    double limit = allowance;
    double d = 0.0;
    int sf = 0;
    for (;;) {
        bool clipped = false;
        const int index = gain - sf - kStepIndexMin;
        d = quantizePass<V>(absX, q, a, b, steps.step[index], steps.inverse[index], limit, clipped);
        if (clipped) {
            report(sink, QuantizerEvent::SoftClip);
            limit *= 1.25;
            sf = -1;
            d = limit + 1.0;
        }
        if (!(d > limit)) break;
        if (++sf >= kScalefactorSearchEnd) break;
    }
    allowance = limit;
    complete = !(d > limit) && sf >= 0;  // sf < 0: the last pass stopped at a clip
    if (d > limit) {
        report(sink, QuantizerEvent::QuantLimit);
        return kScalefactorSearchEnd - 1;
    }
    // Only an allowance that overflowed to infinity during soft clips ends here.
    return sf < 0 ? 0 : sf;
}

// Whether a band's tonality index is below the noise limit. The index only
// matters here, so only here is it worked out, and only near the limit:
// -0.299 - 0.43 ln y crosses 0.1 at y = 0.39538, and it is above 0.1005 up
// to y = 0.3949 and below 0.0995 from y = 0.3959 on, margins far beyond any
// rounding. (A NaN or non-positive y counts as tonal.)
bool noiseLike(double unpredictability) {
    if (unpredictability >= 0.3959) return true;
    if (!(unpredictability > 0.3949)) return false;
    return !(tonalityIndex(unpredictability) >= kTonalityNoiseLimit);
}

int noiseLevel(double energy, int width) {
    const double w = 4.0 * std::log10(std::sqrt(energy / width));
    if (!(w >= 2.0)) return 1;  // also no energy (-inf)
    if (w >= 20.0) return 20;
    return static_cast<int>(w);
}

}  // namespace

const char* quantizerEventText(QuantizerEvent event) {
    switch (event) {
        case QuantizerEvent::SoftClip:
            return "Soft clip\n";
        case QuantizerEvent::QuantLimit:
            return "Warning. Quant limit.\n";
    }
    return "";
}

namespace {

template <class V>
int searchBands(const double* absX, double* allowedNoise, int32_t* q, int32_t* scalefactors,
                int globalGain, const int* edges, int bandCount, QuantizerEventSink* sink) {
    int partial = 0;
    for (int s = 0; s < bandCount; ++s) {
        bool complete = true;
        scalefactors[s] = searchBand<V>(absX, allowedNoise[s], q, globalGain, edges[s],
                                        edges[s + 1], sink, complete);
        partial += complete ? 0 : 1;
    }
    return partial;
}

}  // namespace

int searchScalefactors(const double* absX, double* allowedNoise, int32_t* q, int32_t* scalefactors,
                       int globalGain, const int* edges, int bandCount, QuantizerEventSink* sink) {
    return useSse2() ? searchBands<F64x2>(absX, allowedNoise, q, scalefactors, globalGain, edges,
                                          bandCount, sink)
                     : searchBands<F64x1>(absX, allowedNoise, q, scalefactors, globalGain, edges,
                                          bandCount, sink);
}

void quantizeBlock(QuantizerState& state, const BlockToQuantize& block,
                   const QuantizerSettings& settings, QuantizedBlock& out,
                   QuantizerEventSink* sink) {
    const bool isLong = block.shape == BlockShape::Long;
    const int count = isLong ? kFrameLength : kShortBlockLength;
    const int bandCount = isLong ? kLongBandCount : kShortBandCount;
    const int codedLines = isLong ? kLongCodedLines : kShortCodedLines;
    const int* edges = isLong ? longBandEdges.data() : shortBandEdges.data();
    const double minNoisePerLine = isLong ? 1024.0 : 8.0;
    const double* x = block.lines;

    std::array<double, kLongCodedLines> absX;
    const double peak = useSse2() ? magnitudes<F64x2>(x, codedLines, absX.data())
                                  : magnitudes<F64x1>(x, codedLines, absX.data());

    std::array<double, kLongBandCount> energy;
    std::array<double, kLongBandCount> allowed;
    for (int s = 0; s < bandCount; ++s) {
        double e = 0.0;
        for (int k = edges[s]; k < edges[s + 1]; ++k) e += absX[k] * absX[k];
        energy[s] = e;
        double ratio = block.ratio[s];
        if (settings.ratioFloor > ratio) ratio = settings.ratioFloor;
        double a = settings.maskScale * e * ratio;
        const double minimum = minNoisePerLine * (edges[s + 1] - edges[s]);
        if (a < minimum) a = minimum;
        allowed[s] = a;
    }

    int gain = static_cast<int>(std::log(peak) * 5.768 + 0.5) - settings.gainOffset;
    if (gain < kMinGain) gain = kMinGain;
    if (gain > kMaxGain) gain = kMaxGain;

    int32_t* q = state.lines.data();
    out.globalGain = gain;
    state.partialBands += searchScalefactors(absX.data(), allowed.data(), q,
                                             out.scalefactors.data(), gain, edges, bandCount, sink);
    applySigns(x, q, count);

    const int firstNoiseBand = isLong ? 8 : 4;
    for (int s = firstNoiseBand; s < bandCount; ++s) {
        int32_t any = 0;  // a whole band's lines or-ed together: the loop vectorises
        for (int j = edges[s]; j < edges[s + 1]; ++j) any |= q[j];
        const bool silent = any == 0;
        if (silent && noiseLike(block.unpredictability[s]))
            out.scalefactors[s] = kNoiseBandBase + noiseLevel(energy[s], edges[s + 1] - edges[s]);
    }

    for (int k = 0; k < codedLines; ++k) out.lines[k] = q[k];
    for (int k = codedLines; k < kLongCodedLines; ++k) out.lines[k] = 0;
    for (int s = bandCount; s < kLongBandCount; ++s) out.scalefactors[s] = 0;
}

}  // namespace qmz
