#include "decoder/decoder.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "common/cpu_features.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qmz {

const char* describeDecodeError(DecodeError error) {
    switch (error) {
        case DecodeError::None:
            return "no error";
        case DecodeError::NotQmz:
            return "not a .qmz file";
        case DecodeError::Incomplete:
            return "incomplete .qmz file (its encoder did not finish)";
        case DecodeError::BadHeader:
            return "damaged .qmz header (channel count or length)";
        case DecodeError::Truncated:
            return "the file ends early (truncated .qmz file)";
        case DecodeError::DamagedStream:
            return "the .qmz stream is damaged";
    }
    return "unknown decode error";
}

DecodeError decodeErrorOf(StreamError error) {
    if (error == StreamError::None) return DecodeError::None;
    return error == StreamError::Truncated ? DecodeError::Truncated : DecodeError::DamagedStream;
}

DecodeError checkContainer(const ContainerFile& file) {
    const ContainerHeader& h = file.header;
    if (!hasContainerMagic(h)) {
        const ContainerHeader placeholder{};
        const bool allZero = h.magic == placeholder.magic && h.samplesPerChannel == 0 &&
                             h.avgBitRate == 0 && h.channels == 0 && h.midSide == 0;
        return allZero ? DecodeError::Incomplete : DecodeError::NotQmz;
    }
    if (h.channels != 1 && h.channels != 2) return DecodeError::BadHeader;
    if (h.samplesPerChannel < 0) return DecodeError::BadHeader;
    return DecodeError::None;
}

DecodeError readContainerHeader(const uint8_t* bytes, std::size_t size, ContainerFile& file) {
    if (size < kContainerHeaderSize) {
        const bool magic =
            size >= 4 && bytes[0] == '*' && bytes[1] == 'q' && bytes[2] == 'm' && bytes[3] == 'z';
        return magic ? DecodeError::Truncated : DecodeError::NotQmz;
    }
    std::array<uint8_t, kContainerHeaderSize> header;
    std::copy_n(bytes, header.size(), header.begin());
    file = parseContainer(header);
    return checkContainer(file);
}

int16_t toPcm16(double x) {
    if (x >= 0.0) return static_cast<int16_t>(std::min(x, 32767.0) + 0.5);
    if (x < 0.0) return static_cast<int16_t>(std::max(x, -32767.0) - 0.5);
    return 0;  // not a number: cannot come from a finite spectrum, kept silent
}

#if defined(__SSE2__)
namespace {

// toPcm16 of two samples at once, as 32-bit integers in the low half: each
// lane takes toPcm16's own steps (min/max against +-32767, +-0.5, truncation
// toward zero; not-a-number gives 0), so the results are the same.
__m128i toPcm16Pair(__m128d x) {
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d up = _mm_add_pd(_mm_min_pd(x, _mm_set1_pd(32767.0)), half);
    const __m128d down = _mm_sub_pd(_mm_max_pd(x, _mm_set1_pd(-32767.0)), half);
    const __m128d zero = _mm_setzero_pd();
    const __m128d v =
        _mm_or_pd(_mm_and_pd(_mm_cmpge_pd(x, zero), up), _mm_and_pd(_mm_cmplt_pd(x, zero), down));
    return _mm_cvttpd_epi32(v);
}

}  // namespace
#endif

void interleavePcm16(const double* left, const double* right, int count, int16_t* pcm) {
    int i = 0;
#if defined(__SSE2__)
    if (useSse2() && right != nullptr) {
        for (; i + 2 <= count; i += 2, pcm += 4) {
            const __m128i l = toPcm16Pair(_mm_loadu_pd(left + i));
            const __m128i r = toPcm16Pair(_mm_loadu_pd(right + i));
            const __m128i lr = _mm_unpacklo_epi32(l, r);  // l0 r0 l1 r1
            _mm_storel_epi64(reinterpret_cast<__m128i*>(pcm), _mm_packs_epi32(lr, lr));
        }
    } else if (useSse2()) {
        for (; i + 2 <= count; i += 2, pcm += 2) {
            const __m128i m = toPcm16Pair(_mm_loadu_pd(left + i));
            const int32_t both = _mm_cvtsi128_si32(_mm_packs_epi32(m, m));
            std::memcpy(pcm, &both, sizeof both);
        }
    }
#endif
    for (; i < count; ++i) {
        *pcm++ = toPcm16(left[i]);
        if (right != nullptr) *pcm++ = toPcm16(right[i]);
    }
}

