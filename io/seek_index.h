// Where to start decoding for a given sample frame of a .qmz stream in a
// seekable input.
//
// A decode can start at any resync record (before frames 45, 90, ...). With
// a seek table (an item of the tag block after the stream) the records'
// offsets and the noise generator's draws before each are read from it, and
// the decode after a seek is the linear decode, sample for sample. Without
// one the payload is scanned once for the record's bytes (cached, so later
// seeks cost no scan): when the candidates are as many as the stream has
// records, they are the records; when look-alikes in the Huffman bits make
// more, the segments are decoded one after another from the start (only
// their entropy codes) until the wanted record, which also counts the noise
// draws. Only in the first case are the draws unknown: the generator then
// starts afresh, and noise-substituted bands carry other noise of the same
// level; every other line is exact.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "common/container.h"
#include "decoder/resync_scan.h"
#include "io/tag_block.h"

namespace qmz {

struct SeekPoint {
    int frame = 1;            // 1 (the stream's start) or a resync point
    int64_t offset = 0;       // payload offset of the record (0 for the start)
    uint64_t noiseDraws = 0;  // the generator's draws before it
    bool noiseKnown = true;   // false: noiseDraws is a stand-in (0)
};

class SeekIndex {
  public:
    // For the stream of `file` whose payload is bytes payloadStart ..
    // payloadEnd - 1 of `source` (a tag block after it excluded), and the
    // seek table from that block (empty for none).
    SeekIndex(std::istream& source, uint64_t payloadStart, uint64_t payloadEnd,
              const ContainerFile& file, std::vector<SeekTableEntry> table);

    // The point a decode must start from to give sample frame `sampleFrame`
    // (0 .. samplesPerChannel - 1) exactly; false when the stream does not
    // hold it (cut short or damaged before it). Moves the source's position.
    bool pointFor(int64_t sampleFrame, SeekPoint& point);

  private:
    bool scan();
    bool chainTo(std::size_t record);

    std::istream& source_;
    uint64_t payloadStart_;
    uint64_t payloadSize_;
    int channels_;
    int lastFrame_;
    std::size_t records_;  // resync records the stream holds (the end's one included)
    std::vector<SeekTableEntry> table_;
    bool scanned_ = false;
    bool lookAlikes_ = false;  // more candidates than records: chain instead
    std::vector<int64_t> candidates_;
    // Records confirmed by decoding from the start, with the draws before
    // each; chain_[i] is the record before frame 45 (i + 1).
    std::vector<SeekTableEntry> chain_;
    int64_t chainEnd_ = 0;  // the offset the chain continues from (its last record)
    uint64_t chainDraws_ = 0;
    bool chainBroken_ = false;
    SegmentChecker checker_;
    std::vector<uint8_t> window_;
};

// The index for the stream of `file` in `source`, a seekable input whose
// payload begins at byte `payloadStart` (right after the header); null when
// the input cannot seek (a pipe). The tag block after the stream, if any, is
// read for its seek table and to know where the payload ends.
std::unique_ptr<SeekIndex> openSeekIndex(std::istream& source, uint64_t payloadStart,
                                         const ContainerFile& file);

// The point to start from for sample frame `first` of the stream whose
// payload begins at `source`'s position: false for a pipe, or a stream that
// does not hold that frame intact. The position is left where it was.
bool findSeekPoint(std::istream& source, const ContainerFile& file, int64_t first,
                   SeekPoint& point);

}  // namespace qmz
