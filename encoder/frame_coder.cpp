#include "encoder/frame_coder.h"

#include <span>

#include "encoder/analysis.h"

namespace qmz {

BlockDecision decideBlockType(const EncoderPolicy& policy, BlockSequencer& sequencer,
                              bool modelRequest) {
    BlockDecision d{};
    d.requested = policy.wantsShortBlocks(modelRequest);
    d.type = sequencer.next(d.requested, d.dropped);
    return d;
}

void reportDecision(EncoderObserver* observer, const BlockDecision& decision) {
    if (observer == nullptr) return;
    if (decision.requested) observer->onShortBlocksRequested();
    if (decision.dropped) observer->onRequestDropped();
}

ProgressReport::ProgressReport(int32_t samplesPerChannel)
    : scale_(static_cast<float>(samplesPerChannel * (1.0 / 1024.0))) {}

// From -2 % during the silent start to a little over 100 % in the tail.
void ProgressReport::update(EncoderObserver* observer, int frameCounter) {
    if (scale_ <= 0.0f || observer == nullptr) return;
    const int percent = static_cast<int>(static_cast<float>(100 * frameCounter) / scale_);
    if (percent != last_) observer->onProgress(percent);
    last_ = percent;
}

PayloadWriteError codeFrame(const FrameToCode& frame, FrameCoderState& state,
                            const EncoderPolicy& policy, FramePayloadWriter& writer,
                            QuantizerEventSink* sink) {
    for (int c = 0; c < frame.channels; ++c) {
        double* spectrum = state.spectrum[c].data();
        analyzeChannel(frame.samples[c], spectrum, state.history[c], frame.type);
        const PsyBandResults& analysis = *frame.analysis[c];
        ChannelBlocks& blocks = state.blocks[c];
        if (frame.type == BlockType::Short) {
            for (int j = 0; j < kShortBlocksPerFrame; ++j) {
                const BlockToQuantize block{BlockShape::Short, spectrum + kShortBlockLength * j,
                                            analysis.shortRatio[j].data(),
                                            analysis.shortUnpredictability[j].data()};
                policy.quantise(state.quantizer, block, blocks[j], sink);
            }
        } else {
            const BlockToQuantize block{BlockShape::Long, spectrum, analysis.longRatio.data(),
                                        analysis.longUnpredictability.data()};
            policy.quantise(state.quantizer, block, blocks[0], sink);
        }
    }
    return writer.writeFrame(
        std::span<const ChannelBlocks>(state.blocks.data(), static_cast<std::size_t>(frame.channels)),
        frame.type, frame.index);
}

}  // namespace qmz
