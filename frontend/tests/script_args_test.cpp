// The headless mode's command line.
#include "script_args.h"

#include <gtest/gtest.h>

namespace qmz {
namespace {

TEST(PrintScriptArgs, FullCommandLine) {
    const PrintScriptArgs a =
        parsePrintScriptArgs({"--print-script", "--style", "windows", "--source", "C:\\M", "--dest",
                              "D:\\O", "--preset", "6", "--clip", "2", "b.wav", "a.wav"});
    ASSERT_EQ(a.error, ArgsError::none);
    EXPECT_EQ(a.request.style, ScriptStyle::windows);
    EXPECT_EQ(a.request.sourcePath, "C:\\M");
    EXPECT_EQ(a.request.destPath, "D:\\O");
    EXPECT_EQ(a.request.presetRow, 6);
    EXPECT_EQ(a.request.clipRow, 2);
    EXPECT_EQ(a.request.names, (std::vector<std::string>{"b.wav", "a.wav"}));
}

TEST(PrintScriptArgs, DefaultsAndEndOfOptions) {
    const PrintScriptArgs a =
        parsePrintScriptArgs({"x.wav", "--print-script", "--source", "/s", "--dest", "/d",
                              "--preset", "0", "--clip", "0", "--", "--odd.wav", "-AA"});
    ASSERT_EQ(a.error, ArgsError::none);
    EXPECT_EQ(a.request.style, nativeScriptStyle());
    EXPECT_EQ(a.request.names, (std::vector<std::string>{"x.wav", "--odd.wav", "-AA"}));
    const PrintScriptArgs none = parsePrintScriptArgs(
        {"--print-script", "--source", "/s", "--dest", "/d", "--preset", "1", "--clip", "0"});
    EXPECT_EQ(none.error, ArgsError::none);
    EXPECT_TRUE(none.request.names.empty());
    EXPECT_TRUE(wantsPrintScript({"a", "--print-script"}));
    EXPECT_FALSE(wantsPrintScript({"--", "--print-script"}));
    EXPECT_FALSE(wantsPrintScript({}));
}

TEST(PrintScriptArgs, Refusals) {
    const std::vector<std::string> base = {"--print-script", "--source", "/s", "--dest", "/d"};
    auto with = [&base](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return parsePrintScriptArgs(args);
    };
    struct Case {
        std::vector<std::string> more;
        ArgsError error;
        std::string offending;
    };
    const Case cases[] = {
        {{"--preset", "7", "--clip", "0"}, ArgsError::badRow, "7"},
        {{"--preset", "-1", "--clip", "0"}, ArgsError::badRow, "-1"},
        {{"--preset", "1", "--clip", "3"}, ArgsError::badRow, "3"},
        {{"--preset", "1x", "--clip", "0"}, ArgsError::badRow, "1x"},
        {{"--preset", "", "--clip", "0"}, ArgsError::badRow, ""},
        {{"--preset", "1"}, ArgsError::missingOption, "--clip"},
        {{"--clip", "1"}, ArgsError::missingOption, "--preset"},
        {{"--preset", "1", "--clip", "0", "--style", "dos"}, ArgsError::badStyle, "dos"},
        {{"--preset", "1", "--clip", "0", "--verbose"}, ArgsError::unknownOption, "--verbose"},
        {{"--preset", "1", "--clip"}, ArgsError::missingValue, "--clip"},
        {{"--preset", "1", "--clip", "0", "--dest", ""}, ArgsError::emptyPath, "--dest"},
        {{"--source", "", "--preset", "1", "--clip", "0"}, ArgsError::emptyPath, "--source"},
    };
    for (const Case& c : cases) {
        const PrintScriptArgs a = with(c.more);
        EXPECT_EQ(a.error, c.error) << c.more.back();
        EXPECT_EQ(a.offending, c.offending) << c.more.back();
    }
    EXPECT_EQ(
        parsePrintScriptArgs({"--print-script", "--dest", "/d", "--preset", "1", "--clip", "0"})
            .offending,
        "--source");
}

}  // namespace
}  // namespace qmz
