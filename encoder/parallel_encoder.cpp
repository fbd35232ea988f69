#include "encoder/parallel_encoder.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/fft.h"
#include "common/frame_syntax.h"
#include "common/windows.h"
#include "encoder/analysis.h"
#include "encoder/frame_coder.h"
#include "encoder/payload_writer.h"
#include "encoder/psychoacoustic_model.h"
#include "encoder/quantizer.h"
#include "encoder/worker_pool.h"

namespace qmz {
namespace {

constexpr int kSegmentFrames = kResyncPeriod;
constexpr int kWarmUpBanks = 3;  // frames the spectral history reaches back
constexpr int kMaxWorkers = 64;

using ChannelArrays = std::array<std::array<double, kFrameLength>, kMaxChannels>;

// Appends whatever is written to it to a string chosen per segment; the
// segments are recycled, so their strings keep their capacity.
class AppendToString final : public ByteSink {
  public:
    std::string* target = nullptr;
    bool put(const uint8_t* bytes, std::size_t count) override {
        target->append(reinterpret_cast<const char*>(bytes), count);
        return true;
    }
};

// A segment's coded bytes: one writer per thread, restarted for each segment.
struct SegmentOutput {
    AppendToString sink;
    FramePayloadWriter writer{sink};
};

// Working arrays of the coding step.
struct CodingScratch {
    ChannelArrays bank;
    FrameCoderState coder;
    SegmentOutput output;
};

// Working arrays of one worker thread.
struct EncodeScratch : CodingScratch {
    PsyState psy;
    PsyBandResults bands;  // the in-order step's results before they take their bank's slot
};

// What the analysis of one bank and channel leaves for the in-order step,
// and what that step leaves for coding in the same memory.
union BankResults {
    PsySpectralResults spectral;
    PsyBandResults bands;
};

// One segment from reading to writing. Bank k is iteration k's input frame:
// samples (k - 1) * 1024 .. k * 1024 - 1 for k >= 1, silence before; the
// loop's iteration k analyses bank k and writes frame k (from k = 1 on).
struct Segment {
    int firstBank = 0, lastBank = 0;  // the iterations of the segment
    int firstFrame = 0;               // max(1, firstBank)
    int heldFirst = 0;                // first bank whose samples are held
    bool last = false;

    std::vector<int16_t> samples;  // banks heldFirst.., channel-major per bank
    // By (bank - firstBank) * channels + c: a bank's spectral results until it
    // is sequenced, then in the same place its band results (which the frame
    // after it codes with). The segment's first frame codes with `before`.
    // Left uninitialised (every entry is written before it is read): zeroing
    // it would make the reading thread touch every page the workers write.
    std::unique_ptr<BankResults[]> banks;
    std::size_t bankCount = 0, bankCapacity = 0;
    std::array<PsyBandResults, kMaxChannels> before;
    std::vector<BlockDecision> decisions;  // by iteration - firstBank

    // Coding results.
    std::string bytes;
    int64_t bits = 0;
    std::vector<std::pair<int, QuantizerEvent>> events;  // iteration, event
    std::array<int, 4> typeCounts{};
    bool failed = false;
    int failedFrame = 0;
    bool dirty = false;     // a partial band read lines from before the segment
    bool endKnown = false;  // the segment rewrote every line it could leave behind
    QuantizerState endState;

    bool analysed = false, coded = false;  // set under the pool's lock
};

struct Setup {
    int channels;
    EncoderConfig config;
    const EncoderPolicy& policy;
    int totalFrames;
};

class EventRecorder final : public QuantizerEventSink {
  public:
    explicit EventRecorder(Segment& s) : segment_(s) {}
    int iteration = 0;
    void onQuantizerEvent(QuantizerEvent event) override {
        segment_.events.emplace_back(iteration, event);
    }

