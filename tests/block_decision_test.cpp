#include "encoder/block_decision.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>

namespace qmz {
namespace {

AttackEnergies withRatio(double ratio) {
    AttackEnergies e;
    e.add(0.999);  // minimum + 0.001 == 1
    e.add(ratio);
    return e;
}

TEST(AttackTest, ThresholdsAreStrict) {
    ASSERT_EQ(0.999 + 0.001, 1.0);
    const AttackEnergies flat = withRatio(1.0);
    EXPECT_FALSE(attackDetected(3000.0, flat));
    EXPECT_TRUE(attackDetected(std::nextafter(3000.0, 4000.0), flat));

    EXPECT_FALSE(attackDetected(0.0, withRatio(30.0)));
    EXPECT_TRUE(attackDetected(0.0, withRatio(std::nextafter(30.0, 31.0))));

    EXPECT_FALSE(attackDetected(1000.0, withRatio(20.0)));
    EXPECT_TRUE(attackDetected(std::nextafter(1000.0, 2000.0), withRatio(20.0)));
    EXPECT_FALSE(attackDetected(2000.0, withRatio(10.0)));
    EXPECT_TRUE(attackDetected(2000.0, withRatio(std::nextafter(10.0, 11.0))));
    EXPECT_TRUE(attackDetected(3000.0, withRatio(10.5)));
}

TEST(AttackTest, EnergyExtremes) {
    AttackEnergies loud;
    for (double e : {2e12, 5e12, 3e12}) loud.add(e);
    EXPECT_EQ(loud.minimum, 1e12);
    EXPECT_EQ(loud.maximum, 5e12);

    AttackEnergies silent;
    for (int i = 0; i < 8; ++i) silent.add(0.0);
    EXPECT_EQ(silent.maximum, 0.0);
    EXPECT_EQ(silent.ratio(), 0.0);
    EXPECT_FALSE(attackDetected(0.0, silent));

    AttackEnergies click;
    for (double e : {0.0, 0.0, 0.0, 5.0, 1.0, 1.0, 1.0, 1.0}) click.add(e);
    EXPECT_EQ(click.minimum, 0.0);
    EXPECT_TRUE(attackDetected(0.0, click));
}

TEST(AttackTest, PerceptualEntropyOverUpperBands) {
    std::array<double, 48> ratio;
    ratio.fill(1.0);
    EXPECT_EQ(perceptualEntropy(ratio.data()), 0.0);
    for (int s = 0; s < 10; ++s) ratio[s] = 1e-9;  // bands below 10 do not count
    EXPECT_EQ(perceptualEntropy(ratio.data()), 0.0);
    for (int s = 10; s < 48; ++s) ratio[s] = std::exp(-1.0);
    EXPECT_NEAR(perceptualEntropy(ratio.data()), 888.0, 1e-9);  // lines 40..927
    ratio[47] = std::exp(2.0);                                  // a ratio above 1 subtracts
    EXPECT_NEAR(perceptualEntropy(ratio.data()), 888.0 - 32.0 - 64.0, 1e-9);
}

// A higher bar for an energy rise alone (the quality mode's) must leave the
// entropy rules as they are and still catch the sharpest rises.
TEST(AttackTest, RatioAloneBarMovesOnlyThatRule) {
    std::array<double, kLongBandCount> quiet{}, dense{};
    quiet.fill(1.0);   // entropy 0
    dense.fill(1e-3);  // entropy far above 3000
    const struct {
        const std::array<double, kLongBandCount>* ratio;
        double energyRatio, bar;
        bool requested;
    } cases[] = {
        {&quiet, 100.0, kAttackRatioAlone, true},
        {&quiet, 100.0, 300.0, false},
        {&quiet, 301.0, 300.0, true},
        {&quiet, 1e6, 300.0, true},
        {&dense, 1.0, 300.0, true},
        {&dense, 100.0, 300.0, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(attackRequested(c.ratio->data(), withRatio(c.energyRatio), c.bar), c.requested)
            << "energy ratio " << c.energyRatio << ", bar " << c.bar;
}

// The decision taken from bounds of the logarithms must be the one the
// entropy itself gives, most of all where the entropy lies next to a limit.
TEST(AttackTest, RequestFromRatiosMatchesTheEntropy) {
    const double energyRatios[] = {1.0,  10.0, std::nextafter(10.0, 11.0),
                                   20.0, 30.0, std::nextafter(30.0, 31.0)};
    int cases = 0;
    const auto check = [&](const std::array<double, kLongBandCount>& ratio) {
        for (double energyRatio : energyRatios) {
            const AttackEnergies energies = withRatio(energyRatio);
            ASSERT_EQ(attackRequested(ratio.data(), energies),
                      attackDetected(perceptualEntropy(ratio.data()), energies))
                << "entropy " << perceptualEntropy(ratio.data()) << ", energy ratio "
                << energyRatio;
            ++cases;
        }
    };

    std::mt19937_64 rng(48);
    std::uniform_real_distribution<double> exponent(-12.0, 3.0);
    std::array<double, kLongBandCount> ratio{};
    for (int n = 0; n < 2000; ++n) {
        for (double& r : ratio) r = std::pow(10.0, exponent(rng));
        check(ratio);
    }
    // Equal ratios that put the entropy on either side of 1000 and 3000 by
    // the smallest steps: only the exact sum can tell these apart.
    for (double limit : {1000.0, 3000.0}) {
        double r = std::exp(-limit / 888.0);
        for (int step = 0; step < 40; ++step) r = std::nextafter(r, 0.0);
        for (int step = 0; step < 80; ++step, r = std::nextafter(r, 1.0)) {
            ratio.fill(r);
            check(ratio);
        }
    }
    // Values the bounds do not take: the exact sum decides.
    for (double odd : {0.0, -1.0, 1e-310, std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
        ratio.fill(0.5);
        ratio[30] = odd;
        check(ratio);
    }
    EXPECT_EQ(cases, (2000 + 160 + 5) * 6);
}

}  // namespace
}  // namespace qmz
