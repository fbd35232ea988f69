#include "io/wav_reader.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <istream>

#include "common/band_tables.h"
#include "common/little_endian.h"

namespace qmz {

namespace {

constexpr uint32_t kFormatBlockSize = 16;
// The format body of WAVE_FORMAT_EXTENSIBLE: the 16 bytes, the extension's
// size (22), valid bits, channel mask and the sub-format GUID.
constexpr uint32_t kExtensibleBodySize = 40;
constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;
// What every sub-format GUID of the classic tags has after its leading
// 16-bit tag: xxxxxxxx-0000-0010-8000-00aa00389b71, stored little-endian.
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

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

// The format tag the samples really have: an extensible block's sub-format
// when it names one of the classic tags, else the block's own tag (0xFFFE
// for an extensible block whose sub-format is something else).
uint16_t effectiveFormatTag(const uint8_t* body, uint32_t bodySize) {
    const uint16_t tag = loadLe16(body);
    if (tag != kTagExtensible || bodySize < kExtensibleBodySize || loadLe16(body + 16) < 22)
        return tag;
    if (std::memcmp(body + 26, kSubFormatTail, sizeof kSubFormatTail) != 0) return tag;
    return loadLe16(body + 24);
}

// The format chunk first, then the data chunk, with at most one chunk between.
WavReadError findFormatAndData(std::istream& in, WavInput& out, uint16_t& tag) {
    DataChunkHeader chunk;
    if (!readChunkHeader(in, chunk)) return WavReadError::NoChunkHeader;
    if (!hasId(chunk, "fmt ") || chunk.size < kFormatBlockSize) return WavReadError::BadFormatChunk;
    uint8_t body[kExtensibleBodySize] = {};
    if (!readBytes(in, body, kFormatBlockSize)) return WavReadError::BadFormatChunk;
    std::memcpy(out.format.bytes.data(), body, kFormatBlockSize);
    // The extension, when there is one; a short read shows at the next header.
    const uint32_t kept = std::min(chunk.size, kExtensibleBodySize);
    if (kept > kFormatBlockSize) readBytes(in, body + kFormatBlockSize, kept - kFormatBlockSize);
    tag = effectiveFormatTag(body, kept);
    skipRestOfChunk(in, chunk.size, kept);

    if (!readChunkHeader(in, chunk)) return WavReadError::NoChunkAfterFormat;
    if (!hasId(chunk, "data")) {
        uint32_t consumed = 0;
        if (hasId(chunk, "LIST") && chunk.size <= kMaxListChunkBody) {
            out.listChunkBody.resize(chunk.size);
            if (!readBytes(in, out.listChunkBody.data(), chunk.size)) out.listChunkBody.clear();
            consumed = chunk.size;
        }
        skipRestOfChunk(in, chunk.size, consumed);  // at most one chunk between format and data
        if (!readChunkHeader(in, chunk)) return WavReadError::NoChunkAfterFormat;
        if (!hasId(chunk, "data")) return WavReadError::DataNotFound;
    }
    out.dataChunk = chunk;
    return WavReadError::Ok;
}

WavReadError judgeFormat(uint16_t tag, const WavFormatBlock& format, SampleFormat& sampleFormat) {
    if (tag != kTagPcm && tag != kTagFloat) return WavReadError::NotPcm;
    const uint16_t bits = format.bitsPerSample();
    if (tag == kTagFloat) {
        if (bits != 32) return WavReadError::UnsupportedBits;
        sampleFormat = SampleFormat::Float32;
    } else if (bits == 16) {
        sampleFormat = SampleFormat::Int16;
    } else if (bits == 24) {
        sampleFormat = SampleFormat::Int24;
    } else if (bits == 32) {
        sampleFormat = SampleFormat::Int32;
    } else {
        return WavReadError::UnsupportedBits;
    }
    const uint16_t channels = format.channels();
    if (channels != 1 && channels != 2) return WavReadError::UnsupportedChannels;
    if (format.sampleRate() == 0) return WavReadError::ZeroSampleRate;
    return WavReadError::Ok;
}

// The 16-bit PCM block of the same channels and rate.
WavFormatBlock pcm16Block(const WavFormatBlock& source) {
    WavFormatBlock block;
    const uint16_t channels = source.channels();
    const uint32_t rate = source.sampleRate();
    storeLe16(block.bytes.data(), kTagPcm);
    storeLe16(block.bytes.data() + 2, channels);
    storeLe32(block.bytes.data() + 4, rate);
    storeLe32(block.bytes.data() + 8, rate * 2u * channels);
    storeLe16(block.bytes.data() + 12, static_cast<uint16_t>(2u * channels));
    storeLe16(block.bytes.data() + 14, 16);
    return block;
}

// Whether the bytes at the stream's position begin a chunk that fits in the
// `available` bytes: an id of four printable characters and a size within
// them. The stream's position is left where it was only by the caller.
bool wellFormedChunkFollows(std::istream& in, uint64_t available) {
    DataChunkHeader next;
    if (available < 8 || !readChunkHeader(in, next)) return false;
    for (const char c : next.id) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return next.size <= available - 8;
}

// A data chunk may claim more bytes than the stream holds. When the stream can
// tell how much follows, keep only the whole sample frames that are really
// there, and return to the first sample byte. Unseekable streams keep the
// declared size; false when the stream cannot tell. `sourceBytes` is set to
// the sample bytes that will be read.
bool fitDataSizeToStream(std::istream& in, uint32_t declared, uint32_t frameBytes,
                         uint64_t& sourceBytes) {
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
    // The sizes a writer that could not come back to the header leaves: the
    // samples run to the end of the file. An empty data chunk followed by a
    // chunk is an empty file, though.
    bool toTheEnd = declared == 0xFFFFFFFFu;
    if (declared == 0 && available > 0) {
        toTheEnd = !wellFormedChunkFollows(in, available);
        in.clear();
        in.seekg(start);
    }
    if (toTheEnd || available < declared) {
        sourceBytes = available - available % frameBytes;
    } else {
        sourceBytes = declared;
    }
    return true;
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
            return "the samples are neither integer PCM nor floating point";
        case WavReadError::UnsupportedBits:
            return "only 16-, 24- and 32-bit integer and 32-bit float samples are supported";
        case WavReadError::UnsupportedChannels:
            return "only mono and stereo are supported";
        case WavReadError::ZeroSampleRate:
            return "the sample rate is 0";
    }
    return "unknown error";
}

uint32_t maxCodedDataSize(int channels) {
    const uint32_t frameBytes = 2u * static_cast<uint32_t>(channels);
    return 0xFFFFFFFFu - 0xFFFFFFFFu % frameBytes;
}

WavReadError parseWavHeader(std::istream& in, WavInput& out) {
    uint8_t prefix[12];
    if (!readBytes(in, prefix, sizeof prefix)) return WavReadError::TooShort;
    if (std::memcmp(prefix, "RIFF", 4) != 0 || std::memcmp(prefix + 8, "WAVE", 4) != 0)
        return WavReadError::NotRiffWave;
    uint16_t tag = 0;
    if (const WavReadError e = findFormatAndData(in, out, tag); e != WavReadError::Ok) return e;
    // The format is judged only once the data chunk has been found.
    if (const WavReadError e = judgeFormat(tag, out.format, out.sampleFormat);
        e != WavReadError::Ok)
        return e;
    const uint32_t channels = out.format.channels();
    const bool converted = out.sampleFormat != SampleFormat::Int16;
    if (converted || out.format.formatTag() != kTagPcm) out.format = pcm16Block(out.format);

    const uint32_t declared = out.dataChunk.size;
    const uint32_t frameBytes = bytesPerSample(out.sampleFormat) * channels;
    uint64_t sourceBytes = declared;
    const bool seekable = fitDataSizeToStream(in, declared, frameBytes, sourceBytes);
    // What the samples take once converted to 16 bits; a 16-bit size that
    // fits is kept as declared, odd bytes and all.
    uint64_t codedBytes = converted ? sourceBytes / frameBytes * 2u * channels : sourceBytes;
    if (seekable && codedBytes > maxCodedDataSize(static_cast<int>(channels))) {
        out.exceedsContainer = true;
        codedBytes = maxCodedDataSize(static_cast<int>(channels));
    }
    out.dataChunk.size = static_cast<uint32_t>(codedBytes);
    out.lengthUnknown = !seekable && (declared == 0 || declared == 0xFFFFFFFFu);
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

uint32_t bytesPerSample(SampleFormat format) {
    switch (format) {
        case SampleFormat::Int16:
            return 2;
        case SampleFormat::Int24:
            return 3;
        case SampleFormat::Int32:
        case SampleFormat::Float32:
            return 4;
    }
    return 2;
}

}  // namespace qmz
