// qmzenc: encodes one WAV file (16-bit PCM, or 24/32-bit converted) into a
// .qmz file.
//
// Standard output carries the banner, the progress line with its "*" and "+"
// block-switching marks, the quantiser's reports and the final bit rate;
// problems beyond the fixed console messages go to standard error in plain
// words.
// An input named "-" is read from standard input (a pipe), whose WAV header
// may leave the length open; the output must be a file, since its header is
// rewritten at the end.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "io/encode_file.h"
#include "io/output_file.h"
#include "io/riff_info.h"
#include "io/same_file.h"
#include "io/seek_table_writer.h"
#include "io/std_descriptors.h"
#include "io/tag_options.h"

namespace {

enum ExitStatus {
    kOk = 0,
    kUsage = 1,
    kCannotReadInput = 2,
    kCannotWriteOutput = 4,
    kOutputIsInput = 6,
    kInternalError = 7,
};

class ConsoleObserver final : public qmz::EncoderObserver {
  public:
    void onProgress(int percent) override {
        std::printf("\r %d%%", percent);
        std::fflush(stdout);
    }
    void onShortBlocksRequested() override { std::printf("*"); }
    void onRequestDropped() override { std::printf("+"); }
    void onQuantizerEvent(qmz::QuantizerEvent event) override {
        std::printf("%s", qmz::quantizerEventText(event));
    }
};

const char* sampleFormatName(qmz::SampleFormat format) {
    switch (format) {
        case qmz::SampleFormat::Int16:
            return "16-bit";
        case qmz::SampleFormat::Int24:
            return "24-bit";
        case qmz::SampleFormat::Int32:
            return "32-bit integer";
        case qmz::SampleFormat::Float32:
            return "32-bit float";
    }
    return "other";
}

// A pipe or socket cannot take the .qmz output: its header is written again at
// the end. Checked before opening, which would wait for a reader.
bool isUnseekableOutput(const std::string& path) {
    std::error_code ignored;
    const auto type = std::filesystem::status(path, ignored).type();
    return type == std::filesystem::file_type::fifo || type == std::filesystem::file_type::socket;
}

int failEncoding(int status, const std::string& input) {
    std::printf("error encoding audio file %s", input.c_str());
    std::fflush(stdout);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    qmz::io::attachClosedStandardDescriptors();
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("qmzenc " QMZ_VERSION "\n");
        return kOk;
    }
    std::printf("QMZ audio encoder " QMZ_VERSION "\n");
    if (argc < 3) {
        std::printf("QMZENC infile.wav outfile.qmz [options]\n");
        return kUsage;
    }
    const std::string input = argv[1], output = argv[2];
    const qmz::TagOptions tagOptions =
        qmz::extractTagOptions(std::vector<std::string>(argv + 3, argv + argc));
    if (!tagOptions.error.empty()) {
        std::fprintf(stderr, "qmzenc: %s; nothing was written\n", tagOptions.error.c_str());
        return kUsage;
    }
    // --seek-table: a table after the stream for exact seeking (the stream's
    // own bytes are those of the options alone).
    std::vector<std::string> rest = tagOptions.rest;
    const bool seekTable = std::erase(rest, std::string("--seek-table")) > 0;
    const qmz::EncoderOptions options = qmz::parseEncoderOptions(rest);

