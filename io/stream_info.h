// Inspection of a whole .qmz stream without synthesis: the header, then every
// frame's block type and bits through the same payload reader and level check
// the decoder uses, so the verdict on a file is the decoder's own.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>

#include "common/band_tables.h"
#include "common/container.h"
#include "decoder/decoder.h"
#include "decoder/payload_reader.h"

namespace qmz {

struct FrameReport {
    int index = 0;  // 1, 2, 3, ...
    BlockType type = BlockType::Long;
    bool resyncPoint = false;
    FrameBitShares bits;
};

// What follows the frames the decoder reads: the last frame an encoder writes
// (which completes no sample), the end markers and the closing byte. None of
// it changes what a decode yields, so it is a remark on the file, never a
// failure of it.
struct StreamTail {
    int64_t failedFrame = 0;  // a frame there that does not read (0 when none)
    StreamError frameError = StreamError::None;
    bool levelsOutOfRange = false;  // that frame read, but would not dequantise
    bool endRead = false;           // the end markers and closing byte are there
    int64_t trailingBytes = 0;      // bytes after the closing byte (when endRead)

    bool complete() const { return endRead && trailingBytes == 0; }
};

struct StreamReport {
    ContainerFile file;
    int64_t frameCount = 0;                    // frames in the payload: ceil(samples / 1024) + 3
    int64_t decodedFrames = 0;                 // of these, the frames the decoder reads
    int64_t framesRead = 0;                    // frames read without error
    int64_t resyncPoints = 0;                  // among the frames read
    std::array<int64_t, 4> blockTypeCounts{};  // long, start, short, stop
    int64_t minFrameBits = 0;                  // over the frames read (resync records included)
    int64_t maxFrameBits = 0;
    FrameBitShares totalBits;  // summed over the frames read

    // Failures, the checks of a decode: a header the decoder refuses, or the
    // decoded frame where reading failed or whose levels are out of range
    // (failedFrame 0 when none did).
    DecodeError headerError = DecodeError::None;
    StreamError frameError = StreamError::None;
    bool levelsOutOfRange = false;
    int64_t failedFrame = 0;

    StreamTail tail;  // read only when every decoded frame was

    bool ok() const { return headerError == DecodeError::None && failedFrame == 0; }
    // The error a decode of the same bytes ends with.
    DecodeError verdict() const;
    double meanFrameBits() const;
    double durationSeconds() const;  // at the sample rate the WAV output declares
};

// Frames the payload of a stream of `samplesPerChannel` sample frames holds.
int64_t payloadFrameCount(int32_t samplesPerChannel);
// Frames the decoder reads to hand out `samplesPerChannel` sample frames.
int64_t decodedFrameCount(int32_t samplesPerChannel);

// Reads the header, all frames and the end of the stream from `qmz` (standing
// at its start), making every check a decode makes. onFrame, when given, sees
// every frame read without error, in order.
StreamReport inspectStream(std::istream& qmz,
                           const std::function<void(const FrameReport&)>& onFrame = {});

}  // namespace qmz
