// Tags in a WAV file's LIST/INFO chunk, mapped to and from the field names
// used in .qmz tag blocks (TITLE <-> INAM, ARTIST <-> IART, ...).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "io/tag_block.h"

namespace qmz {

// The whole "LIST" chunk (id, size, "INFO", sub-chunks, pad bytes) for the
// fields that have an INFO name; no bytes when none has.
std::vector<uint8_t> makeInfoChunk(const Tags& tags);

// Adds the fields of a LIST chunk's body (the bytes after its size field) to
// `tags` when it is an INFO list; other lists and unknown INFO ids are
// skipped. Values end at their first NUL; text that is not UTF-8 is taken as
// Latin-1, which is what older programs write.
void parseInfoList(std::span<const uint8_t> body, Tags& tags);

}  // namespace qmz
