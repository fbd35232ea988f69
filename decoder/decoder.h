// The decoder session: one object per .qmz stream, owning the payload reader,
// the overlap buffers, the noise generator and the sample counters.
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
#include <iosfwd>

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
// end, DamagedStream for anything else.
DecodeError decodeErrorOf(StreamError error);

// Checks the fields the decoder relies on before anything is written.
DecodeError checkContainer(const ContainerFile& file);

// Rounds half away from zero and clips to -32767 .. 32767 (never -32768).
int16_t toPcm16(double x);

// toPcm16 of count samples of one channel (right null) or two, interleaved
// into pcm; two samples at a time where the machine has SSE2.
void interleavePcm16(const double* left, const double* right, int count, int16_t* pcm);

class Decoder {
  public:
    // `payload` stands right behind the 266-byte header, which checkContainer
    // accepted.
    Decoder(std::istream& payload, const ContainerFile& file);

    int channels() const { return channels_; }
    int32_t samplesPerChannel() const { return samplesPerChannel_; }
    // True once every sample frame has been handed out (or an error occurred).
    bool finished() const { return finished_; }

    // Decodes the next frame and stores up to 1024 interleaved sample frames
    // in `pcm`; `frames` is their number (0 for the first two frames). On an
    // error nothing is stored and the session is finished: every sample frame
    // handed out before it is exact.
    DecodeError decodeFrame(int16_t* pcm, int& frames);

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
    bool finished_;
};

}  // namespace qmz
