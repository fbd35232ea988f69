// Tags through the programs and the library: options, the WAV's LIST/INFO
// chunk in and out, qmzinfo's listing, damaged blocks, and proof that the
// decoder never reads the block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "io/riff_info.h"
#include "io/tag_options.h"
#include "io/wav_reader.h"
#include "program_harness.h"
#include "qmz/codec.h"
#include "wav_image.h"

namespace qmz {
namespace {

using test::chunk;

// --- the option parser -------------------------------------------------------

TEST(TagOptions, ValuesAreConsumedAndTheRestKeptInOrder) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> fields;
        std::vector<std::string> rest;
    } cases[] = {
        {{"-B", "--title", "-E", "-td", "5"}, {{"TITLE", "-E"}}, {"-B", "-td", "5"}},
        {{"--tag", "genre=Jazz", "--track", "3", "-j", "2"},
         {{"GENRE", "Jazz"}, {"TRACKNUMBER", "3"}},
         {"-j", "2"}},
        {{"--tag", "A=B=C", "--artist", "--album"}, {{"A", "B=C"}, {"ARTIST", "--album"}}, {}},
        {{"--comment", "", "--date", "1999", "--genre", "x", "--album", "y"},
         {{"COMMENT", ""}, {"DATE", "1999"}, {"GENRE", "x"}, {"ALBUM", "y"}},
         {}},
    };
    for (const auto& c : cases) {
        const TagOptions parsed = extractTagOptions(c.args);
        EXPECT_EQ(parsed.error, "") << c.args[0];
        EXPECT_EQ(parsed.tags.fields, c.fields) << c.args[0];
        EXPECT_EQ(parsed.rest, c.rest) << c.args[0];
    }
}

TEST(TagOptions, BadTagsAreRefusedWithTheArgumentNamed) {
    const struct {
        std::vector<std::string> args;
        const char* named;
    } cases[] = {
        {{"-B", "--title"}, "--title needs a value"},
        {{"--tag", "noequals"}, "noequals"},
        {{"--tag", "=x"}, "=x"},
        {{"--tag", "K\tEY=x"}, "K\tEY=x"},
        {{"--artist", "\xFF"}, "--artist"},
        {{"--tag", "TITLE=\xC3"}, "TITLE="},
    };
    for (const auto& c : cases) {
        const TagOptions parsed = extractTagOptions(c.args);
        EXPECT_NE(parsed.error.find(c.named), std::string::npos) << parsed.error;
    }
}

TEST(TagOptions, CommandLineOverridesTheInputKeyByKey) {
    Tags fromWav;
    fromWav.fields = {{"TITLE", "a"}, {"ARTIST", "b"}, {"ALBUM", "c"}};
    Tags given;
    given.fields = {{"ARTIST", "x"}, {"ARTIST", "y"}, {"ALBUM", ""}};
    const Tags merged = overrideTags(fromWav, given);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"TITLE", "a"}, {"ARTIST", "x"}, {"ARTIST", "y"}};
    EXPECT_EQ(merged.fields, expected);
}

// --- the WAV reader keeps a LIST chunk's body ------------------------------------

std::string tone(int frames) {
    std::string data;
    for (int i = 0; i < frames; ++i) {
        const auto v = static_cast<int16_t>(6000 * std::sin(0.031 * i) + 2000 * std::sin(0.2 * i));
        data += test::le16(static_cast<uint16_t>(v)) + test::le16(static_cast<uint16_t>(-v / 2));
    }
    return data;
}

std::string infoList(const std::string& title, const std::string& artist) {
    return chunk("LIST", "INFO" + chunk("INAM", title + '\0') + chunk("IART", artist + '\0'));
}

std::string wavWith(const std::string& between, const std::string& data) {
    return test::riffWave(chunk("fmt ", test::formatBlock(1, 2)) + between + chunk("data", data));
}

TEST(WavListChunk, CollectedBeforeDataOnlyWhenSmall) {
    const std::string data = tone(100);
    const std::string small = infoList("Odd title", "x");
    const std::string large = chunk("LIST", "INFO" + std::string(kMaxListChunkBody, 'z'));
    const struct {
        std::string between;
        std::size_t bodySize;
    } cases[] = {{small, small.size() - 8}, {large, 0}, {chunk("junk", "abc"), 0}, {"", 0}};
    for (const auto& c : cases) {
        std::istringstream in(wavWith(c.between, data));
        WavInput input;
        ASSERT_EQ(parseWavHeader(in, input), WavReadError::Ok);
        EXPECT_EQ(input.listChunkBody.size(), c.bodySize);
        EXPECT_EQ(input.dataChunk.size, data.size());
        char first[4];
        in.read(first, 4);  // the reader stands at the first sample byte
        EXPECT_EQ(std::string(first, 4), data.substr(0, 4));
    }
}

// --- the programs ------------------------------------------------------------------

#if defined(QMZENC_PATH) && defined(QMZDEC_PATH) && defined(QMZINFO_PATH)

