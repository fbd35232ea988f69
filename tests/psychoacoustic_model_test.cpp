#include "encoder/psychoacoustic_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "common/fft.h"
#include "encoder/encoder_config.h"
#include "encoder/quality_policy.h"

namespace qmz {
namespace {

using Frame = std::array<double, kFrameLength>;

Frame silence() {
    return Frame{};
}

Frame noise(std::mt19937& rng, double amplitude) {
    std::uniform_real_distribution<double> d(-amplitude, amplitude);
    Frame f;
    for (double& v : f) v = d(rng);
    return f;
}

// A sinusoid continuing across frames: sample n of frame `index`.
Frame tone(int index, double hz, double amplitude) {
    Frame f;
    for (int n = 0; n < kFrameLength; ++n) {
        const double t = (index * kFrameLength + n) / 44100.0;
        f[n] = amplitude * std::sin(2.0 * std::numbers::pi * hz * t);
    }
    return f;
}

// The model's configuration under a preset table's psyMode.
PsyConfig configOf(int psyMode) {
    PresetParams preset;
    preset.psyMode = psyMode;
    return encoderConfigOf(preset).psy;
}

struct Model {
    std::unique_ptr<PsyState> state = std::make_unique<PsyState>();
    PsyBandResults out{};
    bool analyse(const Frame& f, int psyMode = 5, int channel = 0) {
        return psyAnalyzeChannel(*state, f.data(), out, channel, configOf(psyMode));
    }
    const double* longThr(int ch = 0) const { return state->longChannels[ch].newestThresholds(); }
    const double* shortThr(int ch = 0) const { return state->shortChannels[ch].newestThresholds(); }
};

TEST(PsyTables, TellingRows) {
    const PsyTables& l = longPsyTables();
    EXPECT_EQ(l.partitionCount, 100);
    EXPECT_DOUBLE_EQ(l.centreHz[0], 21.533203125);
    EXPECT_NEAR(l.bark[0], 0.2128, 5e-5);
    EXPECT_NEAR(l.quietDb[0], 39.22, 5e-3);
    EXPECT_EQ(l.start[29], 38);
    EXPECT_EQ(l.width[29], 2);
    EXPECT_NEAR(l.centreHz[29], 850.56, 5e-3);
    EXPECT_NEAR(l.bark[29], 7.505, 5e-4);
    EXPECT_NEAR(l.quietDb[29], 1.983, 5e-4);
    EXPECT_EQ(l.start[99], 951);
    EXPECT_EQ(l.start[99] + l.width[99], 1024);
    EXPECT_NEAR(l.centreHz[99], 21270.0, 5.0);
    EXPECT_NEAR(l.bark[99], 24.68, 5e-3);
    EXPECT_NEAR(l.quietDb[99], 102.59, 5e-3);

    const PsyTables& s = shortPsyTables();
    EXPECT_EQ(s.partitionCount, 14);
    EXPECT_NEAR(s.centreHz[0], 430.66, 5e-3);
    EXPECT_NEAR(s.bark[0], 4.124, 5e-4);
    EXPECT_NEAR(s.quietDb[0], 3.548, 5e-4);
    EXPECT_EQ(s.start[4], 16);
    EXPECT_NEAR(s.centreHz[4], 3190.0, 5.0);
    EXPECT_NEAR(s.quietDb[4], -2.454, 5e-4);
    EXPECT_EQ(s.start[13], 116);
    EXPECT_EQ(s.start[13] + s.width[13], 128);
    EXPECT_NEAR(s.centreHz[13], 21100.0, 5.0);
    EXPECT_NEAR(s.quietDb[13], 99.31, 5e-3);
}

TEST(PsyTables, BarkRisesAndBandsMapOntoPartitions) {
    for (const PsyTables* t : {&longPsyTables(), &shortPsyTables()}) {
        for (int b = 1; b < t->partitionCount; ++b) {
            EXPECT_GT(t->bark[b], t->bark[b - 1]);
            EXPECT_EQ(t->start[b], t->start[b - 1] + t->width[b - 1]);
        }
        for (int s = 0; s < t->bandCount; ++s) {
            const int first = t->bandFirstPartition[s], last = t->bandLastPartition[s];
            EXPECT_LE(t->start[first], t->bandEdges[s]);
            EXPECT_GT(t->start[first] + t->width[first], t->bandEdges[s]);
            EXPECT_LT(t->start[last], t->bandEdges[s + 1]);
            EXPECT_GE(t->start[last] + t->width[last], t->bandEdges[s + 1]);
        }
    }
}

TEST(PsyTables, FloorByPsyMode) {
    const PsyTables& l = longPsyTables();
    std::array<double, kLongPartitionCount> f{};
    for (int mode : {4, 5, 17}) {
        buildFloorTable(l, configOf(mode).floor, f.data());
        EXPECT_DOUBLE_EQ(f[0], 1 * 5.0 / 7.0);
        EXPECT_DOUBLE_EQ(f[99], 73 * 5.0 / 7.0);
    }
    const double q = l.quietDb[29];
    buildFloorTable(l, configOf(0).floor, f.data());
    EXPECT_DOUBLE_EQ(f[29], std::pow(10.0, 0.05 * q) * 2 * 5.0 / 7.0);
    buildFloorTable(l, configOf(1).floor, f.data());
    EXPECT_DOUBLE_EQ(f[29], std::pow(10.0, 0.05 * (q + 10)) * 2 * 5.0 / 7.0);
    buildFloorTable(l, configOf(2).floor, f.data());
    EXPECT_DOUBLE_EQ(f[29], std::pow(10.0, 0.1 * (q + 12)) * 2 * 5.0 / 7.0);
    buildFloorTable(l, configOf(3).floor, f.data());
    EXPECT_DOUBLE_EQ(f[29], std::pow(10.0, 0.1 * (q + 14)) * 2 * 5.0 / 7.0);
}

TEST(PsychoacousticModel, SilenceGivesUnitResultsAndFloorThresholds) {
    for (int mode : {0, 5}) {
        Model m;
        for (int call = 0; call < 3; ++call) {
            EXPECT_FALSE(m.analyse(silence(), mode));
            for (int s = 0; s < kLongBandCount; ++s) {
                EXPECT_EQ(m.out.longRatio[s], 1.0);
                EXPECT_EQ(tonalityIndex(m.out.longUnpredictability[s]), 1.0);
            }
            for (int i = 0; i < 8; ++i)
                for (int s = 0; s < kShortBandCount; ++s) {
                    EXPECT_EQ(m.out.shortRatio[i][s], 1.0);
                    EXPECT_EQ(tonalityIndex(m.out.shortUnpredictability[i][s]), 1.0);
                }
            for (int b = 0; b < kLongPartitionCount; ++b)
                ASSERT_EQ(m.longThr()[b], m.state->longFloor.values[b]);
            for (int b = 0; b < kShortPartitionCount; ++b)
                ASSERT_EQ(m.shortThr()[b], m.state->shortFloor.values[b]);
        }
    }
}

TEST(PsychoacousticModel, StationaryToneIsPredictable) {
    // Bin 100 of the long FFT: the phase advances by a whole number of turns
    // per analysis, and the tone never falls between the short analyses' hops.
    const double hz = 100 * 44100.0 / 2048;
    Model m;
    for (int call = 0; call < 4; ++call) m.analyse(tone(call, hz, 10000.0));
    // The fourth analysis is the third one with the tone filling its window.
    for (int k = 98; k <= 102; ++k) EXPECT_LT(m.state->work.longUnpredictability[k], 1e-6) << k;
    const int band = 17;  // bins 96..107
    ASSERT_EQ(longBandEdges[band], 96);
    EXPECT_GT(tonalityIndex(m.out.longUnpredictability[band]), 5.0);
    // Short bins 12.5 apart from the tone's image do not quite rotate as one
    // phasor; the prediction is still close.
    for (int k = 11; k <= 14; ++k) EXPECT_LT(m.state->work.shortUnpredictability[k], 1e-4) << k;
    EXPECT_GT(tonalityIndex(m.out.shortUnpredictability[7][3]), 3.0);  // short band 3: bins 12..15

    // Noise at the same level is unpredictable: the index stays low.
    std::mt19937 rng(3);
    Model n;
    for (int call = 0; call < 4; ++call) n.analyse(noise(rng, 10000.0));
    EXPECT_LT(tonalityIndex(n.out.longUnpredictability[band]), 0.5);
}

TEST(PsychoacousticModel, PreEchoControlLimitsGrowth) {
    for (int mode : {5, 3}) {
        std::mt19937 rng(11);
        Model m;
        int limited = 0;
        for (int call = 0; call < 8; ++call) {
            const Frame f = call < 2 ? silence() : noise(rng, call == 2 ? 30000.0 : 300.0);
            m.analyse(f, mode);
            const auto check = [&](const auto& ch, const double* floor, double factor) {
                const int p = static_cast<int>(ch.thresholdHistory.size() / 2);
                const double* now = ch.newestThresholds();
                const double* prev = ch.thresholdHistory.data() + (ch.thresholdSlot ^ 1) * p;
                for (int b = 0; b < p; ++b) {
                    ASSERT_LE(now[b], std::max(factor * prev[b], floor[b]));
                    ASSERT_GE(now[b], floor[b]);
                    limited += now[b] == factor * prev[b] && now[b] > floor[b];
                }
            };
            check(m.state->longChannels[0], m.state->longFloor.values.data(), 2.0);
            check(m.state->shortChannels[0], m.state->shortFloor.values.data(),
                  mode == 3 ? 2.0 : 1.4);
        }
        EXPECT_GT(limited, 0);  // the loud onset did meet the limit
    }
}

TEST(PsychoacousticModel, PsyMode4ThresholdsAreTheFlatFloor) {
    std::mt19937 rng(5);
    Model m;
    for (int call = 0; call < 5; ++call) {
        m.analyse(call % 2 ? noise(rng, 20000.0) : tone(call, 1234.5, 20000.0), 4);
        for (int b = 0; b < kLongPartitionCount; ++b)
            ASSERT_EQ(m.longThr()[b], partitionWidthsLong[b] * (5.0 / 7.0));
        for (int b = 0; b < kShortPartitionCount; ++b)
            ASSERT_EQ(m.shortThr()[b], partitionWidthsShort[b] * (10.0 / 3.0));
    }
}

TEST(PsychoacousticModel, FloorIsFixedByTheFirstCall) {
    Model m;
    m.analyse(silence(), 0);
    const auto longFloor = m.state->longFloor.values;
    const auto shortFloor = m.state->shortFloor.values;
    m.analyse(silence(), 5);
    EXPECT_EQ(m.state->longFloor.values, longFloor);
    EXPECT_EQ(m.state->shortFloor.values, shortFloor);
    std::array<double, kLongPartitionCount> expected{};
    buildFloorTable(longPsyTables(), configOf(0).floor, expected.data());
    EXPECT_EQ(longFloor, expected);
    psyResetState(*m.state);
    m.analyse(silence(), 5);
    EXPECT_EQ(m.state->longFloor.values[0], 5.0 / 7.0);
}

TEST(PsychoacousticModel, ChannelsAreIndependent) {
    std::mt19937 rng(9);
    Model alone, mixed;
    for (int call = 0; call < 4; ++call) {
        const Frame f = tone(call, 440.0, 8000.0);
        alone.analyse(f, 5, 0);
        mixed.analyse(noise(rng, 20000.0), 5, 1);
        mixed.analyse(f, 5, 0);
        ASSERT_EQ(alone.out.longRatio, mixed.out.longRatio);
        ASSERT_EQ(alone.out.shortUnpredictability, mixed.out.shortUnpredictability);
    }
    PsyBandResults untouched{};
    untouched.longRatio[0] = -3.0;
    const Frame f = tone(0, 440.0, 8000.0);
    EXPECT_FALSE(psyAnalyzeChannel(*alone.state, f.data(), untouched, 2, configOf(5)));
    EXPECT_FALSE(psyAnalyzeChannel(*alone.state, f.data(), untouched, -1, configOf(5)));
    EXPECT_EQ(untouched.longRatio[0], -3.0);
}

TEST(PsychoacousticModel, AttackRequests) {
    Model m;
    for (int call = 0; call < 3; ++call) EXPECT_FALSE(m.analyse(silence()));
    Frame click{};
    click[700] = 30000.0;
    EXPECT_TRUE(m.analyse(click));

    // A steady tone settles to long blocks.
    Model t;
    bool last = true;
    for (int call = 0; call < 6; ++call) last = t.analyse(tone(call, 1000.0, 5000.0));
    EXPECT_FALSE(last);
}

// A soft high burst over a loud steady mid tone barely moves the energy of
// all bands together; only the quality mode's model, which watches each
// band's own rise, asks for short blocks. A burst late in its frame, past
// the reach of that frame's short blocks, asks for the next frame's too.
TEST(PsychoacousticModel, HighBandOnsetUnderALouderTone) {
    const PsyConfig presets = configOf(5);
    const PsyConfig quality = encoderConfigOf(qualityModeModel()).psy;
    for (const int burstStart : {300, 900}) {
        for (const PsyConfig* config : {&presets, &quality}) {
            SCOPED_TRACE(testing::Message()
                         << "burst at " << burstStart
                         << (config == &quality ? ", quality mode" : ", presets"));
            auto state = std::make_unique<PsyState>();
            PsyBandResults out{};
            auto analyse = [&](int index, bool withBurst) {
                Frame f = tone(index, 2000.0, 10000.0);
                const Frame burst = tone(index, 9000.0, 1000.0);
                for (int n = withBurst && index == 6 ? burstStart : 0;
                     withBurst && n < kFrameLength; ++n)
                    f[n] += burst[n];
                return psyAnalyzeChannel(*state, f.data(), out, 0, *config);
            };
            bool settled = true;
            for (int index = 0; index < 6; ++index) settled = !analyse(index, false);
            EXPECT_TRUE(settled);
            EXPECT_EQ(analyse(6, true), config == &quality);
            EXPECT_EQ(analyse(7, true), config == &quality && burstStart == 900);
            EXPECT_FALSE(analyse(8, true));
        }
    }
}

// A literal transcription of one analysis, with phases as angles and the
// full masker-by-target double loop, to check the model's faster forms.
struct ReferenceChannel {
    int n, m, p;
    std::vector<double> input, mag, phase, thr;
    int slot = 0, thrSlot = 0;
    explicit ReferenceChannel(const PsyTables& t)
        : n(t.fftLength),
          m(t.binCount),
          p(t.partitionCount),
          input(n),
          mag(3 * m),
          phase(3 * m),
          thr(2 * p, 90.0) {}

