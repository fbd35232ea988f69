// Decoding a .qmz payload segment by segment: on several threads (the
// segments between resync records are entropy-decoded and synthesised side
// by side, then written in order), and through damage (after a fault the
// decode picks up at the next resync record that reads, with silence in
// between). Both need the payload at random offsets: a file, or standard
// input spooled to a temporary file.
//
// Identity: with or without threads the samples are the linear decode's.
// Each segment's noise generator starts at the state the draws of all
// segments before it leave (NoiseRandom::skip), its first frame is completed
// in order with the true pending overlap, and a segment is used only when it
// starts at the byte where the one before it ended (a record candidate that
// is really a zero run inside Huffman data fails that test; from there the
// decode goes on one segment at a time).
//
// Through damage (keepGoing): the frame that fails hands out the pending tail
// of the frame before it (the synthesis window's own fall: a fade out, no
// click), then silence, then the first frame of the segment that picks up,
// synthesised over silence (the window's rise: a fade in). A record
// candidate picks up only when its whole segment reads and ends where the
// next record begins (or is the stream's last). Its segment index comes from
// its byte position: the last good segment's start plus the distance in
// whole segments of the header's average bit rate, corrected by the bytes
// the payload lacks or has over that rate (a block of bytes lost in the gap).
// With a seek table the segment is the one whose record offset is nearest
// (after the same correction) and the noise generator takes the table's
// draws for it, so everything after the gap is the linear decode's. Without
// one the generator runs on from where the damage stopped it: the draws of
// the lost frames cannot be known, so inside noise-substituted bands the
// samples after a gap are other random values of the same level. The output
// always holds the header's number of sample frames.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "common/container.h"
#include "decoder/segment_decoder.h"
#include "io/decode_file.h"
#include "io/seek_index.h"
#include "io/tag_block.h"

namespace qmz {

// Sample frames [first, end) that did not decode (silence and the fades).
struct DamagedSpan {
    int64_t first = 0;
    int64_t end = 0;
};

struct SegmentedDecodeOptions {
    int threads = 1;         // decoding threads (1: segments decoded in turn)
    bool keepGoing = false;  // decode through damage instead of stopping at it
    // Payload bytes, when known (a file): corrects the segment index estimate
    // after a gap for bytes lost. -1 when unknown.
    int64_t payloadSize = -1;
    // The seek table after the stream, when it has one: entry i is the
    // record before frame 45 (i + 1), with the noise draws before it. After a
    // gap it places a record by its offset and sets the noise generator
    // exactly.
    std::vector<SeekTableEntry> seekTable;
    // Where the decode starts (a resync point before range.first, from a
    // SeekIndex; the stream's start by default), and the sample frames the
    // output holds.
    SeekPoint start;
    SampleRange range;
};

struct SegmentedDecodeResult {
    DecodeFileResult file;
    std::vector<DamagedSpan> damaged;
    // The first fault's kind when keepGoing decoded through damage.
    DecodeError firstError = DecodeError::None;
};

// Where a segmented decode puts its samples (interleaved sample frames).
class SampleSink {
  public:
    virtual ~SampleSink() = default;
    virtual void put(const int16_t* pcm, int64_t frames) = 0;
    virtual void silence(int64_t frames) = 0;
    // The stream's sample frame the next put or silence starts at.
    virtual int64_t framesWritten() const = 0;
    virtual bool good() const = 0;  // false stops the decode
};

// A decode that hands out one segment (or one gap after damage) per step,
// for a caller that takes samples as it needs them. `readAt` and `sink` must
// outlive it.
class SegmentedDecoder {
  public:
    SegmentedDecoder(const PayloadReadAt& readAt, const ContainerFile& file, SampleSink& sink,
                     const SegmentedDecodeOptions& options);
    ~SegmentedDecoder();
    // Goes on from resync point `point` instead (before the first step, or
    // to seek); returns the stream's sample frame that the samples then
    // handed out start at, for the sink's count. The first frame's samples
    // lack the overlap before the point: a caller keeps those it needs from
    // the next frame on (as SeekIndex's points allow).
    int64_t restart(const SeekPoint& point);
    // False once the stream is done (or failed, without keepGoing); the
    // result gathers the errors and the damaged ranges.
    bool step(SegmentedDecodeResult& result);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The payload behind `file`'s header is read with readAt; writes the WAV
// file of options.range like decodeRangeToWav (the same bytes when nothing
// is damaged), entered at options.start.
SegmentedDecodeResult decodeSegmentsToWav(const PayloadReadAt& readAt, const ContainerFile& file,
                                          std::ostream& dest,
                                          const SegmentedDecodeOptions& options);

}  // namespace qmz
