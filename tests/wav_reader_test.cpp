#include "encoder/wav_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <streambuf>
#include <string>

#include "wav_image.h"

namespace qmz {
namespace {

using test::canonicalWav;
using test::chunk;
using test::chunkHeader;
using test::formatBlock;
using test::le16;
using test::riffWave;
using test::samples;

WavReadError parse(const std::string& image, WavInput& out, std::streamoff* position = nullptr) {
    std::istringstream in(image);
    const WavReadError result = parseWavHeader(in, out);
    if (position) *position = in.tellg();
    return result;
}

WavReadError parse(const std::string& image) {
    WavInput out;
    return parse(image, out);
}

// ---- shapes that parse -------------------------------------------------------

TEST(WavReader, CanonicalFileStopsAtOffset44) {
    const std::string data = samples({1, -2, 3, -4});
    WavInput in;
    std::streamoff pos = 0;
    ASSERT_EQ(parse(canonicalWav(2, data), in, &pos), WavReadError::Ok);
    EXPECT_EQ(pos, 44);
    EXPECT_EQ(std::string(in.dataChunk.id.data(), 4), "data");
    EXPECT_EQ(in.dataChunk.size, 8u);
    EXPECT_EQ(in.format.formatTag(), 1);
    EXPECT_EQ(in.format.channels(), 2);
    EXPECT_EQ(in.format.sampleRate(), 44100u);
    EXPECT_EQ(in.format.byteRate(), 44100u * 4);
    EXPECT_EQ(in.format.blockAlign(), 4);
    EXPECT_EQ(in.format.bitsPerSample(), 16);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(in.format.bytes.data()), 16),
              formatBlock(1, 2));
}

TEST(WavReader, SkipsOneChunkBetweenFormatAndData) {
    for (std::size_t listSize : {0u, 4u, 26u, 1000u}) {
        const std::string list = chunk("LIST", std::string(listSize, 'x'));
        const std::string image =
            riffWave(chunk("fmt ", formatBlock(1, 1)) + list + chunk("data", samples({7, 8})));
        WavInput in;
        std::streamoff pos = 0;
        ASSERT_EQ(parse(image, in, &pos), WavReadError::Ok) << listSize;
        EXPECT_EQ(pos, static_cast<std::streamoff>(44 + list.size()));
        EXPECT_EQ(in.dataChunk.size, 4u);
    }
}

// The format chunk's size is honoured: longer bodies are skipped past the 16
// kept bytes instead of being read as the next chunk header.
TEST(WavReader, AcceptsLongerFormatChunks) {
    const std::string data = samples({100, -100});
    for (std::size_t extra : {2u, 24u}) {  // WAVEFORMATEX, extensible-sized body
        std::string body = formatBlock(1, 1) + std::string(extra, '\0');
        const std::string fmt = chunk("fmt ", body);
        WavInput in;
        std::streamoff pos = 0;
        ASSERT_EQ(parse(riffWave(fmt + chunk("data", data)), in, &pos), WavReadError::Ok) << extra;
        EXPECT_EQ(pos, static_cast<std::streamoff>(12 + fmt.size() + 8));
        EXPECT_EQ(in.format.channels(), 1);
        EXPECT_EQ(in.dataChunk.size, 4u);
        // With a LIST chunk as well, the data chunk is still found.
        const std::string withList = fmt + chunk("LIST", "abcd") + chunk("data", data);
        EXPECT_EQ(parse(riffWave(withList)), WavReadError::Ok) << extra;
    }
    // An extensible body is read correctly, and then refused for its tag.
    const std::string extensible = formatBlock(0xFFFE, 2) + std::string(24, '\0');
    EXPECT_EQ(parse(riffWave(chunk("fmt ", extensible) + chunk("data", data))),
              WavReadError::NotPcm);
}

TEST(WavReader, SkipsPadByteAfterOddChunks) {
    const std::string data = samples({5});
    // An odd extra chunk followed by its pad byte.
    const std::string oddList = chunk("LIST", "abc");
    ASSERT_EQ(oddList.size(), 12u);
    WavInput in;
    std::streamoff pos = 0;
    ASSERT_EQ(
        parse(riffWave(chunk("fmt ", formatBlock(1, 1)) + oddList + chunk("data", data)), in, &pos),
        WavReadError::Ok);
    EXPECT_EQ(pos, 44 + 12);
    // An odd (17-byte) format chunk followed by its pad byte.
    const std::string oddFmt = chunk("fmt ", formatBlock(1, 1) + "z");
    ASSERT_EQ(parse(riffWave(oddFmt + chunk("data", data)), in, &pos), WavReadError::Ok);
    EXPECT_EQ(pos, 12 + 8 + 18 + 8);
}

// ---- result codes ------------------------------------------------------------

