#include "encoder/quantizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace qmz {
namespace {

struct RecordingSink final : QuantizerEventSink {
    std::vector<QuantizerEvent> events;
    void onQuantizerEvent(QuantizerEvent event) override { events.push_back(event); }
    int count(QuantizerEvent e) const {
        int n = 0;
        for (auto v : events) n += v == e;
        return n;
    }
};

// y is every band's energy-weighted unpredictability: 0 tonal, 1 noise-like.
struct Block {
    std::vector<double> x, ratio, unpredictability;
    Block(int count, int bands, double r = 1.0, double y = 0.0)
        : x(count, 0.0), ratio(bands, r), unpredictability(bands, y) {}
};

QuantizedBlock quantize(Block& b, RecordingSink* sink = nullptr, int gainOffset = 20,
                        float maskScale = 1.0f, double ratioFloor = 1e-5) {
    QuantizerState state;
    QuantizedBlock out{};
    const BlockShape shape = b.x.size() == 1024 ? BlockShape::Long : BlockShape::Short;
    quantizeBlock(state, {shape, b.x.data(), b.ratio.data(), b.unpredictability.data()},
                  {maskScale, gainOffset, ratioFloor}, out, sink);
    return out;
}

double stepOf(int exponent) {
    return std::pow(2.0, exponent * 0.25);
}

TEST(Quantizer, SilentBlockGivesMinimumGainAndNoNoiseBands) {
    for (int gainOffset : {8, 12, 20, 24}) {
        Block lng(1024, 48), shrt(128, 13);
        const QuantizedBlock a = quantize(lng, nullptr, gainOffset);
        EXPECT_EQ(a.globalGain, 12);
        for (int s = 0; s < 48; ++s) EXPECT_EQ(a.scalefactors[s], 0);
        for (int k = 0; k < 928; ++k) ASSERT_EQ(a.lines[k], 0);
        const QuantizedBlock b = quantize(shrt, nullptr, gainOffset);
        EXPECT_EQ(b.globalGain, 12);
        for (int s = 0; s < 13; ++s) EXPECT_EQ(b.scalefactors[s], 0);
        for (int k = 0; k < 116; ++k) ASSERT_EQ(b.lines[k], 0);
    }
    // A quiet block (peak below 10) gets the gain of a silent one.
    Block quiet(1024, 48);
    quiet.x[100] = 9.5;
    EXPECT_EQ(quantize(quiet).globalGain, 12);
}

TEST(Quantizer, RoundingBoundaryAndSigns) {
    // Gain 12, scalefactor 0: step 2^3 = 8; band 10 allows 8 * 1024 of noise.
    Block b(1024, 48);
    b.x[40] = 0.5946 * 8.0;
    b.x[41] = 0.59 * 8.0;
    b.x[42] = -0.5946 * 8.0;
    b.x[43] = 1.5946 * 8.0;
    const QuantizedBlock out = quantize(b);
    ASSERT_EQ(out.globalGain, 12);
    ASSERT_EQ(out.scalefactors[10], 0);
    EXPECT_EQ(out.lines[40], 1);
    EXPECT_EQ(out.lines[41], 0);
    EXPECT_EQ(out.lines[42], -1);
    EXPECT_EQ(out.lines[43], 2);
}

TEST(Quantizer, GainFollowsPeakAndOffset) {
    Block b(1024, 48);
    b.x[5] = -20000.0;
    b.x[950] = 1e9;  // above the coded lines: ignored
    const int expected = static_cast<int>(std::log(20000.0) * 5.768 + 0.5);
    EXPECT_EQ(quantize(b, nullptr, 0).globalGain, expected);
    EXPECT_EQ(quantize(b, nullptr, 24).globalGain, expected - 24);
}

// Ratios below the floor count as the floor; the model's values stay as they are.
TEST(Quantizer, RatioFloorActsOnACopyOfTheRatios) {
    std::mt19937 rng(5);
    std::normal_distribution<double> dist(0.0, 3000.0);
    Block low(128, 13, 0.5), floored(128, 13, 0.5);
    for (int k = 0; k < 128; ++k) low.x[k] = floored.x[k] = dist(rng);
    low.ratio[3] = 1e-9;
    low.ratio[7] = 0.0;
    floored.ratio[3] = floored.ratio[7] = 1e-3;
    const QuantizedBlock a = quantize(low, nullptr, 20, 1.0f, 1e-3);
    const QuantizedBlock b = quantize(floored, nullptr, 20, 1.0f, 1e-3);
    EXPECT_EQ(a.scalefactors, b.scalefactors);
    EXPECT_EQ(a.lines, b.lines);
    EXPECT_NE(a.scalefactors, quantize(low, nullptr, 20, 1.0f, 1e-12).scalefactors);
    EXPECT_EQ(low.ratio[3], 1e-9);
    EXPECT_EQ(low.ratio[7], 0.0);
}

TEST(Quantizer, NoiseBandLevels) {
    Block b(1024, 48, 1.0, 1.0);
    b.x[0] = 1e7;  // a loud low line sets a coarse gain
    for (int k = 0; k < 8; ++k) b.x[40 + k] = (k % 2 ? -3.0 : 3.0);  // band 10: rms 3
    for (int k = 0; k < 8; ++k) b.x[48 + k] = 3.2;                   // band 11: rms 3.2
    for (int k = 0; k < 8; ++k) b.x[56 + k] = 2000.0;                // band 12: rms 2000
    for (int k = 0; k < 12; ++k) b.x[120 + k] = 1e5;                 // band 19: rms 1e5
    const QuantizedBlock out = quantize(b);
    EXPECT_EQ(out.scalefactors[9], 101);  // no energy at all
    EXPECT_EQ(out.scalefactors[10], 101);
    EXPECT_EQ(out.scalefactors[11], 102);
    EXPECT_EQ(out.scalefactors[12], 113);
    EXPECT_EQ(out.scalefactors[19], 120);
    for (int k = 40; k < 132; ++k) ASSERT_EQ(out.lines[k], 0);
    // Low bands are never noise bands, whatever their tonality.
    for (int s = 1; s < 8; ++s) EXPECT_EQ(out.scalefactors[s], 0);

    // The limit is a tonality index of 0.1: unpredictability 0.3954.
    Block tonal = b;
    for (double& y : tonal.unpredictability) y = 0.395;  // index 0.1004: not noise-like
    const QuantizedBlock kept = quantize(tonal);
    for (int s = 8; s < 48; ++s) EXPECT_LE(kept.scalefactors[s], 89);
    Block noisy = b;
    for (double& y : noisy.unpredictability) y = 0.396;  // index 0.0993
    EXPECT_EQ(quantize(noisy).scalefactors[10], 101);

    Block shrt(128, 13, 1.0, 1.0);
    const QuantizedBlock s = quantize(shrt);
    for (int band = 0; band < 4; ++band) EXPECT_EQ(s.scalefactors[band], 0);
    for (int band = 4; band < 13; ++band) EXPECT_EQ(s.scalefactors[band], 101);
}

TEST(Quantizer, LinesAboveTheBandsNeverMatter) {
    std::mt19937 rng(7);
    std::normal_distribution<double> dist(0.0, 3000.0);
    for (int count : {1024, 128}) {
        const int bands = count == 1024 ? 48 : 13;
        const int coded = count == 1024 ? 928 : 116;
        Block a(count, bands, 0.01, 0.05);
        for (double& v : a.x) v = dist(rng);
        Block b = a;
        for (int k = coded; k < count; ++k) b.x[k] = (k % 2 ? -1e9 : 1e9);
        RecordingSink sa, sb;
        const QuantizedBlock qa = quantize(a, &sa);
        const QuantizedBlock qb = quantize(b, &sb);
        EXPECT_EQ(qa.globalGain, qb.globalGain);
        EXPECT_EQ(qa.scalefactors, qb.scalefactors);
        EXPECT_EQ(qa.lines, qb.lines);
        EXPECT_EQ(sa.events, sb.events);
    }
}

TEST(Quantizer, SoftClipRaisesAllowanceAndRestarts) {
    // One band of four lines, one of them far too loud for 1023 steps at the
    // scalefactor its small allowance would need.
    std::array<double, 4> absX = {1e6, 333.3, 77.7, 1234.5};
    std::array<double, 1> allowed = {4096.0};
    std::array<int32_t, 4> q{};
    std::array<int32_t, 1> sf{};
    const int edges[2] = {0, 4};
    const int gain = static_cast<int>(std::log(1e6) * 5.768 + 0.5) - 20;
    RecordingSink sink;
    searchScalefactors(absX.data(), allowed.data(), q.data(), sf.data(), gain, edges, 1, &sink);
    const int clips = sink.count(QuantizerEvent::SoftClip);
    ASSERT_GT(clips, 0);
    EXPECT_EQ(sink.count(QuantizerEvent::QuantLimit), 0);
    double expected = 4096.0;
    for (int i = 0; i < clips; ++i) expected *= 1.25;
    EXPECT_EQ(allowed[0], expected);
    const double step = stepOf(gain - sf[0]);
    double d = 0.0;
    for (int k = 0; k < 4; ++k) {
        EXPECT_LE(q[k], 1023);
        d += (absX[k] - q[k] * step) * (absX[k] - q[k] * step);
    }
    EXPECT_LE(d, allowed[0]);
    EXPECT_GT(d, 4096.0);  // the original allowance alone could not be met
}

TEST(Quantizer, SoftClipThroughQuantizeBlock) {
    // The same band as above in a whole block, with no masking allowance
    // beyond the absolute minimum: the message comes once per clip, and the
    // coded lines stay within +-1023.
    Block b(1024, 48, 0.0, 1.0);
    const double loud[4] = {-1e6, 333.3, -77.7, 1234.5};
    for (int k = 0; k < 4; ++k) b.x[k] = loud[k];
    RecordingSink sink;
    const QuantizedBlock out = quantize(b, &sink, 20, 1.0f, 0.0);
    EXPECT_GT(sink.count(QuantizerEvent::SoftClip), 0);
    EXPECT_EQ(sink.count(QuantizerEvent::QuantLimit), 0);
    EXPECT_LT(out.lines[0], -100);  // coded finely, with its sign
    EXPECT_GE(out.lines[0], -1023);
    for (int k = 0; k < 928; ++k) ASSERT_LE(std::abs(out.lines[k]), 1023);
}

TEST(Quantizer, EventsKeepOrderAndMultiplicity) {
    // Band 0 clips; band 1 has no allowance at all and hits the limit.
    std::array<double, 8> absX = {1e6, 333.3, 77.7, 1234.5, 1e-3, 2.2e-3, 3.1e-3, 7.7e-4};
    std::array<double, 2> allowed = {4096.0, 0.0};
    std::array<int32_t, 8> q{};
    std::array<int32_t, 2> sf{};
    const int edges[3] = {0, 4, 8};
    const int gain = static_cast<int>(std::log(1e6) * 5.768 + 0.5) - 20;
    RecordingSink sink;
    searchScalefactors(absX.data(), allowed.data(), q.data(), sf.data(), gain, edges, 2, &sink);
    ASSERT_GE(sink.events.size(), 2u);
    EXPECT_EQ(sink.events.back(), QuantizerEvent::QuantLimit);
    for (size_t i = 0; i + 1 < sink.events.size(); ++i)
        EXPECT_EQ(sink.events[i], QuantizerEvent::SoftClip);
    EXPECT_EQ(sf[1], 89);
    EXPECT_STREQ(quantizerEventText(QuantizerEvent::SoftClip), "Soft clip\n");
    EXPECT_STREQ(quantizerEventText(QuantizerEvent::QuantLimit), "Warning. Quant limit.\n");
}

TEST(Quantizer, EveryBandMeetsItsAllowanceOnRandomSpectra) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> logMag(-2.0, 6.5);
    std::uniform_real_distribution<double> logAllow(0.0, 12.0);
    for (int trial = 0; trial < 200; ++trial) {
        const bool isLong = trial % 2 == 0;
        const int bands = isLong ? 48 : 13;
        const int* edges = isLong ? longBandEdges.data() : shortBandEdges.data();
        const int lines = edges[bands];
        std::vector<double> absX(lines), allowed(bands), start(bands);
        double peak = 10.0;
        for (double& v : absX) {
            v = std::pow(10.0, logMag(rng));
            peak = std::max(peak, v);
        }
        for (int s = 0; s < bands; ++s)
            start[s] = allowed[s] = std::pow(10.0, logAllow(rng)) * (edges[s + 1] - edges[s]);
        const int gain = std::max(12, static_cast<int>(std::log(peak) * 5.768 + 0.5) - 20);
        std::vector<int32_t> q(lines), sf(bands);
        RecordingSink sink;
        searchScalefactors(absX.data(), allowed.data(), q.data(), sf.data(), gain, edges, bands,
                           &sink);
        ASSERT_EQ(sink.count(QuantizerEvent::QuantLimit), 0);
        for (int s = 0; s < bands; ++s) {
            ASSERT_GE(sf[s], 0);
            ASSERT_LE(sf[s], 89);
            ASSERT_GE(allowed[s], start[s]);
            const double step = stepOf(gain - sf[s]);
            double d = 0.0;
            for (int k = edges[s]; k < edges[s + 1]; ++k) {
                ASSERT_GE(q[k], 0);
                ASSERT_LE(q[k], 1023);
                const double e = absX[k] - q[k] * step;
                d += e * e;
            }
            EXPECT_LE(d, allowed[s]) << "trial " << trial << " band " << s;
        }
    }
}

