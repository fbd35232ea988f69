#include "io/wav_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <ostream>

#include "common/little_endian.h"

namespace qmz {

namespace {

constexpr uint32_t kRiffOverhead = 36;  // "WAVE" + fmt chunk (8 + 16) + data chunk header (8)
constexpr uint32_t kFormatChunkSize = 16;

constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
constexpr uint16_t kPcmFormat = 1;
constexpr uint16_t kOutputBits = 16;

}  // namespace

WavFormatBlock outputFormatBlock(const ContainerFile& file) {
    const auto channels = static_cast<uint16_t>(file.header.channels);
    const uint32_t storedRate = file.format.sampleRate();
    const uint32_t rate = storedRate != 0 ? storedRate : kContainerSampleRate;
    const auto blockAlign = static_cast<uint16_t>(channels * kOutputBits / 8);
    const uint64_t byteRate = static_cast<uint64_t>(rate) * blockAlign;

    WavFormatBlock block;
    uint8_t* b = block.bytes.data();
    storeLe16(b, kPcmFormat);
    storeLe16(b + 2, channels);
    storeLe32(b + 4, rate);
    storeLe32(b + 8, static_cast<uint32_t>(std::min<uint64_t>(byteRate, kMax)));
    storeLe16(b + 12, blockAlign);
    storeLe16(b + 14, kOutputBits);
    return block;
}

uint32_t outputDataSize(int64_t frames, int channels) {
    const int64_t frameBytes = int64_t{2} * std::max(channels, 1);
    const int64_t fitting = static_cast<int64_t>(kMax) / frameBytes;
    return static_cast<uint32_t>(std::clamp<int64_t>(frames, 0, fitting) * frameBytes);
}

std::array<uint8_t, kWavHeaderSize> makeWavHeader(uint32_t dataSize, const WavFormatBlock& format) {
    const uint64_t riffSize = uint64_t{dataSize} + kRiffOverhead + (dataSize & 1u);

    std::array<uint8_t, kWavHeaderSize> h{};
    std::memcpy(&h[0], "RIFF", 4);
    storeLe32(&h[4], static_cast<uint32_t>(std::min<uint64_t>(riffSize, kMax)));
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
