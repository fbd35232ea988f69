// Decoding through damage and on threads, on arbitrary bytes taken as a .qmz
// file. Traps when the keep-going output is not exactly the header's length,
// when two threads give other bytes than one (with and without keep-going),
// or when the segment decoder without keep-going differs from the linear
// decoder. Headers claiming more than 100 frames' worth of sample frames are
// cut down to that, so that no input stalls the fuzzer.
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "io/decode_file.h"
#include "io/segmented_decode.h"

namespace {

std::string decodeSegments(const uint8_t* payload, std::size_t size, const qmz::ContainerFile& file,
                           int threads, bool keepGoing) {
    const qmz::PayloadReadAt readAt = qmz::payloadInMemory({payload, size});
    qmz::SegmentedDecodeOptions options;
    options.threads = threads;
    options.keepGoing = keepGoing;
    options.payloadSize = static_cast<int64_t>(size);
    std::ostringstream out;
    const qmz::SegmentedDecodeResult result = qmz::decodeSegmentsToWav(readAt, file, out, options);
    if (keepGoing && result.file.framesWritten != file.header.samplesPerChannel) __builtin_trap();
    return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qmz::ContainerFile file;
    if (qmz::readContainerHeader(data, size, file) != qmz::DecodeError::None) return 0;
    file.header.samplesPerChannel = std::min(file.header.samplesPerChannel, 100 * 1024);
    const uint8_t* payload = data + qmz::kContainerHeaderSize;
    const std::size_t payloadSize = size - qmz::kContainerHeaderSize;

    const std::string kept = decodeSegments(payload, payloadSize, file, 1, true);
    const auto expected = static_cast<std::size_t>(44 + int64_t{2} * file.header.channels *
                                                            file.header.samplesPerChannel);
    if (kept.size() != expected) __builtin_trap();
    if (decodeSegments(payload, payloadSize, file, 2, true) != kept) __builtin_trap();

    std::istringstream source(std::string(reinterpret_cast<const char*>(payload), payloadSize));
    std::ostringstream linear;
    qmz::decodeToWav(source, file, linear);
    if (decodeSegments(payload, payloadSize, file, 2, false) != linear.str()) __builtin_trap();
    return 0;
}
