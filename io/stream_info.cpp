#include "io/stream_info.h"

#include <algorithm>
#include <memory>
#include <span>

#include "common/frame_syntax.h"
#include "io/decode_file.h"
#include "decoder/dequantizer.h"
#include "io/wav_writer.h"

namespace qmz {

double StreamReport::meanFrameBits() const {
    return framesRead > 0 ? static_cast<double>(totalBits.total()) / framesRead : 0.0;
}

DecodeError StreamReport::verdict() const {
    if (headerError != DecodeError::None) return headerError;
    if (failedFrame == 0) return DecodeError::None;
    return levelsOutOfRange ? DecodeError::DamagedStream : decodeErrorOf(frameError);
}

double StreamReport::durationSeconds() const {
    const uint32_t rate = outputFormatBlock(file).sampleRate();
    return rate > 0 ? static_cast<double>(file.header.samplesPerChannel) / rate : 0.0;
}

int64_t payloadFrameCount(int32_t samplesPerChannel) {
    const int64_t n = std::max<int32_t>(samplesPerChannel, 0);
    return (n + kFrameLength - 1) / kFrameLength + 3;
}

int64_t decodedFrameCount(int32_t samplesPerChannel) {
    return samplesPerChannel > 0 ? payloadFrameCount(samplesPerChannel) - 1 : 0;
}

namespace {

void addFrame(StreamReport& report, const FrameReport& frame) {
    const int64_t bits = frame.bits.total();
    if (report.framesRead == 0) {
        report.minFrameBits = report.maxFrameBits = bits;
    } else {
        report.minFrameBits = std::min(report.minFrameBits, bits);
        report.maxFrameBits = std::max(report.maxFrameBits, bits);
    }
    ++report.framesRead;
    if (frame.resyncPoint) ++report.resyncPoints;
    ++report.blockTypeCounts[static_cast<int>(frame.type)];
    report.totalBits.resync += frame.bits.resync;
    report.totalBits.side += frame.bits.side;
    report.totalBits.scalefactors += frame.bits.scalefactors;
    report.totalBits.lines += frame.bits.lines;
}

}  // namespace

StreamReport inspectStream(std::istream& qmz,
                           const std::function<void(const FrameReport&)>& onFrame) {
    StreamReport report;
    report.headerError = readQmzHeader(qmz, report.file);
    if (report.headerError != DecodeError::None) return report;

    const int channels = report.file.header.channels;
    report.frameCount = payloadFrameCount(report.file.header.samplesPerChannel);
    report.decodedFrames = decodedFrameCount(report.file.header.samplesPerChannel);
    // The reader and its four models are large: keep them off the stack.
    auto reader = std::make_unique<CountingFramePayloadReader>();
    StreamFeed feed(qmz);
    std::array<ChannelBlocks, kMaxChannels> blocks;
    const std::span<ChannelBlocks> frameBlocks(blocks.data(), static_cast<std::size_t>(channels));
    for (int64_t t = 1; t <= report.frameCount; ++t) {
        FrameReport frame;
        frame.index = static_cast<int>(t);
        frame.resyncPoint = isResyncPoint(frame.index);
        StreamError error = reader->readFrame(frameBlocks, frame.type, frame.index);
        while (error == StreamError::NeedInput) {
            feed.feed(*reader);
            error = reader->readFrame(frameBlocks, frame.type, frame.index);
        }
        const bool levelsOutOfRange =
            error == StreamError::None &&
            checkFrameLevels(frameBlocks, frame.type) != DequantStatus::Ok;
        if (error != StreamError::None || levelsOutOfRange) {
            if (t <= report.decodedFrames) {
                report.frameError = error;
                report.levelsOutOfRange = levelsOutOfRange;
                report.failedFrame = t;
            } else {  // the decoder never reads it: a remark only
                report.tail.frameError = error;
                report.tail.levelsOutOfRange = levelsOutOfRange;
                report.tail.failedFrame = t;
            }
            return report;
        }
        frame.bits = reader->lastFrameBits();
        addFrame(report, frame);
        if (onFrame) onFrame(frame);
    }
    while (!reader->inputReady()) feed.feed(*reader);
    report.tail.endRead = reader->readEndOfStream(static_cast<int>(report.frameCount) + 1);
    if (report.tail.endRead) report.tail.trailingBytes = reader->skipToEnd() + feed.skipToEnd();
    return report;
}

}  // namespace qmz
