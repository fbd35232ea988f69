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

#include <cmath>
#include <cstdint>
#include <numbers>
#include <tuple>
#include <utility>
#include <vector>

#include "common/cpu_features.h"
#include "common/fft_kernels.h"

namespace qmz {
namespace {

constexpr int kMaxLog2 = 12;  // log2(kMaxFftLength)
static_assert((1 << kMaxLog2) == kMaxFftLength);

// Laid out as FftTableView describes.
struct FftTables {
    std::vector<FftRoot> roots;
    std::vector<double> pairRoots;
    std::vector<int32_t> reversed;
    FftTableView view;
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
        FftRoot* r = t.roots.data() + span / 4 - 1;
        for (int k = 0; k < span / 4; ++k) {
            std::tie(r[k].c1, r[k].s1) = rootOfUnity(k, span);
            std::tie(r[k].c2, r[k].s2) = rootOfUnity(2 * k, span);
            std::tie(r[k].c3, r[k].s3) = rootOfUnity(3 * k, span);
        }
    }
    t.pairRoots.resize(3 * static_cast<std::size_t>(2 * kMaxPairSpan - 8));
    for (int span = 8; span <= kMaxPairSpan; span *= 2) {
        const FftRoot* r = t.roots.data() + span / 4 - 1;
        double* out = t.pairRoots.data() + 3 * (span - 8);
        for (int k = 0; k < span / 4; k += 2, out += 24) {
            const double FftRoot::*fields[] = {&FftRoot::c1, &FftRoot::s1, &FftRoot::c2,
                                               &FftRoot::s2, &FftRoot::c3, &FftRoot::s3};
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
    t.view = {t.roots.data(), t.pairRoots.data(), t.reversed.data()};
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

// realFft's untangling of bins 1 .. n/4 - 1.
void splitAllBins(const FftTableView& t, int n, double* a) {
#if defined(QMZ_AVX_PATHS)
    if (cpuHasAvx()) return splitBinsAvx(t, n, a);
#endif
#if defined(__SSE2__)
    if (useSse2()) return splitBins<ComplexSse2>(t, n, 1, n / 4, a);
#endif
    splitBins<ComplexScalar>(t, n, 1, n / 4, a);
}

}  // namespace

void fftInit() {
    fftTables();
}

void complexFft(int n, int fftSign, double* a) {
    const int log2n = log2OfPowerOfTwo(n);
    if (log2n < 2 || n > kMaxFftLength) return;
    const FftTableView& t = fftTables().view;
#if defined(QMZ_AVX_PATHS)
    if (cpuHasAvx()) return complexTransformAvx(t, fftSign, log2n - 1, a);
#endif
#if defined(__SSE2__)
    if (useSse2()) return transformSigned<ComplexSse2, ComplexSse2>(t, fftSign, log2n - 1, a);
#endif
    transformSigned<ComplexScalar, ComplexScalar>(t, fftSign, log2n - 1, a);
}

// The n reals are transformed as n / 2 complex points z_j = a[2j] + i a[2j+1].
// With E and O the transforms of the even and odd samples, Z_k = E_k + i O_k,
// and the wanted Y_k = R_k + i I_k = E_k + exp(2 pi i k / n) O_k. Bins k and
// n/2 - k are untangled together; bin n/4 needs nothing (Y = Z there).
void realFft(int n, double* a) {
    const int log2n = log2OfPowerOfTwo(n);
    if (log2n < 1 || n > kMaxFftLength) return;
    complexFft(n, 1, a);
    splitAllBins(fftTables().view, n, a);
    const double sum = a[0] + a[1];
    a[1] = a[0] - a[1];
    a[0] = sum;
}

}  // namespace qmz
