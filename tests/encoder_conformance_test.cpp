// Replays the encode loop without its entropy coder over the encoder
// vectors' inputs. The vectors' console text records which frames asked for
// short blocks ("*") and which requests were dropped ("+"), which depends on
// the psychoacoustic model and the attack test alone; their decoded output
// depends on every quantised value, so decoding the replayed blocks with the
// decoder's dequantiser and synthesis must give it sample for sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "decoder/dequantizer.h"
#include "decoder/synthesis.h"
#include "encoder/analysis.h"
#include "encoder/psychoacoustic_model.h"
#include "encoder/quantizer.h"

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

struct Replay {
    std::string text;              // console text up to the final line
    std::vector<BlockType> types;  // per frame, index = frame number
    std::vector<std::array<ChannelBlocks, 2>> blocks;
    std::vector<QuantizerEvent> events;
};

struct EventLog final : QuantizerEventSink {
    std::vector<QuantizerEvent>* events;
    void onQuantizerEvent(QuantizerEvent e) override { events->push_back(e); }
};

struct Preset {
    float maskScale;
    int psyMode, gainOffset;
    double ratioFloor;
    bool midSide;
};

BlockType sequence(int& prev, int& prevPrev, int request, std::string& text) {
    BlockType type;
    int stored = request;
    if (prev == 1) {
        type = BlockType::Short;
    } else if (prevPrev == 1) {  // the frame after a short one must stop
        type = BlockType::Stop;
        if (request) text += "+";
        stored = 0;
    } else {
        type = request ? BlockType::Start : BlockType::Long;
    }
    prevPrev = prev;
    prev = stored;
    return type;
}

// The encode loop without its entropy coder: analysis one frame ahead,
// block-type sequencing, transform and quantiser.
Replay replayEncoder(const Pcm& pcm, const Preset& preset) {
    const int channels = pcm.channels;
    const int total = static_cast<int>(pcm.samples.size()) / channels;
    auto psy = std::make_unique<PsyState>();
    auto analysis = std::make_unique<std::array<PsyBandResults, 2 * 2>>();  // [bank][channel]
    std::vector<double> banks(2 * 2 * kFrameLength, 0.0);
    auto bank = [&](int b, int c) { return banks.data() + (b * 2 + c) * kFrameLength; };
    std::array<std::array<double, kFrameLength>, 2> history{}, spectrum{};
    QuantizerState qstate;
    EventLog log;
    Replay r;
    log.events = &r.events;
    char buf[32];
    const float scale = static_cast<float>(total * (1.0 / 1024));
    int t = -2, remaining = total, read = 0, lastProgress = 0, prev = 0, prevPrev = 0, cur = 1;
    BlockType type = BlockType::Long;
    do {
        const int p = static_cast<int>(static_cast<float>(100 * t) / scale);
        if (p != lastProgress) {
            std::snprintf(buf, sizeof buf, "\r %d%%", p);
            r.text += buf;
        }
        lastProgress = p;
        ++t;
        cur ^= 1;
        for (int c = 0; c < 2; ++c) std::fill(bank(cur, c), bank(cur, c) + kFrameLength, 0.0);
        if (t > 0) {
            const int n = remaining <= 0 ? 0 : std::min(kFrameLength, remaining);
            remaining -= kFrameLength;
            for (int i = 0; i < n; ++i, ++read)
                for (int c = 0; c < channels; ++c)
                    bank(cur, c)[i] = pcm.samples[size_t(read) * channels + c];
        }
        if (preset.midSide && channels == 2)
            for (int i = 0; i < kFrameLength; ++i) {
                const double l = bank(cur, 0)[i], rr = bank(cur, 1)[i];
                bank(cur, 0)[i] = (l + rr) * 0.5;
                bank(cur, 1)[i] = (l - rr) * 0.5;
            }
        int request = 0;
        for (int c = 0; c < channels; ++c)
            request |=
                psyAnalyzeChannel(*psy, bank(cur, c), (*analysis)[cur * 2 + c], c, preset.psyMode);
        if (preset.psyMode == 4) request = 0;
        if (request) r.text += "*";
        type = sequence(prev, prevPrev, request, r.text);

        std::array<ChannelBlocks, 2> frame{};
        for (int c = 0; c < channels; ++c) {
            PsyBandResults& a = (*analysis)[(cur ^ 1) * 2 + c];
            analyzeChannel(bank(cur ^ 1, c), spectrum[c].data(), history[c], type);
            if (type == BlockType::Short) {
                for (int j = 0; j < 8; ++j)
                    quantizeBlock(qstate, spectrum[c].data() + 128 * j, a.shortRatio[j].data(),
                                  a.shortTonality[j].data(), preset.maskScale, 128,
                                  preset.gainOffset, preset.ratioFloor, frame[c][j], &log);
            } else {
                quantizeBlock(qstate, spectrum[c].data(), a.longRatio.data(), a.longTonality.data(),
                              preset.maskScale, 1024, preset.gainOffset, preset.ratioFloor,
                              frame[c][0], &log);
            }
        }
        if (t >= 1) {
            r.types.resize(t + 1);
            r.blocks.resize(t + 1);
            r.types[t] = type;
            r.blocks[t] = frame;
        }
    } while (remaining > -3072);
    return r;
}

