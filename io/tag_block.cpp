#include "io/tag_block.h"

#include <algorithm>
#include <cstring>

namespace qmz {
namespace {

constexpr char kMagic[8] = {'Q', 'M', 'Z', 'T', 'A', 'G', 'S', '1'};
constexpr uint8_t kTextItem = 1;
constexpr uint8_t kPictureItem = 2;
constexpr uint8_t kSeekTableItem = 3;
constexpr std::size_t kItemHeaderSize = 5;
constexpr std::size_t kSeekEntrySize = 16;

uint64_t readU64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

void appendU64(std::vector<uint8_t>& out, uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void appendU32(std::vector<uint8_t>& out, uint64_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void appendBytes(std::vector<uint8_t>& out, std::string_view bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::string upperCase(std::string_view key) {
    std::string upper(key);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

// A field "KEY=value" into `tags`, checked.
TagError parseField(std::string_view field, Tags& tags) {
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos || !isValidTagKey(field.substr(0, equals)))
        return TagError::BadKey;
    const std::string_view value = field.substr(equals + 1);
    if (!isValidUtf8(value)) return TagError::BadText;
    tags.fields.emplace_back(upperCase(field.substr(0, equals)), std::string(value));
    return TagError::None;
}

// A picture payload: two length-prefixed strings, then the image.
TagError parsePicture(std::span<const uint8_t> payload, Tags& tags) {
    if (tags.picture) return TagError::TwoPictures;
    TagPicture picture;
    std::string* const strings[2] = {&picture.mimeType, &picture.description};
    std::size_t at = 0;
    for (std::string* text : strings) {
        if (payload.size() - at < 4) return TagError::BadItem;
        const uint32_t length = readU32(payload.data() + at);
        at += 4;
        if (length > payload.size() - at) return TagError::BadItem;
        text->assign(reinterpret_cast<const char*>(payload.data() + at), length);
        at += length;
        if (!isValidUtf8(*text)) return TagError::BadText;
    }
    picture.data.assign(payload.begin() + static_cast<std::ptrdiff_t>(at), payload.end());
    tags.picture = std::move(picture);
    return TagError::None;
}

// Offsets strictly increasing and draws never decreasing, as a stream makes
// them; anything else is damage, not a table to follow.
TagError parseSeekTable(std::span<const uint8_t> payload, Tags& tags) {
    if (!tags.seekTable.empty() || payload.empty() || payload.size() % kSeekEntrySize != 0)
        return TagError::BadItem;
    for (std::size_t at = 0; at < payload.size(); at += kSeekEntrySize) {
        const SeekTableEntry entry{
            static_cast<int64_t>(readU64(payload.data() + at) & (~uint64_t{0} >> 1)),
            readU64(payload.data() + at + 8)};
        if (!tags.seekTable.empty() && (entry.offset <= tags.seekTable.back().offset ||
                                        entry.noiseDraws < tags.seekTable.back().noiseDraws)) {
            tags.seekTable.clear();
            return TagError::BadItem;
        }
        tags.seekTable.push_back(entry);
    }
    return TagError::None;
}

}  // namespace

const std::string* Tags::find(std::string_view key) const {
    const std::string upper = upperCase(key);
    for (const auto& [k, v] : fields)
        if (k == upper) return &v;
    return nullptr;
}

void Tags::set(std::string_view key, std::string_view value) {
    const std::string upper = upperCase(key);
    std::erase_if(fields, [&](const auto& field) { return field.first == upper; });
    if (!value.empty()) fields.emplace_back(upper, std::string(value));
}

const char* describeTagError(TagError error) {
    switch (error) {
        case TagError::None: return "no problem";
        case TagError::NoBlock: return "the file has no tag block";
        case TagError::BadFooter: return "the tag block's footer gives impossible sizes";
        case TagError::BlockTooLarge: return "the tag block is larger than 16 MiB";
        case TagError::BlockPastStart: return "the tag block claims more bytes than the file holds";
        case TagError::BadItem: return "a tag item runs past its block or is of an unknown kind";
        case TagError::CountMismatch: return "the tag block's item count does not match its items";
        case TagError::BadKey: return "a tag field has no key, or a key with forbidden characters";
        case TagError::BadText: return "a tag value is not UTF-8 text";
        case TagError::TwoPictures: return "the tag block holds more than one picture";
    }
    return "unknown tag problem";
}

bool isValidTagKey(std::string_view key) {
    if (key.empty()) return false;
    return std::all_of(key.begin(), key.end(),
                       [](char c) { return c >= 0x20 && c <= 0x7D && c != '='; });
}

bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const uint8_t lead = *p++;
        if (lead < 0x80) continue;
        int more;
        uint32_t code;
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1, code = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2, code = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3, code = lead & 0x07u;
        } else {
            return false;
        }
        if (end - p < more) return false;
        for (int i = 0; i < more; ++i, ++p) {
            if ((*p & 0xC0u) != 0x80u) return false;
            code = code << 6 | (*p & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not text.
        const uint32_t least[4] = {0, 0x80, 0x800, 0x10000};
        if (code < least[more] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
    }
    return true;
}

TagError writeTagBlock(const Tags& tags, std::vector<uint8_t>& block) {
    block.clear();
    if (tags.empty() && tags.seekTable.empty()) return TagError::None;
    uint32_t count = 0;
    for (const auto& [key, value] : tags.fields) {
        if (!isValidTagKey(key)) return TagError::BadKey;
        if (!isValidUtf8(value)) return TagError::BadText;
        block.push_back(kTextItem);
        appendU32(block, key.size() + 1 + value.size());
        appendBytes(block, upperCase(key));
        block.push_back('=');
        appendBytes(block, value);
        ++count;
    }
    if (tags.picture) {
        const TagPicture& picture = *tags.picture;
        if (!isValidUtf8(picture.mimeType) || !isValidUtf8(picture.description))
            return TagError::BadText;
        block.push_back(kPictureItem);
        appendU32(block,
                  8 + picture.mimeType.size() + picture.description.size() + picture.data.size());
        appendU32(block, picture.mimeType.size());
        appendBytes(block, picture.mimeType);
        appendU32(block, picture.description.size());
        appendBytes(block, picture.description);
        block.insert(block.end(), picture.data.begin(), picture.data.end());
        ++count;
    }
    if (!tags.seekTable.empty()) {
        if (tags.seekTable.size() > kMaxTagBlockSize / kSeekEntrySize)
            return TagError::BlockTooLarge;
        block.push_back(kSeekTableItem);
        appendU32(block, tags.seekTable.size() * kSeekEntrySize);
        for (const SeekTableEntry& entry : tags.seekTable) {
            appendU64(block, static_cast<uint64_t>(entry.offset));
            appendU64(block, entry.noiseDraws);
        }
        ++count;
    }
    if (block.size() + kTagFooterSize > kMaxTagBlockSize) {
        block.clear();
        return TagError::BlockTooLarge;
    }
    appendU32(block, count);
    appendU32(block, block.size() + 4 + sizeof kMagic);
    block.insert(block.end(), std::begin(kMagic), std::end(kMagic));
    return TagError::None;
}

TagError readTagFooter(std::span<const uint8_t, kTagFooterSize> footer, uint64_t bytesBefore,
                       TagFooter& out) {
    if (std::memcmp(footer.data() + 8, kMagic, sizeof kMagic) != 0) return TagError::NoBlock;
    out.itemCount = readU32(footer.data());
    out.blockSize = readU32(footer.data() + 4);
    if (out.blockSize < kTagFooterSize) return TagError::BadFooter;
    if (out.blockSize > kMaxTagBlockSize) return TagError::BlockTooLarge;
    if (out.blockSize - kTagFooterSize > bytesBefore) return TagError::BlockPastStart;
    // Every item takes at least its kind and length.
    if (out.itemCount > (out.blockSize - kTagFooterSize) / kItemHeaderSize)
        return TagError::BadFooter;
    return TagError::None;
}

TagError parseTagItems(std::span<const uint8_t> items, const TagFooter& footer, Tags& out) {
    out = Tags{};
    if (items.size() != footer.blockSize - kTagFooterSize) return TagError::BadFooter;
    Tags tags;
    uint32_t count = 0;
    std::size_t at = 0;
    while (at < items.size()) {
        if (items.size() - at < kItemHeaderSize) return TagError::BadItem;
        const uint8_t kind = items[at];
        const uint32_t length = readU32(items.data() + at + 1);
        at += kItemHeaderSize;
        if (length > items.size() - at) return TagError::BadItem;
        const std::span<const uint8_t> payload = items.subspan(at, length);
        at += length;
        TagError error;
        if (kind == kTextItem) {
            error =
                parseField({reinterpret_cast<const char*>(payload.data()), payload.size()}, tags);
        } else if (kind == kPictureItem) {
            error = parsePicture(payload, tags);
        } else if (kind == kSeekTableItem) {
            error = parseSeekTable(payload, tags);
        } else {
            error = TagError::BadItem;
        }
        if (error != TagError::None) return error;
        ++count;
    }
    if (count != footer.itemCount) return TagError::CountMismatch;
    out = std::move(tags);
    return TagError::None;
}

}  // namespace qmz
