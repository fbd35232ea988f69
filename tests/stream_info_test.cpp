// The inspector: bits and block types per frame from the payload reader, the
// failing frame of a damaged file, and the qmzinfo program around it.
#include "io/stream_info.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "codec_harness.h"
#include "common/frame_syntax.h"
#include "io/tag_block.h"
#include "program_harness.h"
#include "signals/music_signal.h"

namespace qmz {
namespace {

std::vector<int16_t> musicSamples(int64_t frames, int channels) {
    signals::MusicSignal signal;
    signal.channels = channels;
    return signals::render(signal, frames);
}

std::string musicWav(int64_t frames, int channels) {
    return signals::wavFileImage(musicSamples(frames, channels), channels);
}

StreamReport inspect(const std::string& qmz, std::vector<FrameReport>* frames = nullptr) {
    std::istringstream in(qmz);
    return inspectStream(in, [frames](const FrameReport& f) {
        if (frames) frames->push_back(f);
    });
}

TEST(StreamInfo, WorkedExampleFrameSplitsItsBits) {
    // One mono long frame: block type 0, gain 50, 48 scalefactors of 10, 928
    // zero lines, then the end of the stream; 17 side bits (8 + 9), 55
    // scalefactor bits (8 + 47 x 1) and 22 line bits (12 + 10).
    ContainerFile file;
    file.header = makeContainerHeader(0, 0, 1, false);
    const auto header = serializeContainer(file);
    const uint8_t payload[] = {0x80, 0x18, 0xA1, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0x01, 0x78, 0x3E, 0x91, 0xF5, 0x03};
    const std::string stream = std::string(header.begin(), header.end()) +
                               std::string(reinterpret_cast<const char*>(payload), sizeof payload);
    const std::string bytes = stream.substr(kContainerHeaderSize);
    auto reader = std::make_unique<CountingFramePayloadReader>();
    reader->setWholeInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    std::array<ChannelBlocks, 1> blocks;
    BlockType type;
    ASSERT_EQ(reader->readFrame(blocks, type, 1), StreamError::None);
    const FrameBitShares& bits = reader->lastFrameBits();
    EXPECT_EQ(bits.side, 17);
    EXPECT_EQ(bits.scalefactors, 55);
    EXPECT_EQ(bits.lines, 22);
    EXPECT_EQ(bits.resync, 0);
}

TEST(StreamInfo, MatchesWhatTheEncoderWrote) {
    // Long enough for two resync points, with transients for every block type.
    for (const auto& [channels, preset] : {std::pair{2, "-E"}, std::pair{1, "-B"}}) {
        SCOPED_TRACE(preset);
        const std::vector<int16_t> samples = musicSamples(100000, channels);
        std::istringstream in(signals::wavFileImage(samples, channels));
        WavInput input;
        ASSERT_EQ(parseWavHeader(in, input), WavReadError::Ok);
        StringSink out;
        auto encoder = std::make_unique<Encoder>(
            channels, 100000, parseEncoderOptions({preset}).preset, out, nullptr);
        // The writer counts whole bytes: after every frame its count is the
        // frames' bits so far rounded down to a byte. A frame of input at a
        // time codes one frame (the first call three iterations, two of them
        // silent); the last frames come with finish().
        std::map<int, int64_t> writerBits;  // by frames written
        for (int at = 0; at < 100000; at += kFrameLength) {
            const int n = std::min(kFrameLength, 100000 - at);
            encoder->encode(samples.data() + static_cast<std::size_t>(at) * channels,
                            static_cast<std::size_t>(n));
            writerBits[encoder->framesWritten()] = encoder->payloadBitCount();
        }
        encoder->finish();
        ContainerFile file{makeContainerHeader(100000, 0, static_cast<int16_t>(channels), false),
                           input.dataChunk, input.format};
        const auto header = serializeContainer(file);
        const std::string qmz = std::string(header.begin(), header.end()) + out.str();

        std::vector<FrameReport> frames;
        const StreamReport report = inspect(qmz, &frames);
        ASSERT_TRUE(report.ok());
        EXPECT_EQ(report.frameCount, encoder->framesWritten());
        EXPECT_EQ(report.framesRead, report.frameCount);
        EXPECT_EQ(
            report.blockTypeCounts,
            (std::array<int64_t, 4>{encoder->blockTypeCounts()[0], encoder->blockTypeCounts()[1],
                                    encoder->blockTypeCounts()[2], encoder->blockTypeCounts()[3]}));
        EXPECT_GT(report.blockTypeCounts[2], 0);
        EXPECT_EQ(report.resyncPoints, report.frameCount / kResyncPeriod);
        ASSERT_EQ(writerBits.size(), 98u);  // frames 1 .. 98 of 101
        int64_t sum = 0, least = INT64_MAX, most = 0;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const int64_t bits = frames[i].bits.total();
            sum += bits;
            least = std::min(least, bits);
            most = std::max(most, bits);
            const auto written = writerBits.find(static_cast<int>(i) + 1);
            if (written != writerBits.end()) {
                EXPECT_EQ(sum / 8 * 8, written->second) << "frame " << i + 1;
            }
            EXPECT_EQ(frames[i].resyncPoint, isResyncPoint(frames[i].index));
            if (frames[i].resyncPoint) {
                EXPECT_GE(frames[i].bits.resync, 72);  // the record and the padding
                EXPECT_LT(frames[i].bits.resync, 80);
            } else {
                EXPECT_EQ(frames[i].bits.resync, 0);
            }
        }
        EXPECT_EQ(report.totalBits.total(), sum);
        EXPECT_EQ(report.minFrameBits, least);
        EXPECT_EQ(report.maxFrameBits, most);
        EXPECT_DOUBLE_EQ(report.meanFrameBits(), static_cast<double>(sum) / frames.size());
        EXPECT_NEAR(report.durationSeconds(), 100000 / 44100.0, 1e-9);
    }
}

TEST(StreamInfo, DamageIsReportedWithItsFrame) {
    const std::string full = test::readDataFile("dec1_stereo.qmz");
    const StreamReport whole = inspect(full);
    ASSERT_TRUE(whole.ok());
    EXPECT_EQ(whole.frameCount, payloadFrameCount(whole.file.header.samplesPerChannel));

    // Cut inside the payload: the frame being read when the bytes ran out.
    std::vector<FrameReport> frames;
    inspect(full, &frames);
    int64_t bits = 0;
    std::size_t cutFrame = frames.size() / 2;
    for (std::size_t i = 0; i < cutFrame - 1; ++i) bits += frames[i].bits.total();
    const std::size_t cut = kContainerHeaderSize + static_cast<std::size_t>(bits / 8) + 2;
    const StreamReport truncated = inspect(full.substr(0, cut));
    EXPECT_FALSE(truncated.ok());
    EXPECT_EQ(truncated.frameError, StreamError::Truncated);
    EXPECT_GE(truncated.failedFrame, static_cast<int64_t>(cutFrame));
    EXPECT_LE(truncated.failedFrame, static_cast<int64_t>(cutFrame) + 2);
    EXPECT_EQ(truncated.framesRead, truncated.failedFrame - 1);

    // What follows the frames the decoder reads is a remark, not a failure:
    // the last frame, the end of the stream, bytes after it.
    EXPECT_TRUE(whole.tail.complete());
    int64_t allButLast = 0;
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) allButLast += frames[i].bits.total();
    const std::string lastFrameCut =
        full.substr(0, kContainerHeaderSize + static_cast<std::size_t>(allButLast / 8) + 1);
    const StreamReport lastCut = inspect(lastFrameCut);
    EXPECT_TRUE(lastCut.ok());
    EXPECT_EQ(lastCut.tail.failedFrame, whole.frameCount);
    EXPECT_EQ(lastCut.tail.frameError, StreamError::Truncated);
    EXPECT_EQ(test::decodeImage(lastFrameCut).result.error, DecodeError::None);
    const StreamReport noEnd = inspect(full.substr(0, full.size() - 2));
    EXPECT_TRUE(noEnd.ok());
    EXPECT_EQ(noEnd.tail.failedFrame, 0);
    EXPECT_FALSE(noEnd.tail.endRead);
    const StreamReport trailing = inspect(full + "xyz");
    EXPECT_TRUE(trailing.ok());
    EXPECT_TRUE(trailing.tail.endRead);
    EXPECT_EQ(trailing.tail.trailingBytes, 3);