    if (output == "-") {
        std::fprintf(stderr,
                     "qmzenc: the .qmz output cannot go to standard output: its header is "
                     "rewritten at the end, so it must be a file\n");
        return failEncoding(kCannotWriteOutput, input);
    }
    if (qmz::io::outputOverwritesInput(input, output)) {
        std::fprintf(stderr, "qmzenc: %s: the output is the input file; nothing was written\n",
                     output.c_str());
        return failEncoding(kOutputIsInput, input);
    }
    // A larger buffer than the stream's own: one read per 64 kB, not per 8 kB.
    std::vector<char> readBuffer(1 << 16);
    std::ifstream wavFile;
    wavFile.rdbuf()->pubsetbuf(readBuffer.data(), static_cast<std::streamsize>(readBuffer.size()));
    std::istream& wav = input == "-" ? std::cin : wavFile;
    qmz::WavInput header;
    const qmz::WavReadError error =
        input == "-" ? qmz::parseWavHeader(std::cin, header) : qmz::openWav(input, wavFile, header);
    if (error != qmz::WavReadError::Ok) {
        std::printf("Trouble reading %s. Error = %d\n", input.c_str(), static_cast<int>(error));
        std::fflush(stdout);
        std::fprintf(stderr, "qmzenc: %s: %s\n", input.c_str(), qmz::describeWavReadError(error));
        return failEncoding(kCannotReadInput, input);
    }
    if (header.format.sampleRate() != 44100) {
        std::fprintf(
            stderr,
            "qmzenc: %s: warning: the sample rate is %u Hz; the codec is tuned for 44100 Hz\n",
            input.c_str(), header.format.sampleRate());
    }
    if (header.sampleFormat != qmz::SampleFormat::Int16) {
        std::fprintf(stderr, "qmzenc: %s: %s samples are converted to 16 bits with TPDF dither\n",
                     input.c_str(), sampleFormatName(header.sampleFormat));
    }
    if (qmz::dropsInput(header, options)) {
        std::fprintf(stderr,
                     "qmzenc: %s: longer than a .qmz file can record (%u bytes of 16-bit "
                     "samples); nothing was written (-td codes a part)\n",
                     input.c_str(), qmz::maxCodedDataSize(header.format.channels()));
        return failEncoding(kCannotReadInput, input);
    }
    qmz::Tags inputTags;
    qmz::parseInfoList(header.listChunkBody, inputTags);
    qmz::Tags tags = qmz::overrideTags(inputTags, tagOptions.tags);
    std::vector<uint8_t> tagBlock;
    if (const qmz::TagError tagError = qmz::writeTagBlock(tags, tagBlock);
        tagError != qmz::TagError::None) {
        std::fprintf(stderr, "qmzenc: the tags cannot be stored: %s; nothing was written\n",
                     qmz::describeTagError(tagError));
        return kUsage;
    }
    if (isUnseekableOutput(output)) {
        std::fprintf(stderr,
                     "qmzenc: %s: the output must be a seekable file (its header is rewritten "
                     "at the end), not a pipe; nothing was written\n",
                     output.c_str());
        return failEncoding(kCannotWriteOutput, input);
    }
    qmz::io::OutputFile qmzFile;
    if (!qmzFile.open(output)) {
        std::fprintf(stderr, "qmzenc: %s: cannot create the file\n", output.c_str());
        return failEncoding(kCannotWriteOutput, input);
    }

    ConsoleObserver observer;
    qmz::StreamQmzOutput streamOutput(qmzFile.stream());
    qmz::SeekTableOutput tableOutput(streamOutput, header.format.channels());
    qmz::EncodeFileResult result = qmz::encodeWav(
        wav, header, seekTable ? static_cast<qmz::QmzOutput&>(tableOutput) : streamOutput, options,
        &observer);
    result.writeFailed = result.writeFailed || streamOutput.failed();
    if (seekTable && !result.writeFailed && !result.internalError) {
        tags.seekTable = tableOutput.finish(result.samplesPerChannel);
        if (qmz::writeTagBlock(tags, tagBlock) != qmz::TagError::None) {
            std::fprintf(stderr, "qmzenc: %s: note: no room for the seek table beside the tags\n",
                         output.c_str());
            tags.seekTable.clear();
            qmz::writeTagBlock(tags, tagBlock);
        }
    }
    // After the stream, where the decoder never reads, and before the file
    // is put in place.
    if (!tagBlock.empty() && qmzFile.stream().seekp(0, std::ios::end)) {
        qmzFile.stream().write(reinterpret_cast<const char*>(tagBlock.data()),
                               static_cast<std::streamsize>(tagBlock.size()));
    }
    // An unfinished file is of no use to anyone; an earlier file of that name
    // is left as it was.
    if (result.inputEndedEarly || result.inputTooLong) {
        qmzFile.discard();
        std::fprintf(stderr, "\nqmzenc: %s: %s; the incomplete file was removed\n", input.c_str(),
                     result.inputTooLong
                         ? "longer than a .qmz file can record (-td codes a part)"
                         : "the input ended before its checked length (did it shrink, or "
                           "a read fail?)");
        return failEncoding(kCannotReadInput, input);
    }
    const bool failed = result.writeFailed || result.internalError;
    if (failed) qmzFile.discard();
    if (failed || !qmzFile.commit()) {
        std::fprintf(stderr, "\nqmzenc: %s: %s; the incomplete file was removed\n", output.c_str(),
                     result.internalError ? "internal error: a quantised value out of range"
                                          : "writing failed (is the disk full?)");
        return failEncoding(result.internalError ? kInternalError : kCannotWriteOutput, input);
    }
    std::printf("\r 100%%  Average bit/sec = %d\n", result.avgBitRate);
    return kOk;
}
