// Constant tables of the MDCT pair: the two Kaiser-Bessel-derived window
// halves and the pre/post-twiddles of the fast MDCT.
//
// The encoder's analysis, the decoder's synthesis and the psychoacoustic
// model's FFT windows all read these same values; the overlap-add cancels
// time-domain aliasing only because both sides use identical tables. Each
// table is built once per process on first use and is read-only afterwards.
#pragma once

#include <array>

#include "common/band_tables.h"

namespace qmz {

inline constexpr int kLongWindowHalf = kFrameLength;        // 1024
inline constexpr int kShortWindowHalf = kShortBlockLength;  // 128

// Geometry of a frame's 2048-sample transform block (the previous frame's
// new samples, then the current ones). Start and stop frames join the long
// window to the short slopes; a short frame takes eight half-overlapping
// 256-sample blocks from kShortSlopeStart on, so the samples outside
// kShortSlopeStart .. kShortSlopeEnd never enter it.
inline constexpr int kLongBlock = 2 * kFrameLength;  // 2048
inline constexpr int kShortSlopeStart = 448;         // first sample of the short rise
inline constexpr int kShortSlopeEnd = 1599;          // last sample of the short fall
static_assert(kShortSlopeEnd + 1 - kShortSlopeStart ==
              (kShortBlocksPerFrame + 1) * kShortBlockLength);

// Rising halves of the 2048-sample long window (KBD, alpha 4) and of the
// 256-sample short window (KBD, alpha 6). The falling half of each is the
// same table read backwards: long window at n >= 1024 is longWindow[2047 - n].
// The lower quarter of each table follows the KBD formula (with the
// Abramowitz-Stegun polynomial for I0); the upper quarter is completed as
// w[n] = sqrt(1 - w[H - 1 - n]^2), so that w[n]^2 + w[H - 1 - n]^2 = 1.
struct WindowTables {
    std::array<double, kLongWindowHalf> longWindow;
    std::array<double, kShortWindowHalf> shortWindow;
};

// The window halves, built at the first call (thread-safe).
const WindowTables& windowTables();

// Builds the window tables now, so that the first frame does not pay for it.
// Calling it is optional and idempotent.
void initWindows();

// The modified Bessel function I0 by the Abramowitz-Stegun polynomials 9.8.1
// (|x| < 3.75) and 9.8.2 (|x| >= 3.75). The windows are defined with this
// approximation, not with the exact function.
double besselI0Approx(double x);

// c_k = cos(2 pi (k + 1/8) / N) and s_k = sin(2 pi (k + 1/8) / N), k < N / 4,
// for the long (N = 2048) and the short (N = 256) transform.
struct MdctTwiddles {
    std::array<double, 512> longCos, longSin;
    std::array<double, 64> shortCos, shortSin;
};

// The twiddles, built at the first call (thread-safe).
const MdctTwiddles& mdctTwiddles();

}  // namespace qmz
