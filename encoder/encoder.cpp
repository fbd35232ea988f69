#include "encoder/encoder.h"

#include <algorithm>

#include "encoder/analysis.h"

namespace qmz {

Encoder::Encoder(int channels, int32_t samplesPerChannel, const PresetParams& preset,
                 ByteSink& payload, EncoderObserver* observer, const EncoderPolicy* policy)
    : channels_(channels),
      samplesPerChannel_(samplesPerChannel),
      config_(encoderConfigOf(preset)),
      presetPolicy_(config_),
      policy_(policy != nullptr ? *policy : presetPolicy_),
      observer_(observer),
      writer_(payload),
      remaining_(samplesPerChannel),
      progress_(samplesPerChannel) {}

std::size_t Encoder::encode(const int16_t* interleaved, std::size_t frames) {
    const int16_t* const first[kMaxChannels] = {
        interleaved, interleaved != nullptr && channels_ == 2 ? interleaved + 1 : interleaved};
    return take(first, channels_, frames);
}

std::size_t Encoder::encode(const int16_t* const planes[kMaxChannels], std::size_t frames) {
    return take(planes, 1, frames);
}

// Sample i of channel c is first[c][i * stride].
std::size_t Encoder::take(const int16_t* const first[kMaxChannels], std::ptrdiff_t stride,
                          std::size_t frames) {
    runSilentStart();
    std::size_t taken = 0;
    while (taken < frames && !done_) {
        // What the next iteration reads; nothing once the promised samples are in.
        const int wanted = static_cast<int>(std::clamp<int64_t>(remaining_, 0, kFrameLength));
        if (wanted == 0) break;
        const int n = static_cast<int>(
            std::min<std::size_t>(static_cast<std::size_t>(wanted - filled_), frames - taken));
        Bank& bank = inputBanks_[1 - current_];
        for (int c = 0; c < channels_; ++c) {
            const int16_t* in = first[c] + static_cast<std::ptrdiff_t>(taken) * stride;
            double* out = bank[c].data() + filled_;
            if (stride == 1) {
                for (int i = 0; i < n; ++i) out[i] = in[i];  // vectorises
            } else {
                for (int i = 0; i < n; ++i) out[i] = in[i * stride];
            }
        }
        filled_ += n;
        taken += static_cast<std::size_t>(n);
        if (filled_ == wanted) runIteration();
    }
    return taken;
}

bool Encoder::finish() {
    runSilentStart();
    while (!done_) runIteration();
    return writer_.finishStream(frameCounter_ + 1);
}

// The two iterations before frame 1 read no input.
void Encoder::runSilentStart() {
    while (frameCounter_ < 0 && !done_) runIteration();
}

// Takes the waiting bank as the current one. An iteration that finds fewer
// samples than it wanted marks the end of the input: what arrived is the
// length now, and the loop ends where it would have ended had that been known.
void Encoder::takeFilledBank() {
    Bank& bank = inputBanks_[current_];
    const int n = filled_;
    filled_ = 0;
    if (frameCounter_ > 0) {
        const int wanted = static_cast<int>(std::clamp<int64_t>(remaining_, 0, kFrameLength));
        remaining_ -= kFrameLength;
        samplesRead_ += n;
        if (n < wanted) {
            samplesPerChannel_ = static_cast<int32_t>(samplesRead_);
            remaining_ = samplesRead_ - int64_t{kFrameLength} * frameCounter_;
        }
    }
    for (int c = 0; c < kMaxChannels; ++c) std::fill(bank[c].begin() + n, bank[c].end(), 0.0);
}

bool Encoder::analyseCurrentBank() {
    Bank& bank = inputBanks_[current_];
    if (config_.midSide && channels_ == 2) toMidSide(bank[0].data(), bank[1].data());
    bool request = false;
    for (int c = 0; c < channels_; ++c) {
        // Every channel is analysed, whatever an earlier one asked for.
        request |= psyAnalyzeChannel(psy_, bank[c].data(), analysisBanks_[current_][c], c,
                                     config_.psy);
    }
    return request;
}

void Encoder::codePreviousBank(BlockType type) {
    const int previous = 1 - current_;
    FrameToCode frame{frameCounter_, channels_, type, {}, {}};
    for (int c = 0; c < channels_; ++c) {
        frame.samples[c] = inputBanks_[previous][c].data();
        frame.analysis[c] = &analysisBanks_[previous][c];
    }
    failed_ = codeFrame(frame, coder_, policy_, writer_, observer_) != PayloadWriteError::None;
    ++blockTypeCounts_[static_cast<int>(type)];
}

void Encoder::runIteration() {
    progress_.update(observer_, frameCounter_);
    ++frameCounter_;
    current_ = 1 - current_;
    takeFilledBank();
    const BlockDecision decision = decideBlockType(policy_, sequencer_, analyseCurrentBank());
    reportDecision(observer_, decision);
    // The two iterations before frame 1 would code silence into nothing: the
    // transform history and the quantiser's lines stay all zero without them.
    if (frameCounter_ >= 1) codePreviousBank(decision.type);
    done_ = failed_ || remaining_ <= -3 * kFrameLength;
}

}  // namespace qmz
