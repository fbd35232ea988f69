// The two programs as a user runs them: console text, exit statuses, files.
#include "codec_harness.h"
#include "program_harness.h"

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

TEST_F(Programs, OutputNamingTheInputIsRefused) {
    const std::string wav = signals::wavFileImage(std::vector<int16_t>(100, 7), 1);
    write("song.wav", wav);
    ProgramRun r = run(QMZENC_PATH, "song.wav ./../" + dir_.filename().string() + "/song.wav");
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(slurp(path("song.wav")), wav);

    write("song.qmz", test::readDataFile("dec3_mono.qmz"));
    r = run(QMZDEC_PATH, "song.qmz " + path("song.qmz"));
    EXPECT_EQ(r.status, 6);
    EXPECT_TRUE(slurp(path("song.qmz")) == test::readDataFile("dec3_mono.qmz"));
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
