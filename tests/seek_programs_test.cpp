// qmzdec --skip/--until and qmzenc --seek-table as a user runs them.
#include <gtest/gtest.h>

#include <optional>

#include "codec_harness.h"
#include "io/seek_table_writer.h"
#include "io/time_option.h"
#include "program_harness.h"

#if defined(QMZENC_PATH) && defined(QMZDEC_PATH)

namespace qmz {
namespace {

class SeekPrograms : public test::ProgramDirTest {};

// The tag block with the seek table of the stream `qmz`.
std::string seekTableBlock(const std::string& qmz) {
    ContainerFile file;
    readContainerHeader(reinterpret_cast<const uint8_t*>(qmz.data()), qmz.size(), file);
    SeekTableBuilder builder(file.header.channels);
    builder.payload(reinterpret_cast<const uint8_t*>(qmz.data()) + kContainerHeaderSize,
                    qmz.size() - kContainerHeaderSize);
    Tags tags;
    tags.seekTable = builder.finish(file.header.samplesPerChannel);
    std::vector<uint8_t> block;
    writeTagBlock(tags, block);
    return {block.begin(), block.end()};
}

// The data chunk's samples, and whether the header's sizes match the file.
std::vector<int16_t> wavSamples(const std::string& wav, bool& sizesMatch) {
    std::vector<int16_t> samples;
    sizesMatch = wav.size() >= 44 && test::headerWord(wav, 4) == wav.size() - 8 &&
                 test::headerWord(wav, 40) == wav.size() - 44;
    for (std::size_t i = 44; i + 1 < wav.size(); i += 2)
        samples.push_back(
            static_cast<int16_t>(loadLe16(reinterpret_cast<const uint8_t*>(wav.data() + i))));
    return samples;
}

// Ranges decoded by qmzdec hold exactly the linear decode's samples there,
// with a WAV header that says so, written to a file or through a pipe; a
// range that is no range is a usage error and writes nothing.
TEST_F(SeekPrograms, QmzdecDecodesTheRangeAskedFor) {
    const std::string qmz = test::readDataFile("dec1_stereo.qmz");  // 98703 sample frames
    write("plain.qmz", qmz);
    write("in.qmz", qmz + seekTableBlock(qmz));
    const std::vector<int16_t> all = test::decodeImage(qmz).samples;
    struct Case {
        const char* args;
        int status;
        int64_t first, end;  // the sample frames expected
    };
    const Case cases[] = {
        {"--skip 0.5 --until 1 in.qmz out.wav", 0, 22050, 44100},
        {"in.qmz out.wav --skip=0:01.25", 0, 55125, 98703},
        {"--until 00:10 in.qmz out.wav", 0, 0, 98703},
        {"--skip 2.2 --until 2.238 in.qmz out.wav", 0, 97020, 98696},
        {"--skip 1.5 in.qmz - > out.wav", 0, 66150, 98703},
        {"--skip 1.5 --until 2 - - < in.qmz > out.wav", 0, 66150, 88200},
        {"--skip 1.5 --until 2 plain.qmz out.wav", 0, 66150, 88200},  // see below
        {"-F --skip 0.5 --until 1 in.qmz out.wav", 0, 22050, 44100},
        {"-j 2 in.qmz out.wav --skip=0:01.25", 0, 55125, 98703},
        {"-F -j 3 --until 00:10 in.qmz out.wav", 0, 0, 98703},
        {"-F --skip 1.5 - out.wav < in.qmz", 0, 66150, 98703},
        {"cat plain.qmz | DEC --skip 1.5 - out.wav", 0, 66150, 98703},
        {"--skip 3 in.qmz out.wav", 1, 0, 0},
        {"--skip 1 --until 1 in.qmz out.wav", 1, 0, 0},
        {"--skip 1 --until 0:00.5 in.qmz out.wav", 1, 0, 0},
        {"--skip -1 in.qmz out.wav", 1, 0, 0},
        {"--skip 1:60 in.qmz out.wav", 1, 0, 0},
        {"--skip 1e2 in.qmz out.wav", 1, 0, 0},
        {"in.qmz out.wav --until", 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::filesystem::remove(path("out.wav"));
        const std::string line = c.args;
        ASSERT_EQ(sh((line.starts_with("cat") ? "" : "DEC ") + line + " 2> err"), c.status);
        if (c.status != 0) {
            EXPECT_FALSE(std::filesystem::exists(path("out.wav")));
            EXPECT_NE(slurp(path("err")), "");
            continue;
        }
        bool sizesMatch = false;
        const std::vector<int16_t> got = wavSamples(slurp(path("out.wav")), sizesMatch);
        EXPECT_TRUE(sizesMatch);
        // Without a seek table and a pipe, noise bands differ: the length does not.
        const std::vector<int16_t> expected(all.begin() + 2 * c.first, all.begin() + 2 * c.end);
        if (line.starts_with("--skip 1.5 --until 2 plain"))
            EXPECT_EQ(got.size(), expected.size());
        else
            EXPECT_TRUE(got == expected);
    }
}

// --seek-table leaves the stream's bytes as they were and makes a range
// decode exact, noise bands included.
TEST_F(SeekPrograms, SeekTableIsAppendedAfterTheUnchangedStream) {
    write("in.wav", test::readDataFile("enc1_stereo.wav"));
    ASSERT_EQ(sh("ENC in.wav plain.qmz -E > /dev/null && ENC in.wav table.qmz -E --seek-table "
                 "> /dev/null"),
              0);
    const std::string plain = slurp(path("plain.qmz")), table = slurp(path("table.qmz"));
    ASSERT_GT(table.size(), plain.size());
    EXPECT_TRUE(table.compare(0, plain.size(), plain) == 0);
    const std::vector<int16_t> all = test::decodeImage(plain).samples;
    ASSERT_EQ(sh("DEC --skip 1.1 table.qmz out.wav > /dev/null"), 0);
    bool sizesMatch = false;
    EXPECT_TRUE(wavSamples(slurp(path("out.wav")), sizesMatch) ==
                std::vector<int16_t>(all.begin() + 2 * 48510, all.end()));
}

TEST(TimeOption, SecondsAndMinutes) {
    const std::pair<const char*, std::optional<double>> cases[] = {{"12.5", 12.5},
                                                                   {"0", 0.0},
                                                                   {".5", 0.5},
                                                                   {"2:31", 151.0},
                                                                   {"02:31.250", 151.25},
                                                                   {"0:59.9", 59.9},
                                                                   {"", std::nullopt},
                                                                   {"1:60", std::nullopt},
                                                                   {"-1", std::nullopt},
                                                                   {"1e3", std::nullopt},
                                                                   {":5", std::nullopt},
                                                                   {"1:", std::nullopt},
                                                                   {"1.2.3", std::nullopt},
                                                                   {"1:2:3", std::nullopt}};
    for (const auto& [text, seconds] : cases) {
        SCOPED_TRACE(text);
        const std::optional<double> got = parseTimeOption(text);
        ASSERT_EQ(got.has_value(), seconds.has_value());
        if (got) {
            EXPECT_NEAR(*got, *seconds, 1e-12);
        }
    }
    EXPECT_EQ(sampleFrameAt(151.25, 44100), 6670125);
}

}  // namespace
}  // namespace qmz

#endif
