#include "io/segmented_decode.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

#include "common/little_endian.h"
#include "io/huge_page_block.h"
#include "io/wav_writer.h"

namespace qmz {
namespace {

// Samples go out in pieces of about 64 KB, like decodeToWav's; those of
// the stream's sample frames outside the range are dropped.
class WavSampleSink : public SampleSink {
  public:
    WavSampleSink(std::ostream& dest, int channels, const SampleRange& range)
        : dest_(dest), channels_(channels), range_(range) {
        buffer_.reserve(kPiece);
    }
    // The decode starts later in the stream (a resync point).
    void moveTo(int64_t position) { position_ = position; }
    void put(const int16_t* pcm, int64_t frames) override {
        const auto [skip, take] = inRange(frames);
        position_ += frames;
        pcm += skip * channels_;
        const std::size_t samples = static_cast<std::size_t>(take * channels_);
        if constexpr (std::endian::native == std::endian::little) {
            // A segment's samples go out as they are, not through the piece.
            if (samples >= kPiece) {
                flush();
                if (dest_)
                    dest_.write(reinterpret_cast<const char*>(pcm),
                                static_cast<std::streamsize>(2 * samples));
                written_ += take;
                return;
            }
        }
        for (std::size_t i = 0; i < samples;) {
            const std::size_t n = std::min(samples - i, kPiece - buffer_.size());
            buffer_.insert(buffer_.end(), pcm + i, pcm + i + n);
            i += n;
            if (buffer_.size() == kPiece) flush();
        }
        written_ += take;
    }
    void silence(int64_t frames) override {
        const int64_t take = inRange(frames).second;
        position_ += frames;
        written_ += take;
        std::size_t samples = static_cast<std::size_t>(take * channels_);
        while (samples > 0) {
            const std::size_t n = std::min(samples, kPiece - buffer_.size());
            buffer_.insert(buffer_.end(), n, 0);
            samples -= n;
            if (buffer_.size() == kPiece) flush();
        }
    }
    void flush() {
        if (buffer_.empty() || !dest_) return;
        if constexpr (std::endian::native == std::endian::little) {
            dest_.write(reinterpret_cast<const char*>(buffer_.data()),
                        static_cast<std::streamsize>(2 * buffer_.size()));
        } else {
            std::vector<uint8_t> bytes(2 * buffer_.size());
            for (std::size_t i = 0; i < buffer_.size(); ++i)
                storeLe16(bytes.data() + 2 * i, static_cast<uint16_t>(buffer_[i]));
            dest_.write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size()));
        }
        buffer_.clear();
    }
    int64_t framesWritten() const override { return position_; }
    // Past the range's end the decode stops.
    bool good() const override { return static_cast<bool>(dest_) && position_ < range_.end; }
    int64_t framesInFile() const { return written_; }

  private:
    // Of `frames` sample frames from position_ on: how many come before the
    // range, and how many lie in it.
    std::pair<int64_t, int64_t> inRange(int64_t frames) const {
        const int64_t skip = std::clamp<int64_t>(range_.first - position_, 0, frames);
        const int64_t end = std::clamp<int64_t>(range_.end - position_, skip, frames);
        return {skip, end - skip};
    }

    static constexpr std::size_t kPiece = 32 * 1024;
    std::ostream& dest_;
    int channels_;
    SampleRange range_;
    int64_t position_ = 0;
    std::vector<int16_t> buffer_;
    int64_t written_ = 0;
};

// A segment on its way through the threads.
struct Job {
    enum class Stage { Queued, Reading, Read, Synthesize, Synthesizing, Done };
    int64_t segment = 0;
    int64_t offset = 0;
    Stage stage = Stage::Queued;
    NoiseRandom noise;
    SegmentFrames frames;
    SegmentSamples samples;
};