    // Headers the decoder refuses.
    EXPECT_EQ(inspect(full.substr(0, 100)).headerError, DecodeError::Truncated);
    std::string unfinished = full;
    unfinished.replace(0, 32, std::string(32, '\0'));
    EXPECT_EQ(inspect(unfinished).headerError, DecodeError::Incomplete);
    EXPECT_EQ(inspect(test::readDataFile("dec1_stereo.wav")).headerError, DecodeError::NotQmz);
}

// Damage the inspector and the decoder must judge alike: every byte of a
// short file (but the header's reserved area) flipped whole and in one bit,
// and the file cut there.
struct VerdictCase {
    const char* name;
    int channels;
    const char* preset;
    int64_t sampleFrames;
};

class StreamVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(StreamVerdict, IsTheDecodersForEverySingleByteDamage) {
    const VerdictCase& c = GetParam();
    const std::string qmz = test::encodeImage(musicWav(c.sampleFrames, c.channels), {c.preset}).qmz;
    ASSERT_TRUE(inspect(qmz).tail.complete());
    int levelFailures = 0, remarksOnly = 0, cases = 0;
    auto judge = [&](const std::string& damaged, const std::string& what) {
        const StreamReport report = inspect(damaged);
        const DecodeError decoded = test::decodeImage(damaged).result.error;
        ++cases;
        if (report.levelsOutOfRange) ++levelFailures;
        if (report.ok() && !report.tail.complete()) ++remarksOnly;
        if (report.verdict() != decoded) {
            ADD_FAILURE() << what << ": inspected " << describeDecodeError(report.verdict())
                          << ", decoded " << describeDecodeError(decoded);
        }
    };
    constexpr std::size_t kReserved = 56;  // header bytes 56 .. 265 are never read
    for (std::size_t at = 0; at < qmz.size(); ++at) {
        if (at == kReserved) at = kContainerHeaderSize;
        for (const uint8_t flip : {uint8_t{0xFF}, uint8_t{0x08}}) {
            std::string damaged = qmz;
            damaged[at] = static_cast<char>(damaged[at] ^ flip);
            judge(damaged, "byte " + std::to_string(at) + " ^ " + std::to_string(flip));
        }
        judge(qmz.substr(0, at), "cut at " + std::to_string(at));
    }
    // The sweep reaches the checks that differed: the dequantiser's range
    // check, and damage after the last decoded frame.
    EXPECT_GT(levelFailures, 0);
    EXPECT_GT(remarksOnly, 0);
    EXPECT_EQ(cases, 3 * static_cast<int>(qmz.size() - (kContainerHeaderSize - kReserved)));
}

