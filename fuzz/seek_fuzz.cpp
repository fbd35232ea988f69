// Seeking on arbitrary bytes taken as a .qmz file (with whatever tag block or
// look-alike records they hold): the scan, the segment checks, the seek
// table and the restarted decode, plain and through damage. A seek that
// succeeds must hand out no more than the rest of the stream, and all of it
// when the decode ends without error (through damage, always all of it); at
// most 300 pieces are read per seek, so a header claiming billions of samples
// cannot stall the fuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/resync_scan.h"
#include "qmz/codec.h"

namespace {

// keepGoing: a decode through damage always hands out the whole rest.
void checkSeek(qmz::StreamDecoder& decoder, int64_t position, bool keepGoing) {
    const int64_t length = decoder.samplesPerChannel();
    const qmz::Status status = decoder.seek(position);
    if (status != qmz::Status::Ok) {
        if (status == qmz::Status::InvalidArgument && position >= 0 && position <= length)
            __builtin_trap();
        return;
    }
    std::vector<int16_t> pcm(1024 * 2);
    int64_t got = 0;
    for (int pieces = 0; pieces < 300; ++pieces) {
        const std::size_t n = decoder.read(pcm.data(), 1024);
        if (n == 0) {
            if ((keepGoing || decoder.status() == qmz::Status::Ok) && got != length - position)
                __builtin_trap();
            return;
        }
        got += static_cast<int64_t>(n);
        if (got > length - position) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4 * qmz::kResyncRecordSize + 266) {
        // The scan and the check on their own, on the bytes behind the header.
        const std::span<const uint8_t> payload(data + 266, size - 266);
        const std::vector<int64_t> candidates = qmz::findResyncCandidates(payload);
        qmz::SegmentChecker checker;
        for (std::size_t i = 0; i < candidates.size() && i < 4; ++i) {
            const qmz::SegmentCheck c = checker.check(payload, candidates[i], 45, 1 << 20, 2);
            if (c.end < candidates[i] || c.end > static_cast<int64_t>(payload.size()))
                __builtin_trap();
        }
    }
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const bool keepGoing : {false, true}) {
        std::istringstream in(bytes);
        qmz::StreamDecoder decoder(in, qmz::DecodeSettings{.keepGoing = keepGoing});
        if (decoder.status() != qmz::Status::Ok) return 0;
        const int64_t length = decoder.samplesPerChannel();
        const uint8_t a = size > 0 ? data[size - 1] : 0, b = size > 1 ? data[size - 2] : 0;
        for (const int64_t position : {length * a / 255, length * b / 255, length - 1, length + 1})
            checkSeek(decoder, position, keepGoing);
    }
    return 0;
}