class SegmentedDecode {
  public:
    SegmentedDecode(const PayloadReadAt& readAt, const ContainerFile& file, SampleSink& sink,
                    const SegmentedDecodeOptions& options)
        : readAt_(readAt),
          layout_(segmentLayoutOf(file.header.samplesPerChannel)),
          channels_(file.header.channels),
          midSide_(file.header.midSide == 1 && file.header.channels == 2),
          options_(options),
          sink_(sink) {
        const double rate = file.format.sampleRate() > 0 ? file.format.sampleRate() : 44100.0;
        if (file.header.avgBitRate > 0) {
            segmentBytes_ = file.header.avgBitRate / 8.0 * kResyncPeriod * kFrameLength / rate;
            if (options.payloadSize >= 0) {
                const double expected =
                    file.header.avgBitRate / 8.0 * layout_.samplesPerChannel / rate;
                unplacedBytes_ = expected - static_cast<double>(options.payloadSize);
            }
        }
        scratch_ = std::make_unique<SegmentScratch>();
        samples_ = std::make_unique<SegmentSamples>();
    }

    int64_t restart(const SeekPoint& point) {
        started_ = false;  // threads may take it from here
        stopped_ = false;
        haveFrames_ = false;
        segment_ = point.frame <= 1 ? 0 : point.frame / kResyncPeriod;
        offset_ = point.offset;
        lastStart_ = point.offset;
        noise_ = NoiseRandom{};
        noise_.skip(point.noiseDraws);
        for (OverlapBuffer& o : overlap_) o.fill(0.0);
        return layout_.outputStart(layout_.firstFrame(segment_));
    }

    // Decodes the next segment (or what is left after damage) into the
    // sink; false once the stream is done, has failed or the sink has.
    bool step(SegmentedDecodeResult& result) {
        if (!started_) {
            started_ = true;
            if (frames_ == nullptr) frames_ = std::make_unique<SegmentFrames>();
            if (options_.threads > 1 && layout_.count() > 2) runParallel();
        }
        return !stopped_ && segment_ < layout_.count() && sink_.good() && sequentialStep(result);
    }

  private:
    // Hands out a segment whose frames read and were synthesised.
    void emit(const SegmentFrames& frames, const SegmentSamples& samples) {
        std::array<int16_t, kFrameLength * kMaxChannels> first;
        const int n =
            completeFirstFrame(samples, frames, layout_, channels_, overlap_, first.data());
        sink_.put(first.data(), n);
        sink_.put(samples.pcm.data(), samples.pcmFrames);
    }

    bool sequentialStep(SegmentedDecodeResult& result) {
        SegmentFrames& frames = *frames_;
        // Through damage, a segment that read but did not end at a record
        // (damaged bits that happen to decode) is damage too: the next
        // segment is looked for from the start of that one on.
        if (!haveFrames_ && options_.keepGoing && segment_ > 0 && !recordAt(readAt_, offset_)) {
            if (result.firstError == DecodeError::None)
                result.firstError = DecodeError::DamagedStream;
            const int64_t failed = layout_.firstFrame(segment_);
            --segment_;
            offset_ = lastStart_;
            haveFrames_ = recover(failed, frames, result.damaged);
            return true;
        }
        if (!haveFrames_)
            readSegment(readAt_, offset_, segment_, layout_.frames(segment_), channels_, *scratch_,
                        frames);
        haveFrames_ = false;  // read while looking for a record after damage
        lastStart_ = offset_;
        synthesizeSegment(frames, layout_, channels_, midSide_, noise_, *samples_);
        emit(frames, *samples_);
        noise_.skip(frames.noiseDraws);
        if (frames.complete()) {
            offset_ = frames.endOffset;
            ++segment_;
            return true;
        }
        const DecodeError error = errorOf(frames.status);
        if (!options_.keepGoing) {
            result.file.error = error;
            stopped_ = true;
            return false;
        }
        if (result.firstError == DecodeError::None) result.firstError = error;
        haveFrames_ =
            recover(layout_.firstFrame(segment_) + frames.framesRead, frames, result.damaged);
        return true;
    }

