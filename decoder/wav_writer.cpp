#include "decoder/wav_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <ostream>

#include "common/little_endian.h"

namespace qmz {

namespace {

constexpr uint32_t kRiffOverhead = 36;  // "WAVE" + fmt chunk (8 + 16) + data chunk header (8)
constexpr uint32_t kFormatChunkSize = 16;

}  // namespace

std::array<uint8_t, kWavHeaderSize> makeWavHeader(uint32_t dataSize, const WavFormatBlock& format) {
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    const uint32_t riffSize = dataSize > kMax - kRiffOverhead ? kMax : dataSize + kRiffOverhead;

    std::array<uint8_t, kWavHeaderSize> h{};
    std::memcpy(&h[0], "RIFF", 4);
    storeLe32(&h[4], riffSize);
    std::memcpy(&h[8], "WAVE", 4);
    std::memcpy(&h[12], "fmt ", 4);
    storeLe32(&h[16], kFormatChunkSize);
    std::copy(format.bytes.begin(), format.bytes.end(), &h[20]);
    std::memcpy(&h[36], "data", 4);
    storeLe32(&h[40], dataSize);
    return h;
}

bool writeWavHeader(std::ostream& out, uint32_t dataSize, const WavFormatBlock& format) {
    const auto header = makeWavHeader(dataSize, format);
    out.write(reinterpret_cast<const char*>(header.data()),
              static_cast<std::streamsize>(header.size()));
    return static_cast<bool>(out);
}

}  // namespace qmz
