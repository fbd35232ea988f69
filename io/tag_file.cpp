#include "io/tag_file.h"

#include <sys/types.h>

#include <array>
#include <istream>
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

TagBlockInFile readTagBlock(std::istream& file, uint64_t firstPossibleOffset, Tags& tags) {
    tags = Tags{};
    TagBlockInFile found;
    file.clear();
    const auto read = [&](uint64_t offset, uint8_t* bytes, std::size_t size) {
        file.clear();
        return static_cast<bool>(file.seekg(static_cast<std::streamoff>(offset))) &&
               static_cast<bool>(
                   file.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(size)));
    };
    if (!file.seekg(0, std::ios::end)) {
        file.clear();
        return found;
    }
    const std::streamoff end = file.tellg();
    if (end < 0) {
        file.clear();
        return found;
    }
    const auto fileSize = static_cast<uint64_t>(end);
    found.offset = fileSize;
    if (fileSize < firstPossibleOffset + kTagFooterSize) return found;
    std::array<uint8_t, kTagFooterSize> footerBytes;
    if (!read(fileSize - kTagFooterSize, footerBytes.data(), footerBytes.size())) {
        file.clear();
        return found;
    }
    TagFooter footer;
    found.error =
        readTagFooter(footerBytes, fileSize - kTagFooterSize - firstPossibleOffset, footer);
    if (found.error != TagError::None) return found;
    found.offset = fileSize - footer.blockSize;
    found.size = footer.blockSize;
    std::vector<uint8_t> items(footer.blockSize - kTagFooterSize);
    if (!read(found.offset, items.data(), items.size())) {
        file.clear();
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
