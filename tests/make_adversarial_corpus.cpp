// Writes the hand-made adversarial corpus: .qmz and .wav files, each named by
// its defect, that the decoder and the encoder must either handle as the
// format defines or refuse with a clear report. The files are checked in
// under tests/data/adversarial; run this program to write them again:
//   qmz_make_corpus tests/data/adversarial
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec_harness.h"
#include "common/adaptive_huffman.h"
#include "common/frame_syntax.h"
#include "wav_image.h"

namespace {

using namespace qmz;

std::string music(int64_t frames, int channels) {
    signals::MusicSignal signal;
    signal.channels = channels;
    return signals::wavFileImage(signals::render(signal, frames), channels);
}

std::string replaced(std::string s, std::size_t at, const std::string& bytes) {
    s.replace(at, bytes.size(), bytes);
    return s;
}

// A mono .qmz header for `samples` sample frames followed by a hand-coded
// payload: `code` writes frame 1's symbols with bare models.
template <typename Code>
std::string handCoded(int32_t samples, Code code) {
    ContainerFile file{makeContainerHeader(samples, 0, 1, false),
                       {{'d', 'a', 't', 'a'}, uint32_t(samples) * 2},
                       WavFormatBlock{}};
    const std::string fmt = test::formatBlock(1, 1);
    std::copy(fmt.begin(), fmt.end(), file.format.bytes.begin());
    StringSink out;
    const auto header = serializeContainer(file);
    out.put(header.data(), header.size());
    PayloadBitWriter bits(out);
    AdaptiveHuffmanModel side(kSideAlphabet), sf(kScalefactorAlphabet), line(kLineAlphabet),
        run(kRunAlphabet);
    code(bits, side, sf, line, run);
    for (int i = 0; i < 64; ++i) bits.putBit(0);  // room for the decoder's look-ahead
    bits.putFinalByte();
    bits.flush();
    return out.str();
}

// One long block: gain, 48 scalefactors, then the lines as given.
void longBlock(PayloadBitWriter& bits, AdaptiveHuffmanModel& side, AdaptiveHuffmanModel& sf,
               int gain, int scalefactor) {
    side.encodeSymbol(gain, bits);
    for (int j = 0; j < kLongBandCount; ++j) sf.encodeSymbol(scalefactor, bits);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qmz_make_corpus DIR\n");
        return 1;
    }
    const std::string dir = argv[1];
    std::vector<std::pair<std::string, std::string>> files;

    // .qmz files: header defects.
    const std::string good = test::encodeImage(music(3 * 44100, 2)).qmz;  // 3 s stereo, 133 frames
    files.emplace_back("qmz_more_samples_than_stream.qmz",
                       replaced(good, 4, test::le32(20 * 44100)));
    files.emplace_back("qmz_zero_samples.qmz", test::encodeImage(music(0, 1)).qmz);
    files.emplace_back("qmz_negative_samples.qmz", replaced(good, 4, test::le32(0xFFFFFF00u)));
    files.emplace_back("qmz_channels_0.qmz", replaced(good, 12, test::le16(0)));
    files.emplace_back("qmz_channels_3.qmz", replaced(good, 12, test::le16(3)));
    files.emplace_back("qmz_channels_65535.qmz", replaced(good, 12, test::le16(65535)));
    files.emplace_back("qmz_placeholder_header.qmz", replaced(good, 0, std::string(32, '\0')));
    files.emplace_back("qmz_wrong_magic.qmz", replaced(good, 0, "*QMZ"));

    // Truncation classes.
    const std::size_t record = good.find(std::string(kResyncRecord.begin(), kResyncRecord.end()));
    files.emplace_back("qmz_cut_inside_header.qmz", good.substr(0, 100));
    files.emplace_back("qmz_cut_at_resync_record.qmz", good.substr(0, record + 4));
    files.emplace_back("qmz_cut_inside_frame.qmz", good.substr(0, good.size() / 3));
    {
        // Right after the last frame the decoder reads (F - 1): re-encode frames
        // 1 .. F - 1 alone to find where their bits end.
        const std::string qmz = test::encodeImage(music(44100, 1)).qmz;  // F = 47
        const std::string payload = qmz.substr(kContainerHeaderSize);
        FramePayloadReader reader;
        reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
        StringSink again;
        FramePayloadWriter writer(again);
        std::vector<ChannelBlocks> blocks(1);
        for (int f = 1; f <= 46; ++f) {
            BlockType type;
            reader.readFrame(blocks, type, f);
            writer.writeFrame(blocks, type, f);
        }
        const auto bytesOfFrames = static_cast<std::size_t>((writer.payloadBitCount() + 7) / 8) + 1;
        files.emplace_back("qmz_cut_after_last_frame_read.qmz",
                           qmz.substr(0, kContainerHeaderSize + bytesOfFrames));
    }

