// The masking estimate of the quality mode: how much noise each band of a
// block may carry, given the band energies and the quality's tuning.
#pragma once

#include "encoder/quality_policy.h"

namespace qmz {

// Allowed squared error per band for the first `bands` bands of a long
// (48 bands) or short (13 bands) block. energy: per band, the sum of squared
// lines; unpredictability: the psychoacoustic model's per band.
void allowedNoise(const QualityTuning& tuning, bool isLong, const double* energy,
                  const double* unpredictability, int bands, double* allowed);

}  // namespace qmz
