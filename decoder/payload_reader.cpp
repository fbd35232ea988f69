#include "decoder/payload_reader.h"

#include <cstring>

namespace qmz {

const char* describeStreamError(StreamError error) {
    switch (error) {
        case StreamError::None:
            return "no error";
        case StreamError::NeedInput:
            return "more of the stream is needed";
        case StreamError::Truncated:
            return "the stream ends before its last frame";
        case StreamError::BadEscape:
            return "the stream is damaged (invalid symbol code)";
        case StreamError::BadBlockType:
            return "the stream is damaged (invalid block type)";
        case StreamError::BadChannelCount:
            return "unsupported channel count";
    }
    return "unknown stream error";
}

template <bool kCountBits>
BasicFramePayloadReader<kCountBits>::BasicFramePayloadReader()
    : sideModel_(kSideAlphabet),
      scalefactorModel_(kScalefactorAlphabet),
      lineModel_(kLineAlphabet),
      runModel_(kRunAlphabet) {}

template <bool kCountBits>
std::size_t BasicFramePayloadReader<kCountBits>::push(const uint8_t* bytes, std::size_t size) {
    if (borrowed_ || ended_) return 0;
    if (buffer_ == nullptr) {
        buffer_ = std::make_unique<uint8_t[]>(kInputCapacity);
        unread_ = buffer_.get();
    }
    const std::size_t taken = std::min(size, kInputCapacity - unreadSize_);
    if (taken == 0) return 0;
    // The unread bytes move to the front only when the new ones do not fit
    // behind them: at most one move per buffer's worth of input.
    if (unread_ + unreadSize_ + taken > buffer_.get() + kInputCapacity) {
        std::memmove(buffer_.get(), unread_, unreadSize_);
        unread_ = buffer_.get();
    }
    std::memcpy(buffer_.get() + (unread_ - buffer_.get()) + unreadSize_, bytes, taken);
    unreadSize_ += taken;
    return taken;
}

template <bool kCountBits>
void BasicFramePayloadReader<kCountBits>::setWholeInput(const uint8_t* bytes, std::size_t size) {
    buffer_.reset();
    unread_ = bytes;
    unreadSize_ = size;
    borrowed_ = true;
    ended_ = true;
}

template <bool kCountBits>
void BasicFramePayloadReader<kCountBits>::restart() {
    bits_.reset();
    sideModel_.reset();
    scalefactorModel_.reset();
    lineModel_.reset();
    runModel_.reset();
    badEscape_ = false;
    unread_ = buffer_.get();
    unreadSize_ = 0;
    ended_ = false;
    borrowed_ = false;
}

template <bool kCountBits>
StreamError BasicFramePayloadReader<kCountBits>::failure() const {
    if (bits_.pastEnd()) return StreamError::Truncated;
    return badEscape_ ? StreamError::BadEscape : StreamError::None;
}

// -1 once the stream has failed; every caller stops at the first -1.
template <bool kCountBits>
int BasicFramePayloadReader<kCountBits>::decode(AdaptiveHuffmanModel& model) {
    const int symbol = model.decodeSymbol(bits_);
    if (symbol < 0) badEscape_ = true;
    return bits_.pastEnd() ? -1 : symbol;
}

template <bool kCountBits>
StreamError BasicFramePayloadReader<kCountBits>::readFrame(std::span<ChannelBlocks> channels,
                                                           BlockType& type, int frameIndex) {
    type = BlockType::Long;
    if (channels.empty() || channels.size() > kMaxChannels) return StreamError::BadChannelCount;
    if constexpr (kCountBits) bitShares_ = FrameBitShares{};
    if (failure() != StreamError::None) return failure();
    if (!inputReady()) return StreamError::NeedInput;

    bits_.setInput(unread_, unreadSize_);
    const StreamError error = readFrameBits(channels, type, frameIndex);
    const std::size_t taken = std::min(bits_.consumed(), unreadSize_);
    unread_ += taken;
    unreadSize_ -= taken;
    return error;
}

template <bool kCountBits>
bool BasicFramePayloadReader<kCountBits>::readEndOfStream(int nextFrameIndex) {
    if (failure() != StreamError::None || !inputReady()) return false;
    bits_.setInput(unread_, unreadSize_);
    const bool read = readEndBits(nextFrameIndex);
    const std::size_t taken = std::min(bits_.consumed(), unreadSize_);
    unread_ += taken;
    unreadSize_ -= taken;
    return read;
}

template <bool kCountBits>
bool BasicFramePayloadReader<kCountBits>::readEndBits(int nextFrameIndex) {
    if (isResyncPoint(nextFrameIndex) && !readResyncRecord()) return false;
    for (int i = 0; i < kEndMarkerCount; ++i) {
        if (decode(sideModel_) != kEndMarker) return false;
    }
    // The closing byte carries the markers' last bits, or stands alone when
    // they filled their last byte.
    uint8_t closing = 0;
    return !bits_.atByteBoundary() || bits_.getRawBytes(&closing, 1);
}

template <bool kCountBits>
bool BasicFramePayloadReader<kCountBits>::readResyncRecord() {
    std::array<uint8_t, kResyncRecord.size()> record;  // contents are not checked
    if (!bits_.getRawBytes(record.data(), record.size())) return false;
    bits_.restartAtByteBoundary();
    sideModel_.reset();
    scalefactorModel_.reset();
    lineModel_.reset();
    runModel_.reset();
    return true;
}

template <bool kCountBits>
StreamError BasicFramePayloadReader<kCountBits>::readFrameBits(std::span<ChannelBlocks> channels,
                                                               BlockType& type, int frameIndex) {
    const int64_t start = mark();
    if (isResyncPoint(frameIndex) && !readResyncRecord()) return StreamError::Truncated;
    count(&FrameBitShares::resync, start);

    const int64_t beforeCode = mark();
    const int code = decode(sideModel_);
    if (code < 0) return failure();
    count(&FrameBitShares::side, beforeCode);
    const bool knownType = code >= 1 && code <= 4;
    if (knownType) type = static_cast<BlockType>(code - 1);
    const BlockGeometry geometry = geometryOf(type);

    for (int b = 0; b < geometry.blocks; ++b) {
        for (ChannelBlocks& blocks : channels) {
            if (!readBlock(blocks[b], geometry)) return failure();
        }
    }
    return knownType ? StreamError::None : StreamError::BadBlockType;
}

template <bool kCountBits>
bool BasicFramePayloadReader<kCountBits>::readBlock(QuantizedBlock& block,
                                                    const BlockGeometry& geometry) {
    const int64_t start = mark();
    std::fill(block.scalefactors.begin() + geometry.scalefactors, block.scalefactors.end(), 0);
    std::fill(block.lines.begin() + geometry.lines, block.lines.end(), 0);
    const int gain = decode(sideModel_);
    if (gain < 0) return false;
    block.globalGain = gain;
    count(&FrameBitShares::side, start);
    const int64_t afterGain = mark();
    for (int j = 0; j < geometry.scalefactors; ++j) {
        const int scalefactor = decode(scalefactorModel_);
        if (scalefactor < 0) return false;
        block.scalefactors[j] = scalefactor;
    }
    count(&FrameBitShares::scalefactors, afterGain);
    const int64_t afterScalefactors = mark();
    const bool complete = readLines(block.lines.data(), geometry.lines);
    count(&FrameBitShares::lines, afterScalefactors);
    return complete;
}

// A zero run that would reach past the block's last line ends the block.
// Every line below `count` is written, so the blocks need no clearing first.
template <bool kCountBits>
bool BasicFramePayloadReader<kCountBits>::readLines(int32_t* lines, int count) {
    for (int i = 0; i < count;) {
        const int symbol = decode(lineModel_);
        if (symbol < 0) return false;
        if (symbol == kZeroRunEscape) {
            const int run = decode(runModel_);
            if (run < 0) return false;
            const int end = run + 1 < count - i ? i + run + 1 : count;
            std::fill(lines + i, lines + end, 0);
            i += run + 1;
        } else {
            lines[i++] = symbol - kLineOffset;
        }
    }
    return true;
}

template class BasicFramePayloadReader<false>;
template class BasicFramePayloadReader<true>;

}  // namespace qmz
