// Treats arbitrary bytes as the end of a .qmz file: a tag block found there
// must parse within its bounds, and what parses must write back to a block
// that reads the same. The same bytes as a WAV LIST chunk's body must not upset the
// INFO reader.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "io/riff_info.h"
#include "io/tag_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qmz::Tags info;
    qmz::parseInfoList({data, size}, info);
    for (const auto& field : info.fields)
        if (!qmz::isValidUtf8(field.second)) __builtin_trap();

    if (size < qmz::kTagFooterSize) return 0;
    const std::span<const uint8_t, qmz::kTagFooterSize> footerBytes(
        data + size - qmz::kTagFooterSize, qmz::kTagFooterSize);
    qmz::TagFooter footer;
    if (qmz::readTagFooter(footerBytes, size - qmz::kTagFooterSize, footer) != qmz::TagError::None)
        return 0;
    if (footer.blockSize > size) __builtin_trap();  // the footer check must bound it
    const uint8_t* const block = data + size - footer.blockSize;
    qmz::Tags tags;
    if (qmz::parseTagItems({block, footer.blockSize - qmz::kTagFooterSize}, footer, tags) !=
        qmz::TagError::None)
        return 0;
    // What was read writes back to a block that reads the same.
    std::vector<uint8_t> again;
    if (qmz::writeTagBlock(tags, again) != qmz::TagError::None) __builtin_trap();
    if (tags.empty()) return 0;
    qmz::TagFooter footer2;
    const std::span<const uint8_t, qmz::kTagFooterSize> footer2Bytes(
        again.data() + again.size() - qmz::kTagFooterSize, qmz::kTagFooterSize);
    qmz::Tags tags2;
    if (qmz::readTagFooter(footer2Bytes, again.size() - qmz::kTagFooterSize, footer2) !=
            qmz::TagError::None ||
        qmz::parseTagItems({again.data(), again.size() - qmz::kTagFooterSize}, footer2, tags2) !=
            qmz::TagError::None)
        __builtin_trap();
    if (tags2.fields != tags.fields || tags2.picture.has_value() != tags.picture.has_value())
        __builtin_trap();
    if (tags.picture && tags2.picture->data != tags.picture->data) __builtin_trap();
    return 0;
}