INSTANTIATE_TEST_SUITE_P(ShortFiles, StreamVerdict,
                         ::testing::Values(VerdictCase{"mono", 1, "-A", 3000},
                                           VerdictCase{"stereo_mid_side", 2, "-E", 2500}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AdversarialVerdict, IsTheDecodersForEveryCorpusFile) {
    const std::filesystem::path dir = std::filesystem::path(QMZ_TEST_DATA_DIR) / "adversarial";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".qmz") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const std::string bytes =
            test::readDataFile("adversarial/" + entry.path().filename().string());
        EXPECT_EQ(inspect(bytes).verdict(), test::decodeImage(bytes).result.error);
        ++files;
    }
    EXPECT_GE(files, 18);
}

#ifdef QMZINFO_PATH

namespace fs = std::filesystem;

struct InfoRun {
    int status;
    std::string out, err;
};

InfoRun runInfo(const std::string& args) {
    const fs::path dir = fs::temp_directory_path() / ("qmzinfo_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string command = std::string("cd '") + dir.string() + "' && '" + QMZINFO_PATH +
                                "' " + args + " > out.txt 2> err.txt";
    const int raw = std::system(command.c_str());
    auto slurp = [&dir](const char* name) {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    InfoRun r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp("out.txt"), slurp("err.txt")};
    fs::remove_all(dir);
    return r;
}

TEST(QmzinfoProgram, DescribesChecksAndFails) {
    const std::string data = QMZ_TEST_DATA_DIR;
    InfoRun r = runInfo("'" + data + "/dec2_stereo_midside.qmz'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const StreamReport report = inspect(test::readDataFile("dec2_stereo_midside.qmz"));
    for (const std::string& line :
         {std::string("channels:        2 (stereo, mid/side)\n"),
          "sample frames:   " + std::to_string(report.file.header.samplesPerChannel) +
              " per channel\n",
          "frames:          " + std::to_string(report.frameCount) + "\n",
          "resync points:   " + std::to_string(report.resyncPoints) + "\n",
          "block types:     long " + std::to_string(report.blockTypeCounts[0]) + ", start " +
              std::to_string(report.blockTypeCounts[1]) + ", short " +
              std::to_string(report.blockTypeCounts[2]) + ", stop " +
              std::to_string(report.blockTypeCounts[3]) + "\n",
          std::string("decodes to:      WAV, format 1, 2 channels, 44100 Hz, 16 bits, ")}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
    }

    r = runInfo("--frames '" + data + "/dec3_mono.qmz'");
    EXPECT_EQ(r.status, 0);
    const StreamReport mono = inspect(test::readDataFile("dec3_mono.qmz"));
    const auto lines = std::count(r.out.begin(), r.out.end(), '\n');
    EXPECT_EQ(lines, 1 + mono.frameCount + 1 + 11);  // heading, frames, blank, summary

    // Truncated: the summary of what was read, the frame on standard error.
    const std::string full = test::readDataFile("dec3_mono.qmz");
    std::ofstream("/tmp/qmzinfo_cut_" + std::to_string(::getpid()) + ".qmz", std::ios::binary)
        << full.substr(0, full.size() * 2 / 3);
    const std::string cut = "/tmp/qmzinfo_cut_" + std::to_string(::getpid()) + ".qmz";
    r = runInfo("'" + cut + "'");
    fs::remove(cut);
    EXPECT_EQ(r.status, 5);
    EXPECT_NE(r.err.find(": frame "), std::string::npos);
    EXPECT_NE(r.err.find("ends before its last frame"), std::string::npos);

    EXPECT_EQ(runInfo("'" + data + "/dec3_mono.wav'").status, 3);
    EXPECT_EQ(runInfo("no-such-file.qmz").status, 2);
    EXPECT_EQ(runInfo("").status, 1);
    EXPECT_EQ(runInfo("a.qmz b.qmz").status, 1);
    // Standard input.
    r = runInfo("- < '" + data + "/dec3_mono.qmz'");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("channels:        1 (mono)"), std::string::npos);
}

#ifdef QMZDEC_PATH

class QmzinfoAndQmzdec : public test::ProgramDirTest {};

// The programs' exit statuses, not only the library's verdicts, agree.
TEST_F(QmzinfoAndQmzdec, GiveTheSameExitStatus) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(QMZ_TEST_DATA_DIR) / "adversarial")) {
        if (entry.path().extension() != ".qmz") continue;
        names.push_back(entry.path().filename().string());
        fs::copy_file(entry.path(), path(names.back()));
    }
    const std::string qmz = test::encodeImage(musicWav(3000, 1)).qmz;
    // The first byte whose damage only the dequantiser's range check finds.
    for (std::size_t at = kContainerHeaderSize; at < qmz.size(); ++at) {
        std::string damaged = qmz;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x08);
        if (inspect(damaged).levelsOutOfRange) {
            write("level_out_of_range.qmz", damaged);
            names.push_back("level_out_of_range.qmz");
            break;
        }
    }
    ASSERT_EQ(names.back(), "level_out_of_range.qmz");
    write("end_cut.qmz", qmz.substr(0, qmz.size() - 1));
    write("trailing_bytes.qmz", qmz + "xyz");
    fs::create_directory(path("a_directory.qmz"));
    names.insert(names.end(), {"end_cut.qmz", "trailing_bytes.qmz", "a_directory.qmz"});
    for (const std::string& name : names) {
        const int info = shell("'" QMZINFO_PATH "' '" + name + "' > /dev/null 2>&1");
        const int dec = shell("'" QMZDEC_PATH "' '" + name + "' out.wav > /dev/null 2>&1");
        EXPECT_EQ(info, dec) << name;
    }
    EXPECT_EQ(shell("'" QMZINFO_PATH "' a_directory.qmz > /dev/null 2>&1"), 2);
    // A tag block after the stream belongs there: no note.
    Tags tags;
    tags.set("TITLE", "Verdict");
    std::vector<uint8_t> block;
    ASSERT_EQ(writeTagBlock(tags, block), TagError::None);
    write("tagged.qmz", qmz + std::string(block.begin(), block.end()));
    EXPECT_EQ(shell("'" QMZINFO_PATH "' tagged.qmz > out.txt"), 0);
    EXPECT_EQ(slurp(path("out.txt")).find("note:"), std::string::npos);
    EXPECT_EQ(shell("'" QMZINFO_PATH "' trailing_bytes.qmz > out.txt"), 0);
    EXPECT_NE(slurp(path("out.txt")).find("note:            3 bytes after the end of the stream\n"),
              std::string::npos);
}

#endif

#endif

}  // namespace
}  // namespace qmz
