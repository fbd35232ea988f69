// qmzenc and qmzdec in real shell pipelines: "-" for standard input and
// standard output, and what a pipe cannot do (seek back).
#include "codec_harness.h"
#include "program_harness.h"
#include "signals/music_signal.h"

#if defined(QMZENC_PATH) && defined(QMZDEC_PATH)

namespace qmz {
namespace {

namespace fs = std::filesystem;

class PipePrograms : public test::ProgramDirTest {
  protected:
    // Runs a shell command line in the test directory; ENC and DEC name the
    // programs. Returns the exit status of the whole line.
    int sh(std::string line) const {
        for (const auto& [name, program] : {std::pair{"ENC", QMZENC_PATH}, {"DEC", QMZDEC_PATH}}) {
            for (std::size_t at; (at = line.find(name)) != std::string::npos;)
                line.replace(at, 3, std::string("'") + program + "'");
        }
        return shell(line);
    }
};

// The WAV image with the data size a streaming writer leaves.
std::string streamingWav(const std::string& wav) {
    std::string s = wav;
    s.replace(s.find("data") + 4, 4, "\xFF\xFF\xFF\xFF");
    return s;
}

TEST_F(PipePrograms, EncoderReadsStandardInput) {
    signals::MusicSignal signal;
    const std::string wav = signals::wavFileImage(signals::render(signal, 50000), 2);
    write("in.wav", wav);
    write("streamed.wav", streamingWav(wav));
    ASSERT_EQ(sh("ENC in.wav file.qmz -B > file.txt"), 0);
    ASSERT_EQ(sh("cat streamed.wav | ENC - piped.qmz -B > piped.txt 2> piped.err"), 0);
    EXPECT_TRUE(slurp(path("piped.qmz")) == slurp(path("file.qmz")));
    // Worker threads need the length in advance: a pipe is coded on one
    // thread whatever -j says, with the same bytes.
    ASSERT_EQ(sh("cat streamed.wav | ENC - piped-j2.qmz -B -j 2 > /dev/null 2>&1"), 0);
    EXPECT_TRUE(slurp(path("piped-j2.qmz")) == slurp(path("file.qmz")));
    const std::string declaredTooLong =
        wav.substr(0, 40) + std::string("\x00\x00\x10\x00", 4) + wav.substr(44);
    write("too-long.wav", declaredTooLong);
    ASSERT_EQ(sh("cat too-long.wav | ENC - piped-long.qmz -B -j 2 > /dev/null 2>&1"), 0);
    EXPECT_TRUE(slurp(path("piped-long.qmz")) == slurp(path("file.qmz")));
    const std::string console = slurp(path("piped.txt"));
    EXPECT_EQ(console.find("%\r"), std::string::npos);  // no running percentage
    EXPECT_NE(console.find("*"), std::string::npos);
    EXPECT_NE(console.find("\r 100%  Average bit/sec = "), std::string::npos);
    EXPECT_EQ(slurp(path("piped.err")), "");
    // The final line is the file encode's.
    const std::string fileConsole = slurp(path("file.txt"));
    EXPECT_EQ(console.substr(console.rfind('\r')), fileConsole.substr(fileConsole.rfind('\r')));

    // Not a WAV on standard input: the classic message, no output file.
    EXPECT_EQ(sh("printf 'RIFX....WAVEfmt ' | ENC - bad.qmz > bad.txt 2> bad.err"), 2);
    EXPECT_NE(slurp(path("bad.txt")).find("Trouble reading -. Error = -3"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("bad.qmz")));
    // The .qmz header is rewritten at the end, so it cannot go to a pipe.
    EXPECT_EQ(sh("ENC in.wav - > out.txt 2> out.err"), 4);
    EXPECT_NE(slurp(path("out.err")).find("must be a file"), std::string::npos);
}

TEST_F(PipePrograms, DecoderWritesStandardOutputAndReadsStandardInput) {
    write("in.qmz", test::readDataFile("dec1_stereo.qmz"));
    const std::string reference = test::readDataFile("dec1_stereo.wav");
    write("ref.wav", reference);

    // To a pipe: standard output carries only the WAV file.
    EXPECT_EQ(sh("DEC in.qmz - 2> err.txt | cat > out.wav"), 0);
    EXPECT_TRUE(slurp(path("out.wav")) == reference);
    EXPECT_EQ(slurp(path("err.txt")), "QMZ audio decoder " QMZ_VERSION "\nin.qmz -> - \n");
    EXPECT_EQ(sh("DEC in.qmz - 2> /dev/null | cmp -s - ref.wav"), 0);

    // From a pipe, to a file: the classic console text on standard output.
    EXPECT_EQ(sh("cat in.qmz | DEC - from-pipe.wav > out.txt"), 0);
    EXPECT_TRUE(slurp(path("from-pipe.wav")) == reference);
    EXPECT_EQ(slurp(path("out.txt")), "QMZ audio decoder " QMZ_VERSION "\n- -> from-pipe.wav \n");

    // Pipe to pipe.
    EXPECT_EQ(sh("cat in.qmz | DEC - - 2> /dev/null | cmp -s - ref.wav"), 0);
    // A round trip through both programs and two pipes.
    write("music.wav",
          streamingWav(signals::wavFileImage(signals::render(signals::MusicSignal{}, 30000), 2)));
    ASSERT_EQ(sh("cat music.wav | ENC - music.qmz -E > /dev/null"), 0);
    EXPECT_EQ(sh("DEC music.qmz - 2> /dev/null | cat > music.out.wav"), 0);
    EXPECT_EQ(test::headerWord(slurp(path("music.out.wav")), 40), 30000u * 4u);
    EXPECT_EQ(slurp(path("music.out.wav")).size(), 44u + 30000u * 4u);
}

TEST_F(PipePrograms, TruncatedStreamToStandardOutput) {
    const std::string full = test::readDataFile("dec1_stereo.qmz");
    write("cut.qmz", full.substr(0, full.size() / 2));
    const std::string reference = test::readDataFile("dec1_stereo.wav");

    // Into a pipe the header cannot be fixed: the samples stop early, and
    // standard error says that the header still declares the full length.
    EXPECT_EQ(sh("(DEC cut.qmz - 2> err.txt; echo $? > status) | cat > piped.wav"), 0);
    EXPECT_EQ(slurp(path("status")), "5\n");
    const std::string piped = slurp(path("piped.wav"));
    ASSERT_GT(piped.size(), 44u);
    ASSERT_LT(piped.size(), reference.size());
    EXPECT_TRUE(piped.substr(0, 44) == reference.substr(0, 44));
    EXPECT_TRUE(piped.substr(44) == reference.substr(44, piped.size() - 44));
    const std::string err = slurp(path("err.txt"));
    EXPECT_NE(err.find("truncated"), std::string::npos);
    EXPECT_NE(err.find("cannot seek"), std::string::npos);

    // Standard output redirected to a file can seek: the header is fitted.
    EXPECT_EQ(sh("DEC cut.qmz - > redirected.wav 2> err2.txt"), 5);
    const std::string redirected = slurp(path("redirected.wav"));
    EXPECT_TRUE(redirected.substr(44) == piped.substr(44));
    EXPECT_EQ(test::headerWord(redirected, 40), redirected.size() - 44);
    EXPECT_EQ(slurp(path("err2.txt")).find("cannot seek"), std::string::npos);
}

}  // namespace
}  // namespace qmz

#endif
