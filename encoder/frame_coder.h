// One frame of the encode loop, from the analysis results to the payload:
// the rules the single-threaded and the threaded encoder share.
//
// The loop's decisions (does a frame want short blocks, how is a block
// quantised) are asked of an EncoderPolicy; the loop's mechanics (the
// long / start / short / stop sequence, the transform, the payload syntax,
// the reports) stay here, so that another policy plugs in without a copy of
// the loop.
#pragma once

#include <array>
#include <cstdint>

#include "common/band_tables.h"
#include "encoder/block_decision.h"
#include "encoder/encoder_config.h"
#include "encoder/payload_writer.h"
#include "encoder/psychoacoustic_model.h"
#include "encoder/quantizer.h"

namespace qmz {

// What the encode loop reports while it runs, in the order it happens; the
// program turns these into its console text.
class EncoderObserver : public QuantizerEventSink {
  public:
    virtual void onProgress(int percent) = 0;   // the integer percentage changed
    virtual void onShortBlocksRequested() = 0;  // the newest frame asks for short blocks
    virtual void onRequestDropped() = 0;        // a request that a stop frame cannot honour

  protected:
    ~EncoderObserver() = default;
};

// The decisions of the frame loop. Calls may come from several threads at
// once (the threaded encoder), so a policy keeps no state of its own: what
// a decision carries from block to block lives in the QuantizerState passed in.
class EncoderPolicy {
  public:
    // Whether the newest frame asks for short blocks, given what the
    // psychoacoustic model asked for (any channel).
    virtual bool wantsShortBlocks(bool modelRequest) const = 0;
    // Quantises one block.
    virtual void quantise(QuantizerState& state, const BlockToQuantize& block,
                          QuantizedBlock& out, QuantizerEventSink* sink) const = 0;

  protected:
    ~EncoderPolicy() = default;
};

// The presets' policy: the model's requests as the preset allows them, and
// the scalefactor search against the model's masking ratios.
class PresetPolicy final : public EncoderPolicy {
  public:
    explicit PresetPolicy(const EncoderConfig& config) : config_(config) {}
    bool wantsShortBlocks(bool modelRequest) const override {
        return modelRequest && config_.shortBlocksAllowed;
    }
    void quantise(QuantizerState& state, const BlockToQuantize& block, QuantizedBlock& out,
                  QuantizerEventSink* sink) const override {
        quantizeBlock(state, block, config_.quantizer, out, sink);
    }

  private:
    EncoderConfig config_;
};

// The block type decided for the frame before the newest one, and what the
// newest frame's request came to.
struct BlockDecision {
    BlockType type;
    bool requested;  // the newest frame asks for short blocks
    bool dropped;    // ... and a stop frame cannot honour it
};

BlockDecision decideBlockType(const EncoderPolicy& policy, BlockSequencer& sequencer,
                              bool modelRequest);

// The console marks of a decision: a request, then its drop.
void reportDecision(EncoderObserver* observer, const BlockDecision& decision);

// Progress of the frame loop: the percentage of the input's frames before
// an iteration, reported when it changes. An empty input has no scale and
// reports nothing.
class ProgressReport {
  public:
    explicit ProgressReport(int32_t samplesPerChannel);
    // Reports the percentage of `frameCounter` (the iteration before the
    // one that starts).
    void update(EncoderObserver* observer, int frameCounter);

  private:
    float scale_;
    int last_ = 0;
};

// What the coding of one frame carries from one frame to the next.
struct FrameCoderState {
    std::array<std::array<double, kFrameLength>, kMaxChannels> history{};  // the last frame's samples
    std::array<std::array<double, kFrameLength>, kMaxChannels> spectrum{};
    std::array<ChannelBlocks, kMaxChannels> blocks{};  // every field written before it is read
    QuantizerState quantizer;
};

// One frame to code: each channel's newest 1024 samples (as the model saw
// them: mid and side for mid/side stereo) and the model's results for them.
struct FrameToCode {
    int index;  // 1, 2, 3, ... in stream order
    int channels;
    BlockType type;
    std::array<const double*, kMaxChannels> samples;
    std::array<const PsyBandResults*, kMaxChannels> analysis;
};

// Transforms every channel's samples for the frame's block type, quantises
// its blocks through the policy and writes the frame. The frame's
// transforms read and update state.history; its blocks stay in state.blocks.
PayloadWriteError codeFrame(const FrameToCode& frame, FrameCoderState& state,
                            const EncoderPolicy& policy, FramePayloadWriter& writer,
                            QuantizerEventSink* sink);

}  // namespace qmz