  private:
    Segment& segment_;
};

void loadBank(const Segment& s, int bank, const Setup& setup, ChannelArrays& out) {
    const int16_t* in = s.samples.data() + static_cast<std::size_t>(bank - s.heldFirst) *
                                               kFrameLength * setup.channels;
    for (int c = 0; c < setup.channels; ++c) {
        for (int i = 0; i < kFrameLength; ++i) out[c][i] = in[c * kFrameLength + i];
    }
    if (setup.config.midSide && setup.channels == 2) toMidSide(out[0].data(), out[1].data());
}

// Step 1: a reset spectral history fed the three banks before the segment
// first, each only as far as the segment's first analysis needs it.
void analyseSegment(Segment& s, const Setup& setup, EncodeScratch& w) {
    static constexpr PsyWarmUpDepth kDepthOf[kWarmUpBanks] = {
        PsyWarmUpDepth::Samples, PsyWarmUpDepth::LongSpectrum, PsyWarmUpDepth::ShortSpectra};
    psyResetSpectra(w.psy);  // the calling thread keeps its threshold recursion here
    for (int bank = s.heldFirst; bank <= s.lastBank; ++bank) {
        loadBank(s, bank, setup, w.bank);
        for (int c = 0; c < setup.channels; ++c) {
            if (bank < s.firstBank) {
                psyWarmUp(w.psy, w.bank[c].data(), c, kDepthOf[kWarmUpBanks - (s.firstBank - bank)]);
                continue;
            }
            PsySpectralResults& out =
                s.banks[static_cast<std::size_t>(bank - s.firstBank) * setup.channels + c].spectral;
            psySpectralAnalysis(w.psy, w.bank[c].data(), out, c, setup.config.psy);
        }
    }
}

// The policy a segment coded from a fresh line array runs under: it tells
// whether the quantiser read lines the segment has not written yet. `known`
// counts the leading lines of the array the segment has written; a band whose
// search ended early keeps lines from before it, which matters only above them.
class CarriedLinesWatch final : public EncoderPolicy {
  public:
    CarriedLinesWatch(const EncoderPolicy& inner, int known) : inner_(inner), known_(known) {}

    bool wantsShortBlocks(bool modelRequest) const override {
        return inner_.wantsShortBlocks(modelRequest);
    }
    void quantise(QuantizerState& state, const BlockToQuantize& block, QuantizedBlock& out,
                  QuantizerEventSink* sink) const override {
        const int64_t partialBefore = state.partialBands;
        inner_.quantise(state, block, out, sink);
        const int coded = block.shape == BlockShape::Short ? kShortCodedLines : kLongCodedLines;
        if (state.partialBands == partialBefore) {
            known_ = std::max(known_, coded);
        } else if (known_ < coded) {
            dirty_ = true;
        }
    }

    bool dirty() const { return dirty_; }
    // Every line the segment can leave behind was written by it (lines above
    // the long coded ones are only ever zero).
    bool endKnown() const { return known_ >= kLongCodedLines; }

