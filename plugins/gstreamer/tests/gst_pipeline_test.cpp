// The plugin in real pipelines, driven through the bus with a time limit
// (gst-launch-1.0 itself can stall on a pipeline that fails while
// prerolling, so it is no judge of hangs): damaged files end in an error,
// never a crash or a hang; seeks give the program's samples.
#include <gst/app/gstappsink.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const fs::path kData = QMZ_TEST_DATA_DIR;
constexpr GstClockTime kTimeLimit = 30 * GST_SECOND;

struct RunResult {
    bool error = false;
    bool eos = false;
    bool timedOut = false;
    std::string message;
    std::vector<int16_t> pcm;  // what reached the appsink named "out" after any seek
};

// Waits for one of `types` (or an error) on the bus.
GstMessage* waitFor(GstBus* bus, int types) {
    return gst_bus_timed_pop_filtered(
        bus, kTimeLimit, static_cast<GstMessageType>(types | GST_MESSAGE_ERROR));
}

GstFlowReturn onSample(GstAppSink* sink, gpointer data) {
    auto* result = static_cast<RunResult*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) return GST_FLOW_ERROR;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    const std::size_t size = gst_buffer_get_size(buffer);
    const std::size_t at = result->pcm.size();
    result->pcm.resize(at + size / sizeof(int16_t));
    gst_buffer_extract(buffer, 0, result->pcm.data() + at, size);
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

// Records the end of the run from a message (null: the time limit passed).
bool finished(GstMessage* message, RunResult& result) {
    if (message == nullptr) {
        result.timedOut = true;
        return true;
    }
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        result.error = true;
        result.message = error->message;
        g_error_free(error);
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
        result.eos = true;
    }
    const bool done = result.error || result.eos;
    gst_message_unref(message);
    return done;
}

// Runs `description` to its end; with seekSeconds >= 0, prerolls, seeks
// there (flushing, accurate) and plays from there.
RunResult run(const std::string& description, double seekSeconds = -1.0) {
    RunResult result;
    GError* parseError = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &parseError);
    if (parseError != nullptr) {
        ADD_FAILURE() << description << ": " << parseError->message;
        g_error_free(parseError);
        if (pipeline != nullptr) gst_object_unref(pipeline);
        result.error = true;
        return result;
    }
    if (GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out")) {
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = onSample;
        gst_app_sink_set_callbacks(GST_APP_SINK(out), &callbacks, &result, nullptr);
        gst_object_unref(out);
    }
    GstBus* bus = gst_element_get_bus(pipeline);
    bool done = false;
    if (seekSeconds >= 0.0) {
        gst_element_set_state(pipeline, GST_STATE_PAUSED);
        done = finished(waitFor(bus, GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_EOS), result);
        if (!done) {
            const auto position = static_cast<gint64>(seekSeconds * GST_SECOND);
            EXPECT_TRUE(gst_element_seek_simple(
                pipeline, GST_FORMAT_TIME,
                static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), position))
                << description << " refused a seek to " << seekSeconds << " s";
            done = finished(waitFor(bus, GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_EOS), result);
        }
    }
    if (!done) {
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        while (!finished(waitFor(bus, GST_MESSAGE_EOS), result)) {
        }
    }
    // A pipeline that cannot be stopped hangs here, and ctest's timeout says so.
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(bus);
    gst_object_unref(pipeline);
    return result;
}

// The samples of a 16-bit WAV file's data chunk.
std::vector<int16_t> wavSamples(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        uint32_t size = 0;
        std::memcpy(&size, &bytes[at + 4], 4);
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            const std::size_t count = std::min<std::size_t>(size, bytes.size() - at - 8) / 2;
            std::vector<int16_t> samples(count);
            if (count > 0) std::memcpy(samples.data(), &bytes[at + 8], count * 2);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    ADD_FAILURE() << path << " has no data chunk";
    return {};
}

