#include "io/wav_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <streambuf>
#include <string>

#include "common/little_endian.h"
#include "io/encode_file.h"
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

// The format chunk of WAVE_FORMAT_EXTENSIBLE: the 16 bytes, the extension's
// size, valid bits, channel mask and the sub-format GUID, whose leading 16
// bits are the classic tag.
std::string extensibleFormat(uint16_t channels, uint16_t bits, uint16_t subTag,
                             uint32_t rate = 44100) {
    return chunk("fmt ", formatBlock(0xFFFE, channels, rate, bits) + le16(22) + le16(bits) +
                             test::le32(channels == 1 ? 4u : 3u) + le16(subTag) +
                             std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14));
}

// Every accepted shape records the 16-bit PCM block of its channels and rate,
// and the size its samples take in 16 bits; plain 16-bit PCM keeps its own.
TEST(WavReader, AcceptedSampleFormats) {
    struct Case {
        const char* name;
        std::string fmt;
        SampleFormat format;
        uint16_t channels;
        uint32_t frameBytes;
    };
    const Case cases[] = {
        {"pcm24 stereo", chunk("fmt ", formatBlock(1, 2, 96000, 24)), SampleFormat::Int24, 2, 6},
        {"pcm24 mono", chunk("fmt ", formatBlock(1, 1, 48000, 24)), SampleFormat::Int24, 1, 3},
        {"pcm32", chunk("fmt ", formatBlock(1, 2, 44100, 32)), SampleFormat::Int32, 2, 8},
        {"float32", chunk("fmt ", formatBlock(3, 1, 44100, 32)), SampleFormat::Float32, 1, 4},
        {"float32 in an 18-byte body", chunk("fmt ", formatBlock(3, 2, 44100, 32) + le16(0)),
         SampleFormat::Float32, 2, 8},
        {"extensible pcm16 stereo", extensibleFormat(2, 16, 1, 88200), SampleFormat::Int16, 2, 4},
        {"extensible pcm16 mono", extensibleFormat(1, 16, 1), SampleFormat::Int16, 1, 2},
        {"extensible pcm24", extensibleFormat(2, 24, 1), SampleFormat::Int24, 2, 6},
        {"extensible pcm32", extensibleFormat(1, 32, 1), SampleFormat::Int32, 1, 4},
        {"extensible float", extensibleFormat(2, 32, 3), SampleFormat::Float32, 2, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t frames = 5;
        // A partial frame after the five whole ones, within the declared size.
        const std::string data = chunk("data", std::string(frames * c.frameBytes + 1, '\x11'));
        const std::string image = riffWave(c.fmt + data);
        WavInput in;
        std::streamoff pos = 0;
        ASSERT_EQ(parse(image, in, &pos), WavReadError::Ok);
        EXPECT_EQ(pos, static_cast<std::streamoff>(image.size() - data.size() + 8));
        EXPECT_EQ(in.sampleFormat, c.format);
        const uint32_t rate = loadLe32(reinterpret_cast<const uint8_t*>(c.fmt.data()) + 12);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(in.format.bytes.data()), 16),
                  formatBlock(1, c.channels, rate, 16));
        // 16-bit samples keep their declared size, partial frame and all.
        EXPECT_EQ(in.dataChunk.size, c.format == SampleFormat::Int16 ? frames * c.frameBytes + 1
                                                                     : frames * 2u * c.channels);
    }
}

