// The decoder session: one object per .qmz stream, owning the payload reader,
// the overlap buffers, the noise generator and the sample counters. It works
// on bytes in memory: the caller pushes the payload as it arrives (or hands
// it over whole) and takes decoded frames out; files and streams are the
// caller's business.
//
// Timing: the encoder's frame t carries the transform whose newer half is
// input frame t - 2, and the synthesis completes a frame one frame late. So
// frames 1 and 2 only fill the synthesis state, and from frame 3 on each
// frame completes 1024 sample frames; the session reads frames 1 ..
// ceil(samplesPerChannel / 1024) + 2 and hands out exactly samplesPerChannel
// sample frames, output sample k being input sample k.
#pragma once

#include <array>
#include <cstdint>

#include "common/band_tables.h"
#include "common/container.h"
#include "decoder/dequantizer.h"
#include "decoder/payload_reader.h"
#include "decoder/synthesis.h"

namespace qmz {

enum class DecodeError {
    None = 0,
    NotQmz,         // no "*qmz" magic: not a .qmz file
    Incomplete,     // an all-zero header, left by an encode that did not finish
    BadHeader,      // a channel count other than 1 and 2, or a negative length
    Truncated,      // the stream ends before its last frame
    DamagedStream,  // bits no encoder writes (an invalid code, block type or step)
};

const char* describeDecodeError(DecodeError error);

// The decode error a payload reader's error amounts to: Truncated for an early
// end, DamagedStream for anything else (NeedInput is no error: not for it).
DecodeError decodeErrorOf(StreamError error);

// Checks the fields the decoder relies on before anything is written.
DecodeError checkContainer(const ContainerFile& file);

// Parses and checks the container header from the first `size` bytes of a
// stream: Truncated when fewer than 266 came but they start with the magic
// (a file cut inside its header still says what it was meant to be), NotQmz
// when they do not.
DecodeError readContainerHeader(const uint8_t* bytes, std::size_t size, ContainerFile& file);

// Rounds half away from zero and clips to -32767 .. 32767 (never -32768).
int16_t toPcm16(double x);

// toPcm16 of count samples of one channel (right null) or two, interleaved
// into pcm; two samples at a time where the machine has SSE2.
void interleavePcm16(const double* left, const double* right, int count, int16_t* pcm);

// What decodeFrame did.
enum class DecodeStatus {
    Frame,      // decoded a frame
    NeedInput,  // the next frame may reach past the bytes pushed: push more, or end the input
    End,        // every sample frame has been handed out
    Truncated,  // the input ended before the last frame
    Damaged,    // bits no encoder writes
};

// The error a failed status stands for (None for the others).
DecodeError errorOf(DecodeStatus status);

class Decoder {
  public:
    // For the payload behind `file`'s 266-byte header, which checkContainer
    // accepted.
    explicit Decoder(const ContainerFile& file);

    int channels() const { return channels_; }
    int32_t samplesPerChannel() const { return samplesPerChannel_; }
    // True once every sample frame has been handed out (or an error occurred).
    bool finished() const { return finished_; }

    // The payload, from its first byte on, in pieces of any size: push takes
    // as many bytes as it has room for and says how many (decode frames to
    // make room), endInput says none will follow. Or all of it at once, read
    // in place: setWholeInput (which ends the input).
    std::size_t push(const uint8_t* bytes, std::size_t size) { return reader_.push(bytes, size); }
    void endInput() { reader_.endInput(); }
    void setWholeInput(const uint8_t* bytes, std::size_t size) {
        reader_.setWholeInput(bytes, size);
    }

    // Starts over at frame `frameIndex`: 1 (the payload's start) or a resync
    // point, given `noiseDraws`, the noise generator's draws in the frames
    // before it (from a seek table; when unknown, 0 gives other noise of the
    // same level in noise-substituted bands, nothing else differs). Then push
    // or set the payload from that point on: its first byte, or the resync
    // record's. After a resync point the first frame only primes the overlap
    // and hands out nothing; the sample frames before `firstSample` (which
    // must be at least (frameIndex - 2) * 1024 then) are dropped, so the
    // first one handed out is sample frame `firstSample` of the linear decode.
    // A firstSample at or past the end finishes the session.
    void restart(int frameIndex, uint64_t noiseDraws, int64_t firstSample);

    // Decodes the next frame and stores up to 1024 interleaved sample frames
    // in `pcm`; `frames` is their number (0 for the first two frames, for
    // frames dropped after a restart and for every status but Frame). A frame is decoded only once
    // all the bytes it may take have been pushed or the input has ended; until then NeedInput.
    // After an error the session is finished and repeats it: every sample
    // frame handed out before it is exact.
    DecodeStatus decodeFrame(int16_t* pcm, int& frames);

  private:
    DecodeError synthesizeFrame(BlockType type);

    FramePayloadReader reader_;
    NoiseRandom noise_;
    std::array<ChannelBlocks, kMaxChannels> blocks_{};
    std::array<std::array<double, kFrameLength>, kMaxChannels> spectrum_{};
    std::array<std::array<double, kFrameLength>, kMaxChannels> output_{};
    std::array<OverlapBuffer, kMaxChannels> overlap_{};
    int channels_;
    bool midSide_;
    int32_t samplesPerChannel_;
    int64_t remaining_;
    int frameCounter_ = -2;
    int64_t drop_ = 0;  // sample frames still to drop after a restart
    bool finished_;
    DecodeStatus failure_ = DecodeStatus::End;  // what a finished session answers
};

}  // namespace qmz
