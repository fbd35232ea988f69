#include "decoder/payload_reader.h"

#include <algorithm>

#include "common/frame_syntax.h"

namespace qmz {

const char* describeStreamError(StreamError error) {
    switch (error) {
        case StreamError::None:
            return "no error";
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

FramePayloadReader::FramePayloadReader(std::istream& in)
    : bits_(in),
      sideModel_(kSideAlphabet),
      scalefactorModel_(kScalefactorAlphabet),
      lineModel_(kLineAlphabet),
      runModel_(kRunAlphabet) {}

StreamError FramePayloadReader::failure() const {
    if (bits_.pastEnd()) return StreamError::Truncated;
    return badEscape_ ? StreamError::BadEscape : StreamError::None;
}

// -1 once the stream has failed; every caller stops at the first -1.
int FramePayloadReader::decode(AdaptiveHuffmanModel& model) {
    const int symbol = model.decodeSymbol(bits_);
    if (symbol < 0) badEscape_ = true;
    return bits_.pastEnd() ? -1 : symbol;
}

StreamError FramePayloadReader::readFrame(std::span<ChannelBlocks> channels, BlockType& type,
                                          int frameIndex) {
    type = BlockType::Long;
    if (channels.empty() || channels.size() > kMaxChannels) return StreamError::BadChannelCount;
    bitShares_ = FrameBitShares{};
    if (failure() != StreamError::None) return failure();

    const int64_t start = bits_.bitPosition();
    if (isResyncPoint(frameIndex) && !readResyncRecord()) return StreamError::Truncated;
    bitShares_.resync = bits_.bitPosition() - start;

    const int64_t beforeCode = bits_.bitPosition();
    const int code = decode(sideModel_);
    if (code < 0) return failure();
    bitShares_.side += bits_.bitPosition() - beforeCode;
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

bool FramePayloadReader::readResyncRecord() {
    std::array<uint8_t, kResyncRecord.size()> record;  // contents are not checked
    if (!bits_.getRawBytes(record.data(), record.size())) return false;
    bits_.restartAtByteBoundary();
    sideModel_.reset();
    scalefactorModel_.reset();
    lineModel_.reset();
    runModel_.reset();
    return true;
}

bool FramePayloadReader::readEndOfStream(int nextFrameIndex) {
    if (failure() != StreamError::None) return false;
    if (isResyncPoint(nextFrameIndex) && !readResyncRecord()) return false;
    for (int i = 0; i < kEndMarkerCount; ++i) {
        if (decode(sideModel_) != kEndMarker) return false;
    }
    // The closing byte carries the markers' last bits, or stands alone when
    // they filled their last byte.
    uint8_t closing = 0;
    return !bits_.atByteBoundary() || bits_.getRawBytes(&closing, 1);
}

bool FramePayloadReader::readBlock(QuantizedBlock& block, const BlockGeometry& geometry) {
    const int64_t start = bits_.bitPosition();
    std::fill(block.scalefactors.begin() + geometry.scalefactors, block.scalefactors.end(), 0);
    std::fill(block.lines.begin() + geometry.lines, block.lines.end(), 0);
    const int gain = decode(sideModel_);
    if (gain < 0) return false;
    block.globalGain = gain;
    const int64_t afterGain = bits_.bitPosition();
    bitShares_.side += afterGain - start;
    for (int j = 0; j < geometry.scalefactors; ++j) {
        const int scalefactor = decode(scalefactorModel_);
        if (scalefactor < 0) return false;
        block.scalefactors[j] = scalefactor;
    }
    const int64_t afterScalefactors = bits_.bitPosition();
    bitShares_.scalefactors += afterScalefactors - afterGain;
    const bool complete = readLines(block.lines.data(), geometry.lines);
    bitShares_.lines += bits_.bitPosition() - afterScalefactors;
    return complete;
}

// A zero run that would reach past the block's last line ends the block.
// Every line below `count` is written, so the blocks need no clearing first.
bool FramePayloadReader::readLines(int32_t* lines, int count) {
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

}  // namespace qmz
