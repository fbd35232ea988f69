// Encoder analysis: windowing with block switching and the forward MDCT.
#pragma once

#include <array>

#include "common/band_tables.h"

namespace qmz {

// Forward MDCT of one windowed block of N = 2M samples into M coefficients:
//     out[k] = 2 * sum_n block[n] * cos(2 pi / N * (n + N/4 + 1/2) * (k + 1/2)).
// M is coefficientsOf(shape): 1024 or 128. block and out must not overlap.
void forwardMdct(const double* block, double* out, BlockShape shape);

// Stereo as mid and side, in place: M = (L + R) / 2, S = (L - R) / 2 over
// one frame.
void toMidSide(double* left, double* right);

// Analyses one channel's frame: the previous frame's samples (history)
// followed by the 1024 newSamples are windowed for `type` and transformed
// into 1024 coefficients. Long, start and stop frames put coefficient k at
// spectrum[k]; a short frame puts coefficient k of short block b (b = 0..7 in
// time order) at spectrum[128 * b + k]. history is replaced by newSamples
// whatever the type; a type outside 0..3 leaves the spectrum unwritten.
void analyzeChannel(const double* newSamples, double* spectrum,
                    std::array<double, kFrameLength>& history, BlockType type);

}  // namespace qmz