TEST(WavReader, RefusedSampleFormats) {
    const std::string data = chunk("data", samples({1, 2, 3, 4}));
    struct Case {
        const char* name;
        std::string fmt;
        WavReadError error;
    };
    std::string otherGuid = extensibleFormat(2, 16, 1);
    otherGuid.back() ^= 1;
    const Case cases[] = {
        {"8-bit", chunk("fmt ", formatBlock(1, 2, 44100, 8)), WavReadError::UnsupportedBits},
        {"20-bit", chunk("fmt ", formatBlock(1, 2, 44100, 20)), WavReadError::UnsupportedBits},
        {"64-bit float", chunk("fmt ", formatBlock(3, 2, 44100, 64)),
         WavReadError::UnsupportedBits},
        {"16-bit float", chunk("fmt ", formatBlock(3, 2, 44100, 16)),
         WavReadError::UnsupportedBits},
        {"extensible, another GUID", otherGuid, WavReadError::NotPcm},
        {"extensible, sub-format 2", extensibleFormat(2, 16, 2), WavReadError::NotPcm},
        {"extensible, cut to 18 bytes", chunk("fmt ", formatBlock(0xFFFE, 2) + le16(22)),
         WavReadError::NotPcm},
        {"extensible, 8-bit", extensibleFormat(2, 8, 1), WavReadError::UnsupportedBits},
        {"extensible, 6 channels", extensibleFormat(6, 16, 1), WavReadError::UnsupportedChannels},
        {"24-bit, 3 channels", chunk("fmt ", formatBlock(1, 3, 44100, 24)),
         WavReadError::UnsupportedChannels},
        {"rate 0", chunk("fmt ", formatBlock(1, 2, 0)), WavReadError::ZeroSampleRate},
        {"float, rate 0", chunk("fmt ", formatBlock(3, 1, 0, 32)), WavReadError::ZeroSampleRate},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(riffWave(c.fmt + data)), c.error) << c.name;
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
    EXPECT_EQ(parse(withFmt(formatBlock(2, 1, 44100, 16), data)), WavReadError::NotPcm);
    EXPECT_EQ(parse(withFmt(formatBlock(1, 1, 44100, 8), data)), WavReadError::UnsupportedBits);
    EXPECT_EQ(parse(withFmt(formatBlock(3, 1), list + list + data)), WavReadError::DataNotFound);
    EXPECT_EQ(parse(withFmt(formatBlock(3, 1), "")), WavReadError::NoChunkAfterFormat);
    // Channel counts other than 1 and 2, checked after tag and bit depth.
    EXPECT_EQ(parse(withFmt(formatBlock(1, 0), data)), WavReadError::UnsupportedChannels);
    EXPECT_EQ(parse(withFmt(formatBlock(1, 3), data)), WavReadError::UnsupportedChannels);
    EXPECT_EQ(parse(withFmt(formatBlock(1, 6, 48000, 8), data)), WavReadError::UnsupportedBits);
    EXPECT_EQ(parse(withFmt(formatBlock(2, 6), data)), WavReadError::NotPcm);
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

// A data size of 0 is what a writer leaves that could not come back to the
// header; in a file the samples then run to its end, unless a chunk follows
// (the file really is empty).
TEST(WavReader, ZeroDataSizeInAFile) {
    const std::string fmt = chunk("fmt ", formatBlock(1, 2));
    const std::string frames = samples({1000, -1000, 2000, -2000, 3000, -3000});
    struct Case {
        const char* name;
        std::string after;
        uint32_t size;
    };
    const Case cases[] = {
        {"nothing", "", 0},
        {"samples", frames, 12},
        {"samples and a partial frame", frames + "\x01\x02", 12},
        {"a chunk", chunk("LIST", "abcd"), 0},
        {"an empty chunk", chunk("junk", ""), 0},
        {"a chunk header claiming more than the file", chunkHeader("LIST", 100) + frames, 20},
        {"a header with an unprintable id", chunkHeader("LI\x01T", 4) + "abcd", 12},
    };
    for (const Case& c : cases) {
        WavInput in;
        std::streamoff pos = 0;
        ASSERT_EQ(parse(riffWave(fmt + chunkHeader("data", 0) + c.after), in, &pos),
                  WavReadError::Ok)
            << c.name;
        EXPECT_EQ(in.dataChunk.size, c.size) << c.name;
        EXPECT_EQ(pos, 44) << c.name;
        EXPECT_TRUE(in.lengthExact) << c.name;
    }
}

// Claims a size at its end (as a file of that size would) but holds only the
// first bytes: enough to parse a header as if from a file of many gigabytes.
class HugeFileBuf : public std::streambuf {
  public:
    HugeFileBuf(std::string head, uint64_t size) : head_(std::move(head)), size_(size) {
        setg(head_.data(), head_.data(), head_.data() + head_.size());
    }

  protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        if (off != 0 || dir == std::ios_base::beg) return pos_type(off_type(-1));
        if (dir == std::ios_base::end) atEnd_ = true;
        return pos_type(atEnd_ ? static_cast<off_type>(size_) : gptr() - eback());
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override {
        if (pos < 0 || pos > static_cast<off_type>(head_.size())) return pos_type(off_type(-1));
        atEnd_ = false;
        setg(eback(), eback() + static_cast<off_type>(pos), egptr());
        return pos;
    }

  private:
    std::string head_;
    uint64_t size_;
    bool atEnd_ = false;
};

// Samples beyond what the container's 32-bit size can record are not cut
// off silently: the input says so, and only a clip short of it codes a part.
TEST(WavReader, FileLongerThanTheContainerRecords) {
    struct Case {
        uint16_t channels, bits;
        uint32_t declared;
        uint64_t fileSize;
        bool exceeds;
    };
    const Case cases[] = {
        {2, 16, 0xFFFFFFFFu, 44 + 0xFFFFFFFCull, false},  // exactly the most it records
        {2, 16, 0xFFFFFFFFu, 44 + 0xFFFFFFFCull + 4, true},
        {2, 16, 0, 5'000'000'000ull, true},
        {1, 16, 0xFFFFFFFFu, 44 + 0xFFFFFFFEull + 2, true},
        {2, 24, 0xFFFFFFFFu, 5'000'000'000ull, false},  // 3.3 GB once in 16 bits
        {2, 24, 0xFFFFFFFFu, 7'000'000'000ull, true},
        {2, 16, 1000, 5'000'000'000ull, false},  // a stated size is the input's own
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.bits) +
                     " bits, file " + std::to_string(c.fileSize));
        HugeFileBuf buf(riffWave(chunk("fmt ", formatBlock(1, c.channels, 44100, c.bits)) +
                                 chunkHeader("data", c.declared) + "\x01\x02\x03\x04"),
                        c.fileSize);
        std::istream in(&buf);
        WavInput out;
        ASSERT_EQ(parseWavHeader(in, out), WavReadError::Ok);
        EXPECT_EQ(out.exceedsContainer, c.exceeds);
        EXPECT_LE(out.dataChunk.size, maxCodedDataSize(c.channels));
        if (c.exceeds) {
            EXPECT_EQ(out.dataChunk.size, maxCodedDataSize(c.channels));
        }
        EXPECT_EQ(dropsInput(out, parseEncoderOptions({"-A"})), c.exceeds);
        EXPECT_FALSE(dropsInput(out, parseEncoderOptions({"-A", "-td", "3600"})));
    }
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
