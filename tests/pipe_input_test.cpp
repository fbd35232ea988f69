// Encoding a WAV stream that cannot seek and whose header may not state the
// length (a pipe): the samples that arrive are coded exactly as a file of the
// same samples would be.
#include <gtest/gtest.h>

#include <regex>
#include <streambuf>

#include "codec_harness.h"
#include "signals/music_signal.h"

namespace qmz {
namespace {

// Hands out a byte string and refuses every seek, as a pipe does.
class PipeBuffer final : public std::streambuf {
  public:
    explicit PipeBuffer(std::string bytes) : bytes_(std::move(bytes)) {
        setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
    }

  private:
    std::string bytes_;
};

// The WAV image with its data chunk's size field replaced.
std::string withDataSize(std::string wav, uint32_t size) {
    const std::size_t at = wav.find("data") + 4;
    for (int b = 0; b < 4; ++b) wav[at + b] = static_cast<char>((size >> (8 * b)) & 0xFF);
    return wav;
}

test::Encoded encodePiped(const std::string& wavImage, const std::vector<std::string>& args) {
    PipeBuffer pipe(wavImage);
    std::istream wav(&pipe);
    WavInput input;
    test::Encoded e;
    if (parseWavHeader(wav, input) != WavReadError::Ok) return e;
    std::ostringstream out;
    test::TextObserver observer;
    e.result = encodeWav(wav, input, out, parseEncoderOptions(args), &observer);
    e.qmz = out.str();
    e.console = observer.text;
    return e;
}

std::string withoutPercentages(const std::string& console) {
    return std::regex_replace(console, std::regex("\r -?[0-9]+%"), "");
}

std::string musicWav(int64_t frames, int channels) {
    signals::MusicSignal signal;
    signal.channels = channels;
    return signals::wavFileImage(signals::render(signal, frames), channels);
}

TEST(PipeInput, UnknownOrOverstatedLengthCodesLikeTheFile) {
    // Lengths around the frame boundaries, where the end of the loop is decided.
    for (const int64_t frames : {0, 1, 1023, 1024, 1025, 4096, 6000}) {
        for (const int channels : {1, 2}) {
            SCOPED_TRACE("frames " + std::to_string(frames) + ", channels " +
                         std::to_string(channels));
            const std::string wav = musicWav(frames, channels);
            const test::Encoded file = test::encodeImage(wav, {"-E"});
            ASSERT_FALSE(file.qmz.empty());
            const uint32_t overstated = static_cast<uint32_t>(frames * channels * 2 + 50000);
            for (const uint32_t declared : {0xFFFFFFFFu, 0u, overstated}) {
                SCOPED_TRACE("declared size " + std::to_string(declared));
                const test::Encoded piped = encodePiped(withDataSize(wav, declared), {"-E"});
                EXPECT_TRUE(piped.qmz == file.qmz);
                EXPECT_EQ(piped.result.samplesPerChannel, frames);
                EXPECT_EQ(piped.result.frames, file.result.frames);
                EXPECT_EQ(piped.result.avgBitRate, file.result.avgBitRate);
                EXPECT_EQ(withoutPercentages(piped.console), withoutPercentages(file.console));
            }
        }
    }
}

TEST(PipeInput, PercentagesOnlyWhenTheLengthIsStated) {
    const std::string wav = musicWav(44100, 2);
    const test::Encoded unknown = encodePiped(withDataSize(wav, 0xFFFFFFFFu), {"-A"});
    EXPECT_EQ(unknown.console.find('%'), std::string::npos);
    EXPECT_NE(unknown.console.find('*'), std::string::npos);  // the markers stay
    // Nor against a clip, which is only the most that will be coded.
    const test::Encoded clipped =
        encodePiped(withDataSize(wav, 0xFFFFFFFFu), {"-A", "-td", "0.9", "-td", "1"});
    EXPECT_EQ(clipped.result.samplesPerChannel, 44100);
    EXPECT_EQ(clipped.console.find('%'), std::string::npos);
    // A pipe that states its length exactly shows the file's progress.
    const test::Encoded stated = encodePiped(wav, {"-A"});
    EXPECT_EQ(stated.console, test::encodeImage(wav, {"-A"}).console);
}

TEST(PipeInput, ClipOnAnUnknownLength) {
    const std::string wav = musicWav(3 * 44100 + 100, 1);
    const std::string piped = withDataSize(wav, 0xFFFFFFFFu);
    // Clipped: two whole seconds, as from the file.
    test::Encoded clipped = encodePiped(piped, {"-C", "-td", "2.5"});
    EXPECT_EQ(clipped.result.samplesPerChannel, 2 * 44100);
    EXPECT_TRUE(clipped.qmz == test::encodeImage(wav, {"-C", "-td", "2.5"}).qmz);
    // A clip longer than what arrives codes what arrives.
    clipped = encodePiped(piped, {"-C", "-td", "10"});
    EXPECT_EQ(clipped.result.samplesPerChannel, 3 * 44100 + 100);
    EXPECT_TRUE(clipped.qmz == test::encodeImage(wav, {"-C"}).qmz);
}

TEST(PipeInput, PartialTrailingSampleFrameIsDropped) {
    const std::string wav = musicWav(3000, 2);
    const test::Encoded piped = encodePiped(withDataSize(wav + "\x01\x02\x03", 0xFFFFFFFFu), {});
    EXPECT_EQ(piped.result.samplesPerChannel, 3000);
    const test::Encoded file = test::encodeImage(wav, {});
    EXPECT_TRUE(piped.qmz == file.qmz);
    // The header records the real data size.
    EXPECT_EQ(test::headerWord(piped.qmz, 36), 3000u * 4u);
}

// A file that can seek (so its length is checked while the header is read)
// and then delivers fewer bytes than it had: it shrank, or a read failed.
class ShrinkingFile final : public std::streambuf {
  public:
    explicit ShrinkingFile(std::string bytes) : bytes_(std::move(bytes)) {
        setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
    }
    void shrinkTo(std::size_t size) { setg(eback(), gptr(), eback() + size); }

  protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        const off_type base = dir == std::ios_base::beg   ? 0
                              : dir == std::ios_base::cur ? gptr() - eback()
                                                          : egptr() - eback();
        return seekpos(pos_type(base + off), std::ios_base::in);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override {
        if (pos < 0 || pos > egptr() - eback()) return pos_type(off_type(-1));
        setg(eback(), eback() + static_cast<off_type>(pos), egptr());
        return pos;
    }

  private:
    std::string bytes_;
};

// Every thread count codes what arrived as the file of that length would be
// coded, and reports that the input came up short.
TEST(PipeInput, FileThatShrinksAfterItsLengthWasChecked) {
    const int64_t frames = 200000;  // five segments of the threaded loop
    const std::string wav = musicWav(frames, 2);
    // Sample frames left: none, inside the first frame, at a frame and at a
    // segment boundary, a frame after one, and just short of the end.
    for (const int64_t left : {0, 500, 1024, 45 * 1024, 46 * 1024 + 1, 2 * 46080 + 7, 199999}) {
        const std::string shorter = wav.substr(0, 44 + static_cast<std::size_t>(left) * 4);
        const test::Encoded reference = test::encodeImage(withDataSize(shorter, 0xFFFFFFFFu));
        ASSERT_EQ(reference.result.samplesPerChannel, left);
        for (const char* threads : {"1", "2", "3"}) {
            SCOPED_TRACE(std::to_string(left) + " frames left, -j " + threads);
            ShrinkingFile file(wav);
            std::istream in(&file);
            WavInput input;
            ASSERT_EQ(parseWavHeader(in, input), WavReadError::Ok);
            ASSERT_TRUE(input.lengthExact);
            file.shrinkTo(shorter.size());
            std::ostringstream out;
            const EncodeFileResult r =
                encodeWav(in, input, out, parseEncoderOptions({"-A", "-j", threads}), nullptr);
            EXPECT_TRUE(r.inputEndedEarly);
            EXPECT_EQ(r.samplesPerChannel, left);
            EXPECT_EQ(r.frames, reference.result.frames);
            EXPECT_TRUE(out.str() == reference.qmz);
        }
    }
    // Nor is an input that delivers what it promised reported.
    EXPECT_FALSE(test::encodeImage(wav, {"-A", "-j", "2"}).result.inputEndedEarly);
}

}  // namespace
}  // namespace qmz
