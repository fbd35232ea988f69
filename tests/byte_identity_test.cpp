// Byte-identity guard: the encoder's bytes and the decoder's samples for a
// few generated signals, per preset, against digests taken before any speed
// work. A change anywhere on the signal path (an FFT rewrite, a table in
// place of a pow, threading) that moves a single bit fails here.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <streambuf>

#include "codec_harness.h"

namespace qmz {
namespace {

// 64-bit FNV-1a.
uint64_t fnv64(const std::string& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string hex(uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

// Four seconds of stereo music: four resync segments, short and long blocks.
std::string stereoMusic() {
    return signals::wavFileImage(signals::render(signals::MusicSignal{}, 4 * 44100 + 333), 2);
}

// Three seconds of mono music.
std::string monoMusic() {
    signals::MusicSignal signal;
    signal.channels = 1;
    return signals::wavFileImage(signals::render(signal, 3 * 44100 + 1000), 1);
}

// A second and a half of digital silence, then full-scale clicks every 0.2 s
// with a low tone under them: attacks out of nothing, start/short/stop runs.
std::string clicksAfterSilence() {
    const int frames = 4 * 44100;
    std::vector<int16_t> pcm(2 * static_cast<std::size_t>(frames), 0);
    for (int i = 66150; i < frames; ++i) {
        const int phase = (i - 66150) % 8820;
        double x = 2000.0 * std::sin(i * (2 * 3.141592653589793 * 110.0 / 44100.0));
        if (phase < 48) x += 32000.0 * std::exp(-phase / 6.0) * (phase % 2 == 0 ? 1 : -1);
        const auto v = static_cast<int16_t>(std::lround(std::clamp(x, -32768.0, 32767.0)));
        pcm[2 * static_cast<std::size_t>(i)] = v;
        pcm[2 * static_cast<std::size_t>(i) + 1] = static_cast<int16_t>(-v / 2);
    }
    return signals::wavFileImage(pcm, 2);
}

// Three seconds of clicks every 1000 samples: every frame asks for short
// blocks, so whole resync segments hold nothing but short frames.
std::string denseClicks() {
    const int frames = 3 * 44100;
    std::vector<int16_t> pcm(static_cast<std::size_t>(frames), 0);
    for (int i = 0; i < frames; ++i) {
        const int phase = i % 1000;
        if (phase < 16)
            pcm[static_cast<std::size_t>(i)] = static_cast<int16_t>(phase % 2 ? -20000 : 20000);
    }
    return signals::wavFileImage(pcm, 1);
}

const char* const kPresets[] = {"-AAA", "-AA", "-A", "-B", "-C", "-D", "-E"};

struct Input {
    const char* name;
    std::string (*make)();
};

const Input kInputs[] = {
    {"stereo", stereoMusic},
    {"mono", monoMusic},
    {"clicks", clicksAfterSilence},
};

// Digests of the .qmz file and of the decoded WAV file, by input and preset.
const std::map<std::string, std::pair<std::string, std::string>>& expectedDigests() {
    static const std::map<std::string, std::pair<std::string, std::string>> digests = {
#include "byte_identity_digests.inc"
    };
    return digests;
}

TEST(ByteIdentity, EncodedAndDecodedBytesMatchTheCheckedInDigests) {
    std::string table;
    for (const Input& input : kInputs) {
        const std::string wav = input.make();
        for (const char* preset : kPresets) {
            const std::string key = std::string(input.name) + preset;
            const test::Encoded e = test::encodeImage(wav, {preset});
            ASSERT_FALSE(e.result.writeFailed || e.result.internalError) << key;
            const test::Decoded d = test::decodeImage(e.qmz);
            ASSERT_EQ(d.result.error, DecodeError::None) << key;
            const std::string qmzDigest = hex(fnv64(e.qmz)), wavDigest = hex(fnv64(d.wav));
            table += "{\"" + key + "\", {\"" + qmzDigest + "\", \"" + wavDigest + "\"}},\n";
            const auto it = expectedDigests().find(key);
            if (it == expectedDigests().end()) {
                ADD_FAILURE() << "no digest for " << key;
                continue;
            }
            EXPECT_EQ(qmzDigest, it->second.first) << key << ": .qmz bytes changed";
            EXPECT_EQ(wavDigest, it->second.second) << key << ": decoded samples changed";
        }
    }
    if (HasFailure()) std::printf("digests of this build:\n%s", table.c_str());
}

// Everything the encoder reports, with the bytes, must not depend on -j.
TEST(ByteIdentity, EveryThreadCountWritesTheSingleThreadedBytesAndConsoleText) {
    const Input inputs[] = {{"stereo", stereoMusic},
                            {"mono", monoMusic},
                            {"clicks", clicksAfterSilence},
                            {"dense", denseClicks}};
    for (const Input& input : inputs) {
        const std::string wav = input.make();
        for (const char* preset : {"-AAA", "-A", "-C", "-E"}) {
            const test::Encoded one = test::encodeImage(wav, {preset});
            for (const char* threads : {"2", "3", "0"}) {
                const std::string key = std::string(input.name) + preset + " -j " + threads;
                const test::Encoded many = test::encodeImage(wav, {preset, "-j", threads});
                EXPECT_TRUE(many.qmz == one.qmz) << key << ": bytes differ";
                EXPECT_EQ(many.console, one.console) << key;
                EXPECT_EQ(many.result.frames, one.result.frames) << key;
                EXPECT_EQ(many.result.avgBitRate, one.result.avgBitRate) << key;
                EXPECT_EQ(many.result.blockTypeCounts, one.result.blockTypeCounts) << key;
            }
        }
    }
}

// Lengths around the segment size (45 frames of 1024 samples, the first
// segment holding 44 frames), including an empty input and a clip.
TEST(ByteIdentity, ThreadedEncodingHandlesEveryLengthAroundASegment) {
    for (int64_t n : {0, 1, 40 * 1024, 41 * 1024 + 5, 42 * 1024, 87 * 1024, 132 * 1024 - 1}) {
        const std::string wav =
            signals::wavFileImage(signals::render(signals::MusicSignal{}, n), 2);
        const test::Encoded one = test::encodeImage(wav, {"-B"});
        const test::Encoded two = test::encodeImage(wav, {"-B", "-j", "2"});
        EXPECT_TRUE(two.qmz == one.qmz) << n;
        EXPECT_EQ(two.console, one.console) << n;
    }
    const std::string wav = stereoMusic();
    EXPECT_TRUE(test::encodeImage(wav, {"-td", "2", "-j", "3"}).qmz ==
                test::encodeImage(wav, {"-td", "2"}).qmz);
}

// A WAV file that ends before its declared size is coded as silence after
// the end, whatever the thread count.
TEST(ByteIdentity, ThreadedEncodingOfATruncatedFileMatches) {
    std::string wav = stereoMusic();
    wav.resize(wav.size() / 3 + 1);  // also cuts a sample frame in half
    const test::Encoded one = test::encodeImage(wav, {"-A"});
    const test::Encoded two = test::encodeImage(wav, {"-A", "-j", "2"});
    EXPECT_FALSE(one.qmz.empty());
    EXPECT_TRUE(two.qmz == one.qmz);
}

// An output that fails part way (a full disk) stops the threaded encode
// cleanly and is reported, as it is single-threaded.
TEST(ByteIdentity, ThreadedEncodingReportsAnOutputThatFails) {
    class FailingBuffer : public std::streambuf {
      public:
        explicit FailingBuffer(std::size_t room) : room_(room) {}

      protected:
        int_type overflow(int_type ch) override {
            if (room_ == 0) return traits_type::eof();
            --room_;
            return ch;
        }
        std::streamsize xsputn(const char*, std::streamsize n) override {
            const auto take = std::min<std::streamsize>(n, static_cast<std::streamsize>(room_));
            room_ -= static_cast<std::size_t>(take);
            return take;
        }
        pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
            return 0;
        }
        pos_type seekpos(pos_type, std::ios_base::openmode) override { return 0; }

      private:
        std::size_t room_;
    };
    const std::string wav = stereoMusic();
    for (const char* threads : {"1", "2", "3"}) {
        std::istringstream in(wav);
        WavInput input;
        ASSERT_EQ(parseWavHeader(in, input), WavReadError::Ok);
        FailingBuffer buffer(20000);
        std::ostream out(&buffer);
        const EncodeFileResult r =
            encodeWav(in, input, out, parseEncoderOptions({"-A", "-j", threads}), nullptr);
        EXPECT_TRUE(r.writeFailed) << threads;
    }
}

// The decoder's paired conversion must round and clip every value exactly as
// toPcm16 does, for one channel and two, at odd and even counts.
TEST(ByteIdentity, PairedPcmConversionEqualsTheSampleBySampleOne) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values = {0.0,      -0.0,     0.49999999999999994,
                                  0.5,      -0.5,     1.5,
                                  -1.5,     2.5,      -2.5,
                                  32766.5,  32767.0,  32767.49,
                                  32767.5,  32768.,   -32767.5,
                                  -32768.0, -40000.0, 1e300,
                                  -1e300,   inf,      -inf,
                                  nan,      -nan,     1e-310,
                                  -1e-310};
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> wide(-40000.0, 40000.0);
    for (int i = 0; i < 1000; ++i) values.push_back(wide(rng));
    std::vector<double> right(values.rbegin(), values.rend());
    for (int count : {0, 1, 2, 3, static_cast<int>(values.size())}) {
        std::vector<int16_t> mono(static_cast<std::size_t>(count) + 1, 99);
        std::vector<int16_t> stereo(2 * static_cast<std::size_t>(count) + 1, 99);
        interleavePcm16(values.data(), nullptr, count, mono.data());
        interleavePcm16(values.data(), right.data(), count, stereo.data());
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(mono[i], toPcm16(values[i])) << values[i];
            ASSERT_EQ(stereo[2 * i], toPcm16(values[i])) << values[i];
            ASSERT_EQ(stereo[2 * i + 1], toPcm16(right[i])) << right[i];
        }
        EXPECT_EQ(mono[count], 99);  // nothing written past the end
        EXPECT_EQ(stereo[2 * count], 99);
    }
}

TEST(ByteIdentity, ThreadOptionTakesTheNextArgumentAndDisturbsNothingElse) {
    EXPECT_EQ(parseEncoderOptions({}).threads, 1);
    EXPECT_EQ(parseEncoderOptions({"-j", "4"}).threads, 4);
    EXPECT_EQ(parseEncoderOptions({"-j", "0"}).threads, 0);
    EXPECT_EQ(parseEncoderOptions({"-j", "2", "-j", "3"}).threads, 3);
    for (const char* bad : {"x", "-1", "2.5", "", "257", "99999999999"})
        EXPECT_EQ(parseEncoderOptions({"-j", bad}).threads, 1) << bad;
    EXPECT_EQ(parseEncoderOptions({"-j"}).threads, 1);
    EXPECT_EQ(parseEncoderOptions({"-j4"}).threads, 1);  // not an option: ignored as before
    // The value is matched as an option too, and options around -j act as before.
    const EncoderOptions o = parseEncoderOptions({"-E", "-j", "-AAA", "-td", "3", "-j", "2"});
    EXPECT_EQ(o.preset.psyMode, 4);
    EXPECT_EQ(o.preset.midSide, 1);
    EXPECT_EQ(o.clipSeconds, 3.0f);
    EXPECT_EQ(o.threads, 2);
    const EncoderOptions plain = parseEncoderOptions({"-C", "-td", "1.5"});
    const EncoderOptions withJ = parseEncoderOptions({"-j", "2", "-C", "-td", "1.5"});
    EXPECT_EQ(withJ.preset.psyMode, plain.preset.psyMode);
    EXPECT_EQ(withJ.preset.ratioFloor, plain.preset.ratioFloor);
    EXPECT_EQ(withJ.clipSeconds, plain.clipSeconds);
}

}  // namespace
}  // namespace qmz
