// qmzdec: decodes one .qmz file into a 16-bit PCM WAV file.
//
// Standard output carries the banner and the "source -> destination" line;
// problems go to standard error in plain words, with an exit status per kind.
#include <cstdio>
#include <fstream>
#include <string>

#include "common/same_file.h"
#include "decoder/decode_file.h"

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

int fail(int status, const std::string& path, const char* problem) {
    std::fprintf(stderr, "qmzdec: %s: %s\n", path.c_str(), problem);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("Usage:  qmzdec source.qmz destination.wav\n");
        return kUsage;
    }
    const std::string source = argv[1], destination = argv[2];
    std::printf("QMZ audio decoder {DEMO 2028}\n");
    std::printf("%s -> %s \n", source.c_str(), destination.c_str());
    std::fflush(stdout);

    if (qmz::isSameFile(source, destination)) {
        return fail(kDestinationIsSource, destination,
                    "the destination is the source file; nothing was written");
    }
    std::ifstream in(source, std::ios::binary);
    if (!in) return fail(kCannotOpenSource, source, "cannot open the file");
    qmz::ContainerFile header;
    if (const qmz::DecodeError error = qmz::readQmzHeader(in, header);
        error != qmz::DecodeError::None) {
        return fail(kNotAQmzFile, source, qmz::describeDecodeError(error));
    }
    std::ofstream out(destination, std::ios::binary | std::ios::trunc);
    if (!out) return fail(kCannotWriteDestination, destination, "cannot create the file");

    const qmz::DecodeFileResult result = qmz::decodeToWav(in, header, out);
    out.close();
    if (result.writeFailed || !out) {
        return fail(kCannotWriteDestination, destination, "writing failed (is the disk full?)");
    }
    if (result.error != qmz::DecodeError::None) {
        std::fprintf(stderr,
                     "qmzdec: %s: %s; kept the %lld sample frames decoded before it in %s\n",
                     source.c_str(), qmz::describeDecodeError(result.error),
                     static_cast<long long>(result.framesWritten), destination.c_str());
        return kDamagedStream;
    }
    return kOk;
}
