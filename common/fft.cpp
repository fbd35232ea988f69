// Iterative FFT: decimation-in-time passes, radix 4 throughout with one
// leading radix-2 pass when log2 of the point count is odd. The first pass
// takes its input in bit-reversed order, so no separate permutation is made.
//
// After each pass the work array holds the transforms of
// the interleaved sub-sequences one after the other. A radix-4 pass turns four
// adjacent sub-transforms of L points into one of 4L points. Because the
// permutation is the binary (radix-2) one, the four blocks hold the
// sub-sequences of residues 0, 2, 1, 3 modulo 4 in that order, which the
// butterfly takes into account.
//
// The twiddles of a pass depend only on its span 4L, not on the transform
// length, so one table serves every size: for each span s = 4, 8, ...,
// kMaxFftLength it holds w^k, w^2k, w^3k for k < s / 4 with w = exp(2 pi i / s).
// The same table gives the real transform's split factors exp(2 pi i k / n),
// k < n / 4. Roots of unity are evaluated by octant reduction so that values
// related by symmetry are exactly symmetric.
#include "common/fft.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <tuple>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/cpu_features.h"

namespace qmz {
namespace {

constexpr int kMaxLog2 = 12;  // log2(kMaxFftLength)
constexpr int kMaxPairSpan = kMaxFftLength / 2;
static_assert((1 << kMaxLog2) == kMaxFftLength);

struct Root3 {
    double c1, s1, c2, s2, c3, s3;  // cos and sin of k, 2k, 3k times 2 pi / span
};

struct FftTables {
    std::vector<Root3> roots;  // span s at offset s / 4 - 1, s / 4 entries
    // The same roots for two adjacent k at once, for four-lane registers: per
    // pair (k, k + 1) of span s, c1 c1 c1' c1', s1 s1 s1' s1', then the same
    // for 2k and 3k: 24 doubles per pair, 3 s per span from s = 8 up to
    // kMaxPairSpan (the largest span of a complex transform; the real
    // transform's largest size keeps to two-lane code).
    std::vector<double> pairRoots;
    // Bit-reversed indices of 2^e points at offset 2^e - 1.
    std::vector<int32_t> reversed;