    int64_t estimateSegment(int64_t candidate) {
        // Bytes the payload lacks (or has over) the header's rate: a block of
        // bytes lost (or added) is most likely in the first gap met.
        const double unplaced = std::abs(unplacedBytes_) > segmentBytes_ / 4 ? unplacedBytes_ : 0.0;
        const std::vector<SeekTableEntry>& table = options_.seekTable;
        if (!table.empty()) {
            const double target = static_cast<double>(candidate) + unplaced;
            std::size_t best = 0;
            for (std::size_t i = 1; i < table.size(); ++i) {
                if (std::abs(static_cast<double>(table[i].offset) - target) <
                    std::abs(static_cast<double>(table[best].offset) - target))
                    best = i;
            }
            // An exact offset beats the correction (the loss lay elsewhere).
            for (std::size_t i = 0; i < table.size(); ++i)
                if (table[i].offset == candidate) best = i;
            return static_cast<int64_t>(best) + 1;
        }
        if (segmentBytes_ <= 0.0) return segment_ + 1;
        const double distance = static_cast<double>(candidate - offset_) + unplaced;
        return segment_ + std::llround(distance / segmentBytes_);
    }

    // Frame `failed` of the current segment did not read: fades out, finds
    // the segment to go on with and reads it into `frames` (true), or fills
    // the rest with silence (false).
    bool recover(int64_t failed, SegmentFrames& frames, std::vector<DamagedSpan>& damaged) {
        const int64_t first = layout_.outputStart(failed);
        const int fade = layout_.outputFrames(failed);
        if (fade > 0) {
            std::array<int16_t, kFrameLength * kMaxChannels> pcm;
            interleavePcm16(overlap_[0].data(), channels_ == 2 ? overlap_[1].data() : nullptr, fade,
                            pcm.data());
            sink_.put(pcm.data(), fade);
        }
        for (OverlapBuffer& o : overlap_) o.fill(0.0);

        const int64_t last = layout_.count() - 1;
        int64_t found = -1;
        // Every try reads at most one segment; a file of nothing but record
        // patterns must not take forever.
        int64_t budget = 4 * layout_.count() + 64;
        for (int64_t from = offset_ + 1; budget-- > 0;) {
            const int64_t candidate = findRecordCandidate(readAt_, from);
            if (candidate < 0) break;
            from = candidate + 1;
            // A segment after the one holding the failed frame, whose output
            // the fade has begun.
            const int64_t after = failed / kResyncPeriod + 1;
            if (after > last) break;
            const int64_t estimate = estimateSegment(candidate);
            // The record of the segment whose first frame faded out itself.
            if (estimate == after - 1 && layout_.firstFrame(estimate) == failed) continue;
            const int64_t segment = std::clamp(estimate, after, last);
            readSegment(readAt_, candidate, segment, layout_.frames(segment), channels_, *scratch_,
                        frames);
            if (frames.complete() && (segment == last || recordAt(readAt_, frames.endOffset))) {
                found = segment;
                unplacedBytes_ = 0.0;  // placed in this gap
                offset_ = candidate;
                const std::vector<SeekTableEntry>& table = options_.seekTable;
                if (static_cast<std::size_t>(segment - 1) < table.size()) {
                    noise_ = NoiseRandom{};
                    noise_.skip(table[static_cast<std::size_t>(segment - 1)].noiseDraws);
                }
                break;
            }
        }
        const int64_t total = layout_.samplesPerChannel;
        int64_t resume = total, end = total;
        if (found >= 0) {
            resume = std::min(total, layout_.outputStart(layout_.firstFrame(found)));
            end = std::min(total, resume + layout_.outputFrames(layout_.firstFrame(found)));
            segment_ = found;
        } else {
            segment_ = layout_.count();
        }
        sink_.silence(std::max<int64_t>(resume - sink_.framesWritten(), 0));
        if (!damaged.empty() && damaged.back().end >= first) {
            damaged.back().end = std::max(damaged.back().end, end);
        } else if (first < end) {
            damaged.push_back({first, end});
        }
        return found >= 0;
    }

    // Segments decoded side by side until the last, or until one does not
    // read or does not begin where the one before it ended; the sequential
    // decode takes over from there with the same state.
    void runParallel();

