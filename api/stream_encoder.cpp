// The public encoder over the library's Encoder session.
//
// PCM mode feeds the session through a one-frame input buffer: a frame of the
// loop runs only once 1024 sample frames wait (or the caller has finished),
// so the session never mistakes an empty buffer for the end of its input, and
// it meets the end exactly as it would at the end of a WAV file of the same
// samples. WAV mode hands the stream to encodeWav, the path qmzenc takes.
#include <array>
#include <cstring>
#include <istream>
#include <optional>
#include <ostream>
#include <streambuf>
#include <vector>

#include "api/callback_output.h"
#include "common/little_endian.h"
#include "encoder/encode_file.h"
#include "qmz/codec.h"

namespace qmz {
namespace {

// Holds up to one frame of fed sample bytes for the session to read.
class FeedBuffer final : public std::streambuf {
  public:
    explicit FeedBuffer(std::size_t capacity) : bytes_(capacity) { setg(base(), base(), base()); }

    bool full() const { return egptr() == base() + bytes_.size() && gptr() == base(); }
    // Takes up to the room left from `data`; returns the bytes taken.
    std::size_t fill(const char* data, std::size_t size) {
        const std::size_t unread = static_cast<std::size_t>(egptr() - gptr());
        std::memmove(base(), gptr(), unread);  // keep what the session has not read yet
        setg(base(), base(), base() + unread);
        const std::size_t room = static_cast<std::size_t>(base() + bytes_.size() - egptr());
        const std::size_t n = std::min(room, size);
        std::memcpy(egptr(), data, n);
        setg(eback(), gptr(), egptr() + n);
        return n;
    }

  protected:
    int_type underflow() override { return traits_type::eof(); }  // the rest comes by fill()

  private:
    char* base() { return bytes_.data(); }
    char* base() const { return const_cast<char*>(bytes_.data()); }
    std::vector<char> bytes_;
};

static_assert(static_cast<int>(QualityPreset::AAA) == static_cast<int>(Preset::AAA) &&
              static_cast<int>(QualityPreset::E) == static_cast<int>(Preset::E));

PresetParams presetParams(QualityPreset preset) {
    return applyPreset(static_cast<Preset>(preset));
}

WavFormatBlock pcmFormatBlock(const PcmFormat& format) {
    WavFormatBlock block;
    const auto channels = static_cast<uint16_t>(format.channels);
    storeLe16(block.bytes.data(), 1);  // PCM
    storeLe16(block.bytes.data() + 2, channels);
    storeLe32(block.bytes.data() + 4, format.sampleRate);
    storeLe32(block.bytes.data() + 8, format.sampleRate * 2u * channels);
    storeLe16(block.bytes.data() + 12, static_cast<uint16_t>(2 * channels));
    storeLe16(block.bytes.data() + 14, 16);
    return block;
}

}  // namespace

struct StreamEncoder::Impl {
    Status status = Status::Ok;
    bool finished = false;
    EncodeSettings settings;
    PcmFormat format;
    EncodeSummary summary;
    std::optional<CallbackOutput> callbackBuffer;
    std::optional<std::ostream> callbackStream;
    std::ostream* out = nullptr;

    // WAV mode
    std::istream* wav = nullptr;
    WavInput wavInput;

    // PCM mode
    std::optional<FeedBuffer> feed;
    std::optional<std::istream> feedStream;
    std::unique_ptr<Encoder> encoder;
    ContainerFile file;
    std::streampos start;
    int64_t limit = 0;  // sample frames the header can record (or the clip)
    int64_t fed = 0;

