// The hand-made adversarial corpus (tests/data/adversarial, written by
// qmz_make_corpus): every file is either handled as the format defines or
// refused with a precise report, never crashed on or silently mangled.
#include <gtest/gtest.h>

#include <sstream>

#include "codec_harness.h"

namespace qmz {
namespace {

std::string corpusFile(const std::string& name) {
    return test::readDataFile("adversarial/" + name);
}

struct QmzCase {
    const char* file;
    DecodeError error;
    int64_t minFrames, maxFrames;  // sample frames per channel the output keeps
};

class AdversarialQmz : public ::testing::TestWithParam<QmzCase> {};

TEST_P(AdversarialQmz, DecodesOrIsRefusedExactly) {
    const QmzCase& c = GetParam();
    const std::string bytes = corpusFile(c.file);
    ASSERT_FALSE(bytes.empty()) << c.file;
    const test::Decoded d = test::decodeImage(bytes);
    EXPECT_EQ(d.result.error, c.error) << describeDecodeError(d.result.error);
    EXPECT_GE(d.result.framesWritten, c.minFrames);
    EXPECT_LE(d.result.framesWritten, c.maxFrames);
    if (!d.wav.empty()) {
        // Whatever was kept is a consistent WAV file.
        EXPECT_GE(test::headerWord(d.wav, 40), d.wav.size() - 44);
        if (c.error != DecodeError::None) {
            EXPECT_EQ(test::headerWord(d.wav, 40), d.wav.size() - 44);
        }
    }
}

const int64_t kThreeSeconds = 3 * 44100;

INSTANTIATE_TEST_SUITE_P(
    Corpus, AdversarialQmz,
    ::testing::Values(
        // The stream runs out inside the frame after its real last one.
        QmzCase{"qmz_more_samples_than_stream.qmz", DecodeError::Truncated, kThreeSeconds,
                131 * 1024},
        QmzCase{"qmz_zero_samples.qmz", DecodeError::None, 0, 0},
        QmzCase{"qmz_negative_samples.qmz", DecodeError::BadHeader, 0, 0},
        QmzCase{"qmz_channels_0.qmz", DecodeError::BadHeader, 0, 0},
        QmzCase{"qmz_channels_3.qmz", DecodeError::BadHeader, 0, 0},
        QmzCase{"qmz_channels_65535.qmz", DecodeError::BadHeader, 0, 0},
        QmzCase{"qmz_placeholder_header.qmz", DecodeError::Incomplete, 0, 0},
        QmzCase{"qmz_wrong_magic.qmz", DecodeError::NotQmz, 0, 0},
        QmzCase{"qmz_cut_inside_header.qmz", DecodeError::Truncated, 0, 0},
        // Frames 3 .. 44 complete before the record: 42 frames of samples.
        QmzCase{"qmz_cut_at_resync_record.qmz", DecodeError::Truncated, 42 * 1024, 42 * 1024},
        QmzCase{"qmz_cut_inside_frame.qmz", DecodeError::Truncated, 1024, kThreeSeconds - 1},
        // The decoder never reads the last frame or the end markers.
        QmzCase{"qmz_cut_after_last_frame_read.qmz", DecodeError::None, 44100, 44100},
        QmzCase{"qmz_escape_index_beyond_unseen.qmz", DecodeError::DamagedStream, 0, 0},
        QmzCase{"qmz_block_type_5.qmz", DecodeError::DamagedStream, 0, 0},
        QmzCase{"qmz_block_type_150.qmz", DecodeError::DamagedStream, 0, 0},
        QmzCase{"qmz_block_type_minus_1.qmz", DecodeError::DamagedStream, 0, 0},
        // A run past the block's end ends the block: a valid decode.
        QmzCase{"qmz_run_overshoots_block.qmz", DecodeError::None, 1, 1},
        QmzCase{"qmz_gain_minus_scalefactor_below_table.qmz", DecodeError::DamagedStream, 0, 0}),
    [](const auto& info) {
        return std::string(info.param.file).substr(0, std::string(info.param.file).size() - 4);
    });

TEST(AdversarialQmz, CutAfterTheLastFrameReadDecodesLikeTheWholeFile) {
    const test::Decoded cut = test::decodeImage(corpusFile("qmz_cut_after_last_frame_read.qmz"));
    signals::MusicSignal signal;
    signal.channels = 1;
    const test::Decoded whole = test::decodeImage(
        test::encodeImage(signals::wavFileImage(signals::render(signal, 44100), 1)).qmz);
    EXPECT_EQ(cut.wav, whole.wav);
}

struct WavCase {
    const char* file;
    WavReadError error;
    uint32_t codedDataSize;  // for accepted files: the size the container records
};

class AdversarialWav : public ::testing::TestWithParam<WavCase> {};

TEST_P(AdversarialWav, ParsesOrIsRefusedExactly) {
    const WavCase& c = GetParam();
    const std::string bytes = corpusFile(c.file);
    ASSERT_FALSE(bytes.empty()) << c.file;
    std::istringstream in(bytes);
    WavInput input;
    ASSERT_EQ(parseWavHeader(in, input), c.error) << c.file;
    if (c.error != WavReadError::Ok) return;
    const test::Encoded e = test::encodeImage(bytes);
    EXPECT_EQ(test::headerWord(e.qmz, 36), c.codedDataSize);
    const test::Decoded d = test::decodeImage(e.qmz);
    EXPECT_EQ(d.result.error, DecodeError::None);
    EXPECT_EQ(d.samples.size(), c.codedDataSize / 2 / 2 * 2);  // whole stereo sample frames
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, AdversarialWav,
    ::testing::Values(WavCase{"wav_data_before_format.wav", WavReadError::BadFormatChunk, 0},
                      WavCase{"wav_two_chunks_before_data.wav", WavReadError::DataNotFound, 0},
                      // The wider formats are converted: their whole frames, in 16 bits.
                      WavCase{"wav_format_tag_3_float.wav", WavReadError::Ok, 4},
                      // An extensible block without a known sub-format.
                      WavCase{"wav_format_tag_fffe_extensible.wav", WavReadError::NotPcm, 0},
                      WavCase{"wav_8_bit.wav", WavReadError::UnsupportedBits, 0},
                      WavCase{"wav_24_bit.wav", WavReadError::Ok, 8},
                      WavCase{"wav_32_bit.wav", WavReadError::Ok, 4},
                      WavCase{"wav_data_size_0.wav", WavReadError::Ok, 0},
                      // Only the 12 bytes present are coded, and recorded.
                      WavCase{"wav_data_size_ffffffff.wav", WavReadError::Ok, 12},
                      // An odd size that fits is kept as the input's own.
                      WavCase{"wav_data_odd_byte_count.wav", WavReadError::Ok, 13}),
    [](const auto& info) {
        return std::string(info.param.file).substr(0, std::string(info.param.file).size() - 4);
    });

}  // namespace
}  // namespace qmz
