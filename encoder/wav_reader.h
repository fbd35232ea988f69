// RIFF/WAVE input for the encoder: header parsing and bulk sample reading.
//
// The accepted shape is deliberately narrow: "RIFF" size "WAVE", a "fmt "
// chunk first, at most one other chunk, then "data"; PCM, 16 bits, one or two
// channels. The format chunk's own size is honoured (bodies longer than the
// 16 kept bytes are skipped) and odd-sized chunks are followed by their pad
// byte, so sample bytes are never taken for a chunk header.
#pragma once

#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <string>

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
    NotPcm = -8,               // format tag is not 1
    Not16Bit = -9,             // bits per sample are not 16
    UnsupportedChannels = -10  // channel count is neither 1 nor 2
};

// Plain words for a result, for the programs' messages.
const char* describeWavReadError(WavReadError error);

struct WavInput {
    WavFormatBlock format;
    DataChunkHeader dataChunk;  // "data" and the number of sample bytes to code
    // The stream cannot seek and the data size is 0 or 0xFFFFFFFF, the values
    // a writer into a pipe leaves: the samples run to the end of the stream.
    bool lengthUnknown = false;
    // The stream could seek, so dataChunk.size was checked against the bytes
    // really there: exactly that many will arrive.
    bool lengthExact = false;
};

// Parses the header at the stream's position. On Ok the stream stands at the
// first sample byte. When the stream is seekable and holds fewer sample bytes
// than the data chunk declares (a truncated file, or the 0xFFFFFFFF size of a
// streaming writer), dataChunk.size is lowered to the whole sample frames
// present; a size that fits is kept as declared. An unseekable stream keeps
// the declared size as the most it will deliver (see lengthUnknown).
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
