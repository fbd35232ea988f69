// The two programs as a user runs them: console text, exit statuses, files.
#include "codec_harness.h"
#include "program_harness.h"
#include "wav_image.h"

#include <cstring>

#if defined(QMZENC_PATH) && defined(QMZDEC_PATH)

namespace qmz {
namespace {

namespace fs = std::filesystem;

struct ProgramRun {
    int status;
    std::string out, err;
};

class Programs : public test::ProgramDirTest {
  protected:
    ProgramRun run(const std::string& program, const std::string& args) const {
        const int status = shell("'" + program + "' " + args + " > stdout 2> stderr");
        return {status, slurp(path("stdout")), slurp(path("stderr"))};
    }
};

const std::string kEncBanner = "QMZ audio encoder " QMZ_VERSION "\n";
const std::string kDecBanner = "QMZ audio decoder " QMZ_VERSION "\n";

TEST_F(Programs, EncoderConsoleTextIsExact) {
    write("in.wav", test::readDataFile("enc2_mono.wav"));
    const ProgramRun r = run(QMZENC_PATH, "in.wav out.qmz -C");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kEncBanner + test::readDataFile("enc2_mono-C.txt"));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(slurp(path("out.qmz")) == test::readDataFile("enc2_mono-C.qmz"));
}

TEST_F(Programs, DecoderConsoleTextIsExact) {
    write("in.qmz", test::readDataFile("dec3_mono.qmz"));
    const ProgramRun r = run(QMZDEC_PATH, "in.qmz out.wav");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kDecBanner + "in.qmz -> out.wav \n");
    EXPECT_TRUE(slurp(path("out.wav")) == test::readDataFile("dec3_mono.wav"));
}

TEST_F(Programs, UsageTexts) {
    ProgramRun r = run(QMZENC_PATH, "only.wav");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kEncBanner + "QMZENC infile.wav outfile.qmz [options]\n");
    r = run(QMZDEC_PATH, "a b c");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Usage:  qmzdec source.qmz destination.wav\n");
}

TEST_F(Programs, VersionAnswersAloneAndExitsZero) {
    const std::pair<const char*, const char*> programs[] = {
        {QMZENC_PATH, "qmzenc"},
        {QMZDEC_PATH, "qmzdec"},
#ifdef QMZINFO_PATH
        {QMZINFO_PATH, "qmzinfo"},
#endif
    };
    for (const auto& [program, name] : programs) {
        const ProgramRun r = run(program, "--version");
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, std::string(name) + " " QMZ_VERSION "\n");
        EXPECT_EQ(r.err, "") << name;
    }
}

TEST_F(Programs, EmptyInputAndTdWithoutValue) {
    write("empty.wav", signals::wavFileImage({}, 2));
    ProgramRun r = run(QMZENC_PATH, "empty.wav empty.qmz -A -td");
    EXPECT_EQ(r.status, 0);
    // No progress at all for an empty input (there is nothing to divide by).
    EXPECT_EQ(r.out.substr(0, kEncBanner.size() + 7), kEncBanner + "\r 100% ");
    r = run(QMZDEC_PATH, "empty.qmz empty-out.wav");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(slurp(path("empty-out.wav")).size(), 44u);
}

// The quality mode's options: a bad combination stops before anything is
// written, an ignored argument is named on stderr, and stdout keeps its text.
TEST_F(Programs, QualityOptionsAndIgnoredArguments) {
    write("in.wav", signals::wavFileImage(signals::render(signals::MusicSignal{}, 44100), 2));
    const struct {
        const char* args;
        int status;
        const char* err;  // a part of standard error; "" for none at all
    } cases[] = {
        {"--quality 5 -A", 1, "the preset -A cannot be given together with --quality"},
        {"-E --bitrate 128", 1, "the preset -E cannot be given together with --bitrate"},
        {"--quality 11", 1, "--quality 11: expected a number from 0 to 10"},
        {"--bitrate 500", 1, "--bitrate 500: expected"},
        {"--quality 5 --bitrate 96", 1, "cannot be given together"},
        {"--quality", 1, "--quality needs a value"},
        {"-b 128", 0, "unknown argument \"-b\" ignored"},
        {"--quality 6.5 -j 2 -td 1", 0, ""},
        {"--bitrate 96", 0, ""},
    };
    for (const auto& c : cases) {
        fs::remove(path("out.qmz"));
        const ProgramRun r = run(QMZENC_PATH, std::string("in.wav out.qmz ") + c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        if (*c.err == 0) {
            EXPECT_EQ(r.err, "") << c.args;
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << ": " << r.err;
        }
        EXPECT_EQ(fs::exists(path("out.qmz")), c.status == 0) << c.args;
        if (c.status != 0) {
            EXPECT_EQ(r.out, kEncBanner) << c.args;
        } else {
            EXPECT_NE(r.out.find("Average bit/sec = "), std::string::npos) << c.args;
        }
    }
}

TEST_F(Programs, UnreadableWavIsReportedAndCreatesNothing) {
    write("bad.wav", "RIFX....WAVEfmt ");
    ProgramRun r = run(QMZENC_PATH, "bad.wav out.qmz");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, kEncBanner +
                         "Trouble reading bad.wav. Error = -3\nerror encoding audio file bad.wav");
    EXPECT_NE(r.err.find("not a RIFF/WAVE file"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("out.qmz")));
    r = run(QMZENC_PATH, "missing.wav out.qmz");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Error = -1"), std::string::npos);
    r = run(QMZENC_PATH, ". out.qmz");  // a directory is not a file that can be read
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Error = -1"), std::string::npos);
    r = run(QMZDEC_PATH, ". out.wav");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("directory"), std::string::npos);
}

