// The public encoder over the library's Encoder session.
//
// PCM mode hands the caller's samples straight to the session, which codes a
// frame of the loop whenever 1024 sample frames are in (so the bytes do not
// depend on how the caller cuts its input) and meets the end at finish()
// exactly as it would at the end of a WAV file of the same samples. WAV mode
// hands the stream to encodeWav, the path qmzenc takes.
#include <array>
#include <cstring>
#include <istream>
#include <optional>
#include <ostream>

#include "common/little_endian.h"
#include "encoder/stream_end.h"
#include "io/encode_file.h"
#include "io/seek_table_writer.h"
#include "io/tag_block.h"
#include "qmz/codec.h"

namespace qmz {
namespace {

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

// The caller's positioned-write callback as a QmzOutput; once a write has
// been refused, every later one is too.
class CallbackQmzOutput final : public QmzOutput {
  public:
    explicit CallbackQmzOutput(QmzWriteAt writeAt) : writeAt_(std::move(writeAt)) {}
    bool put(const uint8_t* bytes, std::size_t count) override {
        if (!failed_ && count > 0) failed_ = !writeAt_(offset_, bytes, count);
        offset_ += count;
        return !failed_;
    }
    bool placeHeader(const std::array<uint8_t, kContainerHeaderSize>& header) override {
        if (!failed_) failed_ = !writeAt_(0, header.data(), header.size());
        return !failed_;
    }
    bool failed() const { return failed_; }

  private:
    QmzWriteAt writeAt_;
    uint64_t offset_ = 0;
    bool failed_ = false;
};

}  // namespace

struct StreamEncoder::Impl {
    Status status = Status::Ok;
    bool finished = false;
    EncodeSettings settings;
    PcmFormat format;
    EncodeSummary summary;
    std::optional<StreamQmzOutput> streamOutput;
    std::optional<CallbackQmzOutput> callbackOutput;
    std::optional<SeekTableOutput> tableOutput;  // with settings.seekTable, around the others
    std::ostream* sinkStream = nullptr;          // the sink when it is a stream
    QmzOutput* out = nullptr;

    // WAV mode
    std::istream* wav = nullptr;
    WavInput wavInput;

    // PCM mode
    std::unique_ptr<Encoder> encoder;
    ContainerFile file;
    int64_t limit = 0;  // sample frames the header can record (or the clip)
    int64_t fed = 0;

    bool openSink(std::ostream* stream, QmzWriteAt& writeAt, bool needPosition);
    bool outputFailed() const {
        return streamOutput ? streamOutput->failed() : callbackOutput->failed();
    }
    EncoderOptions options() const {
        EncoderOptions o;
        o.preset = presetParams(settings.preset);
        o.clipSeconds = static_cast<float>(settings.clipSeconds);
        return o;
    }
    void startPcm();
    Status finishPcm();
    Status appendSeekTable();
};

// False when a stream cannot tell where it stands and `needPosition` (it
// could not seek back there for the header; WAV mode finds out at the end).
bool StreamEncoder::Impl::openSink(std::ostream* stream, QmzWriteAt& writeAt, bool needPosition) {
    if (stream != nullptr) {
        if (needPosition && stream->tellp() == std::streampos(-1)) return false;
        out = &streamOutput.emplace(*stream);
        sinkStream = stream;
    } else {
        out = &callbackOutput.emplace(std::move(writeAt));
    }
    if (settings.seekTable) out = &tableOutput.emplace(*out, format.channels);
    return true;
}

// The seek table in a tag block after the stream: behind what the stream
// output wrote (which has just rewritten the header at the start).
Status StreamEncoder::Impl::appendSeekTable() {
    Tags tags;
    tags.seekTable = tableOutput->finish(summary.samplesPerChannel);
    std::vector<uint8_t> block;
    if (writeTagBlock(tags, block) != TagError::None) return Status::InternalError;
    if (block.empty()) return Status::Ok;
    if (sinkStream != nullptr) {
        sinkStream->seekp(0, std::ios::end);
        sinkStream->write(reinterpret_cast<const char*>(block.data()),
                          static_cast<std::streamsize>(block.size()));
        sinkStream->flush();
        return *sinkStream ? Status::Ok : Status::WriteFailed;
    }
    return callbackOutput->put(block.data(), block.size()) ? Status::Ok : Status::WriteFailed;
}

void StreamEncoder::Impl::startPcm() {
    const int channels = format.channels;
    file.format = pcmFormatBlock(format);
    std::memcpy(file.dataChunk.id.data(), "data", 4);
    file.dataChunk.size = 0xFFFFFFFFu;  // the most the header can record, until the end
    const EncoderOptions o = options();
    limit = codedSamplesPerChannel(file.dataChunk, channels, o.clipSeconds);
    const auto placeholder = serializeContainer(file);
    if (!out->put(placeholder.data(), placeholder.size())) {
        status = Status::WriteFailed;
        return;
    }
    encoder = std::make_unique<Encoder>(channels, static_cast<int32_t>(limit), o.preset, *out,
                                        nullptr);
}

Status StreamEncoder::Impl::finishPcm() {
    const bool ended = encoder->finish();
    if (encoder->failed()) return Status::InternalError;
    const CodedStream coded{encoder->samplesPerChannel(), encoder->framesWritten(),
                            encoder->payloadBitCount()};
    // Whatever was coded is the data size: `limit` itself was never promised.
    file = finishedContainer(file, limit + 1, coded, presetParams(settings.preset).midSide == 1);
    summary.samplesPerChannel = coded.samplesPerChannel;
    summary.frames = coded.frames;
    summary.averageBitRate = file.header.avgBitRate;
    const bool placed = out->placeHeader(serializeContainer(file));
    return ended && placed && !outputFailed() ? Status::Ok : Status::WriteFailed;
}

StreamEncoder::StreamEncoder(const PcmFormat& format, QmzSink sink, const EncodeSettings& settings)
    : impl_(std::make_unique<Impl>()) {
    impl_->settings = settings;
    impl_->format = format;
    if (format.channels != 1 && format.channels != 2) {
        impl_->status = Status::InvalidArgument;
        return;
    }
    if (!impl_->openSink(sink.stream_, sink.writeAt_, true)) {
        impl_->status = Status::WriteFailed;
        return;
    }
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
    impl_->openSink(sink.stream_, sink.writeAt_, false);
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
    s.encoder->encode(interleaved, sampleFrames);  // past the clip, the rest is ignored
    if (s.encoder->failed()) s.status = Status::InternalError;
    if (s.outputFailed()) s.status = Status::WriteFailed;
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
                   : r.inputTooLong ? Status::TooLong
                                    : Status::Ok;
    } else {
        s.status = s.finishPcm();
    }
    if (s.status == Status::Ok && s.tableOutput) s.status = s.appendSeekTable();
    return s.status;
}

}  // namespace qmz