    const Root3* rootsFor(int span) const { return roots.data() + span / 4 - 1; }
    const double* pairRootsFor(int span) const { return pairRoots.data() + 3 * (span - 8); }
    const int32_t* reversedFor(int log2Points) const {
        return reversed.data() + (1 << log2Points) - 1;
    }
};

// cos and sin of 2 pi j / n for 0 <= j < n, reduced to the first octant.
std::pair<double, double> rootOfUnity(long j, long n) {
    const long e = 8 * j;
    const long octant = e / n;
    const long r = e % n;
    const double quarterPi = std::numbers::pi / 4;
    const double x = (octant % 2 == 0) ? quarterPi * (double(r) / double(n))
                                       : quarterPi * (double(n - r) / double(n));
    const double c = std::cos(x);
    const double s = std::sin(x);
    switch (octant) {
        case 0:
            return {c, s};
        case 1:
            return {s, c};
        case 2:
            return {-s, c};
        case 3:
            return {-c, s};
        case 4:
            return {-c, -s};
        case 5:
            return {-s, -c};
        case 6:
            return {s, -c};
        default:
            return {c, -s};
    }
}

FftTables buildTables() {
    FftTables t;
    t.roots.resize(kMaxFftLength / 2 - 1);
    for (int span = 4; span <= kMaxFftLength; span *= 2) {
        Root3* r = t.roots.data() + span / 4 - 1;
        for (int k = 0; k < span / 4; ++k) {
            std::tie(r[k].c1, r[k].s1) = rootOfUnity(k, span);
            std::tie(r[k].c2, r[k].s2) = rootOfUnity(2 * k, span);
            std::tie(r[k].c3, r[k].s3) = rootOfUnity(3 * k, span);
        }
    }
    t.pairRoots.resize(3 * static_cast<std::size_t>(2 * kMaxPairSpan - 8));
    for (int span = 8; span <= kMaxPairSpan; span *= 2) {
        const Root3* r = t.rootsFor(span);
        double* out = t.pairRoots.data() + 3 * (span - 8);
        for (int k = 0; k < span / 4; k += 2, out += 24) {
            const double Root3::*fields[] = {&Root3::c1, &Root3::s1, &Root3::c2,
                                             &Root3::s2, &Root3::c3, &Root3::s3};
            for (int f = 0; f < 6; ++f) {
                out[4 * f] = out[4 * f + 1] = r[k].*fields[f];
                out[4 * f + 2] = out[4 * f + 3] = r[k + 1].*fields[f];
            }
        }
    }
    for (int e = 0; e < kMaxLog2; ++e) {  // up to kMaxFftLength / 2 points
        for (int i = 0; i < (1 << e); ++i) {
            int rev = 0;
            for (int b = 0; b < e; ++b) rev |= ((i >> b) & 1) << (e - 1 - b);
            t.reversed.push_back(rev);
        }
    }
    return t;
}

const FftTables& fftTables() {
    static const FftTables tables = buildTables();
    return tables;
}

int log2OfPowerOfTwo(int n) {
    if (n <= 0 || (n & (n - 1)) != 0) return -1;
    int e = 0;
    while ((1 << e) < n) ++e;
    return e;
}

// kSse2 picks the SSE2 form of a kernel over the scalar one (see
// cpu_features.h); where the compiler has no SSE2 both are the scalar form.

// The leading radix-2 pass, reading its input in bit-reversed order from
// `in` and writing `out` in natural order.
template <bool kSse2>
void firstRadix2Pass(const int32_t* reversed, int points, const double* in, double* out) {
    for (int j = 0; j < points; j += 2) {
        const double* x = in + 2 * reversed[j];
        const double* y = in + 2 * reversed[j + 1];
#if defined(__SSE2__)
        if constexpr (kSse2) {
            const __m128d vx = _mm_loadu_pd(x), vy = _mm_loadu_pd(y);
            _mm_storeu_pd(out + 2 * j, _mm_add_pd(vx, vy));
            _mm_storeu_pd(out + 2 * j + 2, _mm_sub_pd(vx, vy));
            continue;
        }
#endif
        const double xr = y[0], xi = y[1];
        out[2 * j + 2] = x[0] - xr;
        out[2 * j + 3] = x[1] - xi;
        out[2 * j] = x[0] + xr;
        out[2 * j + 1] = x[1] + xi;
    }
}

#if defined(__SSE2__)
// A complex number as one SSE2 register {re, im}. Each lane carries out
// exactly the scalar operations below (x + (-y) is x - y to the bit), so
// both forms give the same results; every x86-64 has SSE2.
inline __m128d swapParts(__m128d z) {
    return _mm_shuffle_pd(z, z, 1);
}

// {z.re * c - z.im * s, z.im * c + z.re * s}
inline __m128d rotate(__m128d z, __m128d c, __m128d s, __m128d negateRe) {
    return _mm_add_pd(_mm_mul_pd(z, c), _mm_xor_pd(_mm_mul_pd(swapParts(z), s), negateRe));
}
#endif

// The twiddles of one k, the sines signed by S, the sign of the exponent.
template <int S, bool kSse2>
struct Radix4Roots {
    explicit Radix4Roots(const Root3& w)
        : c1(w.c1), s1(S * w.s1), c2(w.c2), s2(S * w.s2), c3(w.c3), s3(S * w.s3) {}
    double c1, s1, c2, s2, c3, s3;
};

#if defined(__SSE2__)
template <int S>
struct Radix4Roots<S, true> {
    explicit Radix4Roots(const Root3& w)
        : c1(_mm_set1_pd(w.c1)),
          s1(_mm_set1_pd(S * w.s1)),
          c2(_mm_set1_pd(w.c2)),
          s2(_mm_set1_pd(S * w.s2)),
          c3(_mm_set1_pd(w.c3)),
          s3(_mm_set1_pd(S * w.s3)) {}
    __m128d c1, s1, c2, s2, c3, s3;
};
#endif

// One radix-4 butterfly: inputs i0..i3 (the sub-transforms of residues 0,
// 2, 1 and 3 modulo 4), outputs o0..o3; every input is read before any
// output is written, so they may be the same places.
template <int S, bool kSse2>
inline void butterfly4(const double* i0, const double* i1, const double* i2, const double* i3,
                       double* o0, double* o1, double* o2, double* o3,
                       const Radix4Roots<S, kSse2>& r) {
#if defined(__SSE2__)
    if constexpr (kSse2) {
        const __m128d negateRe = _mm_set_pd(0.0, -0.0);
        // S t3 enters as {-S t3.im, S t3.re}: i S t3.
        const __m128d turn = S > 0 ? _mm_set_pd(0.0, -0.0) : _mm_set_pd(-0.0, 0.0);
        const __m128d x0 = _mm_loadu_pd(i0);
        const __m128d b = rotate(_mm_loadu_pd(i1), r.c2, r.s2, negateRe);
        const __m128d c = rotate(_mm_loadu_pd(i2), r.c1, r.s1, negateRe);
        const __m128d d = rotate(_mm_loadu_pd(i3), r.c3, r.s3, negateRe);
        const __m128d t0 = _mm_add_pd(x0, b), t1 = _mm_sub_pd(x0, b);
        const __m128d t2 = _mm_add_pd(c, d);
        const __m128d t3 = _mm_xor_pd(swapParts(_mm_sub_pd(c, d)), turn);
        _mm_storeu_pd(o0, _mm_add_pd(t0, t2));
        _mm_storeu_pd(o2, _mm_sub_pd(t0, t2));
        _mm_storeu_pd(o1, _mm_add_pd(t1, t3));
        _mm_storeu_pd(o3, _mm_sub_pd(t1, t3));
    } else
#endif
    {
        const double br = i1[0] * r.c2 - i1[1] * r.s2, bi = i1[1] * r.c2 + i1[0] * r.s2;
        const double cr = i2[0] * r.c1 - i2[1] * r.s1, ci = i2[1] * r.c1 + i2[0] * r.s1;
        const double dr = i3[0] * r.c3 - i3[1] * r.s3, di = i3[1] * r.c3 + i3[0] * r.s3;
        const double t0r = i0[0] + br, t0i = i0[1] + bi;
        const double t1r = i0[0] - br, t1i = i0[1] - bi;
        const double t2r = cr + dr, t2i = ci + di;
        const double t3r = cr - dr, t3i = ci - di;
        o0[0] = t0r + t2r;
        o0[1] = t0i + t2i;
        o2[0] = t0r - t2r;
        o2[1] = t0i - t2i;
        o1[0] = t1r - S * t3i;
        o1[1] = t1i + S * t3r;
        o3[0] = t1r + S * t3i;
        o3[1] = t1i - S * t3r;
    }
}

// One radix-4 pass combining sub-transforms of `quarter` points, from `in`
// to the same places in `out` (which may be `in`).
template <int S, bool kSse2>
void radix4Pass(const Root3* w, int quarter, int points, const double* in, double* out) {
    const int stride = 2 * quarter;  // doubles between the four blocks
    for (int k = 0; k < quarter; ++k) {
        const Radix4Roots<S, kSse2> r(w[k]);
        for (int start = 2 * k; start < 2 * points; start += 4 * stride) {
            const double* p0 = in + start;
            const double* p1 = p0 + stride;  // residues 2 mod 4
            const double* p2 = p1 + stride;  // residues 1 mod 4
            const double* p3 = p2 + stride;  // residues 3 mod 4
            double* o0 = out + start;
            butterfly4(p0, p1, p2, p3, o0, o0 + stride, o0 + 2 * stride, o0 + 3 * stride, r);
        }
    }
}

// The leading radix-4 pass (sub-transforms of one point), reading its input
// in bit-reversed order from `in` and writing `out` in natural order.
template <int S, bool kSse2>
void firstRadix4Pass(const Root3* w, const int32_t* reversed, int points, const double* in,
                     double* out) {
    const Radix4Roots<S, kSse2> r(w[0]);
    for (int j = 0; j < points; j += 4, out += 8) {
        butterfly4(in + 2 * reversed[j], in + 2 * reversed[j + 1], in + 2 * reversed[j + 2],
                   in + 2 * reversed[j + 3], out, out + 2, out + 4, out + 6, r);
    }
}

#if defined(QMZ_AVX_PATHS)
// Two complex numbers per register {re, im, re', im'}; swapParts and rotate
// as above, lane pair by lane pair.
QMZ_TARGET_AVX inline __m256d swapParts(__m256d z) {
    return _mm256_permute_pd(z, 0x5);
}

QMZ_TARGET_AVX inline __m256d rotate(__m256d z, __m256d c, __m256d s, __m256d negateRe) {
    return _mm256_add_pd(_mm256_mul_pd(z, c),
                         _mm256_xor_pd(_mm256_mul_pd(swapParts(z), s), negateRe));
}

// radix4Pass for quarter >= 2, the butterflies of k and k + 1 side by side:
// their points are adjacent in every block.
template <int S>
QMZ_TARGET_AVX void radix4PassAvx(const double* pairRoots, int quarter, int points,
                                  const double* in, double* out) {
    const int stride = 2 * quarter;
    const __m256d negateRe = _mm256_set_pd(0.0, -0.0, 0.0, -0.0);
    const __m256d turn = S > 0 ? negateRe : _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);
    const __m256d sign = _mm256_set1_pd(double(S));
    for (int k = 0; k < quarter; k += 2, pairRoots += 24) {
        const __m256d vc1 = _mm256_loadu_pd(pairRoots);
        const __m256d vs1 = _mm256_mul_pd(sign, _mm256_loadu_pd(pairRoots + 4));
        const __m256d vc2 = _mm256_loadu_pd(pairRoots + 8);
        const __m256d vs2 = _mm256_mul_pd(sign, _mm256_loadu_pd(pairRoots + 12));
        const __m256d vc3 = _mm256_loadu_pd(pairRoots + 16);
        const __m256d vs3 = _mm256_mul_pd(sign, _mm256_loadu_pd(pairRoots + 20));
        for (int start = 2 * k; start < 2 * points; start += 4 * stride) {
            const double* p0 = in + start;
            const double* p1 = p0 + stride;
            const double* p2 = p1 + stride;
            const double* p3 = p2 + stride;
            double* o0 = out + start;
            const __m256d x0 = _mm256_loadu_pd(p0);
            const __m256d b = rotate(_mm256_loadu_pd(p1), vc2, vs2, negateRe);
            const __m256d c = rotate(_mm256_loadu_pd(p2), vc1, vs1, negateRe);
            const __m256d d = rotate(_mm256_loadu_pd(p3), vc3, vs3, negateRe);
            const __m256d t0 = _mm256_add_pd(x0, b), t1 = _mm256_sub_pd(x0, b);
            const __m256d t2 = _mm256_add_pd(c, d);
            const __m256d t3 = _mm256_xor_pd(swapParts(_mm256_sub_pd(c, d)), turn);
            _mm256_storeu_pd(o0, _mm256_add_pd(t0, t2));
            _mm256_storeu_pd(o0 + 2 * stride, _mm256_sub_pd(t0, t2));
            _mm256_storeu_pd(o0 + stride, _mm256_add_pd(t1, t3));
            _mm256_storeu_pd(o0 + 3 * stride, _mm256_sub_pd(t1, t3));
        }
    }
}
// Complex input points reversed[j] and reversed[j + 4], in one register.
QMZ_TARGET_AVX inline __m256d gatherPair(const double* in, const int32_t* reversed, int j) {
    return _mm256_loadu2_m128d(in + 2 * reversed[j + 4], in + 2 * reversed[j]);
}

// firstRadix4Pass with butterflies j and j + 4 side by side: the same
// operations lane pair by lane pair.
template <int S>
QMZ_TARGET_AVX void firstRadix4PassAvx(const Root3* w, const int32_t* reversed, int points,
                                       const double* in, double* out) {
    const __m256d negateRe = _mm256_set_pd(0.0, -0.0, 0.0, -0.0);
    const __m256d turn = S > 0 ? negateRe : _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);
    const __m256d c1 = _mm256_set1_pd(w[0].c1), s1 = _mm256_set1_pd(S * w[0].s1);
    const __m256d c2 = _mm256_set1_pd(w[0].c2), s2 = _mm256_set1_pd(S * w[0].s2);
    const __m256d c3 = _mm256_set1_pd(w[0].c3), s3 = _mm256_set1_pd(S * w[0].s3);
    for (int j = 0; j < points; j += 8, out += 16) {
        const __m256d x0 = gatherPair(in, reversed, j);
        const __m256d b = rotate(gatherPair(in, reversed, j + 1), c2, s2, negateRe);
        const __m256d c = rotate(gatherPair(in, reversed, j + 2), c1, s1, negateRe);
        const __m256d d = rotate(gatherPair(in, reversed, j + 3), c3, s3, negateRe);
        const __m256d t0 = _mm256_add_pd(x0, b), t1 = _mm256_sub_pd(x0, b);
        const __m256d t2 = _mm256_add_pd(c, d);
        const __m256d t3 = _mm256_xor_pd(swapParts(_mm256_sub_pd(c, d)), turn);
        const __m256d o0 = _mm256_add_pd(t0, t2), o2 = _mm256_sub_pd(t0, t2);
        const __m256d o1 = _mm256_add_pd(t1, t3), o3 = _mm256_sub_pd(t1, t3);
        // {A.o0, A.o1}, {A.o2, A.o3}, then B's at out + 8.
        _mm256_storeu_pd(out, _mm256_permute2f128_pd(o0, o1, 0x20));
        _mm256_storeu_pd(out + 4, _mm256_permute2f128_pd(o2, o3, 0x20));
        _mm256_storeu_pd(out + 8, _mm256_permute2f128_pd(o0, o1, 0x31));
        _mm256_storeu_pd(out + 12, _mm256_permute2f128_pd(o2, o3, 0x31));
    }
}
#endif