TEST(Quantizer, QuantizeBlockMeetsAllowanceWithoutClips) {
    std::mt19937 rng(99);
    std::normal_distribution<double> dist(0.0, 1.0);
    std::uniform_real_distribution<double> logRatio(-4.0, 0.0);
    for (int trial = 0; trial < 50; ++trial) {
        Block b(1024, 48, 1.0, 1.0);
        for (int k = 0; k < 1024; ++k) b.x[k] = dist(rng) * 20000.0 / (1.0 + k / 16.0);
        for (double& r : b.ratio) r = std::pow(10.0, logRatio(rng));
        const std::vector<double> ratio = b.ratio;
        RecordingSink sink;
        const QuantizedBlock out = quantize(b, &sink, 20, 0.5f, 1e-5);
        ASSERT_TRUE(sink.events.empty());
        for (int s = 0; s < 48; ++s) {
            const int a = longBandEdges[s], e = longBandEdges[s + 1];
            double energy = 0.0;
            for (int k = a; k < e; ++k) energy += b.x[k] * b.x[k];
            const double allowance = std::max(0.5 * energy * ratio[s], 1024.0 * (e - a));
            const double step = stepOf(out.globalGain - out.scalefactors[s]);
            double d = 0.0;
            for (int k = a; k < e; ++k) {
                ASSERT_EQ(out.lines[k] < 0, b.x[k] < 0 && out.lines[k] != 0);
                const double err = std::fabs(b.x[k]) - std::abs(out.lines[k]) * step;
                d += err * err;
            }
            EXPECT_LE(d, allowance);
        }
    }
}

TEST(Quantizer, OutOfRangeInputStaysInRange) {
    Block b(1024, 48, 1.0, 1.0);
    b.x[3] = INFINITY;
    b.x[4] = -1e300;
    b.x[200] = std::nan("");
    RecordingSink sink;
    const QuantizedBlock out = quantize(b, &sink);
    EXPECT_GE(out.globalGain, 12);
    EXPECT_LE(out.globalGain, 139);
    for (int k = 0; k < 928; ++k) ASSERT_LE(std::abs(out.lines[k]), 1023);
    for (int s = 0; s < 48; ++s) {
        ASSERT_GE(out.scalefactors[s], 0);
        ASSERT_LE(out.scalefactors[s], 120);
    }
    // Coded as the magnitudes they are taken as: 1e10 beyond it, 0 for a NaN.
    Block clamped(1024, 48, 1.0, 1.0);
    clamped.x[3] = 1e10;
    clamped.x[4] = -1e10;
    const QuantizedBlock want = quantize(clamped);
    EXPECT_EQ(out.globalGain, want.globalGain);
    EXPECT_EQ(out.scalefactors, want.scalefactors);
    EXPECT_EQ(out.lines, want.lines);
}

}  // namespace
}  // namespace qmz
