// qmzdec: the library's decoder session as a GstAudioDecoder. The header
// comes in the caps (codec_data, from qmzparse); payload chunks of any size
// follow. A chunk carrying a restart meta begins where the decode starts
// over: the payload's first byte, or after a seek the resync record qmzparse
// chose; the session then drops the samples before the segment's start, so
// the first sample handed out is the one at (or just after) the seek target.
#include <gst/audio/gstaudiodecoder.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "common/band_tables.h"
#include "common/container.h"
#include "decoder/decoder.h"
#include "plugins/gstreamer/elements.h"
#include "plugins/gstreamer/restart_meta.h"

GST_DEBUG_CATEGORY_STATIC(qmz_dec_debug);
#define GST_CAT_DEFAULT qmz_dec_debug

struct QmzDec {
    GstAudioDecoder parent;
    // GObject allocates the instance with g_malloc and zeroes it: the C++
    // members are built in init and destroyed in finalize.
    qmz::ContainerFile* file;
    qmz::Decoder* decoder;  // null until the caps bring a header
    std::vector<int16_t>* pcm;
    int channels;
    int rate;
    bool atEos;
};

struct QmzDecClass {
    GstAudioDecoderClass parent_class;
};

G_DEFINE_TYPE(QmzDec, qmz_dec, GST_TYPE_AUDIO_DECODER)

namespace {

GstStaticPadTemplate sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS(QMZ_CAPS_NAME ", parsed = (boolean) true, channels = (int) [ 1, 2 ], "
                                  "rate = (int) [ 1, MAX ]"));

GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) " GST_AUDIO_NE(S16) ", layout = (string) "
                    "interleaved, rate = (int) [ 1, MAX ], channels = (int) [ 1, 2 ]"));

QmzDec* self(GstAudioDecoder* dec) {
    return reinterpret_cast<QmzDec*>(dec);
}

// The first sample frame of the segment: the one at or just after its start.
int64_t firstSampleOfSegment(QmzDec* dec) {
    const GstSegment& segment = GST_AUDIO_DECODER(dec)->input_segment;
    if (segment.format != GST_FORMAT_TIME || !GST_CLOCK_TIME_IS_VALID(segment.start) ||
        dec->rate <= 0) {
        return 0;
    }
    return static_cast<int64_t>(
        gst_util_uint64_scale_ceil(segment.start, static_cast<guint64>(dec->rate), GST_SECOND));
}

// A session that starts at `point` and hands out samples from the segment's
// start on.
void restart(QmzDec* dec, const qmz::gst::RestartPoint& point) {
    delete dec->decoder;
    dec->decoder = new qmz::Decoder(*dec->file);
    const int64_t first = firstSampleOfSegment(dec);
    GST_DEBUG_OBJECT(dec, "decoding from frame %d, first sample %" G_GINT64_FORMAT, point.frame,
                     first);
    if (point.frame != 1 || first > 0) dec->decoder->restart(point.frame, point.noiseDraws, first);
}

gboolean setFormat(GstAudioDecoder* decoder, GstCaps* caps) {
    QmzDec* dec = self(decoder);
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    const GValue* codecData = gst_structure_get_value(structure, "codec_data");
    if (codecData == nullptr || !GST_VALUE_HOLDS_BUFFER(codecData)) {
        GST_ELEMENT_ERROR(dec, STREAM, FORMAT,
                          ("No .qmz header in the caps (put qmzparse before qmzdec)."), (nullptr));
        return FALSE;
    }
    GstBuffer* header = gst_value_get_buffer(codecData);
    std::vector<uint8_t> bytes(gst_buffer_get_size(header));
    gst_buffer_extract(header, 0, bytes.data(), bytes.size());
    const qmz::DecodeError error = qmz::readContainerHeader(bytes.data(), bytes.size(), *dec->file);
    if (error != qmz::DecodeError::None) {
        GST_ELEMENT_ERROR(dec, STREAM, DECODE,
                          ("Cannot read the .qmz header: %s.", qmz::describeDecodeError(error)),
                          (nullptr));
        return FALSE;
    }
    dec->channels = dec->file->header.channels;
    dec->rate = static_cast<int>(dec->file->format.sampleRate());
    restart(dec, qmz::gst::RestartPoint{});
    GstAudioInfo info;
    gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_S16, dec->rate, dec->channels, nullptr);
    return gst_audio_decoder_set_output_format(decoder, &info);
}

// Decodes every frame the bytes pushed so far allow, appending the samples
// to dec->pcm after the `frames` already there; returns the new total and
// leaves in `status` the last step (NeedInput, End, or an error).
std::size_t decodeReady(QmzDec* dec, std::size_t frames, qmz::DecodeStatus& status) {
    std::vector<int16_t>& pcm = *dec->pcm;
    const std::size_t channels = static_cast<std::size_t>(dec->channels);
    while (true) {
        pcm.resize((frames + qmz::kFrameLength) * channels);
        int got = 0;
        status = dec->decoder->decodeFrame(pcm.data() + frames * channels, got);
        if (status != qmz::DecodeStatus::Frame) return frames;
        frames += static_cast<std::size_t>(got);
    }
}

GstBuffer* bufferOf(QmzDec* dec, std::size_t frames) {
    if (frames == 0) return nullptr;
    return gst_buffer_new_memdup(dec->pcm->data(),
                                 frames * static_cast<std::size_t>(dec->channels) * sizeof(int16_t));
}

bool failed(qmz::DecodeStatus status) {
    return status == qmz::DecodeStatus::Truncated || status == qmz::DecodeStatus::Damaged;
}

