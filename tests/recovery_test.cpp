// Decoding through damage (qmzdec -F) and on threads (qmzdec -j): the output
// keeps the header's length, the damage is listed and fails the decode, the
// audio outside the damaged segment is the clean decode's, and threads never
// change a byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <sstream>

#include "decoder/segment_decoder.h"
#include "program_harness.h"
#include "qmz/codec.h"

#if defined(QMZENC_PATH) && defined(QMZDEC_PATH) && defined(QMZINFO_PATH)

namespace qmz {
namespace {

// Payload offsets where the segments of an undamaged file begin.
std::vector<int64_t> segmentStarts(const std::string& file) {
    ContainerFile header;
    EXPECT_EQ(readContainerHeader(reinterpret_cast<const uint8_t*>(file.data()), file.size(), header),
              DecodeError::None);
    const SegmentLayout layout = segmentLayoutOf(header.header.samplesPerChannel);
    const PayloadReadAt readAt = payloadInMemory(std::span(
        reinterpret_cast<const uint8_t*>(file.data()) + kContainerHeaderSize,
        file.size() - kContainerHeaderSize));
    std::vector<int64_t> starts;
    SegmentScratch scratch;
    SegmentFrames frames;
    int64_t offset = 0;
    for (int64_t k = 0; k < layout.count(); ++k) {
        starts.push_back(offset);
        readSegment(readAt, offset, k, layout.frames(k), header.header.channels, scratch, frames);
        EXPECT_TRUE(frames.complete());
        offset = frames.endOffset;
    }
    return starts;
}

class Recovery : public test::ProgramDirTest {};

// Each damage kind, inside segment 1 (frames 45 .. 89) of a three-segment
// file written with a seek table: segments 0 and 2 must come back exactly
// (segment 2 from its second frame on; its first is the fade in).
TEST_F(Recovery, EveryDamageKindKeepsLengthListsTheRangeAndRecoversTheRest) {
    ASSERT_EQ(sh("ENC '" QMZ_TEST_DATA_DIR "/enc1_stereo.wav' a.qmz --seek-table > /dev/null"), 0);
    ASSERT_EQ(sh("DEC a.qmz clean.wav > /dev/null"), 0);
    const std::string file = slurp(path("a.qmz")), clean = slurp(path("clean.wav"));
    const std::vector<int64_t> starts = segmentStarts(file);
    ASSERT_EQ(starts.size(), 3u);
    const auto at = [&](double share) {  // a byte of segment 1
        return static_cast<std::size_t>(kContainerHeaderSize + starts[1] +
                                        share * static_cast<double>(starts[2] - starts[1]));
    };
    struct Case {
        const char* name;
        std::string damaged;
    };
    std::vector<Case> cases;
    std::string overwritten = file;
    for (std::size_t i = at(0.3); i < at(0.3) + 300; ++i) overwritten[i] = static_cast<char>(i * 37);
    cases.push_back({"run overwritten", overwritten});
    std::string missing = file;
    missing.erase(at(0.4), 500);
    cases.push_back({"block missing", missing});
    std::string flipped = file;
    for (double share : {0.2, 0.35, 0.5, 0.65, 0.8}) flipped[at(share)] ^= 0x24;
    cases.push_back({"bits flipped", flipped});

    const SegmentLayout layout = segmentLayoutOf(132300);
    const auto byteOf = [](int64_t sampleFrame) { return static_cast<std::size_t>(44 + 4 * sampleFrame); };
    const std::size_t segment1 = byteOf(layout.outputStart(45));
    const std::size_t segment2 = byteOf(layout.outputStart(91));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write("d.qmz", c.damaged);
        EXPECT_EQ(sh("DEC -F d.qmz out.wav > /dev/null 2> err.txt"), 5);
        const std::string out = slurp(path("out.wav")), err = slurp(path("err.txt"));
        ASSERT_EQ(out.size(), clean.size());
        EXPECT_NE(err.find("d.qmz: damaged: sample frames "), std::string::npos) << err;
        EXPECT_NE(err.find("replaced by silence"), std::string::npos) << err;
        EXPECT_EQ(out.compare(0, segment1, clean, 0, segment1), 0);
        EXPECT_EQ(out.compare(segment2, std::string::npos, clean, segment2, std::string::npos), 0);
        // The library's keep-going setting: the whole length, the damage
        // reported, the audio before it exact.
        std::istringstream in(c.damaged);
        StreamDecoder decoder(in, DecodeSettings{true});
        std::string samples;
        std::vector<int16_t> pcm(2 * 999);
        while (const std::size_t n = decoder.read(pcm.data(), 999))
            samples.append(reinterpret_cast<const char*>(pcm.data()), 4 * n);
        EXPECT_EQ(decoder.status(), Status::Damaged);
        EXPECT_EQ(samples.size() + 44, clean.size());
        EXPECT_FALSE(decoder.damagedRanges().empty());
        EXPECT_EQ(samples.compare(0, segment1 - 44, clean, 44, segment1 - 44), 0);
        // qmzinfo lists the same ranges after its first-fault line.
        EXPECT_EQ(sh("INFO d.qmz > /dev/null 2> info.txt"), 5);
        const std::string info = slurp(path("info.txt"));
        EXPECT_NE(info.find(": frame "), std::string::npos) << info;
        EXPECT_NE(info.find("recoverable with qmzdec -F: "), std::string::npos) << info;
        const std::size_t from = err.find("damaged: sample frames "), to = err.find(" replaced");
        ASSERT_NE(from, std::string::npos);
        EXPECT_NE(info.find(err.substr(from, to - from)), std::string::npos) << info << err;
        // Threads decode through damage the same way, and stop at it the same
        // way without -F.
        EXPECT_EQ(sh("DEC -F -j 3 d.qmz out3.wav > /dev/null 2> /dev/null"), 5);
        EXPECT_EQ(slurp(path("out3.wav")), out);
        EXPECT_EQ(sh("DEC d.qmz stop1.wav > /dev/null 2> /dev/null"), 5);
        EXPECT_EQ(sh("DEC -j 2 d.qmz stop2.wav > /dev/null 2> /dev/null"), 5);
        EXPECT_EQ(slurp(path("stop2.wav")), slurp(path("stop1.wav")));
        // A range through the damage holds the whole decode's samples there;
        // one after it meets no damage. (With a block missing the table's
        // offsets after it are stale: the point is found by a scan, and the
        // noise bands carry other noise.)
        const std::size_t rangeFrom = byteOf(22050), past = byteOf(97020);
        EXPECT_EQ(sh("DEC -F --skip 0.5 --until 2.5 d.qmz r1.wav > /dev/null 2> /dev/null"), 5);
        EXPECT_EQ(slurp(path("r1.wav")).substr(44), out.substr(rangeFrom, byteOf(110250) - rangeFrom));
        EXPECT_EQ(sh("DEC -F --skip 2.2 d.qmz r2.wav > /dev/null 2> /dev/null"), 0);
        std::istringstream again(c.damaged);
        StreamDecoder seeking(again, DecodeSettings{true});
        ASSERT_EQ(seeking.seek(97020), Status::Ok);
        std::string after;
        while (const std::size_t n = seeking.read(pcm.data(), 999))
            after.append(reinterpret_cast<const char*>(pcm.data()), 4 * n);
        EXPECT_EQ(seeking.status(), Status::Ok);
        EXPECT_EQ(after, slurp(path("r2.wav")).substr(44));
        if (c.damaged.size() == file.size()) {
            EXPECT_EQ(after, out.substr(past));
        } else {
            EXPECT_EQ(after.size(), out.size() - past);
        }
    }
}

// Every conformance vector, and a pipe: the same bytes on any number of threads.
TEST_F(Recovery, ThreadsGiveTheLinearDecodesBytes) {
    for (const char* name : {"dec1_stereo", "dec2_stereo_midside", "dec3_mono", "enc1_stereo-A",
                             "enc1_stereo-E", "enc2_mono-AAA", "enc2_mono-C"}) {
        SCOPED_TRACE(name);
        const std::string source = std::string("'" QMZ_TEST_DATA_DIR "/") + name + ".qmz'";
        ASSERT_EQ(sh("DEC " + source + " one.wav > /dev/null"), 0);
        for (const char* threads : {"-j 2", "-j3", "-j 8"}) {
            ASSERT_EQ(sh(std::string("DEC ") + threads + " " + source + " many.wav > /dev/null"), 0);
            EXPECT_EQ(slurp(path("many.wav")), slurp(path("one.wav"))) << threads;
        }
        ASSERT_EQ(sh("cat " + source + " | DEC -j 2 - piped.wav > /dev/null"), 0);
        EXPECT_EQ(slurp(path("piped.wav")), slurp(path("one.wav")));
    }
}

}  // namespace
}  // namespace qmz

#endif
