#include "decoder/decoder.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "common/cpu_features.h"
#include "common/simd_lanes.h"

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

namespace {

// toPcm16's steps before its truncation toward zero, lane by lane: the
// sample limited to +-32767 and moved half a step away from zero; not a
// number gives 0. (Rounding is symmetric, so max(x, -32767) - 0.5 is
// -(min(|x|, 32767) + 0.5) to the bit.)
template <class V>
V awayFromZero(V x) {
    const V m = abs(x);
    const V away = withSignOf(min(m, V::broadcast(32767.0)) + V::broadcast(0.5), x);
    return keepWhere(m >= V::broadcast(0.0), away);
}

template <class V>
void interleave(const double* left, const double* right, int count, int16_t* pcm) {
    int i = 0;
    if (right != nullptr) {
        for (; i + V::kWidth <= count; i += V::kWidth, pcm += 2 * V::kWidth) {
            storeInt16Interleaved(pcm, awayFromZero(V::load(left + i)),
                                  awayFromZero(V::load(right + i)));
        }
    } else {
        for (; i + V::kWidth <= count; i += V::kWidth, pcm += V::kWidth)
            storeInt16(pcm, awayFromZero(V::load(left + i)));
    }
    for (; i < count; ++i) {
        *pcm++ = toPcm16(left[i]);
        if (right != nullptr) *pcm++ = toPcm16(right[i]);
    }
}

}  // namespace

int16_t toPcm16(double x) {
    return static_cast<int16_t>(awayFromZero(F64x1{x}).v);
}

void interleavePcm16(const double* left, const double* right, int count, int16_t* pcm) {
    if (useSse2()) return interleave<F64x2>(left, right, count, pcm);
    interleave<F64x1>(left, right, count, pcm);
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
                                           BlockShape::Short, noise_) != DequantStatus::Ok;
            }
        } else {
            damaged |= dequantizeBlock(blocks_[c][0], spectrum, BlockShape::Long, noise_) !=
                       DequantStatus::Ok;
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