    const PayloadReadAt& readAt_;
    SegmentLayout layout_;
    int channels_;
    bool midSide_;
    SegmentedDecodeOptions options_;
    SampleSink& sink_;
    double segmentBytes_ = 0.0;
    double unplacedBytes_ = 0.0;
    std::unique_ptr<SegmentScratch> scratch_;
    std::unique_ptr<SegmentSamples> samples_;
    std::unique_ptr<SegmentFrames> frames_;
    bool started_ = false;
    bool stopped_ = false;
    bool haveFrames_ = false;

    // Where the decode stands: the next segment, its first byte, the noise
    // generator and the pending overlap before it.
    int64_t segment_ = 0;
    int64_t offset_ = 0;
    int64_t lastStart_ = 0;  // the first byte of the segment handed out last
    NoiseRandom noise_;
    std::array<OverlapBuffer, kMaxChannels> overlap_{};
};

void SegmentedDecode::runParallel() {
    using Stage = Job::Stage;
    // The calling thread is one of the decoding threads, and whichever
    // thread finds the oldest segment done writes it out: no thread waits
    // on another while there is work, so -j 2 keeps two cores busy with
    // few wake-ups (on a virtual machine each one is dear).
    const std::size_t window = 2 * static_cast<std::size_t>(options_.threads) + 2;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<Job>> jobs;  // segments segment_ .. in order
    std::vector<std::unique_ptr<Job>> spare;
    // Every job's buffers in one block, lent to the jobs as they are made.
    const std::size_t valuesBytes = kSegmentValuesRoom * sizeof(int32_t);
    const std::size_t pcmRoom = kSegmentPcmRoom * static_cast<std::size_t>(channels_);
    const std::size_t jobBytes = (valuesBytes + pcmRoom * sizeof(int16_t) + 63) / 64 * 64;
    HugePageBlock memory(window * jobBytes);
    std::size_t made = 0;
    bool stop = false;
    bool emitting = false;
    int waiting = 0;

    int64_t issued = segment_;        // next segment to hand a job
    int64_t lastCandidate = offset_;  // record candidates are searched after it
    bool candidatesLeft = true;
    // The prefix: segments checked and given their noise state, in order.
    int64_t checked = segment_;
    int64_t expectedOffset = offset_;
    NoiseRandom prefixNoise = noise_;
    bool broken = false;

    auto issue = [&] {  // with the lock held
        while (!broken && jobs.size() < window && issued < layout_.count() && candidatesLeft) {
            int64_t offset = offset_;
            if (issued != segment_) {
                offset = findRecordCandidate(readAt_, lastCandidate + 1);
                if (offset < 0) {
                    candidatesLeft = false;
                    break;
                }
            }
            lastCandidate = offset;
            std::unique_ptr<Job> job;
            if (spare.empty()) {
                job = std::make_unique<Job>();
                if (made < window) {  // always: a job is made only below the window
                    std::byte* room = static_cast<std::byte*>(memory.data()) + made++ * jobBytes;
                    job->frames.values = {reinterpret_cast<int32_t*>(room), kSegmentValuesRoom};
                    job->samples.pcm = {reinterpret_cast<int16_t*>(room + valuesBytes), pcmRoom};
                }
            } else {
                job = std::move(spare.back());
                spare.pop_back();
            }
            job->segment = issued++;
            job->offset = offset;
            job->stage = Stage::Queued;
            jobs.push_back(std::move(job));
        }
    };
    // Segments read in order get their noise state and may be synthesised.
    auto advancePrefix = [&] {  // with the lock held
        for (auto& j : jobs) {
            if (broken || j->segment < checked) continue;
            if (j->stage != Stage::Read) break;
            if (j->offset != expectedOffset || !j->frames.complete()) {
                broken = true;
                break;
            }
            j->noise = prefixNoise;
            prefixNoise.skip(j->frames.noiseDraws);
            expectedOffset = j->frames.endOffset;
            j->stage = Stage::Synthesize;
            ++checked;
        }
    };
    auto finished = [&] {  // with the lock held
        return !sink_.good() || segment_ == layout_.count() ||
               (segment_ == checked && (broken || jobs.empty()));
    };

    auto work = [&] {
        SegmentScratch scratch;
        std::unique_lock lock(mutex);
        while (!stop) {
            if (!emitting && !jobs.empty() && jobs.front()->stage == Stage::Done) {
                emitting = true;
                std::unique_ptr<Job> done = std::move(jobs.front());
                jobs.pop_front();
                lock.unlock();
                emit(done->frames, done->samples);
                lock.lock();
                lastStart_ = done->offset;
                noise_.skip(done->frames.noiseDraws);
                offset_ = done->frames.endOffset;
                ++segment_;
                spare.push_back(std::move(done));
                emitting = false;
                issue();
                if (waiting > 0) changed.notify_all();
                continue;
            }
            Job* job = nullptr;
            // Synthesis first: it frees the window sooner.
            for (auto& j : jobs) {
                if (j->stage == Stage::Synthesize) {
                    job = j.get();
                    break;
                }
            }
            if (job == nullptr) {
                for (auto& j : jobs) {
                    if (j->stage == Stage::Queued) {
                        job = j.get();
                        break;
                    }
                }
            }
            if (job != nullptr) {
                const bool synthesize = job->stage == Stage::Synthesize;
                job->stage = synthesize ? Stage::Synthesizing : Stage::Reading;
                lock.unlock();
                if (synthesize) {
                    synthesizeSegment(job->frames, layout_, channels_, midSide_, job->noise,
                                      job->samples);
                } else {
                    readSegment(readAt_, job->offset, job->segment, layout_.frames(job->segment),
                                channels_, scratch, job->frames);
                }
                lock.lock();
                job->stage = synthesize ? Stage::Done : Stage::Read;
                if (!synthesize) advancePrefix();
                if (waiting > 0) changed.notify_all();
                continue;
            }
            if (!emitting && finished()) {
                stop = true;
                changed.notify_all();
                break;
            }
            ++waiting;
            changed.wait(lock);
            --waiting;
        }
    };

    {
        std::lock_guard lock(mutex);
        issue();
    }
    std::vector<std::thread> threads;
    for (int i = 1; i < options_.threads; ++i) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
}

}  // namespace

