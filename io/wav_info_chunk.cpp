#include "io/wav_info_chunk.h"

#include <limits>
#include <ostream>
#include <vector>

#include "io/riff_info.h"

namespace qmz {

InfoChunkResult appendInfoChunk(std::ostream& wav, const Tags& tags) {
    const std::vector<uint8_t> chunk = makeInfoChunk(tags);
    if (chunk.empty()) return InfoChunkResult::NothingToWrite;
    const std::streamoff end = wav.tellp();
    if (end < 0) {
        wav.clear();
        return InfoChunkResult::CannotSeek;
    }
    const bool padded = end % 2 != 0;  // chunks begin on even offsets
    const uint64_t riffSize = static_cast<uint64_t>(end) + padded + chunk.size() - 8;
    if (riffSize > std::numeric_limits<uint32_t>::max()) return InfoChunkResult::TooLarge;
    if (padded) wav.put('\0');
    wav.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(chunk.size()));
    const std::streampos after = wav.tellp();
    const char size[4] = {static_cast<char>(riffSize), static_cast<char>(riffSize >> 8),
                          static_cast<char>(riffSize >> 16), static_cast<char>(riffSize >> 24)};
    wav.seekp(4);
    wav.write(size, sizeof size);
    wav.seekp(after);
    wav.flush();
    return wav ? InfoChunkResult::Written : InfoChunkResult::WriteFailed;
}

}  // namespace qmz
