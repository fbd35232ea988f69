#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "decoder/decode_file.h"

namespace qmz {
namespace {

std::string readFile(const std::string& name) {
    std::ifstream in(std::string(QMZ_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DecoderVector : public ::testing::TestWithParam<const char*> {};

// The decoder writes the conformance WAV files byte for byte.
TEST_P(DecoderVector, DecodesToTheReferenceWav) {
    const std::string stem = GetParam();
    std::istringstream source(readFile(stem + ".qmz"));
    std::ostringstream dest;
    const DecodeFileResult result = decodeFile(source, dest);
    ASSERT_EQ(result.error, DecodeError::None);
    // Encoder vectors keep their decoded form beside the encoder's input.
    const std::string expected =
        readFile(stem + (stem.rfind("enc", 0) == 0 ? ".decoded.wav" : ".wav"));
    const std::string got = dest.str();
    ASSERT_EQ(got.size(), expected.size());
    std::size_t firstDiff = 0, diffs = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] != expected[i]) {
            if (diffs++ == 0) firstDiff = i;
        }
    }
    EXPECT_EQ(diffs, 0u) << "first difference at byte " << firstDiff;
}

INSTANTIATE_TEST_SUITE_P(Vectors, DecoderVector,
                         ::testing::Values("dec1_stereo", "dec2_stereo_midside", "dec3_mono",
                                           "enc1_stereo-A", "enc1_stereo-E", "enc2_mono-AAA",
                                           "enc2_mono-C"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& ch : name) {
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace qmz