// The first pass reads the input in bit-reversed order into a work array,
// the middle ones run there in place and the last one writes back into the
// input's place: cheaper than permuting the input in place first.
template <int S, bool kSse2>
void transform(const FftTables& t, int log2Points, double* data) {
    const int points = 1 << log2Points;
    double a[kMaxFftLength];
    int quarter = 0;
    if (log2Points % 2 == 1) {
        firstRadix2Pass<kSse2>(t.reversedFor(log2Points), points, data, a);
        quarter = 2;
    } else {
#if defined(QMZ_AVX_PATHS)
        if (points >= 8 && cpuHasAvx()) {
            firstRadix4PassAvx<S>(t.rootsFor(4), t.reversedFor(log2Points), points, data, a);
        } else {
            firstRadix4Pass<S, kSse2>(t.rootsFor(4), t.reversedFor(log2Points), points, data, a);
        }
#else
        firstRadix4Pass<S, kSse2>(t.rootsFor(4), t.reversedFor(log2Points), points, data, a);
#endif
        quarter = 4;
    }
    if (quarter >= points) {  // that was the only pass
        std::copy(a, a + 2 * points, data);
        return;
    }
    for (; quarter < points; quarter *= 4) {
        double* out = 4 * quarter == points ? data : a;
#if defined(QMZ_AVX_PATHS)
        if (cpuHasAvx()) {
            radix4PassAvx<S>(t.pairRootsFor(4 * quarter), quarter, points, a, out);
            continue;
        }
#endif
        radix4Pass<S, kSse2>(t.rootsFor(4 * quarter), quarter, points, a, out);
    }
}

