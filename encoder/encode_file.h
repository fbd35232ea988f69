// Encodes a parsed WAV stream into a .qmz stream, frame by frame, in constant
// memory: placeholder header, payload, then the final header over the
// placeholder.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "encoder/encoder.h"
#include "encoder/presets.h"
#include "encoder/wav_reader.h"

namespace qmz {

struct EncodeFileResult {
    bool writeFailed = false;       // the output stream failed (a full disk, say)
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

// Sample frames per channel that will be coded: the data size's whole sample
// frames, limited by a positive clip to its whole seconds at 44.1 kHz. When it
// clips, `dataChunk.size` becomes the clipped size.
int32_t codedSamplesPerChannel(DataChunkHeader& dataChunk, int channels, float clipSeconds);

// Whether the input holds more than the container can record and the clip
// does not stop short of that; known before coding for a file, only at the
// end for a stream of unknown length.
bool dropsInput(const WavInput& input, const EncoderOptions& options);

// Payload bits per frame scaled to the input's own sample rate, truncated;
// kept inside the header field's range whatever rate the file declares.
int32_t averageBitRate(int64_t payloadBits, int frames, uint32_t sampleRate);

// `wav` stands at the first sample byte of `input`; `qmz` must be able to seek
// back to where it stood (the start of the file) for the final header. When
// `wav` ends before the data size promised (or input.lengthUnknown), the
// samples that arrived are coded and the final header records their number
// and size, the same for every thread count; no percentage is reported while
// the length is unknown. Samples other than 16-bit are converted on the way
// (see sample_conversion.h).
EncodeFileResult encodeWav(std::istream& wav, const WavInput& input, std::ostream& qmz,
                           const EncoderOptions& options, EncoderObserver* observer);

}  // namespace qmz
