#include "common/fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace qmz {
namespace {

constexpr long double kTwoPi = 2.0L * std::numbers::pi_v<long double>;

std::vector<double> randomData(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = dist(gen);
    return v;
}

// cos and sin of 2 pi j / n for j < n in extended precision.
struct Roots {
    std::vector<long double> c, s;
    explicit Roots(long n) : c(n), s(n) {
        for (long j = 0; j < n; ++j) {
            c[j] = std::cos(kTwoPi * j / n);
            s[j] = std::sin(kTwoPi * j / n);
        }
    }
};

// Direct O(P^2) evaluation of the definitions in extended precision.
std::vector<double> directComplex(const std::vector<double>& x, int sign) {
    const long points = long(x.size()) / 2;
    const Roots r(points);
    std::vector<double> out(x.size());
    for (long k = 0; k < points; ++k) {
        long double re = 0, im = 0;
        for (long j = 0; j < points; ++j) {
            const long i = (j * k) % points;
            const long double c = r.c[i], s = sign * r.s[i];
            re += x[2 * j] * c - x[2 * j + 1] * s;
            im += x[2 * j] * s + x[2 * j + 1] * c;
        }
        out[2 * k] = double(re);
        out[2 * k + 1] = double(im);
    }
    return out;
}

std::vector<double> directReal(const std::vector<double>& x) {
    const long n = long(x.size());
    const Roots r(n);
    std::vector<double> out(n);
    for (long k = 0; k <= n / 2; ++k) {
        long double re = 0, im = 0;
        for (long j = 0; j < n; ++j) {
            re += x[j] * r.c[(j * k) % n];
            im += x[j] * r.s[(j * k) % n];
        }
        if (k == 0) {
            out[0] = double(re);
        } else if (k == n / 2) {
            out[1] = double(re);
        } else {
            out[2 * k] = double(re);
            out[2 * k + 1] = double(im);
        }
    }
    return out;
}

// Largest deviation relative to the largest output magnitude.
double relativeError(const std::vector<double>& got, const std::vector<double>& want) {
    double err = 0, scale = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        err = std::max(err, std::fabs(got[i] - want[i]));
        scale = std::max(scale, std::fabs(want[i]));
    }
    return err / scale;
}

TEST(ComplexFft, MatchesDirectDefinitionForEverySizeAndSign) {
    for (int n = 4; n <= kMaxFftLength; n *= 2) {
        for (int sign : {-1, 1}) {
            const std::vector<double> x = randomData(n, unsigned(n + sign));
            std::vector<double> a = x;
            complexFft(n, sign, a.data());
            EXPECT_LT(relativeError(a, directComplex(x, sign)), 2e-15)
                << "n=" << n << " sign=" << sign;
        }
    }
}

TEST(RealFft, MatchesDirectDefinitionForEverySize) {
    for (int n = 2; n <= kMaxFftLength; n *= 2) {
        const std::vector<double> x = randomData(n, unsigned(7 * n));
        std::vector<double> a = x;
        realFft(n, a.data());
        EXPECT_LT(relativeError(a, directReal(x)), 2e-15) << "n=" << n;
    }
}

TEST(ComplexFft, ImpulsesGiveUnitBinsAndRotatingPhases) {
    const int n = 64, points = n / 2;
    std::vector<double> a(n, 0.0);
    a[0] = 1.0;
    complexFft(n, -1, a.data());
    for (int k = 0; k < points; ++k) {
        EXPECT_DOUBLE_EQ(a[2 * k], 1.0);
        EXPECT_DOUBLE_EQ(a[2 * k + 1], 0.0);
    }
    for (int sign : {-1, 1}) {
        std::fill(a.begin(), a.end(), 0.0);
        a[2] = 1.0;
        complexFft(n, sign, a.data());
        for (int k = 0; k < points; ++k) {
            const double angle = sign * 2.0 * std::numbers::pi * k / points;
            EXPECT_NEAR(a[2 * k], std::cos(angle), 1e-15);
            EXPECT_NEAR(a[2 * k + 1], std::sin(angle), 1e-15);
        }
    }
}

TEST(ComplexFft, NegativeThenPositiveReturnsInputTimesPointCount) {
    for (int n : {4, 128, 1024, 2048}) {
        const std::vector<double> x = randomData(n, 99);
        std::vector<double> a = x;
        complexFft(n, -1, a.data());
        complexFft(n, 1, a.data());
        for (int i = 0; i < n; ++i) EXPECT_NEAR(a[i], x[i] * (n / 2), 1e-12) << "n=" << n;
    }
}

TEST(ComplexFft, TwoPointButterflyAndDegenerateLengths) {
    for (int sign : {-1, 1}) {
        double a[4] = {1.5, -2.0, 0.25, 4.0};
        complexFft(4, sign, a);
        EXPECT_EQ(a[0], 1.75);
        EXPECT_EQ(a[1], 2.0);
        EXPECT_EQ(a[2], 1.25);
        EXPECT_EQ(a[3], -6.0);
    }
    // Too short, not a power of two or too long: the data stay as they are.
    for (int n : {0, 2, 3, 6, 12, 2 * kMaxFftLength}) {
        std::vector<double> a = randomData(std::max(n, 4), 5);
        const std::vector<double> before = a;
        complexFft(n, -1, a.data());
        realFft(n == 2 ? 3 : n, a.data());
        EXPECT_EQ(a, before) << "n=" << n;
    }
}

TEST(RealFft, ConstantCosineAndSineInputs) {
    const int n = 256;
    std::vector<double> a(n, 0.75);
    realFft(n, a.data());
    EXPECT_NEAR(a[0], n * 0.75, 1e-12);
    for (int i = 1; i < n; ++i) EXPECT_NEAR(a[i], 0.0, 1e-12) << i;

    for (int phase = 0; phase < 2; ++phase) {
        for (int j = 0; j < n; ++j) {
            const double angle = 2.0 * std::numbers::pi * j / n;
            a[j] = phase == 0 ? std::cos(angle) : std::sin(angle);
        }
        realFft(n, a.data());
        for (int i = 0; i < n; ++i) {
            const double want = (i == 2 + phase) ? n / 2.0 : 0.0;
            EXPECT_NEAR(a[i], want, 1e-12) << "phase=" << phase << " i=" << i;
        }
    }
}

TEST(RealFft, FourPointTransform) {
    double a[4] = {1.0, 2.0, 4.0, 8.0};
    realFft(4, a);
    EXPECT_EQ(a[0], 15.0);
    EXPECT_EQ(a[1], -5.0);
    EXPECT_EQ(a[2], -3.0);
    EXPECT_EQ(a[3], -6.0);
}

}  // namespace
}  // namespace qmz