  private:
    const EncoderPolicy& inner_;
    // Watched, not decided: the quantiser's calls come from one thread.
    mutable int known_;
    mutable bool dirty_ = false;
};

// Step 3: transform, quantise and code the segment's frames into s.bytes,
// the quantiser starting from `start` (exact: the array the previous segment
// really left).
void codeSegment(Segment& s, const Setup& setup, const QuantizerState& start, bool exact,
                 CodingScratch& w) {
    s.events.clear();
    s.typeCounts = {};
    s.failed = false;
    w.coder.quantizer = start;
    const CarriedLinesWatch policy(setup.policy, exact ? kFrameLength : 0);
    s.bytes.clear();
    w.output.sink.target = &s.bytes;
    FramePayloadWriter& writer = w.output.writer;
    writer.restart();
    EventRecorder sink(s);
    const int ch = setup.channels;

    loadBank(s, s.firstFrame - 2, setup, w.coder.history);
    int frame = s.firstFrame;
    for (; frame <= s.lastBank; ++frame) {
        loadBank(s, frame - 1, setup, w.bank);
        FrameToCode code{frame, ch, s.decisions[static_cast<std::size_t>(frame - s.firstBank)].type,
                         {}, {}};
        for (int c = 0; c < ch; ++c) {
            code.samples[c] = w.bank[c].data();
            code.analysis[c] =
                frame == s.firstBank
                    ? &s.before[c]
                    : &s.banks[static_cast<std::size_t>(frame - 1 - s.firstBank) * ch + c].bands;
        }
        sink.iteration = frame;
        const PayloadWriteError error = codeFrame(code, w.coder, policy, writer, &sink);
        ++s.typeCounts[static_cast<int>(code.type)];
        if (error != PayloadWriteError::None) {
            s.failed = true;
            s.failedFrame = frame;
            break;
        }
    }
    if (s.failed) {
        writer.finishStream(frame + 1);
    } else if (s.last) {
        writer.finishStream(s.lastBank + 1);
    } else {
        writer.endSegment();
    }
    s.bits = writer.payloadBitCount();
    s.endState = w.coder.quantizer;
    s.dirty = policy.dirty();
    s.endKnown = policy.endKnown();
}

// The calling thread's part: input, step 2, output and reports.
class Pipeline {
  public:
    Pipeline(SampleSource& samples, int32_t samplesPerChannel, const Setup& setup,
             ByteSink& payload, EncoderObserver* observer, int threads)
        : in_(samples),
          setup_(setup),
          payload_(payload),
          observer_(observer),
          remaining_(samplesPerChannel),
          samplesPerChannel_(samplesPerChannel),
          progress_(samplesPerChannel),
          segmentCount_(setup.totalFrames / kSegmentFrames + 1),
          window_(threads + 1),
          recent_(static_cast<std::size_t>(kWarmUpBanks) * kFrameLength * setup.channels, 0),
          pool_(threads) {}

    FrameLoopResult run();

  private:
    std::unique_ptr<Segment> readSegment(int index);
    void readBank(int16_t* out, int bank);
    void fitSegment(Segment& s, int index);
    void sequence(Segment& s);
    bool commit(Segment& s);
    void replay(const Segment& s);

    SampleSource& in_;
    Setup setup_;
    ByteSink& payload_;
    EncoderObserver* observer_;
    int64_t remaining_;
    int32_t samplesPerChannel_;  // lowered when the input ends early
    int64_t samplesRead_ = 0;
    ProgressReport progress_;
    int segmentCount_;
    std::size_t window_;
    std::vector<int16_t> recent_;  // the last kWarmUpBanks banks read

    BlockSequencer sequencer_;
    std::array<PsyBandResults, kMaxChannels> carried_{};  // the last bank sequenced
    QuantizerState exact_;  // the quantiser's array after the last committed segment
    // This thread's arrays, for sequencing and re-coding (made in run());
    // its psychoacoustic state also carries the threshold recursion of the
    // whole stream (the analysis jobs reset only the spectral history).
    std::unique_ptr<EncodeScratch> main_;
    FrameLoopResult result_;

