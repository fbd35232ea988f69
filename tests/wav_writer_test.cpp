#include "decoder/wav_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "wav_image.h"

namespace qmz {
namespace {

WavFormatBlock formatOf(const std::string& block) {
    WavFormatBlock f;
    std::copy(block.begin(), block.end(), f.bytes.begin());
    return f;
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

// The reference decoder output starts with the header made from its .qmz.
TEST(WavWriter, MatchesTheReferenceOutputHeader) {
    for (const char* name : {"dec1_stereo", "dec2_stereo_midside", "dec3_mono"}) {
        SCOPED_TRACE(name);
        const std::string dir = std::string(QMZ_TEST_DATA_DIR) + "/";
        std::ifstream qmz(dir + name + ".qmz", std::ios::binary);
        ContainerFile container;
        ASSERT_TRUE(readContainer(qmz, container));
        std::ifstream wav(dir + name + ".wav", std::ios::binary);
        char expected[44];
        ASSERT_TRUE(wav.read(expected, 44));

        std::ostringstream out;
        ASSERT_TRUE(writeWavHeader(out, container.dataChunk.size, container.format));
        EXPECT_EQ(out.str(), std::string(expected, 44));
    }
}

}  // namespace
}  // namespace qmz
