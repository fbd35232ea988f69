// Tags after the end of a .qmz stream.
//
// The decoder reads frames 1 .. F-1 and stops, so bytes appended after the
// last frame are invisible to it. A tag block lives there and is found from
// the file's end, like other formats' trailing tags:
//
//   item*  footer
//   item   = kind (1 byte: 1 text, 2 picture, 3 seek table), length (u32 LE),
//            payload
//   text   = UTF-8 "KEY=value"; KEY is printable ASCII without '=' and is
//            compared without regard to case (stored upper-case)
//   picture= mime length (u32 LE), mime, description length (u32 LE),
//            UTF-8 description, image bytes (the rest of the payload)
//   seek table = per resync point, in stream order: the payload offset of
//            its record (u64 LE) and the noise draws before it (u64 LE);
//            written only when asked for, as it is no tag
//   footer = item count (u32 LE), block size (u32 LE, items + footer),
//            magic "QMZTAGS1" (8 bytes)
//
// Everything read from a file is checked before it is followed: sizes past
// the file, counts that do not match the items, keys and values that are not
// what they must be. A bad block is reported and ignored, never half-used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qmz {

inline constexpr std::size_t kTagFooterSize = 16;
// Room for a large cover picture; anything bigger is taken for damage.
inline constexpr uint32_t kMaxTagBlockSize = 16u << 20;

struct TagPicture {
    std::string mimeType;  // "image/jpeg", "image/png", ...
    std::string description;
    std::vector<uint8_t> data;
};

// Where a resync record stands (its first byte, counted from the payload's
// first byte) and how many values the noise generator drew before it.
struct SeekTableEntry {
    int64_t offset = 0;
    uint64_t noiseDraws = 0;
    bool operator==(const SeekTableEntry&) const = default;
};

struct Tags {
    std::vector<std::pair<std::string, std::string>> fields;  // KEY (upper case), value
    std::optional<TagPicture> picture;
    // Entry i for the record before frame 45 (i + 1); empty for none.
    std::vector<SeekTableEntry> seekTable;

    // No fields and no picture (a seek table is no tag).
    bool empty() const { return fields.empty() && !picture; }
    // The first value stored under `key` (any case), or nullptr.
    const std::string* find(std::string_view key) const;
    // Replaces every value of `key` with this one (an empty value removes it).
    void set(std::string_view key, std::string_view value);
};

enum class TagError {
    None,
    NoBlock,         // the file ends without the footer's magic: it has no tags
    BadFooter,       // the magic is there, the sizes are impossible
    BlockTooLarge,   // larger than kMaxTagBlockSize
    BlockPastStart,  // the block would begin before the bytes that may hold it
    BadItem,         // an item runs past the block or has an unknown kind
    CountMismatch,   // the footer's count differs from the items found
    BadKey,          // a field without '=' or with a key of forbidden bytes
    BadText,         // a value or description that is not UTF-8
    TwoPictures,
};

const char* describeTagError(TagError error);

// Keys that may be stored (printable ASCII 0x20..0x7D, no '=', not empty).
bool isValidTagKey(std::string_view key);
bool isValidUtf8(std::string_view text);

// The whole block (items and footer) for `tags`; empty tags give no bytes.
// Fails (returns BadKey/BadText/BlockTooLarge) rather than write what a
// reader would refuse.
TagError writeTagBlock(const Tags& tags, std::vector<uint8_t>& block);

struct TagFooter {
    uint32_t itemCount = 0;
    uint32_t blockSize = 0;  // items and footer
};

// Reads the footer from the last kTagFooterSize bytes of a file. `bytesBefore`
// is how many bytes precede the footer and may belong to the block (the file
// size less the container header and the footer): a block claiming more is
// refused.
TagError readTagFooter(std::span<const uint8_t, kTagFooterSize> footer, uint64_t bytesBefore,
                       TagFooter& out);

// Parses the block's items (`items` = the blockSize - kTagFooterSize bytes
// before the footer). On any error `out` is left empty.
TagError parseTagItems(std::span<const uint8_t> items, const TagFooter& footer, Tags& out);

}  // namespace qmz
