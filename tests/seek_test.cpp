// Seeking: the resync records found and confirmed, and a decode restarted at
// one reproducing the linear decode from the requested sample on.
#include <gtest/gtest.h>

#include <span>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "codec_harness.h"
#include "decoder/decoder.h"
#include "decoder/resync_scan.h"
#include "io/seek_table_writer.h"
#include "io/tag_block.h"
#include "qmz/codec.h"
#include "signals/music_signal.h"
#include "signals/wav_files.h"

namespace qmz {
namespace {

std::string readFile(const std::string& name) {
    return test::readDataFile(name);
}

std::span<const uint8_t> payloadOf(const std::string& qmz) {
    return {reinterpret_cast<const uint8_t*>(qmz.data()) + kContainerHeaderSize,
            qmz.size() - kContainerHeaderSize};
}

ContainerFile headerOf(const std::string& qmz) {
    ContainerFile file;
    readContainerHeader(reinterpret_cast<const uint8_t*>(qmz.data()), qmz.size(), file);
    return file;
}

struct ChainPoint {
    int frame;
    int64_t offset;
    uint64_t drawsBefore;
};

// The resync points of a stream found by decoding segment after segment
// from its start, with the noise draws before each.
std::vector<ChainPoint> chainOf(const std::string& qmz) {
    const ContainerFile file = headerOf(qmz);
    const int last = lastFrameOf(file.header.samplesPerChannel);
    SegmentChecker checker;
    std::vector<ChainPoint> chain{{1, 0, 0}};
    for (;;) {
        const ChainPoint& p = chain.back();
        const SegmentCheck c =
            checker.check(payloadOf(qmz), p.offset, p.frame, last, file.header.channels);
        EXPECT_TRUE(c.confirmed) << "segment at frame " << p.frame;
        if (!c.confirmed || c.lastSegment) break;
        chain.push_back({p.frame + c.frames, c.end, p.drawsBefore + c.noiseDraws});
    }
    return chain;
}

// A short-block-rich, 20-second stream: many segments, long enough to make
// the reader move its buffered bytes.
std::string musicQmz(const std::vector<std::string>& args) {
    signals::MusicSignal signal;
    const std::string wav = signals::wavFileImage(signals::render(signal, 20 * 44100), 2);
    return test::encodeImage(wav, args).qmz;
}

std::vector<std::string> streams() {
    return {readFile("dec1_stereo.qmz"), readFile("dec2_stereo_midside.qmz"),
            readFile("dec3_mono.qmz"), readFile("enc1_stereo-E.qmz"), musicQmz({"-AAA"})};
}

// Every record the encoder wrote is a candidate, and the chain of confirmed
// segments lands on each of them in turn.
TEST(ResyncScan, ChainOfSegmentsLandsOnEveryRecord) {
    for (const std::string& qmz : streams()) {
        const std::vector<ChainPoint> chain = chainOf(qmz);
        const std::vector<int64_t> candidates = findResyncCandidates(payloadOf(qmz));
        const int last = lastFrameOf(headerOf(qmz).header.samplesPerChannel);
        // A record also precedes the end markers when the frame after the
        // last is a resync point; the chain does not step onto it.
        ASSERT_EQ(candidates.size(), static_cast<std::size_t>((last + 1) / kResyncPeriod));
        for (std::size_t i = 1; i < chain.size(); ++i) {
            EXPECT_EQ(chain[i].offset, candidates[i - 1]);
            EXPECT_EQ(chain[i].frame, static_cast<int>(i) * kResyncPeriod);
        }
        // Pieces of any size find the same candidates, records split included.
        for (std::size_t piece : {1, 5, 9, 1000}) {
            ResyncScanner scanner;
            std::vector<int64_t> found;
            const auto payload = payloadOf(qmz);
            for (std::size_t at = 0; at < payload.size(); at += piece) {
                scanner.scan(payload.data() + at, std::min(piece, payload.size() - at), found);
            }
            EXPECT_EQ(found, candidates) << "pieces of " << piece;
        }
    }
}

// A look-alike record inside the Huffman bits is found by the scan and
// refused by the check; so is a real record checked with the wrong frame.
TEST(ResyncScan, LookAlikeRecordsAreNotConfirmed) {
    std::vector<uint8_t> bytes(40, 0x5A);
    std::copy(kResyncRecord.begin(), kResyncRecord.end(), bytes.begin() + 3);
    std::fill(bytes.begin() + 21, bytes.begin() + 28, 0);  // seven zeros and 0xFF: no record
    bytes[28] = 0xFF;
    EXPECT_EQ(findResyncCandidates(bytes), std::vector<int64_t>({3}));
    SegmentChecker checker;
    EXPECT_FALSE(checker.check(bytes, 3, 45, 1000, 2).confirmed);

    const std::string qmz = readFile("dec1_stereo.qmz");
    const std::vector<ChainPoint> chain = chainOf(qmz);
    ASSERT_GE(chain.size(), 2u);
    EXPECT_FALSE(checker.check(payloadOf(qmz), chain[1].offset + 1, 45, 1000, 2).confirmed);
    EXPECT_FALSE(checker.check(payloadOf(qmz), chain[1].offset, 44, 1000, 2).confirmed);
}

// Samples from `first` on, decoded after a restart at the point the seek
// takes; noiseKnown says whether the generator is advanced to its place.
std::vector<int16_t> restartedDecode(const std::string& qmz, int64_t first, bool noiseKnown) {
    const ContainerFile file = headerOf(qmz);
    const std::vector<ChainPoint> chain = chainOf(qmz);
    const int frame = restartFrameFor(first);
    const auto point = std::find_if(chain.begin(), chain.end(),
                                    [&](const ChainPoint& p) { return p.frame == frame; });
    EXPECT_NE(point, chain.end());
    if (point == chain.end()) return {};
    Decoder decoder(file);
    decoder.restart(frame, noiseKnown ? point->drawsBefore : 0, first);
    const auto payload = payloadOf(qmz);
    decoder.setWholeInput(payload.data() + point->offset, payload.size() - point->offset);
    std::vector<int16_t> out;
    std::vector<int16_t> pcm(kFrameLength * 2);
    int frames = 0;
    while (decoder.decodeFrame(pcm.data(), frames) == DecodeStatus::Frame) {
        out.insert(out.end(), pcm.begin(), pcm.begin() + frames * file.header.channels);
    }
    return out;
}

TEST(DecoderRestart, GivesTheLinearDecodeFromAnySample) {
    for (const std::string& qmz : streams()) {
        const test::Decoded reference = test::decodeImage(qmz);
        const int channels = headerOf(qmz).header.channels;
        const int64_t length = headerOf(qmz).header.samplesPerChannel;
        const int64_t segment = int64_t(kResyncPeriod) * kFrameLength;
        for (int64_t first :
             {int64_t{0}, int64_t{1}, int64_t{1023}, int64_t{1024}, segment - 3 * kFrameLength - 1,
              segment - 3 * kFrameLength, segment - 2 * kFrameLength - 1,
              segment - 2 * kFrameLength, segment - 2 * kFrameLength + 1,
              2 * segment - 2 * kFrameLength, length / 2, length - 1, length}) {
            if (first > length) continue;
            SCOPED_TRACE("sample " + std::to_string(first) + " of " + std::to_string(length));
            const std::vector<int16_t> expected(reference.samples.begin() + first * channels,
                                                reference.samples.end());
            EXPECT_TRUE(restartedDecode(qmz, first, true) == expected);
        }
    }
}

}  // namespace
}  // namespace qmz

