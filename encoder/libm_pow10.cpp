#include "encoder/libm_pow10.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/cpu_features.h"

namespace qmz {
namespace {

// log2(10) and ln(2) as a double and the rest (to about 2^-106).
constexpr double kLog2Of10Hi = 0x1.a934f0979a371p+1;
constexpr double kLog2Of10Lo = 0x1.7f2495fb7fa6dp-53;
constexpr double kLn2Hi = 0x1.62e42fefa39efp-1;
constexpr double kLn2Lo = 0x1.abc9e3b39803fp-56;

constexpr int kTableBits = 8;
constexpr int kTableSize = 1 << kTableBits;

// Before its final rounding, the library's pow is within 0.011 units in
// the last place (ULP) of the true value from its exponential (0.511 ULP
// after rounding) plus what its logarithm carries over, at most
// 1.5 * 2^-68 * |y ln x| * 2^53 ULP: 0.003 ULP for |y ln 10| < 70. Ours
// (below) is within 0.002 ULP. A value whose distance from the double it
// rounds to is at most 0.465 ULP is therefore rounded to that same double by
// both, with twice the margin needed. (Measured on 5e7 random exponents: the
// library rounded away from the true value only within 0.010 ULP of a
// boundary.)
constexpr double kDecidedUlps = 0.465;

// 2^(j/256) for j = 0..255 as a double and the rest. Long double carries 64
// bits, so the pair is good to about 2^-63.
struct Pow2Table {
    double hi[kTableSize];
    double lo[kTableSize];
};

const Pow2Table& pow2Table() {
    static const Pow2Table table = [] {
        Pow2Table t{};
        for (int j = 0; j < kTableSize; ++j) {
            const long double v = std::exp2l(static_cast<long double>(j) / kTableSize);
            t.hi[j] = static_cast<double>(v);
            t.lo[j] = static_cast<double>(v - static_cast<long double>(t.hi[j]));
        }
        return t;
    }();
    return table;
}

#if defined(QMZ_AVX_PATHS)
// Error budget, relative to the result (2^-52 relative is one ULP at most):
//   t = y log2(10) as th + tl: 2^-96 absolute for |y| < 30;
//   2^(j/256) pair: 2^-63; e^s - 1 for |s| <= 2^-9.5 by its Taylor series to
//   s^5/120: the first term left out, s^6/720, is below 2^-66; the cross
//   terms of the low part of s beyond s_h s_l: below 2^-66; the roundings
//   of the small terms: below 2^-69.
// In all under 2^-62, that is 0.002 ULP of a result in [0.99, 2.01).
QMZ_TARGET_FMA bool decide(double y, double& result) {
    if (!(std::fabs(y) < 30.0)) return false;
    const Pow2Table& table = pow2Table();

    const double th = y * kLog2Of10Hi;
    const double tl = std::fma(y, kLog2Of10Hi, -th) + y * kLog2Of10Lo;

    // th = k/256 + r with k the nearest integer to 256 th; r is exact (both
    // are multiples of th's last place and |r| <= 1/512).
    constexpr double kShift = 0x1.8p52;
    const double kd = (th * kTableSize + kShift) - kShift;
    const double r = th - kd * (1.0 / kTableSize);
    const int64_t k = static_cast<int64_t>(kd);
    const int j = static_cast<int>(k & (kTableSize - 1));
    const int64_t e = k >> kTableBits;

    // s = (r + tl) ln 2 as sh + sl; e^s - 1 = sh + sl + p.
    const double sh = r * kLn2Hi;
    const double sl = std::fma(r, kLn2Hi, -sh) + (r * kLn2Lo + tl * kLn2Hi);
    const double p =
        sh * sh * (0.5 + sh * (1.0 / 6 + sh * (1.0 / 24 + sh * (1.0 / 120)))) + sh * sl;
    const double low = sl + p;

    // (Th + Tl)(1 + sh + low) = Th + Th sh + [Th low + Tl + Tl sh] to 2^-70.
    const double th2 = table.hi[j];
    const double tl2 = table.lo[j];
    const double a = th2 * sh;
    const double aErr = std::fma(th2, sh, -a);
    const double rest = tl2 + (tl2 * sh + (aErr + th2 * low));
    const double s1 = th2 + a;  // |a| < Th: the error of the sum is exact
    const double e1 = a - (s1 - th2);
    const double c = e1 + rest;
    const double m = s1 + c;
    const double d = (s1 - m) + c;  // s1 - m is exact (Sterbenz)

    const uint64_t bits = std::bit_cast<uint64_t>(m);
    if ((bits & 0x000fffffffffffffULL) == 0) return false;  // uneven ulps either side
    const double scale = std::bit_cast<double>(bits & 0x7ff0000000000000ULL);  // 2^exponent
    if (!(std::fabs(d) <= scale * (kDecidedUlps * 0x1p-52))) return false;
    result = m * std::bit_cast<double>(static_cast<uint64_t>(1023 + e) << 52);
    return true;
}

// For each mask of undecided lanes, those lanes in order (then zeros) and
// their number: four stores and one addition list them without a branch.
struct UndecidedLanes {
    int lane[4];
    int count;
};

constexpr std::array<UndecidedLanes, 16> kUndecidedLanes = [] {
    std::array<UndecidedLanes, 16> table{};
    for (int mask = 0; mask < 16; ++mask) {
        for (int lane = 0; lane < 4; ++lane)
            if (mask & (1 << lane)) table[mask].lane[table[mask].count++] = lane;
    }
    return table;
}();

// Values left undecided are worked out by the library, a batch at a time.
void undecidedByLibrary(const double* db, double* power, const int* index, int count) {
    for (int k = 0; k < count; ++k) power[index[k]] = std::pow(10.0, db[index[k]] / 10.0);
}

// The same evaluation four values at a time.
QMZ_TARGET_FMA void decideBatch(const double* db, double* power, int n) {
    const Pow2Table& table = pow2Table();
    const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    const __m256d shift = _mm256_set1_pd(0x1.8p52);
    const __m256i expMask = _mm256_set1_epi64x(0x7ff0000000000000LL);
    const __m256i fracMask = _mm256_set1_epi64x(0x000fffffffffffffLL);
    const __m256i biasedK = _mm256_set1_epi64x(1023LL << kTableBits);
    const __m256i tableMask = _mm256_set1_epi64x(kTableSize - 1);
    constexpr int kPendingMax = 64;
    int pending[kPendingMax + 4];
    int pendingCount = 0;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d vy = _mm256_div_pd(_mm256_loadu_pd(db + i), _mm256_set1_pd(10.0));
        const __m256d inRange =
            _mm256_cmp_pd(_mm256_and_pd(vy, absMask), _mm256_set1_pd(30.0), _CMP_LT_OQ);

        const __m256d l2h = _mm256_set1_pd(kLog2Of10Hi);
        const __m256d th = _mm256_mul_pd(vy, l2h);
        const __m256d tl = _mm256_add_pd(_mm256_fmsub_pd(vy, l2h, th),
                                         _mm256_mul_pd(vy, _mm256_set1_pd(kLog2Of10Lo)));
        const __m256d z = _mm256_add_pd(_mm256_mul_pd(th, _mm256_set1_pd(kTableSize)), shift);
        const __m256d kd = _mm256_sub_pd(z, shift);
        const __m256d r = _mm256_sub_pd(th, _mm256_mul_pd(kd, _mm256_set1_pd(1.0 / kTableSize)));
        // z's low bits hold k (two's complement) once the shift's bits are taken off.
        const __m256i k = _mm256_sub_epi64(_mm256_castpd_si256(z), _mm256_castpd_si256(shift));
        const __m256i j = _mm256_and_si256(k, tableMask);
        const __m256i scaleBits =
            _mm256_slli_epi64(_mm256_srli_epi64(_mm256_add_epi64(k, biasedK), kTableBits), 52);

        const __m256d ln2h = _mm256_set1_pd(kLn2Hi);
        const __m256d sh = _mm256_mul_pd(r, ln2h);
        const __m256d sl = _mm256_add_pd(
            _mm256_fmsub_pd(r, ln2h, sh),
            _mm256_add_pd(_mm256_mul_pd(r, _mm256_set1_pd(kLn2Lo)), _mm256_mul_pd(tl, ln2h)));
        __m256d poly =
            _mm256_add_pd(_mm256_set1_pd(1.0 / 24), _mm256_mul_pd(sh, _mm256_set1_pd(1.0 / 120)));
        poly = _mm256_add_pd(_mm256_set1_pd(1.0 / 6), _mm256_mul_pd(sh, poly));
        poly = _mm256_add_pd(_mm256_set1_pd(0.5), _mm256_mul_pd(sh, poly));
        const __m256d p =
            _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(sh, sh), poly), _mm256_mul_pd(sh, sl));
        const __m256d low = _mm256_add_pd(sl, p);

