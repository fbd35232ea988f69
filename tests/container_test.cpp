#include "common/container.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace qmz {
namespace {

std::vector<uint8_t> readFile(const std::string& name) {
    std::ifstream f(std::string(QMZ_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

uint32_t le32At(const std::array<uint8_t, kContainerHeaderSize>& b, std::size_t off) {
    return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) | (uint32_t(b[off + 3]) << 24);
}
uint16_t le16At(const std::array<uint8_t, kContainerHeaderSize>& b, std::size_t off) {
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

ContainerFile sampleFile() {
    ContainerFile f;
    f.dataChunk.id = {'d', 'a', 't', 'a'};
    f.dataChunk.size = 0x01020304;
    for (int i = 0; i < 16; ++i) f.format.bytes[i] = static_cast<uint8_t>(0xA0 + i);
    return f;
}

TEST(Container, FinalHeaderLayout) {
    ContainerFile f = sampleFile();
    f.header = makeContainerHeader(98703, 123456, 2, true);
    const auto b = serializeContainer(f);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "*qmz");
    EXPECT_EQ(b[0], 0x2A);
    EXPECT_EQ(le32At(b, 4), 98703u);
    EXPECT_EQ(le32At(b, 8), 123456u);
    EXPECT_EQ(le16At(b, 12), 2);
    EXPECT_EQ(le16At(b, 14), 16);
    EXPECT_EQ(le32At(b, 16), 44100u);
    EXPECT_EQ(le16At(b, 20), 2);
    EXPECT_EQ(le16At(b, 22), 26);
    EXPECT_EQ(le16At(b, 24), 1);
    EXPECT_EQ(le16At(b, 26), 0);
    EXPECT_EQ(le16At(b, 28), 0);
    EXPECT_EQ(le16At(b, 30), 0);
    EXPECT_EQ(std::string(b.begin() + 32, b.begin() + 36), "data");
    EXPECT_EQ(le32At(b, 36), 0x01020304u);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(b[40 + i], 0xA0 + i);
    for (std::size_t i = 56; i < kContainerHeaderSize; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_TRUE(hasContainerMagic(f.header));
    EXPECT_EQ(makeContainerHeader(1, 1, 1, false).midSide, 0);
}

TEST(Container, PlaceholderIsZeroButCarriesTheCopies) {
    ContainerFile f = sampleFile();
    f.header = ContainerHeader{};
    const auto b = serializeContainer(f);
    for (std::size_t i = 0; i < kContainerRecordSize; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(std::string(b.begin() + 32, b.begin() + 36), "data");
    EXPECT_EQ(le32At(b, 36), 0x01020304u);
    EXPECT_EQ(b[40], 0xA0);
    EXPECT_EQ(b[55], 0xAF);
    EXPECT_FALSE(hasContainerMagic(f.header));
}

TEST(Container, SignedFieldsRoundTrip) {
    ContainerFile f = sampleFile();
    f.header = makeContainerHeader(-7, -1, -2, true);
    f.header.reserved = {-1, 0x1234, -32768};
    f.header.magic = {'x', 'y', 'z', 'w'};
    const auto b = serializeContainer(f);
    EXPECT_EQ(le32At(b, 4), 0xFFFFFFF9u);
    const ContainerFile g = parseContainer(b);
    EXPECT_EQ(g.header.samplesPerChannel, -7);
    EXPECT_EQ(g.header.avgBitRate, -1);
    EXPECT_EQ(g.header.channels, -2);
    EXPECT_EQ(g.header.reserved[2], -32768);
    EXPECT_EQ(serializeContainer(g), b);
    EXPECT_FALSE(hasContainerMagic(g.header));
}

struct VectorCase {
    const char* file;
    int32_t samplesPerChannel;
    int16_t channels;
    int16_t midSide;
};

TEST(Container, ParsesAndReproducesTheReferenceHeaders) {
    const VectorCase cases[] = {
        {"dec1_stereo.qmz", 98703, 2, 0},   {"dec2_stereo_midside.qmz", 0x16130, 2, 1},
        {"dec3_mono.qmz", 0xAFA7, 1, 0},    {"enc1_stereo-E.qmz", 0x204CC, 2, 1},
        {"enc2_mono-C.qmz", 0x1AEAA, 1, 0},
    };
    for (const VectorCase& c : cases) {
        SCOPED_TRACE(c.file);
        const std::vector<uint8_t> bytes = readFile(c.file);
        ASSERT_GE(bytes.size(), kContainerHeaderSize);
        std::array<uint8_t, kContainerHeaderSize> head;
        std::copy_n(bytes.begin(), kContainerHeaderSize, head.begin());
        const ContainerFile f = parseContainer(head);
        EXPECT_TRUE(hasContainerMagic(f.header));
        EXPECT_EQ(f.header.samplesPerChannel, c.samplesPerChannel);
        EXPECT_EQ(f.header.channels, c.channels);
        EXPECT_EQ(f.header.midSide, c.midSide);
        EXPECT_EQ(f.header.bitsPerSample, 16);
        EXPECT_EQ(f.header.sampleRate, 44100);
        EXPECT_EQ(f.format.channels(), c.channels);
        EXPECT_EQ(f.format.formatTag(), 1);
        EXPECT_EQ(std::string(f.dataChunk.id.begin(), f.dataChunk.id.end()), "data");
        EXPECT_EQ(f.dataChunk.size, uint32_t(c.samplesPerChannel) * c.channels * 2);
        // A header made afresh from the parsed values is the same 266 bytes.
        ContainerFile remade = f;
        remade.header = makeContainerHeader(f.header.samplesPerChannel, f.header.avgBitRate,
                                            f.header.channels, f.header.midSide == 1);
        EXPECT_EQ(serializeContainer(remade), head);
        EXPECT_EQ(serializeContainer(f), head);
    }
}

}  // namespace
}  // namespace qmz
