// How much of a damaged .qmz file comes back with decoding through damage.
//
//   qmz_recovery [--cases N] FILE.qmz ...
//
// Damages each file the ways files get damaged (a run of bytes overwritten
// with garbage, a block of bytes missing, bits flipped here and there), only
// in the payload, N times each with fixed seeds, decodes it with keep-going,
// and counts the sample frames outside the damaged segments (the segments
// whose bytes were touched, and the frame after each, whose overlap they
// feed) that equal the undamaged file's decode exactly. Also checks that
// every decode holds exactly the header's number of sample frames. Files
// encoded with --seek-table come back exactly, noise bands included; without
// a table the noise bands after a gap hold other noise (see
// io/segmented_decode.h), and so do the samples there.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/segment_decoder.h"
#include "io/segmented_decode.h"
#include "io/tag_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
    std::vector<int16_t> pcm;
    qmz::SegmentedDecodeResult result;
};

// The stream's end (a tag block's start, or the file's end) and the seek
// table, read from the file at `path`.
int64_t streamEndOf(const std::string& path, std::vector<qmz::SeekTableEntry>& table) {
    qmz::Tags tags;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return -1;
    const qmz::TagBlockInFile block = qmz::readTagBlock(f, qmz::kContainerHeaderSize, tags);
    std::fclose(f);
    table = tags.seekTable;
    return static_cast<int64_t>(block.offset);
}

Decoded decode(const Bytes& file, int64_t streamEnd, const std::vector<qmz::SeekTableEntry>& table) {
    Decoded out;
    qmz::ContainerFile header;
    if (qmz::readContainerHeader(file.data(), file.size(), header) != qmz::DecodeError::None)
        return out;
    const qmz::PayloadReadAt readAt = qmz::payloadInMemory(
        std::span(file.data() + qmz::kContainerHeaderSize, file.size() - qmz::kContainerHeaderSize));
    qmz::SegmentedDecodeOptions options;
    options.keepGoing = true;
    options.payloadSize = streamEnd - static_cast<int64_t>(qmz::kContainerHeaderSize);
    options.seekTable = table;
    std::ostringstream wav;
    out.result = qmz::decodeSegmentsToWav(readAt, header, wav, options);
    const std::string bytes = wav.str();
    out.pcm.resize((bytes.size() - 44) / 2);
    std::memcpy(out.pcm.data(), bytes.data() + 44, out.pcm.size() * 2);
    return out;
}

// Payload offsets where the segments of the undamaged file begin.
std::vector<int64_t> segmentStarts(const Bytes& file, const qmz::ContainerFile& header) {
    const qmz::SegmentLayout layout = qmz::segmentLayoutOf(header.header.samplesPerChannel);
    const qmz::PayloadReadAt readAt = qmz::payloadInMemory(
        std::span(file.data() + qmz::kContainerHeaderSize, file.size() - qmz::kContainerHeaderSize));
    std::vector<int64_t> starts;
    qmz::SegmentScratch scratch;
    qmz::SegmentFrames frames;
    int64_t offset = 0;
    for (int64_t k = 0; k < layout.count(); ++k) {
        starts.push_back(offset);
        qmz::readSegment(readAt, offset, k, layout.frames(k), header.header.channels, scratch,
                         frames);
        offset = frames.endOffset;
    }
    starts.push_back(offset);
    return starts;
}

enum class Kind { Overwrite, Missing, BitFlips };
const char* const kKindNames[] = {"run of bytes overwritten", "block of bytes missing",
                                  "bits flipped"};

struct Tally {
    double outside = 0, matched = 0;
    double worst = 1.0;
    int cases = 0, lengthErrors = 0, undetected = 0;
    int64_t damagedSegments = 0, segments = 0;
};

}  // namespace