// realFft's untangling of bins k and n/2 - k from the complex transform Z:
//     E = (Z_k + conj Z_{n/2-k}) / 2,  O = (Z_k - conj Z_{n/2-k}) / 2i,
//     Y_k = E + w^k O,  Y_{n/2-k} = conj(E - w^k O).
template <bool kSse2>
void splitBin(const Root3* w, int n, int k, double* a) {
    double* p = a + 2 * k;
    double* q = a + n - 2 * k;
#if defined(__SSE2__)
    if constexpr (kSse2) {
        // {er, ei} = 0.5 {p.re + q.re, p.im - q.im}, {or, oi} = 0.5 {p.im + q.im,
        // q.re - p.re}, t = rotate(o), p = e + t, q = {er - tr, ti - ei}: the
        // scalar steps below, lane by lane (x + (-y) is x - y, and a sum does not
        // depend on its order).
        const __m128d half = _mm_set1_pd(0.5), negateIm = _mm_set_pd(-0.0, 0.0);
        const __m128d negateRe = _mm_set_pd(0.0, -0.0);
        const __m128d vp = _mm_loadu_pd(p), vq = _mm_loadu_pd(q);
        const __m128d e = _mm_mul_pd(half, _mm_add_pd(vp, _mm_xor_pd(vq, negateIm)));
        const __m128d o =
            _mm_mul_pd(half, _mm_add_pd(_mm_xor_pd(swapParts(vp), negateIm), swapParts(vq)));
        const __m128d t = rotate(o, _mm_set1_pd(w[k].c1), _mm_set1_pd(w[k].s1), negateRe);
        _mm_storeu_pd(p, _mm_add_pd(e, t));
        _mm_storeu_pd(q, _mm_sub_pd(_mm_move_sd(t, e), _mm_move_sd(e, t)));
        return;
    }
#endif
    const double er = 0.5 * (p[0] + q[0]), ei = 0.5 * (p[1] - q[1]);
    const double orr = 0.5 * (p[1] + q[1]), oi = 0.5 * (q[0] - p[0]);
    const double tr = w[k].c1 * orr - w[k].s1 * oi;
    const double ti = w[k].c1 * oi + w[k].s1 * orr;
    p[0] = er + tr;
    p[1] = ei + ti;
    q[0] = er - tr;
    q[1] = ti - ei;
}

