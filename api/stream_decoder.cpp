// The public decoder over the library's Decoder session: hands out the
// session's frames of up to 1024 sample frames in pieces of any size.
#include <algorithm>
#include <array>
#include <cstring>
#include <istream>

#include "io/decode_file.h"
#include "io/segmented_decode.h"
#include "io/seek_index.h"
#include "qmz/codec.h"

namespace qmz {
namespace {

Status statusOf(DecodeError error) {
    switch (error) {
        case DecodeError::None:
            return Status::Ok;
        case DecodeError::NotQmz:
            return Status::NotQmz;
        case DecodeError::Incomplete:
            return Status::Incomplete;
        case DecodeError::BadHeader:
            return Status::BadHeader;
        case DecodeError::Truncated:
            return Status::Truncated;
        case DecodeError::DamagedStream:
            return Status::Damaged;
    }
    return Status::Damaged;
}

}  // namespace

const char* describeStatus(Status status) {
    switch (status) {
        case Status::Ok:
            return "no error";
        case Status::InvalidArgument:
            return "invalid argument";
        case Status::NotWav:
            return "not a WAV stream of 16/24/32-bit PCM or 32-bit float samples (mono or stereo)";
        case Status::WriteFailed:
            return "writing the .qmz stream failed";
        case Status::InternalError:
            return "internal error: a quantised value out of range";
        case Status::TooLong:
            return "more sample frames than a .qmz header can record";
        case Status::Finished:
            return "the encoder has already finished";
        case Status::NotQmz:
            return describeDecodeError(DecodeError::NotQmz);
        case Status::Incomplete:
            return describeDecodeError(DecodeError::Incomplete);
        case Status::BadHeader:
            return describeDecodeError(DecodeError::BadHeader);
        case Status::Truncated:
            return describeDecodeError(DecodeError::Truncated);
        case Status::Damaged:
            return describeDecodeError(DecodeError::DamagedStream);
        case Status::CannotOpen:
            return "the file cannot be opened, read or written";
        case Status::BadTags:
            return "the file ends in a damaged tag block";
        case Status::NotSeekable:
            return "the stream cannot seek (a pipe, or bytes pushed one piece after another)";
    }
    return "unknown status";
}

// Decoding through damage: the segment decoder steps into a buffer, which
// read() empties; the silence a step ends with is only counted, so a long
// gap costs no memory.
struct KeepGoingDecode final : SampleSink {
    std::vector<int16_t> buffer;
    std::size_t next = 0;   // first sample of `buffer` not handed out
    int64_t silent = 0;     // sample frames of silence after the buffer
    int64_t written = 0;
    int channels = 1;
    PayloadReadAt readAt;
    std::unique_ptr<SegmentedDecoder> decoder;
    SegmentedDecodeResult result;

    int64_t dropUntil = 0;  // after a seek: sample frames before it are not handed out
    bool atEnd = false;     // sought to the stream's end: nothing left to decode

