// The end of a stream: the final container header, from what the frame loop
// coded. The library's PCM encoder and the WAV file encoder both finish here.
#pragma once

#include <cstdint>

#include "common/container.h"

namespace qmz {

struct CodedStream {
    int32_t samplesPerChannel = 0;  // coded, after any clip or early end
    int frames = 0;                 // frames in the payload
    int64_t payloadBits = 0;
};

// Payload bits per frame scaled to the input's own sample rate, truncated;
// kept inside the header field's range whatever rate the file declares.
int32_t averageBitRate(int64_t payloadBits, int frames, uint32_t sampleRate);

// The finished file's header over `placeholder` (which carries the input's
// format block and data chunk header): the coded length, the payload's
// average bit rate and the mid/side flag. The data chunk's size becomes the
// size of the coded samples when fewer were coded than `promisedSamples`.
ContainerFile finishedContainer(ContainerFile placeholder, int64_t promisedSamples,
                                const CodedStream& coded, bool midSide);

}  // namespace qmz