// However the output names the input (a path, "-" for the open standard
// input or output, a /dev/stdin-style name), it is refused before anything is
// written, since writing it would destroy the input.
TEST_F(Programs, OutputNamingTheInputIsRefused) {
    const std::string wav = signals::wavFileImage(std::vector<int16_t>(100, 7), 1);
    const std::string qmz = test::readDataFile("dec3_mono.qmz");
    const std::string self = "./../" + dir_.filename().string();
    const struct {
        std::string line, victim;
    } cases[] = {
        {"ENC song.wav " + self + "/song.wav", "song.wav"},
        {"ENC - song.wav < song.wav", "song.wav"},
        {"ENC /dev/stdin song.wav < song.wav", "song.wav"},
        {"ENC song.wav /dev/fd/0 < song.wav", "song.wav"},
        {"DEC song.qmz " + path("song.qmz"), "song.qmz"},
        {"DEC - song.qmz < song.qmz", "song.qmz"},
        {"DEC - /dev/stdin < song.qmz", "song.qmz"},
        {"DEC song.qmz - 1<>song.qmz", "song.qmz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        write("song.wav", wav);
        write("song.qmz", qmz);
        EXPECT_EQ(sh("exec > /dev/null 2> err.txt; " + c.line), 6);
        EXPECT_NE(slurp(path("err.txt")).find("nothing was written"), std::string::npos);
        EXPECT_TRUE(slurp(path(c.victim)) == (c.victim == "song.wav" ? wav : qmz));
    }
    // Standard input and output that are pipes or devices are no file to lose.
    EXPECT_EQ(sh("cat song.qmz | DEC - - 2> /dev/null | cat > /dev/null"), 0);
    EXPECT_EQ(sh("DEC song.qmz - > /dev/null 2>&1 < /dev/null"), 0);
}

TEST_F(Programs, OutputThatCannotBeCreated) {
    write("in.wav", signals::wavFileImage(std::vector<int16_t>(100, 7), 1));
    ProgramRun r = run(QMZENC_PATH, "in.wav no/such/dir/out.qmz");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("cannot create"), std::string::npos);
    write("in.qmz", test::readDataFile("dec3_mono.qmz"));
    r = run(QMZDEC_PATH, "in.qmz no/such/dir/out.wav");
    EXPECT_EQ(r.status, 4);
}

TEST_F(Programs, FullDiskIsAFailure) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    write("in.wav", signals::wavFileImage(std::vector<int16_t>(44100, 7), 1));
    ProgramRun r = run(QMZENC_PATH, "in.wav /dev/full");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("writing failed"), std::string::npos);
    EXPECT_TRUE(fs::exists("/dev/full"));
    write("in.qmz", test::readDataFile("dec3_mono.qmz"));
    r = run(QMZDEC_PATH, "in.qmz /dev/full");
    EXPECT_EQ(r.status, 4);
}

TEST_F(Programs, OtherSampleRatesAreCodedWithAWarning) {
    write("in.wav", signals::wavFileImage(std::vector<int16_t>(4800, 100), 1, 48000));
    const ProgramRun r = run(QMZENC_PATH, "in.wav out.qmz");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("tuned for 44100 Hz"), std::string::npos);
    ASSERT_EQ(run(QMZDEC_PATH, "out.qmz out.wav").status, 0);
    EXPECT_EQ(test::headerWord(slurp(path("out.wav")), 24),
              48000u);  // the output declares the input's rate
}

