// Byte-identity guard: the encoder's bytes and the decoder's samples for a
// few generated signals, per preset, against digests taken before any speed
// work. A change anywhere on the signal path (an FFT rewrite, a table in
// place of a pow, threading) that moves a single bit fails here.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

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

}  // namespace
}  // namespace qmz
