// Tag blocks in files: found from a seekable file's end, appended to one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <iosfwd>

#include "io/tag_block.h"

namespace qmz {

struct TagBlockInFile {
    TagError error = TagError::NoBlock;
    uint64_t offset = 0;  // where the block begins (the file size when there is none)
    uint32_t size = 0;
};

// Looks for a tag block at the end of `file` (seekable) and reads it into
// `tags`. The bytes before `firstPossibleOffset` (the container header) never
// belong to a block. The file position is left undefined.
TagBlockInFile readTagBlock(std::FILE* file, uint64_t firstPossibleOffset, Tags& tags);
// The same from a seekable input stream; its state is cleared afterwards.
TagBlockInFile readTagBlock(std::istream& file, uint64_t firstPossibleOffset, Tags& tags);

// Appends the block for `tags` at the end of `file` (nothing for no tags).
// False when writing failed or the tags cannot be stored (`error` says which).
bool appendTagBlock(std::FILE* file, const Tags& tags, TagError& error);

}  // namespace qmz
