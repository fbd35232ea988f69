// Optional instruction sets of the processor we run on.
//
// Code written for them performs exactly the operations of the baseline
// (SSE2, part of every x86-64) code, lane by lane and in the same order, so
// every machine computes the same bits; only the speed differs. Fused
// multiply-adds are used only where they are exact (the error term of a
// product), never to contract an expression the baseline rounds twice.
// Setting QMZ_SIMD=sse2 in the environment keeps to the baseline code, which
// lets the tests compare both paths.
#pragma once

#include <cstdlib>
#include <cstring>

namespace qmz {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QMZ_AVX_PATHS 1
#define QMZ_TARGET_AVX __attribute__((target("avx")))

#define QMZ_TARGET_FMA __attribute__((target("avx2,fma")))

inline bool baselineForced() {
    const char* forced = std::getenv("QMZ_SIMD");
    return forced != nullptr && std::strcmp(forced, "sse2") == 0;
}

inline bool cpuHasAvx() {
    static const bool has = [] {
        if (baselineForced()) return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") != 0;
    }();
    return has;
}

inline bool cpuHasFma() {
    static const bool has = [] {
        if (baselineForced()) return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
    }();
    return has;
}
#else
inline bool cpuHasAvx() {
    return false;
}
inline bool cpuHasFma() {
    return false;
}
#endif

}  // namespace qmz
