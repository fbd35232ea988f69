// Decodes a whole .qmz stream into a WAV stream, frame by frame, in constant
// memory.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <vector>

#include "decoder/decoder.h"
#include "io/wav_writer.h"

namespace qmz {

struct DecodeFileResult {
    DecodeError error = DecodeError::None;
    bool writeFailed = false;   // the destination stream failed
    int64_t framesWritten = 0;  // sample frames per channel in the output
    // After an error: whether the WAV header was rewritten to the sizes
    // written (false when the destination cannot seek, a pipe say).
    bool headerFitted = false;
};

// Hands the bytes of an input stream to a decoder session in the pieces it
// takes.
class StreamFeed {
  public:
    explicit StreamFeed(std::istream& source);

    // Bytes read from the source and not taken yet; empty at its end.
    std::span<const uint8_t> next();
    void taken(std::size_t count) { next_ += count; }
    // Reads the source to its end; the bytes read and not taken.
    int64_t skipToEnd();

    // What a session that answered NeedInput wants: more bytes, or the news
    // that none will come.
    template <class Session>
    void feed(Session& session) {
        const std::span<const uint8_t> bytes = next();
        if (bytes.empty()) {
            session.endInput();
        } else {
            taken(session.push(bytes.data(), bytes.size()));
        }
    }

  private:
    std::istream& source_;
    std::vector<uint8_t> chunk_;
    std::size_t next_ = 0;
    std::size_t size_ = 0;
};

// Reads the 266-byte container header and checks what the decoder relies on,
// so that a program can refuse a file before it creates its destination.
DecodeError readQmzHeader(std::istream& source, ContainerFile& file);

// Writes the WAV header and the samples of the stream behind `file`'s header.
// When the stream turns out truncated or damaged, every sample decoded before
// that point stays, and if `dest` can seek, the WAV header's sizes are
// rewritten to what it really holds, so the output stays a valid WAV file.
DecodeFileResult decodeToWav(std::istream& source, const ContainerFile& file, std::ostream& dest);

// Rewrites the WAV header at the start of `dest` for `frames` sample frames
// (whole frames of 16-bit samples) and returns to the end. False when the
// destination cannot seek back to its start (a pipe).
bool rewriteWavHeader(std::ostream& dest, const WavFormatBlock& format, int64_t frames,
                      int channels);

// Sample frames first .. end - 1 of a stream (end clipped to its length).
struct SampleRange {
    int64_t first = 0;
    int64_t end = INT64_MAX;
};

// decodeToWav of a range only: the WAV file holds exactly its sample frames,
// the samples the whole decode has there. A seekable source is entered at
// the resync point before `first` (see io/seek_index.h: without a seek table
// the noise bands' noise may differ); a pipe is decoded from its start, the
// samples before `first` dropped.
DecodeFileResult decodeRangeToWav(std::istream& source, const ContainerFile& file,
                                  std::ostream& dest, const SampleRange& range);

// Both steps; nothing is written to `dest` when the header is refused.
DecodeFileResult decodeFile(std::istream& source, std::ostream& dest);

}  // namespace qmz
