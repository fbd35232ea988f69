// Lanes of doubles, so that a kernel is written once and compiled for one
// value (F64x1), an SSE2 register (F64x2) or an AVX register (F64x4).
//
// Every operation is the IEEE operation of the scalar form, lane by lane:
// no fused multiply-add, no reordering, so every width computes the same
// bits. Comparisons are the quiet ones of C++ (a NaN compares false, and
// unequal to anything), and select() picks per lane.
//
// F64x4 exists only in files compiled for AVX (the *_avx.cpp files, chosen at
// run time, see cpu_features.h). Everything here has internal linkage: a
// function compiled for AVX must never stand in for another file's copy.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__AVX__)
#include <immintrin.h>
#endif

namespace qmz {
namespace {

struct F64x1 {
    static constexpr int kWidth = 1;
    using Mask = bool;
    double v;
    static F64x1 load(const double* p) { return {*p}; }
    static F64x1 broadcast(double x) { return {x}; }
    void store(double* p) const { *p = v; }
};

inline F64x1 operator+(F64x1 a, F64x1 b) {
    return {a.v + b.v};
}
inline F64x1 operator-(F64x1 a, F64x1 b) {
    return {a.v - b.v};
}
inline F64x1 operator*(F64x1 a, F64x1 b) {
    return {a.v * b.v};
}
inline F64x1 operator/(F64x1 a, F64x1 b) {
    return {a.v / b.v};
}
inline bool operator>(F64x1 a, F64x1 b) {
    return a.v > b.v;
}
inline bool operator>=(F64x1 a, F64x1 b) {
    return a.v >= b.v;
}
inline bool operator!=(F64x1 a, F64x1 b) {
    return a.v != b.v;
}
inline F64x1 sqrt(F64x1 a) {
    return {std::sqrt(a.v)};
}
inline F64x1 abs(F64x1 a) {
    return {std::fabs(a.v)};
}
inline F64x1 min(F64x1 a, F64x1 b) {
    return {a.v < b.v ? a.v : b.v};
}
inline F64x1 max(F64x1 a, F64x1 b) {
    return {a.v > b.v ? a.v : b.v};
}
// The magnitude m (not negative) with the sign of s.
inline F64x1 withSignOf(F64x1 m, F64x1 s) {
    return {std::copysign(m.v, s.v)};
}
inline F64x1 select(bool m, F64x1 a, F64x1 b) {
    return m ? a : b;
}
inline F64x1 keepWhere(bool m, F64x1 a) {
    return {m ? a.v : 0.0};
}
// Toward zero into 32-bit integers (|a| < 2^31), back to doubles, and
// lane i of such integers.
inline int32_t truncatedInt32(F64x1 a) {
    return static_cast<int32_t>(a.v);
}
inline F64x1 fromInt32(int32_t n) {
    return {static_cast<double>(n)};
}
inline int32_t int32Lane(int32_t n, int) {
    return n;
}
inline bool anyTrue(bool m) {
    return m;
}
inline double laneAt(F64x1 a, int) {
    return a.v;
}

// Toward zero into 16-bit integers (the lanes must lie within their range),
// one lane after the other, or interleaved with b's.
inline void storeInt16(int16_t* p, F64x1 a) {
    *p = static_cast<int16_t>(a.v);
}
inline void storeInt16Interleaved(int16_t* p, F64x1 a, F64x1 b) {
    p[0] = static_cast<int16_t>(a.v);
    p[1] = static_cast<int16_t>(b.v);
}
inline double largestLane(F64x1 a) {
    return a.v;
}
// Interleaved pairs {re, im} at p: the real parts and the imaginary parts.
inline void loadPairs(const double* p, F64x1& re, F64x1& im) {
    re.v = p[0];
    im.v = p[1];
}

#if defined(__SSE2__)
struct F64x2 {
    static constexpr int kWidth = 2;
    struct Mask {
        __m128d bits;
    };
    __m128d v;
    static F64x2 load(const double* p) { return {_mm_loadu_pd(p)}; }
    static F64x2 broadcast(double x) { return {_mm_set1_pd(x)}; }
    void store(double* p) const { _mm_storeu_pd(p, v); }
};

inline F64x2 operator+(F64x2 a, F64x2 b) {
    return {_mm_add_pd(a.v, b.v)};
}
inline F64x2 operator-(F64x2 a, F64x2 b) {
    return {_mm_sub_pd(a.v, b.v)};
}
inline F64x2 operator*(F64x2 a, F64x2 b) {
    return {_mm_mul_pd(a.v, b.v)};
}
inline F64x2 operator/(F64x2 a, F64x2 b) {
    return {_mm_div_pd(a.v, b.v)};
}
inline F64x2::Mask operator>(F64x2 a, F64x2 b) {
    return {_mm_cmpgt_pd(a.v, b.v)};
}
inline F64x2::Mask operator>=(F64x2 a, F64x2 b) {
    return {_mm_cmpge_pd(a.v, b.v)};
}
inline F64x2::Mask operator!=(F64x2 a, F64x2 b) {
    return {_mm_cmpneq_pd(a.v, b.v)};
}
inline F64x2 sqrt(F64x2 a) {
    return {_mm_sqrt_pd(a.v)};
}
inline F64x2 abs(F64x2 a) {
    return {_mm_andnot_pd(_mm_set1_pd(-0.0), a.v)};
}
// minpd(a, b) is a < b ? a : b and maxpd(a, b) a > b ? a : b lane by lane,
// as F64x1's.
inline F64x2 min(F64x2 a, F64x2 b) {
    return {_mm_min_pd(a.v, b.v)};
}
inline F64x2 max(F64x2 a, F64x2 b) {
    return {_mm_max_pd(a.v, b.v)};
}
inline F64x2 withSignOf(F64x2 m, F64x2 s) {
    return {_mm_or_pd(m.v, _mm_and_pd(s.v, _mm_set1_pd(-0.0)))};
}
inline F64x2 select(F64x2::Mask m, F64x2 a, F64x2 b) {
    return {_mm_or_pd(_mm_and_pd(m.bits, a.v), _mm_andnot_pd(m.bits, b.v))};
}
inline F64x2 keepWhere(F64x2::Mask m, F64x2 a) {
    return {_mm_and_pd(m.bits, a.v)};
}
inline __m128i truncatedInt32(F64x2 a) {
    return _mm_cvttpd_epi32(a.v);
}
inline F64x2 fromInt32(__m128i n) {
    return {_mm_cvtepi32_pd(n)};
}
inline int32_t int32Lane(__m128i n, int i) {
    return _mm_cvtsi128_si32(i == 0 ? n : _mm_shuffle_epi32(n, 1));
}
inline bool anyTrue(F64x2::Mask m) {
    return _mm_movemask_pd(m.bits) != 0;
}
inline double laneAt(F64x2 a, int i) {
    return _mm_cvtsd_f64(i == 0 ? a.v : _mm_unpackhi_pd(a.v, a.v));
}
inline void storeInt16(int16_t* p, F64x2 a) {
    const __m128i n = _mm_cvttpd_epi32(a.v);
    const int32_t both = _mm_cvtsi128_si32(_mm_packs_epi32(n, n));
    std::memcpy(p, &both, sizeof both);
}
inline void storeInt16Interleaved(int16_t* p, F64x2 a, F64x2 b) {
    const __m128i ab = _mm_unpacklo_epi32(_mm_cvttpd_epi32(a.v), _mm_cvttpd_epi32(b.v));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(ab, ab));  // a0 b0 a1 b1
}
inline double largestLane(F64x2 a) {
    const double lo = _mm_cvtsd_f64(a.v), hi = _mm_cvtsd_f64(_mm_unpackhi_pd(a.v, a.v));
    return lo > hi ? lo : hi;
}
inline void loadPairs(const double* p, F64x2& re, F64x2& im) {
    const __m128d lo = _mm_loadu_pd(p), hi = _mm_loadu_pd(p + 2);
    re.v = _mm_unpacklo_pd(lo, hi);
    im.v = _mm_unpackhi_pd(lo, hi);
}
#else
using F64x2 = F64x1;  // no SSE2: the two-lane form is the scalar one
#endif

#if defined(__AVX__)
struct F64x4 {
    static constexpr int kWidth = 4;
    struct Mask {
        __m256d bits;
    };
    __m256d v;
    static F64x4 load(const double* p) { return {_mm256_loadu_pd(p)}; }
    static F64x4 broadcast(double x) { return {_mm256_set1_pd(x)}; }
    void store(double* p) const { _mm256_storeu_pd(p, v); }
};

inline F64x4 operator+(F64x4 a, F64x4 b) {
    return {_mm256_add_pd(a.v, b.v)};
}
inline F64x4 operator-(F64x4 a, F64x4 b) {
    return {_mm256_sub_pd(a.v, b.v)};
}
inline F64x4 operator*(F64x4 a, F64x4 b) {
    return {_mm256_mul_pd(a.v, b.v)};
}
inline F64x4 operator/(F64x4 a, F64x4 b) {
    return {_mm256_div_pd(a.v, b.v)};
}
inline F64x4::Mask operator>(F64x4 a, F64x4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)};
}
inline F64x4::Mask operator>=(F64x4 a, F64x4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)};
}
inline F64x4::Mask operator!=(F64x4 a, F64x4 b) {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)};
}
inline F64x4 sqrt(F64x4 a) {
    return {_mm256_sqrt_pd(a.v)};
}
inline F64x4 abs(F64x4 a) {
    return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)};
}
inline F64x4 withSignOf(F64x4 m, F64x4 s) {
    return {_mm256_or_pd(m.v, _mm256_and_pd(s.v, _mm256_set1_pd(-0.0)))};
}
inline F64x4 select(F64x4::Mask m, F64x4 a, F64x4 b) {
    return {_mm256_or_pd(_mm256_and_pd(m.bits, a.v), _mm256_andnot_pd(m.bits, b.v))};
}
inline F64x4 keepWhere(F64x4::Mask m, F64x4 a) {
    return {_mm256_and_pd(m.bits, a.v)};
}
inline void loadPairs(const double* p, F64x4& re, F64x4& im) {
    // {re0 im0 re1 im1}, {re2 im2 re3 im3} -> {re0 re1 re2 re3}, {im0 .. im3}
    const __m256d lo = _mm256_loadu_pd(p), hi = _mm256_loadu_pd(p + 4);
    const __m256d even = _mm256_permute2f128_pd(lo, hi, 0x20);
    const __m256d odd = _mm256_permute2f128_pd(lo, hi, 0x31);
    re.v = _mm256_unpacklo_pd(even, odd);
    im.v = _mm256_unpackhi_pd(even, odd);
}
#endif

}  // namespace
}  // namespace qmz
