// The encoder session: one object per input stream, running the frame loop.
//
// The loop keeps two banks of input samples and two of psychoacoustic
// results. Each iteration reads the newest 1024 sample frames per channel
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
// frames that an encode told that length in advance would write.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>

#include "common/band_tables.h"
#include "encoder/block_decision.h"
#include "encoder/encoder_config.h"
#include "encoder/frame_coder.h"
#include "encoder/payload_writer.h"
#include "encoder/presets.h"
#include "encoder/psychoacoustic_model.h"

namespace qmz {

class Encoder {
  public:
    // `samples` stands at the first sample byte of `channels` (1 or 2)
    // interleaved 16-bit channels; `payload` right behind the container
    // header. samplesPerChannel is the most that will be read; an input that
    // ends earlier is coded as long as it is. observer may be null.
    Encoder(std::istream& samples, int channels, int32_t samplesPerChannel,
            const PresetParams& preset, std::ostream& payload, EncoderObserver* observer);

    // Runs one iteration of the frame loop; false once the loop is done.
    bool encodeFrame();
    // Writes the end of the stream; false when the output stream failed.
    bool finish();

    // True when the payload writer refused a frame (a quantiser value outside
    // the stream's alphabets); the loop stops then.
    bool failed() const { return failed_; }
    // Sample frames per channel coded: the promised count, or fewer when the
    // input ended early (final once the loop is done).
    int32_t samplesPerChannel() const { return samplesPerChannel_; }
    int framesWritten() const { return frameCounter_ < 1 ? 0 : frameCounter_; }
    int64_t payloadBitCount() const { return writer_.payloadBitCount(); }
    // Frames with each block type written so far (long, start, short, stop).
    const std::array<int, 4>& blockTypeCounts() const { return blockTypeCounts_; }

  private:
    using Bank = std::array<std::array<double, kFrameLength>, kMaxChannels>;
    using AnalysisBank = std::array<PsyBandResults, kMaxChannels>;

    void fillCurrentBank();
    bool analyseCurrentBank();
    void codePreviousBank(BlockType type);

    std::istream& samples_;
    int channels_;
    int32_t samplesPerChannel_;
    EncoderConfig config_;
    PresetPolicy policy_;
    EncoderObserver* observer_;
    FramePayloadWriter writer_;

    std::array<Bank, 2> inputBanks_{};
    std::array<AnalysisBank, 2> analysisBanks_{};
    int current_ = 0;  // index of the current bank; the other is the previous one
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
