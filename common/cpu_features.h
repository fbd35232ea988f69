// Optional instruction sets of the processor we run on.
//
// Code written for them performs exactly the operations of the baseline
// (SSE2, part of every x86-64) code, lane by lane and in the same order, so
// every machine computes the same bits; only the speed differs. Setting
// QMZ_SIMD=sse2 in the environment keeps to the baseline code, which lets
// the tests compare both paths.
#pragma once

#include <cstdlib>
#include <cstring>

namespace qmz {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QMZ_AVX_PATHS 1
#define QMZ_TARGET_AVX __attribute__((target("avx")))

inline bool cpuHasAvx() {
    static const bool has = [] {
        const char* forced = std::getenv("QMZ_SIMD");
        if (forced != nullptr && std::strcmp(forced, "sse2") == 0) return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") != 0;
    }();
    return has;
}
#else
inline bool cpuHasAvx() {
    return false;
}
#endif

}  // namespace qmz
