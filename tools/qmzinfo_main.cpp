// qmzinfo: describes a .qmz file and checks that its whole payload reads.
//
//   qmzinfo FILE.qmz [--frames]
//
// Standard output carries the description (and with --frames one line per
// frame); a file that qmzdec would not decode to its end is reported on
// standard error with the frame where decoding fails. What follows the frames
// the decoder reads changes no decoded sample: a cut or damage there, or bytes
// after the end of the stream, are notes in the description, and the exit
// status stays 0. Tags after the stream are listed; a bad tag block is a
// note and is ignored. "-" reads standard input (without its tags).
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <string>

#include "decoder/dequantizer.h"
#include "io/damage_report.h"
#include "io/payload_file.h"
#include "io/segmented_decode.h"
#include "io/stream_info.h"
#include "io/wav_writer.h"
#include "io/std_descriptors.h"
#include "io/tag_file.h"

namespace {

enum ExitStatus {
    kOk = 0,
    kUsage = 1,
    kCannotOpen = 2,
    kNotAQmzFile = 3,
    kDamagedStream = 5,
};

const char* const kBlockTypeNames[] = {"long", "start", "short", "stop"};

double percentOf(int64_t part, int64_t whole) {
    return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

void printFrame(const qmz::FrameReport& frame) {
    std::printf("%7d  %-5s  %7" PRId64 "  %6" PRId64 "  %6" PRId64 "  %7" PRId64 "  %6" PRId64 "\n",
                frame.index, kBlockTypeNames[static_cast<int>(frame.type)], frame.bits.total(),
                frame.bits.side, frame.bits.scalefactors, frame.bits.lines, frame.bits.resync);
}

void printHeader(const std::string& name, const qmz::StreamReport& r) {
    const qmz::ContainerHeader& h = r.file.header;
    const qmz::WavFormatBlock f = qmz::outputFormatBlock(r.file);
    const double seconds = r.durationSeconds();
    const int minutes = static_cast<int>(seconds / 60.0);
    std::printf("file:            %s\n", name.c_str());
    std::printf("channels:        %d (%s)\n", h.channels,
                h.channels == 1 ? "mono" : (h.midSide == 1 ? "stereo, mid/side" : "stereo"));
    if (h.channels == 1 && h.midSide == 1) std::printf("mid/side:        set, unused for mono\n");
    std::printf("sample frames:   %d per channel\n", h.samplesPerChannel);
    std::printf("duration:        %d:%06.3f (%.3f s)\n", minutes, seconds - 60.0 * minutes,
                seconds);
    std::printf("average rate:    %d bit/s (%.1f kbit/s)\n", h.avgBitRate, h.avgBitRate / 1000.0);
    std::printf("decodes to:      WAV, format %u, %u channel%s, %u Hz, %u bits, %u data bytes\n",
                f.formatTag(), f.channels(), f.channels() == 1 ? "" : "s", f.sampleRate(),
                f.bitsPerSample(), qmz::outputDataSize(h.samplesPerChannel, h.channels));
}

const char* frameProblem(qmz::StreamError error, bool levelsOutOfRange) {
    return levelsOutOfRange ? qmz::dequantStatusText(qmz::DequantStatus::Damaged)
                            : qmz::describeStreamError(error);
}

// The tag block at the end of a file, read only from a file (standard input
// cannot be searched from its end). A block must lie after the stream's end
// when that is known, else after the container header.
struct TrailingTags {
    qmz::TagBlockInFile block;
    qmz::Tags tags;
    bool fillsTail = false;  // valid and exactly the bytes after the stream
};

TrailingTags readTrailingTags(const std::string& path, const qmz::StreamTail& tail) {
    TrailingTags found;
    if (path == "-") return found;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    std::FILE* file = error ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr) return found;
    const bool endKnown = tail.endRead && static_cast<uint64_t>(tail.trailingBytes) <= size;
    const uint64_t streamEnd =
        endKnown ? size - static_cast<uint64_t>(tail.trailingBytes) : qmz::kContainerHeaderSize;
    found.block = qmz::readTagBlock(file, streamEnd, found.tags);
    std::fclose(file);
    found.fillsTail = endKnown && tail.trailingBytes > 0 &&
                      found.block.error == qmz::TagError::None && found.block.offset == streamEnd;
    return found;
}

// Values are the user's text: a control character would break the layout.
std::string printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

void printTags(const TrailingTags& t) {
    if (t.block.error != qmz::TagError::None || t.tags.empty()) return;
    const char* label = "tags:            ";
    for (const auto& [key, value] : t.tags.fields) {
        std::printf("%s%s=%s\n", label, key.c_str(), printable(value).c_str());
        label = "                 ";
    }
    if (t.tags.picture) {
        const qmz::TagPicture& p = *t.tags.picture;
        std::printf("%spicture: %s, \"%s\", %zu bytes\n", label, printable(p.mimeType).c_str(),
                    printable(p.description).c_str(), p.data.size());
    }
}

// Notes on what follows the frames the decoder reads; none of it fails the file.
void printTail(const qmz::StreamReport& r, const TrailingTags& tags) {
    const qmz::StreamTail& tail = r.tail;
    if (tags.block.error != qmz::TagError::None && tags.block.error != qmz::TagError::NoBlock) {
        std::printf("note:            tag block ignored: %s\n",
                    qmz::describeTagError(tags.block.error));
    }
    if (!r.ok() || tail.complete() || tags.fillsTail) return;
    if (tail.failedFrame != 0) {
        std::printf("note:            frame %" PRId64
                    ", after the last one decoded, does not read: %s\n",
                    tail.failedFrame, frameProblem(tail.frameError, tail.levelsOutOfRange));
    } else if (!tail.endRead) {
        std::printf("note:            the end-of-stream marker is missing or damaged\n");
    } else {
        std::printf("note:            %" PRId64 " byte%s after the end of the stream\n",
                    tail.trailingBytes, tail.trailingBytes == 1 ? "" : "s");
    }
    std::printf("                 (the decoder does not read it; the decoded samples are whole)\n");
}

void printSummary(const qmz::StreamReport& r) {
    const int64_t total = r.totalBits.total();
    if (r.ok()) {
        std::printf("frames:          %" PRId64 "\n", r.frameCount);
    } else {
        std::printf("frames:          %" PRId64 " (%" PRId64 " read before the damage)\n",
                    r.frameCount, r.framesRead);
    }
    std::printf("resync points:   %" PRId64 "\n", r.resyncPoints);
    std::printf("block types:     long %" PRId64 ", start %" PRId64 ", short %" PRId64
                ", stop %" PRId64 "\n",
                r.blockTypeCounts[0], r.blockTypeCounts[1], r.blockTypeCounts[2],
                r.blockTypeCounts[3]);
    std::printf("bits per frame:  min %" PRId64 ", mean %.1f, max %" PRId64 "\n", r.minFrameBits,
                r.meanFrameBits(), r.maxFrameBits);
    std::printf(
        "bit shares:      side information %.1f%%, scalefactors %.1f%%, lines %.1f%%, "
        "resync %.1f%%\n",
        percentOf(r.totalBits.side, total), percentOf(r.totalBits.scalefactors, total),
        percentOf(r.totalBits.lines, total), percentOf(r.totalBits.resync, total));
}

// Takes every byte and keeps none.
class DiscardBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Every damaged range of a file that does not decode to its end, found by
// decoding through the damage as qmzdec -F does, and how much of the audio
// that gives back.
void printDamagedRanges(const std::string& path, const qmz::StreamReport& report,
                        const TrailingTags& tags) {
    qmz::PayloadFile payload;
    if (path == "-" || !payload.open(path, qmz::kContainerHeaderSize)) return;
    qmz::SegmentedDecodeOptions options;
    options.keepGoing = true;
    options.seekTable = tags.tags.seekTable;
    if (tags.block.error == qmz::TagError::None || tags.block.error == qmz::TagError::NoBlock)
        options.payloadSize =
            static_cast<int64_t>(tags.block.offset) - static_cast<int64_t>(qmz::kContainerHeaderSize);
    DiscardBuffer discard;
    std::ostream sink(&discard);
    const qmz::PayloadReadAt readAt = payload.readAt();
    const qmz::SegmentedDecodeResult result =
        qmz::decodeSegmentsToWav(readAt, report.file, sink, options);
    const int64_t lost = qmz::listDamagedRanges(stderr, "qmzinfo", path,
                                                qmz::outputFormatBlock(report.file).sampleRate(),
                                                result.damaged, "");
    const int64_t total = report.file.header.samplesPerChannel;
    std::fprintf(stderr,
                 "qmzinfo: %s: recoverable with qmzdec -F: %" PRId64 " of %" PRId64
                 " sample frames (%.1f%%) in %zu damaged range%s\n",
                 path.c_str(), total - lost, total, percentOf(total - lost, total),
                 result.damaged.size(), result.damaged.size() == 1 ? "" : "s");
}

}  // namespace

