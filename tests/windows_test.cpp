#include "common/windows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

namespace qmz {
namespace {

template <std::size_t N>
double sumOfSquares(const std::array<double, N>& w) {
    double s = 0.0;
    for (double v : w) s += v * v;
    return s;
}

TEST(Windows, LongWindowReferenceValues) {
    initWindows();
    const auto& w = windowTables().longWindow;
    EXPECT_NEAR(w[0], 0.00029256153896361, 1e-14);
    EXPECT_NEAR(w[1], 0.00042998567353047, 1e-14);
    EXPECT_NEAR(w[256], 0.17882238758238, 1e-14);
    EXPECT_NEAR(w[511], 0.70611933911096, 1e-14);
    EXPECT_NEAR(w[512], 0.7080928462662937, 1e-14);
    EXPECT_NEAR(w[1023], 0.999999957203872, 1e-14);
    EXPECT_NEAR(std::accumulate(w.begin(), w.end(), 0.0), 606.781833473242, 1e-12);
    EXPECT_NEAR(sumOfSquares(w), 512.0, 1e-12);
}

TEST(Windows, ShortWindowReferenceValues) {
    const auto& w = windowTables().shortWindow;
    EXPECT_NEAR(w[0], 4.379570292946888e-05, 1e-14);
    EXPECT_NEAR(w[1], 0.00011867384265436617, 1e-14);
    EXPECT_NEAR(w[32], 0.11390932249409955, 1e-14);
    EXPECT_NEAR(w[63], 0.6974064662254855, 1e-14);
    EXPECT_NEAR(w[64], 0.7166758129495376, 1e-14);
    EXPECT_NEAR(w[127], 0.9999999990409681, 1e-14);
    EXPECT_NEAR(std::accumulate(w.begin(), w.end(), 0.0), 73.91503707567493, 1e-13);
    EXPECT_NEAR(sumOfSquares(w), 64.0, 1e-13);
}

TEST(Windows, HalvesArePowerComplementaryAndRising) {
    const WindowTables& t = windowTables();
    for (int n = 0; n < kLongWindowHalf; ++n) {
        const double m = t.longWindow[kLongWindowHalf - 1 - n];
        EXPECT_NEAR(t.longWindow[n] * t.longWindow[n] + m * m, 1.0, 4.5e-16) << n;
        if (n > 0) {
            EXPECT_GT(t.longWindow[n], t.longWindow[n - 1]) << n;
        }
    }
    for (int n = 0; n < kShortWindowHalf; ++n) {
        const double m = t.shortWindow[kShortWindowHalf - 1 - n];
        EXPECT_NEAR(t.shortWindow[n] * t.shortWindow[n] + m * m, 1.0, 4.5e-16) << n;
        if (n > 0) {
            EXPECT_GT(t.shortWindow[n], t.shortWindow[n - 1]) << n;
        }
    }
}

TEST(Windows, BesselApproximationJoinsAtTheBreakpoint) {
    // Both polynomials approximate I0 to about 1e-7 relative, so they meet
    // closely at 3.75; I0(0) = 1 and I0 is even.
    EXPECT_EQ(besselI0Approx(0.0), 1.0);
    EXPECT_EQ(besselI0Approx(-2.5), besselI0Approx(2.5));
    const double below = besselI0Approx(std::nextafter(3.75, 0.0));
    const double above = besselI0Approx(3.75);
    EXPECT_NEAR(below / above, 1.0, 1e-6);
    EXPECT_NEAR(besselI0Approx(1.0), 1.2660658777520082, 1e-7);
}

}  // namespace
}  // namespace qmz