TEST(WavReader, PrefixErrors) {
    const std::string good = canonicalWav(1, samples({1}));
    EXPECT_EQ(parse(""), WavReadError::TooShort);
    EXPECT_EQ(parse(good.substr(0, 11)), WavReadError::TooShort);
    std::string rifx = good;
    rifx[3] = 'X';
    EXPECT_EQ(parse(rifx), WavReadError::NotRiffWave);
    std::string notWave = good;
    notWave[11] = 'X';
    EXPECT_EQ(parse(notWave), WavReadError::NotRiffWave);
    EXPECT_EQ(parse(good.substr(0, 12)), WavReadError::NoChunkHeader);
    EXPECT_EQ(parse(good.substr(0, 19)), WavReadError::NoChunkHeader);
}

TEST(WavReader, FormatChunkErrors) {
    const std::string data = chunk("data", samples({1, 2}));
    const std::string fmt = chunk("fmt ", formatBlock(1, 1));
    EXPECT_EQ(parse(riffWave(data + fmt)), WavReadError::BadFormatChunk);  // data before fmt
    EXPECT_EQ(parse(riffWave(chunk("fmt", formatBlock(1, 1)))), WavReadError::BadFormatChunk);
    EXPECT_EQ(parse(riffWave(fmt).substr(0, 12 + 8 + 10)), WavReadError::BadFormatChunk);
    // A 14-byte format body is refused rather than read across into the next chunk.
    EXPECT_EQ(parse(riffWave(chunk("fmt ", formatBlock(1, 1).substr(0, 14)) + data)),
              WavReadError::BadFormatChunk);
}

TEST(WavReader, ChunkOrderErrors) {
    const std::string fmt = chunk("fmt ", formatBlock(1, 1));
    const std::string list = chunk("LIST", "abcd");
    const std::string data = chunk("data", samples({1, 2}));
    EXPECT_EQ(parse(riffWave(fmt)), WavReadError::NoChunkAfterFormat);
    EXPECT_EQ(parse(riffWave(fmt + list)), WavReadError::NoChunkAfterFormat);
    EXPECT_EQ(parse(riffWave(fmt + chunkHeader("LIST", 1000))), WavReadError::NoChunkAfterFormat);
    EXPECT_EQ(parse(riffWave(fmt + list + list + data)), WavReadError::DataNotFound);
}

TEST(WavReader, FormatChecksComeAfterTheDataChunk) {
    const std::string data = chunk("data", samples({1, 2}));
    const std::string list = chunk("LIST", "abcd");
    auto withFmt = [](const std::string& block, const std::string& rest) {
        return riffWave(chunk("fmt ", block) + rest);
    };
    EXPECT_EQ(parse(withFmt(formatBlock(3, 1, 44100, 32), data)), WavReadError::NotPcm);
    EXPECT_EQ(parse(withFmt(formatBlock(1, 1, 44100, 8), data)), WavReadError::Not16Bit);
    EXPECT_EQ(parse(withFmt(formatBlock(3, 1), list + list + data)), WavReadError::DataNotFound);
    EXPECT_EQ(parse(withFmt(formatBlock(3, 1), "")), WavReadError::NoChunkAfterFormat);
    // Channel counts other than 1 and 2, checked after tag and bit depth.
    EXPECT_EQ(parse(withFmt(formatBlock(1, 0), data)), WavReadError::UnsupportedChannels);
    EXPECT_EQ(parse(withFmt(formatBlock(1, 3), data)), WavReadError::UnsupportedChannels);
    EXPECT_EQ(parse(withFmt(formatBlock(1, 6, 48000, 8), data)), WavReadError::Not16Bit);
    EXPECT_EQ(parse(withFmt(formatBlock(3, 6), data)), WavReadError::NotPcm);
}

// ---- data size against the bytes present -------------------------------------

TEST(WavReader, LowersAnOverstatedDataSizeToWholeFrames) {
    const std::string present = samples({1, 2, 3, 4}) + "\x05";  // two frames and a stray byte
    const std::string fmt = chunk("fmt ", formatBlock(1, 2));
    for (uint32_t declared : {100u, 0xFFFFFFFFu}) {
        std::istringstream in(riffWave(fmt + chunkHeader("data", declared) + present));
        WavInput out;
        ASSERT_EQ(parseWavHeader(in, out), WavReadError::Ok);
        EXPECT_EQ(out.dataChunk.size, 8u) << declared;
        EXPECT_EQ(in.tellg(), 44);
        double left[4] = {}, right[4] = {};
        double* const bufs[2] = {left, right};
        EXPECT_EQ(readSampleFrames(in, 2, 4, bufs), 2);
        EXPECT_EQ(left[1], 3.0);
        EXPECT_EQ(right[1], 4.0);
    }
}

TEST(WavReader, KeepsADataSizeThatFits) {
    const std::string fmt = chunk("fmt ", formatBlock(1, 2));
    // Not a multiple of the frame size, but all present: kept as the input's own.
    WavInput out;
    ASSERT_EQ(parse(riffWave(fmt + chunkHeader("data", 6) + samples({1, 2, 3})), out),
              WavReadError::Ok);
    EXPECT_EQ(out.dataChunk.size, 6u);
    // Smaller than what follows (a trailing chunk after the data).
    ASSERT_EQ(parse(riffWave(fmt + chunk("data", samples({1, 2})) + chunk("LIST", "abcd")), out),
              WavReadError::Ok);
    EXPECT_EQ(out.dataChunk.size, 4u);
}