// WAV shapes that other programs write: each is coded (the conversions say so
// on standard error) or refused with the reason.
TEST_F(Programs, WavShapesBeyondPlain16BitPcm) {
    std::vector<int16_t> pcm(2 * 3000);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>((i * 37) % 2000);
    const std::string plain = signals::wavFileImage(pcm, 2);
    const std::string data = plain.substr(44);
    std::string data24, dataFloat;
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        data24 += std::string(1, '\x40') + data.substr(2 * i, 2);
        const float f = pcm[i] / 32768.0f;
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        dataFloat += test::le32(bits);
    }
    const std::string extensible16 =
        test::formatBlock(0xFFFE, 2) + test::le16(22) + test::le16(16) + test::le32(3) +
        test::le16(1) + std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14);
    using test::chunk;
    using test::riffWave;
    struct Case {
        const char* name;
        std::string image;
        int status;
        const char* err;      // a part of standard error; "" for none at all
        std::string sameQmz;  // when not empty: the file whose .qmz it must give
    };
    const Case cases[] = {
        {"24-bit", riffWave(chunk("fmt ", test::formatBlock(1, 2, 44100, 24)) + chunk("data", data24)),
         0, "24-bit samples are converted to 16 bits with TPDF dither", ""},
        {"float", riffWave(chunk("fmt ", test::formatBlock(3, 2, 44100, 32)) + chunk("data", dataFloat)),
         0, "32-bit float samples are converted to 16 bits with TPDF dither", ""},
        {"extensible 16-bit", riffWave(chunk("fmt ", extensible16) + chunk("data", data)), 0, "",
         plain},
        {"data size 0", riffWave(chunk("fmt ", test::formatBlock(1, 2)) + test::chunkHeader("data", 0) + data),
         0, "", plain},
        {"sample rate 0", riffWave(chunk("fmt ", test::formatBlock(1, 2, 0)) + chunk("data", data)), 2,
         "the sample rate is 0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write("in.wav", c.image);
        fs::remove(path("out.qmz"));
        const ProgramRun r = run(QMZENC_PATH, "in.wav out.qmz");
        EXPECT_EQ(r.status, c.status);
        if (*c.err == '\0') {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
        if (c.status != 0) {
            EXPECT_FALSE(fs::exists(path("out.qmz")));
            continue;
        }
        if (!c.sameQmz.empty()) {
            write("same.wav", c.sameQmz);
            ASSERT_EQ(run(QMZENC_PATH, "same.wav same.qmz").status, 0);
            EXPECT_TRUE(slurp(path("out.qmz")) == slurp(path("same.qmz")));
        }
        ASSERT_EQ(run(QMZDEC_PATH, "out.qmz out.wav").status, 0);
        const std::string decoded = slurp(path("out.wav"));
        EXPECT_EQ(decoded.substr(20, 16), test::formatBlock(1, 2));
        EXPECT_EQ(test::headerWord(decoded, 40), 3000u * 4);
    }
}

TEST_F(Programs, PipeAsTheQmzOutputIsRefused) {
    write("in.wav", signals::wavFileImage(std::vector<int16_t>(100, 7), 1));
    ASSERT_EQ(shell("mkfifo out.qmz"), 0);
    // Opening a pipe with no reader would wait: the time limit keeps a
    // failure from hanging the suite.
    const ProgramRun r = run("timeout", "20 '" + std::string(QMZENC_PATH) + "' in.wav out.qmz");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("must be a seekable file"), std::string::npos) << r.err;
    EXPECT_EQ(fs::status(path("out.qmz")).type(), fs::file_type::fifo);
}

// A file whose data runs to its end (size 0xFFFFFFFF) beyond what the
// container's 32-bit size can record: refused before anything is written,
// unless a clip codes a part of it. The file is sparse: no disk is used.
TEST_F(Programs, InputLongerThanAQmzFileRecords) {
    write("long.wav", test::riffWave(test::chunk("fmt ", test::formatBlock(1, 2)) +
                                     test::chunkHeader("data", 0xFFFFFFFFu)));
    std::error_code error;
    fs::resize_file(path("long.wav"), 44 + 0x100000000ull + 4000, error);
    if (error) GTEST_SKIP() << "no file of more than 4 GB here: " << error.message();
    ProgramRun r = run(QMZENC_PATH, "long.wav out.qmz");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("longer than a .qmz file can record"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(path("out.qmz")));
    r = run(QMZENC_PATH, "long.wav out.qmz -E -td 1");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(test::headerWord(slurp(path("out.qmz")), 4), 44100u);
}

TEST_F(Programs, DecoderRefusesWhatIsNotAFinishedQmzFile) {
    write("song.wav", test::readDataFile("enc2_mono.wav"));
    ProgramRun r = run(QMZDEC_PATH, "song.wav out.wav");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("not a .qmz file"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("out.wav")));

    std::string unfinished = test::readDataFile("dec3_mono.qmz");
    unfinished.replace(0, 32, std::string(32, '\0'));
    write("unfinished.qmz", unfinished);
    r = run(QMZDEC_PATH, "unfinished.qmz out.wav");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("incomplete"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("out.wav")));
}

TEST_F(Programs, TruncatedQmzKeepsAValidPartialWav) {
    const std::string full = test::readDataFile("dec1_stereo.qmz");
    write("cut.qmz", full.substr(0, full.size() / 2));
    const ProgramRun r = run(QMZDEC_PATH, "cut.qmz out.wav");
    EXPECT_EQ(r.status, 5);
    EXPECT_NE(r.err.find("truncated"), std::string::npos);
    const std::string wav = slurp(path("out.wav"));
    ASSERT_GT(wav.size(), 44u);
    EXPECT_EQ(test::headerWord(wav, 40), wav.size() - 44);
    const std::string reference = test::readDataFile("dec1_stereo.wav");
    EXPECT_TRUE(wav.substr(44) == reference.substr(44, wav.size() - 44));
}

}  // namespace
}  // namespace qmz

#endif
