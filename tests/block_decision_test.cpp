#include "encoder/block_decision.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

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

}  // namespace
}  // namespace qmz
