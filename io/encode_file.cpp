#include "io/encode_file.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "common/frame_syntax.h"
#include "encoder/parallel_encoder.h"
#include "encoder/quality_policy.h"
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

// The input's samples as the encoder takes them, 16-bit: the WAV stream
// itself, or a converter reading it.
class SixteenBitInput {
  public:
    SixteenBitInput(std::istream& wav, const WavInput& input) : source_(&wav) {
        if (input.sampleFormat != SampleFormat::Int16)
            source_ = &converted_.emplace(
                &converter_.emplace(wav, input.sampleFormat, input.format.channels()));
    }
    std::istream& stream() { return *source_; }

  private:
    std::optional<SixteenBitSamples> converter_;
    std::optional<std::istream> converted_;
    std::istream* source_;
};

// The psychoacoustic model's settings and the decisions: a preset's (policy
// null) or the quality mode's.
struct CodingMode {
    PresetParams model;
    const EncoderPolicy* policy;
};

// The frame loop on this thread, fed a frame of samples at a time.
FrameLoopResult encodeOnThisThread(SampleSource& samples, int channels, int32_t samplesPerChannel,
                                   const CodingMode& mode, WatchedOutput& out,
                                   EncoderObserver* observer) {
    // The session holds a few hundred kilobytes of frame state: keep it off the stack.
    auto encoder = std::make_unique<Encoder>(channels, samplesPerChannel, mode.model, out, observer,
                                             mode.policy);
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
                             bool lengthExact, int threads, const CodingMode& mode,
                             WatchedOutput& qmz, EncoderObserver* observer) {
    WavSamples samples(wav, channels);
    if (threads != 1 && lengthExact) {
        return encodeFramesParallel(samples, channels, samplesPerChannel, mode.model, qmz,
                                    observer, resolveThreadCount(threads), mode.policy);
    }
    return encodeOnThisThread(samples, channels, samplesPerChannel, mode, qmz, observer);
}

// Takes every byte and keeps none: a trial pass only counts bits.
class DiscardingSink final : public ByteSink {
  public:
    bool put(const uint8_t*, std::size_t) override { return true; }
};

// Where the segments a trial pass codes start, in sample frames: one resync
// segment (45 frames; the entropy coder starts afresh at each, so a segment
// coded alone costs about what it costs inside the file) out of every group
// of kGroupSegments, its place in the group moved by the golden ratio from
// group to group so that music repeating in bars does not line up with it.
// A trial pass costs about a third of the written pass. None for a short
// input, which is coded whole: a few segments say too little about it.
constexpr int32_t kSegmentSamples = kResyncPeriod * kFrameLength;
constexpr int32_t kGroupSegments = 3;

std::vector<int32_t> trialSegments(int32_t samplesPerChannel) {
    const int32_t segments = samplesPerChannel / kSegmentSamples;  // whole ones
    std::vector<int32_t> starts;
    if (segments < 3 * kGroupSegments) return starts;  // short: the whole file
    for (int32_t group = 0; (group + 1) * kGroupSegments <= segments; ++group) {
        const double phase = std::fmod(0.5 + group * 0.6180339887498949, 1.0);
        const auto offset = static_cast<int32_t>(phase * kGroupSegments);
        starts.push_back((group * kGroupSegments + offset) * kSegmentSamples);
    }
    return starts;
}

// The bits of a segment, coded on this thread as a stream of its
// own from the samples `source` stands at: counted when the segment's last
// frame is out, before the coder's next restart and the stream's end.
int64_t segmentBits(std::istream& source, int channels, int32_t available, const CodingMode& mode) {
    DiscardingSink nothing;
    auto encoder =
        std::make_unique<Encoder>(channels, available, mode.model, nothing, nullptr, mode.policy);
    std::array<int16_t, kMaxChannels * kFrameLength> buffer;
    int16_t* const planes[kMaxChannels] = {buffer.data(), buffer.data() + kFrameLength};
    for (int32_t fed = 0; fed < available && encoder->framesWritten() < kResyncPeriod;
         fed += kFrameLength) {
        const int got = readSampleFrames(source, channels, kFrameLength, planes);
        encoder->encode(planes, static_cast<std::size_t>(got));
        if (got < kFrameLength) break;
    }
    if (encoder->framesWritten() < kResyncPeriod) encoder->finish();
    return encoder->payloadBitCount();
}