uint32_t word(const std::string& bytes, std::size_t at) {
    return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
           static_cast<uint8_t>(bytes[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

class TagPrograms : public test::ProgramDirTest {
  protected:
    void SetUp() override {
        ProgramDirTest::SetUp();
        const std::string data = tone(30000);
        write("plain.wav", wavWith("", data));
        write("info.wav", wavWith(infoList("Caf\xE9 Song", "Someone"), data));  // Latin-1
        ASSERT_EQ(run(QMZENC_PATH, "plain.wav plain.qmz -B"), 0);
        ASSERT_EQ(run(QMZDEC_PATH, "plain.qmz plain.out.wav"), 0);
        plainQmz_ = slurp(path("plain.qmz"));
        plainWav_ = slurp(path("plain.out.wav"));
    }
    int run(const std::string& program, const std::string& args) const {
        return shell("'" + program + "' " + args + " > stdout 2> stderr");
    }
    std::string plainQmz_, plainWav_;
};

TEST_F(TagPrograms, WavInfoToQmzToInfoToWavRoundTrip) {
    ASSERT_EQ(run(QMZENC_PATH, "info.wav tagged.qmz --artist 'Other \xC3\xBC' -B --tag genre=Jazz"),
              0);
    const std::string tagged = slurp(path("tagged.qmz"));
    // The stream is the untagged file's, byte for byte; the block follows it.
    ASSERT_GT(tagged.size(), plainQmz_.size());
    EXPECT_EQ(tagged.substr(0, plainQmz_.size()), plainQmz_);
    EXPECT_EQ(tagged.substr(tagged.size() - 8), "QMZTAGS1");

    ASSERT_EQ(run(QMZINFO_PATH, "tagged.qmz"), 0);
    const std::string info = slurp(path("stdout"));
    EXPECT_NE(info.find("tags:            TITLE=Caf\xC3\xA9 Song\n"
                        "                 ARTIST=Other \xC3\xBC\n"
                        "                 GENRE=Jazz\n"),
              std::string::npos)
        << info;
    EXPECT_EQ(info.find("note:"), std::string::npos) << info;

    ASSERT_EQ(run(QMZDEC_PATH, "tagged.qmz tagged.out.wav"), 0);
    const std::string wav = slurp(path("tagged.out.wav"));
    // Header and samples unchanged but for the RIFF size, which covers the list.
    ASSERT_GT(wav.size(), plainWav_.size());
    EXPECT_EQ(wav.substr(8, plainWav_.size() - 8), plainWav_.substr(8));
    EXPECT_EQ(word(wav, 4), wav.size() - 8);
    const std::string list = wav.substr(plainWav_.size());
    ASSERT_EQ(list.substr(0, 4), "LIST");
    ASSERT_EQ(word(list, 4), list.size() - 8);
    Tags back;
    parseInfoList({reinterpret_cast<const uint8_t*>(list.data()) + 8, list.size() - 8}, back);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"TITLE", "Caf\xC3\xA9 Song"}, {"ARTIST", "Other \xC3\xBC"}, {"GENRE", "Jazz"}};
    EXPECT_EQ(back.fields, expected);
}

TEST_F(TagPrograms, BadOptionsWriteNothing) {
    for (const char* args : {"plain.wav bad.qmz --title", "plain.wav bad.qmz --tag =x",
                             "plain.wav bad.qmz --tag 'TITLE=\xFF'"}) {
        EXPECT_EQ(run(QMZENC_PATH, args), 1) << args;
        EXPECT_NE(slurp(path("stderr")).find("nothing was written"), std::string::npos) << args;
        EXPECT_FALSE(std::filesystem::exists(path("bad.qmz"))) << args;
    }
}

// Damage in the block is a note, never followed: the samples and exit status
// are those of the untagged file.
TEST_F(TagPrograms, DamagedBlocksAreReportedAndIgnored) {
    ASSERT_EQ(run(QMZENC_PATH, "plain.wav tagged.qmz -B --title T --tag X=y"), 0);
    const std::string tagged = slurp(path("tagged.qmz"));
    const std::size_t footer = tagged.size() - 16;
    const struct {
        const char* what;
        std::size_t at;
        uint32_t value;
    } cases[] = {
        {"size past the file", footer + 4, 0x00F00000},
        {"huge count", footer, 0xFFFFFFFF},
        {"count one more", footer, 3},
        {"item length past the block", plainQmz_.size() + 1, 0x7FFFFFFF},
    };
    for (const auto& c : cases) {
        std::string damaged = tagged;
        for (int i = 0; i < 4; ++i) damaged[c.at + i] = static_cast<char>(c.value >> (8 * i));
        write("damaged.qmz", damaged);
        EXPECT_EQ(run(QMZINFO_PATH, "damaged.qmz"), 0) << c.what;
        const std::string info = slurp(path("stdout"));
        EXPECT_NE(info.find("note:            tag block ignored: "), std::string::npos) << c.what;
        EXPECT_EQ(info.find("tags:"), std::string::npos) << c.what;
        EXPECT_EQ(run(QMZDEC_PATH, "damaged.qmz damaged.wav"), 0) << c.what;
        EXPECT_NE(slurp(path("stderr")).find("the tags were ignored"), std::string::npos)
            << c.what;
        EXPECT_EQ(slurp(path("damaged.wav")), plainWav_) << c.what;
    }
}

TEST_F(TagPrograms, FromAPipeTheStreamDecodesAlone) {
    ASSERT_EQ(run(QMZENC_PATH, "plain.wav tagged.qmz -B --title T"), 0);
    EXPECT_EQ(shell("cat tagged.qmz | '" QMZDEC_PATH "' - piped.wav 2> stderr > /dev/null"), 0);
    EXPECT_EQ(slurp(path("piped.wav")), plainWav_);
    EXPECT_EQ(run(QMZDEC_PATH, "tagged.qmz -"), 0);
    EXPECT_EQ(slurp(path("stdout")), plainWav_);
    EXPECT_NE(slurp(path("stderr")).find("not written to standard output"), std::string::npos);
}

// --- the library --------------------------------------------------------------------

TEST_F(TagPrograms, LibraryWritesReplacesAndRemovesTags) {
    write("lib.qmz", plainQmz_);
    FileTags tags;
    ASSERT_EQ(readTags(path("lib.qmz"), tags), Status::Ok);
    EXPECT_TRUE(tags.fields.empty());

    tags.fields = {{"TITLE", "Long title"}, {"ARTIST", "A"}};
    tags.picture = CoverPicture{"image/png", "front", {1, 2, 3, 4, 5}};
    ASSERT_EQ(writeTags(path("lib.qmz"), tags), Status::Ok);
    FileTags back;
    ASSERT_EQ(readTags(path("lib.qmz"), back), Status::Ok);
    EXPECT_EQ(back.fields, tags.fields);
    ASSERT_TRUE(back.picture);
    EXPECT_EQ(back.picture->data, tags.picture->data);
    ASSERT_EQ(run(QMZINFO_PATH, "lib.qmz"), 0);
    EXPECT_NE(slurp(path("stdout")).find("picture: image/png, \"front\", 5 bytes"),
              std::string::npos);

    // A shorter block replaces the old one whole; no tags restore the bare stream.
    tags.fields = {{"TITLE", "T"}};
    tags.picture.reset();
    ASSERT_EQ(writeTags(path("lib.qmz"), tags), Status::Ok);
    ASSERT_EQ(readTags(path("lib.qmz"), back), Status::Ok);
    EXPECT_EQ(back.fields, tags.fields);
    EXPECT_FALSE(back.picture);
    ASSERT_EQ(writeTags(path("lib.qmz"), FileTags{}), Status::Ok);
    EXPECT_EQ(slurp(path("lib.qmz")), plainQmz_);

    tags.fields = {{"BAD=KEY", "x"}};
    EXPECT_EQ(writeTags(path("lib.qmz"), tags), Status::InvalidArgument);
    EXPECT_EQ(slurp(path("lib.qmz")), plainQmz_);
    EXPECT_EQ(readTags(path("plain.wav"), back), Status::NotQmz);
    EXPECT_EQ(readTags(path("missing.qmz"), back), Status::CannotOpen);
    write("damaged.qmz", plainQmz_ + std::string("\x01\0\0\0\0", 5) +
                             std::string("\x05\0\0\0\x10\0\0\0QMZTAGS1", 16));
    EXPECT_EQ(readTags(path("damaged.qmz"), back), Status::BadTags);
    tags.fields = {{"TITLE", "T"}};
    EXPECT_EQ(writeTags(path("damaged.qmz"), tags), Status::BadTags);
}

std::vector<int16_t> decodeAll(std::istream& in, Status& status) {
    StreamDecoder decoder(in);
    std::vector<int16_t> pcm, chunkPcm(4096 * 2);
    while (std::size_t frames = decoder.read(chunkPcm.data(), 4096))
        pcm.insert(pcm.end(), chunkPcm.begin(), chunkPcm.begin() + frames * 2);
    status = decoder.status();
    return pcm;
}

// The bit reader fetches ahead in 4 KiB pieces, so bytes of the block may
// enter its buffer; no decoded sample may depend on them.
TEST_F(TagPrograms, NoDecodedSampleDependsOnTheBlock) {
    ASSERT_EQ(run(QMZENC_PATH, "info.wav tagged.qmz -B --comment 'read me not'"), 0);
    const std::string tagged = slurp(path("tagged.qmz"));
    ASSERT_GT(tagged.size(), plainQmz_.size());
    Status status;
    std::istringstream plainIn(plainQmz_);
    const std::vector<int16_t> plain = decodeAll(plainIn, status);
    ASSERT_EQ(status, Status::Ok);
    ASSERT_FALSE(plain.empty());

    const auto blockAt = static_cast<std::ptrdiff_t>(plainQmz_.size());
    for (const int fill : {-1, 0x00, 0xFF, 0xA5}) {  // -1: the real block
        std::string bytes = tagged;
        if (fill >= 0) std::fill(bytes.begin() + blockAt, bytes.end(), static_cast<char>(fill));
        std::istringstream in(bytes);
        EXPECT_EQ(decodeAll(in, status), plain) << fill;
        EXPECT_EQ(status, Status::Ok) << fill;
    }
}

#endif

}  // namespace
}  // namespace qmz
