// QMZ codec library: encode 16-bit PCM into .qmz streams and decode them back.
//
// This is the whole public interface of the installed library (CMake:
// find_package(qmz) and link qmz::codec). Everything runs in the calling
// thread, in constant memory, with no exceptions: every operation reports a
// Status, and an object that failed stays failed.
//
// Encoding caller-provided PCM:
//
//     std::ofstream out("tone.qmz", std::ios::binary);
//     qmz::StreamEncoder encoder(qmz::PcmFormat{2, 44100}, out);
//     encoder.write(samples.data(), samples.size() / 2);  // interleaved L R L R ...
//     if (encoder.finish() != qmz::Status::Ok) ...        // header written last
//
// Encoding a WAV stream (mono or stereo; 16-bit PCM, or 24/32-bit PCM and
// 32-bit float converted to 16 bits with dither):
//
//     std::ifstream wav("song.wav", std::ios::binary);
//     qmz::StreamEncoder encoder(wav, out, {qmz::QualityPreset::B});
//     encoder.finish();  // reads and codes every sample that arrives
//
// Decoding:
//
//     qmz::StreamDecoder decoder(in);
//     std::vector<int16_t> pcm(4096 * decoder.format().channels);
//     while (std::size_t frames = decoder.read(pcm.data(), 4096)) { ...use frames... }
//     if (decoder.status() != qmz::Status::Ok) ...  // truncated or damaged
//
// Decoding through damage (a seekable stream): silence over what does not
// read, the full length kept, the damage listed:
//
//     qmz::StreamDecoder decoder(in, qmz::DecodeSettings{.keepGoing = true});
//     while (std::size_t frames = decoder.read(pcm.data(), 4096)) { ... }
//     for (const qmz::DamagedRange& r : decoder.damagedRanges()) ...
//
// Decoding bytes as they arrive (from a socket, a demuxer, memory):
//
//     qmz::StreamDecoder decoder;
//     decoder.push(bytes, size);  // returns how many it took
//     std::size_t frames = decoder.read(pcm.data(), 4096);
//     if (frames == 0 && decoder.needsInput()) ...  // push more, or endInput()
//
// Decoder output sample k is encoder input sample k; the stream carries
// exactly the number of sample frames that were encoded.
//
// Seeking (a decoder over a seekable std::istream: a file, a string stream,
// or any stream buffer that can seek, such as a demuxer's own bytes):
//
//     if (decoder.seek(44100 * 151) == qmz::Status::Ok) decoder.read(...);
//
// read() then goes on from exactly that sample frame. The decode restarts at
// the resync point (one every 45 frames, about a second) before it, so a seek
// costs at most about a second of decoding. Files written with a seek table
// (EncodeSettings::seekTable, qmzenc --seek-table) give after a seek exactly
// the samples of a decode from the start. Without the table the first seek
// scans the file once for the resync points, and the lines the encoder
// replaced by noise (noise substitution, in bands too noisy to code) get
// noise of the same level and spectrum but not the same values; every other
// line is exact, and so is the length.
//
// Tags (title, artist, ... and a cover picture) live in a block after the end
// of the stream, which no decoder reads:
//
//     qmz::FileTags tags;
//     tags.fields = {{"TITLE", "Song"}, {"ARTIST", "Someone"}};
//     qmz::writeTags("song.qmz", tags);  // after the encoder has finished
//     qmz::readTags("song.qmz", tags);
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qmz {

enum class Status {
    Ok = 0,
    InvalidArgument,  // a channel count other than 1 or 2, or a call the object's mode forbids
    NotWav,           // the WAV source is not RIFF/WAVE of a sample format read, mono or stereo
    WriteFailed,      // the .qmz destination refused bytes
    InternalError,    // the quantiser produced a value the stream cannot carry
    TooLong,          // more sample frames than a .qmz header can record
    Finished,         // write() or finish() after finish()
    NotQmz,           // the source is not a .qmz stream
    Incomplete,       // a .qmz stream whose encoder never finished
    BadHeader,        // a .qmz header with an impossible channel count or length
    Truncated,        // the .qmz stream ends before its last frame
    Damaged,          // the .qmz stream holds bits no encoder writes
    CannotOpen,       // the file cannot be opened, read or written
    BadTags,          // the file ends in a damaged tag block (it is ignored)
    NotSeekable,      // seek() on a stream that cannot seek (a pipe) or on pushed bytes
};

// Plain words for a status.
const char* describeStatus(Status status);

// Quality presets, from the largest files (AAA) to the smallest (E, which
// also codes stereo as mid and side).
enum class QualityPreset { AAA, AA, A, B, C, D, E };

struct EncodeSettings {
    QualityPreset preset = QualityPreset::A;
    // Above 0: code at most this many whole seconds (at 44100 sample frames
    // per second) and ignore the rest.
    double clipSeconds = 0.0;
    // The quality mode instead of the preset (which is then not read), with
    // the same stream syntax. quality >= 0: a variable rate at a quality
    // from 0 (smallest files) to 10 (best), fractions allowed; 5 gives about
    // 128 kbit/s on music. bitrate > 0: an average of that many kbit/s
    // (48..320) over the stream; a WAV source that can seek is measured in
    // trial passes first and lands within a few per cent, while PCM written
    // by the caller (and a WAV pipe) gets one pass at the quality that
    // usually gives that rate. A stereo WAV source that can seek is read
    // once first to choose mid and side or left and right; PCM written by
    // the caller and a WAV pipe are coded as left and right. A value out of
    // range, or both at once: InvalidArgument.
    double quality = -1.0;
    int bitrate = 0;
    // Append a seek table after the stream (in the tag block, which decoders
    // do not read): seeks need no scan and give exactly the samples of a
    // linear decode. Off, the file's bytes are those of the preset alone.
    bool seekTable = false;
};

// Interleaved signed 16-bit samples. The codec is tuned for 44100 Hz; another
// rate is recorded and declared again by the decoder, not converted.
struct PcmFormat {
    int channels = 2;  // 1 or 2
    uint32_t sampleRate = 44100;
};

// Writes `size` bytes at byte `offset` of the .qmz stream; false on failure.
// The encoder writes the stream front to back, and at the end rewrites its
// first 266 bytes (the header) once.
using QmzWriteAt = std::function<bool(uint64_t offset, const uint8_t* bytes, std::size_t size)>;

// Where an encoder puts the .qmz bytes: a stream that can seek back to where
// it stood when the encoder was opened (a file, a std::stringstream), or a
// positioned-write callback.
class QmzSink {
  public:
    QmzSink(std::ostream& stream) : stream_(&stream) {}            // NOLINT: implicit on purpose
    QmzSink(QmzWriteAt writeAt) : writeAt_(std::move(writeAt)) {}  // NOLINT

  private:
    friend class StreamEncoder;
    std::ostream* stream_ = nullptr;
    QmzWriteAt writeAt_;
};

struct EncodeSummary {
    int64_t samplesPerChannel = 0;  // sample frames per channel coded
    int64_t frames = 0;             // frames in the payload
    int32_t averageBitRate = 0;     // payload bits per second
};

class StreamEncoder {
  public:
    // An encoder for PCM the caller feeds with write().
    StreamEncoder(const PcmFormat& format, QmzSink sink, const EncodeSettings& settings = {});
    // An encoder for the WAV stream `wav` (standing at its start); its header
    // is read here, the samples by finish(). A WAV whose data size is
    // unknown (0 or 0xFFFFFFFF from a pipe) or too large is coded as far as
    // its samples really go.
    StreamEncoder(std::istream& wav, QmzSink sink, const EncodeSettings& settings = {});
    ~StreamEncoder();
    StreamEncoder(const StreamEncoder&) = delete;
    StreamEncoder& operator=(const StreamEncoder&) = delete;

    Status status() const;
    PcmFormat format() const;  // the WAV source's format in WAV mode

    // Codes `sampleFrames` interleaved sample frames (sampleFrames x channels
    // values). Coding runs as whole frames of 1024 sample frames fill up.
    Status write(const int16_t* interleaved, std::size_t sampleFrames);
    // Codes what is left, ends the stream and writes the final header. The
    // .qmz bytes are complete only once this returned Ok.
    Status finish();
    EncodeSummary summary() const;  // final after finish()

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// UTF-8 "KEY=value" fields (the usual names: TITLE, ARTIST, ALBUM, DATE,
// TRACKNUMBER, GENRE, COMMENT) and at most one picture.
struct CoverPicture {
    std::string mimeType;  // "image/jpeg", "image/png", ...
    std::string description;
    std::vector<uint8_t> data;
};

struct FileTags {
    // Keys are printable ASCII without '=' and read back upper case; a key
    // may repeat. Values are UTF-8.
    std::vector<std::pair<std::string, std::string>> fields;
    std::optional<CoverPicture> picture;
};

// Reads the tags at the end of the .qmz file `path`: Ok (and no fields) for a
// file without tags; BadTags, with `tags` empty, when the block there is
// damaged; CannotOpen, or NotQmz for a file that is not a .qmz file.
Status readTags(const std::string& path, FileTags& tags);

// Replaces the tags of the .qmz file `path` (empty tags remove them); the
// stream before them is not touched. InvalidArgument for a key or value that
// cannot be stored (nothing is written), BadTags when the file ends in a
// damaged block (whose end of stream is then unknown: nothing is written),
// CannotOpen when the file cannot be written. Not safe against a crash
// midway: the stream stays whole, the tags may then read as damaged.
Status writeTags(const std::string& path, const FileTags& tags);

struct DecodeSettings {
    // Decode through damage: at a stretch of the stream that does not read,
    // hand out silence (with a short fade out and in) up to the next resync
    // point that reads, about a second on, and go on from there, so that the
    // output still holds samplesPerChannel() sample frames. status() then
    // ends as Damaged (or Truncated) after the last sample, and
    // damagedRanges() lists what was replaced. Needs a stream that can seek
    // (a file, a string stream); on one that cannot, the decode stops at the
    // damage as without the setting.
    bool keepGoing = false;
};

// Sample frames first .. end - 1 that a keep-going decode replaced.
struct DamagedRange {
    int64_t first = 0;
    int64_t end = 0;
};

class StreamDecoder {
  public:
    // Reads the .qmz header from `qmz` (standing at its start); see status().
    explicit StreamDecoder(std::istream& qmz);
    StreamDecoder(std::istream& qmz, const DecodeSettings& settings);
    // A decoder for .qmz bytes handed over with push(), from the stream's
    // first byte (its header) on.
    StreamDecoder();
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // Ok, or why the header was refused or the stream stopped.
    Status status() const;
    // The format the encoder was given (channels, declared sample rate).
    PcmFormat format() const;
    int64_t samplesPerChannel() const;

    // Stores up to maxSampleFrames interleaved sample frames in `interleaved`
    // and returns their number; 0 once the stream is done or has failed, or
    // (for pushed bytes) when needsInput().
    std::size_t read(int16_t* interleaved, std::size_t maxSampleFrames);

    // For a decoder made without a stream: takes the next .qmz bytes and
    // returns how many it took. It holds some tens of kilobytes at most;
    // once it takes fewer than it was given, read() before pushing the rest.
    std::size_t push(const uint8_t* bytes, std::size_t size);
    // No more bytes will be pushed: the rest is decoded from what came, and
    // a stream cut short ends with status() Truncated.
    void endInput();
    // True when read() stopped because the next frame may need bytes not
    // pushed yet (a frame is decoded only once all of its bytes are here or
    // the input has ended). format() and samplesPerChannel() are known once
    // the 266-byte header has been pushed.
    bool needsInput() const;

    // With DecodeSettings::keepGoing: the ranges replaced so far.
    std::vector<DamagedRange> damagedRanges() const;

    // Goes to sample frame `sampleFrame` (0 .. samplesPerChannel(); the
    // length itself leaves nothing to read): the next read() starts there.
    // NotSeekable for pushed bytes and for a stream that cannot seek (a
    // pipe), InvalidArgument for a frame outside the stream, Truncated or
    // Damaged when the stream does not reach that far intact; the decoder is
    // then left where it stood. A seek also leaves a stream that stopped at
    // damage: read() goes on from the new position. With
    // DecodeSettings::keepGoing the decode goes on through damage from there.
    Status seek(int64_t sampleFrame);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qmz
