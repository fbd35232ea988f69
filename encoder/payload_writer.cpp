#include "encoder/payload_writer.h"

#include "common/frame_syntax.h"

namespace qmz {
namespace {

bool blockInAlphabets(const QuantizedBlock& block, const BlockGeometry& geometry) {
    if (block.globalGain < 0 || block.globalGain >= kSideAlphabet) return false;
    for (int j = 0; j < geometry.scalefactors; ++j) {
        if (block.scalefactors[j] < 0 || block.scalefactors[j] >= kScalefactorAlphabet)
            return false;
    }
    // One unsigned comparison per line (v + max wraps below 0 to large
    // values) and no early exit, so the loop runs several lines per
    // instruction.
    constexpr auto kMax = static_cast<uint32_t>(kMaxLineMagnitude);
    uint32_t outside = 0;
    for (int i = 0; i < geometry.lines; ++i)
        outside |= static_cast<uint32_t>(static_cast<uint32_t>(block.lines[i]) + kMax > 2 * kMax);
    return outside == 0;
}

}  // namespace

FramePayloadWriter::FramePayloadWriter(ByteSink& out)
    : bits_(out),
      sideModel_(kSideAlphabet),
      scalefactorModel_(kScalefactorAlphabet),
      lineModel_(kLineAlphabet),
      runModel_(kRunAlphabet) {}

void FramePayloadWriter::restart() {
    bits_.restart();
    sideModel_.reset();
    scalefactorModel_.reset();
    lineModel_.reset();
    runModel_.reset();
}

void FramePayloadWriter::resync() {
    bits_.flushPartialByte();
    bits_.putRawBytes(kResyncRecord.data(), kResyncRecord.size());
    bits_.addToBitCount(8 * static_cast<int64_t>(kResyncRecord.size()));
    sideModel_.reset();
    scalefactorModel_.reset();
    lineModel_.reset();
    runModel_.reset();
}

PayloadWriteError FramePayloadWriter::writeFrame(std::span<const ChannelBlocks> channels,
                                                 BlockType type, int frameIndex) {
    if (channels.empty() || channels.size() > kMaxChannels)
        return PayloadWriteError::BadChannelCount;
    const BlockGeometry geometry = geometryOf(type);
    // Checked before anything is coded, so a bad frame leaves the stream intact.
    for (const ChannelBlocks& blocks : channels) {
        for (int b = 0; b < geometry.blocks; ++b) {
            if (!blockInAlphabets(blocks[b], geometry)) return PayloadWriteError::ValueOutOfRange;
        }
    }

    if (isResyncPoint(frameIndex)) resync();
    sideModel_.encodeSymbol(static_cast<int>(type) + 1, bits_);
    for (int b = 0; b < geometry.blocks; ++b) {
        for (const ChannelBlocks& blocks : channels) writeBlock(blocks[b], geometry);
    }
    return PayloadWriteError::None;
}

void FramePayloadWriter::writeBlock(const QuantizedBlock& block, const BlockGeometry& geometry) {
    sideModel_.encodeSymbol(block.globalGain, bits_);
    for (int j = 0; j < geometry.scalefactors; ++j) {
        scalefactorModel_.encodeSymbol(block.scalefactors[j], bits_);
    }
    writeLines(block.lines.data(), geometry.lines);
}

// Zero runs of five or more, up to the end of the block, go as the escape
// symbol and the run length; shorter runs are coded one zero at a time.
void FramePayloadWriter::writeLines(const int32_t* lines, int count) {
    for (int i = 0; i < count;) {
        if (lines[i] == 0) {
            int run = 1;
            while (i + run < count && lines[i + run] == 0) ++run;
            if (run >= kMinCodedRun) {
                lineModel_.encodeSymbol(kZeroRunEscape, bits_);
                runModel_.encodeSymbol(run - 1, bits_);
            } else {
                // Every zero of a short run starts a shorter one: all go singly.
                for (int k = 0; k < run; ++k) lineModel_.encodeSymbol(kLineOffset, bits_);
            }
            i += run;
            continue;
        }
        lineModel_.encodeSymbol(lines[i] + kLineOffset, bits_);
        ++i;
    }
}

void FramePayloadWriter::endSegment() {
    bits_.flushPartialByte();
    bits_.flush();
}

bool FramePayloadWriter::finishStream(int nextFrameIndex) {
    if (isResyncPoint(nextFrameIndex)) resync();
    for (int i = 0; i < kEndMarkerCount; ++i) sideModel_.encodeSymbol(kEndMarker, bits_);
    bits_.putFinalByte();
    return bits_.flush();
}

}  // namespace qmz
