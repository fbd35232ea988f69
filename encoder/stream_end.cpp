#include "encoder/stream_end.h"

#include <algorithm>
#include <limits>

namespace qmz {

int32_t averageBitRate(int64_t payloadBits, int frames, uint32_t sampleRate) {
    const double rate = static_cast<double>(payloadBits) / frames * sampleRate * (1.0 / 1024.0);
    return static_cast<int32_t>(
        std::min(rate, static_cast<double>(std::numeric_limits<int32_t>::max())));
}

ContainerFile finishedContainer(ContainerFile placeholder, int64_t promisedSamples,
                                const CodedStream& coded, bool midSide) {
    ContainerFile file = placeholder;
    const int channels = file.format.channels();
    if (coded.samplesPerChannel < promisedSamples) {
        file.dataChunk.size =
            static_cast<uint32_t>(channels) * static_cast<uint32_t>(coded.samplesPerChannel) * 2u;
    }
    const int32_t rate =
        averageBitRate(coded.payloadBits, coded.frames, file.format.sampleRate());
    file.header = makeContainerHeader(coded.samplesPerChannel, rate,
                                      static_cast<int16_t>(channels), midSide);
    return file;
}

}  // namespace qmz
