#include "decoder/dequantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace qmz {
namespace {

QuantizedBlock blockWith(int globalGain, int scalefactor) {
    QuantizedBlock b{};
    b.globalGain = globalGain;
    b.scalefactors.fill(scalefactor);
    b.lines.fill(0);
    return b;
}

// Output buffer with NaN sentinels behind the len values.
std::vector<double> outputBuffer(int len) {
    return std::vector<double>(len + 4, std::numeric_limits<double>::quiet_NaN());
}

void expectSentinels(const std::vector<double>& out, int len) {
    for (std::size_t i = len; i < out.size(); ++i) EXPECT_TRUE(std::isnan(out[i])) << i;
}

TEST(NoiseRandom, SkipLandsWhereThatManyDrawsLand) {
    for (const uint64_t draws : {0ull, 1ull, 2ull, 3ull, 4ull, 45ull, 1000ull, 123457ull}) {
        NoiseRandom stepped, skipped;
        stepped.state = skipped.state = 0x9E3779B9u;
        for (uint64_t i = 0; i < draws; ++i) stepped.draw();
        skipped.skip(draws);
        EXPECT_EQ(skipped.state, stepped.state) << draws;
    }
    // The generator's period is 2^32: a whole period returns to the start.
    NoiseRandom noise;
    noise.skip(uint64_t{1} << 32);
    EXPECT_EQ(noise.state, 1u);
    noise.skip((uint64_t{1} << 32) + 5);
    NoiseRandom five;
    for (int i = 0; i < 5; ++i) five.draw();
    EXPECT_EQ(noise.state, five.state);
}

TEST(NoiseRandom, EachSessionStartsWithTheSameSequence) {
    NoiseRandom first;
    EXPECT_EQ(first.draw(), 41);
    EXPECT_EQ(first.draw(), 18467);
    EXPECT_EQ(first.draw(), 6334);
    NoiseRandom second;
    EXPECT_EQ(second.draw(), 41);
}

TEST(Dequantizer, FirstNoiseValueOfLevelFour) {
    QuantizedBlock b = blockWith(60, 0);
    b.scalefactors[0] = 104;
    b.lines[0] = 500;  // a noise band's lines are not read
    std::vector<double> out = outputBuffer(1024);
    NoiseRandom noise;
    EXPECT_EQ(dequantizeBlock(b, out.data(), BlockShape::Long, noise), DequantStatus::Ok);
    EXPECT_EQ(out[0], -19.949951171875);
    for (int k = 4; k < 1024; ++k) EXPECT_EQ(out[k], 0.0) << k;
}

TEST(Dequantizer, NoiseValuesSpanTheirLevelsRange) {
    for (int sf : {102, 120}) {
        const double a = std::pow(10.0, (sf - 100) * 0.25);
        const QuantizedBlock b = blockWith(60, sf);
        std::vector<double> out = outputBuffer(1024);
        NoiseRandom noise;
        dequantizeBlock(b, out.data(), BlockShape::Long, noise);
        const auto [lo, hi] = std::minmax_element(out.begin(), out.begin() + kLongCodedLines);
        EXPECT_GE(*lo, -2 * a);
        EXPECT_LT(*hi, 2 * a);
        EXPECT_LT(*lo, -1.9 * a);  // 928 uniform draws reach near both ends
        EXPECT_GT(*hi, 1.9 * a);
        for (int k = kLongCodedLines; k < 1024; ++k) EXPECT_EQ(out[k], 0.0) << k;
        expectSentinels(out, 1024);
    }
}

TEST(Dequantizer, SilentNoiseBandsStillAdvanceTheGenerator) {
    const QuantizedBlock b = blockWith(60, 101);
    std::vector<double> out = outputBuffer(128);
    NoiseRandom noise, reference;
    dequantizeBlock(b, out.data(), BlockShape::Short, noise);
    for (int k = 0; k < 128; ++k) EXPECT_EQ(out[k], 0.0) << k;
    for (int i = 0; i < kShortCodedLines; ++i) reference.draw();
    EXPECT_EQ(noise.state, reference.state);
    expectSentinels(out, 128);
}

TEST(Dequantizer, CodedBandsScaleLinesByQuarterPowersOfTwo) {
    QuantizedBlock b = blockWith(140, 80);  // step 2^15
    b.scalefactors[1] = 100;                // still a coded band: step 2^10
    b.scalefactors[2] = 79;                 // step 2^15.25
    for (int k = 0; k < kLongCodedLines; ++k) b.lines[k] = (k % 7) - 3;
    b.lines[0] = 1035;
    std::vector<double> out = outputBuffer(1024);
    NoiseRandom noise;
    EXPECT_EQ(dequantizeBlock(b, out.data(), BlockShape::Long, noise), DequantStatus::Ok);
    EXPECT_EQ(out[0], 1035 * 32768.0);
    EXPECT_EQ(out[5], 2 * 1024.0);
    EXPECT_DOUBLE_EQ(out[8], -2 * std::pow(2.0, 15.25));
    EXPECT_EQ(out[927], double((927 % 7) - 3) * 32768.0);
    for (int k = kLongCodedLines; k < 1024; ++k) EXPECT_EQ(out[k], 0.0) << k;
    EXPECT_EQ(noise.state, 1u);  // coded bands draw nothing
}

TEST(Dequantizer, ShortBlocksCoverThirteenBands) {
    QuantizedBlock b = blockWith(8, 0);  // step 2^2
    b.lines.fill(1);
    std::vector<double> out = outputBuffer(128);
    NoiseRandom noise;
    dequantizeBlock(b, out.data(), BlockShape::Short, noise);
    for (int k = 0; k < kShortCodedLines; ++k) EXPECT_EQ(out[k], 4.0) << k;
    for (int k = kShortCodedLines; k < 128; ++k) EXPECT_EQ(out[k], 0.0) << k;
    expectSentinels(out, 128);
}

TEST(Dequantizer, DamagedStepIndexIsClampedAndReported) {
    struct Case {
        int gain, sf;
        double step;
    };
    for (Case c : {Case{10, 20, 1.0}, Case{19, 20, 1.0}, Case{220, 20, std::pow(2.0, 199 * 0.25)},
                   Case{151, -200, std::pow(2.0, 199 * 0.25)},
                   Case{std::numeric_limits<int32_t>::min(), 100, 1.0},
                   Case{std::numeric_limits<int32_t>::max(), 100, std::pow(2.0, 199 * 0.25)}}) {
        QuantizedBlock b = blockWith(c.gain, c.sf);
        b.lines.fill(-3);
        std::vector<double> out = outputBuffer(1024);
        NoiseRandom noise;
        EXPECT_EQ(dequantizeBlock(b, out.data(), BlockShape::Long, noise), DequantStatus::Damaged);
        EXPECT_EQ(out[0], -3 * c.step);
        EXPECT_EQ(out[927], -3 * c.step);
        EXPECT_EQ(out[928], 0.0);
    }
    // The ends of the table are valid.
    for (int gain : {20, 219}) {
        QuantizedBlock b = blockWith(gain, 20);
        std::vector<double> out = outputBuffer(1024);
        NoiseRandom noise;
        EXPECT_EQ(dequantizeBlock(b, out.data(), BlockShape::Long, noise), DequantStatus::Ok);
    }
}

TEST(Dequantizer, OversizedNoiseLevelIsClampedAndReported) {
    QuantizedBlock b = blockWith(60, 0);
    b.scalefactors[0] = std::numeric_limits<int32_t>::max();
    b.scalefactors[1] = kMaxScalefactor;
    std::vector<double> out = outputBuffer(1024);
    NoiseRandom noise;
    EXPECT_EQ(dequantizeBlock(b, out.data(), BlockShape::Long, noise), DequantStatus::Damaged);
    const double limit = 2 * std::pow(10.0, (kMaxScalefactor - 100) * 0.25);
    for (int k = 0; k < 8; ++k) {
        EXPECT_TRUE(std::isfinite(out[k]));
        EXPECT_LE(std::fabs(out[k]), limit) << k;
    }
}

// A block packed and dequantised later gives dequantizeBlock's values, the
// same generator state, its noise draws and its verdict, in either shape.
TEST(Dequantizer, PackedBlockDequantisesAsTheBlock) {
    for (const BlockShape shape : {BlockShape::Long, BlockShape::Short}) {
        for (const int noiseLevel : {0, 104, 151, 152}) {  // no noise band, noise, damaged
            SCOPED_TRACE(testing::Message() << int(shape) << " " << noiseLevel);
            QuantizedBlock b = blockWith(90, 30);
            for (int k = 0; k < kLongCodedLines; ++k) b.lines[k] = (k * 37) % 201 - 100;
            b.scalefactors[2] = 91;  // step index 199 reaches the table's end
            if (noiseLevel > 0) b.scalefactors[1] = b.scalefactors[9] = noiseLevel;
            const int n = coefficientsOf(shape);
            std::vector<double> direct = outputBuffer(n), packed = outputBuffer(n);
            NoiseRandom directNoise, packedNoise;
            const DequantStatus status = dequantizeBlock(b, direct.data(), shape, directNoise);
            std::vector<int32_t> values(packedBlockSize(shape) + 1, -7);
            uint64_t draws = 5;
            EXPECT_EQ(packBlock(b, shape, values.data(), draws), status);
            EXPECT_EQ(values.back(), -7);  // nothing written past the block
            EXPECT_EQ(dequantizePacked(values.data(), packed.data(), shape, packedNoise),
                      values.data() + packedBlockSize(shape));
            EXPECT_TRUE(std::equal(direct.begin(), direct.begin() + n, packed.begin()));
            expectSentinels(packed, n);
            EXPECT_EQ(packedNoise.state, directNoise.state);
            NoiseRandom counted;  // the draws counted are the draws made
            counted.skip(draws - 5);
            EXPECT_EQ(counted.state, directNoise.state);
            EXPECT_EQ(draws > 5, noiseLevel > 0);
        }
    }
}

}  // namespace
}  // namespace qmz
