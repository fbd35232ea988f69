// RIFF/WAVE input for the encoder: header parsing and bulk sample reading.
//
// The accepted shape is deliberately narrow: "RIFF" size "WAVE", a "fmt "
// chunk first, at most one other chunk, then "data"; one or two channels of
// 16-, 24- or 32-bit integer PCM or 32-bit float, with a plain or an
// extensible format tag. The format chunk's own size is honoured (bodies
// longer than the bytes read are skipped) and odd-sized chunks are followed by
// their pad byte, so sample bytes are never taken for a chunk header.
#pragma once

#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <string>
#include <vector>

#include "common/container.h"

namespace qmz {

enum class WavReadError : int {
    Ok = 0,
    CannotOpen = -1,           // the file cannot be opened
    TooShort = -2,             // fewer than 12 bytes
    NotRiffWave = -3,          // the first 12 bytes are not "RIFF" .... "WAVE"
    NoChunkHeader = -4,        // no chunk header after the prefix
    BadFormatChunk = -5,       // first chunk is not "fmt ", or its body is short
    NoChunkAfterFormat = -6,   // no chunk header after the format chunk / skipped chunk
    DataNotFound = -7,         // the chunk after the one skipped chunk is not "data"
    NotPcm = -8,               // neither integer PCM nor float, plain or extensible
    UnsupportedBits = -9,      // not 16/24/32-bit integer, nor 32-bit float
    UnsupportedChannels = -10, // channel count is neither 1 nor 2
    ZeroSampleRate = -11       // a rate of 0 leaves nothing to play the samples at
};

// How the input's samples are stored; everything but Int16 is converted to
// 16 bits on the way in (see sample_conversion.h).
enum class SampleFormat { Int16, Int24, Int32, Float32 };

// Bytes one sample of the format takes in the data chunk.
uint32_t bytesPerSample(SampleFormat format);

// Plain words for a result, for the programs' messages.
const char* describeWavReadError(WavReadError error);

struct WavInput {
    // The format the container records: the input's own block for plain
    // 16-bit PCM (byte for byte), otherwise the 16-bit PCM block of the same
    // channels and rate that the converted samples have.
    WavFormatBlock format;
    SampleFormat sampleFormat = SampleFormat::Int16;
    // "data" and the number of 16-bit sample bytes to code: for converted
    // input the size the converted samples take, for a length that runs to the
    // end of a file the whole sample frames there, at most what the
    // container's 32-bit size field can record.
    DataChunkHeader dataChunk;
    // The stream cannot seek and the data size is 0 or 0xFFFFFFFF, the values
    // a writer into a pipe leaves: the samples run to the end of the stream.
    bool lengthUnknown = false;
    // The stream could seek, so dataChunk.size was checked against the bytes
    // really there: exactly that many will arrive.
    bool lengthExact = false;
    // The file holds more sample frames than the container can record (its
    // data size ran to the end of a file larger than that): coding it whole
    // is impossible, and coding dataChunk.size would drop the rest.
    bool exceedsContainer = false;
    // The body (after its size field) of a "LIST" chunk between the format
    // and the data chunk, where tags are kept; empty when there is none or it
    // is larger than kMaxListChunkBody.
    std::vector<uint8_t> listChunkBody;
};

// Tag lists are a few hundred bytes; a larger LIST chunk is skipped unread.
inline constexpr uint32_t kMaxListChunkBody = 64u << 10;

// The largest data size the container records for `channels` 16-bit
// channels: whole sample frames within the 32-bit field.
uint32_t maxCodedDataSize(int channels);

// Parses the header at the stream's position. On Ok the stream stands at the
// first sample byte. When the stream is seekable and holds fewer sample bytes
// than the data chunk declares (a truncated file), dataChunk.size is lowered
// to the whole sample frames present; a size that fits is kept as declared.
// A size of 0xFFFFFFFF, or of 0 when what follows is not a well-formed chunk
// (both what a streaming writer leaves), runs to the end of a seekable file.
// An unseekable stream keeps the declared size as the most it will deliver
// (see lengthUnknown).
WavReadError parseWavHeader(std::istream& in, WavInput& out);

// Opens path in binary mode and parses it; CannotOpen if it cannot be opened.
// On any failure the stream is closed.
WavReadError openWav(const std::string& path, std::ifstream& in, WavInput& out);

inline constexpr int kMaxReadFrames = 1024;

// Reads up to count (clamped to 0 .. kMaxReadFrames) interleaved 16-bit
// little-endian sample frames of `channels` (1 or 2) channels with one bulk
// read, and stores sample i of channel c as the double out[c][i] with the
// same value (no scaling). out[1] is not touched for mono. Returns the number
// of whole sample frames stored. A partial trailing sample frame (the stream
// ends inside it) is consumed and dropped: it is not coded, and the caller
// zero-fills from the returned count on. After a short read the stream is at
// its end with eof/fail set, and later calls return 0.
int readSampleFrames(std::istream& in, int channels, int count, double* const out[2]);
// The same, stored as 16-bit samples.
int readSampleFrames(std::istream& in, int channels, int count, int16_t* const out[2]);

}  // namespace qmz
