// The psychoacoustic model's prediction of each FFT bin from the two
// analyses before it, written once over a lane type (common/simd_lanes.h)
// and compiled for one bin, two (SSE2) and four (AVX, in
// bin_prediction_avx.cpp) at a time.
#pragma once

#include "common/simd_lanes.h"

namespace qmz {

// One spectrum's bins: where the newest and the two previous spectra of the
// history sit (magnitudes, cos and sin of the phases), and where r[k]^2 and
// the unpredictability c[k] go.
struct PredictionBins {
    const double* a;  // packed real spectrum
    int count;        // bins, a multiple of 4
    double *mag, *uc, *us;
    int now, p1, p2;  // offsets of the newest, previous and second previous spectrum
    double *power, *c;
};

// predictBins with four-lane AVX registers; call only where cpuHasAvx().
void predictBinsAvx(const PredictionBins& b);

namespace {

// Stores r[k], the unit phase vector, r[k]^2 and the unpredictability c[k]
// of every bin. Bin 0 combines the DC and Nyquist terms. A bin of zero
// magnitude keeps the direction atan2 gives its signed zeros; the branches of
// the scalar form become lane selections:
//     r > 0 ? re / r : copysign(1, re),   r > 0 ? im / r : 0,
//     d != 0 ? sqrt(dx^2 + dy^2) / d : 0, then NaN -> 0 and above 1 -> 1.
template <class V>
void predictBins(const PredictionBins& b) {
    const double* a = b.a;
    double *mag = b.mag, *uc = b.uc, *us = b.us;
    const int now = b.now, p1 = b.p1, p2 = b.p2;
    const V zero = V::broadcast(0.0), one = V::broadcast(1.0), two = V::broadcast(2.0);
    for (int k = 0; k < b.count; k += V::kWidth) {
        V re, im;
        loadPairs(a + 2 * k, re, im);
        const V r = sqrt(re * re + im * im);
        r.store(mag + now + k);
        const auto positive = r > zero;
        select(positive, re / r, withSignOf(one, re)).store(uc + now + k);
        keepWhere(positive, im / r).store(us + now + k);
        (r * r).store(b.power + k);

        const V rHat = two * V::load(mag + p1 + k) - V::load(mag + p2 + k);
        const V c1 = V::load(uc + p1 + k), s1 = V::load(us + p1 + k);
        const V c2 = V::load(uc + p2 + k), s2 = V::load(us + p2 + k);
        const V twiceCos = c1 * c1 - s1 * s1, twiceSin = two * c1 * s1;
        const V hatCos = twiceCos * c2 + twiceSin * s2;
        const V hatSin = twiceSin * c2 - twiceCos * s2;
        const V dx = re - rHat * hatCos;
        const V dy = im - rHat * hatSin;
        const V d = r + abs(rHat);
        V u = keepWhere(d != zero, sqrt(dx * dx + dy * dy) / d);
        u = keepWhere(u >= zero, u);  // NaN -> 0
        u = select(u > one, one, u);
        u.store(b.c + k);
    }
}

}  // namespace
}  // namespace qmz
