#include "io/tag_file.h"

#include <sys/types.h>

#include <array>
#include <vector>

namespace qmz {

TagBlockInFile readTagBlock(std::FILE* file, uint64_t firstPossibleOffset, Tags& tags) {
    tags = Tags{};
    TagBlockInFile found;
    if (fseeko(file, 0, SEEK_END) != 0) return found;
    const off_t end = ftello(file);
    if (end < 0) return found;
    const auto fileSize = static_cast<uint64_t>(end);
    found.offset = fileSize;
    if (fileSize < firstPossibleOffset + kTagFooterSize) return found;

    std::array<uint8_t, kTagFooterSize> footerBytes;
    if (fseeko(file, static_cast<off_t>(fileSize - kTagFooterSize), SEEK_SET) != 0 ||
        std::fread(footerBytes.data(), 1, footerBytes.size(), file) != footerBytes.size())
        return found;
    TagFooter footer;
    found.error =
        readTagFooter(footerBytes, fileSize - kTagFooterSize - firstPossibleOffset, footer);
    if (found.error != TagError::None) return found;

    found.offset = fileSize - footer.blockSize;
    found.size = footer.blockSize;
    std::vector<uint8_t> items(footer.blockSize - kTagFooterSize);
    if (fseeko(file, static_cast<off_t>(found.offset), SEEK_SET) != 0 ||
        std::fread(items.data(), 1, items.size(), file) != items.size()) {
        found.error = TagError::BlockPastStart;
        return found;
    }
    found.error = parseTagItems(items, footer, tags);
    return found;
}

bool appendTagBlock(std::FILE* file, const Tags& tags, TagError& error) {
    std::vector<uint8_t> block;
    error = writeTagBlock(tags, block);
    if (error != TagError::None) return false;
    if (block.empty()) return true;
    return fseeko(file, 0, SEEK_END) == 0 &&
           std::fwrite(block.data(), 1, block.size(), file) == block.size() &&
           std::fflush(file) == 0;
}

}  // namespace qmz