// The decode loop over the replayed frames: 16-bit samples, interleaved.
std::vector<int16_t> decodeReplay(const Replay& r, int channels, int total, bool midSide) {
    NoiseRandom noise;
    std::array<OverlapBuffer, 2> overlap{};
    std::array<std::array<double, kFrameLength>, 2> spectrum{}, output{};
    std::vector<int16_t> out;
    int remaining = total;
    for (int t = -1; remaining > 0; ++t) {
        const int frame = t + 2;
        const BlockType type = r.types.at(frame);
        for (int c = 0; c < channels; ++c) {
            if (type == BlockType::Short)
                for (int j = 0; j < 8; ++j)
                    dequantizeBlock(r.blocks[frame][c][j], spectrum[c].data() + 128 * j, 128,
                                    noise);
            else
                dequantizeBlock(r.blocks[frame][c][0], spectrum[c].data(), 1024, noise);
        }
        if (midSide && channels == 2)
            for (int i = 0; i < kFrameLength; ++i) {
                const double m = spectrum[0][i], s = spectrum[1][i];
                spectrum[0][i] = m + s;
                spectrum[1][i] = m - s;
            }
        for (int c = 0; c < channels; ++c)
            synthesizeChannel(spectrum[c].data(), output[c].data(), overlap[c], type);
        if (t <= 0) continue;
        const int count = std::min(remaining, kFrameLength);
        remaining -= kFrameLength;
        for (int i = 0; i < count; ++i)
            for (int c = 0; c < channels; ++c) {
                const double x = output[c][i];
                out.push_back(static_cast<int16_t>(x >= 0 ? std::min(x, 32767.0) + 0.5
                                                          : std::max(x, -32767.0) - 0.5));
            }
    }
    return out;
}

std::string expectedMarkers(const std::string& name) {
    const std::string txt = readFile(std::string(QMZ_TEST_DATA_DIR) + "/" + name + ".txt");
    const size_t end = txt.rfind("\r 100%  Average");
    return end == std::string::npos ? std::string() : txt.substr(0, end);
}

void checkVector(const std::string& input, const std::string& name, const Preset& preset) {
    const std::string dir = std::string(QMZ_TEST_DATA_DIR) + "/";
    const Pcm pcm = readWav(dir + input);
    ASSERT_GT(pcm.channels, 0);
    const std::string expected = expectedMarkers(name);
    ASSERT_FALSE(expected.empty());
    const Replay r = replayEncoder(pcm, preset);
    EXPECT_EQ(r.text, expected);
    EXPECT_TRUE(r.events.empty());  // the vectors' text has no quantiser messages

    const Pcm decoded = readWav(dir + name + ".decoded.wav");
    const int total = static_cast<int>(pcm.samples.size()) / pcm.channels;
    const std::vector<int16_t> ours = decodeReplay(r, pcm.channels, total, preset.midSide);
    ASSERT_EQ(ours.size(), decoded.samples.size());
    size_t differing = 0, first = ours.size();
    for (size_t i = 0; i < ours.size(); ++i)
        if (ours[i] != decoded.samples[i]) {
            ++differing;
            first = std::min(first, i);
        }
    EXPECT_EQ(differing, 0u) << "first at sample frame " << first / pcm.channels << " of "
                             << decoded.samples.size() / pcm.channels;
}

TEST(EncoderConformance, StereoPresetA) {
    checkVector("enc1_stereo.wav", "enc1_stereo-A", {1.0f, 5, 20, 1e-5, false});
}
TEST(EncoderConformance, StereoPresetEMidSide) {
    checkVector("enc1_stereo.wav", "enc1_stereo-E", {1.0f, 3, 8, 0.001, true});
}
TEST(EncoderConformance, MonoPresetAAA) {
    checkVector("enc2_mono.wav", "enc2_mono-AAA", {0.5f, 4, 24, 1e-5, false});
}
TEST(EncoderConformance, MonoPresetC) {
    checkVector("enc2_mono.wav", "enc2_mono-C", {1.0f, 1, 8, 0.001, false});
}

}  // namespace
}  // namespace qmz
