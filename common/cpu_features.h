// Instruction sets of the processor we run on, and the kernels that use them.
//
// Every kernel has a scalar form, always compiled, and vector forms that
// perform exactly its operations, lane by lane and in the same order, so
// every machine computes the same bits; only the speed differs. Most are one
// template over a lane type (simd_lanes.h, fft_kernels.h) whose AVX
// instantiation sits in a *_avx.cpp file, the only files built for AVX. Fused
// multiply-adds are used only where they are exact (the error term of a
// product), never to contract an expression the scalar form rounds twice.
// A kernel picks its form once per call, not per element.
//
// QMZ_SIMD in the environment narrows the choice, which lets the tests
// compare the forms: "sse2" keeps to the baseline of every x86-64, "scalar"
// to the plain C++ forms (with the C library's own maths functions).
#pragma once

#include <cstdlib>
#include <cstring>

namespace qmz {

inline bool simdNarrowedTo(const char* name) {
    const char* forced = std::getenv("QMZ_SIMD");
    return forced != nullptr && std::strcmp(forced, name) == 0;
}

// Whether the SSE2 forms run: wherever the compiler targets SSE2 (every
// x86-64), unless QMZ_SIMD=scalar.
inline bool useSse2() {
#if defined(__SSE2__)
    static const bool use = !simdNarrowedTo("scalar");
    return use;
#else
    return false;
#endif
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QMZ_AVX_PATHS 1
#define QMZ_TARGET_AVX __attribute__((target("avx")))

#define QMZ_TARGET_FMA __attribute__((target("avx2,fma")))

inline bool baselineForced() {
    return simdNarrowedTo("sse2") || simdNarrowedTo("scalar");
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
