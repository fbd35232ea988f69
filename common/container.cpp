#include "common/container.h"

#include <algorithm>

#include "common/little_endian.h"

namespace qmz {

namespace {

constexpr std::array<char, 4> kMagic = {'*', 'q', 'm', 'z'};
constexpr int16_t kConstant2 = 2;
constexpr int16_t kConstant26 = 26;

// Byte offsets in the 266-byte header.
constexpr std::size_t kOffMagic = 0;
constexpr std::size_t kOffSamples = 4;
constexpr std::size_t kOffBitRate = 8;
constexpr std::size_t kOffChannels = 12;
constexpr std::size_t kOffBits = 14;
constexpr std::size_t kOffRate = 16;
constexpr std::size_t kOffConstant2 = 20;
constexpr std::size_t kOffConstant26 = 22;
constexpr std::size_t kOffMidSide = 24;
constexpr std::size_t kOffReserved = 26;
constexpr std::size_t kOffDataChunk = 32;
constexpr std::size_t kOffFormat = 40;
constexpr std::size_t kOffReservedArea = 56;
static_assert(kOffReservedArea + 210 == kContainerHeaderSize);
static_assert(kOffDataChunk == kContainerRecordSize);

void storeS16(uint8_t* p, int16_t v) {
    storeLe16(p, static_cast<uint16_t>(v));
}
void storeS32(uint8_t* p, int32_t v) {
    storeLe32(p, static_cast<uint32_t>(v));
}
int16_t loadS16(const uint8_t* p) {
    return static_cast<int16_t>(loadLe16(p));
}
int32_t loadS32(const uint8_t* p) {
    return static_cast<int32_t>(loadLe32(p));
}

}  // namespace

uint16_t WavFormatBlock::formatTag() const {
    return loadLe16(&bytes[0]);
}
uint16_t WavFormatBlock::channels() const {
    return loadLe16(&bytes[2]);
}
uint32_t WavFormatBlock::sampleRate() const {
    return loadLe32(&bytes[4]);
}
uint32_t WavFormatBlock::byteRate() const {
    return loadLe32(&bytes[8]);
}
uint16_t WavFormatBlock::blockAlign() const {
    return loadLe16(&bytes[12]);
}
uint16_t WavFormatBlock::bitsPerSample() const {
    return loadLe16(&bytes[14]);
}

ContainerHeader makeContainerHeader(int32_t samplesPerChannel, int32_t avgBitRate, int16_t channels,
                                    bool midSide) {
    ContainerHeader h;
    h.magic = kMagic;
    h.samplesPerChannel = samplesPerChannel;
    h.avgBitRate = avgBitRate;
    h.channels = channels;
    h.bitsPerSample = kContainerBitsPerSample;
    h.sampleRate = kContainerSampleRate;
    h.constant2 = kConstant2;
    h.constant26 = kConstant26;
    h.midSide = midSide ? 1 : 0;
    return h;
}

bool hasContainerMagic(const ContainerHeader& header) {
    return header.magic == kMagic;
}

std::array<uint8_t, kContainerHeaderSize> serializeContainer(const ContainerFile& file) {
    std::array<uint8_t, kContainerHeaderSize> b{};
    const ContainerHeader& h = file.header;
    std::copy(h.magic.begin(), h.magic.end(), &b[kOffMagic]);
    storeS32(&b[kOffSamples], h.samplesPerChannel);
    storeS32(&b[kOffBitRate], h.avgBitRate);
    storeS16(&b[kOffChannels], h.channels);
    storeS16(&b[kOffBits], h.bitsPerSample);
    storeS32(&b[kOffRate], h.sampleRate);
    storeS16(&b[kOffConstant2], h.constant2);
    storeS16(&b[kOffConstant26], h.constant26);
    storeS16(&b[kOffMidSide], h.midSide);
    for (std::size_t i = 0; i < h.reserved.size(); ++i)
        storeS16(&b[kOffReserved + 2 * i], h.reserved[i]);
    std::copy(file.dataChunk.id.begin(), file.dataChunk.id.end(), &b[kOffDataChunk]);
    storeLe32(&b[kOffDataChunk + 4], file.dataChunk.size);
    std::copy(file.format.bytes.begin(), file.format.bytes.end(), &b[kOffFormat]);
    return b;  // the reserved area stays zero
}

ContainerFile parseContainer(const std::array<uint8_t, kContainerHeaderSize>& b) {
    ContainerFile file;
    ContainerHeader& h = file.header;
    std::copy_n(&b[kOffMagic], 4, h.magic.begin());
    h.samplesPerChannel = loadS32(&b[kOffSamples]);
    h.avgBitRate = loadS32(&b[kOffBitRate]);
    h.channels = loadS16(&b[kOffChannels]);
    h.bitsPerSample = loadS16(&b[kOffBits]);
    h.sampleRate = loadS32(&b[kOffRate]);
    h.constant2 = loadS16(&b[kOffConstant2]);
    h.constant26 = loadS16(&b[kOffConstant26]);
    h.midSide = loadS16(&b[kOffMidSide]);
    for (std::size_t i = 0; i < h.reserved.size(); ++i)
        h.reserved[i] = loadS16(&b[kOffReserved + 2 * i]);
    std::copy_n(&b[kOffDataChunk], 4, file.dataChunk.id.begin());
    file.dataChunk.size = loadLe32(&b[kOffDataChunk + 4]);
    std::copy_n(&b[kOffFormat], 16, file.format.bytes.begin());
    return file;
}

}  // namespace qmz