    void put(const int16_t* pcm, int64_t frames) override {
        const int64_t drop = std::clamp<int64_t>(dropUntil - written, 0, frames);
        buffer.insert(buffer.end(), pcm + drop * channels, pcm + frames * channels);
        written += frames;
    }
    void silence(int64_t frames) override {
        silent += frames - std::clamp<int64_t>(dropUntil - written, 0, frames);
        written += frames;
    }
    int64_t framesWritten() const override { return written; }
    bool good() const override { return true; }
};

struct StreamDecoder::Impl {
    std::unique_ptr<KeepGoingDecode> keepGoing;
    Status status = Status::Ok;
    ContainerFile file;
    std::unique_ptr<Decoder> decoder;
    std::unique_ptr<StreamFeed> feed;  // reads the caller's stream; null for pushed bytes
    std::istream* source = nullptr;
    std::streampos payloadStart = -1;  // -1: the stream cannot tell its position
    std::unique_ptr<SeekIndex> index;  // made by the first seek
    bool indexTried = false;
    // Pushed bytes: the header as it arrives, and whether the input ended.
    std::array<uint8_t, kContainerHeaderSize> header{};
    std::size_t headerFill = 0;
    bool pushed = false;
    bool waiting = false;  // read() stopped for want of input
    std::array<int16_t, kFrameLength * kMaxChannels> pcm{};
    int pending = 0;  // sample frames of `pcm` not handed out yet
    int next = 0;     // first of them
};

StreamDecoder::StreamDecoder(std::istream& qmz) : impl_(std::make_unique<Impl>()) {
    impl_->status = statusOf(readQmzHeader(qmz, impl_->file));
    if (impl_->status == Status::Ok) {
        impl_->decoder = std::make_unique<Decoder>(impl_->file);
        impl_->feed = std::make_unique<StreamFeed>(qmz);
        impl_->source = &qmz;
        impl_->payloadStart = qmz.tellg();
    }
}

StreamDecoder::StreamDecoder(std::istream& qmz, const DecodeSettings& settings)
    : StreamDecoder(qmz) {
    Impl& s = *impl_;
    if (!settings.keepGoing || s.status != Status::Ok || s.payloadStart == std::streampos(-1))
        return;
    auto k = std::make_unique<KeepGoingDecode>();
    k->channels = s.file.header.channels;
    const auto start = static_cast<int64_t>(s.payloadStart);
    k->readAt = [&qmz, start](int64_t offset, uint8_t* bytes, std::size_t size) {
        qmz.clear();
        if (!qmz.seekg(start + offset)) {
            qmz.clear();
            return std::size_t{0};
        }
        qmz.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(size));
        const auto got = static_cast<std::size_t>(qmz.gcount());
        qmz.clear();
        return got;
    };
    SegmentedDecodeOptions options;
    options.keepGoing = true;
    k->decoder = std::make_unique<SegmentedDecoder>(k->readAt, s.file, *k, options);
    s.keepGoing = std::move(k);
}

std::vector<DamagedRange> StreamDecoder::damagedRanges() const {
    std::vector<DamagedRange> ranges;
    if (impl_->keepGoing != nullptr) {
        for (const DamagedSpan& span : impl_->keepGoing->result.damaged)
            ranges.push_back({span.first, span.end});
    }
    return ranges;
}

StreamDecoder::StreamDecoder() : impl_(std::make_unique<Impl>()) {
    impl_->pushed = true;
    impl_->waiting = true;
}

StreamDecoder::~StreamDecoder() = default;

std::size_t StreamDecoder::push(const uint8_t* bytes, std::size_t size) {
    Impl& s = *impl_;
    if (!s.pushed || s.status != Status::Ok) return 0;
    std::size_t taken = 0;
    if (s.decoder == nullptr) {
        taken = std::min(size, s.header.size() - s.headerFill);
        std::copy_n(bytes, taken, s.header.begin() + static_cast<std::ptrdiff_t>(s.headerFill));
        s.headerFill += taken;
        if (s.headerFill < s.header.size()) return taken;
        s.status = statusOf(readContainerHeader(s.header.data(), s.headerFill, s.file));
        if (s.status != Status::Ok) return taken;
        s.decoder = std::make_unique<Decoder>(s.file);
    }
    taken += s.decoder->push(bytes + taken, size - taken);
    s.waiting = false;
    return taken;
}

void StreamDecoder::endInput() {
    Impl& s = *impl_;
    if (!s.pushed || s.status != Status::Ok) return;
    s.waiting = false;
    if (s.decoder != nullptr) {
        s.decoder->endInput();
    } else {
        s.status = statusOf(readContainerHeader(s.header.data(), s.headerFill, s.file));
    }
}

bool StreamDecoder::needsInput() const {
    return impl_->waiting && impl_->status == Status::Ok;
}

Status StreamDecoder::status() const {
    return impl_->status;
}

PcmFormat StreamDecoder::format() const {
    return {impl_->file.header.channels, impl_->file.format.sampleRate()};
}

int64_t StreamDecoder::samplesPerChannel() const {
    return impl_->status == Status::NotQmz ? 0 : impl_->file.header.samplesPerChannel;
}

