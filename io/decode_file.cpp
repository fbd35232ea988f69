#include "io/decode_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <istream>
#include <memory>
#include <ostream>
#include <vector>

#include "common/little_endian.h"
#include "io/seek_index.h"
#include "io/wav_writer.h"

namespace qmz {
bool rewriteWavHeader(std::ostream& dest, const WavFormatBlock& format, int64_t frames, int channels) {
    const std::streampos end = dest.tellp();
    if (end == std::streampos(-1)) return false;
    dest.seekp(0);
    if (!dest) {
        dest.clear();
        return false;
    }
    writeWavHeader(dest, outputDataSize(frames, channels), format);
    dest.seekp(end);
    return static_cast<bool>(dest);
}

StreamFeed::StreamFeed(std::istream& source) : source_(source), chunk_(32 * 1024) {}

std::span<const uint8_t> StreamFeed::next() {
    if (next_ == size_ && source_) {
        source_.read(reinterpret_cast<char*>(chunk_.data()),
                     static_cast<std::streamsize>(chunk_.size()));
        next_ = 0;
        size_ = static_cast<std::size_t>(source_.gcount());
    }
    return std::span<const uint8_t>(chunk_.data() + next_, size_ - next_);
}

int64_t StreamFeed::skipToEnd() {
    int64_t skipped = 0;
    for (std::span<const uint8_t> bytes = next(); !bytes.empty(); bytes = next()) {
        skipped += static_cast<int64_t>(bytes.size());
        taken(bytes.size());
    }
    return skipped;
}

DecodeError readQmzHeader(std::istream& source, ContainerFile& file) {
    std::array<uint8_t, kContainerHeaderSize> bytes{};
    source.read(reinterpret_cast<char*>(bytes.data()), bytes.size());
    return readContainerHeader(bytes.data(), static_cast<std::size_t>(source.gcount()), file);
}

DecodeFileResult decodeFile(std::istream& source, std::ostream& dest) {
    ContainerFile file;
    DecodeFileResult result;
    result.error = readQmzHeader(source, file);
    if (result.error != DecodeError::None) return result;
    return decodeToWav(source, file, dest);
}

DecodeFileResult decodeToWav(std::istream& source, const ContainerFile& file, std::ostream& dest) {
    return decodeRangeToWav(source, file, dest, SampleRange{});
}

DecodeFileResult decodeRangeToWav(std::istream& source, const ContainerFile& file,
                                  std::ostream& dest, const SampleRange& range) {
    DecodeFileResult result;
    const int64_t length = file.header.samplesPerChannel;
    const int64_t first = std::clamp<int64_t>(range.first, 0, length);
    const int64_t count = std::clamp<int64_t>(range.end, first, length) - first;
    // The header goes out before the first sample, so that a destination that
    // cannot seek (a pipe) still gets a complete file: it declares every
    // sample frame the stream promises.
    const WavFormatBlock format = outputFormatBlock(file);
    if (!writeWavHeader(dest, outputDataSize(count, file.header.channels), format)) {
        result.writeFailed = true;
        return result;
    }
    // The session holds about 200 KB of frame state: keep it off the stack.
    auto decoder = std::make_unique<Decoder>(file);
    if (first > 0) {
        // A pipe, or a stream whose records cannot be found, is decoded from
        // the start, dropping what comes before the range.
        SeekPoint point;
        const std::streampos payloadStart = source.tellg();
        if (findSeekPoint(source, file, first, point)) {
            source.seekg(payloadStart + static_cast<std::streamoff>(point.offset));
            decoder->restart(point.frame, point.noiseDraws, first);
        } else {
            decoder->restart(1, 0, first);
        }
    }
    StreamFeed feed(source);
    const int channels = decoder->channels();
    // Samples go out 16 frames at a time: a stream writes larger pieces
    // straight to the file, so a write per frame would be a system call per
    // frame. On a little-endian machine the samples are already the file's
    // bytes.
    constexpr std::size_t kFrameSamples = kFrameLength * kMaxChannels;
    std::vector<int16_t> pcm(16 * kFrameSamples);
    std::vector<uint8_t> bytes(std::endian::native == std::endian::little ? 0 : 2 * pcm.size());
    std::size_t pending = 0;  // samples
    auto writePending = [&] {
        const char* from = reinterpret_cast<const char*>(pcm.data());
        if constexpr (std::endian::native != std::endian::little) {
            for (std::size_t i = 0; i < pending; ++i)
                storeLe16(bytes.data() + 2 * i, static_cast<uint16_t>(pcm[i]));
            from = reinterpret_cast<const char*>(bytes.data());
        }
        dest.write(from, static_cast<std::streamsize>(2 * pending));
        pending = 0;
    };
    while (!decoder->finished() && result.framesWritten < count) {
        if (pending + kFrameSamples > pcm.size()) {
            writePending();
            if (!dest) break;
        }
        int frames = 0;
        const DecodeStatus status = decoder->decodeFrame(pcm.data() + pending, frames);
        if (status == DecodeStatus::NeedInput) {
            feed.feed(*decoder);
            continue;
        }
        result.error = errorOf(status);
        if (result.error != DecodeError::None) break;
        frames = static_cast<int>(std::min<int64_t>(frames, count - result.framesWritten));
        pending += static_cast<std::size_t>(frames * channels);
        result.framesWritten += frames;
    }
    if (pending > 0 && dest) writePending();
    if (result.error != DecodeError::None && dest)
        result.headerFitted = rewriteWavHeader(dest, format, result.framesWritten, channels);
    dest.flush();
    result.writeFailed = !dest;
    return result;
}

}  // namespace qmz
