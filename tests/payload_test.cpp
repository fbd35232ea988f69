#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bit_capture.h"
#include "common/frame_syntax.h"
#include "decoder/payload_reader.h"
#include "encoder/payload_writer.h"

namespace qmz {
namespace {

struct Frame {
    BlockType type = BlockType::Long;
    std::vector<ChannelBlocks> channels;
};

// Values shaped like the quantiser's: gains 12..139, coded scalefactors
// 0..89, noise bands 101..120 with zero lines, mostly small lines with zero
// runs of every length, now and then a line at the limit.
Frame randomFrame(std::mt19937& rng, int channelCount, BlockType type) {
    Frame frame{type, std::vector<ChannelBlocks>(static_cast<std::size_t>(channelCount))};
    const BlockGeometry g = geometryOf(type);
    const int* edges = type == BlockType::Short ? shortBandEdges.data() : longBandEdges.data();
    std::uniform_int_distribution<int> gain(12, 139), coded(0, 89), noise(101, 120), pct(0, 99);
    std::geometric_distribution<int> magnitude(0.4);
    for (auto& blocks : frame.channels) {
        for (int b = 0; b < g.blocks; ++b) {
            QuantizedBlock& q = blocks[b];
            q.globalGain = gain(rng);
            const int density = pct(rng);  // share of non-zero lines in this block
            for (int s = 0; s < g.scalefactors; ++s) {
                const bool noiseBand = pct(rng) < 10;
                q.scalefactors[s] = noiseBand ? noise(rng) : coded(rng);
                for (int i = edges[s]; i < edges[s + 1]; ++i) {
                    int v = 0;
                    if (!noiseBand && pct(rng) < density) {
                        v = pct(rng) == 0 ? 1023 : 1 + magnitude(rng);
                        if (pct(rng) < 50) v = -v;
                    }
                    q.lines[i] = v;
                }
            }
        }
    }
    return frame;
}

std::string writeStream(const std::vector<Frame>& frames) {
    StringSink out;
    FramePayloadWriter writer(out);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(writer.writeFrame(frames[i].channels, frames[i].type, static_cast<int>(i) + 1),
                  PayloadWriteError::None);
    }
    EXPECT_TRUE(writer.finishStream(static_cast<int>(frames.size()) + 1));
    return out.str();
}

void expectSameBlocks(const Frame& expected, const std::vector<ChannelBlocks>& got,
                      int frameIndex) {
    const BlockGeometry g = geometryOf(expected.type);
    for (std::size_t c = 0; c < expected.channels.size(); ++c) {
        for (int b = 0; b < kShortBlocksPerFrame; ++b) {
            const QuantizedBlock& want = expected.channels[c][b];
            const QuantizedBlock& have = got[c][b];
            if (b >= g.blocks) continue;  // blocks the frame does not code are left alone
            ASSERT_EQ(have.globalGain, want.globalGain) << "frame " << frameIndex;
            ASSERT_EQ(have.scalefactors, want.scalefactors)
                << "frame " << frameIndex << " ch " << c << " block " << b;
            ASSERT_EQ(have.lines, want.lines)
                << "frame " << frameIndex << " ch " << c << " block " << b;
        }
    }
}

TEST(FramePayload, WorkedExampleIsFifteenBytes) {
    Frame frame{BlockType::Long, std::vector<ChannelBlocks>(1)};
    frame.channels[0][0].globalGain = 50;
    frame.channels[0][0].scalefactors.fill(10);

    StringSink out;
    FramePayloadWriter writer(out);
    ASSERT_EQ(writer.writeFrame(frame.channels, BlockType::Long, 1), PayloadWriteError::None);
    EXPECT_EQ(writer.payloadBitCount(), 88);  // 11 whole bytes, 6 bits pending
    ASSERT_TRUE(writer.finishStream(2));
    const std::vector<uint8_t> expected = {0x80, 0x18, 0xA1, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0x01, 0x78, 0x3E, 0x91, 0xF5, 0x03};
    EXPECT_EQ(test::bytesOf(out.str()), expected);

    const std::string payload = out.str();
    FramePayloadReader reader;
    reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    std::vector<ChannelBlocks> got(1);
    BlockType type = BlockType::Short;
    ASSERT_EQ(reader.readFrame(got, type, 1), StreamError::None);
    EXPECT_EQ(type, BlockType::Long);
    expectSameBlocks(frame, got, 1);
}

TEST(FramePayload, RandomFramesRoundTripAcrossResyncPoints) {
    std::mt19937 rng(2024);
    const BlockType sequence[] = {BlockType::Long,  BlockType::Start, BlockType::Short,
                                  BlockType::Short, BlockType::Stop,  BlockType::Long};
    for (int channels : {1, 2}) {
        std::vector<Frame> frames;
        for (int f = 0; f < 95; ++f) frames.push_back(randomFrame(rng, channels, sequence[f % 6]));
        const std::string stream = writeStream(frames);

        const std::string payload = stream;
        FramePayloadReader reader;
        reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
        std::vector<ChannelBlocks> got(static_cast<std::size_t>(channels));
        for (int f = 1; f <= 95; ++f) {
            BlockType type;
            ASSERT_EQ(reader.readFrame(got, type, f), StreamError::None) << "frame " << f;
            ASSERT_EQ(type, frames[f - 1].type);
            expectSameBlocks(frames[f - 1], got, f);
        }
    }
}

TEST(FramePayload, LinesSkippedByARunAreZeroEvenAfterABusyFrame) {
    std::mt19937 rng(8);
    std::vector<Frame> frames = {randomFrame(rng, 2, BlockType::Long),
                                 Frame{BlockType::Long, std::vector<ChannelBlocks>(2)}};
    for (auto& blocks : frames[0].channels) blocks[0].lines.fill(-3);
    const std::string stream = writeStream(frames);
    const std::string payload = stream;
    FramePayloadReader reader;
    reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    std::vector<ChannelBlocks> got(2);
    BlockType type;
    ASSERT_EQ(reader.readFrame(got, type, 1), StreamError::None);
    ASSERT_EQ(reader.readFrame(got, type, 2), StreamError::None);
    expectSameBlocks(frames[1], got, 2);
}

// Line symbols of a mono long frame's block, decoded with bare models.
std::vector<std::pair<int, int>> lineSymbolsOf(const std::string& stream) {
    const std::string payload = stream;
    PayloadBitReader bits(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    AdaptiveHuffmanModel side(kSideAlphabet), sf(kScalefactorAlphabet), line(kLineAlphabet),
        run(kRunAlphabet);
    side.decodeSymbol(bits);  // block type
    side.decodeSymbol(bits);  // global gain
    for (int j = 0; j < kLongBandCount; ++j) sf.decodeSymbol(bits);
    std::vector<std::pair<int, int>> symbols;  // (line symbol, run symbol or -1)
    for (int i = 0; i < kLongCodedLines;) {
        const int v = line.decodeSymbol(bits);
        const int r = v == kZeroRunEscape ? run.decodeSymbol(bits) : -1;
        symbols.emplace_back(v, r);
        i += r >= 0 ? r + 1 : 1;
    }
    return symbols;
}

TEST(FramePayload, ZeroRunsOfFourAreLinesAndOfFiveAnEscape) {
    auto streamWithRun = [](int first, int run) {
        Frame frame{BlockType::Long, std::vector<ChannelBlocks>(1)};
        QuantizedBlock& q = frame.channels[0][0];
        q.globalGain = 60;
        q.lines.fill(1);
        for (int i = first; i < first + run; ++i) q.lines[i] = 0;
        return writeStream({frame});
    };
    using Symbols = std::vector<std::pair<int, int>>;
    const Symbols four = lineSymbolsOf(streamWithRun(10, 4));
    ASSERT_EQ(four.size(), static_cast<std::size_t>(kLongCodedLines));
    for (int i = 10; i < 14; ++i) EXPECT_EQ(four[i], std::make_pair(1024, -1));

    const Symbols five = lineSymbolsOf(streamWithRun(10, 5));
    ASSERT_EQ(five.size(), static_cast<std::size_t>(kLongCodedLines - 4));
    EXPECT_EQ(five[10], std::make_pair(kZeroRunEscape, 4));
    EXPECT_EQ(five[11], std::make_pair(1025, -1));

    // A run that reaches the end of the block is an escape like any other.
    const Symbols tail = lineSymbolsOf(streamWithRun(kLongCodedLines - 7, 7));
    EXPECT_EQ(tail.back(), std::make_pair(kZeroRunEscape, 6));
    // An all-zero block is one escape with run symbol 927.
    EXPECT_EQ(lineSymbolsOf(streamWithRun(0, kLongCodedLines)), (Symbols{{kZeroRunEscape, 927}}));
}

std::string streamOfSilentFrames(int count, int64_t* bitCount = nullptr) {
    std::vector<Frame> frames(static_cast<std::size_t>(count),
                              Frame{BlockType::Long, std::vector<ChannelBlocks>(1)});
    StringSink out;
    FramePayloadWriter writer(out);
    for (int f = 1; f <= count; ++f) writer.writeFrame(frames[f - 1].channels, BlockType::Long, f);
    writer.finishStream(count + 1);
    if (bitCount) *bitCount = writer.payloadBitCount();
    return out.str();
}

std::size_t find(const std::string& haystack, const std::vector<uint8_t>& needle) {
    return haystack.find(std::string(needle.begin(), needle.end()));
}

TEST(FramePayload, EndOfStreamFor44And45Frames) {
    const std::vector<uint8_t> record(kResyncRecord.begin(), kResyncRecord.end());
    int64_t bits44 = 0, bits45 = 0;
    const std::string s44 = streamOfSilentFrames(44, &bits44);
    const std::string s45 = streamOfSilentFrames(45, &bits45);
    // 44 frames: finishStream(45) puts the record before the end markers.
    const std::size_t at44 = find(s44, record);
    ASSERT_NE(at44, std::string::npos);
    // After the record: nine end markers from a fresh side model, 8 index bits
    // then 1 for each repeat = 16 bits, plus the final byte's pending bits.
    EXPECT_EQ(s44.size() - (at44 + record.size()), 2u + 1u);
    EXPECT_EQ(bits44, 8 * static_cast<int64_t>(s44.size() - 1));
    // 45 frames: the record stands before frame 45, not at the end.
    const std::size_t at45 = find(s45, record);
    ASSERT_NE(at45, std::string::npos);
    EXPECT_GT(s45.size() - (at45 + record.size()), 3u);
    EXPECT_EQ(s45.substr(0, at45), s44.substr(0, at44));
}

TEST(FramePayload, ResyncPadsOnlyAPartialByte) {
    // Frame 44 ends mid-byte: its pending bits are padded with zeros and counted.
    int64_t bits = 0;
    const std::string s = streamOfSilentFrames(45, &bits);
    const std::size_t at =
        find(s, std::vector<uint8_t>(kResyncRecord.begin(), kResyncRecord.end()));
    ASSERT_NE(at, std::string::npos);
    // Frame 45's block type code is an escape of a fresh model: 8 index bits of 1.
    EXPECT_EQ(static_cast<uint8_t>(s[at + 9]),
              0x80);  // index 1 of 152, MSB first, packed LSB first

    // A stream whose bits end exactly on a byte boundary gets no padding byte:
    // a writer fed whole bytes before a resync writes the record right after them.
    StringSink out;
    PayloadBitWriter w(out);
    for (int i = 0; i < 16; ++i) w.putBit(1);
    w.flushPartialByte();
    EXPECT_EQ(w.bitCount(), 16);
    w.putBit(1);
    w.flushPartialByte();
    EXPECT_EQ(w.bitCount(), 24);
    w.flush();
    EXPECT_EQ(test::bytesOf(out.str()), (std::vector<uint8_t>{0xFF, 0xFF, 0x01}));
}

// A multi-bit write is the same as its bits written one at a time, at any
// alignment and length (0 to 64), across partial-byte flushes; bits of the
// word above the count are ignored.
TEST(FramePayload, MultiBitWritesEqualSingleBitWrites) {
    std::mt19937_64 rng(64);
    StringSink wordsOut, bitsOut;
    PayloadBitWriter words(wordsOut), bits(bitsOut);
    for (int i = 0; i < 3000; ++i) {
        const int count = static_cast<int>(rng() % 65);
        const uint64_t value = rng();
        words.putBits(value, count);  // bits above count are ignored
        for (int b = 0; b < count; ++b) bits.putBit(static_cast<int>((value >> b) & 1));
        if (i % 97 == 0) {
            words.flushPartialByte();
            bits.flushPartialByte();
        }
        ASSERT_EQ(words.bitCount(), bits.bitCount()) << i;
    }
    words.putFinalByte();
    bits.putFinalByte();
    words.flush();
    bits.flush();
    EXPECT_GT(bitsOut.str().size(), 10000u);
    EXPECT_TRUE(wordsOut.str() == bitsOut.str());
}

TEST(FramePayload, ReaderSkipsExactlyTheRecordAtFrame45) {
    std::mt19937 rng(45);
    std::vector<Frame> frames;
    for (int f = 0; f < 46; ++f) frames.push_back(randomFrame(rng, 1, BlockType::Long));
    std::string stream = writeStream(frames);
    // Any nine bytes are accepted as the record.
    const std::size_t at =
        find(stream, std::vector<uint8_t>(kResyncRecord.begin(), kResyncRecord.end()));
    ASSERT_NE(at, std::string::npos);
    for (int i = 0; i < 9; ++i) stream[at + i] = static_cast<char>(0x5A);
    const std::string payload = stream;
    FramePayloadReader reader;
    reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    std::vector<ChannelBlocks> got(1);
    for (int f = 1; f <= 46; ++f) {
        BlockType type;
        ASSERT_EQ(reader.readFrame(got, type, f), StreamError::None) << f;
        expectSameBlocks(frames[f - 1], got, f);
    }
}

TEST(FramePayload, WriterRefusesValuesOutsideTheAlphabets) {
    StringSink out;
    FramePayloadWriter writer(out);
    std::vector<ChannelBlocks> channels(1);
    channels[0][0].lines[5] = 1025;  // would collide with the zero-run escape
    EXPECT_EQ(writer.writeFrame(channels, BlockType::Long, 1), PayloadWriteError::ValueOutOfRange);
    channels[0][0].lines[5] = 0;
    channels[0][0].scalefactors[3] = 152;
    EXPECT_EQ(writer.writeFrame(channels, BlockType::Long, 1), PayloadWriteError::ValueOutOfRange);
    channels[0][0].scalefactors[3] = 0;
    channels[0][0].globalGain = -1;
    EXPECT_EQ(writer.writeFrame(channels, BlockType::Long, 1), PayloadWriteError::ValueOutOfRange);
    EXPECT_EQ(writer.payloadBitCount(), 0);
    std::vector<ChannelBlocks> three(3);
    EXPECT_EQ(writer.writeFrame(three, BlockType::Long, 1), PayloadWriteError::BadChannelCount);
}

TEST(FramePayload, TruncatedStreamsAreReportedAtEveryCut) {
    std::mt19937 rng(77);
    std::vector<Frame> frames;
    for (int f = 0; f < 50; ++f)
        frames.push_back(randomFrame(rng, 2, f % 3 == 1 ? BlockType::Short : BlockType::Long));
    frames[1].type = BlockType::Start;  // keep a legal sequence: long, start, short, ...
    const std::string stream = writeStream(frames);
    // The end markers and the final byte take at least three bytes, so every
    // cut below that leaves some frame without its last bits.
    for (std::size_t cut = 0; cut + 3 < stream.size(); cut += 1 + cut / 7) {
        const std::string payload = stream.substr(0, cut);
        FramePayloadReader reader;
        reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
        std::vector<ChannelBlocks> got(2);
        StreamError error = StreamError::None;
        int f = 1;
        for (; f <= 50 && error == StreamError::None; ++f) {
            BlockType type;
            error = reader.readFrame(got, type, f);
        }
        ASSERT_EQ(error, StreamError::Truncated) << "cut " << cut;
        BlockType type;
        EXPECT_EQ(reader.readFrame(got, type, f), StreamError::Truncated);  // stays failed
    }
}

TEST(FramePayload, BadEscapeAndBlockTypeAreReported) {
    // A fresh side model reads 8 index bits; 0xFF is index 255 of 152.
    {
        const std::string payload = std::string(4, '\xFF');
        FramePayloadReader reader;
        reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
        std::vector<ChannelBlocks> got(1);
        BlockType type;
        EXPECT_EQ(reader.readFrame(got, type, 1), StreamError::BadEscape);
    }
    // Block type code 6 (type 5): read with the long geometry and reported.
    {
        StringSink out;
        PayloadBitWriter bits(out);
        AdaptiveHuffmanModel side(kSideAlphabet), sf(kScalefactorAlphabet), line(kLineAlphabet),
            run(kRunAlphabet);
        side.encodeSymbol(6, bits);
        side.encodeSymbol(40, bits);
        for (int j = 0; j < kLongBandCount; ++j) sf.encodeSymbol(3, bits);
        line.encodeSymbol(kZeroRunEscape, bits);
        run.encodeSymbol(kLongCodedLines - 1, bits);
        for (int i = 0; i < kEndMarkerCount; ++i) side.encodeSymbol(kEndMarker, bits);
        bits.putFinalByte();
        bits.flush();
        const std::string payload = out.str();
        FramePayloadReader reader;
        reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
        std::vector<ChannelBlocks> got(1);
        BlockType type;
        EXPECT_EQ(reader.readFrame(got, type, 1), StreamError::BadBlockType);
        EXPECT_EQ(got[0][0].globalGain, 40);
        EXPECT_EQ(got[0][0].scalefactors[47], 3);
    }
}

// The conformance streams, read frame by frame and written again, give back
// their payload byte for byte.
struct VectorCase {
    const char* file;
    int channels;
};

class ConformanceStream : public ::testing::TestWithParam<VectorCase> {};

TEST_P(ConformanceStream, ReadsAndRewritesBitExactly) {
    std::ifstream file(std::string(QMZ_TEST_DATA_DIR) + "/" + GetParam().file, std::ios::binary);
    ASSERT_TRUE(file) << GetParam().file;
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 266u);
    auto le32 = [&](std::size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
    };
    const int samples = static_cast<int>(le32(4));
    const int channels = static_cast<uint8_t>(bytes[12]);
    ASSERT_EQ(channels, GetParam().channels);
    const int frameCount = (samples + 1023) / 1024 + 3;

    const std::string payload = bytes.substr(266);
    FramePayloadReader reader;
    reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    StringSink out;
    FramePayloadWriter writer(out);
    std::vector<ChannelBlocks> blocks(static_cast<std::size_t>(channels));
    for (int f = 1; f <= frameCount; ++f) {
        BlockType type;
        ASSERT_EQ(reader.readFrame(blocks, type, f), StreamError::None) << "frame " << f;
        ASSERT_EQ(writer.writeFrame(blocks, type, f), PayloadWriteError::None) << "frame " << f;
    }
    ASSERT_TRUE(writer.finishStream(frameCount + 1));
    EXPECT_TRUE(out.str() == bytes.substr(266)) << GetParam().file << ": rewritten payload differs";
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, ConformanceStream,
    ::testing::Values(VectorCase{"dec1_stereo.qmz", 2}, VectorCase{"dec2_stereo_midside.qmz", 2},
                      VectorCase{"dec3_mono.qmz", 1}, VectorCase{"enc1_stereo-A.qmz", 2},
                      VectorCase{"enc1_stereo-E.qmz", 2}, VectorCase{"enc2_mono-AAA.qmz", 1},
                      VectorCase{"enc2_mono-C.qmz", 1}),
    [](const auto& info) {
        std::string name = info.param.file;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

}  // namespace
}  // namespace qmz
