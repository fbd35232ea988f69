// The encoder vectors' console text records, frame by frame, which frames
// asked for short blocks ("*") and which requests were dropped ("+"). Those
// markers depend only on the psychoacoustic model and the attack test, so
// replaying the encode loop's analysis side over the input reproduces them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "encoder/psychoacoustic_model.h"

namespace qmz {
namespace {

struct Pcm {
    int channels = 0;
    std::vector<int16_t> samples;  // interleaved
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
           uint32_t(uint8_t(b[at + 2])) << 16 | uint32_t(uint8_t(b[at + 3])) << 24;
}

Pcm readWav(const std::string& path) {
    const std::string b = readFile(path);
    Pcm pcm;
    size_t at = 12;
    while (at + 8 <= b.size()) {
        const std::string id = b.substr(at, 4);
        const uint32_t size = le32(b, at + 4);
        if (id == "fmt ") pcm.channels = uint8_t(b[at + 10]);
        if (id == "data") {
            for (size_t i = 0; i + 1 < size && at + 9 + i < b.size(); i += 2)
                pcm.samples.push_back(
                    int16_t(uint8_t(b[at + 8 + i]) | uint8_t(b[at + 9 + i]) << 8));
            break;
        }
        at += 8 + size;
    }
    return pcm;
}

// The console text of the encode loop up to its final line, with the
// quantiser's messages left out (the vectors have none).
std::string replayMarkers(const Pcm& pcm, int psyMode, bool midSide) {
    const int channels = pcm.channels;
    const int total = static_cast<int>(pcm.samples.size()) / channels;
    auto state = std::make_unique<PsyState>();
    PsyBandResults results{};
    std::string text;
    char buf[32];
    const float scale = static_cast<float>(total * (1.0 / 1024));
    int t = -2, remaining = total, read = 0, lastProgress = 0;
    int prev = 0, prevPrev = 0;
    do {
        const int p = static_cast<int>(static_cast<float>(100 * t) / scale);
        if (p != lastProgress) {
            std::snprintf(buf, sizeof buf, "\r %d%%", p);
            text += buf;
        }
        lastProgress = p;
        ++t;
        double bank[2][kFrameLength] = {};
        if (t > 0) {
            const int n = remaining <= 0 ? 0 : std::min(kFrameLength, remaining);
            remaining -= kFrameLength;
            for (int i = 0; i < n; ++i, ++read)
                for (int c = 0; c < channels; ++c)
                    bank[c][i] = pcm.samples[size_t(read) * channels + c];
        }
        if (midSide && channels == 2)
            for (int i = 0; i < kFrameLength; ++i) {
                const double l = bank[0][i], r = bank[1][i];
                bank[0][i] = (l + r) * 0.5;
                bank[1][i] = (l - r) * 0.5;
            }
        int request = 0;
        for (int c = 0; c < channels; ++c)
            request |= psyAnalyzeChannel(*state, bank[c], results, c, psyMode) ? 1 : 0;
        if (psyMode == 4) request = 0;
        if (request) text += "*";
        int stored = request;
        if (prev == 0 && prevPrev == 1) {  // this frame must stop
            if (request) text += "+";
            stored = 0;
        }
        prevPrev = prev;
        prev = stored;
    } while (remaining > -3072);
    return text;
}

std::string expectedMarkers(const std::string& name) {
    const std::string txt = readFile(std::string(QMZ_TEST_DATA_DIR) + "/" + name + ".txt");
    const size_t end = txt.rfind("\r 100%  Average");
    return end == std::string::npos ? std::string() : txt.substr(0, end);
}

void checkVector(const std::string& input, const std::string& name, int psyMode, bool midSide) {
    const Pcm pcm = readWav(std::string(QMZ_TEST_DATA_DIR) + "/" + input);
    ASSERT_GT(pcm.channels, 0);
    const std::string expected = expectedMarkers(name);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(replayMarkers(pcm, psyMode, midSide), expected);
}

TEST(PsyConformance, StereoPresetA) {
    checkVector("enc1_stereo.wav", "enc1_stereo-A", 5, false);
}
TEST(PsyConformance, StereoPresetEMidSide) {
    checkVector("enc1_stereo.wav", "enc1_stereo-E", 3, true);
}
TEST(PsyConformance, MonoPresetAAA) {
    checkVector("enc2_mono.wav", "enc2_mono-AAA", 4, false);
}
TEST(PsyConformance, MonoPresetC) {
    checkVector("enc2_mono.wav", "enc2_mono-C", 1, false);
}

}  // namespace
}  // namespace qmz
