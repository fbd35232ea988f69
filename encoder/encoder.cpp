#include "encoder/encoder.h"

#include <algorithm>
#include <span>

#include "encoder/analysis.h"
#include "encoder/wav_reader.h"

namespace qmz {

float progressScaleOf(int32_t samplesPerChannel) {
    return static_cast<float>(samplesPerChannel * (1.0 / 1024.0));
}

int progressPercent(int frameCounter, float scale) {
    return static_cast<int>(static_cast<float>(100 * frameCounter) / scale);
}

Encoder::Encoder(std::istream& samples, int channels, int32_t samplesPerChannel,
                 const PresetParams& preset, std::ostream& payload, EncoderObserver* observer)
    : samples_(samples),
      channels_(channels),
      samplesPerChannel_(samplesPerChannel),
      preset_(preset),
      observer_(observer),
      writer_(payload),
      remaining_(samplesPerChannel),
      progressScale_(progressScaleOf(samplesPerChannel)) {}

// Percent of the input frames done, from -2 % during the silent start to a
// little over 100 % in the tail. An empty input has no scale and no progress.
void Encoder::reportProgress() {
    if (progressScale_ <= 0.0f || observer_ == nullptr) return;
    const int percent = progressPercent(frameCounter_, progressScale_);
    if (percent != lastProgress_) observer_->onProgress(percent);
    lastProgress_ = percent;
}

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
    if (preset_.midSide == 1 && channels_ == 2) toMidSide(bank[0].data(), bank[1].data());
    bool shortRequest = false;
    for (int c = 0; c < channels_; ++c) {
        // Every channel is analysed, whatever an earlier one asked for.
        shortRequest |= psyAnalyzeChannel(psy_, bank[c].data(), analysisBanks_[current_][c], c,
                                          preset_.psyMode);
    }
    if (preset_.psyMode == 4) return false;  // this preset never uses short blocks
    if (shortRequest && observer_) observer_->onShortBlocksRequested();
    return shortRequest;
}

// Chooses the previous bank's block type from the requests of the two frames
// before it and of the newest one.
void Encoder::decideBlockType(bool shortRequest) {
    bool dropped = false;
    blockType_ = sequencer_.next(shortRequest, dropped);
    if (dropped && observer_) observer_->onRequestDropped();
}

void Encoder::transformAndQuantise() {
    const int previous = 1 - current_;
    for (int c = 0; c < channels_; ++c) {
        double* spectrum = spectrum_[c].data();
        analyzeChannel(inputBanks_[previous][c].data(), spectrum, sampleHistory_[c], blockType_);
        PsyBandResults& analysis = analysisBanks_[previous][c];
        if (blockType_ == BlockType::Short) {
            for (int j = 0; j < kShortBlocksPerFrame; ++j) {
                quantizeBlock(
                    quantizer_, spectrum + kShortBlockLength * j, analysis.shortRatio[j].data(),
                    analysis.shortUnpredictability[j].data(), preset_.maskScale, kShortBlockLength,
                    preset_.gainOffset, preset_.ratioFloor, blocks_[c][j], observer_);
            }
        } else {
            quantizeBlock(quantizer_, spectrum, analysis.longRatio.data(),
                          analysis.longUnpredictability.data(), preset_.maskScale, kFrameLength,
                          preset_.gainOffset, preset_.ratioFloor, blocks_[c][0], observer_);
        }
    }
}

bool Encoder::encodeFrame() {
    if (done_) return false;
    reportProgress();
    ++frameCounter_;
    current_ = 1 - current_;
    fillCurrentBank();
    decideBlockType(analyseCurrentBank());
    transformAndQuantise();
    if (frameCounter_ >= 1) {
        const std::span<const ChannelBlocks> frame(blocks_.data(),
                                                   static_cast<std::size_t>(channels_));
        failed_ = writer_.writeFrame(frame, blockType_, frameCounter_) != PayloadWriteError::None;
        ++blockTypeCounts_[static_cast<int>(blockType_)];
    }
    done_ = failed_ || remaining_ <= -3 * kFrameLength;
    return !done_;
}

bool Encoder::finish() {
    return writer_.finishStream(frameCounter_ + 1);
}

}  // namespace qmz
