// The fixed 266-byte header in front of every .qmz payload.
//
// Layout (all values little-endian):
//   0   32  ContainerHeader (magic "*qmz", sample count, bit rate, ...)
//   32   8  the input WAV's data chunk header ("data" and its byte size)
//   40  16  the input WAV's format block, verbatim
//   56 210  reserved, zero
//   266 ..  payload bit stream
//
// The encoder writes the header twice: first with an all-zero
// ContainerHeader{} as a placeholder (the data chunk and format copies are
// already in place), then with the final values once the payload is done.
// The decoder takes the header as it stands: parsing here never validates
// anything, so a program that wants checks makes them itself.
//
// This file knows nothing about paths; it works on byte arrays and streams.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qmz {

// The 16-byte body of a WAV "fmt " chunk, kept byte for byte so that the
// decoder can declare exactly the format the encoder was given.
struct WavFormatBlock {
    std::array<uint8_t, 16> bytes{};

    uint16_t formatTag() const;
    uint16_t channels() const;
    uint32_t sampleRate() const;
    uint32_t byteRate() const;
    uint16_t blockAlign() const;
    uint16_t bitsPerSample() const;
};

// A RIFF chunk header: four id bytes and the body size in bytes.
struct DataChunkHeader {
    std::array<char, 4> id{};
    uint32_t size = 0;
};

inline constexpr std::size_t kContainerHeaderSize = 266;
inline constexpr std::size_t kContainerRecordSize = 32;  // ContainerHeader on disk
inline constexpr int16_t kContainerBitsPerSample = 16;
inline constexpr int32_t kContainerSampleRate = 44100;

// The first 32 bytes of a .qmz file. A value-initialised ContainerHeader{} is
// the placeholder (all zero).
struct ContainerHeader {
    std::array<char, 4> magic{};
    int32_t samplesPerChannel = 0;  // sample frames per channel that were coded
    int32_t avgBitRate = 0;         // payload bits per second
    int16_t channels = 0;
    int16_t bitsPerSample = 0;
    int32_t sampleRate = 0;
    int16_t constant2 = 0;   // always 2 in a finished file
    int16_t constant26 = 0;  // always 26 in a finished file
    int16_t midSide = 0;     // 1 when the encoder ran with mid/side stereo
    std::array<int16_t, 3> reserved{};
};

struct ContainerFile {
    ContainerHeader header;
    DataChunkHeader dataChunk;  // copy of the input's data chunk header
    WavFormatBlock format;      // copy of the input's format block
};

// The header of a finished file: magic "*qmz", 16 bits, 44100 Hz, the
// constants 2 and 26 and the given values; reserved words zero.
ContainerHeader makeContainerHeader(int32_t samplesPerChannel, int32_t avgBitRate, int16_t channels,
                                    bool midSide);

bool hasContainerMagic(const ContainerHeader& header);

// The 266 bytes of the header; the reserved area is always written as zero.
std::array<uint8_t, kContainerHeaderSize> serializeContainer(const ContainerFile& file);

// Field-by-field decode of the 266 bytes, with no check of any value; the
// reserved area is ignored.
ContainerFile parseContainer(const std::array<uint8_t, kContainerHeaderSize>& bytes);

}  // namespace qmz
