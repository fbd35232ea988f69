// 24-bit and 32-bit integer and 32-bit float samples, brought to the 16 bits
// the codec works on.
//
// The conversion adds triangular (TPDF) dither of one 16-bit step either way
// before rounding, so that the quantisation error is noise independent of the
// signal instead of distortion that follows it. The dither of a sample is a
// hash of its position in the stream (sample frame and channel): the same
// input gives the same bytes on every run and whatever thread count codes it.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <streambuf>

#include "common/band_tables.h"
#include "io/wav_reader.h"

namespace qmz {

// Converts `count` interleaved samples starting at sample index `position`
// (counted over all channels from the first sample of the stream) from the
// little-endian bytes at `in` to 16-bit samples.
void convertTo16Bits(SampleFormat format, const uint8_t* in, int count, uint64_t position,
                     int16_t* out);

// Presents a stream of converted samples as the interleaved little-endian
// 16-bit samples the frame loops read. Only whole sample frames come out: a
// partial frame at the end of the source is dropped, as the 16-bit reader
// drops it.
class SixteenBitSamples final : public std::streambuf {
  public:
    SixteenBitSamples(std::istream& source, SampleFormat format, int channels);

  protected:
    int_type underflow() override;

  private:
    static constexpr int kBlockFrames = 1024;

    std::istream& source_;
    SampleFormat format_;
    int channels_;
    int sourceFrameBytes_;
    uint64_t position_ = 0;  // samples converted so far
    std::array<uint8_t, kBlockFrames * 4 * kMaxChannels> raw_;
    std::array<char, kBlockFrames * 2 * kMaxChannels> converted_;
};

}  // namespace qmz
