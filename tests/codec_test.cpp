// Whole-file encode and decode through the libraries.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>

#include "codec_harness.h"
#include "common/frame_syntax.h"
#include "encoder/parallel_encoder.h"

namespace qmz {
namespace {

using test::decodeImage;
using test::encodeImage;

std::vector<int16_t> music(int64_t frames, int channels) {
    signals::MusicSignal signal;
    signal.channels = channels;
    return signals::render(signal, frames);
}

int expectedFrames(int64_t n) {
    return static_cast<int>((n + 1023) / 1024 + 3);
}

// The encoder vectors: the .qmz bytes and the console text.
struct EncoderVector {
    const char* input;
    const char* preset;
};

class EncoderConformance : public ::testing::TestWithParam<EncoderVector> {};

TEST_P(EncoderConformance, WritesTheReferenceStreamAndConsoleText) {
    const std::string stem = std::string(GetParam().input) + GetParam().preset;
    const test::Encoded e = encodeImage(test::readDataFile(std::string(GetParam().input) + ".wav"),
                                        {GetParam().preset});
    const std::string console =
        e.console + "\r 100%  Average bit/sec = " + std::to_string(e.result.avgBitRate) + "\n";
    EXPECT_TRUE(e.qmz == test::readDataFile(stem + ".qmz")) << stem << ": .qmz bytes differ";
    EXPECT_EQ(console, test::readDataFile(stem + ".txt"));
}

INSTANTIATE_TEST_SUITE_P(Vectors, EncoderConformance,
                         ::testing::Values(EncoderVector{"enc1_stereo", "-A"},
                                           EncoderVector{"enc1_stereo", "-E"},
                                           EncoderVector{"enc2_mono", "-AAA"},
                                           EncoderVector{"enc2_mono", "-C"}),
                         [](const auto& info) {
                             std::string name = std::string(info.param.input) + info.param.preset;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(Codec, OutputHasExactlyTheInputLengthAndHeaderFields) {
    for (int channels : {1, 2}) {
        for (int64_t n : {0, 1, 1023, 1024, 1025, 1500, 3 * 44100 + 17}) {
            const std::vector<int16_t> pcm = music(n, channels);
            const test::Encoded e = encodeImage(signals::wavFileImage(pcm, channels));
            ASSERT_FALSE(e.result.writeFailed);
            EXPECT_EQ(e.result.frames, expectedFrames(n)) << n;
            EXPECT_EQ(e.qmz.substr(0, 4), "*qmz");
            EXPECT_EQ(test::headerWord(e.qmz, 4), static_cast<uint32_t>(n));
            EXPECT_EQ(static_cast<uint8_t>(e.qmz[12]), channels);
            EXPECT_EQ(test::headerWord(e.qmz, 16), 44100u);
            EXPECT_EQ(test::headerWord(e.qmz, 36), static_cast<uint32_t>(n * channels * 2));

            const test::Decoded d = decodeImage(e.qmz);
            ASSERT_EQ(d.result.error, DecodeError::None) << n;
            EXPECT_EQ(d.samples.size(), pcm.size()) << "channels " << channels << " frames " << n;
            EXPECT_EQ(test::headerWord(d.wav, 40), static_cast<uint32_t>(n * channels * 2));
        }
    }
}

TEST(Codec, DecodedSampleKIsInputSampleK) {
    const std::vector<int16_t> pcm = music(2 * 44100, 1);
    const test::Decoded d = decodeImage(encodeImage(signals::wavFileImage(pcm, 1)).qmz);
    ASSERT_EQ(d.samples.size(), pcm.size());
    auto correlation = [&](int lag) {
        double sum = 0;
        for (std::size_t i = 100; i + 100 < pcm.size(); ++i)
            sum += double(pcm[i]) * d.samples[i + lag];
        return sum;
    };
    int best = 0;
    for (int lag = -64; lag <= 64; ++lag) {
        if (correlation(lag) > correlation(best)) best = lag;
    }
    EXPECT_EQ(best, 0);
}

// Lengths around the resync boundary: 40 961 .. 41 984 sample frames end with a
// resync record before the end markers (44 frames), 41 985 .. 43 008 put it
// before frame 45, which the decoder never reads.
TEST(Codec, LengthsAroundTheFirstResyncPoint) {
    const std::string record(kResyncRecord.begin(), kResyncRecord.end());
    for (int64_t n : {40961, 41984, 41985, 43008}) {
        const std::vector<int16_t> pcm = music(n, 2);
        const test::Encoded e = encodeImage(signals::wavFileImage(pcm, 2));
        EXPECT_EQ(e.result.frames, n <= 41984 ? 44 : 45);
        const std::size_t at = e.qmz.rfind(record);
        ASSERT_NE(at, std::string::npos) << n;
        // With 44 frames only the end markers follow the record: a fresh side
        // model codes 139 in 8 index bits and each repeat in 1 bit, then the
        // final byte. With 45 frames, frame 45 stands between them.
        const std::size_t behindRecord = e.qmz.size() - at - record.size();
        if (n <= 41984) {
            EXPECT_EQ(behindRecord, 3u) << n;
        } else {
            EXPECT_GT(behindRecord, 3u) << n;
        }
        const test::Decoded d = decodeImage(e.qmz);
        ASSERT_EQ(d.result.error, DecodeError::None);
        ASSERT_EQ(d.samples.size(), pcm.size());
        EXPECT_GT(test::snrDb(pcm, d.samples), 15.0) << n;
    }
}

TEST(Codec, ClipKeepsWholeSecondsOnly) {
    auto clip = [](uint32_t frames, int channels, float seconds, uint32_t* size = nullptr) {
        DataChunkHeader data{{'d', 'a', 't', 'a'}, frames * channels * 2};
        const int32_t n = codedSamplesPerChannel(data, channels, seconds);
        if (size) *size = data.size;
        return n;
    };
    uint32_t size = 0;
    EXPECT_EQ(clip(60 * 44100, 2, 30.0f, &size), 30 * 44100);
    EXPECT_EQ(size, 2u * 30 * 44100 * 2);
    EXPECT_EQ(clip(20 * 44100, 2, 30.0f, &size), 20 * 44100);
    EXPECT_EQ(size, 2u * 20 * 44100 * 2);
    EXPECT_EQ(clip(44100, 1, -1.0f), 44100);
    EXPECT_EQ(clip(44100, 1, 0.0f), 44100);
    EXPECT_EQ(clip(44100, 1, 0.5f), 0);
    EXPECT_EQ(clip(3 * 44100, 1, 2.5f), 2 * 44100);
    // An odd data size keeps its own value when nothing is clipped.
    DataChunkHeader odd{{'d', 'a', 't', 'a'}, 4 * 100 + 3};
    EXPECT_EQ(codedSamplesPerChannel(odd, 2, -1.0f), 100);
    EXPECT_EQ(odd.size, 403u);

    const std::vector<int16_t> pcm = music(2 * 44100 + 500, 2);
    const test::Encoded e = encodeImage(signals::wavFileImage(pcm, 2), {"-A", "-td", "1.9"});
    EXPECT_EQ(test::headerWord(e.qmz, 4), 44100u);
    EXPECT_EQ(test::headerWord(e.qmz, 36), 44100u * 4);
    const test::Decoded d = decodeImage(e.qmz);
    EXPECT_EQ(d.samples.size(), 2u * 44100);
}

// Floors measured on this signal (noise bursts are coded as noise bands, which
// costs SNR by design), with about 1.5 dB of margin: -AAA 26.2 dB at 185
// kbit/s, -A 24.3 dB at 96 kbit/s, -E 17.5 dB at 62 kbit/s.
TEST(Codec, PresetsTradeBitRateForQuality) {
    const std::vector<int16_t> pcm = music(5 * 44100, 2);
    const std::string wav = signals::wavFileImage(pcm, 2);
    const char* presets[] = {"-AAA", "-AA", "-A", "-B", "-C", "-D", "-E"};
    std::map<std::string, std::pair<int, double>> measured;  // preset -> (bit rate, SNR)
    for (const char* preset : presets) {
        const test::Encoded e = encodeImage(wav, {preset});
        const test::Decoded d = decodeImage(e.qmz);
        ASSERT_EQ(d.result.error, DecodeError::None);
        measured[preset] = {e.result.avgBitRate, test::snrDb(pcm, d.samples)};
    }
    EXPECT_GT(measured["-AAA"].second, 24.5);
    EXPECT_GT(measured["-A"].second, 22.5);
    EXPECT_GT(measured["-E"].second, 16.0);
    EXPECT_GT(measured["-AAA"].first, 150000);
    EXPECT_LT(measured["-AAA"].first, 260000);
    EXPECT_GT(measured["-E"].first, 40000);
    EXPECT_LT(measured["-E"].first, 100000);
    for (std::size_t i = 1; i < std::size(presets); ++i) {
        EXPECT_LT(measured[presets[i]].first, measured[presets[i - 1]].first) << presets[i];
    }
}

std::vector<int16_t> clicksAfterSilence(int channels) {
    std::vector<int16_t> pcm(static_cast<std::size_t>(2 * 44100 * channels), 0);
    for (int64_t at : {20000, 50000, 70000}) {
        for (int k = 0; k < 40; ++k) {
            const auto v = static_cast<int16_t>(30000.0 * std::exp(-k / 6.0));
            for (int c = 0; c < channels; ++c)
                pcm[static_cast<std::size_t>((at + k) * channels + c)] = v;
        }
    }
    return pcm;
}

TEST(Codec, ClicksAfterSilenceSwitchToShortBlocksExceptWithAAA) {
    const std::string wav = signals::wavFileImage(clicksAfterSilence(1), 1);
    const test::Encoded e = encodeImage(wav, {"-A"});
    EXPECT_NE(e.console.find('*'), std::string::npos);
    EXPECT_GE(e.result.blockTypeCounts[2], 3);
    EXPECT_EQ(e.result.blockTypeCounts[1],
              e.result.blockTypeCounts[3]);  // every start has its stop

    const test::Encoded aaa = encodeImage(wav, {"-AAA"});
    EXPECT_EQ(aaa.console.find('*'), std::string::npos);
    EXPECT_EQ(aaa.result.blockTypeCounts[0], aaa.result.frames);
    // The clicks survive decoding in both.
    for (const test::Encoded* encoded : {&e, &aaa}) {
        const test::Decoded d = decodeImage(encoded->qmz);
        ASSERT_EQ(d.result.error, DecodeError::None);
        EXPECT_GT(d.samples[20002], 15000);
    }
}

TEST(Codec, MidSideStereoOnStereoFlagOnlyOnMono) {
    const std::vector<int16_t> stereo = music(3 * 44100, 2);
    const test::Encoded e = encodeImage(signals::wavFileImage(stereo, 2), {"-E"});
    EXPECT_EQ(static_cast<uint8_t>(e.qmz[24]), 1);
    const test::Decoded d = decodeImage(e.qmz);
    EXPECT_GT(test::snrDb(stereo, d.samples), 13.0);

    // Mono: the header records the option; the stream is the one mid/side off would give.
    const std::vector<int16_t> mono = music(44100, 1);
    const std::string wav = signals::wavFileImage(mono, 1);
    const test::Encoded withFlag = encodeImage(wav, {"-E"});
    EXPECT_EQ(static_cast<uint8_t>(withFlag.qmz[24]), 1);
    const test::Encoded withoutFlag = encodeImage(wav, {"-E", "-A", "-E"});  // same fields as -E
    EXPECT_EQ(withFlag.qmz, withoutFlag.qmz);
    EXPECT_GT(test::snrDb(mono, decodeImage(withFlag.qmz).samples), 12.0);
}

TEST(Codec, PresetsApplyLeftToRightFieldByField) {
    const EncoderOptions eThenA = parseEncoderOptions({"-E", "-A"});
    EXPECT_EQ(eThenA.preset.maskScale, 1.0f);
    EXPECT_EQ(eThenA.preset.psyMode, 5);
    EXPECT_EQ(eThenA.preset.gainOffset, 20);
    EXPECT_EQ(eThenA.preset.ratioFloor, 0.001);
    EXPECT_EQ(eThenA.preset.midSide, 1);
    const EncoderOptions aaa = parseEncoderOptions({"-AAA", "unknown", "-a"});
    EXPECT_EQ(aaa.preset.maskScale, 0.5f);
    EXPECT_EQ(aaa.preset.psyMode, 4);
    EXPECT_EQ(aaa.preset.gainOffset, 24);
    EXPECT_EQ(aaa.preset.ratioFloor, 0.00001);
    EXPECT_EQ(parseEncoderOptions({"-td", "2.5"}).clipSeconds, 2.5f);
    EXPECT_EQ(parseEncoderOptions({"-td", "x"}).clipSeconds, -1.0f);
    EXPECT_EQ(parseEncoderOptions({"-td"}).clipSeconds, -1.0f);  // no value: the default stays
    // The value after -td is matched as an option too.
    EXPECT_EQ(parseEncoderOptions({"-td", "-E"}).preset.midSide, 1);
}

TEST(Codec, FullScaleInputClipsCleanly) {
    std::vector<int16_t> pcm(44100 * 2);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = (i / 2) % 100 < 50 ? 32767 : -32768;  // a full-scale square
    const test::Encoded e = encodeImage(signals::wavFileImage(pcm, 2));
    const test::Decoded d = decodeImage(e.qmz);
    ASSERT_EQ(d.result.error, DecodeError::None);
    ASSERT_EQ(d.samples.size(), pcm.size());
    EXPECT_EQ(*std::min_element(d.samples.begin(), d.samples.end()), -32767);  // never -32768
    EXPECT_EQ(*std::max_element(d.samples.begin(), d.samples.end()), 32767);
    EXPECT_GT(test::snrDb(pcm, d.samples), 10.0);
}

TEST(Codec, RoundingIsHalfAwayFromZeroAndClippingSymmetric) {
    EXPECT_EQ(toPcm16(40000.0), 32767);
    EXPECT_EQ(toPcm16(-40000.0), -32767);
    EXPECT_EQ(toPcm16(0.5), 1);
    EXPECT_EQ(toPcm16(-0.5), -1);
    EXPECT_EQ(toPcm16(-0.3), 0);
    EXPECT_EQ(toPcm16(32766.6), 32767);
    EXPECT_EQ(toPcm16(-32767.4), -32767);
    EXPECT_EQ(toPcm16(-std::numeric_limits<double>::infinity()), -32767);
    EXPECT_EQ(toPcm16(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(Codec, TwoStreamsInOneProcessDoNotShareState) {
    const std::vector<int16_t> a = music(30000, 2), b = clicksAfterSilence(1);
    const std::string aAlone = encodeImage(signals::wavFileImage(a, 2)).qmz;
    const std::string bAlone = encodeImage(signals::wavFileImage(b, 1)).qmz;
    // Interleave two sessions a frame of input at a time.
    StringSink outA, outB;
    Encoder encA(2, 30000, PresetParams{}, outA, nullptr);
    Encoder encB(1, 2 * 44100, PresetParams{}, outB, nullptr);
    for (std::size_t at = 0; at < b.size(); at += kFrameLength) {
        if (at < 30000) encA.encode(a.data() + 2 * at, std::min<std::size_t>(kFrameLength, 30000 - at));
        encB.encode(b.data() + at, std::min<std::size_t>(kFrameLength, b.size() - at));
    }
    encA.finish();
    encB.finish();
    EXPECT_TRUE(outA.str() == aAlone.substr(kContainerHeaderSize));
    EXPECT_TRUE(outB.str() == bAlone.substr(kContainerHeaderSize));
    // And two decodes: each starts its noise generator afresh.
    EXPECT_EQ(decodeImage(bAlone).wav, decodeImage(bAlone).wav);
}

// The session codes a frame only once its bank is full, so the cut of the
// input into calls, and its layout, never show in the bytes; an input that
// ends before the promised length (finish() early) is coded as if that
// length had been promised.
TEST(Codec, SessionBytesDoNotDependOnHowTheInputArrives) {
    struct Feed {
        const char* name;
        std::vector<std::size_t> pieces;  // sample frames per call, cycling
        bool planar;
        int64_t promisedExtra;  // promised beyond the samples fed
    };
    const Feed feeds[] = {
        {"whole", {1u << 30}, false, 0},
        {"odd pieces", {1, 1023, 1025, 7, 3000}, false, 0},
        {"planar pieces", {333, 4096, 1}, true, 0},
        {"early end", {700}, false, 5000},
        {"early end at a frame", {1024}, true, 3 * 1024},
    };
    for (const int channels : {1, 2}) {
        const int64_t frames = 3 * kFrameLength * 15 + 517;
        const std::vector<int16_t> pcm = music(frames, channels);
        const std::string reference =
            encodeImage(signals::wavFileImage(pcm, channels), {"-E"}).qmz.substr(kContainerHeaderSize);
        std::vector<int16_t> planes(pcm.size());
        for (int64_t i = 0; i < frames; ++i) {
            for (int c = 0; c < channels; ++c)
                planes[static_cast<std::size_t>(c * frames + i)] =
                    pcm[static_cast<std::size_t>(i * channels + c)];
        }
        for (const Feed& feed : feeds) {
            SCOPED_TRACE(std::string(feed.name) + ", " + std::to_string(channels) + " channels");
            StringSink out;
            Encoder encoder(channels, static_cast<int32_t>(frames + feed.promisedExtra),
                            parseEncoderOptions({"-E"}).preset, out, nullptr);
            std::size_t at = 0;
            for (std::size_t i = 0; at < static_cast<std::size_t>(frames); ++i) {
                const std::size_t n = std::min(feed.pieces[i % feed.pieces.size()],
                                               static_cast<std::size_t>(frames) - at);
                std::size_t taken;
                if (feed.planar) {
                    const int16_t* const p[kMaxChannels] = {
                        planes.data() + at, planes.data() + (channels - 1) * frames + at};
                    taken = encoder.encode(p, n);
                } else {
                    taken = encoder.encode(pcm.data() + at * channels, n);
                }
                ASSERT_EQ(taken, n);
                at += n;
            }
            EXPECT_TRUE(encoder.finish());
            EXPECT_EQ(encoder.samplesPerChannel(), frames);
            EXPECT_TRUE(out.str() == reference);
        }
    }
    // Samples beyond the promised length are refused, not coded.
    StringSink out;
    const std::vector<int16_t> pcm = music(3000, 1);
    Encoder encoder(1, 2000, PresetParams{}, out, nullptr);
    EXPECT_EQ(encoder.encode(pcm.data(), 1500), 1500u);
    EXPECT_EQ(encoder.encode(pcm.data() + 1500, 1500), 500u);
    EXPECT_TRUE(encoder.finish());
    EXPECT_EQ(encoder.samplesPerChannel(), 2000);
}

// Another encoder policy plugs into both frame loops: one that never asks
// for short blocks and quantises with its own settings is followed by the
// session and by every thread count alike.
TEST(Codec, BothFrameLoopsFollowTheEncoderPolicy) {
    class LongOnlyCoarse final : public EncoderPolicy {
      public:
        bool wantsShortBlocks(bool) const override { return false; }
        void quantise(QuantizerState& state, const BlockToQuantize& block, QuantizedBlock& out,
                      QuantizerEventSink* sink) const override {
            quantizeBlock(state, block, {4.0f, 8, 1e-5}, out, sink);
        }
    };
    class Planes final : public SampleSource {
      public:
        explicit Planes(const std::vector<int16_t>& mono) : mono_(mono) {}
        int read(int16_t* const planes[kMaxChannels], int frames) override {
            const int n = std::min<int>(frames, static_cast<int>(mono_.size() - at_));
            std::copy_n(mono_.begin() + static_cast<std::ptrdiff_t>(at_), n, planes[0]);
            at_ += static_cast<std::size_t>(n);
            return n;
        }

      private:
        const std::vector<int16_t>& mono_;
        std::size_t at_ = 0;
    };
    const std::vector<int16_t> pcm = clicksAfterSilence(1);
    const auto frames = static_cast<int32_t>(pcm.size());
    const LongOnlyCoarse policy;
    StringSink preset, session;
    Encoder presetEncoder(1, frames, PresetParams{}, preset, nullptr);
    presetEncoder.encode(pcm.data(), pcm.size());
    presetEncoder.finish();
    Encoder encoder(1, frames, PresetParams{}, session, nullptr, &policy);
    encoder.encode(pcm.data(), pcm.size());
    encoder.finish();
    EXPECT_GT(presetEncoder.blockTypeCounts()[2], 0);
    EXPECT_EQ(encoder.blockTypeCounts()[2], 0);
    EXPECT_FALSE(session.str() == preset.str());
    for (const int threads : {1, 2, 3}) {
        Planes samples(pcm);
        StringSink threaded;
        const FrameLoopResult r = encodeFramesParallel(samples, 1, frames, PresetParams{},
                                                       threaded, nullptr, threads, &policy);
        EXPECT_TRUE(threaded.str() == session.str()) << threads << " threads";
        EXPECT_EQ(r.blockTypeCounts, encoder.blockTypeCounts());
    }
}

// Damaged and truncated .qmz files: the decoder keeps what it decoded before
// the fault, never noise from bits past the end, and its WAV stays valid.
TEST(Codec, TruncatedStreamsKeepTheirDecodedPrefix) {
    const std::vector<int16_t> pcm = music(3 * 44100, 2);
    const std::string qmz = encodeImage(signals::wavFileImage(pcm, 2)).qmz;
    const test::Decoded full = decodeImage(qmz);
    for (std::size_t cut :
         {std::size_t{270}, qmz.size() / 3, qmz.size() / 2, qmz.size() * 9 / 10}) {
        const test::Decoded d = decodeImage(qmz.substr(0, cut));
        EXPECT_EQ(d.result.error, DecodeError::Truncated) << cut;
        EXPECT_LT(d.samples.size(), full.samples.size());
        EXPECT_TRUE(std::equal(d.samples.begin(), d.samples.end(), full.samples.begin())) << cut;
        EXPECT_EQ(test::headerWord(d.wav, 40), d.wav.size() - 44) << "data size rewritten";
        EXPECT_EQ(test::headerWord(d.wav, 4), d.wav.size() - 8) << "RIFF size rewritten";
    }
    // A cut inside the header: nothing is written at all.
    EXPECT_EQ(decodeImage(qmz.substr(0, 100)).wav, "");
}

TEST(Codec, HeadersTheDecoderCannotTrustAreRefused) {
    const std::string qmz = encodeImage(signals::wavFileImage(music(5000, 1), 1)).qmz;
    auto withWord = [&](std::size_t offset, const std::string& bytes) {
        std::string copy = qmz;
        copy.replace(offset, bytes.size(), bytes);
        return copy;
    };
    EXPECT_EQ(decodeImage(withWord(0, "RIFF")).result.error, DecodeError::NotQmz);
    EXPECT_EQ(decodeImage(withWord(0, std::string(32, '\0'))).result.error,
              DecodeError::Incomplete);
    EXPECT_EQ(decodeImage(withWord(12, std::string("\x03\0", 2))).result.error,
              DecodeError::BadHeader);
    EXPECT_EQ(decodeImage(withWord(12, std::string("\0\0", 2))).result.error,
              DecodeError::BadHeader);
    EXPECT_EQ(decodeImage(withWord(4, "\xff\xff\xff\xff")).result.error, DecodeError::BadHeader);
    for (const std::string& bad : {withWord(0, "RIFF"), withWord(12, std::string("\x03\0", 2))}) {
        EXPECT_EQ(decodeImage(bad).wav, "") << "nothing is written for a refused header";
    }
    // A header that claims far more samples than the stream holds stops at its end.
    const test::Decoded longer = decodeImage(withWord(4, std::string("\x00\x00\x10\x00", 4)));
    EXPECT_EQ(longer.result.error, DecodeError::Truncated);
    EXPECT_LT(longer.samples.size(), 20000u);
}

}  // namespace
}  // namespace qmz