fs::path tempPath(const std::string& name) {
    return fs::temp_directory_path() / ("qmz_gst_" + std::to_string(getpid()) + "_" + name);
}

// What the qmzdec program decodes from `qmz` (with `options`); empty when it
// fails.
std::vector<int16_t> programSamples(const fs::path& qmz, const std::string& options = "") {
    const fs::path wav = tempPath("decoded.wav");
    const std::string command = std::string(QMZDEC_PATH) + " " + options + " '" + qmz.string() +
                                "' '" + wav.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return {};
    std::vector<int16_t> samples = wavSamples(wav);
    fs::remove(wav);
    return samples;
}

std::string fileSource(const fs::path& path, bool pushMode) {
    // A queue in front of the parser leaves it only push mode.
    return "filesrc location=\"" + path.string() + "\" ! " + (pushMode ? "queue ! " : "");
}

class GstPipeline : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Plugins load in this process, not in GStreamer's scanner helper:
        // a plugin built with sanitizers loads only where their runtime is.
        g_setenv("GST_REGISTRY_FORK", "no", TRUE);
        gst_init(nullptr, nullptr);
    }
};

// Every file of the adversarial corpus: an error on the bus where the
// program fails, the program's samples where it succeeds; in push and pull
// mode, and through decodebin the way players open files.
TEST_F(GstPipeline, AdversarialCorpusErrorsOrDecodesLikeTheProgram) {
    int files = 0;
    for (const auto& entry : fs::directory_iterator(kData / "adversarial")) {
        if (entry.path().extension() != ".qmz") continue;
        ++files;
        const std::vector<int16_t> expected = programSamples(entry.path());
        const bool programFails = expected.empty() && entry.path().filename() != "qmz_zero_samples.qmz";
        for (const std::string& chain : {std::string("qmzparse ! qmzdec"), std::string("decodebin")}) {
            for (bool push : {false, true}) {
                const std::string description = fileSource(entry.path(), push) + chain +
                                                " ! appsink name=out sync=false";
                SCOPED_TRACE(description);
                const RunResult result = run(description);
                ASSERT_FALSE(result.timedOut);
                if (programFails) {
                    EXPECT_TRUE(result.error);
                } else {
                    EXPECT_FALSE(result.error) << result.message;
                    EXPECT_EQ(result.pcm, expected);
                }
            }
        }
    }
    EXPECT_GE(files, 15);
}

// Decoded in push mode (no tag block found, no size known) as in pull mode.
TEST_F(GstPipeline, PushModeDecodesLikeTheProgram) {
    for (const char* name : {"dec1_stereo.qmz", "dec2_stereo_midside.qmz", "dec3_mono.qmz"}) {
        const RunResult result =
            run(fileSource(kData / name, true) + "qmzparse ! qmzdec ! appsink name=out sync=false");
        EXPECT_TRUE(result.eos) << name << ": " << result.message;
        const std::vector<int16_t> expected = programSamples(kData / name);
        ASSERT_FALSE(expected.empty()) << name;
        EXPECT_EQ(result.pcm, expected) << name;
    }
}

// Pushed in pieces of any size (the header split, one byte at a time, all at
// once), the stream decodes to the program's samples.
TEST_F(GstPipeline, PiecesOfAnySizeDecodeLikeTheProgram) {
    const fs::path file = kData / "dec2_stereo_midside.qmz";
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    const std::vector<int16_t> expected = programSamples(file);
    ASSERT_FALSE(expected.empty());
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{100}, std::size_t{4099},
                              bytes.size()}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece) + " bytes");
        GstHarness* harness = gst_harness_new_parse("qmzparse ! qmzdec");
        gst_harness_set_src_caps_str(harness, "audio/x-qmz");
        GstSegment segment;
        gst_segment_init(&segment, GST_FORMAT_BYTES);
        gst_harness_push_event(harness, gst_event_new_segment(&segment));
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            const std::size_t size = std::min(piece, bytes.size() - at);
            ASSERT_EQ(gst_harness_push(harness, gst_buffer_new_memdup(bytes.data() + at, size)),
                      GST_FLOW_OK);
        }
        gst_harness_push_event(harness, gst_event_new_eos());
        std::vector<int16_t> decoded;
        while (GstBuffer* buffer = gst_harness_try_pull(harness)) {
            const std::size_t at = decoded.size();
            decoded.resize(at + gst_buffer_get_size(buffer) / sizeof(int16_t));
            gst_buffer_extract(buffer, 0, decoded.data() + at, gst_buffer_get_size(buffer));
            gst_buffer_unref(buffer);
        }
        EXPECT_EQ(decoded, expected);
        gst_harness_teardown(harness);
    }
}

