#include "decoder/decoder.h"

#include <algorithm>
#include <span>

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

int16_t toPcm16(double x) {
    if (x >= 0.0) return static_cast<int16_t>(std::min(x, 32767.0) + 0.5);
    if (x < 0.0) return static_cast<int16_t>(std::max(x, -32767.0) - 0.5);
    return 0;  // not a number: cannot come from a finite spectrum, kept silent
}

Decoder::Decoder(std::istream& payload, const ContainerFile& file)
    : reader_(payload),
      channels_(file.header.channels),
      midSide_(file.header.midSide == 1 && file.header.channels == 2),
      samplesPerChannel_(file.header.samplesPerChannel),
      remaining_(file.header.samplesPerChannel),
      finished_(file.header.samplesPerChannel <= 0) {}

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

DecodeError Decoder::decodeFrame(int16_t* pcm, int& frames) {
    frames = 0;
    if (finished_) return DecodeError::None;
    ++frameCounter_;
    const int count =
        frameCounter_ <= 0 ? 0 : static_cast<int>(std::min<int64_t>(remaining_, kFrameLength));

    BlockType type;
    const StreamError streamError = reader_.readFrame(
        std::span(blocks_.data(), static_cast<std::size_t>(channels_)), type, frameCounter_ + 2);
    DecodeError error = DecodeError::None;
    if (streamError == StreamError::Truncated) {
        error = DecodeError::Truncated;
    } else if (streamError != StreamError::None) {
        error = DecodeError::DamagedStream;
    } else {
        error = synthesizeFrame(type);
    }
    if (error != DecodeError::None) {
        finished_ = true;
        return error;
    }

    if (frameCounter_ > 0) remaining_ -= kFrameLength;
    for (int i = 0; i < count; ++i) {
        for (int c = 0; c < channels_; ++c) *pcm++ = toPcm16(output_[c][i]);
    }
    frames = count;
    finished_ = remaining_ <= 0;
    return DecodeError::None;
}

}  // namespace qmz