namespace qmz {
namespace {

// The stream with a seek table after it, built from its payload the way the
// encoder builds it.
std::string withSeekTable(const std::string& qmz, int64_t shift = 0) {
    const ContainerFile file = headerOf(qmz);
    SeekTableBuilder builder(file.header.channels);
    const auto payload = payloadOf(qmz);
    builder.payload(payload.data(), payload.size());
    Tags tags;
    tags.seekTable = builder.finish(file.header.samplesPerChannel);
    for (SeekTableEntry& entry : tags.seekTable) entry.offset += shift;
    std::vector<uint8_t> block;
    EXPECT_EQ(writeTagBlock(tags, block), TagError::None);
    return qmz + std::string(block.begin(), block.end());
}

// Everything read() gives after seek(first) on a decoder over `bytes`.
std::vector<int16_t> readAfterSeek(StreamDecoder& decoder, int64_t first, Status& status) {
    status = decoder.seek(first);
    std::vector<int16_t> out, pcm(3000 * 2);
    while (std::size_t n = decoder.read(pcm.data(), 3000))
        out.insert(out.end(), pcm.begin(), pcm.begin() + n * decoder.format().channels);
    return out;
}

// A table pointing beside the records is damage: the seek scans instead.
enum class Index { Table, Scan, LookAlikeAfterStream, DamagedTable };

// Seeks to the same positions in turn on one decoder (the index found once
// serves them all) give the linear decode's samples from there on: exactly
// with a seek table and when look-alike records force the segments to be
// decoded from the start; with a plain scan exactly where no noise was drawn
// before the point, and always of the exact length.
TEST(StreamDecoderSeek, GivesTheLinearDecodeFromTheRequestedSample) {
    for (const std::string& plain : streams()) {
        const test::Decoded reference = test::decodeImage(plain);
        const ContainerFile file = headerOf(plain);
        const int channels = file.header.channels;
        const int64_t length = file.header.samplesPerChannel;
        const std::vector<ChainPoint> chain = chainOf(plain);
        const int64_t segment = int64_t(kResyncPeriod) * kFrameLength;
        const std::vector<int64_t> positions = {length / 2,
                                                0,
                                                1,
                                                1023,
                                                segment - 2 * kFrameLength - 1,
                                                segment - 2 * kFrameLength,
                                                segment - 2 * kFrameLength + 1,
                                                2 * segment - 2 * kFrameLength + 5,
                                                length - 1,
                                                length,
                                                1500};
        for (Index index :
             {Index::Table, Index::Scan, Index::LookAlikeAfterStream, Index::DamagedTable}) {
            std::string bytes = index == Index::Table          ? withSeekTable(plain)
                                : index == Index::DamagedTable ? withSeekTable(plain, 1)
                                                               : plain;
            if (index == Index::LookAlikeAfterStream)
                bytes += std::string(8, '\0') + "\xFF" + "tail";
            std::istringstream in(bytes), inKeepGoing(bytes);
            StreamDecoder decoder(in);
            // Decoding through damage seeks to the same points.
            StreamDecoder keepGoing(inKeepGoing, DecodeSettings{.keepGoing = true});
            for (int64_t first : positions) {
                if (first > length) continue;
                SCOPED_TRACE("index " + std::to_string(static_cast<int>(index)) + ", sample " +
                             std::to_string(first) + " of " + std::to_string(length));
                Status status;
                const std::vector<int16_t> got = readAfterSeek(decoder, first, status);
                ASSERT_EQ(status, Status::Ok);
                EXPECT_EQ(decoder.status(), Status::Ok);
                const std::vector<int16_t> expected(reference.samples.begin() + first * channels,
                                                    reference.samples.end());
                ASSERT_EQ(got.size(), expected.size());
                EXPECT_TRUE(readAfterSeek(keepGoing, first, status) == got);
                EXPECT_EQ(status, Status::Ok);
                const int frame = restartFrameFor(first);
                const bool noiseBefore =
                    frame > 1 &&
                    chain[static_cast<std::size_t>(frame / kResyncPeriod)].drawsBefore > 0;
                const bool scanned = index == Index::Scan || index == Index::DamagedTable;
                if (!scanned || !noiseBefore) {
                    EXPECT_TRUE(got == expected);
                }
            }
            Status status;
            EXPECT_TRUE(readAfterSeek(decoder, length + 1, status).empty());
            EXPECT_EQ(status, Status::InvalidArgument);
            EXPECT_EQ(decoder.seek(-1), Status::InvalidArgument);
        }
    }
}

// A stream buffer that cannot seek, like a pipe.
class PipeBuf : public std::streambuf {
  public:
    explicit PipeBuf(std::string bytes) : bytes_(std::move(bytes)) {
        setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
    }

