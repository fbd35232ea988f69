// The encoder session: one object per input stream, running the frame loop
// over 16-bit PCM the caller pushes in, and handing the payload's bytes to a
// sink the caller owns as frames complete.
//
// The loop keeps two banks of input samples and two of psychoacoustic
// results. Each iteration takes the newest 1024 sample frames per channel
// into the current bank and analyses them, then decides the block type of the
// frame in the previous bank (one frame of look-ahead: a frame before a
// transient becomes a start frame), transforms and quantises that frame, and
// hands it to the payload writer. The first two iterations run on silence
// and write nothing, so frame t (from 1) carries input frame t - 2 as the
// newer half of its transform; the loop runs until ceil(N / 1024) + 3
// frames have been written.
//
// When the input ends before the promised samplesPerChannel (a pipe whose WAV
// header could not state the length), the session takes the whole sample
// frames that arrived as the length from then on, so it writes exactly the
// frames that an encode told that length in advance would write. An
// iteration runs only once its bank is full (or the input has ended), so
// the bytes do not depend on how the input is cut into calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/band_tables.h"
#include "common/byte_sink.h"
#include "encoder/block_decision.h"
#include "encoder/encoder_config.h"
#include "encoder/frame_coder.h"
#include "encoder/payload_writer.h"
#include "encoder/presets.h"
#include "encoder/psychoacoustic_model.h"

namespace qmz {

class Encoder {
  public:
    // `channels` (1 or 2) channels of 16-bit samples; samplesPerChannel is
    // the most that will be taken (and the scale of the progress reports).
    // The sink's next byte is the first behind the container header.
    // observer may be null; so may policy, for the preset's own decisions
    // (a policy given must outlive the session).
    Encoder(int channels, int32_t samplesPerChannel, const PresetParams& preset, ByteSink& payload,
            EncoderObserver* observer, const EncoderPolicy* policy = nullptr);

    // Takes up to `frames` interleaved sample frames and codes every frame
    // of the loop they complete. Returns the sample frames taken: fewer than
    // offered once samplesPerChannel are in, or once the loop has stopped.
    std::size_t encode(const int16_t* interleaved, std::size_t frames);
    // The same from one array per channel (planes[1] is not read for mono).
    std::size_t encode(const int16_t* const planes[kMaxChannels], std::size_t frames);
    // The input has ended: codes the rest of the loop and writes the end of
    // the payload. False when the sink has refused bytes.
    bool finish();

    // True when the payload writer refused a frame (a quantiser value outside
    // the stream's alphabets); the loop stops then.
    bool failed() const { return failed_; }
    // Sample frames per channel coded: the promised count, or fewer when the
    // input ended early (final once finish() has run).
    int32_t samplesPerChannel() const { return samplesPerChannel_; }
    int framesWritten() const { return frameCounter_ < 1 ? 0 : frameCounter_; }
    int64_t payloadBitCount() const { return writer_.payloadBitCount(); }
    // Frames with each block type written so far (long, start, short, stop).
    const std::array<int, 4>& blockTypeCounts() const { return blockTypeCounts_; }

  private:
    using Bank = std::array<std::array<double, kFrameLength>, kMaxChannels>;
    using AnalysisBank = std::array<PsyBandResults, kMaxChannels>;

    std::size_t take(const int16_t* const first[kMaxChannels], std::ptrdiff_t stride,
                     std::size_t frames);
    void runSilentStart();
    void runIteration();
    void takeFilledBank();
    bool analyseCurrentBank();
    void codePreviousBank(BlockType type);

    int channels_;
    int32_t samplesPerChannel_;
    EncoderConfig config_;
    PresetPolicy presetPolicy_;
    const EncoderPolicy& policy_;
    EncoderObserver* observer_;
    FramePayloadWriter writer_;

    std::array<Bank, 2> inputBanks_{};
    std::array<AnalysisBank, 2> analysisBanks_{};
    int current_ = 0;  // index of the current bank; the other is the previous one
    int filled_ = 0;   // sample frames waiting in the other bank for the next iteration
    FrameCoderState coder_;
    PsyState psy_;
    BlockSequencer sequencer_;
    std::array<int, 4> blockTypeCounts_{};

    int frameCounter_ = -2;
    int64_t remaining_;
    int64_t samplesRead_ = 0;
    ProgressReport progress_;
    bool done_ = false;
    bool failed_ = false;
};

}  // namespace qmz
