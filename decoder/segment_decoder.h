// Decoding one resync segment on its own: the frames from one resync record
// to the next (frames 1 .. 44 for the first segment, 45k .. 45k + 44 for
// segment k), which start with fresh Huffman models and so can be read
// without the segments before them.
//
// The work splits in two steps so that segments can be decoded side by side
// and still give the linear decode's samples:
//  - readSegment: the entropy decode, from the segment's first byte (its
//    record) on. It yields the quantised frames, the byte where the segment
//    ends (where the next record must begin) and the number of noise draws
//    the segment takes.
//  - synthesizeSegment: dequantisation and synthesis, given the noise
//    generator's state at the segment's start (the draws of all segments
//    before it, NoiseRandom::skip). It starts with silence pending, so the
//    first frame's output is completed by the caller, who holds the true
//    pending overlap: completeFirstFrame. From the second frame on every
//    sample is already the linear decode's, because no block type's pending
//    tail depends on the frame before it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "common/band_tables.h"
#include "common/frame_syntax.h"
#include "decoder/decoder.h"
#include "decoder/dequantizer.h"
#include "decoder/payload_reader.h"
#include "decoder/synthesis.h"

namespace qmz {

// Reads up to `size` payload bytes starting at payload byte `offset`; fewer
// (0 at the end) only at the end of the payload.
using PayloadReadAt = std::function<std::size_t(int64_t offset, uint8_t* bytes, std::size_t size)>;

// A payload held in memory (the bytes after the header), which must outlive
// the reader.
PayloadReadAt payloadInMemory(std::span<const uint8_t> payload);

// The segments of a stream whose decoder reads frames 1 .. decodedFrames.
struct SegmentLayout {
    int64_t decodedFrames = 0;
    int32_t samplesPerChannel = 0;

    int64_t count() const { return decodedFrames > 0 ? decodedFrames / kResyncPeriod + 1 : 0; }
    int64_t firstFrame(int64_t segment) const { return segment == 0 ? 1 : segment * kResyncPeriod; }
    int frames(int64_t segment) const;
    // Sample frames frame t hands out, and the first of them.
    int outputFrames(int64_t frame) const;
    int64_t outputStart(int64_t frame) const;
};

SegmentLayout segmentLayoutOf(int32_t samplesPerChannel);

// The most values one frame packs into, and the room a whole segment takes:
// its packed values, and its samples per channel.
inline constexpr std::size_t kMaxFrameValues =
    kMaxChannels * std::max<std::size_t>(packedBlockSize(BlockShape::Long),
                                         packedBlockSize(BlockShape::Short) * kShortBlocksPerFrame);
inline constexpr std::size_t kSegmentValuesRoom = std::size_t{kResyncPeriod} * kMaxFrameValues;
inline constexpr std::size_t kSegmentPcmRoom = std::size_t{kResyncPeriod} * kFrameLength;

// A segment's quantised frames, packed (only what the frames code).
struct SegmentFrames {
    int64_t segment = 0;
    int64_t startOffset = 0;                    // payload byte of its record (0 for segment 0)
    int framesRead = 0;                         // frames read without error, from the first
    DecodeStatus status = DecodeStatus::Frame;  // Frame when all were read
    int64_t endOffset = 0;    // payload byte after the last frame (when all were read)
    uint64_t noiseDraws = 0;  // over the frames read
    std::vector<uint8_t> types;
    // Per frame, channel and block: the blocks packed (packBlock); room for
    // a whole segment (never cleared: only the frames read count), made by
    // readSegment when the caller lends none.
    std::span<int32_t> values;
    std::unique_ptr<int32_t[]> ownValues;

    bool complete() const { return status == DecodeStatus::Frame; }
};

// One decoding thread's working memory (some hundred kilobytes: keep it off
// the stack).
struct SegmentScratch {
    std::unique_ptr<FramePayloadReader> reader;
    std::array<ChannelBlocks, kMaxChannels> blocks{};
};

// Entropy-decodes `frames` frames of `segment` from payload byte `offset`
// into `out` (its buffers are reused).
void readSegment(const PayloadReadAt& readAt, int64_t offset, int64_t segment, int frames,
                 int channels, SegmentScratch& scratch, SegmentFrames& out);

// A segment's samples: every frame's but the first, and what the caller needs
// to complete the first with the true pending overlap (its samples after
// silence: completeAfterPending).
struct SegmentSamples {
    std::array<std::array<double, kFrameLength>, kMaxChannels> firstOverSilence{};
    BlockType firstType = BlockType::Long;
    // Interleaved, the frames after the first; made by synthesizeSegment
    // when the caller lends no room for kSegmentPcmRoom samples per channel.
    std::span<int16_t> pcm;
    std::unique_ptr<int16_t[]> ownPcm;
    int64_t pcmFrames = 0;                              // sample frames in pcm
    std::array<OverlapBuffer, kMaxChannels> overlap{};  // pending after the last frame
};

// Dequantises and synthesises the frames read (framesRead of them) with the
// generator at `noise` on entry.
void synthesizeSegment(const SegmentFrames& frames, const SegmentLayout& layout, int channels,
                       bool midSide, NoiseRandom noise, SegmentSamples& out);

// The first frame's samples (layout.outputFrames of it, maybe 0) into pcm,
// with `overlap` the pending tail before it; afterwards `overlap` holds the
// segment's pending tail after its last frame (samples.overlap's lower
// half, all that a next frame reads before writing).
int completeFirstFrame(const SegmentSamples& samples, const SegmentFrames& frames,
                       const SegmentLayout& layout, int channels,
                       std::array<OverlapBuffer, kMaxChannels>& overlap, int16_t* pcm);

// The next payload offset at or after `from` where the resync record's bytes
// stand (a candidate: ResyncScanner), or -1.
int64_t findRecordCandidate(const PayloadReadAt& readAt, int64_t from);

// Whether the record's bytes stand at `offset`.
bool recordAt(const PayloadReadAt& readAt, int64_t offset);

}  // namespace qmz
