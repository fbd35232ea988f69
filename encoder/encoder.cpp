#include "encoder/encoder.h"

#include <algorithm>

#include "encoder/analysis.h"
#include "encoder/wav_reader.h"

namespace qmz {

Encoder::Encoder(std::istream& samples, int channels, int32_t samplesPerChannel,
                 const PresetParams& preset, std::ostream& payload, EncoderObserver* observer)
    : samples_(samples),
      channels_(channels),
      samplesPerChannel_(samplesPerChannel),
      config_(encoderConfigOf(preset)),
      policy_(config_),
      observer_(observer),
      writer_(payload),
      remaining_(samplesPerChannel),
      progress_(samplesPerChannel) {}

void Encoder::fillCurrentBank() {
    Bank& bank = inputBanks_[current_];
    int n = 0;
    if (frameCounter_ > 0) {
        n = static_cast<int>(std::clamp<int64_t>(remaining_, 0, kFrameLength));
        remaining_ -= kFrameLength;
        double* out[kMaxChannels] = {bank[0].data(), bank[1].data()};
        const int wanted = n;
        n = readSampleFrames(samples_, channels_, n, out);
        samplesRead_ += n;
        if (n < wanted) {
            // The input ended early: what arrived is the length now, and the
            // loop ends where it would have ended had that been known.
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

bool Encoder::encodeFrame() {
    if (done_) return false;
    progress_.update(observer_, frameCounter_);
    ++frameCounter_;
    current_ = 1 - current_;
    fillCurrentBank();
    const BlockDecision decision = decideBlockType(policy_, sequencer_, analyseCurrentBank());
    reportDecision(observer_, decision);
    // The two iterations before frame 1 would code silence into nothing: the
    // transform history and the quantiser's lines stay all zero without them.
    if (frameCounter_ >= 1) codePreviousBank(decision.type);
    done_ = failed_ || remaining_ <= -3 * kFrameLength;
    return !done_;
}

bool Encoder::finish() {
    return writer_.finishStream(frameCounter_ + 1);
}

}  // namespace qmz
