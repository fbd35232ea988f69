#include "decoder/resync_scan.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "decoder/dequantizer.h"
#include "decoder/payload_reader.h"

namespace qmz {

namespace {
constexpr int kRecordZeros = static_cast<int>(kResyncRecord.size()) - 1;
}  // namespace

void ResyncScanner::scan(const uint8_t* bytes, std::size_t size, std::vector<int64_t>& found) {
    // The 0xFF ending a record is rare in Huffman bits; memchr finds it at
    // memory speed, and only then are the bytes before it looked at.
    const uint8_t* const end = bytes + size;
    const uint8_t* p = bytes;
    while (p < end) {
        const auto* ff = static_cast<const uint8_t*>(std::memchr(p, 0xFF, end - p));
        if (ff == nullptr) break;
        const std::ptrdiff_t at = ff - bytes;
        int zeros = 0;
        for (; zeros < kRecordZeros && zeros < at && ff[-1 - zeros] == 0; ++zeros) {
        }
        if (zeros == at && zeros < kRecordZeros)
            zeros = std::min(kRecordZeros, zeros + zerosBefore_);
        if (zeros == kRecordZeros) found.push_back(scanned_ + at - kRecordZeros);
        p = ff + 1;
    }
    // The zero run the next piece may continue.
    int trailing = 0;
    for (; trailing < kRecordZeros && static_cast<std::size_t>(trailing) < size &&
           end[-1 - trailing] == 0;
         ++trailing) {
    }
    if (static_cast<std::size_t>(trailing) == size) {
        zerosBefore_ = std::min(kRecordZeros, zerosBefore_ + trailing);
    } else {
        zerosBefore_ = trailing;
    }
    scanned_ += static_cast<int64_t>(size);
}

std::vector<int64_t> findResyncCandidates(std::span<const uint8_t> payload) {
    std::vector<int64_t> found;
    ResyncScanner scanner;
    scanner.scan(payload.data(), payload.size(), found);
    return found;
}

bool isResyncRecordAt(std::span<const uint8_t> payload, int64_t offset) {
    if (offset < 0 || offset + kResyncRecordSize > static_cast<int64_t>(payload.size()))
        return false;
    return std::equal(kResyncRecord.begin(), kResyncRecord.end(), payload.begin() + offset);
}

SegmentCheck SegmentChecker::check(std::span<const uint8_t> payload, int64_t offset, int firstFrame,
                                   int lastFrame, int channels) {
    SegmentCheck check;
    check.end = offset;
    const auto size = static_cast<int64_t>(payload.size());
    if (offset < 0 || offset > size || channels < 1 || channels > kMaxChannels) return check;
    if (firstFrame != 1 && !isResyncPoint(firstFrame)) return check;
    if (firstFrame != 1 && !isResyncRecordAt(payload, offset)) return check;

    FramePayloadReader& reader = reader_;
    reader.restart();
    reader.setWholeInput(payload.data() + offset, static_cast<std::size_t>(size - offset));
    const auto blockSpan = std::span(blocks_.data(), static_cast<std::size_t>(channels));
    int frame = firstFrame;
    for (;; ++frame) {
        if (frame > lastFrame || (frame != firstFrame && isResyncPoint(frame))) break;
        BlockType type;
        if (reader.readFrame(blockSpan, type, frame) != StreamError::None) {
            check.end = size - static_cast<int64_t>(reader.unreadSize());
            return check;
        }
        check.noiseDraws += frameNoiseDraws(blockSpan, type);
        ++check.frames;
    }
    check.end = size - static_cast<int64_t>(reader.unreadSize());
    if (frame > lastFrame) {
        check.lastSegment = true;
        check.confirmed = reader.readEndOfStream(frame);
    } else {
        check.confirmed = isResyncRecordAt(payload, check.end);
    }
    return check;
}

}  // namespace qmz
