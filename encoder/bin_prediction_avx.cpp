// predictBins for four bins at a time; this file alone is compiled for AVX.
#include "common/cpu_features.h"
#include "encoder/bin_prediction.h"

#if defined(QMZ_AVX_PATHS)
#if !defined(__AVX__)
#error "the build compiles *_avx.cpp files with -mavx"
#endif

namespace qmz {

void predictBinsAvx(const PredictionBins& b) {
    predictBins<F64x4>(b);
}

}  // namespace qmz
#endif