int main(int argc, char** argv) {
    int casesPerKind = 20;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cases") == 0 && i + 1 < argc) {
            casesPerKind = std::atoi(argv[++i]);
        } else {
            paths.emplace_back(argv[i]);
        }
    }
    if (paths.empty()) {
        std::fprintf(stderr, "usage: qmz_recovery [--cases N] FILE.qmz ...\n");
        return 1;
    }
    Tally tally[3];
    for (const std::string& path : paths) {
        std::ifstream in(path, std::ios::binary);
        const Bytes clean((std::istreambuf_iterator<char>(in)), {});
        qmz::ContainerFile header;
        if (qmz::readContainerHeader(clean.data(), clean.size(), header) != qmz::DecodeError::None) {
            std::fprintf(stderr, "%s: not a .qmz file\n", path.c_str());
            return 1;
        }
        const int channels = header.header.channels;
        const qmz::SegmentLayout layout = qmz::segmentLayoutOf(header.header.samplesPerChannel);
        std::vector<qmz::SeekTableEntry> table;
        const int64_t streamEnd = streamEndOf(path, table);
        const auto tail = static_cast<int64_t>(clean.size()) - streamEnd;  // the tag block
        const std::vector<int64_t> starts = segmentStarts(clean, header);
        const Decoded reference = decode(clean, streamEnd, table);
        const int64_t payload = streamEnd - static_cast<int64_t>(qmz::kContainerHeaderSize);
        std::mt19937_64 random(12345);
        for (int kind = 0; kind < 3; ++kind) {
            for (int c = 0; c < casesPerKind; ++c) {
                Bytes damaged = clean;
                std::vector<std::pair<int64_t, int64_t>> touched;  // payload byte ranges
                auto at = [&](int64_t length) {
                    return static_cast<int64_t>(random() % static_cast<uint64_t>(std::max<int64_t>(payload - length, 1)));
                };
                const auto base = static_cast<std::ptrdiff_t>(qmz::kContainerHeaderSize);
                if (kind == static_cast<int>(Kind::Overwrite)) {
                    const int64_t length = 16 + static_cast<int64_t>(random() % 4080);
                    const int64_t from = at(length);
                    for (int64_t i = from; i < std::min(from + length, payload); ++i)
                        damaged[static_cast<std::size_t>(base + i)] = static_cast<uint8_t>(random());
                    touched.emplace_back(from, from + length);
                } else if (kind == static_cast<int>(Kind::Missing)) {
                    const int64_t length = 16 + static_cast<int64_t>(random() % 8176);
                    const int64_t from = at(length);
                    damaged.erase(damaged.begin() + base + from,
                                  damaged.begin() + base + std::min(from + length, payload));
                    touched.emplace_back(from, from + length);
                } else {
                    const int flips = 1 + static_cast<int>(random() % 8);
                    for (int f = 0; f < flips; ++f) {
                        const int64_t byte = at(1);
                        damaged[static_cast<std::size_t>(base + byte)] ^= static_cast<uint8_t>(1u << (random() % 8));
                        touched.emplace_back(byte, byte + 1);
                    }
                }
                // Sample frames the damaged segments (and the frame after
                // each) hand out.
                std::vector<bool> inside(static_cast<std::size_t>(layout.samplesPerChannel), false);
                int64_t hit = 0;
                for (int64_t k = 0; k < layout.count(); ++k) {
                    // A segment's bytes run to the end of the next record.
                    const int64_t begin = starts[static_cast<std::size_t>(k)];
                    const int64_t end = starts[static_cast<std::size_t>(k + 1)] + 9;
                    const bool isHit = std::any_of(touched.begin(), touched.end(), [&](auto r) {
                        return r.first < end && r.second > begin;
                    });
                    if (!isHit) continue;
                    ++hit;
                    const int64_t first = layout.firstFrame(k);
                    const int64_t last = first + layout.frames(k) - 1;
                    const int64_t s0 = layout.outputStart(first);
                    const int64_t s1 = std::min<int64_t>(layout.outputStart(last + 2), layout.samplesPerChannel);
                    for (int64_t s = s0; s < s1; ++s) inside[static_cast<std::size_t>(s)] = true;
                }
                const Decoded got =
                    decode(damaged, static_cast<int64_t>(damaged.size()) - tail, table);
                Tally& t = tally[kind];
                ++t.cases;
                t.segments += layout.count();
                t.damagedSegments += hit;
                if (got.pcm.size() != reference.pcm.size()) {
                    ++t.lengthErrors;
                    continue;
                }
                if (got.result.firstError == qmz::DecodeError::None) ++t.undetected;
                double outside = 0, matched = 0;
                for (std::size_t s = 0; s < inside.size(); ++s) {
                    if (inside[s]) continue;
                    ++outside;
                    const std::size_t i = s * static_cast<std::size_t>(channels);
                    if (std::equal(got.pcm.begin() + static_cast<std::ptrdiff_t>(i),
                                   got.pcm.begin() + static_cast<std::ptrdiff_t>(i) + channels,
                                   reference.pcm.begin() + static_cast<std::ptrdiff_t>(i)))
                        ++matched;
                }
                t.outside += outside;
                t.matched += matched;
                if (outside > 0) t.worst = std::min(t.worst, matched / outside);
            }
        }
    }
    std::printf("%-26s %6s %10s %8s %8s %11s %10s\n", "damage", "cases", "segments", "recovered",
                "worst", "length err", "undetected");
    for (int kind = 0; kind < 3; ++kind) {
        const Tally& t = tally[kind];
        std::printf("%-26s %6d %4" PRId64 "/%-5" PRId64 " %7.2f%% %7.2f%% %11d %10d\n",
                    kKindNames[kind], t.cases, t.damagedSegments, t.segments,
                    t.outside > 0 ? 100.0 * t.matched / t.outside : 0.0, 100.0 * t.worst,
                    t.lengthErrors, t.undetected);
    }
    return 0;
}
