// Tag blocks: what is written reads back, what is damaged is refused whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "io/riff_info.h"
#include "io/tag_block.h"
#include "io/tag_file.h"

namespace qmz {
namespace {

Tags sampleTags() {
    Tags tags;
    tags.fields = {{"TITLE", "Sonate für Klavier"}, {"ARTIST", "Ensemble ø"}, {"DATE", "1999"}};
    tags.picture = TagPicture{"image/png", "cover", {0x89, 'P', 'N', 'G', 0, 1, 2}};
    return tags;
}

// Parses a whole block (items and footer) as a reader would find it at the
// end of a file with `before` bytes ahead of it.
TagError parseBlock(const std::vector<uint8_t>& block, Tags& tags, uint64_t before = 1000) {
    if (block.size() < kTagFooterSize) return TagError::NoBlock;
    TagFooter footer;
    const std::span<const uint8_t, kTagFooterSize> footerBytes(block.end() - kTagFooterSize,
                                                               kTagFooterSize);
    const TagError error = readTagFooter(footerBytes, before + block.size() - kTagFooterSize,
                                         footer);
    if (error != TagError::None) return error;
    if (footer.blockSize > block.size()) return TagError::BlockPastStart;
    const std::span<const uint8_t> items(block.end() - footer.blockSize,
                                         block.end() - kTagFooterSize);
    return parseTagItems(items, footer, tags);
}

void putU32(std::vector<uint8_t>& bytes, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(TagBlock, RoundTripKeepsFieldsInOrderAndThePicture) {
    std::vector<uint8_t> block;
    ASSERT_EQ(writeTagBlock(sampleTags(), block), TagError::None);
    Tags back;
    ASSERT_EQ(parseBlock(block, back), TagError::None);
    EXPECT_EQ(back.fields, sampleTags().fields);
    ASSERT_TRUE(back.picture);
    EXPECT_EQ(back.picture->mimeType, "image/png");
    EXPECT_EQ(back.picture->description, "cover");
    EXPECT_EQ(back.picture->data, sampleTags().picture->data);
    EXPECT_EQ(*back.find("title"), "Sonate für Klavier");
}

TEST(TagBlock, NoTagsWriteNoBytes) {
    std::vector<uint8_t> block = {1, 2, 3};
    EXPECT_EQ(writeTagBlock(Tags{}, block), TagError::None);
    EXPECT_TRUE(block.empty());
}

TEST(TagBlock, WriterRefusesWhatAReaderWouldRefuse) {
    const struct {
        const char* key;
        std::string value;
        TagError error;
    } cases[] = {
        {"", "x", TagError::BadKey},
        {"A=B", "x", TagError::BadKey},
        {"TAB\t", "x", TagError::BadKey},
        {"TITLE", "\xC3", TagError::BadText},          // cut sequence
        {"TITLE", "\xC0\x80", TagError::BadText},      // overlong NUL
        {"TITLE", "\xED\xA0\x80", TagError::BadText},  // surrogate
        {"TITLE", std::string(kMaxTagBlockSize, 'x'), TagError::BlockTooLarge},
    };
    for (const auto& c : cases) {
        Tags tags;
        tags.fields = {{c.key, c.value}};
        std::vector<uint8_t> block;
        EXPECT_EQ(writeTagBlock(tags, block), c.error) << c.key;
        EXPECT_TRUE(block.empty());
    }
}

// Each damage to a good block must be reported, and must leave no tags.
TEST(TagBlock, DamageIsReportedNeverFollowed) {
    std::vector<uint8_t> good;
    ASSERT_EQ(writeTagBlock(sampleTags(), good), TagError::None);
    const std::size_t footerAt = good.size() - kTagFooterSize;
    const uint32_t size = static_cast<uint32_t>(good.size());
    const struct {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        TagError error;
    } cases[] = {
        {"magic", [&](auto& b) { b[footerAt + 15] = '2'; }, TagError::NoBlock},
        {"size below footer", [&](auto& b) { putU32(b, footerAt + 4, 15); }, TagError::BadFooter},
        {"size past file", [&](auto& b) { putU32(b, footerAt + 4, size + 5000); },
         TagError::BlockPastStart},
        {"huge size", [&](auto& b) { putU32(b, footerAt + 4, 0xFFFFFFF0u); },
         TagError::BlockTooLarge},
        {"huge count", [&](auto& b) { putU32(b, footerAt, 0xFFFFFFFFu); }, TagError::BadFooter},
        {"count one short", [&](auto& b) { putU32(b, footerAt, 3); }, TagError::CountMismatch},
        {"item length past block", [&](auto& b) { putU32(b, 1, 0x7FFFFFFF); }, TagError::BadItem},
        {"unknown kind", [&](auto& b) { b[0] = 9; }, TagError::BadItem},
        {"field without =", [&](auto& b) { b[5 + 5] = '_'; }, TagError::BadKey},
        {"value not UTF-8", [&](auto& b) { b[5 + 6] = 0xFF; }, TagError::BadText},
        {"size smaller than items", [&](auto& b) { putU32(b, footerAt + 4, size - 3); },
         TagError::BadItem},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> block = good;
        c.damage(block);
        Tags tags;
        tags.fields = {{"STALE", "x"}};
        EXPECT_EQ(parseBlock(block, tags), c.error) << c.what;
        if (c.error != TagError::NoBlock && c.error != TagError::BadFooter &&
            c.error != TagError::BlockPastStart && c.error != TagError::BlockTooLarge) {
            EXPECT_TRUE(tags.empty()) << c.what;
        }
    }
    // A block may not reach into the bytes before it that cannot hold it.
    Tags tags;
    EXPECT_EQ(parseBlock(good, tags, 0), TagError::None);
    TagFooter footer;
    const std::span<const uint8_t, kTagFooterSize> footerBytes(good.end() - kTagFooterSize,
                                                               kTagFooterSize);
    EXPECT_EQ(readTagFooter(footerBytes, footerAt - 1, footer), TagError::BlockPastStart);
}

TEST(TagBlock, FoundFromTheEndOfAFileAfterTheStreamBytes) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const std::vector<uint8_t> stream(300, 0x5A);  // stands for a header and payload
    ASSERT_EQ(std::fwrite(stream.data(), 1, stream.size(), file), stream.size());
    Tags tags;
    EXPECT_EQ(readTagBlock(file, 266, tags).error, TagError::NoBlock);

    TagError error;
    ASSERT_TRUE(appendTagBlock(file, sampleTags(), error));
    const TagBlockInFile found = readTagBlock(file, 266, tags);
    EXPECT_EQ(found.error, TagError::None);
    EXPECT_EQ(found.offset, stream.size());
    EXPECT_EQ(tags.fields, sampleTags().fields);
    // The same block with the container header's bytes as its only room is too big.
    EXPECT_EQ(readTagBlock(file, found.offset + 1, tags).error, TagError::BlockPastStart);
    std::fclose(file);
}

TEST(RiffInfo, FieldsWithInfoNamesRoundTripThroughAListChunk) {
    Tags tags;
    tags.fields = {{"TITLE", "Odd"}, {"ARTIST", "Even!"}, {"LYRICIST", "none"}, {"DATE", "2001"}};
    const std::vector<uint8_t> chunk = makeInfoChunk(tags);
    ASSERT_GE(chunk.size(), 12u);
    EXPECT_EQ(std::memcmp(chunk.data(), "LIST", 4), 0);
    const uint32_t size = chunk[4] | chunk[5] << 8 | chunk[6] << 16 | chunk[7] << 24;
    EXPECT_EQ(size + 8, chunk.size());
    EXPECT_EQ(size % 2, 0u);
    Tags back;
    parseInfoList(std::span(chunk).subspan(8), back);
    EXPECT_EQ(*back.find("TITLE"), "Odd");
    EXPECT_EQ(*back.find("ARTIST"), "Even!");
    EXPECT_EQ(*back.find("DATE"), "2001");
    EXPECT_EQ(back.find("LYRICIST"), nullptr);  // no INFO name for it
    EXPECT_TRUE(makeInfoChunk(Tags{}).empty());
}

TEST(RiffInfo, Latin1TextAndCutListsAreHandled) {
    const std::string body = std::string("INFO") + "INAM" + std::string("\x06\0\0\0", 4) +
                             std::string("Caf\xE9\0\0", 6) + "IART" + std::string("\x50\0\0\0", 4) + "cut";
    Tags tags;
    parseInfoList({reinterpret_cast<const uint8_t*>(body.data()), body.size()}, tags);
    ASSERT_NE(tags.find("TITLE"), nullptr);
    EXPECT_EQ(*tags.find("TITLE"), "Caf\xC3\xA9");
    EXPECT_EQ(tags.find("ARTIST"), nullptr);
}

}  // namespace
}  // namespace qmz
