#include "decoder/segment_decoder.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "decoder/resync_scan.h"

namespace qmz {

int SegmentLayout::frames(int64_t segment) const {
    if (segment < 0 || segment >= count()) return 0;
    const int64_t first = firstFrame(segment);
    const int64_t last = std::min(decodedFrames, segment * kResyncPeriod + kResyncPeriod - 1);
    return static_cast<int>(std::max<int64_t>(last - first + 1, 0));
}

int64_t SegmentLayout::outputStart(int64_t frame) const {
    return std::max<int64_t>(frame - 3, 0) * kFrameLength;
}

int SegmentLayout::outputFrames(int64_t frame) const {
    if (frame < 3) return 0;
    const int64_t left = samplesPerChannel - outputStart(frame);
    return static_cast<int>(std::clamp<int64_t>(left, 0, kFrameLength));
}

SegmentLayout segmentLayoutOf(int32_t samplesPerChannel) {
    SegmentLayout layout;
    layout.samplesPerChannel = std::max<int32_t>(samplesPerChannel, 0);
    if (layout.samplesPerChannel > 0)
        layout.decodedFrames = (layout.samplesPerChannel + kFrameLength - 1) / kFrameLength + 2;
    return layout;
}

namespace {

constexpr std::size_t kReadPiece = 16 * 1024;

// A segment's frames are read with the frame indices the linear decode uses,
// so that the record in front of a segment is read (and the models restart)
// exactly as there.
int64_t frameIndexOf(int64_t segment, int i) {
    return (segment == 0 ? 1 : segment * kResyncPeriod) + i;
}

// Packs one frame's blocks at v in the order they are dequantised (channel
// by channel, blocks in time order), counting the noise draws and checking
// the levels on the way; returns the end, or null for a damaged frame. Into
// room made once per segment: one push_back per value cost the threaded
// decode a twentieth of its time.
int32_t* packFrame(const std::array<ChannelBlocks, kMaxChannels>& blocks, int channels,
                   BlockType type, int32_t* v, uint64_t& draws) {
    const bool isShort = type == BlockType::Short;
    const BlockShape shape = isShort ? BlockShape::Short : BlockShape::Long;
    const int count = isShort ? kShortBlocksPerFrame : 1;
    bool damaged = false;
    for (int c = 0; c < channels; ++c) {
        for (int b = 0; b < count; ++b) {
            damaged |= packBlock(blocks[c][b], shape, v, draws) != DequantStatus::Ok;
            v += packedBlockSize(shape);
        }
    }
    return damaged ? nullptr : v;
}

}  // namespace

void readSegment(const PayloadReadAt& readAt, int64_t offset, int64_t segment, int frames,
                 int channels, SegmentScratch& scratch, SegmentFrames& out) {
    out.segment = segment;
    out.startOffset = offset;
    out.framesRead = 0;
    out.status = DecodeStatus::Frame;
    out.endOffset = offset;
    out.noiseDraws = 0;
    out.types.clear();
    // Room for every frame at once, made once per job.
    const std::size_t room = static_cast<std::size_t>(std::max(frames, 0)) * kMaxFrameValues;
    if (out.values.size() < room) {
        out.ownValues = std::make_unique_for_overwrite<int32_t[]>(room);
        out.values = {out.ownValues.get(), room};
    }
    int32_t* packed = out.values.data();
    // Fresh models, as after a record.
    if (scratch.reader == nullptr) scratch.reader = std::make_unique<FramePayloadReader>();
    scratch.reader->restart();
    FramePayloadReader* reader = scratch.reader.get();
    std::array<ChannelBlocks, kMaxChannels>& blocks = scratch.blocks;
    std::array<uint8_t, kReadPiece> piece;
    int64_t fed = offset;
    std::size_t pendingTaken = 0, pendingSize = 0;
    const std::span<ChannelBlocks> frameBlocks(blocks.data(), static_cast<std::size_t>(channels));
    for (int i = 0; i < frames; ++i) {
        BlockType type;
        StreamError error =
            reader->readFrame(frameBlocks, type, static_cast<int>(frameIndexOf(segment, i)));
        while (error == StreamError::NeedInput) {
            if (pendingTaken == pendingSize) {
                pendingSize = readAt(fed, piece.data(), piece.size());
                pendingTaken = 0;
                fed += static_cast<int64_t>(pendingSize);
            }
            if (pendingSize == 0) {
                reader->endInput();
            } else {
                pendingTaken +=
                    reader->push(piece.data() + pendingTaken, pendingSize - pendingTaken);
            }
            error =
                reader->readFrame(frameBlocks, type, static_cast<int>(frameIndexOf(segment, i)));
        }
        if (error == StreamError::Truncated) {
            out.status = DecodeStatus::Truncated;
            return;
        }
        uint64_t draws = 0;
        int32_t* end =
            error == StreamError::None ? packFrame(blocks, channels, type, packed, draws) : nullptr;
        if (end == nullptr) {
            out.status = DecodeStatus::Damaged;
            return;
        }
        packed = end;
        out.types.push_back(static_cast<uint8_t>(type));
        out.noiseDraws += draws;
        ++out.framesRead;
    }
    // The bytes read so far, less those pushed and not read.
    out.endOffset = fed - static_cast<int64_t>(pendingSize - pendingTaken) -
                    static_cast<int64_t>(reader->unreadSize());
}

void synthesizeSegment(const SegmentFrames& frames, const SegmentLayout& layout, int channels,
                       bool midSide, NoiseRandom noise, SegmentSamples& out) {
    std::array<std::array<double, kFrameLength>, kMaxChannels> spectrum;
    std::array<std::array<double, kFrameLength>, kMaxChannels> output;
    // Silence pending: only the lower half is read before it is written.
    for (int c = 0; c < channels; ++c) std::fill_n(out.overlap[c].begin(), kFrameLength, 0.0);
    out.pcmFrames = 0;
    const std::size_t room = kSegmentPcmRoom * static_cast<std::size_t>(channels);
    if (out.pcm.size() < room) {
        out.ownPcm = std::make_unique_for_overwrite<int16_t[]>(room);
        out.pcm = {out.ownPcm.get(), room};
    }
    const int32_t* v = frames.values.data();
    const int64_t first = layout.firstFrame(frames.segment);
    for (int i = 0; i < frames.framesRead; ++i) {
        const auto type = static_cast<BlockType>(frames.types[static_cast<std::size_t>(i)]);
        for (int c = 0; c < channels; ++c) {
            double* s = spectrum[c].data();
            if (type == BlockType::Short) {
                for (int b = 0; b < kShortBlocksPerFrame; ++b)
                    v = dequantizePacked(v, s + kShortBlockLength * b, BlockShape::Short, noise);
            } else {
                v = dequantizePacked(v, s, BlockShape::Long, noise);
            }
        }
        if (midSide) {
            for (int k = 0; k < kFrameLength; ++k) {
                const double m = spectrum[0][k], s = spectrum[1][k];
                spectrum[0][k] = m + s;
                spectrum[1][k] = m - s;
            }
        }
        if (i == 0) {
            out.firstType = type;
            for (int c = 0; c < channels; ++c) {
                synthesizeChannel(spectrum[c].data(), out.firstOverSilence[c].data(),
                                  out.overlap[c], type);
            }
            continue;
        }
        for (int c = 0; c < channels; ++c)
            synthesizeChannel(spectrum[c].data(), output[c].data(), out.overlap[c], type);
        const int count = layout.outputFrames(first + i);
        interleavePcm16(output[0].data(), channels == 2 ? output[1].data() : nullptr, count,
                        out.pcm.data() + out.pcmFrames * channels);
        out.pcmFrames += count;
    }
}

int completeFirstFrame(const SegmentSamples& samples, const SegmentFrames& frames,
                       const SegmentLayout& layout, int channels,
                       std::array<OverlapBuffer, kMaxChannels>& overlap, int16_t* pcm) {
    if (frames.framesRead == 0) return 0;
    std::array<std::array<double, kFrameLength>, kMaxChannels> output;
    const int count = layout.outputFrames(layout.firstFrame(frames.segment));
    if (count > 0) {
        const bool stereo = channels == 2;
        completeAfterPending(samples.firstOverSilence[0].data(), overlap[0], samples.firstType,
                             output[0].data());
        if (stereo) {
            completeAfterPending(samples.firstOverSilence[1].data(), overlap[1], samples.firstType,
                                 output[1].data());
        }
        interleavePcm16(output[0].data(), stereo ? output[1].data() : nullptr, count, pcm);
    }
    // The pending samples; the upper half is written before it is read.
    for (int c = 0; c < channels; ++c)
        std::copy_n(samples.overlap[c].begin(), kFrameLength, overlap[c].begin());
    return count;
}

PayloadReadAt payloadInMemory(std::span<const uint8_t> payload) {
    return [payload](int64_t offset, uint8_t* bytes, std::size_t size) {
        if (offset < 0 || static_cast<std::size_t>(offset) >= payload.size()) return std::size_t{0};
        const std::size_t n = std::min(size, payload.size() - static_cast<std::size_t>(offset));
        std::memcpy(bytes, payload.data() + offset, n);
        return n;
    };
}

bool recordAt(const PayloadReadAt& readAt, int64_t offset) {
    std::array<uint8_t, kResyncRecord.size()> bytes;
    return offset >= 0 && readAt(offset, bytes.data(), bytes.size()) == bytes.size() &&
           isResyncRecordAt(bytes, 0);
}

int64_t findRecordCandidate(const PayloadReadAt& readAt, int64_t from) {
    from = std::max<int64_t>(from, 0);
    ResyncScanner scanner;
    std::vector<int64_t> found;
    std::array<uint8_t, 16 * 1024> piece;
    for (int64_t at = from;;) {
        const std::size_t got = readAt(at, piece.data(), piece.size());
        if (got == 0) return -1;
        scanner.scan(piece.data(), got, found);
        if (!found.empty()) return from + found.front();
        at += static_cast<int64_t>(got);
    }
}

}  // namespace qmz
