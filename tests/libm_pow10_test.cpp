#include "encoder/libm_pow10.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "common/cpu_features.h"

namespace qmz {
namespace {

uint64_t bitsOf(double v) {
    return std::bit_cast<uint64_t>(v);
}

// Every result must carry the library's bits, NaN payloads aside.
void expectLibraryBits(const std::vector<double>& db) {
    std::vector<double> power(db.size(), -1.0);
    libmDecibelsToPower(db.data(), power.data(), static_cast<int>(db.size()));
    for (std::size_t k = 0; k < db.size(); ++k) {
        const double expected = std::pow(10.0, db[k] / 10.0);
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(power[k])) << "dB " << db[k];
        } else {
            ASSERT_EQ(bitsOf(power[k]), bitsOf(expected))
                << "dB " << std::hexfloat << db[k] << " at " << k << " of " << db.size();
        }
    }
}

TEST(LibmPow10, RandomLevelsGiveTheLibrarysBits) {
    std::mt19937_64 rng(20261207);
    std::uniform_real_distribution<double> level(-320.0, 320.0);   // beyond the fast range too
    std::uniform_real_distribution<double> spreading(1.0, 170.0);  // what the model asks for
    std::vector<double> db(200000);
    for (std::size_t k = 0; k < db.size(); ++k) db[k] = k % 4 == 0 ? level(rng) : spreading(rng);
    expectLibraryBits(db);
}

TEST(LibmPow10, ExactPowersTableEdgesAndSpecialValues) {
    std::vector<double> db;
    for (int tenth = -3000; tenth <= 3000; ++tenth) db.push_back(tenth);  // 10^(tenth/10)
    for (int k = -2048; k <= 2048; ++k) {
        // Exponents on and next to the 1/256 steps of log2 where the table
        // index changes.
        const double y = k / 256.0 / std::log2(10.0);
        for (double v : {y * 10.0, std::nextafter(y * 10.0, 1e9), std::nextafter(y * 10.0, -1e9)})
            db.push_back(v);
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (double v :
         {0.0, -0.0, 299.99, 300.0, -300.0, 3080.0, -3240.0, 1e300, -1e300, inf, -inf,
          std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min()})
        db.push_back(v);
    expectLibraryBits(db);
    // Every short length, so that the rest after the last group of four is covered.
    for (std::size_t n = 0; n <= 9; ++n)
        expectLibraryBits(std::vector<double>(db.begin() + 3000, db.begin() + 3000 + n));
}

// Values near a rounding boundary go to the library; a run made only of them
// must still come out right, however many there are.
TEST(LibmPow10, RunsOfUndecidedValues) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> spreading(1.0, 170.0);
    std::vector<double> undecided;
    int decided = 0, tried = 0;
    while (undecided.size() < 300 && tried < 2000000) {
        const double v = spreading(rng);
        double result;
        ++tried;
        if (libmPow10Decided(v / 10.0, result)) {
            ++decided;
            ASSERT_EQ(bitsOf(result), bitsOf(std::pow(10.0, v / 10.0))) << std::hexfloat << v;
        } else {
            undecided.push_back(v);
        }
    }
    expectLibraryBits(undecided);
    if (cpuHasFma()) {
        // Only values within 0.035 of a unit in the last place of a rounding
        // boundary are undecided: about one in fourteen.
        EXPECT_GT(decided, tried * 9 / 10);
        EXPECT_LT(decided, tried * 96 / 100);
    } else {
        EXPECT_EQ(decided, 0);
    }
}

}  // namespace
}  // namespace qmz
