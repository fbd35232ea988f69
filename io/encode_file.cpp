#include "io/encode_file.h"

#include <memory>
#include <optional>
#include <ostream>

#include "encoder/parallel_encoder.h"
#include "io/sample_conversion.h"

namespace qmz {

StreamQmzOutput::StreamQmzOutput(std::ostream& out) : out_(out), start_(out.tellp()) {}

bool StreamQmzOutput::put(const uint8_t* bytes, std::size_t count) {
    out_.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    return static_cast<bool>(out_);
}

bool StreamQmzOutput::placeHeader(const std::array<uint8_t, kContainerHeaderSize>& header) {
    out_.seekp(start_);
    put(header.data(), header.size());
    out_.flush();
    return static_cast<bool>(out_);
}

bool StreamQmzOutput::failed() const {
    return !out_;
}

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

// Keeps whether the output has refused bytes: the loop stops then.
class WatchedOutput final : public ByteSink {
  public:
    explicit WatchedOutput(ByteSink& out) : out_(out) {}
    bool put(const uint8_t* bytes, std::size_t count) override {
        ok_ = out_.put(bytes, count) && ok_;
        return ok_;
    }
    bool ok() const { return ok_; }

  private:
    ByteSink& out_;
    bool ok_ = true;
};

// The WAV stream's samples, read a frame at a time.
class WavSamples final : public SampleSource {
  public:
    WavSamples(std::istream& wav, int channels) : wav_(wav), channels_(channels) {}
    int read(int16_t* const planes[kMaxChannels], int frames) override {
        return readSampleFrames(wav_, channels_, frames, planes);
    }

  private:
    std::istream& wav_;
    int channels_;
};

// The frame loop on this thread, fed a frame of samples at a time.
FrameLoopResult encodeOnThisThread(SampleSource& samples, int channels, int32_t samplesPerChannel,
                                   const EncoderOptions& options, WatchedOutput& out,
                                   EncoderObserver* observer) {
    // The session holds a few hundred kilobytes of frame state: keep it off the stack.
    auto encoder =
        std::make_unique<Encoder>(channels, samplesPerChannel, options.preset, out, observer);
    std::array<int16_t, kMaxChannels * kFrameLength> buffer;
    int16_t* const planes[kMaxChannels] = {buffer.data(), buffer.data() + kFrameLength};
    int64_t remaining = samplesPerChannel;
    bool stopped = false;
    while (remaining > 0 && !encoder->failed()) {
        const int wanted = static_cast<int>(std::min<int64_t>(remaining, kFrameLength));
        const int got = samples.read(planes, wanted);
        encoder->encode(planes, static_cast<std::size_t>(got));
        remaining -= got;
        if (!out.ok()) {
            stopped = true;  // nothing more can be written
            break;
        }
        if (got < wanted) break;  // the input ended early
    }
    if (!stopped) encoder->finish();
    return {encoder->failed(), encoder->framesWritten(), encoder->payloadBitCount(),
            encoder->blockTypeCounts(), encoder->samplesPerChannel()};
}

// The frame loop on this thread (-j 1), or on worker threads. The workers
// need the length in advance, so an input that may end early (a pipe) is
// coded on this thread, which takes the length from where the input ends.
FrameLoopResult runFrameLoop(std::istream& wav, int channels, int32_t samplesPerChannel,
                             bool lengthExact, const EncoderOptions& options,
                             WatchedOutput& qmz, EncoderObserver* observer) {
    WavSamples samples(wav, channels);
    if (options.threads != 1 && lengthExact) {
        return encodeFramesParallel(samples, channels, samplesPerChannel, options.preset, qmz,
                                    observer, resolveThreadCount(options.threads));
    }
    return encodeOnThisThread(samples, channels, samplesPerChannel, options, qmz, observer);
}

}  // namespace

EncodeFileResult encodeWav(std::istream& wav, const WavInput& input, QmzOutput& qmz,
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

    // The placeholder first: an interrupted run leaves a header that says so.
    WatchedOutput out(qmz);
    const auto placeholder = serializeContainer(file);
    out.put(placeholder.data(), placeholder.size());  // a refusal is kept in out.ok()
    const FrameLoopResult loop = runFrameLoop(samples, channels, result.samplesPerChannel,
                                              input.lengthExact, options, out, observer);
    const CodedStream coded{loop.samplesPerChannel, loop.frames, loop.payloadBits};
    file = finishedContainer(file, result.samplesPerChannel, coded, options.preset.midSide == 1);
    if (loop.samplesPerChannel < result.samplesPerChannel) {  // the input ended early
        result.inputEndedEarly = input.lengthExact;
        result.samplesPerChannel = loop.samplesPerChannel;
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
    result.avgBitRate = file.header.avgBitRate;
    const bool placed = qmz.placeHeader(serializeContainer(file));
    result.writeFailed = !out.ok() || !placed;
    return result;
}

EncodeFileResult encodeWav(std::istream& wav, const WavInput& input, std::ostream& qmz,
                           const EncoderOptions& options, EncoderObserver* observer) {
    StreamQmzOutput out(qmz);
    EncodeFileResult result = encodeWav(wav, input, out, options, observer);
    result.writeFailed = result.writeFailed || out.failed();
    return result;
}

}  // namespace qmz
