#include "io/sample_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "codec_harness.h"
#include "wav_image.h"

namespace qmz {
namespace {

std::string int24(int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    return {static_cast<char>(u & 0xFF), static_cast<char>((u >> 8) & 0xFF),
            static_cast<char>((u >> 16) & 0xFF)};
}

std::string int32(int32_t v) {
    return test::le32(static_cast<uint32_t>(v));
}

std::string float32(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return test::le32(bits);
}

std::vector<int16_t> convert(SampleFormat format, const std::string& bytes, int count,
                             uint64_t position = 0) {
    std::vector<int16_t> out(static_cast<std::size_t>(count));
    convertTo16Bits(format, reinterpret_cast<const uint8_t*>(bytes.data()), count, position,
                    out.data());
    return out;
}

std::string repeated(const std::string& sample, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += sample;
    return s;
}

// Triangular dither of one step either way: a value on a 16-bit step stays
// there three times in four and moves one step either way once in eight; a
// value half way between two steps goes to either half of the time. On
// average the output is the input: the dither adds noise, no offset.
TEST(SampleConversion, DitherIsTriangularAndUnbiased) {
    struct Case {
        const char* name;
        SampleFormat format;
        std::string sample;
        double value;  // in 16-bit steps
    };
    const Case cases[] = {
        {"24-bit on a step", SampleFormat::Int24, int24(1000 * 256), 1000.0},
        {"24-bit half way", SampleFormat::Int24, int24(-1000 * 256 + 128), -999.5},
        {"24-bit zero", SampleFormat::Int24, int24(0), 0.0},
        {"32-bit on a step", SampleFormat::Int32, int32(-20000 * 65536), -20000.0},
        {"32-bit half way", SampleFormat::Int32, int32(300 * 65536 + 32768), 300.5},
        {"float on a step", SampleFormat::Float32, float32(0.25f), 8192.0},
        {"float half way", SampleFormat::Float32, float32(-100.5f / 32768.0f), -100.5},
    };
    constexpr int kCount = 200000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<int16_t> out = convert(c.format, repeated(c.sample, kCount), kCount);
        const auto floorValue = static_cast<int>(std::floor(c.value));
        const bool onStep = floorValue == c.value;
        double sum = 0;
        int counts[4] = {};  // floor - 1 .. floor + 2
        for (const int16_t v : out) {
            sum += v;
            ASSERT_GE(v, floorValue - 1);
            ASSERT_LE(v, floorValue + (onStep ? 1 : 2));
            ++counts[v - floorValue + 1];
        }
        EXPECT_NEAR(sum / kCount, c.value, 0.01);
        if (onStep) {
            EXPECT_NEAR(counts[1] / double(kCount), 0.75, 0.01);
            EXPECT_NEAR(counts[0] / double(kCount), 0.125, 0.01);
            EXPECT_NEAR(counts[2] / double(kCount), 0.125, 0.01);
        } else {
            EXPECT_NEAR(counts[1] / double(kCount), 0.5, 0.01);
        }
    }
}

TEST(SampleConversion, FullScaleAndNonFiniteValuesStayInRange) {
    struct Case {
        const char* name;
        SampleFormat format;
        std::string sample;
        int16_t lowest, highest;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {"24-bit largest", SampleFormat::Int24, int24(0x7FFFFF), 32767, 32767},
        {"24-bit smallest", SampleFormat::Int24, int24(-0x800000), -32768, -32767},
        {"32-bit largest", SampleFormat::Int32, int32(0x7FFFFFFF), 32767, 32767},
        {"32-bit smallest", SampleFormat::Int32, int32(-0x7FFFFFFF - 1), -32768, -32767},
        {"float 1.0", SampleFormat::Float32, float32(1.0f), 32767, 32767},
        {"float -1.0", SampleFormat::Float32, float32(-1.0f), -32768, -32767},
        {"float 8.0", SampleFormat::Float32, float32(8.0f), 32767, 32767},
        {"float -1e30", SampleFormat::Float32, float32(-1e30f), -32768, -32768},
        {"float +inf", SampleFormat::Float32, float32(inf), 32767, 32767},
        {"float -inf", SampleFormat::Float32, float32(-inf), -32768, -32768},
        {"float NaN", SampleFormat::Float32, float32(std::nanf("")), 0, 0},
    };
    for (const Case& c : cases) {
        for (const int16_t v : convert(c.format, repeated(c.sample, 1000), 1000)) {
            ASSERT_GE(v, c.lowest) << c.name;
            ASSERT_LE(v, c.highest) << c.name;
        }
    }
}

// The dither of a sample depends on its position alone: converting a run in
// pieces, at any boundaries, gives what converting it whole gives.
TEST(SampleConversion, DitherDependsOnThePositionOnly) {
    std::string bytes;
    for (int i = 0; i < 3000; ++i) bytes += int24((i * 7919) % 0x7FFFFF - 0x400000);
    const std::vector<int16_t> whole = convert(SampleFormat::Int24, bytes, 3000);
    for (const int cut : {1, 1023, 1024, 2047, 2999}) {
        std::vector<int16_t> pieces = convert(SampleFormat::Int24, bytes.substr(0, 3 * cut), cut);
        const std::vector<int16_t> rest =
            convert(SampleFormat::Int24, bytes.substr(3 * cut), 3000 - cut, cut);
        pieces.insert(pieces.end(), rest.begin(), rest.end());
        EXPECT_EQ(pieces, whole) << cut;
    }
    // Another starting position is other dither.
    EXPECT_NE(convert(SampleFormat::Int24, bytes, 3000, 1), whole);
}

TEST(SampleConversion, StreamDeliversWholeConvertedFrames) {
    std::string bytes;
    for (int i = 0; i < 2 * 2500; ++i) bytes += int32(i * 100003);
    const std::vector<int16_t> expected = convert(SampleFormat::Int32, bytes, 2 * 2500);
    std::istringstream source(bytes + "\x01\x02\x03\x04\x05");  // and a partial frame
    SixteenBitSamples converted(source, SampleFormat::Int32, 2);
    std::istream in(&converted);
    std::vector<int16_t> left(kMaxReadFrames), right(kMaxReadFrames);
    int16_t* const out[2] = {left.data(), right.data()};
    int frames = 0;
    for (int want : {1000, 700, 1024, 1024}) {  // reads across the converter's blocks
        const int got = readSampleFrames(in, 2, want, out);
        ASSERT_EQ(got, std::min(want, 2500 - frames));
        for (int i = 0; i < got; ++i) {
            ASSERT_EQ(left[i], expected[2 * (frames + i)]);
            ASSERT_EQ(right[i], expected[2 * (frames + i) + 1]);
        }
        frames += got;
    }
    EXPECT_EQ(frames, 2500);
    EXPECT_EQ(readSampleFrames(in, 2, 10, out), 0);
}

// A WAV image of the same signal in another sample format.
std::string reformatted(const std::vector<int16_t>& pcm, int channels, uint16_t tag,
                        uint16_t bits) {
    std::string data;
    for (const int16_t v : pcm) {
        if (tag == 3) {
            data += float32(static_cast<float>(v) / 32768.0f);
        } else if (bits == 24) {
            data += int24(v * 256 + 77);  // low bits the 16-bit signal does not have
        } else {
            data += int32(v * 65536 + 12345);
        }
    }
    return test::riffWave(
        test::chunk("fmt ", test::formatBlock(tag, static_cast<uint16_t>(channels), 44100, bits)) +
        test::chunk("data", data));
}

// Converted input codes to the same bytes on every run and at every thread
// count, records a 16-bit PCM header, and decodes about as close to the signal
// as the 16-bit file does.
TEST(SampleConversion, ConvertedInputCodesTheSameAtEveryThreadCount) {
    signals::MusicSignal signal;
    signal.channels = 2;
    const std::vector<int16_t> pcm = signals::render(signal, 150000);  // four segments and more
    const test::Encoded direct = test::encodeImage(signals::wavFileImage(pcm, 2), {"-A"});
    const double directSnr = test::snrDb(pcm, test::decodeImage(direct.qmz).samples);
    struct Case {
        uint16_t tag, bits;
    };
    for (const Case c : {Case{1, 24}, Case{1, 32}, Case{3, 32}}) {
        SCOPED_TRACE("tag " + std::to_string(c.tag) + ", " + std::to_string(c.bits) + " bits");
        const std::string wav = reformatted(pcm, 2, c.tag, c.bits);
        const test::Encoded one = test::encodeImage(wav, {"-A"});
        ASSERT_FALSE(one.qmz.empty());
        EXPECT_EQ(one.result.samplesPerChannel, 150000);
        EXPECT_EQ(test::headerWord(one.qmz, 36), 150000u * 4);
        EXPECT_EQ(one.qmz.substr(40, 16), test::formatBlock(1, 2));
        EXPECT_TRUE(test::encodeImage(wav, {"-A"}).qmz == one.qmz);
        for (const char* threads : {"2", "3"})
            EXPECT_TRUE(test::encodeImage(wav, {"-A", "-j", threads}).qmz == one.qmz) << threads;
        const test::Decoded decoded = test::decodeImage(one.qmz);
        ASSERT_EQ(decoded.result.error, DecodeError::None);
        EXPECT_GT(test::snrDb(pcm, decoded.samples), directSnr - 1.0);
    }
}

}  // namespace
}  // namespace qmz
