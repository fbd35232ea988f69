// qmzdec: decodes one .qmz file into a 16-bit PCM WAV file.
//
// Standard output carries the banner and the "source -> destination" line;
// problems go to standard error in plain words, with an exit status per kind.
// A source named "-" is read from standard input; a destination named "-" is
// written to standard output, and then the banner and every message go to
// standard error, so that standard output carries only the WAV file.
// Tags after the stream are read first (so only from a file) and written
// back as a LIST/INFO chunk after the samples (so only into a file).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "io/damage_report.h"
#include "io/decode_file.h"
#include "io/output_file.h"
#include "io/payload_file.h"
#include "io/same_file.h"
#include "io/segmented_decode.h"
#include "io/std_descriptors.h"
#include "io/tag_file.h"
#include "io/time_option.h"
#include "io/wav_info_chunk.h"
#include "io/wav_writer.h"

namespace {

enum ExitStatus {
    kOk = 0,
    kUsage = 1,
    kCannotOpenSource = 2,
    kNotAQmzFile = 3,
    kCannotWriteDestination = 4,
    kDamagedStream = 5,
    kDestinationIsSource = 6,
};

int usageError(const std::string& problem) {
    std::fprintf(stderr, "qmzdec: %s\n", problem.c_str());
    return kUsage;
}

int fail(int status, const std::string& path, const char* problem) {
    std::fprintf(stderr, "qmzdec: %s: %s\n", path.c_str(), problem);
    return status;
}

// The tags after the stream of a seekable source; a bad block is a note and
// is ignored. `streamEnd` becomes where the stream's bytes end (the tag
// block's start, or the file's end), -1 when unknown.
qmz::Tags readSourceTags(const std::string& source, int64_t& streamEnd) {
    qmz::Tags tags;
    streamEnd = -1;
    std::FILE* file = std::fopen(source.c_str(), "rb");
    if (file == nullptr) return tags;
    const qmz::TagBlockInFile block = qmz::readTagBlock(file, qmz::kContainerHeaderSize, tags);
    std::fclose(file);
    if (block.error == qmz::TagError::None || block.error == qmz::TagError::NoBlock)
        streamEnd = static_cast<int64_t>(block.offset);
    if (block.error != qmz::TagError::None && block.error != qmz::TagError::NoBlock) {
        std::fprintf(stderr, "qmzdec: %s: note: %s; the tags were ignored\n", source.c_str(),
                     qmz::describeTagError(block.error));
    }
    return tags;
}

// Every damaged range on standard error, then what the output holds.
void reportDamage(const std::string& source, const std::string& destination,
                  const qmz::ContainerFile& header, const qmz::SegmentedDecodeResult& result) {
    const int64_t lost =
        qmz::listDamagedRanges(stderr, "qmzdec", source, qmz::outputFormatBlock(header).sampleRate(),
                               result.damaged, " replaced by silence");
    std::fprintf(stderr,
                 "qmzdec: %s: %s; decoded through %zu damaged range%s (%" PRId64
                 " of %" PRId64 " sample frames lost) into %s\n",
                 source.c_str(), qmz::describeDecodeError(result.firstError),
                 result.damaged.size(), result.damaged.size() == 1 ? "" : "s", lost,
                 result.file.framesWritten, destination.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    qmz::io::attachClosedStandardDescriptors();
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("qmzdec " QMZ_VERSION "\n");
        return kOk;
    }
    // --skip T and --until T (or --skip=T): decode the range [skip, until).
    std::vector<std::string> positional;
    std::optional<std::string> skipText, untilText;
    int threads = 1;
    bool keepGoing = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-F" || argument == "--keep-going") {
            keepGoing = true;
            continue;
        }
        if (argument == "-j" || (argument.size() > 2 && argument.starts_with("-j"))) {
            const std::string value = argument.size() > 2 ? argument.substr(2)
                                      : i + 1 < argc     ? argv[++i]
                                                         : "";
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > 64)
                return usageError("-j " + value + ": not a thread count (1 to 64)");
            threads = static_cast<int>(n);
            continue;
        }
        std::optional<std::string>* option = nullptr;
        std::string name = argument.substr(0, argument.find('='));
        if (name == "--skip") option = &skipText;
        if (name == "--until") option = &untilText;
        if (option == nullptr) {
            positional.push_back(argument);
        } else if (name.size() < argument.size()) {
            *option = argument.substr(name.size() + 1);
        } else if (i + 1 < argc) {
            *option = argv[++i];
        } else {
            return usageError(argument + " needs a time (seconds like 12.5, or mm:ss.sss)");
        }
    }
    if (positional.size() != 2) {
        std::printf("Usage:  qmzdec source.qmz destination.wav\n");
        return kUsage;
    }
    std::optional<double> skipSeconds = 0.0, untilSeconds;
    if (skipText) skipSeconds = qmz::parseTimeOption(*skipText);
    if (untilText) untilSeconds = qmz::parseTimeOption(*untilText);
    if (!skipSeconds)
        return usageError("--skip " + *skipText + ": not a time (seconds like 12.5, or mm:ss.sss)");
    if (untilText && !untilSeconds)
        return usageError("--until " + *untilText +
                          ": not a time (seconds like 12.5, or mm:ss.sss)");
    if (untilSeconds && *untilSeconds <= *skipSeconds)
        return usageError("--until must come after --skip");
    const std::string source = positional[0], destination = positional[1];
    const bool toStdout = destination == "-";
    std::FILE* console = toStdout ? stderr : stdout;
    std::fprintf(console, "QMZ audio decoder " QMZ_VERSION "\n");
    std::fprintf(console, "%s -> %s \n", source.c_str(), destination.c_str());
    std::fflush(console);

    if (qmz::io::outputOverwritesInput(source, destination)) {
        return fail(kDestinationIsSource, destination,
                    "the destination is the source file; nothing was written");
    }
    std::ifstream sourceFile;
    if (source != "-") {
        std::error_code ignored;
        if (std::filesystem::is_directory(source, ignored)) {
            return fail(kCannotOpenSource, source, "is a directory, not a file");
        }
        sourceFile.open(source, std::ios::binary);
        if (!sourceFile) return fail(kCannotOpenSource, source, "cannot open the file");
    }
    std::istream& in = source == "-" ? std::cin : sourceFile;
    qmz::ContainerFile header;
    if (const qmz::DecodeError error = qmz::readQmzHeader(in, header);
        error != qmz::DecodeError::None) {
        return fail(kNotAQmzFile, source, qmz::describeDecodeError(error));
    }
    // The range in sample frames, once the length is known.
    qmz::SampleRange range;
    const uint32_t rate = qmz::outputFormatBlock(header).sampleRate();
    range.first = qmz::sampleFrameAt(*skipSeconds, rate);
    if (untilSeconds) range.end = qmz::sampleFrameAt(*untilSeconds, rate);
    if (skipText && range.first >= header.header.samplesPerChannel) {
        return usageError("--skip " + *skipText + " is past the end (the stream lasts " +
                          std::to_string(header.header.samplesPerChannel) + " sample frames)");
    }
    if (range.end <= range.first)
        return usageError("--until must come after --skip (the range holds no sample frame)");
    qmz::io::OutputFile destinationFile;
    if (!toStdout && !destinationFile.open(destination))
        return fail(kCannotWriteDestination, destination, "cannot create the file");
    std::ostream& out = toStdout ? std::cout : destinationFile.stream();
    int64_t streamEnd = -1;
    const qmz::Tags tags = source == "-" ? qmz::Tags{} : readSourceTags(source, streamEnd);

    // Threads and decoding through damage read the payload at random
    // offsets: from the file itself, or (to decode through damage) from a
    // copy of standard input; -j alone on a pipe decodes in one thread.
    // A range starts at the resync point before it; through damage before
    // that point, or from a pipe, at the stream's start.
    qmz::PayloadFile payload;
    bool segmented = threads > 1 || keepGoing;
    qmz::SeekPoint start;
    if (segmented && range.first > 0 && source != "-" &&
        !qmz::findSeekPoint(in, header, range.first, start)) {
        start = qmz::SeekPoint{};
        segmented = keepGoing;
    }
    if (segmented) {
        const bool opened = source != "-" && payload.open(source, qmz::kContainerHeaderSize);
        segmented = opened || (keepGoing && payload.spool(in));
    }
    qmz::SegmentedDecodeResult segmentedResult;
    if (segmented) {
        qmz::SegmentedDecodeOptions decodeOptions;
        decodeOptions.threads = threads;
        decodeOptions.keepGoing = keepGoing;
        if (streamEnd >= static_cast<int64_t>(qmz::kContainerHeaderSize))
            decodeOptions.payloadSize = streamEnd - static_cast<int64_t>(qmz::kContainerHeaderSize);
        decodeOptions.seekTable = tags.seekTable;
        decodeOptions.start = start;
        decodeOptions.range = range;
        const qmz::PayloadReadAt readAt = payload.readAt();
        segmentedResult = qmz::decodeSegmentsToWav(readAt, header, out, decodeOptions);
    }
    const qmz::DecodeFileResult result =
        segmented ? segmentedResult.file : qmz::decodeRangeToWav(in, header, out, range);
    if (result.error == qmz::DecodeError::None && !result.writeFailed && !tags.empty()) {
        if (toStdout) {
            std::fprintf(stderr,
                         "qmzdec: %s: note: the tags were not written to standard output (the "
                         "WAV header would have to be rewritten after them)\n",
                         source.c_str());
        } else if (qmz::appendInfoChunk(out, tags) == qmz::InfoChunkResult::TooLarge) {
            std::fprintf(stderr, "qmzdec: %s: note: no room for the tags in a 4 GiB WAV file\n",
                         destination.c_str());
        }
    }
    // A damaged stream keeps the samples decoded before the fault: that file
    // is whole (its header fitted) and takes the destination's place too.
    bool written = !result.writeFailed && static_cast<bool>(out);
    if (!toStdout) {
        if (written)
            written = destinationFile.commit();
        else
            destinationFile.discard();
    }
    if (!written) {
        return fail(kCannotWriteDestination, destination, "writing failed (is the disk full?)");
    }
    if (result.error != qmz::DecodeError::None) {
        std::fprintf(stderr,
                     "qmzdec: %s: %s; kept the %lld sample frames decoded before it in %s\n",
                     source.c_str(), qmz::describeDecodeError(result.error),
                     static_cast<long long>(result.framesWritten), destination.c_str());
        if (!result.headerFitted) {
            std::fprintf(stderr,
                         "qmzdec: %s: the output cannot seek, so its WAV header still declares "
                         "the full length; the sample data ends early\n",
                         destination.c_str());
        }
        return kDamagedStream;
    }
    if (segmentedResult.firstError != qmz::DecodeError::None) {
        reportDamage(source, destination, header, segmentedResult);
        return kDamagedStream;
    }
    return kOk;
}
