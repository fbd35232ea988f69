// The frame loop of an Encoder session on several threads, with the same
// bytes, console reports and counts as the single-threaded loop.
//
// The loop is cut into segments of 45 frames, the entropy coder's resync
// period: the coder restarts its models at every resync point on a byte
// boundary, so the payload of a segment is a function of that segment's
// frames alone and the payload is the segments' bytes one after the other.
// A segment goes through three steps:
//   1. spectral analysis (the costly part: FFTs, unpredictability,
//      spreading) on a worker; it depends on the samples alone, so the
//      worker starts from a reset model fed the three frames before the
//      segment;
//   2. the threshold recursion and the block-type sequence, cheap and
//      strictly in order, on the calling thread;
//   3. transform, quantiser and entropy coding on a worker, into memory.
// The calling thread reads the input, runs step 2, and writes the segments
// and replays their reports in order. At most a few segments are in flight,
// so memory does not grow with the input.
//
// The quantiser carries its line array from block to block, and a band that
// stops at the quant limit keeps some of the lines an earlier block left. A
// segment coded from a fresh array is therefore exact unless such a band
// reads lines the segment itself has not written yet; the worker detects
// that, and the calling thread then codes the segment again from the exact
// array the previous segment left (as it also does when a segment ends
// without having rewritten the whole array, so that the exact array is
// always known).
#pragma once

#include <array>
#include <cstdint>

#include "common/byte_sink.h"
#include "encoder/encoder.h"
#include "encoder/presets.h"
#include "encoder/sample_source.h"

namespace qmz {

struct FrameLoopResult {
    bool failed = false;  // the payload writer refused a frame
    int frames = 0;       // as Encoder::framesWritten
    int64_t payloadBits = 0;
    std::array<int, 4> blockTypeCounts{};
    int32_t samplesPerChannel = 0;  // coded: fewer than asked when the input ended early
};

// Runs the frame loop on `threads` worker threads (at least 1; no more than
// the input has segments, nor than 64) over samplesPerChannel sample frames
// from `samples` (an input that ends earlier is coded as long as it is), and
// writes the payload to `payload`, end of stream included: the bytes an
// Encoder fed the same samples writes up to its finish(), with the same
// reports to `observer` (may be null) in the same order, all made on the
// calling thread. Stops early when `payload` refuses bytes. `policy` (null:
// the preset's) is asked from several threads at once.
FrameLoopResult encodeFramesParallel(SampleSource& samples, int channels, int32_t samplesPerChannel,
                                     const PresetParams& preset, ByteSink& payload,
                                     EncoderObserver* observer, int threads,
                                     const EncoderPolicy* policy = nullptr);

// The number of worker threads `-j N` asks for: N, or one per core for 0.
int resolveThreadCount(int requested);

}  // namespace qmz
