// Finding the resync records in a payload, and telling real ones from look-alikes.
//
// Before every 45th frame the payload is byte-aligned, carries eight 0x00
// bytes and one 0xFF, and every model restarts, so decoding can start there.
// The same nine bytes can also occur inside the Huffman bits (silence codes
// long runs of zero bits), so a byte pattern is only a candidate: a candidate
// is confirmed by decoding its segment, which must read without error and end
// exactly where the next record begins, or where the stream ends when the
// frame count says so.
//
// Offsets here count from the payload's first byte (the one after the
// 266-byte container header), and a record's offset is that of its first
// 0x00 byte.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/frame_syntax.h"
#include "decoder/payload_reader.h"

namespace qmz {

inline constexpr int64_t kResyncRecordSize = static_cast<int64_t>(kResyncRecord.size());

// The frame a 1024-sample-frame output position first depends on: frame t
// (1, 2, ...) completes sample frames (t - 3) * 1024 .. (t - 2) * 1024 - 1.
constexpr int frameCompleting(int64_t sampleFrame) {
    return static_cast<int>(sampleFrame / 1024) + 3;
}

// The last frame in the payload of a stream of `samplesPerChannel` sample
// frames (the encoder writes one more than a decoder needs).
constexpr int lastFrameOf(int64_t samplesPerChannel) {
    return static_cast<int>((std::max<int64_t>(samplesPerChannel, 0) + 1023) / 1024) + 3;
}

// The resync point a decode must start from to reproduce output sample frame
// `sampleFrame` exactly (outside noise bands): the frame after a record only
// primes the overlap, so the record must come before the frame completing
// the sample's predecessor frame. 1 when only the stream's start will do.
constexpr int restartFrameFor(int64_t sampleFrame) {
    const int previous = frameCompleting(sampleFrame) - 1;
    const int point = previous / kResyncPeriod * kResyncPeriod;
    return point == 0 ? 1 : point;
}

// Candidate records in a payload that arrives in pieces: scan() each piece in
// order; a record split across pieces is found.
class ResyncScanner {
  public:
    // Appends the offset of every candidate that ends in `bytes` to `found`,
    // in increasing order.
    void scan(const uint8_t* bytes, std::size_t size, std::vector<int64_t>& found);
    // Payload bytes scanned so far.
    int64_t scanned() const { return scanned_; }

  private:
    int64_t scanned_ = 0;
    int zerosBefore_ = 0;  // 0x00 bytes ending the bytes scanned (at most 8 counted)
};

// Every candidate in a whole payload.
std::vector<int64_t> findResyncCandidates(std::span<const uint8_t> payload);

// Whether the record bytes start at `offset` of `payload`.
bool isResyncRecordAt(std::span<const uint8_t> payload, int64_t offset);

struct SegmentCheck {
    bool confirmed = false;
    int frames = 0;            // frames read without error
    int64_t end = 0;           // offset after the segment's last frame: the next record's
    bool lastSegment = false;  // the segment ends the stream (end markers after it)
    uint64_t noiseDraws = 0;   // the generator draws the frames read make
};

// Entropy-decodes segments (no dequantising, no synthesis). One object can
// check any number of segments; it holds a payload reader, so make it once.
class SegmentChecker {
  public:
    // The segment starting at `offset` of `payload`: frames firstFrame .. the
    // frame before the next resync point, or `lastFrame`, the stream's last
    // frame, if that comes first. `firstFrame` is 1 (then `offset` is 0, the
    // payload's start) or a resync point, whose record stands at `offset`.
    // Confirmed when every frame reads without error and the segment ends
    // where a record starts or, when it holds the last frame, the end markers
    // follow. A look-alike record fails to confirm (its frames misread, or do
    // not end at a record) but for a vanishing chance.
    SegmentCheck check(std::span<const uint8_t> payload, int64_t offset, int firstFrame,
                       int lastFrame, int channels);

  private:
    FramePayloadReader reader_;
    std::array<ChannelBlocks, kMaxChannels> blocks_{};
};

}  // namespace qmz
