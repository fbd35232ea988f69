// Decoder synthesis: inverse MDCT, windowing with block switching and
// overlap-add.
#pragma once

#include <array>

#include "common/band_tables.h"

namespace qmz {

// Inverse MDCT of M coefficients into N = 2M samples:
//     out[n] = (1 / M) * sum_k coefficients[k] * cos(2 pi / N * (n + N/4 + 1/2) * (k + 1/2)).
// With the forward transform's factor 2 and power-complementary windows,
// windowed overlap-add reconstructs the input exactly. M is
// coefficientsOf(shape): 1024 or 128. coefficients and out must not overlap.
void inverseMdct(const double* coefficients, double* out, BlockShape shape);

// Pending second half of the previous frame, per channel; zero at the start
// of a stream. Entries 0..1023 hold the partial sum of the samples the
// current frame completes, 1024..2047 receive the current frame's tail.
using OverlapBuffer = std::array<double, 2 * kFrameLength>;

// Synthesises one channel's frame from its 1024-value spectrum (laid out as
// the analysis writes it) and writes the 1024 completed samples, which lag
// the encoder's input by one frame, to output. The samples are on the 16-bit
// scale, neither rounded nor clipped. A type outside 0..3 outputs the pending
// overlap and leaves silence pending behind it.
void synthesizeChannel(const double* spectrum, double* output, OverlapBuffer& overlap,
                       BlockType type);

// The samples synthesizeChannel completes for a frame of `type` after
// `pending`, from those it completed after silence (overSilence): a frame
// adds its head to the pending samples, except that a stop or short frame
// overwrites them from its first short block's fall on. Only a zero's sign
// may differ from synthesising again, which no 16-bit sample shows. The
// pending tail a frame leaves never depends on the one before it, so a frame
// synthesised after silence needs nothing more to be completed later.
void completeAfterPending(const double* overSilence, const OverlapBuffer& pending,
                          BlockType type, double* output);

}  // namespace qmz
