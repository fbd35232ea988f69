// The quality mode (--quality, --bitrate): its options, its streams through
// the unchanged decoder, its rate control and its independence of -j.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>

#include "codec_harness.h"
#include "decoder/decoder.h"
#include "encoder/quality_policy.h"
#include "io/rate_options.h"

namespace qmz {
namespace {

TEST(RateOptions, ValuesAreConsumedAndTheRestKeptInOrder) {
    const struct {
        std::vector<std::string> args;
        double quality;
        int bitrate;
        std::vector<std::string> rest;
    } cases[] = {
        {{"--quality", "5"}, 5.0, 0, {}},
        {{"-j", "2", "--quality", "7.25", "-td", "3"}, 7.25, 0, {"-j", "2", "-td", "3"}},
        {{"--quality", "0"}, 0.0, 0, {}},
        {{"--quality", "10"}, 10.0, 0, {}},
        {{"--bitrate", "48"}, -1.0, 48, {}},
        {{"--bitrate", "320", "x"}, -1.0, 320, {"x"}},
        {{"--quality", "3", "--quality", "4"}, 4.0, 0, {}},
        {{"-A"}, -1.0, 0, {"-A"}},  // a preset alone is the presets' business
        {{}, -1.0, 0, {}},
    };
    for (const auto& c : cases) {
        const RateOptions parsed = extractRateOptions(c.args);
        EXPECT_EQ(parsed.error, "") << testing::PrintToString(c.args);
        EXPECT_EQ(parsed.quality, c.quality) << testing::PrintToString(c.args);
        EXPECT_EQ(parsed.bitrate, c.bitrate) << testing::PrintToString(c.args);
        EXPECT_EQ(parsed.rest, c.rest) << testing::PrintToString(c.args);
    }
}

TEST(RateOptions, BadValuesAndConflictsAreRefusedWithTheArgumentNamed) {
    const struct {
        std::vector<std::string> args;
        const char* named;
    } cases[] = {
        {{"--quality"}, "--quality needs a value"},
        {{"--bitrate"}, "--bitrate needs a value"},
        {{"--quality", "-A"}, "--quality -A"},  // a value is never an option
        {{"--quality", "10.5"}, "--quality 10.5"},
        {{"--quality", "-0.1"}, "--quality -0.1"},
        {{"--quality", "nan"}, "--quality nan"},
        {{"--quality", "5x"}, "--quality 5x"},
        {{"--quality", ""}, "--quality "},
        {{"--bitrate", "47"}, "--bitrate 47"},
        {{"--bitrate", "321"}, "--bitrate 321"},
        {{"--bitrate", "128.5"}, "--bitrate 128.5"},
        {{"--bitrate", "128k"}, "--bitrate 128k"},
        {{"--quality", "5", "--bitrate", "128"}, "cannot be given together"},
        {{"-B", "--quality", "5"}, "preset -B"},
        {{"--bitrate", "128", "-AAA"}, "preset -AAA"},
    };
    for (const auto& c : cases) {
        const RateOptions parsed = extractRateOptions(c.args);
        EXPECT_NE(parsed.error.find(c.named), std::string::npos)
            << testing::PrintToString(c.args) << ": " << parsed.error;
    }
}

TEST(EncoderOptions, IgnoredArgumentsAreListed) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> ignored;
    } cases[] = {
        {{"-A", "-td", "5", "-j", "2"}, {}},
        {{"-b", "128"}, {"-b", "128"}},
        {{"-td", "x", "-j", "999"}, {"x", "999"}},  // values that do not parse are arguments
        {{"-td", "-E"}, {}},                         // -E is still matched as a preset
        {{"-j"}, {}},
        {{"--quality"}, {"--quality"}},
        {{"-a", "-AB", "file"}, {"-a", "-AB", "file"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ignoredEncoderArguments(c.args), c.ignored) << testing::PrintToString(c.args);
}

EncoderOptions qualityOptions(double quality, int bitrate = 0, int threads = 1) {
    EncoderOptions options;
    options.quality = bitrate > 0 ? -1.0 : quality;
    options.bitrate = bitrate;
    options.threads = threads;
    return options;
}

test::Encoded encode(const std::string& wavImage, const EncoderOptions& options) {
    std::istringstream wav(wavImage);
    WavInput input;
    test::Encoded e;
    if (parseWavHeader(wav, input) != WavReadError::Ok) return e;
    std::ostringstream out;
    test::TextObserver observer;
    e.result = encodeWav(wav, input, out, options, &observer);
    e.qmz = out.str();
    e.console = observer.text;
    return e;
}

std::vector<int16_t> extremeSignal(int kind, int frames, int channels) {
    std::vector<int16_t> s(static_cast<std::size_t>(frames) * channels, 0);
    std::mt19937 random(7);
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            int16_t& v = s[static_cast<std::size_t>(i) * channels + c];
            switch (kind) {
                case 0:  // silence
                    break;
                case 1:  // full-scale square, 1 kHz-ish
                    v = (i / 22) % 2 == 0 ? 32767 : -32768;
                    break;
                case 2:  // full-scale white noise
                    v = static_cast<int16_t>(random());
                    break;
                case 3:  // a single click
                    v = i == frames / 2 ? 32767 : 0;
                    break;
                case 4:  // a tone a few steps loud: the finest quantiser steps
                    v = static_cast<int16_t>(std::lround(3.0 * std::sin(0.07 * i)));
                    break;
            }
        }
    }
    return s;
}

