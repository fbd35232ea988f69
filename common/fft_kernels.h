// The FFT's passes (see fft.cpp), written once over a complex lane type:
// one complex number in two doubles (ComplexScalar) or in an SSE2 register
// (ComplexSse2), or two side by side in an AVX register (ComplexPairAvx,
// compiled only in fft_avx.cpp). Each lane type performs exactly the scalar
// operations, lane by lane and in the same order (x + (-y) is x - y to the
// bit), so every form gives the same results; only the speed differs.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/fft.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__AVX__)
#include <immintrin.h>
#endif

namespace qmz {

// The largest span whose twiddles exist for two adjacent k at once: that of
// the largest complex transform (the real transform's largest size keeps to
// one complex number at a time).
inline constexpr int kMaxPairSpan = kMaxFftLength / 2;

struct FftRoot {
    double c1, s1, c2, s2, c3, s3;  // cos and sin of k, 2k, 3k times 2 pi / span
};

// The tables of fft.cpp, as plain pointers so that the AVX file shares them
// without sharing any code.
struct FftTableView {
    const FftRoot* roots;  // span s at offset s / 4 - 1, s / 4 entries
    // Per pair (k, k + 1) of span s: c1 c1 c1' c1', s1 s1 s1' s1', then the
    // same for 2k and 3k; 24 doubles per pair, span s at offset 3 (s - 8).
    const double* pairRoots;
    const int32_t* reversed;  // bit-reversed indices of 2^e points at offset 2^e - 1
};

// The complex transform and the real transform's untangling with AVX
// registers; call only where cpuHasAvx().
void complexTransformAvx(const FftTableView& t, int fftSign, int log2Points, double* data);
void splitBinsAvx(const FftTableView& t, int n, double* a);

namespace {

struct ComplexScalar {
    static constexpr int kCount = 1;
    using Real = double;
    double re, im;
    static ComplexScalar load(const double* p) { return {p[0], p[1]}; }
    static ComplexScalar loadReversed(const double* p) { return load(p); }
    // A first pass's input for butterfly j: point reversed[j].
    static ComplexScalar gather(const double* in, const int32_t* reversed, int j) {
        return load(in + 2 * reversed[j]);
    }
    static Real broadcast(double x) { return x; }
    void store(double* p) const {
        p[0] = re;
        p[1] = im;
    }
    void storeReversed(double* p) const { store(p); }
};

inline ComplexScalar operator+(ComplexScalar a, ComplexScalar b) {
    return {a.re + b.re, a.im + b.im};
}
inline ComplexScalar operator-(ComplexScalar a, ComplexScalar b) {
    return {a.re - b.re, a.im - b.im};
}
inline ComplexScalar scale(double h, ComplexScalar z) {
    return {h * z.re, h * z.im};
}
inline ComplexScalar swapParts(ComplexScalar z) {
    return {z.im, z.re};
}
inline ComplexScalar conj(ComplexScalar z) {
    return {z.re, -z.im};
}
// {a.re, b.im}
inline ComplexScalar mixReIm(ComplexScalar a, ComplexScalar b) {
    return {a.re, b.im};
}
// i S z for S = +-1
template <int S>
ComplexScalar timesI(ComplexScalar z) {
    return S > 0 ? ComplexScalar{-z.im, z.re} : ComplexScalar{z.im, -z.re};
}
// {z.re * c - z.im * s, z.im * c + z.re * s}
inline ComplexScalar rotate(ComplexScalar z, double c, double s) {
    return {z.re * c - z.im * s, z.im * c + z.re * s};
}
// A first pass's four outputs, one after the other.
inline void storeQuad(double* out, ComplexScalar o0, ComplexScalar o1, ComplexScalar o2,
                      ComplexScalar o3) {
    o0.store(out);
    o1.store(out + 2);
    o2.store(out + 4);
    o3.store(out + 6);
}

#if defined(__SSE2__)
struct ComplexSse2 {
    static constexpr int kCount = 1;
    using Real = __m128d;
    __m128d v;  // {re, im}
    static ComplexSse2 load(const double* p) { return {_mm_loadu_pd(p)}; }
    static ComplexSse2 loadReversed(const double* p) { return load(p); }
    static ComplexSse2 gather(const double* in, const int32_t* reversed, int j) {
        return load(in + 2 * reversed[j]);
    }
    static Real broadcast(double x) { return _mm_set1_pd(x); }
    void store(double* p) const { _mm_storeu_pd(p, v); }
    void storeReversed(double* p) const { store(p); }
};

inline ComplexSse2 operator+(ComplexSse2 a, ComplexSse2 b) {
    return {_mm_add_pd(a.v, b.v)};
}
inline ComplexSse2 operator-(ComplexSse2 a, ComplexSse2 b) {
    return {_mm_sub_pd(a.v, b.v)};
}
inline ComplexSse2 scale(__m128d h, ComplexSse2 z) {
    return {_mm_mul_pd(h, z.v)};
}
inline ComplexSse2 swapParts(ComplexSse2 z) {
    return {_mm_shuffle_pd(z.v, z.v, 1)};
}
inline ComplexSse2 conj(ComplexSse2 z) {
    return {_mm_xor_pd(z.v, _mm_set_pd(-0.0, 0.0))};
}
inline ComplexSse2 mixReIm(ComplexSse2 a, ComplexSse2 b) {
    return {_mm_move_sd(b.v, a.v)};
}
template <int S>
ComplexSse2 timesI(ComplexSse2 z) {
    const __m128d turn = S > 0 ? _mm_set_pd(0.0, -0.0) : _mm_set_pd(-0.0, 0.0);
    return {_mm_xor_pd(swapParts(z).v, turn)};
}
inline ComplexSse2 rotate(ComplexSse2 z, __m128d c, __m128d s) {
    const __m128d negateRe = _mm_set_pd(0.0, -0.0);
    return {_mm_add_pd(_mm_mul_pd(z.v, c), _mm_xor_pd(_mm_mul_pd(swapParts(z).v, s), negateRe))};
}
inline void storeQuad(double* out, ComplexSse2 o0, ComplexSse2 o1, ComplexSse2 o2, ComplexSse2 o3) {
    o0.store(out);
    o1.store(out + 2);
    o2.store(out + 4);
    o3.store(out + 6);
}
#endif

#if defined(__AVX__)
// Two complex numbers {re, im, re', im'}: those of k and k + 1 in a pass,
// those of butterflies j and j + 4 in a first pass.
struct ComplexPairAvx {
    static constexpr int kCount = 2;
    using Real = __m256d;
    __m256d v;
    static ComplexPairAvx load(const double* p) { return {_mm256_loadu_pd(p)}; }
    // The two numbers at p in the other order.
    static ComplexPairAvx loadReversed(const double* p) {
        const __m256d x = _mm256_loadu_pd(p);
        return {_mm256_permute2f128_pd(x, x, 1)};
    }
    // Points reversed[j] and reversed[j + 4]: butterflies j and j + 4.
    static ComplexPairAvx gather(const double* in, const int32_t* reversed, int j) {
        return {_mm256_loadu2_m128d(in + 2 * reversed[j + 4], in + 2 * reversed[j])};
    }
    static Real broadcast(double x) { return _mm256_set1_pd(x); }
    void store(double* p) const { _mm256_storeu_pd(p, v); }
    void storeReversed(double* p) const { _mm256_storeu_pd(p, _mm256_permute2f128_pd(v, v, 1)); }
};

inline ComplexPairAvx operator+(ComplexPairAvx a, ComplexPairAvx b) {
    return {_mm256_add_pd(a.v, b.v)};
}
inline ComplexPairAvx operator-(ComplexPairAvx a, ComplexPairAvx b) {
    return {_mm256_sub_pd(a.v, b.v)};
}
inline ComplexPairAvx scale(__m256d h, ComplexPairAvx z) {
    return {_mm256_mul_pd(h, z.v)};
}
inline ComplexPairAvx swapParts(ComplexPairAvx z) {
    return {_mm256_permute_pd(z.v, 0x5)};
}
inline ComplexPairAvx conj(ComplexPairAvx z) {
    return {_mm256_xor_pd(z.v, _mm256_set_pd(-0.0, 0.0, -0.0, 0.0))};
}
inline ComplexPairAvx mixReIm(ComplexPairAvx a, ComplexPairAvx b) {
    return {_mm256_blend_pd(b.v, a.v, 0x5)};
}
template <int S>
ComplexPairAvx timesI(ComplexPairAvx z) {
    const __m256d turn =
        S > 0 ? _mm256_set_pd(0.0, -0.0, 0.0, -0.0) : _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);
    return {_mm256_xor_pd(swapParts(z).v, turn)};
}
inline ComplexPairAvx rotate(ComplexPairAvx z, __m256d c, __m256d s) {
    const __m256d negateRe = _mm256_set_pd(0.0, -0.0, 0.0, -0.0);
    return {_mm256_add_pd(_mm256_mul_pd(z.v, c),
                          _mm256_xor_pd(_mm256_mul_pd(swapParts(z).v, s), negateRe))};
}
// {A.o0, A.o1}, {A.o2, A.o3}, then butterfly B's four.
inline void storeQuad(double* out, ComplexPairAvx o0, ComplexPairAvx o1, ComplexPairAvx o2,
                      ComplexPairAvx o3) {
    _mm256_storeu_pd(out, _mm256_permute2f128_pd(o0.v, o1.v, 0x20));
    _mm256_storeu_pd(out + 4, _mm256_permute2f128_pd(o2.v, o3.v, 0x20));
    _mm256_storeu_pd(out + 8, _mm256_permute2f128_pd(o0.v, o1.v, 0x31));
    _mm256_storeu_pd(out + 12, _mm256_permute2f128_pd(o2.v, o3.v, 0x31));
}
#endif

// The twiddles of one k (or of k and k + 1), the sines signed by S, the
// sign of the exponent.
template <class C>
struct Radix4Roots {
    typename C::Real c1, s1, c2, s2, c3, s3;
};

template <int S, class C>
Radix4Roots<C> broadcastRoots(const FftRoot& w) {
    return {C::broadcast(w.c1),     C::broadcast(S * w.s1), C::broadcast(w.c2),
            C::broadcast(S * w.s2), C::broadcast(w.c3),     C::broadcast(S * w.s3)};
}

template <int S, class C>
Radix4Roots<C> rootsAt(const FftTableView& t, int span, int k) {
    if constexpr (C::kCount == 1) {
        return broadcastRoots<S, C>(t.roots[span / 4 - 1 + k]);
    } else {
        const double* p = t.pairRoots + 3 * (span - 8) + 12 * k;
        const C sign{C::broadcast(double(S))};
        auto load = [](const double* q) { return C::load(q).v; };
        auto signedLoad = [&](const double* q) { return scale(sign.v, C::load(q)).v; };
        return {load(p),      signedLoad(p + 4), load(p + 8), signedLoad(p + 12),
                load(p + 16), signedLoad(p + 20)};
    }
}

// One radix-4 butterfly: inputs x0..x3 (the sub-transforms of residues 0,
// 2, 1 and 3 modulo 4), outputs o0..o3.
template <int S, class C>
inline void butterfly4(C x0, C x1, C x2, C x3, const Radix4Roots<C>& r, C& o0, C& o1, C& o2,
                       C& o3) {
    const C b = rotate(x1, r.c2, r.s2);
    const C c = rotate(x2, r.c1, r.s1);
    const C d = rotate(x3, r.c3, r.s3);
    const C t0 = x0 + b, t1 = x0 - b;
    const C t2 = c + d;
    const C t3 = timesI<S>(c - d);
    o0 = t0 + t2;
    o2 = t0 - t2;
    o1 = t1 + t3;
    o3 = t1 - t3;
}

// The leading radix-2 pass, reading its input in bit-reversed order from
// `in` and writing `out` in natural order (one complex number at a time).
template <class C>
void firstRadix2Pass(const int32_t* reversed, int points, const double* in, double* out) {
    static_assert(C::kCount == 1);
    for (int j = 0; j < points; j += 2) {
        const C x = C::load(in + 2 * reversed[j]), y = C::load(in + 2 * reversed[j + 1]);
        (x + y).store(out + 2 * j);
        (x - y).store(out + 2 * j + 2);
    }
}

// The leading radix-4 pass (sub-transforms of one point), reading its input
// in bit-reversed order from `in` and writing `out` in natural order.
template <int S, class C>
[[gnu::noinline]] void firstRadix4Pass(const FftTableView& t, const int32_t* reversed, int points,
                                       const double* in, double* out) {
    const Radix4Roots<C> r = broadcastRoots<S, C>(t.roots[0]);
    for (int j = 0; j < points; j += 4 * C::kCount, out += 8 * C::kCount) {
        C o0, o1, o2, o3;
        butterfly4<S>(C::gather(in, reversed, j), C::gather(in, reversed, j + 1),
                      C::gather(in, reversed, j + 2), C::gather(in, reversed, j + 3), r, o0, o1, o2,
                      o3);
        storeQuad(out, o0, o1, o2, o3);
    }
}

// One radix-4 pass combining sub-transforms of `quarter` points, from `in`
// to the same places in `out` (which may be `in`); with two numbers per
// lane type the butterflies of k and k + 1 run side by side, their points
// being adjacent in every block.
template <int S, class C>
[[gnu::noinline]] void radix4Pass(const FftTableView& tables, int quarter, int points,
                                  const double* in, double* out) {
    const FftTableView t = tables;   // a copy the stores below cannot change
    const int stride = 2 * quarter;  // doubles between the four blocks
    for (int k = 0; k < quarter; k += C::kCount) {
        const Radix4Roots<C> r = rootsAt<S, C>(t, 4 * quarter, k);
        for (int start = 2 * k; start < 2 * points; start += 4 * stride) {
            const double* p = in + start;  // then residues 2, 1 and 3 mod 4
            double* o = out + start;
            C o0, o1, o2, o3;
            butterfly4<S>(C::load(p), C::load(p + stride), C::load(p + 2 * stride),
                          C::load(p + 3 * stride), r, o0, o1, o2, o3);
            o0.store(o);
            o1.store(o + stride);
            o2.store(o + 2 * stride);
            o3.store(o + 3 * stride);
        }
    }
}

// The first pass reads the input in bit-reversed order into a work array,
// the middle ones run there in place and the last one writes back into the
// input's place: cheaper than permuting the input in place first. Wide
// carries the radix-4 passes wherever they have room for it, Narrow (one
// number at a time) the rest.
template <int S, class Wide, class Narrow>
void transform(const FftTableView& t, int log2Points, double* data) {
    const int points = 1 << log2Points;
    const int32_t* reversed = t.reversed + points - 1;
    double a[kMaxFftLength];
    int quarter = 0;
    if (log2Points % 2 == 1) {
        firstRadix2Pass<Narrow>(reversed, points, data, a);
        quarter = 2;
    } else {
        if (points >= 4 * Wide::kCount) {
            firstRadix4Pass<S, Wide>(t, reversed, points, data, a);
        } else {
            firstRadix4Pass<S, Narrow>(t, reversed, points, data, a);
        }
        quarter = 4;
    }
    if (quarter >= points) {  // that was the only pass
        std::memcpy(data, a, sizeof(double) * 2 * points);
        return;
    }
    for (; quarter < points; quarter *= 4) {
        double* out = 4 * quarter == points ? data : a;
        radix4Pass<S, Wide>(t, quarter, points, a, out);
    }
}

template <class Wide, class Narrow>
void transformSigned(const FftTableView& t, int fftSign, int log2Points, double* data) {
    if (fftSign >= 0) {
        transform<1, Wide, Narrow>(t, log2Points, data);
    } else {
        transform<-1, Wide, Narrow>(t, log2Points, data);
    }
}

// realFft's untangling of bins k and n/2 - k from the complex transform Z,
// for k = kBegin .. kEnd - 1:
//     E = (Z_k + conj Z_{n/2-k}) / 2,  O = (Z_k - conj Z_{n/2-k}) / 2i,
//     Y_k = E + w^k O,  Y_{n/2-k} = conj(E - w^k O).
// With two numbers per lane type, bins k and k + 1 go together and their
// partners n/2 - k - 1 and n/2 - k are loaded together and swapped.
template <class C>
void splitBins(const FftTableView& t, int n, int kBegin, int kEnd, double* a) {
    const typename C::Real half = C::broadcast(0.5);
    for (int k = kBegin; k + C::kCount <= kEnd; k += C::kCount) {
        double* p = a + 2 * k;
        double* q = a + n - 2 * k - 2 * (C::kCount - 1);
        typename C::Real c, s;
        if constexpr (C::kCount == 1) {
            const FftRoot& w = t.roots[(n >= 4 ? n : 4) / 4 - 1 + k];
            c = C::broadcast(w.c1);
            s = C::broadcast(w.s1);
        } else {
            const double* roots = t.pairRoots + 3 * (n - 8) + 12 * k;
            c = C::load(roots).v;
            s = C::load(roots + 4).v;
        }
        const C vp = C::load(p), vq = C::loadReversed(q);
        const C e = scale(half, vp + conj(vq));
        const C o = scale(half, conj(swapParts(vp)) + swapParts(vq));
        const C w = rotate(o, c, s);
        (e + w).store(p);
        (mixReIm(e, w) - mixReIm(w, e)).storeReversed(q);
    }
}

}  // namespace
}  // namespace qmz
