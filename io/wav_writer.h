// The decoder's WAV output header.
//
// The canonical 44-byte header describes what the decoder writes: 16-bit PCM
// of the stream's channels at the sample rate the encoder's input recorded.
// The container's copy of the input's format block is trusted for nothing
// but that rate, so a damaged or crafted copy cannot make the output declare
// another format; for every well-formed input an encoder accepts, the block
// written is the copy itself.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>

#include "common/container.h"

namespace qmz {

inline constexpr std::size_t kWavHeaderSize = 44;

// Format 1 (PCM), 16 bits, file.header.channels channels (1 or 2, as
// checkContainer demands), the sample rate of the stored format block (44100
// when that is 0, which no WAV reader accepts), and the block align and byte
// rate that follow (the byte rate saturating at 0xFFFFFFFF).
WavFormatBlock outputFormatBlock(const ContainerFile& file);

// The data size a header declares for `frames` sample frames of `channels`
// 16-bit samples: their bytes, or, beyond what 32 bits record, the most whole
// sample frames that do fit.
uint32_t outputDataSize(int64_t frames, int channels);

// "RIFF", the RIFF size, "WAVE", "fmt ", 16, the format block, "data",
// dataSize. The RIFF size is dataSize + 36 plus the pad byte an odd data
// size takes; it saturates at 0xFFFFFFFF rather than wrap round to a tiny
// value.
std::array<uint8_t, kWavHeaderSize> makeWavHeader(uint32_t dataSize, const WavFormatBlock& format);

// Writes makeWavHeader(...) at the stream's position; false if the stream failed.
bool writeWavHeader(std::ostream& out, uint32_t dataSize, const WavFormatBlock& format);

}  // namespace qmz
