#include "io/wav_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "codec_harness.h"
#include "wav_image.h"

namespace qmz {
namespace {

WavFormatBlock formatOf(const std::string& block) {
    WavFormatBlock f;
    std::copy(block.begin(), block.end(), f.bytes.begin());
    return f;
}

// The header of a .qmz image (at least its 266 bytes long).
ContainerFile containerOf(const std::string& qmz) {
    std::array<uint8_t, kContainerHeaderSize> bytes;
    std::copy_n(qmz.begin(), bytes.size(), bytes.begin());
    return parseContainer(bytes);
}

std::string asString(const std::array<uint8_t, kWavHeaderSize>& h) {
    return std::string(h.begin(), h.end());
}

TEST(WavWriter, CanonicalHeaderFieldByField) {
    const std::string block = test::formatBlock(1, 2, 48000, 16);
    const std::string h = asString(makeWavHeader(1764000, formatOf(block)));
    ASSERT_EQ(h.size(), 44u);
    EXPECT_EQ(h.substr(0, 4), "RIFF");
    EXPECT_EQ(h.substr(4, 4), test::le32(1764036));
    EXPECT_EQ(h.substr(8, 4), "WAVE");
    EXPECT_EQ(h.substr(12, 4), "fmt ");
    EXPECT_EQ(h.substr(16, 4), test::le32(16));
    EXPECT_EQ(h.substr(20, 16), block);  // verbatim, including the 48 kHz rate
    EXPECT_EQ(h.substr(36, 4), "data");
    EXPECT_EQ(h.substr(40, 4), test::le32(1764000));
    // -td 30 on a stereo input.
    EXPECT_EQ(asString(makeWavHeader(5292000, formatOf(block))).substr(40, 4), test::le32(5292000));
}

TEST(WavWriter, RiffSizeSaturatesInsteadOfWrapping) {
    const WavFormatBlock f = formatOf(test::formatBlock(1, 1));
    EXPECT_EQ(asString(makeWavHeader(0, f)).substr(4, 4), test::le32(36));
    EXPECT_EQ(asString(makeWavHeader(0xFFFFFFFFu - 36, f)).substr(4, 4), test::le32(0xFFFFFFFFu));
    for (uint32_t d : {0xFFFFFFFFu - 35, 0xFFFFFFFFu}) {
        const std::string h = asString(makeWavHeader(d, f));
        EXPECT_EQ(h.substr(4, 4), test::le32(0xFFFFFFFFu)) << d;
        EXPECT_EQ(h.substr(40, 4), test::le32(d));
    }
}

TEST(WavWriter, OutputDataSizeKeepsWholeSampleFramesWithin32Bits) {
    EXPECT_EQ(outputDataSize(441000, 2), 1764000u);
    EXPECT_EQ(outputDataSize(0, 1), 0u);
    EXPECT_EQ(outputDataSize(-5, 2), 0u);
    EXPECT_EQ(outputDataSize(0x7FFFFFFF, 1), 0xFFFFFFFEu);
    EXPECT_EQ(outputDataSize(0x7FFFFFFF, 2), 0xFFFFFFFCu);
    // An odd size (which 16-bit output never has) is followed by a pad byte
    // that the RIFF size counts.
    const WavFormatBlock f = formatOf(test::formatBlock(1, 1));
    EXPECT_EQ(asString(makeWavHeader(13, f)).substr(4, 4), test::le32(13 + 36 + 1));
}

// The reference decoder output starts with the header made from its .qmz.
TEST(WavWriter, MatchesTheReferenceOutputHeader) {
    for (const char* name : {"dec1_stereo", "dec2_stereo_midside", "dec3_mono"}) {
        SCOPED_TRACE(name);
        const std::string dir = std::string(QMZ_TEST_DATA_DIR) + "/";
        const std::string qmz = test::readDataFile(std::string(name) + ".qmz");
        ASSERT_GE(qmz.size(), kContainerHeaderSize);
        const ContainerFile container = containerOf(qmz);
        std::ifstream wav(dir + name + ".wav", std::ios::binary);
        char expected[44];
        ASSERT_TRUE(wav.read(expected, 44));

        std::ostringstream out;
        ASSERT_TRUE(writeWavHeader(
            out, outputDataSize(container.header.samplesPerChannel, container.header.channels),
            outputFormatBlock(container)));
        EXPECT_EQ(out.str(), std::string(expected, 44));
    }
}

// For what an encoder accepts, the header built from what is written is the
// stored copy, byte for byte.
TEST(WavWriter, EncodedFilesDecodeToTheStoredHeader) {
    struct Input {
        const char* name;
        int channels;
        int rate;
        int64_t frames;
        std::vector<std::string> args;
    };
    const Input inputs[] = {
        {"stereo", 2, 44100, 5000, {"-A"}},
        {"mono", 1, 44100, 3001, {"-E"}},
        {"stereo 48 kHz", 2, 48000, 2048, {"-B"}},
        {"mono 8 kHz", 1, 8000, 1, {"-A"}},
        {"stereo 96 kHz", 2, 96000, 1024, {"-C"}},
        {"empty", 2, 22050, 0, {"-A"}},
        {"clipped", 2, 44100, 3 * 44100 / 2, {"-A", "-td", "1"}},
    };
    for (const Input& in : inputs) {
        SCOPED_TRACE(in.name);
        signals::MusicSignal signal;
        signal.channels = in.channels;
        const std::string wav =
            signals::wavFileImage(signals::render(signal, in.frames), in.channels, in.rate);
        const test::Encoded e = test::encodeImage(wav, in.args);
        ASSERT_GE(e.qmz.size(), kContainerHeaderSize);
        const ContainerFile file = containerOf(e.qmz);
        const test::Decoded d = test::decodeImage(e.qmz);
        ASSERT_EQ(d.result.error, DecodeError::None);
        EXPECT_EQ(d.wav.substr(0, 44), asString(makeWavHeader(file.dataChunk.size, file.format)));
        EXPECT_EQ(test::headerWord(d.wav, 40), d.wav.size() - 44);
    }
    // 24-bit input is coded as 16-bit samples, and recorded so.
    const test::Encoded deep =
        test::encodeImage(test::riffWave(test::chunk("fmt ", test::formatBlock(1, 2, 48000, 24)) +
                                         test::chunk("data", std::string(6 * 3000, '\x21'))));
    ASSERT_FALSE(deep.qmz.empty());
    const test::Decoded deepDecoded = test::decodeImage(deep.qmz);
    ASSERT_EQ(deepDecoded.result.error, DecodeError::None);
    EXPECT_EQ(deepDecoded.wav.substr(0, 44),
              "RIFF" + test::le32(36 + 4 * 3000) + "WAVE" +
                  test::chunk("fmt ", test::formatBlock(1, 2, 48000)) +
                  test::chunkHeader("data", 4 * 3000));
    EXPECT_EQ(
        deepDecoded.wav.substr(0, 44),
        asString(makeWavHeader(test::headerWord(deep.qmz, 36), formatOf(deep.qmz.substr(40, 16)))));
    // An 18-byte format chunk (with the extension size) stores its first 16 bytes.
    const std::string wav =
        test::riffWave(test::chunk("fmt ", test::formatBlock(1, 2) + test::le16(0)) +
                       test::chunk("data", std::string(4 * 3000, '\x11')));
    const test::Encoded e = test::encodeImage(wav);
    const test::Decoded d = test::decodeImage(e.qmz);
    ASSERT_EQ(d.result.error, DecodeError::None);
    EXPECT_EQ(d.wav.substr(0, 44),
              test::canonicalWav(2, std::string(4 * 3000, '\0')).substr(0, 44));
}

// A stored format block or data size that does not describe the stream
// changes nothing but what the output declares: the samples, as a valid
// 16-bit PCM WAV file of the stream's channels.
TEST(WavWriter, CraftedStoredFormatStillGivesAValidWav) {
    signals::MusicSignal signal;
    const std::string original =
        test::encodeImage(signals::wavFileImage(signals::render(signal, 3000), 2)).qmz;
    const test::Decoded reference = test::decodeImage(original);
    ASSERT_EQ(reference.result.error, DecodeError::None);

    constexpr std::size_t kSize = 36, kFormat = 40;  // offsets in the .qmz header
    struct Craft {
        const char* name;
        std::size_t offset;
        std::string bytes;
        uint32_t declaredRate;
    };
    const Craft crafts[] = {
        {"format 3 (float)", kFormat, test::formatBlock(3, 2, 44100, 32), 44100},
        {"6 channels", kFormat, test::formatBlock(1, 6), 44100},
        {"8 bits", kFormat, test::formatBlock(1, 2, 44100, 8), 44100},
        {"mono over a stereo stream", kFormat, test::formatBlock(1, 1), 44100},
        {"48 kHz with a wrong byte rate and block align", kFormat,
         test::le16(1) + test::le16(2) + test::le32(48000) + test::le32(7) + test::le16(3) +
             test::le16(16),
         48000},
        {"sample rate 0", kFormat, test::formatBlock(1, 2, 0), 44100},
        {"data size 0", kSize, test::le32(0), 44100},
        {"data size 0xFFFFFFFF", kSize, test::le32(0xFFFFFFFFu), 44100},
        {"odd data size", kSize, test::le32(12001), 44100},
    };
    for (const Craft& c : crafts) {
        SCOPED_TRACE(c.name);
        std::string crafted = original;
        crafted.replace(c.offset, c.bytes.size(), c.bytes);
        const test::Decoded d = test::decodeImage(crafted);
        ASSERT_EQ(d.result.error, DecodeError::None);
        // The encoder's own reader takes it as the 16-bit stereo PCM it is.
        std::istringstream wav(d.wav);
        WavInput input;
        ASSERT_EQ(parseWavHeader(wav, input), WavReadError::Ok);
        EXPECT_EQ(d.wav.substr(20, 16), test::formatBlock(1, 2, c.declaredRate));
        EXPECT_EQ(test::headerWord(d.wav, 4), d.wav.size() - 8);
        EXPECT_EQ(test::headerWord(d.wav, 40), d.wav.size() - 44);
        EXPECT_EQ(d.wav.substr(44), reference.wav.substr(44));
    }
}

}  // namespace
}  // namespace qmz
