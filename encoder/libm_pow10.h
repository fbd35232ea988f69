// 10^y with exactly the bits the C library's pow(10, y) returns, faster.
//
// The psychoacoustic model's spreading sums call pow about two million
// times per minute of audio and the encoder's bytes depend on every last bit
// of each result, so an approximation will not do. Instead 10^y is
// worked out to about 2^-62 and rounded; where that value lies clearly
// inside a rounding interval, the library (whose own result is within a few
// hundredths of a unit in the last place of the true value) must return the
// same double, and otherwise the library is asked.
#pragma once

namespace qmz {

// power[k] = std::pow(10.0, db[k] / 10.0) to the last bit, for k < n.
void libmDecibelsToPower(const double* db, double* power, int n);

// The fast evaluation alone: true and the library's result in `result` when
// it is decided without the library; false near a rounding boundary, for
// |y| >= 30, or on a processor without fused multiply-add.
bool libmPow10Decided(double y, double& result);

}  // namespace qmz
