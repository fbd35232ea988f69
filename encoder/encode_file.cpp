#include "encoder/encode_file.h"

#include <cmath>
#include <limits>
#include <memory>
#include <ostream>

#include "encoder/parallel_encoder.h"

namespace qmz {

int32_t codedSamplesPerChannel(DataChunkHeader& dataChunk, int channels, float clipSeconds) {
    auto samples = static_cast<int32_t>(dataChunk.size / static_cast<uint32_t>(channels) / 2u);
    if (clipSeconds > 0 && samples > clipSeconds * 44100.0) {
        samples = static_cast<int32_t>(clipSeconds) * 44100;  // whole seconds only
        dataChunk.size = static_cast<uint32_t>(channels) * static_cast<uint32_t>(samples) * 2u;
    }
    return samples;
}

namespace {

// Payload bits per frame scaled to the input's own sample rate, truncated;
// kept inside the header field's range whatever rate the file declares.
int32_t averageBitRate(int64_t payloadBits, int frames, uint32_t sampleRate) {
    const double rate = static_cast<double>(payloadBits) / frames * sampleRate * (1.0 / 1024.0);
    return static_cast<int32_t>(
        std::min(rate, static_cast<double>(std::numeric_limits<int32_t>::max())));
}

// The frame loop on this thread (-j 1), or on worker threads.
FrameLoopResult runFrameLoop(std::istream& wav, int channels, int32_t samplesPerChannel,
                             const EncoderOptions& options, std::ostream& qmz,
                             EncoderObserver* observer) {
    if (options.threads != 1) {
        return encodeFramesParallel(wav, channels, samplesPerChannel, options.preset, qmz, observer,
                                    resolveThreadCount(options.threads));
    }
    // The session holds a few hundred kilobytes of frame state: keep it off the stack.
    auto encoder =
        std::make_unique<Encoder>(wav, channels, samplesPerChannel, options.preset, qmz, observer);
    while (encoder->encodeFrame() && qmz) {
    }
    encoder->finish();
    return {encoder->failed(), encoder->framesWritten(), encoder->payloadBitCount(),
            encoder->blockTypeCounts()};
}

}  // namespace

EncodeFileResult encodeWav(std::istream& wav, const WavInput& input, std::ostream& qmz,
                           const EncoderOptions& options, EncoderObserver* observer) {
    EncodeFileResult result;
    const int channels = input.format.channels();
    ContainerFile file{ContainerHeader{}, input.dataChunk, input.format};
    result.samplesPerChannel =
        codedSamplesPerChannel(file.dataChunk, channels, options.clipSeconds);

    const std::streampos start = qmz.tellp();
    writeContainer(qmz, file);  // placeholder: an interrupted run leaves a header that says so
    const FrameLoopResult loop =
        runFrameLoop(wav, channels, result.samplesPerChannel, options, qmz, observer);
    result.internalError = loop.failed;
    result.frames = loop.frames;
    result.blockTypeCounts = loop.blockTypeCounts;
    result.avgBitRate = averageBitRate(loop.payloadBits, result.frames, input.format.sampleRate());

    file.header = makeContainerHeader(result.samplesPerChannel, result.avgBitRate,
                                      static_cast<int16_t>(channels), options.preset.midSide == 1);
    qmz.seekp(start);
    writeContainer(qmz, file);
    qmz.flush();
    result.writeFailed = !qmz;
    return result;
}

}  // namespace qmz
