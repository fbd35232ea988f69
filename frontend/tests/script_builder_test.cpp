// The batch script text: the Windows form byte for byte, the POSIX form,
// and names that must reach the programs unchanged through the shell.
#include "script_builder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qmz {
namespace {

ScriptRequest windowsRequest(std::vector<std::string> names, std::string source, std::string dest,
                             int preset = 1, int clip = 0) {
    return {std::move(names),    std::move(source), std::move(dest), preset, clip,
            ScriptStyle::windows};
}

ScriptRequest posixRequest(std::vector<std::string> names, std::string source, std::string dest,
                           int preset = 1, int clip = 0) {
    return {std::move(names), std::move(source), std::move(dest), preset, clip, ScriptStyle::posix};
}

std::string text(const ScriptRequest& r) {
    const ScriptResult result = buildScript(r);
    EXPECT_EQ(result.error, ScriptError::none);
    return result.text;
}

TEST(WindowsScript, WorkedExampleByteForByte) {
    EXPECT_EQ(text(windowsRequest({"Song.wav"}, "C:\\Music", "D:\\Out")),
              "qmzenc \"C:\\Music\\Song.wav\" \"D:\\Out\\AA_Song.qmz\" -AA -td -1 \r\n"
              "qmzdec \"D:\\Out\\AA_Song.qmz\" \"D:\\Out\\AA_Song.wav\" \r\n");
    EXPECT_STREQ(scriptFileName(ScriptStyle::windows), "go.bat");
}

TEST(WindowsScript, StemRuleEdgeCases) {
    // Capital extension: stem keeps its case, decoded name keeps the file's.
    EXPECT_EQ(text(windowsRequest({"Track.WAV"}, "C:\\M", "D:\\O")),
              "qmzenc \"C:\\M\\Track.WAV\" \"D:\\O\\AA_Track.qmz\" -AA -td -1 \r\n"
              "qmzdec \"D:\\O\\AA_Track.qmz\" \"D:\\O\\AA_Track.WAV\" \r\n");
    // The first ".wav" ends the stem; a mixed-case one counts too.
    EXPECT_EQ(text(windowsRequest({"a.wav.wav"}, "C:\\M", "D:\\O")),
              "qmzenc \"C:\\M\\a.wav.wav\" \"D:\\O\\AA_a.qmz\" -AA -td -1 \r\n"
              "qmzdec \"D:\\O\\AA_a.qmz\" \"D:\\O\\AA_a.wav.wav\" \r\n");
    EXPECT_EQ(wavStem("x.Wav"), "x.");
    EXPECT_EQ(wavStem(".wav"), ".");
    // No ".wav" at all: the encoded name is the prefix and "qmz".
    EXPECT_EQ(text(windowsRequest({"notes.wv"}, "C:\\M", "D:\\O")),
              "qmzenc \"C:\\M\\notes.wv\" \"D:\\O\\AA_qmz\" -AA -td -1 \r\n"
              "qmzdec \"D:\\O\\AA_qmz\" \"D:\\O\\AA_notes.wv\" \r\n");
    EXPECT_EQ(wavStem("wav.wa"), "");
}

TEST(WindowsScript, DriveTopLevelGetsOneBackslash) {
    EXPECT_EQ(text(windowsRequest({"Song.wav"}, "C:\\", "D:\\")),
              "qmzenc \"C:\\Song.wav\" \"D:\\AA_Song.qmz\" -AA -td -1 \r\n"
              "qmzdec \"D:\\AA_Song.qmz\" \"D:\\AA_Song.wav\" \r\n");
    // A network path keeps its leading pair.
    EXPECT_EQ(joinPath("\\\\server\\share", "x.wav", ScriptStyle::windows),
              "\\\\server\\share\\x.wav");
}

TEST(WindowsScript, NoSelectionGivesEmptyScript) {
    EXPECT_EQ(text(windowsRequest({}, "C:\\M", "D:\\O")), "");
    EXPECT_EQ(text(posixRequest({}, "/m", "/o")), "");
}

TEST(WindowsScript, PresetsClipsAndListOrder) {
    EXPECT_EQ(text(windowsRequest({"b.wav", "a.wav"}, "C:\\M", "D:\\O", 0, 2)),
              "qmzenc \"C:\\M\\b.wav\" \"D:\\O\\AAA_b.qmz\" -AAA -td 80 \r\n"
              "qmzdec \"D:\\O\\AAA_b.qmz\" \"D:\\O\\AAA_b.wav\" \r\n"
              "qmzenc \"C:\\M\\a.wav\" \"D:\\O\\AAA_a.qmz\" -AAA -td 80 \r\n"
              "qmzdec \"D:\\O\\AAA_a.qmz\" \"D:\\O\\AAA_a.wav\" \r\n");
    EXPECT_EQ(text(windowsRequest({"s.wav"}, "C:\\M", "D:\\O", 6, 1)),
              "qmzenc \"C:\\M\\s.wav\" \"D:\\O\\E_s.qmz\" -E -td 30 \r\n"
              "qmzdec \"D:\\O\\E_s.qmz\" \"D:\\O\\E_s.wav\" \r\n");
    // No button chosen in a group: its texts are empty.
    EXPECT_EQ(text(windowsRequest({"s.wav"}, "C:\\M", "D:\\O", -1, -1)),
              "qmzenc \"C:\\M\\s.wav\" \"D:\\O\\s.qmz\" \r\n"
              "qmzdec \"D:\\O\\s.qmz\" \"D:\\O\\s.wav\" \r\n");
    EXPECT_STREQ(presetCaption(1), "AA    (6:1)");
    EXPECT_STREQ(presetCaption(2), "A      (8:1)");
}

TEST(WindowsScript, PercentDoubledAndUnquotableNamesRefused) {
    EXPECT_EQ(text(windowsRequest({"100% mix.wav"}, "C:\\%TEMP%", "D:\\O")),
              "qmzenc \"C:\\%%TEMP%%\\100%% mix.wav\" \"D:\\O\\AA_100%% mix.qmz\" -AA -td -1 \r\n"
              "qmzdec \"D:\\O\\AA_100%% mix.qmz\" \"D:\\O\\AA_100%% mix.wav\" \r\n");
    // Characters that are harmless inside double quotes stay as they are.
    EXPECT_EQ(text(windowsRequest({"a&b ^c $d `e`.wav"}, "C:\\M", "D:\\O")),
              "qmzenc \"C:\\M\\a&b ^c $d `e`.wav\" \"D:\\O\\AA_a&b ^c $d `e`.qmz\" -AA -td -1 \r\n"
              "qmzdec \"D:\\O\\AA_a&b ^c $d `e`.qmz\" \"D:\\O\\AA_a&b ^c $d `e`.wav\" \r\n");
    for (const char* bad : {"a\".wav", "a\r.wav", "a\n.wav"}) {
        const ScriptResult r = buildScript(windowsRequest({"ok.wav", bad}, "C:\\M", "D:\\O"));
        EXPECT_EQ(r.error, ScriptError::unquotableInBatch) << bad;
        EXPECT_EQ(r.text, "");
    }
    EXPECT_EQ(buildScript(windowsRequest({"ok.wav"}, "C:\\\"x", "D:\\O")).error,
              ScriptError::unquotableInBatch);
}

TEST(PosixScript, SameCasesWithSlashesSingleQuotesAndLf) {
    EXPECT_EQ(text(posixRequest({"Song.wav"}, "/music", "/out")),
              "qmzenc '/music/Song.wav' '/out/AA_Song.qmz' -AA -td -1 \n"
              "qmzdec '/out/AA_Song.qmz' '/out/AA_Song.wav' \n");
    EXPECT_EQ(text(posixRequest({"Track.WAV", "a.wav.wav", "notes"}, "/", "/", 3, 2)),
              "qmzenc '/Track.WAV' '/B_Track.qmz' -B -td 80 \n"
              "qmzdec '/B_Track.qmz' '/B_Track.WAV' \n"
              "qmzenc '/a.wav.wav' '/B_a.qmz' -B -td 80 \n"
              "qmzdec '/B_a.qmz' '/B_a.wav.wav' \n"
              "qmzenc '/notes' '/B_qmz' -B -td 80 \n"
              "qmzdec '/B_qmz' '/B_notes' \n");
    EXPECT_EQ(text(posixRequest({"x.wav"}, "/m/", "/o")),
              "qmzenc '/m/x.wav' '/o/AA_x.qmz' -AA -td -1 \n"
              "qmzdec '/o/AA_x.qmz' '/o/AA_x.wav' \n");
    EXPECT_STREQ(scriptFileName(ScriptStyle::posix), "go.sh");
}

TEST(PosixScript, QuoteInsideNameIsClosedEscapedReopened) {
    EXPECT_EQ(quoteArgument("/m/it's.wav", ScriptStyle::posix), "'/m/it'\\''s.wav'");
    EXPECT_EQ(quoteArgument("'", ScriptStyle::posix), "''\\'''");
}

// Runs a POSIX script with stand-in programs that record their arguments
// one per line, so what the shell makes of every name is seen exactly.
class PosixScriptRun : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qmzfront_script_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        for (const char* tool : {"qmzenc", "qmzdec"}) {
            const auto path = dir_ / tool;
            std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '"
                                << (dir_ / "args").string() << "'\necho end >> '"
                                << (dir_ / "args").string() << "'\n";
            std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        }
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string run(const std::string& script) {
        std::ofstream(dir_ / "go.sh", std::ios::binary) << script;
        const std::string command = "cd '" + dir_.string() + "' && PATH='" + dir_.string() +
                                    "':/usr/bin:/bin /bin/sh ./go.sh";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::ifstream in(dir_ / "args");
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    std::filesystem::path dir_;
};

TEST_F(PosixScriptRun, HostileNamesReachTheProgramsUnchanged) {
    const std::string name = "it's a $HOME `touch pwned` $(touch pwned2); %x% \\n.wav";
    const std::string source = "/src dir/$USER";
    const std::string script = text(posixRequest({name}, source, dir_.string(), 4, 1));
    const std::string d = dir_.string() + "/C_";
    const std::string stem = "it's a $HOME `touch pwned` $(touch pwned2); %x% \\n.";
    EXPECT_EQ(run(script), source + "/" + name + "\n" + d + stem + "qmz\n-C\n-td\n30\nend\n" + d +
                               stem + "qmz\n" + d + name + "\nend\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "pwned"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "pwned2"));
}

TEST_F(PosixScriptRun, LineBreakInsideNameStaysOneArgument) {
    const std::string script = text(posixRequest({"two\nlines.wav"}, "/s", "/d", 2, 0));
    EXPECT_EQ(run(script),
              "/s/two\nlines.wav\n/d/A_two\nlines.qmz\n-A\n-td\n-1\nend\n"
              "/d/A_two\nlines.qmz\n/d/A_two\nlines.wav\nend\n");
}

TEST(BatchItems, PathsOfEachLineAndSharedOutputs) {
    const ScriptRequest r =
        posixRequest({"a.wav", "b.wav", "a.WAV", "x", "a.wav.wav", "y.txt"}, "/s", "/d/");
    const std::vector<BatchItem> items = batchItems(r);
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[2].source, "/s/a.WAV");
    EXPECT_EQ(items[2].encoded, "/d/AA_a.qmz");
    EXPECT_EQ(items[2].decoded, "/d/AA_a.WAV");
    EXPECT_EQ(items[3].encoded, "/d/AA_qmz");
    // Three names give AA_a.qmz, two without ".wav" give AA_qmz.
    using Groups = std::vector<std::vector<std::size_t>>;
    EXPECT_EQ(sharedOutputs(items, ScriptStyle::posix), (Groups{{0, 2, 4}, {3, 5}}));
    EXPECT_EQ(
        sharedOutputs(batchItems(posixRequest({"a.wav", "b.wav"}, "/s", "/d")), ScriptStyle::posix),
        Groups{});
    // Letter case: distinct files for the shell, one file for Windows.
    const ScriptRequest cased = posixRequest({"Song.wav", "song.wav"}, "/s", "/d");
    EXPECT_EQ(sharedOutputs(batchItems(cased), ScriptStyle::posix), Groups{});
    EXPECT_EQ(sharedOutputs(batchItems(cased), ScriptStyle::windows), (Groups{{0, 1}}));
}

}  // namespace
}  // namespace qmz