DecodeError errorOf(DecodeStatus status) {
    switch (status) {
        case DecodeStatus::Truncated:
            return DecodeError::Truncated;
        case DecodeStatus::Damaged:
            return DecodeError::DamagedStream;
        default:
            return DecodeError::None;
    }
}

Decoder::Decoder(const ContainerFile& file)
    : channels_(file.header.channels),
      midSide_(file.header.midSide == 1 && file.header.channels == 2),
      samplesPerChannel_(file.header.samplesPerChannel),
      remaining_(file.header.samplesPerChannel),
      finished_(file.header.samplesPerChannel <= 0) {}

void Decoder::restart(int frameIndex, uint64_t noiseDraws, int64_t firstSample) {
    reader_.restart();
    noise_ = NoiseRandom{};
    noise_.skip(noiseDraws);
    for (OverlapBuffer& overlap : overlap_) overlap.fill(0.0);
    // Frame t completes sample frames from (t - 3) * 1024 on; the frame right
    // after a record completes them from a zero overlap, so they are dropped
    // along with those before firstSample.
    const int64_t firstCompleted = int64_t(std::max(frameIndex, 3) - 3) * kFrameLength;
    frameCounter_ = frameIndex - 3;
    remaining_ = samplesPerChannel_ - firstCompleted;
    drop_ = std::max<int64_t>(firstSample - firstCompleted, 0);
    if (frameIndex > 1) drop_ = std::max<int64_t>(drop_, kFrameLength);
    failure_ = DecodeStatus::End;
    finished_ = firstSample >= samplesPerChannel_ || remaining_ <= 0;
}

DecodeError Decoder::synthesizeFrame(BlockType type) {
    bool damaged = false;
    for (int c = 0; c < channels_; ++c) {
        double* spectrum = spectrum_[c].data();
        if (type == BlockType::Short) {
            for (int b = 0; b < kShortBlocksPerFrame; ++b) {
                damaged |= dequantizeBlock(blocks_[c][b], spectrum + kShortBlockLength * b,
                                           kShortBlockLength, noise_) != DequantStatus::Ok;
            }
        } else {
            damaged |=
                dequantizeBlock(blocks_[c][0], spectrum, kFrameLength, noise_) != DequantStatus::Ok;
        }
    }
    if (damaged) return DecodeError::DamagedStream;
    if (midSide_) {
        // The encoder formed M = (L + R) / 2 and S = (L - R) / 2 before the
        // (linear) transform, so L = M + S and R = M - S undo it here.
        for (int k = 0; k < kFrameLength; ++k) {
            const double m = spectrum_[0][k], s = spectrum_[1][k];
            spectrum_[0][k] = m + s;
            spectrum_[1][k] = m - s;
        }
    }
    for (int c = 0; c < channels_; ++c) {
        synthesizeChannel(spectrum_[c].data(), output_[c].data(), overlap_[c], type);
    }
    return DecodeError::None;
}

DecodeStatus Decoder::decodeFrame(int16_t* pcm, int& frames) {
    frames = 0;
    if (finished_) return failure_;

    BlockType type;
    const StreamError streamError = reader_.readFrame(
        std::span(blocks_.data(), static_cast<std::size_t>(channels_)), type, frameCounter_ + 3);
    if (streamError == StreamError::NeedInput) return DecodeStatus::NeedInput;
    ++frameCounter_;
    const int count =
        frameCounter_ <= 0 ? 0 : static_cast<int>(std::min<int64_t>(remaining_, kFrameLength));
    DecodeStatus status = DecodeStatus::Frame;
    if (streamError == StreamError::Truncated) {
        status = DecodeStatus::Truncated;
    } else if (streamError != StreamError::None || synthesizeFrame(type) != DecodeError::None) {
        status = DecodeStatus::Damaged;
    }
    if (status != DecodeStatus::Frame) {
        finished_ = true;
        failure_ = status;
        return status;
    }

    if (frameCounter_ > 0) remaining_ -= kFrameLength;
    const int dropped = static_cast<int>(std::min<int64_t>(drop_, count));
    drop_ -= dropped;
    interleavePcm16(output_[0].data() + dropped,
                    channels_ == 2 ? output_[1].data() + dropped : nullptr, count - dropped, pcm);
    frames = count - dropped;
    finished_ = remaining_ <= 0;
    return DecodeStatus::Frame;
}

}  // namespace qmz
