// The decoder's WAV output header.
//
// The canonical 44-byte header is written once, before any sample, from the
// data size and the format block that the container carries over from the
// encoder's input. Sizes are taken as stored, never computed from what the
// decoder writes, so the header is the same whether a decode completes or not.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>

#include "common/container.h"

namespace qmz {

inline constexpr std::size_t kWavHeaderSize = 44;

// "RIFF", dataSize + 36, "WAVE", "fmt ", 16, the format block verbatim,
// "data", dataSize. The RIFF size saturates at 0xFFFFFFFF when dataSize + 36
// does not fit in 32 bits, rather than wrapping round to a tiny value.
std::array<uint8_t, kWavHeaderSize> makeWavHeader(uint32_t dataSize, const WavFormatBlock& format);

// Writes makeWavHeader(...) at the stream's position; false if the stream failed.
bool writeWavHeader(std::ostream& out, uint32_t dataSize, const WavFormatBlock& format);

}  // namespace qmz
