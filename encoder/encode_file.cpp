#include "encoder/encode_file.h"

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>

#include "encoder/parallel_encoder.h"
#include "encoder/sample_conversion.h"

namespace qmz {

int32_t codedSamplesPerChannel(DataChunkHeader& dataChunk, int channels, float clipSeconds) {
    auto samples = static_cast<int32_t>(dataChunk.size / static_cast<uint32_t>(channels) / 2u);
    if (clipSeconds > 0 && samples > clipSeconds * 44100.0) {
        samples = static_cast<int32_t>(clipSeconds) * 44100;  // whole seconds only
        dataChunk.size = static_cast<uint32_t>(channels) * static_cast<uint32_t>(samples) * 2u;
    }
    return samples;
}

bool dropsInput(const WavInput& input, const EncoderOptions& options) {
    if (!input.exceedsContainer) return false;
    DataChunkHeader clipped = input.dataChunk;
    const int channels = input.format.channels();
    const int32_t whole = codedSamplesPerChannel(clipped, channels, 0.0f);
    return codedSamplesPerChannel(clipped, channels, options.clipSeconds) == whole;
}

int32_t averageBitRate(int64_t payloadBits, int frames, uint32_t sampleRate) {
    const double rate = static_cast<double>(payloadBits) / frames * sampleRate * (1.0 / 1024.0);
    return static_cast<int32_t>(
        std::min(rate, static_cast<double>(std::numeric_limits<int32_t>::max())));
}

namespace {

// Passes every report on except the percentage, which has nothing to measure
// against while the input's length is unknown.
class WithoutPercentage final : public EncoderObserver {
  public:
    explicit WithoutPercentage(EncoderObserver& inner) : inner_(inner) {}
    void onProgress(int) override {}
    void onShortBlocksRequested() override { inner_.onShortBlocksRequested(); }
    void onRequestDropped() override { inner_.onRequestDropped(); }
    void onQuantizerEvent(QuantizerEvent event) override { inner_.onQuantizerEvent(event); }

  private:
    EncoderObserver& inner_;
};

// The frame loop on this thread (-j 1), or on worker threads. The workers
// need the length in advance, so an input that may end early (a pipe) is
// coded on this thread, which takes the length from where the input ends.
FrameLoopResult runFrameLoop(std::istream& wav, int channels, int32_t samplesPerChannel,
                             bool lengthExact, const EncoderOptions& options, std::ostream& qmz,
                             EncoderObserver* observer) {
    if (options.threads != 1 && lengthExact) {
        return encodeFramesParallel(wav, channels, samplesPerChannel, options.preset, qmz,
                                    observer, resolveThreadCount(options.threads));
    }
    // The session holds a few hundred kilobytes of frame state: keep it off the stack.
    auto encoder =
        std::make_unique<Encoder>(wav, channels, samplesPerChannel, options.preset, qmz, observer);
    while (encoder->encodeFrame() && qmz) {
    }
    encoder->finish();
    return {encoder->failed(), encoder->framesWritten(), encoder->payloadBitCount(),
            encoder->blockTypeCounts(), encoder->samplesPerChannel()};
}

}  // namespace

EncodeFileResult encodeWav(std::istream& wav, const WavInput& input, std::ostream& qmz,
                           const EncoderOptions& options, EncoderObserver* observer) {
    EncodeFileResult result;
    const int channels = input.format.channels();
    std::optional<SixteenBitSamples> converter;
    std::optional<std::istream> convertedStream;
    std::istream& samples =
        input.sampleFormat == SampleFormat::Int16
            ? wav
            : convertedStream.emplace(&converter.emplace(wav, input.sampleFormat, channels));
    ContainerFile file{ContainerHeader{}, input.dataChunk, input.format};
    // An unknown length reads up to the most the header's size field can
    // record; the real size replaces it once the input has ended.
    if (input.lengthUnknown) file.dataChunk.size = maxCodedDataSize(channels);
    const int32_t recordable = static_cast<int32_t>(file.dataChunk.size / 2u / channels);
    result.samplesPerChannel =
        codedSamplesPerChannel(file.dataChunk, channels, options.clipSeconds);
    const bool clipped = result.samplesPerChannel < recordable;
    std::optional<WithoutPercentage> quietObserver;
    if (input.lengthUnknown && observer != nullptr) observer = &quietObserver.emplace(*observer);

    const std::streampos start = qmz.tellp();
    writeContainer(qmz, file);  // placeholder: an interrupted run leaves a header that says so
    const FrameLoopResult loop = runFrameLoop(samples, channels, result.samplesPerChannel,
                                              input.lengthExact, options, qmz, observer);
    if (loop.samplesPerChannel < result.samplesPerChannel) {  // the input ended early
        result.inputEndedEarly = input.lengthExact;
        result.samplesPerChannel = loop.samplesPerChannel;
        file.dataChunk.size =
            static_cast<uint32_t>(channels) * static_cast<uint32_t>(result.samplesPerChannel) * 2u;
    }
    if (input.lengthUnknown && !clipped && loop.samplesPerChannel == recordable) {
        // Filled to the brim: whether anything was left behind shows only now.
        int16_t left[1], right[1];
        int16_t* const probe[2] = {left, right};
        result.inputTooLong = readSampleFrames(samples, channels, 1, probe) == 1;
    } else {
        result.inputTooLong = dropsInput(input, options);
    }
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
