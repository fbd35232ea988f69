#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codec_harness.h"
#include "common/frame_syntax.h"
#include "io/decode_file.h"
#include "signals/music_signal.h"

namespace qmz {
namespace {

std::string readFile(const std::string& name) {
    std::ifstream in(std::string(QMZ_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DecoderVector : public ::testing::TestWithParam<const char*> {};

// The decoder writes the conformance WAV files byte for byte.
TEST_P(DecoderVector, DecodesToTheReferenceWav) {
    const std::string stem = GetParam();
    std::istringstream source(readFile(stem + ".qmz"));
    std::ostringstream dest;
    const DecodeFileResult result = decodeFile(source, dest);
    ASSERT_EQ(result.error, DecodeError::None);
    // Encoder vectors keep their decoded form beside the encoder's input.
    const std::string expected =
        readFile(stem + (stem.rfind("enc", 0) == 0 ? ".decoded.wav" : ".wav"));
    const std::string got = dest.str();
    ASSERT_EQ(got.size(), expected.size());
    std::size_t firstDiff = 0, diffs = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] != expected[i]) {
            if (diffs++ == 0) firstDiff = i;
        }
    }
    EXPECT_EQ(diffs, 0u) << "first difference at byte " << firstDiff;
}

INSTANTIATE_TEST_SUITE_P(Vectors, DecoderVector,
                         ::testing::Values("dec1_stereo", "dec2_stereo_midside", "dec3_mono",
                                           "enc1_stereo-A", "enc1_stereo-E", "enc2_mono-AAA",
                                           "enc2_mono-C"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& ch : name) {
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return name;
                         });

struct PushDecode {
    std::vector<int16_t> pcm;  // interleaved
    DecodeStatus status = DecodeStatus::NeedInput;
    bool endedEarly = false;  // End or an error before the input was ended
};

// Decodes a .qmz image through the session: the payload pushed in pieces of
// `piece` bytes (0: handed over whole), the input ended after the last piece
// when `endInput`.
PushDecode decodePushed(const std::string& qmz, std::size_t piece, bool endInput = true) {
    PushDecode d;
    std::array<uint8_t, kContainerHeaderSize> header{};
    std::copy_n(qmz.begin(), header.size(), header.begin());
    const ContainerFile file = parseContainer(header);
    auto decoder = std::make_unique<Decoder>(file);
    const auto* payload = reinterpret_cast<const uint8_t*>(qmz.data()) + kContainerHeaderSize;
    std::size_t left = qmz.size() - kContainerHeaderSize;
    if (piece == 0) decoder->setWholeInput(payload, left);
    bool ended = piece == 0;
    std::array<int16_t, kFrameLength * kMaxChannels> pcm{};
    for (;;) {
        int frames = 0;
        d.status = decoder->decodeFrame(pcm.data(), frames);
        if (d.status == DecodeStatus::Frame) {
            d.pcm.insert(d.pcm.end(), pcm.begin(), pcm.begin() + frames * file.header.channels);
        } else if (d.status != DecodeStatus::NeedInput) {
            d.endedEarly = !ended;
            return d;
        } else if (left > 0) {
            const std::size_t taken = decoder->push(payload, std::min(piece, left));
            payload += taken;
            left -= taken;
        } else if (endInput && !ended) {
            decoder->endInput();
            ended = true;
        } else {
            return d;  // still waiting for input
        }
    }
}

std::string longMusicQmz() {
    signals::MusicSignal signal;
    const std::string wav = signals::wavFileImage(signals::render(signal, 20 * 44100), 2);
    return test::encodeImage(wav, {"-AAA"}).qmz;
}

// Pieces of any size, from single bytes to more than the session buffers,
// give the samples of the whole-file decode; a stream longer than the
// session's buffer makes it move its unread bytes.
TEST(PushDecoding, AnyPieceSizeGivesTheWholeFileSamples) {
    const std::string longStream = longMusicQmz();
    ASSERT_GT(longStream.size(), 2 * FramePayloadReader::kInputCapacity);
    for (const std::string& qmz : {readFile("dec1_stereo.qmz"), readFile("dec3_mono.qmz"),
                                   readFile("enc1_stereo-E.qmz"), longStream}) {
        const test::Decoded reference = test::decodeImage(qmz);
        ASSERT_EQ(reference.result.error, DecodeError::None);
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{5000},
                                  3 * FramePayloadReader::kInputCapacity}) {
            SCOPED_TRACE("stream of " + std::to_string(qmz.size()) + " bytes, pieces of " +
                         std::to_string(piece));
            const PushDecode d = decodePushed(qmz, piece);
            EXPECT_EQ(d.status, DecodeStatus::End);
            EXPECT_TRUE(d.pcm == reference.samples);
        }
    }
}

// A cut stream: the session waits for more input, holding back the frames
// that might reach past the cut, and reports the cut once the input ends;
// the samples before it are exact. A damaged one stops at the damage with
// no input ended. Pushed byte by byte.
TEST(PushDecoding, CutAndDamagedStreamsAreToldApart) {
    const std::string qmz = readFile("enc1_stereo-A.qmz");
    const std::vector<int16_t> full = decodePushed(qmz, 0).pcm;
    // The first resync record, after frame 44: fresh models follow, and 0xFF
    // there is an unseen-symbol index beyond the side alphabet.
    const std::size_t resync = qmz.find(
        std::string(reinterpret_cast<const char*>(kResyncRecord.data()), 9), kContainerHeaderSize);
    ASSERT_NE(resync, std::string::npos);
    std::string damaged = qmz;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(resync + 9), 4, '\xFF');

    struct Case {
        std::string name;
        std::string stream;
        DecodeStatus beforeEnd;  // with every byte pushed
        DecodeStatus afterEnd;   // once the input is ended too
    };
    const Case cases[] = {
        {"cut in frame 1", qmz.substr(0, kContainerHeaderSize + 100), DecodeStatus::NeedInput,
         DecodeStatus::Truncated},
        {"cut at the middle", qmz.substr(0, qmz.size() / 2), DecodeStatus::NeedInput,
         DecodeStatus::Truncated},
        {"cut in the last frame", qmz.substr(0, qmz.size() - 300), DecodeStatus::NeedInput,
         DecodeStatus::Truncated},
        {"damaged after the resync record", damaged, DecodeStatus::Damaged, DecodeStatus::Damaged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PushDecode open = decodePushed(c.stream, 1, false);
        EXPECT_EQ(open.status, c.beforeEnd);
        const PushDecode closed = decodePushed(c.stream, 1, true);
        EXPECT_EQ(closed.status, c.afterEnd);
        EXPECT_LT(closed.pcm.size(), full.size());
        EXPECT_TRUE(std::equal(closed.pcm.begin(), closed.pcm.end(), full.begin()));
    }
    EXPECT_EQ(decodePushed(damaged, 1, false).pcm.size(), 44u * 1024 * 2 - 2 * 1024 * 2);
}

}  // namespace
}  // namespace qmz
