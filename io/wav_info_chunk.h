// Tags written back into a decoded WAV file: a LIST/INFO chunk after the
// data chunk, and the RIFF size rewritten to cover it. The samples and the
// data chunk stay as they were written.
#pragma once

#include <iosfwd>

#include "io/tag_block.h"

namespace qmz {

enum class InfoChunkResult {
    Written,
    NothingToWrite,  // no field has an INFO name
    CannotSeek,      // the RIFF size cannot be rewritten (a pipe): nothing was added
    TooLarge,        // the RIFF size would pass 4 GiB: nothing was added
    WriteFailed,
};

// `wav` stands at the end of a complete WAV file whose RIFF header begins at
// the stream's position 0.
InfoChunkResult appendInfoChunk(std::ostream& wav, const Tags& tags);

}  // namespace qmz
