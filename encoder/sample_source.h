// Where an encode that pulls its input (the threaded encoder) takes its
// samples from; the edge behind it reads a file, a pipe or memory.
#pragma once

#include <cstdint>

#include "common/band_tables.h"

namespace qmz {

class SampleSource {
  public:
    // Stores up to `frames` (at most kFrameLength) sample frames, channel c's
    // samples at planes[c]; returns the number stored, fewer than asked only
    // once the input has ended.
    virtual int read(int16_t* const planes[kMaxChannels], int frames) = 0;

  protected:
    ~SampleSource() = default;
};

}  // namespace qmz