#if defined(QMZ_AVX_PATHS)
// splitBin for k = 2 .. n/4 - 1, the bins k and k + 1 side by side (n >= 16);
// the partners n/2 - k - 1 and n/2 - k are loaded together and swapped.
QMZ_TARGET_AVX void splitBinPairsAvx(const double* pairRoots, int n, double* a) {
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d negateIm = _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);
    const __m256d negateRe = _mm256_set_pd(0.0, -0.0, 0.0, -0.0);
    for (int k = 2; k + 1 < n / 4; k += 2) {
        const double* roots = pairRoots + 12 * k;  // the pair (k, k + 1)
        double* p = a + 2 * k;
        double* q = a + n - 2 * k - 2;  // partner of k + 1, then that of k
        const __m256d vp = _mm256_loadu_pd(p);
        const __m256d vqLoaded = _mm256_loadu_pd(q);
        const __m256d vq = _mm256_permute2f128_pd(vqLoaded, vqLoaded, 1);
        const __m256d e = _mm256_mul_pd(half, _mm256_add_pd(vp, _mm256_xor_pd(vq, negateIm)));
        const __m256d o = _mm256_mul_pd(
            half, _mm256_add_pd(_mm256_xor_pd(swapParts(vp), negateIm), swapParts(vq)));
        const __m256d t = rotate(o, _mm256_loadu_pd(roots), _mm256_loadu_pd(roots + 4), negateRe);
        _mm256_storeu_pd(p, _mm256_add_pd(e, t));
        const __m256d r = _mm256_sub_pd(_mm256_blend_pd(t, e, 0x5), _mm256_blend_pd(e, t, 0x5));
        _mm256_storeu_pd(q, _mm256_permute2f128_pd(r, r, 1));
    }
}
#endif

}  // namespace

