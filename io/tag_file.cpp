#include "io/tag_file.h"

#include <sys/types.h>

#include <array>
#include <istream>
#include <vector>

namespace qmz {

namespace {

// The block at the end of a file of `fileSize` bytes, read through
// `read(offset, bytes, size)`, which says whether it got them all.
template <typename Read>
TagBlockInFile readTagBlockAt(uint64_t fileSize, uint64_t firstPossibleOffset, Tags& tags,
                              Read read) {
    tags = Tags{};
    TagBlockInFile found;
    found.offset = fileSize;
    if (fileSize < firstPossibleOffset + kTagFooterSize) return found;
    std::array<uint8_t, kTagFooterSize> footerBytes;
    if (!read(fileSize - kTagFooterSize, footerBytes.data(), footerBytes.size())) return found;
    TagFooter footer;
    found.error =
        readTagFooter(footerBytes, fileSize - kTagFooterSize - firstPossibleOffset, footer);
    if (found.error != TagError::None) return found;
    found.offset = fileSize - footer.blockSize;
    found.size = footer.blockSize;
    std::vector<uint8_t> items(footer.blockSize - kTagFooterSize);
    if (!read(found.offset, items.data(), items.size())) {
        found.error = TagError::BlockPastStart;
        return found;
    }
    found.error = parseTagItems(items, footer, tags);
    return found;
}

}  // namespace

TagBlockInFile readTagBlock(std::FILE* file, uint64_t firstPossibleOffset, Tags& tags) {
    tags = Tags{};
    if (fseeko(file, 0, SEEK_END) != 0) return TagBlockInFile{};
    const off_t end = ftello(file);
    if (end < 0) return TagBlockInFile{};
    return readTagBlockAt(static_cast<uint64_t>(end), firstPossibleOffset, tags,
                          [&](uint64_t offset, uint8_t* bytes, std::size_t size) {
                              return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
                                     std::fread(bytes, 1, size, file) == size;
                          });
}

TagBlockInFile readTagBlock(std::istream& file, uint64_t firstPossibleOffset, Tags& tags) {
    tags = Tags{};
    file.clear();
    const std::streamoff end = file.seekg(0, std::ios::end) ? std::streamoff(file.tellg()) : -1;
    file.clear();
    if (end < 0) return TagBlockInFile{};
    return readTagBlockAt(static_cast<uint64_t>(end), firstPossibleOffset, tags,
                          [&](uint64_t offset, uint8_t* bytes, std::size_t size) {
                              const bool whole =
                                  file.seekg(static_cast<std::streamoff>(offset)) &&
                                  file.read(reinterpret_cast<char*>(bytes),
                                            static_cast<std::streamsize>(size));
                              file.clear();
                              return whole;
                          });
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
