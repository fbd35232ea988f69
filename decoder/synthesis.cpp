// Inverse MDCT through an N/4-point complex FFT, and overlap-add.
//
// The inverse transform is the transpose of the forward one: the M
// coefficients are folded into M/2 complex values with the twiddles
// exp(-i 2 pi (k + 1/8) / N), transformed with the positive exponent and
// unfolded into the N outputs, which carry the time-domain aliasing that the
// neighbouring frames' windowed halves cancel.
//
// The overlap buffer holds two half-frames: the lower one accumulates the
// samples this frame completes, the upper one receives this frame's tail,
// which then moves down (a long frame, the common case, writes its tail
// straight to the lower half). Every valid block type rewrites the whole
// upper half before reading it, so stale values never leak into later frames.
#include "decoder/synthesis.h"

#include <algorithm>

#include "common/fft.h"
#include "common/windows.h"

namespace qmz {
namespace {

// Folds the coefficients into M/2 complex values z (interleaved, M doubles).
void preTwiddle(const double* x, int m, const double* c, const double* s, double* z) {
    for (int k = 0; k < m / 2; ++k) {
        const double even = x[2 * k];
        const double odd = x[m - 1 - 2 * k];
        z[2 * k] = -even * c[k] - odd * s[k];
        z[2 * k + 1] = odd * c[k] - even * s[k];
    }
}

// Unfolds the transformed values into the 2M outputs.
void postTwiddle(const double* z, int m, const double* c, const double* s, double* y) {
    const double scale = 1.0 / m;  // exact: m is a power of two
    for (int k = 0; k < m / 4; ++k) {
        const double p = (z[2 * k] * c[k] - z[2 * k + 1] * s[k]) * scale;
        const double q = (z[2 * k + 1] * c[k] + z[2 * k] * s[k]) * scale;
        y[3 * m / 2 - 1 - 2 * k] = p;
        y[3 * m / 2 + 2 * k] = p;
        y[m / 2 + 2 * k] = q;
        y[m / 2 - 1 - 2 * k] = -q;
    }
    for (int k = m / 4; k < m / 2; ++k) {
        const int j = k - m / 4;
        const double p = (z[2 * k] * c[k] - z[2 * k + 1] * s[k]) * scale;
        const double q = (z[2 * k + 1] * c[k] + z[2 * k] * s[k]) * scale;
        y[m - 1 - 2 * j] = p;
        y[m / 2 + 2 * k] = q;
        y[2 * j] = -p;
        y[2 * m - 1 - 2 * j] = q;
    }
}

void addLongRise(const double* y, double* o, const WindowTables& w) {
    for (int n = 0; n < kFrameLength; ++n) o[n] += w.longWindow[n] * y[n];
}

void storeLongFall(const double* y, double* o, const WindowTables& w) {
    for (int n = kFrameLength; n < kLongBlock; ++n) o[n] = w.longWindow[kLongBlock - 1 - n] * y[n];
}

void storeStartTail(const double* y, double* o, const WindowTables& w) {
    constexpr int fallStart = kShortSlopeEnd + 1 - kShortBlockLength;  // 1472
    std::copy(y + kFrameLength, y + fallStart, o + kFrameLength);
    for (int n = fallStart; n <= kShortSlopeEnd; ++n)
        o[n] = w.shortWindow[kShortSlopeEnd - n] * y[n];
    std::fill(o + kShortSlopeEnd + 1, o + kLongBlock, 0.0);
}

void addStopHead(const double* y, double* o, const WindowTables& w) {
    constexpr int riseEnd = kShortSlopeStart + kShortBlockLength;  // 576
    for (int n = kShortSlopeStart; n < riseEnd; ++n) {
        o[n] += w.shortWindow[n - kShortSlopeStart] * y[n];
    }
    std::copy(y + riseEnd, y + kFrameLength, o + riseEnd);
}

void synthesizeShortBlocks(const double* spectrum, double* o, const WindowTables& w) {
    double y[2 * kShortBlockLength];
    for (int b = 0; b < kShortBlocksPerFrame; ++b) {
        inverseMdct(spectrum + kShortBlockLength * b, y, BlockShape::Short);
        double* rise = o + kShortSlopeStart + kShortBlockLength * b;
        double* fall = rise + kShortBlockLength;
        for (int m = 0; m < kShortBlockLength; ++m) rise[m] += w.shortWindow[m] * y[m];
        for (int m = 0; m < kShortBlockLength; ++m) {
            fall[m] = w.shortWindow[kShortBlockLength - 1 - m] * y[kShortBlockLength + m];
        }
    }
    std::fill(o + kShortSlopeEnd + 1, o + kLongBlock, 0.0);
}

}  // namespace

void inverseMdct(const double* coefficients, double* out, BlockShape shape) {
    const int m = coefficientsOf(shape);
    const MdctTwiddles& t = mdctTwiddles();
    const bool isLong = shape == BlockShape::Long;
    const double* c = isLong ? t.longCos.data() : t.shortCos.data();
    const double* s = isLong ? t.longSin.data() : t.shortSin.data();
    double z[kFrameLength];
    preTwiddle(coefficients, m, c, s, z);
    complexFft(m, 1, z);
    postTwiddle(z, m, c, s, out);
}

void synthesizeChannel(const double* spectrum, double* output, OverlapBuffer& overlap,
                       BlockType type) {
    const WindowTables& w = windowTables();
    double* o = overlap.data();
    double y[kLongBlock];
    if (type == BlockType::Long) {
        // The common case without the two copies: the completed samples go
        // straight to the output and the tail straight to the lower half,
        // the same sums and products as below. (No block type reads the
        // upper half before writing it.)
        inverseMdct(spectrum, y, BlockShape::Long);
        for (int n = 0; n < kFrameLength; ++n) output[n] = o[n] + w.longWindow[n] * y[n];
        for (int n = 0; n < kFrameLength; ++n)
            o[n] = w.longWindow[kFrameLength - 1 - n] * y[kFrameLength + n];
        return;
    }
    switch (type) {
        case BlockType::Start:
            inverseMdct(spectrum, y, BlockShape::Long);
            addLongRise(y, o, w);
            storeStartTail(y, o, w);
            break;
        case BlockType::Stop:
            inverseMdct(spectrum, y, BlockShape::Long);
            addStopHead(y, o, w);
            storeLongFall(y, o, w);
            break;
        case BlockType::Short:
            synthesizeShortBlocks(spectrum, o, w);
            break;
        default:
            // A damaged frame contributes silence rather than repeating the
            // pending tail of the frame before it.
            std::fill(o + kFrameLength, o + kLongBlock, 0.0);
            break;
    }
    std::copy(o, o + kFrameLength, output);
    std::copy(o + kFrameLength, o + kLongBlock, o);
}

void completeAfterPending(const double* overSilence, const OverlapBuffer& pending,
                          BlockType type, double* output) {
    const bool overwrites = type == BlockType::Stop || type == BlockType::Short;
    const int added = overwrites ? kShortSlopeStart + kShortBlockLength : kFrameLength;
    for (int n = 0; n < added; ++n) output[n] = pending[n] + overSilence[n];
    std::copy(overSilence + added, overSilence + kFrameLength, output + added);
}

}  // namespace qmz
