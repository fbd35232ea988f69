// Encodes a parsed WAV stream into a .qmz stream, frame by frame, in constant
// memory: placeholder header, payload, then the final header over the
// placeholder.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>

#include "common/byte_sink.h"
#include "common/container.h"
#include "encoder/encoder.h"
#include "encoder/presets.h"
#include "encoder/stream_end.h"
#include "io/wav_reader.h"

namespace qmz {

struct EncodeFileResult {
    bool writeFailed = false;       // the output failed (a full disk, say)
    bool internalError = false;     // the quantiser produced a value the stream cannot carry
    // A file whose length was checked delivered fewer samples (it shrank, or
    // a read failed): what arrived was coded, but it is not the input.
    bool inputEndedEarly = false;
    // More input than the container can record, and no clip below that: the
    // rest would have been dropped (see dropsInput).
    bool inputTooLong = false;
    int32_t samplesPerChannel = 0;  // coded length, after any clip
    int32_t avgBitRate = 0;
    int frames = 0;  // frames in the payload
    std::array<int, 4> blockTypeCounts{};
};

// Where a .qmz stream goes: its bytes in order from the start, then the
// final header over the first kContainerHeaderSize of them.
class QmzOutput : public ByteSink {
  public:
    virtual bool placeHeader(const std::array<uint8_t, kContainerHeaderSize>& header) = 0;

  protected:
    ~QmzOutput() = default;
};

// A QmzOutput on a seekable std::ostream, from where it stands now.
class StreamQmzOutput final : public QmzOutput {
  public:
    explicit StreamQmzOutput(std::ostream& out);
    bool put(const uint8_t* bytes, std::size_t count) override;
    bool placeHeader(const std::array<uint8_t, kContainerHeaderSize>& header) override;
    bool failed() const;

  private:
    std::ostream& out_;
    int64_t start_;
};

// Sample frames per channel that will be coded: the data size's whole sample
// frames, limited by a positive clip to its whole seconds at 44.1 kHz. When it
// clips, `dataChunk.size` becomes the clipped size.
int32_t codedSamplesPerChannel(DataChunkHeader& dataChunk, int channels, float clipSeconds);

// Whether the input holds more than the container can record and the clip
// does not stop short of that; known before coding for a file, only at the
// end for a stream of unknown length.
bool dropsInput(const WavInput& input, const EncoderOptions& options);

// `wav` stands at the first sample byte of `input`. When `wav` ends before
// the data size promised (or input.lengthUnknown), the samples that arrived
// are coded and the final header records their number and size, the same
// for every thread count; no percentage is reported while the length is
// unknown. Samples other than 16-bit are converted on the way (see
// sample_conversion.h).
EncodeFileResult encodeWav(std::istream& wav, const WavInput& input, QmzOutput& qmz,
                           const EncoderOptions& options, EncoderObserver* observer);
// The same into a stream that can seek back to where it stood (the start of
// the file) for the final header.
EncodeFileResult encodeWav(std::istream& wav, const WavInput& input, std::ostream& qmz,
                           const EncoderOptions& options, EncoderObserver* observer);

}  // namespace qmz
