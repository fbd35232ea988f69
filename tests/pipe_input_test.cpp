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

}  // namespace
}  // namespace qmz