int main(int argc, char** argv) {
    qmz::io::attachClosedStandardDescriptors();
    std::string path;
    bool listFrames = false;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--version" && argc == 2) {
            std::printf("qmzinfo " QMZ_VERSION "\n");
            return kOk;
        }
        if (argument == "--frames") {
            listFrames = true;
        } else if (path.empty() && (argument == "-" || argument[0] != '-')) {
            path = argument;
        } else {
            usage = true;
        }
    }
    if (usage || path.empty()) {
        std::fprintf(stderr, "usage: qmzinfo FILE.qmz [--frames]\n");
        return kUsage;
    }
    std::ifstream file;
    if (path != "-") {
        std::error_code ignored;
        if (std::filesystem::is_directory(path, ignored)) {
            std::fprintf(stderr, "qmzinfo: %s: is a directory, not a file\n", path.c_str());
            return kCannotOpen;
        }
        file.open(path, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "qmzinfo: %s: cannot open the file\n", path.c_str());
            return kCannotOpen;
        }
    }
    std::istream& in = path == "-" ? std::cin : file;

    if (listFrames) std::printf("  frame  type      bits    side  scalef    lines  resync\n");
    const qmz::StreamReport report =
        listFrames ? qmz::inspectStream(in, printFrame) : qmz::inspectStream(in);
    if (report.headerError != qmz::DecodeError::None) {
        std::fprintf(stderr, "qmzinfo: %s: %s\n", path.c_str(),
                     qmz::describeDecodeError(report.headerError));
        return kNotAQmzFile;
    }
    if (listFrames) std::printf("\n");
    printHeader(path, report);
    printSummary(report);
    const TrailingTags tags = readTrailingTags(path, report.tail);
    printTags(tags);
    printTail(report, tags);
    if (!report.ok()) {
        std::fflush(stdout);
        std::fprintf(stderr, "qmzinfo: %s: frame %" PRId64 " of %" PRId64 ": %s\n", path.c_str(),
                     report.failedFrame, report.frameCount,
                     frameProblem(report.frameError, report.levelsOutOfRange));
        printDamagedRanges(path, report, tags);
        return kDamagedStream;
    }
    return kOk;
}
