// Inspection of a whole .qmz stream without synthesis: the header, then every
// frame's block type and bits through the same payload reader the decoder
// uses, so reading to the end is also a validity check.
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

struct StreamReport {
    ContainerFile file;
    int64_t frameCount = 0;                    // frames in the payload: ceil(samples / 1024) + 3
    int64_t framesRead = 0;                    // frames read without error
    int64_t resyncPoints = 0;                  // among the frames read
    std::array<int64_t, 4> blockTypeCounts{};  // long, start, short, stop
    int64_t minFrameBits = 0;                  // over the frames read (resync records included)
    int64_t maxFrameBits = 0;
    FrameBitShares totalBits;  // summed over the frames read

    // Failures: a header the decoder refuses, or the frame where reading
    // failed (failedFrame 0 when none did).
    DecodeError headerError = DecodeError::None;
    StreamError frameError = StreamError::None;
    int64_t failedFrame = 0;

    bool ok() const { return headerError == DecodeError::None && failedFrame == 0; }
    double meanFrameBits() const;
    double durationSeconds() const;  // at the sample rate the WAV output declares
};

// Frames the payload of a stream of `samplesPerChannel` sample frames holds.
int64_t payloadFrameCount(int32_t samplesPerChannel);

// Reads the header and all frames from `qmz` (standing at its start).
// onFrame, when given, sees every frame read without error, in order.
StreamReport inspectStream(std::istream& qmz,
                           const std::function<void(const FrameReport&)>& onFrame = {});

}  // namespace qmz
