// The library's tag calls over the tag block reader and writer of io/.
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

#include "common/container.h"
#include "io/tag_file.h"
#include "qmz/codec.h"

namespace qmz {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens a .qmz file and checks its magic, so that tags are never read from,
// or written onto, some other file.
Status openQmz(const std::string& path, const char* mode, File& file) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return Status::CannotOpen;
    file.reset(std::fopen(path.c_str(), mode));
    if (!file) return Status::CannotOpen;
    char magic[4];
    if (std::fread(magic, 1, sizeof magic, file.get()) != sizeof magic ||
        std::memcmp(magic, "*qmz", 4) != 0)
        return Status::NotQmz;
    return Status::Ok;
}

}  // namespace

Status readTags(const std::string& path, FileTags& tags) {
    tags = FileTags{};
    File file;
    if (const Status status = openQmz(path, "rb", file); status != Status::Ok) return status;
    Tags found;
    const TagBlockInFile block = readTagBlock(file.get(), kContainerHeaderSize, found);
    if (block.error == TagError::NoBlock) return Status::Ok;
    if (block.error != TagError::None) return Status::BadTags;
    tags.fields = std::move(found.fields);
    if (found.picture) {
        tags.picture = CoverPicture{std::move(found.picture->mimeType),
                                    std::move(found.picture->description),
                                    std::move(found.picture->data)};
    }
    return Status::Ok;
}

Status writeTags(const std::string& path, const FileTags& tags) {
    Tags wanted;
    wanted.fields = tags.fields;
    if (tags.picture) {
        wanted.picture =
            TagPicture{tags.picture->mimeType, tags.picture->description, tags.picture->data};
    }
    std::vector<uint8_t> block;
    if (writeTagBlock(wanted, block) != TagError::None) return Status::InvalidArgument;

    File file;
    if (const Status status = openQmz(path, "r+b", file); status != Status::Ok) return status;
    Tags old;
    const TagBlockInFile found = readTagBlock(file.get(), kContainerHeaderSize, old);
    if (found.error != TagError::None && found.error != TagError::NoBlock) return Status::BadTags;
    // A seek table stays with its stream whatever the tags become.
    if (!old.seekTable.empty()) {
        wanted.seekTable = std::move(old.seekTable);
        if (writeTagBlock(wanted, block) != TagError::None) return Status::InvalidArgument;
    }
    // found.offset is the end of the stream: where the old block began, or
    // the file's end.
    const bool written =
        fseeko(file.get(), static_cast<off_t>(found.offset), SEEK_SET) == 0 &&
        (block.empty() ||
         std::fwrite(block.data(), 1, block.size(), file.get()) == block.size()) &&
        std::fflush(file.get()) == 0;
    file.reset();
    if (!written) return Status::CannotOpen;
    std::error_code error;
    std::filesystem::resize_file(path, found.offset + block.size(), error);
    return error ? Status::CannotOpen : Status::Ok;
}

}  // namespace qmz
