// The seek table of a stream being written: the payload bytes are read back
// as they go out (their entropy codes only), which gives each resync
// record's offset and the noise generator's draws before it, and the table
// goes into the tag block after the stream.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "decoder/payload_reader.h"
#include "io/encode_file.h"
#include "io/tag_block.h"

namespace qmz {

class SeekTableBuilder {
  public:
    explicit SeekTableBuilder(int channels);

    // The payload's bytes, in order from its first on.
    void payload(const uint8_t* bytes, std::size_t size);
    // After the last byte: the table of a stream of `samplesPerChannel`
    // sample frames; empty when the bytes did not read as such a stream
    // (which an encoder never writes) or it has no resync point.
    std::vector<SeekTableEntry> finish(int64_t samplesPerChannel);

  private:
    void readFrames(int lastFrame);

    int channels_;
    std::unique_ptr<FramePayloadReader> reader_;
    std::unique_ptr<std::array<ChannelBlocks, kMaxChannels>> blocks_;
    int nextFrame_ = 1;
    int64_t pushed_ = 0;
    uint64_t draws_ = 0;
    bool failed_ = false;
    std::vector<SeekTableEntry> table_;
};

// A QmzOutput that hands everything to `inner` and the payload bytes to a
// SeekTableBuilder too.
class SeekTableOutput final : public QmzOutput {
  public:
    SeekTableOutput(QmzOutput& inner, int channels) : inner_(inner), builder_(channels) {}
    bool put(const uint8_t* bytes, std::size_t count) override;
    bool placeHeader(const std::array<uint8_t, kContainerHeaderSize>& header) override {
        return inner_.placeHeader(header);
    }
    std::vector<SeekTableEntry> finish(int64_t samplesPerChannel) {
        return builder_.finish(samplesPerChannel);
    }

  private:
    QmzOutput& inner_;
    SeekTableBuilder builder_;
    uint64_t written_ = 0;
};

}  // namespace qmz