// The quality at which the file comes to `kbps` on average: trial passes
// over segments spread over the samples (the input stream seeked to each),
// or over the whole of a short file, the quality moved by the secant on the
// logarithm of the rate, which is close to linear in the quality. The
// written pass then codes the whole file at that quality. Deterministic, and
// independent of the thread count, since every pass is.
double qualityForBitrate(std::istream& wav, std::streampos start, const WavInput& input,
                         int32_t samplesPerChannel, int threads, int kbps,
                         const PresetParams& model) {
    const int channels = input.format.channels();
    const std::vector<int32_t> segments = trialSegments(samplesPerChannel);
    const int64_t frameBytes =
        static_cast<int64_t>(channels) * bytesPerSample(input.sampleFormat);
    auto rateAt = [&](double quality) {
        const QualityPolicy policy(quality);
        const CodingMode mode{model, &policy};
        int64_t bits = 0, samples = 0;
        auto fromHere = [&](std::streamoff offset, auto&& code) {
            wav.clear();
            wav.seekg(start + offset);
            SixteenBitInput source(wav, input);
            code(source.stream());
        };
        if (segments.empty()) {
            fromHere(0, [&](std::istream& source) {
                DiscardingSink nothing;
                WatchedOutput out(nothing);
                bits = runFrameLoop(source, channels, samplesPerChannel, true, threads, mode, out,
                                    nullptr)
                           .payloadBits;
            });
            samples = samplesPerChannel;
        }
        for (const int32_t first : segments) {
            fromHere(static_cast<std::streamoff>(first * frameBytes), [&](std::istream& source) {
                bits += segmentBits(source, channels, samplesPerChannel - first, mode);
            });
            samples += kSegmentSamples;
        }
        return bits / 1000.0 / (samples / 44100.0);
    };
    return searchQualityForRate(kbps, rateAt);
}

// Whether the quality mode codes a seekable stereo input as mid and side,
// from the energies of its channels' sum and difference over the samples
// to be coded (a read of the input before the passes that code it).
bool midSideFor(std::istream& wav, std::streampos start, const WavInput& input,
                int32_t samplesPerChannel) {
    SixteenBitInput input16(wav, input);
    std::istream& samples = input16.stream();
    std::array<int16_t, kMaxChannels * kFrameLength> buffer;
    int16_t* const planes[kMaxChannels] = {buffer.data(), buffer.data() + kFrameLength};
    uint64_t sum = 0, difference = 0;  // at most 2^32 per sample frame, 2^31 frames
    for (int32_t left = samplesPerChannel; left > 0;) {
        const int got = readSampleFrames(samples, 2, std::min<int32_t>(left, kFrameLength), planes);
        for (int i = 0; i < got; ++i) {
            const int64_t l = planes[0][i], r = planes[1][i];
            sum += static_cast<uint64_t>((l + r) * (l + r));
            difference += static_cast<uint64_t>((l - r) * (l - r));
        }
        if (got < std::min<int32_t>(left, kFrameLength)) break;
        left -= got;
    }
    wav.clear();
    wav.seekg(start);
    return prefersMidSide(static_cast<double>(sum), static_cast<double>(difference));
}

}  // namespace

EncodeFileResult encodeWav(std::istream& wav, const WavInput& input, QmzOutput& qmz,
                           const EncoderOptions& options, EncoderObserver* observer) {
    EncodeFileResult result;
    std::optional<QualityPolicy> policy;
    double quality = options.quality;
    if (options.bitrate > 0) quality = initialQualityForRate(options.bitrate);
    const std::streampos start = wav.tellg();
    const int channels = input.format.channels();
    SixteenBitInput input16(wav, input);
    std::istream& samples = input16.stream();
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
    // Reading the samples ahead of the pass that codes them needs an input
    // that can seek: a pipe is coded as left and right, and gets one pass,
    // at the quality that usually comes to the rate.
    const bool seekable = input.lengthExact && start != std::streampos(-1);
    PresetParams qualityModel = qualityModeModel();
    if (quality >= 0 && seekable && channels == 2)
        qualityModel = qualityModeModel(midSideFor(wav, start, input, result.samplesPerChannel));
    if (options.bitrate > 0 && seekable && result.samplesPerChannel >= kFrameLength) {
        quality = qualityForBitrate(wav, start, input, result.samplesPerChannel, options.threads,
                                    options.bitrate, qualityModel);
        wav.clear();
        wav.seekg(start);
    }
    if (quality >= 0) policy.emplace(quality);
    const CodingMode mode{policy ? qualityModel : options.preset, policy ? &*policy : nullptr};

    // The placeholder first: an interrupted run leaves a header that says so.
    WatchedOutput out(qmz);
    const auto placeholder = serializeContainer(file);
    out.put(placeholder.data(), placeholder.size());  // a refusal is kept in out.ok()
    const FrameLoopResult loop = runFrameLoop(samples, channels, result.samplesPerChannel,
                                              input.lengthExact, options.threads, mode, out,
                                              observer);
    const CodedStream coded{loop.samplesPerChannel, loop.frames, loop.payloadBits};
    file = finishedContainer(file, result.samplesPerChannel, coded, mode.model.midSide == 1);
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
