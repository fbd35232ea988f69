// Shows the stream format at work: codes a synthetic sequence of quantised
// frames (what the quantiser hands the payload writer) into a .qmz payload in
// memory, reads it back, checks every value and prints the sizes.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

#include "decoder/payload_reader.h"
#include "encoder/payload_writer.h"

namespace {

// A frame shaped like music: a falling spectral envelope with a few tonal
// peaks that drift from frame to frame, noise bands high up, and eight short
// blocks around a click every 43 frames (about once a second).
qmz::BlockType frameType(int f) {
    switch (f % 43) {
        case 20: return qmz::BlockType::Start;
        case 21: return qmz::BlockType::Short;
        case 22: return qmz::BlockType::Stop;
        default: return qmz::BlockType::Long;
    }
}

void fillFrame(int f, qmz::BlockType type, std::vector<qmz::ChannelBlocks>& channels) {
    const qmz::BlockGeometry g = qmz::geometryOf(type);
    unsigned seed = 12345u + static_cast<unsigned>(f) * 7919u;
    auto noise = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 16) % 5) - 2;
    };
    for (std::size_t c = 0; c < channels.size(); ++c) {
        for (int b = 0; b < qmz::kShortBlocksPerFrame; ++b) channels[c][b] = qmz::QuantizedBlock{};
        for (int b = 0; b < g.blocks; ++b) {
            qmz::QuantizedBlock& q = channels[c][b];
            q.globalGain = 70 + static_cast<int>(c) * 3;
            for (int s = 0; s < g.scalefactors; ++s) q.scalefactors[s] = s * 40 / g.scalefactors;
            for (int s = g.scalefactors * 3 / 4; s < g.scalefactors; s += 3) q.scalefactors[s] = 104;
            for (int i = 0; i < g.lines * 5 / 8; ++i) {
                const double envelope = 40.0 / (1.0 + i * 0.05);
                const double peak = std::cos(i * 0.02 + f * 0.1) > 0.995 ? 300.0 : 0.0;
                q.lines[i] = static_cast<int>(envelope * std::sin(i * 0.7 + f) + peak) + noise() * (i < 60);
            }
        }
    }
}

}  // namespace

int main() {
    constexpr int kChannels = 2;
    constexpr int kFrames = 431;  // about ten seconds at 44.1 kHz
    std::vector<qmz::ChannelBlocks> frame(kChannels), decoded(kChannels);

    const auto start = std::chrono::steady_clock::now();
    std::ostringstream out;
    qmz::FramePayloadWriter writer(out);
    for (int f = 1; f <= kFrames; ++f) {
        fillFrame(f, frameType(f), frame);
        if (writer.writeFrame(frame, frameType(f), f) != qmz::PayloadWriteError::None) return 1;
    }
    writer.finishStream(kFrames + 1);
    const std::string payload = out.str();

    std::istringstream in(payload);
    qmz::FramePayloadReader reader(in);
    int mismatches = 0;
    long values = 0;
    for (int f = 1; f <= kFrames; ++f) {
        qmz::BlockType type;
        if (reader.readFrame(decoded, type, f) != qmz::StreamError::None) return 1;
        fillFrame(f, frameType(f), frame);
        const qmz::BlockGeometry g = qmz::geometryOf(type);
        values += kChannels * g.blocks * (1L + g.scalefactors + g.lines);
        for (int c = 0; c < kChannels; ++c) {
            for (int b = 0; b < qmz::kShortBlocksPerFrame; ++b) {
                const auto& x = frame[c][b];
                const auto& y = decoded[c][b];
                mismatches += x.globalGain != y.globalGain || x.scalefactors != y.scalefactors || x.lines != y.lines;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const double audioSeconds = kFrames * 1024.0 / 44100.0;
    std::printf("QMZ stream format demo: %d stereo frames (%.1f s of audio at 44.1 kHz)\n", kFrames, audioSeconds);
    std::printf("  payload:        %zu bytes (%.0f bit/s), resync records before every 45th frame\n", payload.size(),
                static_cast<double>(writer.payloadBitCount()) / audioSeconds);
    std::printf("  values coded:   %ld gains, scalefactors and lines (%.2f bits each)\n", values,
                static_cast<double>(writer.payloadBitCount()) / static_cast<double>(values));
    std::printf("  decoded back:   %s\n", mismatches == 0 ? "every value identical" : "MISMATCH");
    std::printf("  coded + decoded in %.1f ms\n", seconds * 1000.0);
    return mismatches == 0 ? 0 : 1;
}