// A seek in pull mode restarts the decoder at the resync point the library's
// seek index names, and gives what `qmzdec --skip` gives: with a seek table
// the linear decode's samples, without one those samples but for the bands
// coded as noise. In push mode the decode restarts at the stream's start and
// gives the linear decode's samples. Near the start, across resync points
// (every 45 frames, about a second) and near the end.
TEST_F(GstPipeline, SeeksGiveTheProgramsSamples) {
    const fs::path withTable = tempPath("table.qmz");
    ASSERT_EQ(std::system((std::string(QMZENC_PATH) + " '" + (kData / "enc1_stereo.wav").string() +
                           "' '" + withTable.string() + "' -A --seek-table >/dev/null 2>&1")
                              .c_str()),
              0);
    struct Case {
        fs::path file;
        int channels;
        double seconds;
    };
    const Case cases[] = {
        {kData / "dec1_stereo.qmz", 2, 0.0},         {kData / "dec1_stereo.qmz", 2, 0.01},
        {kData / "dec1_stereo.qmz", 2, 1.07},        {kData / "dec1_stereo.qmz", 2, 2.03},
        {kData / "dec3_mono.qmz", 1, 0.5},           {kData / "dec3_mono.qmz", 1, 0.97}, 
        {kData / "dec2_stereo_midside.qmz", 2, 1.5}, {withTable, 2, 1.07},
        {withTable, 2, 2.99},
    };
    for (const Case& c : cases) {
        const std::vector<int16_t> linear = programSamples(c.file);
        ASSERT_FALSE(linear.empty()) << c.file;
        const auto first = static_cast<std::ptrdiff_t>(c.seconds * 44100 + 0.5) * c.channels;
        ASSERT_LE(first, static_cast<std::ptrdiff_t>(linear.size()));
        const std::vector<int16_t> fromStart(linear.begin() + first, linear.end());
        const std::vector<int16_t> skipped =
            c.seconds > 0 ? programSamples(c.file, "--skip " + std::to_string(c.seconds)) : linear;
        for (bool push : {false, true}) {
            SCOPED_TRACE(c.file.filename().string() + " at " + std::to_string(c.seconds) + " s" +
                         (push ? " (push mode)" : " (pull mode)"));
            const RunResult result = run(
                fileSource(c.file, push) + "qmzparse ! qmzdec ! appsink name=out sync=false",
                c.seconds);
            ASSERT_TRUE(result.eos) << result.message;
            EXPECT_EQ(result.pcm, push ? fromStart : skipped);
        }
    }
    fs::remove(withTable);
}

// The header is rewritten last: without a seekable downstream the encoder
// refuses to start, saying why, instead of writing a file no decoder takes.
TEST_F(GstPipeline, EncoderNeedsASeekableDownstream) {
    const RunResult result = run(
        "audiotestsrc num-buffers=5 ! audio/x-raw,rate=44100,format=S16LE,channels=2 ! qmzenc ! "
        "fakesink");
    EXPECT_TRUE(result.error);
    EXPECT_NE(result.message.find("seek"), std::string::npos) << result.message;
}

}  // namespace
