#include "encoder/wav_reader.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <istream>

#include "common/band_tables.h"
#include "common/little_endian.h"

namespace qmz {

namespace {

constexpr uint32_t kFormatBlockSize = 16;

bool readBytes(std::istream& in, uint8_t* dst, std::size_t n) {
    in.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(n));
    return in.gcount() == static_cast<std::streamsize>(n);
}

bool readChunkHeader(std::istream& in, DataChunkHeader& chunk) {
    uint8_t raw[8];
    if (!readBytes(in, raw, sizeof raw)) return false;
    std::memcpy(chunk.id.data(), raw, 4);
    chunk.size = loadLe32(raw + 4);
    return true;
}

bool hasId(const DataChunkHeader& chunk, const char* id) {
    return std::memcmp(chunk.id.data(), id, 4) == 0;
}

// Skips the rest of a chunk body of `size` bytes of which `consumed` were
// read, and the pad byte that follows an odd-sized body. A skip past the end
// is not an error here: the next header read reports it.
void skipRestOfChunk(std::istream& in, uint32_t size, uint32_t consumed) {
    const uint64_t n = static_cast<uint64_t>(size) - consumed + (size & 1u);
    if (n > 0) in.ignore(static_cast<std::streamsize>(n));
}

// A data chunk may claim more bytes than the stream holds. When the stream can
// tell how much follows, keep only the whole sample frames that are really
// there, and return to the first sample byte. Unseekable streams keep the
// declared size; false when the stream cannot tell.
bool fitDataSizeToStream(std::istream& in, DataChunkHeader& data, uint32_t frameBytes) {
    const std::streampos start = in.tellg();
    if (start == std::streampos(-1)) {
        in.clear();
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streampos end = in.tellg();
    in.clear();
    in.seekg(start);
    if (end == std::streampos(-1) || end < start) {
        in.clear();
        return false;
    }
    const uint64_t available = static_cast<uint64_t>(end - start);
    if (available < data.size)
        data.size = static_cast<uint32_t>(available - available % frameBytes);
    return true;
}

// The format chunk first, then the data chunk, with at most one chunk between.
WavReadError findFormatAndData(std::istream& in, WavInput& out) {
    DataChunkHeader chunk;
    if (!readChunkHeader(in, chunk)) return WavReadError::NoChunkHeader;
    if (!hasId(chunk, "fmt ") || chunk.size < kFormatBlockSize) return WavReadError::BadFormatChunk;
    if (!readBytes(in, out.format.bytes.data(), kFormatBlockSize))
        return WavReadError::BadFormatChunk;
    skipRestOfChunk(in, chunk.size, kFormatBlockSize);  // e.g. an 18- or 40-byte body

    if (!readChunkHeader(in, chunk)) return WavReadError::NoChunkAfterFormat;
    if (!hasId(chunk, "data")) {
        skipRestOfChunk(in, chunk.size, 0);  // at most one chunk between format and data
        if (!readChunkHeader(in, chunk)) return WavReadError::NoChunkAfterFormat;
        if (!hasId(chunk, "data")) return WavReadError::DataNotFound;
    }
    out.dataChunk = chunk;
    return WavReadError::Ok;
}

}  // namespace

const char* describeWavReadError(WavReadError error) {
    switch (error) {
        case WavReadError::Ok:
            return "no error";
        case WavReadError::CannotOpen:
            return "the file cannot be opened";
        case WavReadError::TooShort:
            return "the file is shorter than 12 bytes";
        case WavReadError::NotRiffWave:
            return "the file is not a RIFF/WAVE file";
        case WavReadError::NoChunkHeader:
            return "no chunk follows the RIFF/WAVE prefix";
        case WavReadError::BadFormatChunk:
            return "the first chunk is not a complete format chunk";
        case WavReadError::NoChunkAfterFormat:
            return "the file ends before the data chunk";
        case WavReadError::DataNotFound:
            return "no data chunk within one chunk of the format chunk";
        case WavReadError::NotPcm:
            return "the samples are not PCM";
        case WavReadError::Not16Bit:
            return "the samples are not 16-bit";
        case WavReadError::UnsupportedChannels:
            return "only mono and stereo are supported";
    }
    return "unknown error";
}

WavReadError parseWavHeader(std::istream& in, WavInput& out) {
    uint8_t prefix[12];
    if (!readBytes(in, prefix, sizeof prefix)) return WavReadError::TooShort;
    if (std::memcmp(prefix, "RIFF", 4) != 0 || std::memcmp(prefix + 8, "WAVE", 4) != 0)
        return WavReadError::NotRiffWave;
    if (const WavReadError e = findFormatAndData(in, out); e != WavReadError::Ok) return e;
    // The format is judged only once the data chunk has been found.
    if (out.format.formatTag() != 1) return WavReadError::NotPcm;
    if (out.format.bitsPerSample() != 16) return WavReadError::Not16Bit;
    const uint16_t channels = out.format.channels();
    if (channels != 1 && channels != 2) return WavReadError::UnsupportedChannels;
    const bool seekable = fitDataSizeToStream(in, out.dataChunk, 2u * channels);
    out.lengthUnknown = !seekable && (out.dataChunk.size == 0 || out.dataChunk.size == 0xFFFFFFFFu);
    out.lengthExact = seekable;
    return WavReadError::Ok;
}

WavReadError openWav(const std::string& path, std::ifstream& in, WavInput& out) {
    // A directory opens as a stream on some systems and then reads as empty.
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return WavReadError::CannotOpen;
    in.open(path, std::ios::binary);
    if (!in.is_open()) return WavReadError::CannotOpen;
    const WavReadError result = parseWavHeader(in, out);
    if (result != WavReadError::Ok) in.close();
    return result;
}

namespace {

template <typename Sample>
int readFrames(std::istream& in, int channels, int count, Sample* const out[2]) {
    if (channels != 1 && channels != 2) return 0;
    count = std::clamp(count, 0, kMaxReadFrames);
    const int frameBytes = 2 * channels;
    uint8_t buffer[kMaxReadFrames * 2 * kMaxChannels];
    in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(count) * frameBytes);
    const int frames = static_cast<int>(in.gcount()) / frameBytes;
    // One loop per channel count, so that the compiler can vectorise each.
    if (channels == 2) {
        Sample* const left = out[0];
        Sample* const right = out[1];
        for (int i = 0; i < frames; ++i) {
            left[i] = static_cast<int16_t>(loadLe16(buffer + 4 * i));
            right[i] = static_cast<int16_t>(loadLe16(buffer + 4 * i + 2));
        }
    } else {
        Sample* const mono = out[0];
        for (int i = 0; i < frames; ++i) mono[i] = static_cast<int16_t>(loadLe16(buffer + 2 * i));
    }
    return frames;
}

}  // namespace

int readSampleFrames(std::istream& in, int channels, int count, double* const out[2]) {
    return readFrames(in, channels, count, out);
}

int readSampleFrames(std::istream& in, int channels, int count, int16_t* const out[2]) {
    return readFrames(in, channels, count, out);
}

}  // namespace qmz
