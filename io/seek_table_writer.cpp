#include "io/seek_table_writer.h"

#include <algorithm>

#include "decoder/dequantizer.h"
#include "decoder/resync_scan.h"

namespace qmz {

SeekTableBuilder::SeekTableBuilder(int channels)
    : channels_(std::clamp(channels, 1, kMaxChannels)),
      reader_(std::make_unique<FramePayloadReader>()),
      blocks_(std::make_unique<std::array<ChannelBlocks, kMaxChannels>>()) {}

void SeekTableBuilder::readFrames(int lastFrame) {
    const auto channels = std::span(blocks_->data(), static_cast<std::size_t>(channels_));
    while (!failed_ && nextFrame_ <= lastFrame && reader_->inputReady()) {
        if (isResyncPoint(nextFrame_)) {
            table_.push_back({pushed_ - static_cast<int64_t>(reader_->unreadSize()), draws_});
        }
        BlockType type;
        if (reader_->readFrame(channels, type, nextFrame_) != StreamError::None) {
            failed_ = true;
            break;
        }
        draws_ += frameNoiseDraws(channels, type);
        ++nextFrame_;
    }
}

void SeekTableBuilder::payload(const uint8_t* bytes, std::size_t size) {
    // While bytes keep coming, a frame is read only with the most bytes any
    // frame takes at hand, so nothing after the last frame is taken for one.
    while (size > 0 && !failed_) {
        const std::size_t taken = reader_->push(bytes, size);
        pushed_ += static_cast<int64_t>(taken);
        bytes += taken;
        size -= taken;
        readFrames(INT32_MAX);
    }
}

std::vector<SeekTableEntry> SeekTableBuilder::finish(int64_t samplesPerChannel) {
    reader_->endInput();
    const int lastFrame = lastFrameOf(samplesPerChannel);
    readFrames(lastFrame);
    // The record in front of the end markers starts no frame: no seek goes there.
    if (failed_ || nextFrame_ != lastFrame + 1) return {};
    if (isResyncPoint(lastFrame + 1)) {
        table_.push_back({pushed_ - static_cast<int64_t>(reader_->unreadSize()), draws_});
    }
    return std::move(table_);
}

bool SeekTableOutput::put(const uint8_t* bytes, std::size_t count) {
    const bool ok = inner_.put(bytes, count);
    // The first bytes are the header's placeholder.
    const std::size_t skip = written_ >= kContainerHeaderSize
                                 ? 0
                                 : std::min<std::size_t>(count, kContainerHeaderSize - written_);
    written_ += count;
    builder_.payload(bytes + skip, count - skip);
    return ok;
}

}  // namespace qmz