    void analyse(const PsyTables& t, const double* x, const double* floor, double k, int mode,
                 double* ratio, double* tonality) {
        std::copy(input.begin() + m, input.end(), input.begin());
        for (int i = 0; i < m; ++i) input[m + i] = x[i] * t.inputScale;
        slot = (slot + m) % (3 * m);
        std::vector<double> a(n), r(m), c(m);
        for (int i = 0; i < n; ++i) a[i] = input[i] * t.window[i];
        realFft(n, a.data());
        for (int i = 0; i < m; ++i) {
            mag[slot + i] = r[i] = std::sqrt(a[2 * i] * a[2 * i] + a[2 * i + 1] * a[2 * i + 1]);
            phase[slot + i] = std::atan2(a[2 * i + 1], a[2 * i]);
        }
        const int p1 = (slot + 2 * m) % (3 * m), p2 = (slot + m) % (3 * m);
        for (int i = 0; i < m; ++i) {
            const double rh = 2 * mag[p1 + i] - mag[p2 + i];
            const double ph = 2 * phase[p1 + i] - phase[p2 + i];
            const double f = phase[slot + i];
            const double dx = r[i] * std::cos(f) - rh * std::cos(ph);
            const double dy = r[i] * std::sin(f) - rh * std::sin(ph);
            const double d = r[i] + std::fabs(rh);
            c[i] = d != 0 ? std::sqrt(dx * dx + dy * dy) / d : 0;
            c[i] = c[i] >= 0 ? std::min(c[i], 1.0) : 0.0;
        }
        std::vector<double> e(p), snr(p), level(p), next(p);
        for (int b = 0; b < p; ++b) {
            double cw = 0;
            for (int i = t.start[b]; i < t.start[b] + t.width[b]; ++i) {
                e[b] += r[i] * r[i];
                cw += r[i] * r[i] * c[i];
            }
            const double cb = cw / e[b];
            const double tone = cb > 0 ? std::clamp(-0.299 - 0.43 * std::log(cb), 0.0, 1.0) : 1.0;
            snr[b] = 6 * (1 - tone) + 18 * tone;
            level[b] = 10 * std::log10((1e-20 + e[b]) / std::pow(10.0, t.quietDb[b] / 10));
        }
        thrSlot = p - thrSlot;
        for (int i = 0; i < p; ++i) {
            double sum = 0;
            for (int j = 0; j < p; ++j) {
                const double slope = std::max(22 - 0.2 * level[j] + 2300 / t.centreHz[j], 4.0);
                const double v = i < j ? level[j] - snr[j] - 30 * (t.bark[j] - t.bark[i])
                                       : level[j] - snr[j] - slope * (t.bark[i] - t.bark[j]);
                if (v > 1) sum += std::pow(10.0, v / 10);
            }
            double cur =
                i < t.lowPartitions ? 0.003 * e[i] : sum * std::pow(10.0, t.quietDb[i] / 10);
            cur = std::max(floor[i], std::min(cur, k * thr[p - thrSlot + i]));
            thr[thrSlot + i] = mode == 4 ? floor[i] : cur;
        }
        for (int s = 0; s < t.bandCount; ++s) {
            double en = 0, num = 0, lowest = INFINITY;
            for (int i = t.bandEdges[s]; i < t.bandEdges[s + 1]; ++i) {
                en += r[i] * r[i];
                num += r[i] * r[i] * c[i];
                int b = 0;
                while (t.start[b] + t.width[b] <= i) ++b;
                lowest = std::min(lowest, thr[thrSlot + b] / t.width[b]);
            }
            ratio[s] = en != 0 ? (t.bandEdges[s + 1] - t.bandEdges[s]) * lowest / en : 1.0;
            const double y = num / (1e-15 + en);
            tonality[s] = y > 0 ? -0.299 - 0.43 * std::log(y) : 1.0;
        }
    }
};

TEST(PsychoacousticModel, AgreesWithLiteralTranscription) {
    std::mt19937 rng(77);
    for (int mode : {5, 3, 0}) {
        Model model;
        ReferenceChannel longRef(longPsyTables()), shortRef(shortPsyTables());
        std::array<double, kLongPartitionCount> lf{};
        std::array<double, kShortPartitionCount> sf{};
        buildFloorTable(longPsyTables(), configOf(mode).floor, lf.data());
        buildFloorTable(shortPsyTables(), configOf(mode).floor, sf.data());
        std::array<double, 48> ratio, ton;
        for (int call = 0; call < 8; ++call) {
            Frame f = tone(call, 523.25, 6000.0);
            const Frame n = noise(rng, call == 5 ? 12000.0 : 500.0);
            for (int i = 0; i < kFrameLength; ++i) f[i] += n[i] + (i % 300 == 0 ? 9000.0 : 0.0);
            if (call == 0) f.fill(0.0);  // a silent start: predictions from zero spectra
            model.analyse(f, mode);
            longRef.analyse(longPsyTables(), f.data(), lf.data(), 2.0, mode, ratio.data(),
                            ton.data());
            for (int s = 0; s < 48; ++s) {
                ASSERT_NEAR(model.out.longRatio[s], ratio[s], 1e-9 * ratio[s]) << call << " " << s;
                ASSERT_NEAR(tonalityIndex(model.out.longUnpredictability[s]), ton[s], 1e-7)
                    << call << " " << s;
            }
            for (int i = 0; i < 8; ++i) {
                shortRef.analyse(shortPsyTables(), f.data() + 128 * i, sf.data(),
                                 mode == 3 ? 2.0 : 1.4, mode, ratio.data(), ton.data());
                for (int s = 0; s < 13; ++s) {
                    ASSERT_NEAR(model.out.shortRatio[i][s], ratio[s], 1e-9 * ratio[s]);
                    ASSERT_NEAR(tonalityIndex(model.out.shortUnpredictability[i][s]), ton[s], 1e-7);
                }
            }
        }
    }
}

}  // namespace
}  // namespace qmz
