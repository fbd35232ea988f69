// The encoder's frame payload writer: codes each frame's block type and
// quantised blocks with four adaptive Huffman models into the bit stream that
// follows the container header, with a resync record before every 45th frame
// and the end markers at the end.
#pragma once

#include <cstdint>
#include <span>

#include "common/adaptive_huffman.h"
#include "common/band_tables.h"
#include "common/bit_io.h"
#include "common/byte_sink.h"

namespace qmz {

enum class PayloadWriteError {
    None = 0,
    ValueOutOfRange,  // a gain, scalefactor or line the alphabets cannot carry; nothing written
    BadChannelCount,  // not 1 or 2 channels
};

class FramePayloadWriter {
  public:
    // The sink's next byte is the first behind the container header.
    explicit FramePayloadWriter(ByteSink& out);

    // Appends frame `frameIndex` (1, 2, 3, ... in order). Long, start and stop
    // frames code block 0 of each channel, short frames all eight.
    PayloadWriteError writeFrame(std::span<const ChannelBlocks> channels, BlockType type,
                                 int frameIndex);
    // Pads the stream to a byte and hands the buffered bytes to the sink:
    // what the next resync point does first, so that a writer started at
    // that resync point can carry on in another sink.
    void endSegment();
    // Appends the end of the stream; `nextFrameIndex` is the last index + 1.
    // Returns false when the sink has refused bytes (at any point).
    bool finishStream(int nextFrameIndex);

    // Bits of the payload so far, without the stream's final byte.
    int64_t payloadBitCount() const { return bits_.bitCount(); }

    // As if just constructed on the same stream: the threaded encoder codes
    // one segment after another with one writer, allocating nothing.
    void restart();

  private:
    void resync();
    void writeBlock(const QuantizedBlock& block, const BlockGeometry& geometry);
    void writeLines(const int32_t* lines, int count);

    PayloadBitWriter bits_;
    AdaptiveHuffmanModel sideModel_;
    AdaptiveHuffmanModel scalefactorModel_;
    AdaptiveHuffmanModel lineModel_;
    AdaptiveHuffmanModel runModel_;
};

}  // namespace qmz