std::size_t StreamDecoder::read(int16_t* interleaved, std::size_t maxSampleFrames) {
    Impl& s = *impl_;
    const int channels = s.file.header.channels;
    std::size_t done = 0;
    if (s.keepGoing != nullptr) {
        KeepGoingDecode& k = *s.keepGoing;
        while (done < maxSampleFrames && s.status == Status::Ok && !k.atEnd) {
            int16_t* to = interleaved + done * static_cast<std::size_t>(channels);
            const std::size_t room = maxSampleFrames - done;
            if (k.next < k.buffer.size()) {
                const std::size_t n =
                    std::min(room, (k.buffer.size() - k.next) / static_cast<std::size_t>(channels));
                std::memcpy(to, k.buffer.data() + k.next, n * channels * sizeof(int16_t));
                k.next += n * static_cast<std::size_t>(channels);
                done += n;
            } else if (k.silent > 0) {
                const auto n = static_cast<std::size_t>(std::min<int64_t>(k.silent, static_cast<int64_t>(room)));
                std::fill(to, to + n * static_cast<std::size_t>(channels), int16_t{0});
                k.silent -= static_cast<int64_t>(n);
                done += n;
            } else {
                k.buffer.clear();
                k.next = 0;
                if (!k.decoder->step(k.result)) {
                    const DecodeError error = k.result.file.error != DecodeError::None
                                                  ? k.result.file.error
                                                  : k.result.firstError;
                    s.status = statusOf(error);
                    break;
                }
            }
        }
        return done;
    }
    while (done < maxSampleFrames && s.decoder != nullptr) {
        if (s.pending == 0) {
            if (s.status != Status::Ok || s.decoder->finished()) break;
            s.next = 0;
            const DecodeStatus step = s.decoder->decodeFrame(s.pcm.data(), s.pending);
            if (step == DecodeStatus::NeedInput) {
                if (s.feed == nullptr) {
                    s.waiting = true;
                    break;
                }
                s.feed->feed(*s.decoder);
            }
            s.status = statusOf(errorOf(step));
            continue;
        }
        const int n = static_cast<int>(
            std::min<std::size_t>(static_cast<std::size_t>(s.pending), maxSampleFrames - done));
        std::memcpy(interleaved + done * static_cast<std::size_t>(channels),
                    s.pcm.data() + s.next * channels,
                    static_cast<std::size_t>(n * channels) * sizeof(int16_t));
        s.next += n;
        s.pending -= n;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

Status StreamDecoder::seek(int64_t sampleFrame) {
    Impl& s = *impl_;
    if (s.pushed) return Status::NotSeekable;
    if (s.decoder == nullptr) return s.status;
    if (s.source == nullptr || s.payloadStart == std::streampos(-1)) return Status::NotSeekable;
    if (s.status != Status::Ok && s.status != Status::Truncated && s.status != Status::Damaged)
        return s.status;
    if (sampleFrame < 0 || sampleFrame > s.file.header.samplesPerChannel)
        return Status::InvalidArgument;
    if (!s.indexTried) {
        s.indexTried = true;
        s.index = openSeekIndex(*s.source, static_cast<uint64_t>(s.payloadStart), s.file);
    }
    if (s.index == nullptr) return Status::NotSeekable;
    SeekPoint point;
    // Finding the point reads elsewhere in the stream: a failed seek puts the
    // position back for the decode that goes on.
    s.source->clear();
    const std::streampos here = s.source->tellg();
    if (sampleFrame < s.file.header.samplesPerChannel && !s.index->pointFor(sampleFrame, point)) {
        s.source->clear();
        s.source->seekg(here);
        return Status::Damaged;
    }
    s.source->clear();
    if (s.keepGoing != nullptr) {
        // Through damage from the point on; the first frame after it only
        // primes the overlap, and its samples lie before the target.
        KeepGoingDecode& k = *s.keepGoing;
        k.atEnd = sampleFrame >= s.file.header.samplesPerChannel;
        k.written = k.decoder->restart(point);
        k.dropUntil = sampleFrame;
        // The status tells of the decode from here; the ranges stay listed.
        k.result.firstError = DecodeError::None;
        k.result.file.error = DecodeError::None;
        k.buffer.clear();
        k.next = 0;
        k.silent = 0;
        s.status = Status::Ok;
        return Status::Ok;
    }
    if (!s.source->seekg(s.payloadStart + static_cast<std::streamoff>(point.offset))) {
        s.source->clear();
        return Status::NotSeekable;
    }
    s.feed = std::make_unique<StreamFeed>(*s.source);
    s.decoder->restart(point.frame, point.noiseDraws, sampleFrame);
    s.status = Status::Ok;
    s.pending = 0;
    s.next = 0;
    return Status::Ok;
}

}  // namespace qmz