    // Payload defects, hand-coded.
    files.emplace_back("qmz_escape_index_beyond_unseen.qmz",
                       handCoded(1024, [](PayloadBitWriter& bits, auto&, auto&, auto&, auto&) {
                           for (int i = 0; i < 8; ++i)
                               bits.putBit(1);  // index 255 of 152 unseen symbols
                       }));
    for (const auto& [name, code] :
         std::vector<std::pair<std::string, int>>{{"qmz_block_type_5.qmz", 6},
                                                  {"qmz_block_type_150.qmz", 151},
                                                  {"qmz_block_type_minus_1.qmz", 0}}) {
        files.emplace_back(
            name,
            handCoded(1024, [code = code](PayloadBitWriter& bits, AdaptiveHuffmanModel& side,
                                          AdaptiveHuffmanModel& sf, AdaptiveHuffmanModel& line,
                                          AdaptiveHuffmanModel& run) {
                side.encodeSymbol(code, bits);
                longBlock(bits, side, sf, 40, 0);
                line.encodeSymbol(kZeroRunEscape, bits);
                run.encodeSymbol(kLongCodedLines - 1, bits);
            }));
    }
    files.emplace_back(
        "qmz_run_overshoots_block.qmz",
        handCoded(1,
                  [](PayloadBitWriter& bits, AdaptiveHuffmanModel& side, AdaptiveHuffmanModel& sf,
                     AdaptiveHuffmanModel& line, AdaptiveHuffmanModel& run) {
                      for (int f = 1; f <= 3; ++f) {  // samples 1: frames 1 .. 3 are read
                          side.encodeSymbol(1, bits);
                          longBlock(bits, side, sf, 40, 0);
                          line.encodeSymbol(kLineOffset + 5, bits);
                          line.encodeSymbol(kZeroRunEscape, bits);
                          run.encodeSymbol(kLongCodedLines - 1, bits);  // 928 zeros from line 1
                      }
                  }));
    files.emplace_back("qmz_gain_minus_scalefactor_below_table.qmz",
                       handCoded(1, [](PayloadBitWriter& bits, AdaptiveHuffmanModel& side,
                                       AdaptiveHuffmanModel& sf, AdaptiveHuffmanModel& line,
                                       AdaptiveHuffmanModel& run) {
                           side.encodeSymbol(1, bits);
                           longBlock(bits, side, sf, 12, 90);  // 12 - 90 = -78: no such step
                           line.encodeSymbol(kLineOffset + 1, bits);
                           line.encodeSymbol(kZeroRunEscape, bits);
                           run.encodeSymbol(kLongCodedLines - 2, bits);
                       }));

    // .wav files.
    using test::chunk;
    using test::formatBlock;
    using test::riffWave;
    const std::string pcm = test::samples({1000, -1000, 2000, -2000, 3000, -3000});
    files.emplace_back("wav_data_before_format.wav",
                       riffWave(chunk("data", pcm) + chunk("fmt ", formatBlock(1, 2))));
    files.emplace_back("wav_two_chunks_before_data.wav",
                       riffWave(chunk("fmt ", formatBlock(1, 2)) + chunk("LIST", "abcd") +
                                chunk("junk", "xy") + chunk("data", pcm)));
    files.emplace_back("wav_format_tag_3_float.wav",
                       riffWave(chunk("fmt ", formatBlock(3, 2, 44100, 32)) + chunk("data", pcm)));
    files.emplace_back(
        "wav_format_tag_fffe_extensible.wav",
        riffWave(chunk("fmt ", formatBlock(0xFFFE, 2) + test::le16(22) + std::string(22, '\0')) +
                 chunk("data", pcm)));
    for (int bits : {8, 24, 32}) {
        files.emplace_back(
            "wav_" + std::to_string(bits) + "_bit.wav",
            riffWave(chunk("fmt ", formatBlock(1, 2, 44100, static_cast<uint16_t>(bits))) +
                     chunk("data", pcm)));
    }
    files.emplace_back("wav_data_size_0.wav",
                       riffWave(chunk("fmt ", formatBlock(1, 2)) + chunk("data", "")));
    files.emplace_back(
        "wav_data_size_ffffffff.wav",
        riffWave(chunk("fmt ", formatBlock(1, 2)) + test::chunkHeader("data", 0xFFFFFFFFu) + pcm));
    files.emplace_back("wav_data_odd_byte_count.wav", riffWave(chunk("fmt ", formatBlock(1, 2)) +
                                                               chunk("data", pcm + "\x07", false)));

    for (const auto& [name, bytes] : files) {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    }
    std::printf("%zu files written to %s\n", files.size(), dir.c_str());
    return 0;
}
