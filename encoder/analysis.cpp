// Forward MDCT through an N/4-point complex FFT, and the analysis windows.
//
// The MDCT of N = 2M samples folds the block into N/4 complex values with
// the pre-twiddles exp(-i 2 pi (k + 1/8) / N), runs one complex FFT with the
// negative exponent, and unfolds with the same twiddles: an exact rewrite of
// the cosine sum, O(N log N) instead of O(N^2).
//
// Frame layout: x[0..1023] is the previous frame's new samples and
// x[1024..2047] the current ones. Start and stop frames join a long window to
// the short slopes at 1472..1599 and 448..575; a short frame takes eight
// half-overlapping 256-sample blocks starting at 448 + 128 b, so x[0..447]
// and x[1600..2047] never enter it.
#include "encoder/analysis.h"

#include <algorithm>

#include "common/fft.h"
#include "common/windows.h"

namespace qmz {
namespace {

struct TwiddleView {
    const double* c;
    const double* s;
};

TwiddleView twiddlesFor(BlockShape shape) {
    const MdctTwiddles& t = mdctTwiddles();
    if (shape == BlockShape::Long) return {t.longCos.data(), t.longSin.data()};
    return {t.shortCos.data(), t.shortSin.data()};
}

// Folds the N inputs into N/4 complex values z (interleaved, M doubles).
void preTwiddle(const double* u, int n, TwiddleView w, double* z) {
    const int q = n / 4;
    for (int k = 0; k < n / 8; ++k) {
        const double a = u[3 * q - 1 - 2 * k] + u[3 * q + 2 * k];
        const double b = u[q + 2 * k] - u[q - 1 - 2 * k];
        z[2 * k] = a * w.c[k] + b * w.s[k];
        z[2 * k + 1] = b * w.c[k] - a * w.s[k];
    }
    for (int k = n / 8; k < q; ++k) {
        const int t = 2 * k - q;
        const double a = u[n - 1 - t] + u[n / 2 + t];
        const double b = u[n / 2 - 1 - t] - u[t];
        z[2 * k] = a * w.s[k] + b * w.c[k];
        z[2 * k + 1] = a * w.c[k] - b * w.s[k];
    }
}

// Unfolds the transformed values held in out itself. Bins k and M/2 - 1 - k
// occupy exactly the four outputs they produce, so they are done in pairs.
void postTwiddle(int m, TwiddleView w, double* out) {
    for (int k = 0; k < m / 4; ++k) {
        const int j = m / 2 - 1 - k;
        const double kr = out[2 * k], ki = out[2 * k + 1];
        const double jr = out[2 * j], ji = out[2 * j + 1];
        out[2 * k] = -2.0 * (kr * w.c[k] + ki * w.s[k]);
        out[m - 1 - 2 * k] = 2.0 * (ki * w.c[k] - kr * w.s[k]);
        out[2 * j] = -2.0 * (jr * w.c[j] + ji * w.s[j]);
        out[m - 1 - 2 * j] = 2.0 * (ji * w.c[j] - jr * w.s[j]);
    }
}

void longRise(double* x, const WindowTables& w) {
    for (int n = 0; n < kFrameLength; ++n) x[n] *= w.longWindow[n];
}

void longFall(double* x, const WindowTables& w) {
    for (int n = kFrameLength; n < kLongBlock; ++n) x[n] *= w.longWindow[kLongBlock - 1 - n];
}

void startTail(double* x, const WindowTables& w) {
    for (int n = kShortSlopeEnd + 1 - kShortBlockLength; n <= kShortSlopeEnd; ++n) {
        x[n] *= w.shortWindow[kShortSlopeEnd - n];
    }
    std::fill(x + kShortSlopeEnd + 1, x + kLongBlock, 0.0);
}

void stopHead(double* x, const WindowTables& w) {
    std::fill(x, x + kShortSlopeStart, 0.0);
    for (int n = kShortSlopeStart; n < kShortSlopeStart + kShortBlockLength; ++n) {
        x[n] *= w.shortWindow[n - kShortSlopeStart];
    }
}

void analyzeShortBlocks(const double* x, double* spectrum, const WindowTables& w) {
    constexpr int len = 2 * kShortBlockLength;
    for (int b = 0; b < kShortBlocksPerFrame; ++b) {
        const double* src = x + kShortSlopeStart + kShortBlockLength * b;
        double u[len];
        for (int m = 0; m < kShortBlockLength; ++m) {
            u[m] = src[m] * w.shortWindow[m];
            u[len - 1 - m] = src[len - 1 - m] * w.shortWindow[m];
        }
        forwardMdct(u, spectrum + kShortBlockLength * b, BlockShape::Short);
    }
}

}  // namespace

void forwardMdct(const double* block, double* out, BlockShape shape) {
    const int m = coefficientsOf(shape);
    const TwiddleView w = twiddlesFor(shape);
    preTwiddle(block, 2 * m, w, out);
    complexFft(m, -1, out);
    postTwiddle(m, w, out);
}

void toMidSide(double* left, double* right) {
    for (int i = 0; i < kFrameLength; ++i) {
        const double l = left[i], r = right[i];
        left[i] = (l + r) * 0.5;
        right[i] = (l - r) * 0.5;
    }
}

void analyzeChannel(const double* newSamples, double* spectrum,
                    std::array<double, kFrameLength>& history, BlockType type) {
    double x[kLongBlock];
    const WindowTables& w = windowTables();
    if (type == BlockType::Long) {
        // Windowed on the way into x: the same products, one pass fewer.
        for (int n = 0; n < kFrameLength; ++n) x[n] = history[n] * w.longWindow[n];
        for (int n = 0; n < kFrameLength; ++n)
            x[kFrameLength + n] = newSamples[n] * w.longWindow[kFrameLength - 1 - n];
        std::copy(newSamples, newSamples + kFrameLength, history.begin());
        forwardMdct(x, spectrum, BlockShape::Long);
        return;
    }
    std::copy(history.begin(), history.end(), x);
    std::copy(newSamples, newSamples + kFrameLength, x + kFrameLength);
    std::copy(newSamples, newSamples + kFrameLength, history.begin());

    switch (type) {
        case BlockType::Start:
            longRise(x, w);
            startTail(x, w);
            break;
        case BlockType::Stop:
            stopHead(x, w);
            longFall(x, w);
            break;
        case BlockType::Short:
            analyzeShortBlocks(x, spectrum, w);
            return;
        default:
            return;
    }
    forwardMdct(x, spectrum, BlockShape::Long);
}

}  // namespace qmz