    void openSink(std::ostream* stream, QmzWriteAt& writeAt);
    EncoderOptions options() const {
        EncoderOptions o;
        o.preset = presetParams(settings.preset);
        o.clipSeconds = static_cast<float>(settings.clipSeconds);
        return o;
    }
    void startPcm();
    void runFullFrames();
    Status finishPcm();
};

void StreamEncoder::Impl::openSink(std::ostream* stream, QmzWriteAt& writeAt) {
    if (stream != nullptr) {
        out = stream;
    } else {
        callbackBuffer.emplace(std::move(writeAt));
        callbackStream.emplace(&*callbackBuffer);
        out = &*callbackStream;
    }
}

void StreamEncoder::Impl::startPcm() {
    const int channels = format.channels;
    file.format = pcmFormatBlock(format);
    std::memcpy(file.dataChunk.id.data(), "data", 4);
    file.dataChunk.size = 0xFFFFFFFFu;  // the most the header can record, until the end
    const EncoderOptions o = options();
    limit = codedSamplesPerChannel(file.dataChunk, channels, o.clipSeconds);
    feed.emplace(static_cast<std::size_t>(kFrameLength) * 2u * static_cast<std::size_t>(channels));
    feedStream.emplace(&*feed);
    start = out->tellp();
    if (start == std::streampos(-1) || !writeContainer(*out, file)) {
        status = Status::WriteFailed;
        return;
    }
    encoder = std::make_unique<Encoder>(*feedStream, channels, static_cast<int32_t>(limit),
                                        o.preset, *out, nullptr);
}

// Runs the loop while a whole frame of samples waits; the loop's silent first
// and last iterations read nothing and leave the buffer as it is.
void StreamEncoder::Impl::runFullFrames() {
    while (feed->full() && status == Status::Ok) {
        if (!encoder->encodeFrame() || !*out) {
            if (encoder->failed()) status = Status::InternalError;
            if (!*out) status = Status::WriteFailed;
            return;  // the loop is done: anything more is beyond the clip
        }
    }
}

Status StreamEncoder::Impl::finishPcm() {
    while (encoder->encodeFrame() && *out) {
    }
    const bool ended = encoder->finish();
    if (encoder->failed()) return Status::InternalError;
    summary.samplesPerChannel = encoder->samplesPerChannel();
    summary.frames = encoder->framesWritten();
    summary.averageBitRate =
        averageBitRate(encoder->payloadBitCount(), encoder->framesWritten(), format.sampleRate);
    file.dataChunk.size = static_cast<uint32_t>(summary.samplesPerChannel * 2 * format.channels);
    file.header = makeContainerHeader(encoder->samplesPerChannel(), summary.averageBitRate,
                                      static_cast<int16_t>(format.channels),
                                      presetParams(settings.preset).midSide == 1);
    out->seekp(start);
    writeContainer(*out, file);
    out->flush();
    return ended && *out ? Status::Ok : Status::WriteFailed;
}

StreamEncoder::StreamEncoder(const PcmFormat& format, QmzSink sink, const EncodeSettings& settings)
    : impl_(std::make_unique<Impl>()) {
    impl_->settings = settings;
    impl_->format = format;
    if (format.channels != 1 && format.channels != 2) {
        impl_->status = Status::InvalidArgument;
        return;
    }
    impl_->openSink(sink.stream_, sink.writeAt_);
    impl_->startPcm();
}

StreamEncoder::StreamEncoder(std::istream& wav, QmzSink sink, const EncodeSettings& settings)
    : impl_(std::make_unique<Impl>()) {
    impl_->settings = settings;
    impl_->wav = &wav;
    if (parseWavHeader(wav, impl_->wavInput) != WavReadError::Ok) {
        impl_->status = Status::NotWav;
        return;
    }
    impl_->format.channels = impl_->wavInput.format.channels();
    impl_->format.sampleRate = impl_->wavInput.format.sampleRate();
    impl_->openSink(sink.stream_, sink.writeAt_);
}

StreamEncoder::~StreamEncoder() = default;

Status StreamEncoder::status() const {
    return impl_->status;
}
PcmFormat StreamEncoder::format() const {
    return impl_->format;
}
EncodeSummary StreamEncoder::summary() const {
    return impl_->summary;
}

Status StreamEncoder::write(const int16_t* interleaved, std::size_t sampleFrames) {
    Impl& s = *impl_;
    if (s.status != Status::Ok) return s.status;
    if (s.finished) return Status::Finished;
    if (s.wav != nullptr || (interleaved == nullptr && sampleFrames > 0))
        return Status::InvalidArgument;
    const bool clipped = s.settings.clipSeconds > 0;
    if (!clipped && s.fed + static_cast<int64_t>(sampleFrames) > s.limit)
        return s.status = Status::TooLong;
    s.fed += static_cast<int64_t>(sampleFrames);

    std::array<char, 4096> bytes;
    std::size_t samples = sampleFrames * static_cast<std::size_t>(s.format.channels);
    while (samples > 0 && s.status == Status::Ok) {
        const std::size_t n = std::min(samples, bytes.size() / 2);
        for (std::size_t i = 0; i < n; ++i)
            storeLe16(reinterpret_cast<uint8_t*>(bytes.data()) + 2 * i,
                      static_cast<uint16_t>(interleaved[i]));
        interleaved += n;
        samples -= n;
        for (std::size_t used = 0; used < 2 * n;) {
            used += s.feed->fill(bytes.data() + used, 2 * n - used);
            s.runFullFrames();
            if (s.feed->full()) return s.status;  // past the clip: the rest is ignored
        }
    }
    return s.status;
}

Status StreamEncoder::finish() {
    Impl& s = *impl_;
    if (s.status != Status::Ok) return s.status;
    if (s.finished) return Status::Finished;
    s.finished = true;
    if (s.wav != nullptr) {
        const EncodeFileResult r = encodeWav(*s.wav, s.wavInput, *s.out, s.options(), nullptr);
        s.summary.samplesPerChannel = r.samplesPerChannel;
        s.summary.frames = r.frames;
        s.summary.averageBitRate = r.avgBitRate;
        s.status = r.internalError ? Status::InternalError
                   : r.writeFailed ? Status::WriteFailed
                                   : Status::Ok;
        return s.status;
    }
    s.status = s.finishPcm();
    return s.status;
}

}  // namespace qmz