// Every quality on every extreme input: a stream the decoder plays (whole:
// no step finer than it has) to the sample count encoded, with no value outside the alphabets (the payload
// writer refuses those, which the encode reports as an internal error).
TEST(QualityMode, ExtremeInputsDecodeToTheirLength) {
    const char* names[] = {"silence", "square", "white noise", "click", "faint tone"};
    for (int kind = 0; kind < 5; ++kind) {
        for (int channels : {1, 2}) {
            const int frames = 3 * 44100 + 517;
            const std::string wav =
                signals::wavFileImage(extremeSignal(kind, frames, channels), channels);
            // The rate control reaches beyond the user's scale.
            for (double quality : {0.0, 2.5, 5.0, 10.0, kMaxRateControlQuality}) {
                const test::Encoded e = encode(wav, qualityOptions(quality));
                ASSERT_FALSE(e.result.internalError) << names[kind] << " q" << quality;
                const test::Decoded d = test::decodeImage(e.qmz);
                EXPECT_EQ(d.result.error, DecodeError::None) << names[kind] << " q" << quality;
                EXPECT_EQ(d.samples.size(), static_cast<std::size_t>(frames) * channels)
                    << names[kind] << " q" << quality << " ch" << channels;
                if (kind == 2) {  // coded or substituted, the noise keeps its level
                    double in = 0.0, outPower = 0.0;
                    const std::vector<int16_t> x = extremeSignal(kind, frames, channels);
                    for (std::size_t i = 0; i < x.size() && i < d.samples.size(); ++i) {
                        in += double(x[i]) * x[i];
                        outPower += double(d.samples[i]) * d.samples[i];
                    }
                    // less what lies above the quality's bandwidth
                    const double kept = qualityTuningOf(quality).longLines / 1024.0;
                    EXPECT_NEAR(10.0 * std::log10(outPower / in), 10.0 * std::log10(kept), 2.0)
                        << quality;
                }
            }
        }
    }
}

std::string musicWav(double seconds) {
    const signals::MusicSignal signal;
    const auto frames = static_cast<int64_t>(seconds * 44100);
    return signals::wavFileImage(signals::render(signal, frames), 2);
}

// The music signal with a hiss 30 dB down: dense enough to need every rate.
std::string denseMusicWav(double seconds) {
    const auto frames = static_cast<int64_t>(seconds * 44100);
    std::vector<int16_t> x = signals::render(signals::MusicSignal{}, frames);
    std::mt19937 random(11);
    std::normal_distribution<double> hiss(0.0, 300.0);
    for (int16_t& v : x) v = static_cast<int16_t>(std::clamp(v + hiss(random), -32768.0, 32767.0));
    return signals::wavFileImage(x, 2);
}