GstFlowReturn failure(QmzDec* dec, qmz::DecodeStatus status) {
    GST_ELEMENT_ERROR(dec, STREAM, DECODE,
                      ("The .qmz stream cannot be decoded: %s.",
                       qmz::describeDecodeError(qmz::errorOf(status))),
                      (nullptr));
    return GST_FLOW_ERROR;
}

GstFlowReturn handleFrame(GstAudioDecoder* decoder, GstBuffer* buffer) {
    QmzDec* dec = self(decoder);
    if (dec->decoder == nullptr) return GST_FLOW_NOT_NEGOTIATED;
    qmz::DecodeStatus status = qmz::DecodeStatus::NeedInput;
    if (buffer == nullptr) {
        // Drained for a discontinuity or a flush, the stream goes on: nothing
        // is final yet. At the end of the stream the rest is decoded.
        if (!dec->atEos) return GST_FLOW_OK;
        dec->decoder->endInput();
        GstBuffer* out = bufferOf(dec, decodeReady(dec, 0, status));
        // While draining, the base class takes output that no input frame is
        // left for (the frame count is clamped to the frames pending).
        const GstFlowReturn result =
            out != nullptr ? gst_audio_decoder_finish_frame(decoder, out, 1) : GST_FLOW_OK;
        if (failed(status)) return failure(dec, status);
        return result;
    }
    qmz::gst::RestartPoint point;
    if (qmz::gst::readRestartMeta(buffer, point)) restart(dec, point);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
    std::size_t at = 0;
    std::size_t frames = 0;
    bool tookNothing = false;
    while (true) {
        const std::size_t taken = dec->decoder->push(map.data + at, map.size - at);
        at += taken;
        frames = decodeReady(dec, frames, status);
        // Past the last frame (the tag block, in push mode) the session takes
        // nothing more: the rest is not its business. A session that asks
        // for input and twice takes none will not move either.
        if (status != qmz::DecodeStatus::NeedInput || at == map.size) break;
        if (taken == 0 && tookNothing) break;
        tookNothing = taken == 0;
    }
    gst_buffer_unmap(buffer, &map);
    // Buffers without samples (the first ones, those before a seek target)
    // count as input taken; the base class times the output from the segment
    // and the samples handed out, since no buffer carries a time.
    const GstFlowReturn result = gst_audio_decoder_finish_frame(decoder, bufferOf(dec, frames), 1);
    if (failed(status)) return failure(dec, status);
    return result;
}

gboolean sinkEvent(GstAudioDecoder* decoder, GstEvent* event) {
    QmzDec* dec = self(decoder);
    switch (GST_EVENT_TYPE(event)) {
        case GST_EVENT_EOS:
            dec->atEos = true;
            // A stream of no samples decodes to nothing, which the base class
            // would call a stream that failed to decode: it ends here.
            if (dec->decoder != nullptr && dec->decoder->samplesPerChannel() == 0) {
                dec->decoder->endInput();
                qmz::DecodeStatus status = qmz::DecodeStatus::End;
                decodeReady(dec, 0, status);  // a stream cut short still fails
                if (!failed(status)) {
                    return gst_pad_push_event(GST_AUDIO_DECODER_SRC_PAD(decoder), event);
                }
            }
            break;
        case GST_EVENT_FLUSH_STOP:
        case GST_EVENT_STREAM_START:
            dec->atEos = false;
            break;
        default:
            break;
    }
    return GST_AUDIO_DECODER_CLASS(qmz_dec_parent_class)->sink_event(decoder, event);
}

void flush(GstAudioDecoder* decoder, gboolean /*hard*/) {
    QmzDec* dec = self(decoder);
    if (dec->decoder != nullptr) restart(dec, qmz::gst::RestartPoint{});
}

gboolean stop(GstAudioDecoder* decoder) {
    QmzDec* dec = self(decoder);
    delete dec->decoder;
    dec->decoder = nullptr;
    dec->atEos = false;
    return TRUE;
}

void finalize(GObject* object) {
    QmzDec* dec = reinterpret_cast<QmzDec*>(object);
    delete dec->decoder;
    delete dec->file;
    delete dec->pcm;
    G_OBJECT_CLASS(qmz_dec_parent_class)->finalize(object);
}

}  // namespace

static void qmz_dec_class_init(QmzDecClass* klass) {
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstAudioDecoderClass* base = GST_AUDIO_DECODER_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(qmz_dec_debug, "qmzdec", 0, "QMZ decoder");
    G_OBJECT_CLASS(klass)->finalize = finalize;
    qmz::gst::registerRestartMeta();
    gst_element_class_add_static_pad_template(element, &sinkTemplate);
    gst_element_class_add_static_pad_template(element, &srcTemplate);
    gst_element_class_set_static_metadata(
        element, "QMZ audio decoder", "Codec/Decoder/Audio",
        "Decodes .qmz streams to 16-bit PCM, sample for sample as the qmzdec program does",
        "QMZ developers");
    base->set_format = setFormat;
    base->handle_frame = handleFrame;
    base->sink_event = sinkEvent;
    base->flush = flush;
    base->stop = stop;
}

static void qmz_dec_init(QmzDec* dec) {
    dec->file = new qmz::ContainerFile();
    dec->decoder = nullptr;
    dec->pcm = new std::vector<int16_t>();
    dec->channels = 0;
    dec->rate = 0;
    dec->atEos = false;
    gst_audio_decoder_set_needs_format(GST_AUDIO_DECODER(dec), TRUE);
}

gboolean qmz_dec_register(GstPlugin* plugin) {
    return gst_element_register(plugin, "qmzdec", GST_RANK_PRIMARY, qmz_dec_get_type());
}