// A stream buffer that cannot seek, like a pipe.
class UnseekableBuf : public std::streambuf {
  public:
    explicit UnseekableBuf(std::string bytes) : bytes_(std::move(bytes)) {
        setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
    }

  private:
    std::string bytes_;
};

TEST(WavReader, UnseekableStreamKeepsTheDeclaredSize) {
    UnseekableBuf buf(
        riffWave(chunk("fmt ", formatBlock(1, 1)) + chunkHeader("data", 100) + samples({9})));
    std::istream in(&buf);
    WavInput out;
    ASSERT_EQ(parseWavHeader(in, out), WavReadError::Ok);
    EXPECT_EQ(out.dataChunk.size, 100u);
    double mono[2] = {};
    double* const bufs[2] = {mono, nullptr};
    EXPECT_EQ(readSampleFrames(in, 1, 2, bufs), 1);
    EXPECT_EQ(mono[0], 9.0);
}

// ---- sample frames -----------------------------------------------------------

TEST(WavReader, ReadsMonoFramesUnscaled) {
    std::istringstream in(samples({0, 1, -1, 32767, -32768, 1234}));
    double mono[8];
    std::fill(std::begin(mono), std::end(mono), 99.0);
    double* const bufs[2] = {mono, nullptr};
    EXPECT_EQ(readSampleFrames(in, 1, 4, bufs), 4);
    EXPECT_EQ(mono[0], 0.0);
    EXPECT_EQ(mono[1], 1.0);
    EXPECT_EQ(mono[2], -1.0);
    EXPECT_EQ(mono[3], 32767.0);
    EXPECT_EQ(mono[4], 99.0);                        // nothing beyond count is written
    EXPECT_EQ(readSampleFrames(in, 1, 4, bufs), 2);  // continues where the last read stopped
    EXPECT_EQ(mono[0], -32768.0);
    EXPECT_EQ(mono[1], 1234.0);
    EXPECT_EQ(mono[2], -1.0);  // left from before: the caller zero-fills
    EXPECT_EQ(readSampleFrames(in, 1, 4, bufs), 0);
}

TEST(WavReader, ReadsStereoFramesAndDropsAPartialFrame) {
    // Three whole frames, then one sample of a fourth.
    std::istringstream in(samples({-5, 6, 7, -8, -32768, 32767, 42}));
    double left[4], right[4];
    std::fill(std::begin(left), std::end(left), 99.0);
    std::fill(std::begin(right), std::end(right), 99.0);
    double* const bufs[2] = {left, right};
    EXPECT_EQ(readSampleFrames(in, 2, 4, bufs), 3);
    EXPECT_EQ(left[0], -5.0);
    EXPECT_EQ(right[0], 6.0);
    EXPECT_EQ(left[1], 7.0);
    EXPECT_EQ(right[1], -8.0);
    EXPECT_EQ(left[2], -32768.0);
    EXPECT_EQ(right[2], 32767.0);
    EXPECT_EQ(left[3], 99.0);  // the partial frame is not stored
    EXPECT_EQ(right[3], 99.0);
    EXPECT_EQ(readSampleFrames(in, 2, 4, bufs), 0);
}

TEST(WavReader, ReadsAtMost1024FramesPerCall) {
    std::string bytes;
    for (int i = 0; i < 1100; ++i) bytes += le16(static_cast<uint16_t>(i));
    std::istringstream in(bytes);
    static double mono[1100];
    double* const bufs[2] = {mono, nullptr};
    EXPECT_EQ(readSampleFrames(in, 1, 5000, bufs), 1024);
    EXPECT_EQ(mono[1023], 1023.0);
    EXPECT_EQ(readSampleFrames(in, 1, 5000, bufs), 1100 - 1024);
    EXPECT_EQ(mono[0], 1024.0);
    EXPECT_EQ(readSampleFrames(in, 3, 10, bufs), 0);  // unsupported layout reads nothing
}

// ---- files -------------------------------------------------------------------

TEST(WavReader, OpensFilesFromDisk) {
    std::ifstream in;
    WavInput out;
    EXPECT_EQ(openWav(std::string(QMZ_TEST_DATA_DIR) + "/no_such_file.wav", in, out),
              WavReadError::CannotOpen);
    ASSERT_EQ(openWav(std::string(QMZ_TEST_DATA_DIR) + "/enc2_mono.wav", in, out),
              WavReadError::Ok);
    EXPECT_EQ(out.format.channels(), 1);
    EXPECT_EQ(in.tellg(), 44);
    EXPECT_EQ(out.dataChunk.size, 0x35D54u);  // the size recorded by the reference .qmz files
}

}  // namespace
}  // namespace qmz