void fftInit() {
    fftTables();
}

void complexFft(int n, int fftSign, double* a) {
    const int log2n = log2OfPowerOfTwo(n);
    if (log2n < 2 || n > kMaxFftLength) return;
    const FftTables& t = fftTables();
    if (useSse2()) {
        if (fftSign >= 0) {
            transform<1, true>(t, log2n - 1, a);
        } else {
            transform<-1, true>(t, log2n - 1, a);
        }
    } else if (fftSign >= 0) {
        transform<1, false>(t, log2n - 1, a);
    } else {
        transform<-1, false>(t, log2n - 1, a);
    }
}

// The n reals are transformed as n / 2 complex points z_j = a[2j] + i a[2j+1].
// With E and O the transforms of the even and odd samples, Z_k = E_k + i O_k,
// and the wanted Y_k = R_k + i I_k = E_k + exp(2 pi i k / n) O_k. Bins k and
// n/2 - k are untangled together; bin n/4 needs nothing (Y = Z there).
void realFft(int n, double* a) {
    const int log2n = log2OfPowerOfTwo(n);
    if (log2n < 1 || n > kMaxFftLength) return;
    complexFft(n, 1, a);
    const FftTables& t = fftTables();
    const Root3* w = t.rootsFor(n >= 4 ? n : 4);
    int k = 1;
#if defined(QMZ_AVX_PATHS)
    if (n >= 16 && n <= kMaxPairSpan && cpuHasAvx()) {
        splitBin<true>(w, n, 1, a);
        splitBinPairsAvx(t.pairRootsFor(n), n, a);
        k = n / 4;
    }
#endif
    if (useSse2()) {
        for (; k < n / 4; ++k) splitBin<true>(w, n, k, a);
    } else {
        for (; k < n / 4; ++k) splitBin<false>(w, n, k, a);
    }
    const double sum = a[0] + a[1];
    a[1] = a[0] - a[1];
    a[0] = sum;
}

}  // namespace qmz
