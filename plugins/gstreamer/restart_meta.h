// What qmzparse tells qmzdec with the first payload buffer after a seek (or
// at the payload's start): the frame the bytes begin with (1 or a resync
// point) and the noise generator's draws before it.
#pragma once

#include <gst/gst.h>

#include <cstdint>

namespace qmz::gst {

struct RestartPoint {
    int frame = 1;
    uint64_t noiseDraws = 0;
};

// Registers the meta (once; every element calls it at class init).
void registerRestartMeta();
void addRestartMeta(GstBuffer* buffer, const RestartPoint& point);
// False when the buffer carries none.
bool readRestartMeta(GstBuffer* buffer, RestartPoint& point);

}  // namespace qmz::gst