TEST(QualityMode, HigherQualityCostsMoreBitsAndGivesLessNoise) {
    const std::string wav = musicWav(6.0);
    std::istringstream in(wav);
    WavInput input;
    ASSERT_EQ(parseWavHeader(in, input), WavReadError::Ok);
    std::vector<int16_t> original = signals::render(signals::MusicSignal{}, 6 * 44100);
    double lastBits = 0.0, lastSnr = -100.0;
    for (double quality : {0.0, 2.0, 4.0, 6.0, 8.0, 10.0}) {
        const test::Encoded e = encode(wav, qualityOptions(quality));
        const double snr = test::snrDb(original, test::decodeImage(e.qmz).samples);
        EXPECT_GT(static_cast<double>(e.qmz.size()), lastBits) << quality;
        // Below quality 4 noise bands replace much of the waveform, which a
        // waveform SNR does not credit.
        if (quality >= 4.0) {
            EXPECT_GT(snr, lastSnr) << quality;
        }
        lastBits = static_cast<double>(e.qmz.size());
        lastSnr = snr;
    }
}

TEST(QualityMode, ThreadCountsGiveIdenticalBytes) {
    const std::string wav = musicWav(9.0);  // several of the threaded encoder's segments
    for (const EncoderOptions& base : {qualityOptions(3.5), qualityOptions(0, 128)}) {
        const std::string one = encode(wav, base).qmz;
        for (int threads : {2, 3, 5}) {
            EncoderOptions options = base;
            options.threads = threads;
            EXPECT_TRUE(encode(wav, options).qmz == one) << threads << " threads";
        }
    }
}

// Stereo whose channels' sum or difference is weak (near-mono, anti-phase)
// is coded as mid and side, other stereo as left and right; either way the
// stream decodes to its length, on any number of threads alike.
TEST(QualityMode, MidSideWhereSumOrDifferenceIsWeak) {
    const int frames = 10 * 44100;  // several of the threaded encoder's segments
    const std::vector<int16_t> music = signals::render(signals::MusicSignal{}, frames);
    struct Case {
        const char* name;
        double sameAsLeft, reversedLeft;  // right = a * left + b * left played backwards
        bool midSide;
    };
    const Case cases[] = {{"near mono", 0.97, 0.03, true},
                          {"anti-phase", -1.0, 0.0, true},
                          {"unrelated channels", 0.0, 1.0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int16_t> x = music;
        for (std::size_t i = 0; i < x.size(); i += 2) {
            const int16_t backwards = music[x.size() - 2 - i];
            const double right = c.sameAsLeft * x[i] + c.reversedLeft * backwards;
            x[i + 1] = static_cast<int16_t>(std::clamp(right, -32768.0, 32767.0));
        }
        const std::string wav = signals::wavFileImage(x, 2);
        for (const EncoderOptions& base : {qualityOptions(4.0), qualityOptions(0, 128)}) {
            const test::Encoded e = encode(wav, base);
            ContainerFile file;
            ASSERT_EQ(readContainerHeader(reinterpret_cast<const uint8_t*>(e.qmz.data()),
                                          e.qmz.size(), file),
                      DecodeError::None);
            EXPECT_EQ(file.header.midSide == 1, c.midSide);
            EXPECT_EQ(test::decodeImage(e.qmz).samples.size(), x.size());
            EncoderOptions threaded = base;
            threaded.threads = 3;
            EXPECT_TRUE(encode(wav, threaded).qmz == e.qmz);
        }
    }
}

// The file's average lands near the rate asked, on a short input (a few of
// the rate's frames carry the header's weight) and a longer one.
TEST(QualityMode, BitrateIsMetOnShortAndLongInputs) {
    for (double seconds : {2.0, 25.0}) {
        const std::string wav = denseMusicWav(seconds);
        for (int kbps : {96, 160, 256}) {
            const test::Encoded e = encode(wav, qualityOptions(0, kbps));
            const double rate = e.qmz.size() * 8.0 / 1000.0 / seconds;
            EXPECT_NEAR(rate / kbps, 1.0, 0.05) << seconds << " s at " << kbps;
            EXPECT_EQ(test::decodeImage(e.qmz).samples.size(),
                      static_cast<std::size_t>(seconds * 44100) * 2);
        }
    }
}

}  // namespace
}  // namespace qmz
