#include "io/sample_conversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/little_endian.h"

namespace qmz {

namespace {

// A fixed seed folded into the position, so that the dither is not the hash
// of small integers alone.
constexpr uint64_t kDitherSeed = 0x51D7'9E3C'0A4B'2F61ull;

// splitmix64's finaliser: every bit of the position reaches every bit of the
// result, so neighbouring samples get unrelated dither.
uint64_t mix(uint64_t x) {
    x ^= kDitherSeed;
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

int16_t clampTo16(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
}

// An integer sample of `shift` bits more than 16: the difference of two
// uniform values in [0, 2^shift) is triangular over one 16-bit step either
// way; adding half a step and shifting rounds to the nearest.
int16_t ditherInteger(int64_t value, int shift, uint64_t hash) {
    const uint64_t mask = (uint64_t{1} << shift) - 1;
    const int64_t dither =
        static_cast<int64_t>(hash & mask) - static_cast<int64_t>((hash >> 32) & mask);
    return clampTo16((value + dither + (int64_t{1} << (shift - 1))) >> shift);
}

int16_t ditherFloat(float value, uint64_t hash) {
    if (std::isnan(value)) return 0;
    const double step = 1.0 / 4294967296.0;  // 32-bit uniform values, in 16-bit steps
    const double dither = static_cast<double>(hash & 0xFFFFFFFFu) * step -
                          static_cast<double>(hash >> 32) * step;
    const double scaled = static_cast<double>(value) * 32768.0 + dither;
    if (!(scaled < 32767.0)) return 32767;  // also +infinity
    if (!(scaled > -32768.0)) return -32768;
    return static_cast<int16_t>(std::floor(scaled + 0.5));
}

}  // namespace

void convertTo16Bits(SampleFormat format, const uint8_t* in, int count, uint64_t position,
                     int16_t* out) {
    for (int i = 0; i < count; ++i) {
        const uint64_t hash = mix(position + static_cast<uint64_t>(i));
        switch (format) {
            case SampleFormat::Int16:
                out[i] = static_cast<int16_t>(loadLe16(in + 2 * i));
                break;
            case SampleFormat::Int24: {
                const uint8_t* p = in + 3 * i;
                // The top byte shifted into place carries the sign.
                const int32_t v = static_cast<int32_t>(
                                      (static_cast<uint32_t>(p[0]) << 8) |
                                      (static_cast<uint32_t>(p[1]) << 16) |
                                      (static_cast<uint32_t>(p[2]) << 24)) >>
                                  8;
                out[i] = ditherInteger(v, 8, hash);
                break;
            }
            case SampleFormat::Int32:
                out[i] = ditherInteger(static_cast<int32_t>(loadLe32(in + 4 * i)), 16, hash);
                break;
            case SampleFormat::Float32: {
                const uint32_t bits = loadLe32(in + 4 * i);
                float value;
                std::memcpy(&value, &bits, sizeof value);
                out[i] = ditherFloat(value, hash);
                break;
            }
        }
    }
}

SixteenBitSamples::SixteenBitSamples(std::istream& source, SampleFormat format, int channels)
    : source_(source),
      format_(format),
      channels_(channels),
      sourceFrameBytes_(static_cast<int>(format == SampleFormat::Int16   ? 2
                                         : format == SampleFormat::Int24 ? 3
                                                                         : 4) *
                        channels) {}

SixteenBitSamples::int_type SixteenBitSamples::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    source_.read(reinterpret_cast<char*>(raw_.data()),
                 static_cast<std::streamsize>(kBlockFrames) * sourceFrameBytes_);
    const int frames = static_cast<int>(source_.gcount()) / sourceFrameBytes_;
    if (frames == 0) return traits_type::eof();
    const int count = frames * channels_;
    int16_t samples[kBlockFrames * kMaxChannels];
    convertTo16Bits(format_, raw_.data(), count, position_, samples);
    position_ += static_cast<uint64_t>(count);
    auto* bytes = reinterpret_cast<uint8_t*>(converted_.data());
    for (int i = 0; i < count; ++i) storeLe16(bytes + 2 * i, static_cast<uint16_t>(samples[i]));
    setg(converted_.data(), converted_.data(), converted_.data() + 2 * count);
    return traits_type::to_int_type(*gptr());
}

}  // namespace qmz
