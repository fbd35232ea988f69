// The FFT's passes with two complex numbers per AVX register where they
// have room for it; this file alone is compiled for AVX.
#include "common/cpu_features.h"
#include "common/fft_kernels.h"

#if defined(QMZ_AVX_PATHS)
#if !defined(__AVX__)
#error "the build compiles *_avx.cpp files with -mavx"
#endif

namespace qmz {

void complexTransformAvx(const FftTableView& t, int fftSign, int log2Points, double* data) {
    transformSigned<ComplexPairAvx, ComplexSse2>(t, fftSign, log2Points, data);
}

void splitBinsAvx(const FftTableView& t, int n, double* a) {
    if (n >= 16 && n <= kMaxPairSpan) {
        splitBins<ComplexSse2>(t, n, 1, 2, a);
        splitBins<ComplexPairAvx>(t, n, 2, n / 4, a);
    } else {
        splitBins<ComplexSse2>(t, n, 1, n / 4, a);
    }
}

}  // namespace qmz
#endif