    std::deque<std::unique_ptr<Segment>> inFlight_;  // outlives the pool's jobs
    std::vector<std::unique_ptr<Segment>> spare_;    // committed, for reuse
    WorkerPool<EncodeScratch> pool_;
};

void Pipeline::readBank(int16_t* out, int bank) {
    const int n = static_cast<int>(std::clamp<int64_t>(remaining_, 0, kFrameLength));
    remaining_ -= kFrameLength;
    int16_t* planes[kMaxChannels] = {out, out + kFrameLength};
    const int got = n > 0 ? in_.read(planes, n) : 0;
    samplesRead_ += got;
    for (int c = 0; c < setup_.channels; ++c)
        std::fill(planes[c] + got, planes[c] + kFrameLength, int16_t{0});
    if (got < n) {
        // The input ended early: as in the single-threaded loop, what arrived
        // is the length now, and the stream ends where an encode told that
        // length in advance would end it. No segment before this one reaches
        // that far (the end lies at least two banks past this one).
        samplesPerChannel_ = static_cast<int32_t>(samplesRead_);
        remaining_ = samplesRead_ - int64_t{kFrameLength} * bank;
        setup_.totalFrames = static_cast<int>((samplesRead_ + kFrameLength - 1) / kFrameLength + 3);
        segmentCount_ = setup_.totalFrames / kSegmentFrames + 1;
    }
}

// Sizes the segment's arrays for its banks (firstBank .. lastBank).
void Pipeline::fitSegment(Segment& s, int index) {
    const int ch = setup_.channels;
    const std::size_t bankSize = static_cast<std::size_t>(kFrameLength) * ch;
    const auto banks = static_cast<std::size_t>(s.lastBank - s.heldFirst + 1);
    const auto iterations = static_cast<std::size_t>(s.lastBank - s.firstBank + 1);
    s.samples.resize(banks * bankSize);  // every bank is written by readSegment
    s.bankCount = iterations * ch;
    if (s.bankCount > s.bankCapacity) {
        s.banks.reset(new BankResults[s.bankCount]);
        s.bankCapacity = s.bankCount;
    }
    s.decisions.resize(iterations);
    s.last = index == segmentCount_ - 1;
}

std::unique_ptr<Segment> Pipeline::readSegment(int index) {
    // Segments are recycled: their arrays keep their memory (and its pages)
    // from one segment to the next instead of being allocated and cleared anew.
    std::unique_ptr<Segment> s;
    if (spare_.empty()) {
        s = std::make_unique<Segment>();
    } else {
        s = std::move(spare_.back());
        spare_.pop_back();
        s->analysed = s->coded = false;
    }
    s->firstBank = index == 0 ? -1 : index * kSegmentFrames;
    s->lastBank = std::min(setup_.totalFrames, index * kSegmentFrames + kSegmentFrames - 1);
    s->firstFrame = std::max(1, s->firstBank);
    s->heldFirst = index == 0 ? -1 : s->firstBank - kWarmUpBanks;
    fitSegment(*s, index);
    const std::size_t bankSize = static_cast<std::size_t>(kFrameLength) * setup_.channels;

    if (index > 0) std::copy(recent_.begin(), recent_.end(), s->samples.begin());
    const int firstRead = std::max(1, s->firstBank);
    int16_t* bank =
        s->samples.data() + static_cast<std::size_t>(firstRead - s->heldFirst) * bankSize;
    if (index == 0) std::fill(s->samples.data(), bank, int16_t{0});  // banks before 1: silence
    for (int k = firstRead; k <= s->lastBank; ++k, bank += bankSize) readBank(bank, k);
    if (s->lastBank > setup_.totalFrames) {  // the input ended inside this segment
        s->lastBank = setup_.totalFrames;
        fitSegment(*s, index);
    }
    s->last = index == segmentCount_ - 1;  // an early end may have made it the last
    const std::size_t keep = std::min(recent_.size(), s->samples.size());
    std::copy(s->samples.end() - static_cast<std::ptrdiff_t>(keep), s->samples.end(),
              recent_.end() - static_cast<std::ptrdiff_t>(keep));
    return s;
}

// Step 2, in stream order: thresholds, requests and block types.
void Pipeline::sequence(Segment& s) {
    const int ch = setup_.channels;
    s.before = carried_;
    for (int bank = s.firstBank; bank <= s.lastBank; ++bank) {
        const auto i = static_cast<std::size_t>(bank - s.firstBank);
        bool request = false;
        for (int c = 0; c < ch; ++c) {
            BankResults& slot = s.banks[i * ch + c];
            request |= psyThresholdAnalysis(main_->psy, slot.spectral, main_->bands, c,
                                            setup_.config.psy);
            slot.bands = main_->bands;
        }
        s.decisions[i] = decideBlockType(setup_.policy, sequencer_, request);
    }
    for (int c = 0; c < ch; ++c) carried_[c] = s.banks[s.bankCount - ch + c].bands;
}

void Pipeline::replay(const Segment& s) {
    if (observer_ == nullptr) return;
    auto event = s.events.begin();
    const int end = s.failed ? s.failedFrame : s.lastBank;
    for (int it = s.firstBank; it <= end; ++it) {
        progress_.update(observer_, it - 1);
        reportDecision(observer_, s.decisions[static_cast<std::size_t>(it - s.firstBank)]);
        for (; event != s.events.end() && event->first == it; ++event)
            observer_->onQuantizerEvent(event->second);
    }
}

// Writes the segment; false when the loop ends with it.
bool Pipeline::commit(Segment& s) {
    if (s.dirty || (!s.endKnown && !s.last)) codeSegment(s, setup_, exact_, true, *main_);
    exact_ = s.endState;
    replay(s);
    const bool written =
        payload_.put(reinterpret_cast<const uint8_t*>(s.bytes.data()), s.bytes.size());
    result_.payloadBits += s.bits;
    for (int t = 0; t < 4; ++t) result_.blockTypeCounts[t] += s.typeCounts[t];
    if (s.failed) {
        result_.failed = true;
        result_.frames = s.failedFrame;
        return false;
    }
    result_.frames = s.lastBank;
    return !s.last && written;
}

FrameLoopResult Pipeline::run() {
    // The constant tables are built once per process at their first use;
    // building them here, while the workers set up their arrays, keeps the
    // first analyses from waiting on one another for them.
    fftInit();
    initWindows();
    mdctTwiddles();
    psyInit();
    int nextRead = 0, nextSequence = 0;
    for (;;) {
        while (nextRead < segmentCount_ && inFlight_.size() < window_) {
            inFlight_.push_back(readSegment(nextRead++));
            Segment* s = inFlight_.back().get();
            // Analyses go first: they lead to the in-order step that every
            // later coding job waits for.
            pool_.submit(
                [this, s](EncodeScratch& w) {
                    analyseSegment(*s, setup_, w);
                    std::lock_guard lock(pool_.resultLock());
                    s->analysed = true;
                },
                true);
        }
        if (inFlight_.empty()) break;
        Segment& head = *inFlight_.front();
        const int headIndex = nextRead - static_cast<int>(inFlight_.size());
        Segment* next = nextSequence < nextRead
                            ? inFlight_[static_cast<std::size_t>(nextSequence - headIndex)].get()
                            : nullptr;
        bool analysed = false;
        pool_.waitUntil([&] {
            analysed = next != nullptr && next->analysed;
            return analysed || head.coded;
        });
        if (analysed) {
            // Made once the first analyses are under way.
            if (!main_) main_ = std::make_unique<EncodeScratch>();
            sequence(*next);
            ++nextSequence;
            pool_.submit([this, next](EncodeScratch& w) {
                codeSegment(*next, setup_, QuantizerState{}, false, w);
                std::lock_guard lock(pool_.resultLock());
                next->coded = true;
            });
            continue;
        }
        const bool more = commit(head);
        spare_.push_back(std::move(inFlight_.front()));
        inFlight_.pop_front();
        if (!more) break;
    }
    result_.samplesPerChannel = samplesPerChannel_;
    return result_;
}

}  // namespace

int resolveThreadCount(int requested) {
    if (requested > 0) return requested;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? static_cast<int>(cores) : 1;
}

FrameLoopResult encodeFramesParallel(SampleSource& samples, int channels, int32_t samplesPerChannel,
                                     const PresetParams& preset, ByteSink& payload,
                                     EncoderObserver* observer, int threads,
                                     const EncoderPolicy* policy) {
    const int64_t n = std::max<int32_t>(samplesPerChannel, 0);
    const EncoderConfig config = encoderConfigOf(preset);
    const PresetPolicy presetPolicy(config);
    const Setup setup{channels, config, policy != nullptr ? *policy : presetPolicy,
                      static_cast<int>((n + kFrameLength - 1) / kFrameLength + 3)};
    // More workers than segments would only idle; each holds its own arrays.
    const int segments = setup.totalFrames / kSegmentFrames + 1;
    const int workers = std::clamp(threads, 1, std::min(segments, kMaxWorkers));
    auto pipeline =
        std::make_unique<Pipeline>(samples, samplesPerChannel, setup, payload, observer, workers);
    return pipeline->run();
}

}  // namespace qmz