        const __m256d hi = _mm256_i64gather_pd(table.hi, j, 8);
        const __m256d lo = _mm256_i64gather_pd(table.lo, j, 8);
        const __m256d a = _mm256_mul_pd(hi, sh);
        const __m256d aErr = _mm256_fmsub_pd(hi, sh, a);
        const __m256d rest = _mm256_add_pd(
            lo, _mm256_add_pd(_mm256_mul_pd(lo, sh), _mm256_add_pd(aErr, _mm256_mul_pd(hi, low))));
        const __m256d s1 = _mm256_add_pd(hi, a);
        const __m256d e1 = _mm256_sub_pd(a, _mm256_sub_pd(s1, hi));
        const __m256d c = _mm256_add_pd(e1, rest);
        const __m256d m = _mm256_add_pd(s1, c);
        const __m256d d = _mm256_add_pd(_mm256_sub_pd(s1, m), c);

        const __m256i mBits = _mm256_castpd_si256(m);
        const __m256d scale = _mm256_castsi256_pd(_mm256_and_si256(mBits, expMask));
        const __m256d evenUlps = _mm256_castsi256_pd(
            _mm256_cmpeq_epi64(_mm256_and_si256(mBits, fracMask), _mm256_setzero_si256()));
        const __m256d inside =
            _mm256_cmp_pd(_mm256_and_pd(d, absMask),
                          _mm256_mul_pd(scale, _mm256_set1_pd(kDecidedUlps * 0x1p-52)), _CMP_LE_OQ);
        const __m256d decided = _mm256_andnot_pd(evenUlps, _mm256_and_pd(inside, inRange));
        _mm256_storeu_pd(power + i, _mm256_mul_pd(m, _mm256_castsi256_pd(scaleBits)));
        const int undecided = ~_mm256_movemask_pd(decided) & 0xf;
        const UndecidedLanes& lanes = kUndecidedLanes[undecided];
        for (int lane = 0; lane < 4; ++lane) pending[pendingCount + lane] = i + lanes.lane[lane];
        pendingCount += lanes.count;
        if (pendingCount >= kPendingMax) {
            _mm256_zeroupper();
            undecidedByLibrary(db, power, pending, pendingCount);
            pendingCount = 0;
        }
    }
    // Callers are baseline code: leave the upper register halves clean.
    _mm256_zeroupper();
    undecidedByLibrary(db, power, pending, pendingCount);
    for (; i < n; ++i) {
        const double y = db[i] / 10.0;
        if (!decide(y, power[i])) power[i] = std::pow(10.0, y);
    }
}
#endif

}  // namespace

bool libmPow10Decided(double y, double& result) {
#if defined(QMZ_AVX_PATHS)
    static const bool fma = cpuHasFma();
    if (fma) return decide(y, result);
#endif
    (void)y;
    (void)result;
    return false;
}

void libmDecibelsToPower(const double* db, double* power, int n) {
#if defined(QMZ_AVX_PATHS)
    static const bool fma = cpuHasFma();
    if (fma) return decideBatch(db, power, n);
#endif
    for (int i = 0; i < n; ++i) power[i] = std::pow(10.0, db[i] / 10.0);
}

}  // namespace qmz
