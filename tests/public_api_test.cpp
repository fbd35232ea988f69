// The public library interface <qmz/codec.h>: PCM and WAV encoders give the
// bytes qmzenc writes, through a stream or a callback, and the decoder hands
// out the samples the decode loop writes, in pieces of any size.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "codec_harness.h"
#include "qmz/codec.h"
#include "signals/music_signal.h"

namespace qmz {
namespace {

std::vector<int16_t> music(int64_t frames, int channels) {
    signals::MusicSignal signal;
    signal.channels = channels;
    return signals::render(signal, frames);
}

// Feeds `samples` in pieces of the given sizes (in sample frames), cycling.
std::string encodePcm(const std::vector<int16_t>& samples, int channels,
                      const EncodeSettings& settings, const std::vector<std::size_t>& pieces,
                      EncodeSummary* summary = nullptr) {
    std::stringstream out;
    StreamEncoder encoder(PcmFormat{channels, 44100}, out, settings);
    EXPECT_EQ(encoder.status(), Status::Ok);
    const std::size_t frames = samples.size() / static_cast<std::size_t>(channels);
    for (std::size_t at = 0, i = 0; at < frames; ++i) {
        const std::size_t n = std::min(pieces[i % pieces.size()], frames - at);
        EXPECT_EQ(encoder.write(samples.data() + at * channels, n), Status::Ok);
        at += n;
    }
    EXPECT_EQ(encoder.finish(), Status::Ok);
    if (summary) *summary = encoder.summary();
    return out.str();
}

TEST(PublicApi, PcmEncoderWritesTheBytesOfTheWavEncode) {
    for (const int channels : {1, 2}) {
        for (const int64_t frames : {0, 700, 1024, 50000}) {
            SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(frames));
            const std::vector<int16_t> samples = music(frames, channels);
            const test::Encoded reference =
                test::encodeImage(signals::wavFileImage(samples, channels), {"-E"});
            ASSERT_GT(reference.qmz.size(), kContainerHeaderSize);
            EncodeSummary summary;
            const std::string qmz =
                encodePcm(samples, channels, {QualityPreset::E}, {1, 1023, 5000, 333}, &summary);
            EXPECT_TRUE(qmz == reference.qmz);
            EXPECT_EQ(summary.samplesPerChannel, frames);
            EXPECT_EQ(summary.frames, reference.result.frames);
            EXPECT_EQ(summary.averageBitRate, reference.result.avgBitRate);
        }
    }
    // Presets map to the command line's.
    const std::vector<int16_t> samples = music(20000, 2);
    const std::string wav = signals::wavFileImage(samples, 2);
    EXPECT_TRUE(encodePcm(samples, 2, {QualityPreset::AAA}, {4096}) ==
                test::encodeImage(wav, {"-AAA"}).qmz);
    EXPECT_TRUE(encodePcm(samples, 2, {QualityPreset::C}, {4096}) ==
                test::encodeImage(wav, {"-C"}).qmz);
}

TEST(PublicApi, ClipIgnoresTheRest) {
    const std::vector<int16_t> samples = music(2 * 44100 + 3000, 1);
    EncodeSummary summary;
    const std::string qmz = encodePcm(samples, 1, {QualityPreset::A, 1.7}, {10000, 777}, &summary);
    EXPECT_EQ(summary.samplesPerChannel, 44100);
    EXPECT_TRUE(qmz ==
                test::encodeImage(signals::wavFileImage(samples, 1), {"-A", "-td", "1.7"}).qmz);
}

TEST(PublicApi, CallbackSinkAndWavSource) {
    const std::vector<int16_t> samples = music(30000, 2);
    const std::string wav = signals::wavFileImage(samples, 2);
    const std::string reference = test::encodeImage(wav, {"-B"}).qmz;

    std::string written;
    std::map<uint64_t, int> writesAt;
    QmzWriteAt collect = [&](uint64_t offset, const uint8_t* bytes, std::size_t size) {
        if (written.size() < offset + size) written.resize(offset + size);
        written.replace(offset, size, reinterpret_cast<const char*>(bytes), size);
        ++writesAt[offset];
        return true;
    };
    {
        StreamEncoder encoder(PcmFormat{2, 44100}, collect, {QualityPreset::B});
        ASSERT_EQ(encoder.write(samples.data(), 30000), Status::Ok);
        ASSERT_EQ(encoder.finish(), Status::Ok);
    }
    EXPECT_TRUE(written == reference);
    EXPECT_EQ(writesAt[0], 2);  // the placeholder, then the final header

    // On a WAV stream, into the callback.
    written.clear();
    std::istringstream in(wav);
    StreamEncoder fromWav(in, collect, {QualityPreset::B});
    EXPECT_EQ(fromWav.format().channels, 2);
    EXPECT_EQ(fromWav.write(samples.data(), 1), Status::InvalidArgument);  // not in WAV mode
    ASSERT_EQ(fromWav.finish(), Status::Ok);
    EXPECT_TRUE(written == reference);
    EXPECT_EQ(fromWav.summary().samplesPerChannel, 30000);
    EXPECT_EQ(fromWav.finish(), Status::Finished);

    // A callback that refuses: the encoder fails and says so.
    StreamEncoder refused(PcmFormat{1, 44100},
                          QmzWriteAt([](uint64_t, const uint8_t*, std::size_t) { return false; }));
    refused.write(samples.data(), 30000);
    EXPECT_EQ(refused.finish(), Status::WriteFailed);
}

TEST(PublicApi, DecoderHandsOutTheDecodedSamples) {
    for (const char* name : {"dec1_stereo", "dec3_mono"}) {
        SCOPED_TRACE(name);
        const std::string qmz = test::readDataFile(std::string(name) + ".qmz");
        const test::Decoded reference = test::decodeImage(qmz);
        std::istringstream in(qmz);
        StreamDecoder decoder(in);
        ASSERT_EQ(decoder.status(), Status::Ok);
        const int channels = decoder.format().channels;
        EXPECT_EQ(decoder.format().sampleRate, 44100u);
        EXPECT_EQ(decoder.samplesPerChannel() * channels,
                  static_cast<int64_t>(reference.samples.size()));
        std::vector<int16_t> all, piece(3000 * channels);
        const std::size_t sizes[] = {1, 1024, 3000, 17};
        for (int i = 0;; ++i) {
            const std::size_t n = decoder.read(piece.data(), sizes[i % 4]);
            if (n == 0) break;
            all.insert(all.end(), piece.begin(), piece.begin() + n * channels);
        }
        EXPECT_EQ(decoder.status(), Status::Ok);
        EXPECT_TRUE(all == reference.samples);
    }
    // A truncated stream: the samples before the cut, then Truncated.
    const std::string full = test::readDataFile("dec1_stereo.qmz");
    std::istringstream cut(full.substr(0, full.size() / 2));
    StreamDecoder partial(cut);
    std::vector<int16_t> pcm(8192);
    std::size_t total = 0;
    while (const std::size_t n = partial.read(pcm.data(), 4096)) total += n;
    EXPECT_EQ(partial.status(), Status::Truncated);
    EXPECT_GT(total, 0u);
    EXPECT_LT(static_cast<int64_t>(total), partial.samplesPerChannel());
}

// Pushed bytes in pieces of 1, 100, 5000 and 70000: the samples of the
// stream decoder. A stream cut short waits for input until endInput(), then
// says Truncated; one cut inside its header too.
TEST(PublicApi, PushedBytesDecodeLikeAStream) {
    struct Case {
        std::string name;
        std::string qmz;
        Status status;  // after endInput()
    };
    const std::string full = test::readDataFile("dec1_stereo.qmz");
    const Case cases[] = {{"whole", full, Status::Ok},
                          {"cut", full.substr(0, full.size() / 2), Status::Truncated},
                          {"cut in the header", full.substr(0, 100), Status::Truncated},
                          {"not a .qmz", test::readDataFile("dec3_mono.wav"), Status::NotQmz}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::istringstream in(c.qmz);
        StreamDecoder reference(in);
        std::vector<int16_t> expected(8192);
        std::size_t expectedFrames = 0;
        while (std::size_t n = reference.read(expected.data() + 2 * expectedFrames, 4096)) {
            expectedFrames += n;
            expected.resize(2 * expectedFrames + 8192);
        }
        expected.resize(2 * expectedFrames);
        ASSERT_EQ(reference.status(), c.status);

        StreamDecoder decoder;
        std::vector<int16_t> got, pcm(2 * 4096);
        const std::size_t pieces[] = {1, 100, 5000, 70000};
        std::size_t at = 0;
        for (int i = 0; decoder.status() == Status::Ok; ++i) {
            const std::size_t n = decoder.read(pcm.data(), 4096);
            got.insert(got.end(), pcm.begin(), pcm.begin() + 2 * static_cast<std::ptrdiff_t>(n));
            if (n > 0) continue;
            if (!decoder.needsInput()) break;
            if (at == c.qmz.size()) {
                decoder.endInput();
                continue;
            }
            const std::size_t piece = std::min(pieces[i % 4], c.qmz.size() - at);
            at += decoder.push(reinterpret_cast<const uint8_t*>(c.qmz.data()) + at, piece);
        }
        EXPECT_EQ(decoder.status(), c.status);
        EXPECT_TRUE(got == expected);
    }
}

TEST(PublicApi, RefusedInputs) {
    std::stringstream out;
    EXPECT_EQ(StreamEncoder(PcmFormat{3, 44100}, out).status(), Status::InvalidArgument);
    std::istringstream notWav("RIFX....WAVEfmt ");
    EXPECT_EQ(StreamEncoder(notWav, out).status(), Status::NotWav);
    std::istringstream notQmz(test::readDataFile("dec3_mono.wav"));
    StreamDecoder decoder(notQmz);
    EXPECT_EQ(decoder.status(), Status::NotQmz);
    int16_t pcm[2];
    EXPECT_EQ(decoder.read(pcm, 1), 0u);
    StreamEncoder encoder(PcmFormat{1, 44100}, out);
    EXPECT_EQ(encoder.finish(), Status::Ok);
    EXPECT_EQ(encoder.write(pcm, 1), Status::Finished);
    EXPECT_STREQ(describeStatus(Status::Truncated), "the file ends early (truncated .qmz file)");
}

}  // namespace
}  // namespace qmz
