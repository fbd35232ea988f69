#include "io/seek_index.h"

#include <algorithm>
#include <array>
#include <istream>
#include <utility>

#include "decoder/payload_reader.h"
#include "io/tag_file.h"

namespace qmz {

SeekIndex::SeekIndex(std::istream& source, uint64_t payloadStart, uint64_t payloadEnd,
                     const ContainerFile& file, std::vector<SeekTableEntry> table)
    : source_(source),
      payloadStart_(payloadStart),
      payloadSize_(payloadEnd > payloadStart ? payloadEnd - payloadStart : 0),
      channels_(file.header.channels),
      lastFrame_(lastFrameOf(file.header.samplesPerChannel)),
      records_(static_cast<std::size_t>((lastFrame_ + 1) / kResyncPeriod)),
      table_(std::move(table)) {
    // A table that does not fit this stream came with another one (or is
    // damaged): scanning is slower but never wrong.
    if (table_.size() != records_ ||
        (!table_.empty() && static_cast<uint64_t>(table_.back().offset) >= payloadSize_))
        table_.clear();
}

bool SeekIndex::scan() {
    if (scanned_) return true;
    ResyncScanner scanner;
    std::vector<uint8_t> chunk(64 * 1024);
    source_.clear();
    if (!source_.seekg(static_cast<std::streamoff>(payloadStart_))) return false;
    for (uint64_t left = payloadSize_; left > 0;) {
        const auto want = static_cast<std::streamsize>(std::min<uint64_t>(left, chunk.size()));
        source_.read(reinterpret_cast<char*>(chunk.data()), want);
        const std::streamsize got = source_.gcount();
        scanner.scan(chunk.data(), static_cast<std::size_t>(got), candidates_);
        if (got < want) break;
        left -= static_cast<uint64_t>(got);
    }
    source_.clear();
    scanned_ = true;
    lookAlikes_ = candidates_.size() != records_;
    return true;
}

// Follows the segments from the last record confirmed until record `record`
// (0 for the one before frame 45) is confirmed too, reading each segment
// into a window that grows until it holds the segment whole.
bool SeekIndex::chainTo(std::size_t record) {
    while (chain_.size() <= record && !chainBroken_) {
        const int frame = chain_.empty() ? 1 : static_cast<int>(chain_.size()) * kResyncPeriod;
        const uint64_t left = payloadSize_ - static_cast<uint64_t>(chainEnd_);
        std::size_t size = std::min<uint64_t>(left, 256 * 1024);
        SegmentCheck check;
        for (;;) {
            window_.resize(size);
            source_.clear();
            source_.seekg(static_cast<std::streamoff>(payloadStart_ + chainEnd_));
            source_.read(reinterpret_cast<char*>(window_.data()),
                         static_cast<std::streamsize>(size));
            window_.resize(static_cast<std::size_t>(source_.gcount()));
            check = checker_.check(window_, 0, frame, lastFrame_, channels_);
            // A segment cut by the window's end, rather than by damage, is
            // read again in a window twice the size.
            const bool cut = !check.confirmed && size < left &&
                             static_cast<uint64_t>(check.end) + kMaxFrameBytes >= window_.size();
            if (!cut) break;
            size = static_cast<std::size_t>(std::min<uint64_t>(left, 2 * uint64_t{size}));
        }
        source_.clear();
        if (!check.confirmed || check.lastSegment) {
            chainBroken_ = true;
            break;
        }
        chainEnd_ += check.end;
        chainDraws_ += check.noiseDraws;
        chain_.push_back({chainEnd_, chainDraws_});
    }
    return chain_.size() > record;
}

bool SeekIndex::pointFor(int64_t sampleFrame, SeekPoint& point) {
    point = SeekPoint{};
    const int frame = restartFrameFor(sampleFrame);
    if (frame == 1) return true;
    const auto record = static_cast<std::size_t>(frame / kResyncPeriod - 1);
    if (record >= records_) return false;
    point.frame = frame;
    if (!table_.empty()) {
        // A table that points beside a record is damaged: scan instead.
        std::array<uint8_t, kResyncRecord.size()> bytes{};
        source_.clear();
        source_.seekg(static_cast<std::streamoff>(payloadStart_ + table_[record].offset));
        source_.read(reinterpret_cast<char*>(bytes.data()), bytes.size());
        source_.clear();
        if (bytes == kResyncRecord) {
            point.offset = table_[record].offset;
            point.noiseDraws = table_[record].noiseDraws;
            return true;
        }
        table_.clear();
    }
    if (!scan()) return false;
    if (!lookAlikes_) {
        point.offset = candidates_[record];
        point.noiseKnown = false;
        return true;
    }
    if (!chainTo(record)) return false;
    point.offset = chain_[record].offset;
    point.noiseDraws = chain_[record].noiseDraws;
    return true;
}

std::unique_ptr<SeekIndex> openSeekIndex(std::istream& source, uint64_t payloadStart,
                                         const ContainerFile& file) {
    source.clear();
    const std::streampos here = source.tellg();
    if (here == std::streampos(-1) || !source.seekg(0, std::ios::end)) {
        source.clear();
        return nullptr;
    }
    Tags tags;
    const TagBlockInFile block = readTagBlock(source, payloadStart, tags);
    source.clear();
    source.seekg(here);
    if (!source) return nullptr;
    return std::make_unique<SeekIndex>(source, payloadStart, block.offset, file,
                                       std::move(tags.seekTable));
}

bool findSeekPoint(std::istream& source, const ContainerFile& file, int64_t first,
                   SeekPoint& point) {
    source.clear();
    const std::streampos payloadStart = source.tellg();
    if (payloadStart == std::streampos(-1)) return false;
    const std::unique_ptr<SeekIndex> index =
        openSeekIndex(source, static_cast<uint64_t>(payloadStart), file);
    const bool found = index != nullptr && index->pointFor(first, point);
    source.clear();
    source.seekg(payloadStart);
    return found;
}

}  // namespace qmz