struct SegmentedDecoder::Impl {
    SegmentedDecode decode;
};

SegmentedDecoder::SegmentedDecoder(const PayloadReadAt& readAt, const ContainerFile& file,
                                   SampleSink& sink, const SegmentedDecodeOptions& options)
    : impl_(std::make_unique<Impl>(Impl{SegmentedDecode(readAt, file, sink, options)})) {}

SegmentedDecoder::~SegmentedDecoder() = default;

int64_t SegmentedDecoder::restart(const SeekPoint& point) {
    return impl_->decode.restart(point);
}

bool SegmentedDecoder::step(SegmentedDecodeResult& result) {
    return impl_->decode.step(result);
}

SegmentedDecodeResult decodeSegmentsToWav(const PayloadReadAt& readAt, const ContainerFile& file,
                                          std::ostream& dest,
                                          const SegmentedDecodeOptions& options) {
    SegmentedDecodeResult result;
    const int64_t length = file.header.samplesPerChannel;
    SampleRange range;
    range.first = std::clamp<int64_t>(options.range.first, 0, length);
    range.end = std::clamp<int64_t>(options.range.end, range.first, length);
    const WavFormatBlock format = outputFormatBlock(file);
    if (!writeWavHeader(dest, outputDataSize(range.end - range.first, file.header.channels),
                        format)) {
        result.file.writeFailed = true;
        return result;
    }
    WavSampleSink sink(dest, file.header.channels, range);
    SegmentedDecoder decoder(readAt, file, sink, options);
    if (options.start.frame > 1) sink.moveTo(decoder.restart(options.start));
    while (decoder.step(result)) {
    }
    sink.flush();
    result.file.framesWritten = sink.framesInFile();
    if (result.file.error != DecodeError::None && dest) {
        result.file.headerFitted =
            rewriteWavHeader(dest, format, result.file.framesWritten, file.header.channels);
    }
    dest.flush();
    result.file.writeFailed = !dest;
    return result;
}

}  // namespace qmz