  private:
    std::string bytes_;
};

// A pipe and pushed bytes cannot seek; they say so and decode on untouched.
TEST(StreamDecoderSeek, RefusedWhereTheBytesCannotBeReachedAgain) {
    const std::string qmz = readFile("dec3_mono.qmz");
    const test::Decoded reference = test::decodeImage(qmz);
    PipeBuf pipe(qmz);
    std::istream in(&pipe);
    StreamDecoder piped(in);
    Status status;
    EXPECT_TRUE(readAfterSeek(piped, 5000, status) == reference.samples);
    EXPECT_EQ(status, Status::NotSeekable);

    StreamDecoder pushed;
    EXPECT_EQ(pushed.seek(0), Status::NotSeekable);
    pushed.push(reinterpret_cast<const uint8_t*>(qmz.data()), qmz.size());
    EXPECT_EQ(pushed.seek(0), Status::NotSeekable);
    EXPECT_NE(std::string(describeStatus(Status::NotSeekable)), describeStatus(Status::Damaged));
}

}  // namespace
}  // namespace qmz

namespace qmz {
namespace {

// EncodeSettings::seekTable appends the table behind the unchanged stream,
// into a stream sink and a positioned-write sink alike, and seeks in the
// result give the linear decode exactly.
TEST(StreamEncoderSeekTable, AppendedBehindTheUnchangedStream) {
    const std::vector<int16_t> pcm = signals::render(signals::MusicSignal{}, 5 * 44100);
    auto encode = [&](bool table, bool callback) {
        EncodeSettings settings;
        settings.preset = QualityPreset::E;
        settings.seekTable = table;
        std::string bytes;
        std::ostringstream out;
        QmzSink sink = callback ? QmzSink([&](uint64_t offset, const uint8_t* data, std::size_t n) {
            if (bytes.size() < offset + n) bytes.resize(offset + n);
            std::copy_n(data, n, bytes.begin() + static_cast<std::ptrdiff_t>(offset));
            return true;
        })
                                : QmzSink(out);
        StreamEncoder encoder(PcmFormat{2, 44100}, sink, settings);
        encoder.write(pcm.data(), pcm.size() / 2);
        EXPECT_EQ(encoder.finish(), Status::Ok);
        return callback ? bytes : out.str();
    };
    const std::string plain = encode(false, false);
    const std::vector<int16_t> all = test::decodeImage(plain).samples;
    for (bool callback : {false, true}) {
        const std::string table = encode(true, callback);
        ASSERT_GT(table.size(), plain.size());
        EXPECT_TRUE(table.compare(0, plain.size(), plain) == 0);
        std::istringstream in(table);
        StreamDecoder decoder(in);
        Status status;
        EXPECT_TRUE(readAfterSeek(decoder, 3 * 44100, status) ==
                    std::vector<int16_t>(all.begin() + 2 * 3 * 44100, all.end()));
        EXPECT_EQ(status, Status::Ok);
    }
}

}  // namespace
}  // namespace qmz
