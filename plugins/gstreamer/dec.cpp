// qmzdec: the library's push decoder as a GstAudioDecoder. The header comes
// in the caps (codec_data, from qmzparse); payload chunks of any size follow.
// The chunk at byte 266 is the first of the payload: the decoder starts
// afresh there, which is how a seek (a restart from the stream's start)
// arrives, and drops the samples before the segment.
#include <gst/audio/gstaudiodecoder.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "common/container.h"
#include "plugins/gstreamer/elements.h"
#include "qmz/codec.h"

GST_DEBUG_CATEGORY_STATIC(qmz_dec_debug);
#define GST_CAT_DEFAULT qmz_dec_debug

namespace {

// Sample frames taken out of the library per read().
constexpr std::size_t kReadFrames = 4096;

}  // namespace

struct QmzDec {
    GstAudioDecoder parent;
    // GObject allocates the instance with g_malloc and zeroes it: the C++
    // members are built in init and destroyed in finalize.
    qmz::StreamDecoder* decoder;
    std::vector<uint8_t>* header;
    std::vector<int16_t>* pcm;
    int channels;
    int rate;
    // Sample frames decoded since the stream's start, and the first of them
    // inside the segment (after a seek, the one at or just after its start).
    uint64_t decoded;
    uint64_t firstWanted;
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

// A new decoder at the stream's start, with the header already taken.
void restart(QmzDec* dec) {
    const GstSegment& segment = GST_AUDIO_DECODER(dec)->input_segment;
    dec->decoded = 0;
    dec->firstWanted = 0;
    if (segment.format == GST_FORMAT_TIME && GST_CLOCK_TIME_IS_VALID(segment.start) && dec->rate > 0) {
        dec->firstWanted = gst_util_uint64_scale_ceil(segment.start, static_cast<guint64>(dec->rate), GST_SECOND);
    }
    delete dec->decoder;
    dec->decoder = new qmz::StreamDecoder();
    if (!dec->header->empty()) dec->decoder->push(dec->header->data(), dec->header->size());
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
    dec->header->resize(gst_buffer_get_size(header));
    gst_buffer_extract(header, 0, dec->header->data(), dec->header->size());
    restart(dec);
    if (dec->decoder->status() != qmz::Status::Ok || dec->header->size() != qmz::kContainerHeaderSize) {
        GST_ELEMENT_ERROR(dec, STREAM, DECODE,
                          ("Cannot read the .qmz header: %s.",
                           qmz::describeStatus(dec->decoder->status())),
                          (nullptr));
        return FALSE;
    }
    const qmz::PcmFormat format = dec->decoder->format();
    dec->channels = format.channels;
    dec->rate = static_cast<int>(format.sampleRate);
    GstAudioInfo info;
    gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_S16, static_cast<gint>(format.sampleRate),
                              format.channels, nullptr);
    return gst_audio_decoder_set_output_format(decoder, &info);
}

// Reads every sample frame the decoder can give now into dec->pcm after the
// `frames` already there; returns the new total.
std::size_t readDecoded(QmzDec* dec, std::size_t frames) {
    std::vector<int16_t>& pcm = *dec->pcm;
    const std::size_t channels = static_cast<std::size_t>(dec->channels);
    while (true) {
        pcm.resize((frames + kReadFrames) * channels);
        const std::size_t got = dec->decoder->read(pcm.data() + frames * channels, kReadFrames);
        if (got == 0) return frames;
        frames += got;
    }
}

// The `frames` sample frames just read, less those before the segment: the
// decoder clips here, to the sample, rather than leave it to the base class,
// whose buffer times are rounded to the nanosecond.
GstBuffer* bufferOf(QmzDec* dec, std::size_t frames) {
    const uint64_t skip = std::min<uint64_t>(
        frames, dec->firstWanted > dec->decoded ? dec->firstWanted - dec->decoded : 0);
    dec->decoded += frames;
    if (skip == frames) return nullptr;
    const std::size_t channels = static_cast<std::size_t>(dec->channels);
    return gst_buffer_new_memdup(dec->pcm->data() + skip * channels,
                                 (frames - skip) * channels * sizeof(int16_t));
}

GstFlowReturn failure(QmzDec* dec) {
    const qmz::Status status = dec->decoder->status();
    GST_ELEMENT_ERROR(dec, STREAM, DECODE,
                      ("The .qmz stream cannot be decoded: %s.", qmz::describeStatus(status)),
                      (nullptr));
    return GST_FLOW_ERROR;
}

GstFlowReturn handleFrame(GstAudioDecoder* decoder, GstBuffer* buffer) {
    QmzDec* dec = self(decoder);
    if (dec->decoder == nullptr) return GST_FLOW_NOT_NEGOTIATED;
    if (buffer == nullptr) {
        // Drained for a discontinuity or a flush, the stream goes on: nothing
        // is final yet. At the end of the stream the rest is decoded.
        if (!dec->atEos) return GST_FLOW_OK;
        dec->decoder->endInput();
        GstBuffer* out = bufferOf(dec, readDecoded(dec, 0));

        // While draining, the base class takes output that no input frame is
        // left for (the frame count is clamped to the frames pending).
        const GstFlowReturn result =
            out != nullptr ? gst_audio_decoder_finish_frame(decoder, out, 1) : GST_FLOW_OK;
        if (dec->decoder->status() != qmz::Status::Ok) return failure(dec);
        return result;
    }
    if (GST_BUFFER_OFFSET(buffer) == qmz::kContainerHeaderSize) restart(dec);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
    std::size_t at = 0;
    std::size_t frames = 0;
    while (true) {
        const std::size_t taken = dec->decoder->push(map.data + at, map.size - at);
        at += taken;
        const std::size_t before = frames;
        frames = readDecoded(dec, frames);
        if (dec->decoder->status() != qmz::Status::Ok || at == map.size) break;
        // Past the last frame (the tag block, in push mode) the decoder takes
        // nothing more: the rest is not its business.
        if (!dec->decoder->needsInput() || (taken == 0 && frames == before)) break;
    }
    gst_buffer_unmap(buffer, &map);
    // Buffers without samples (the first ones, those before a seek target)
    // count as input taken; the base class times the output from the segment
    // and the samples handed out, since no buffer carries a time.
    const GstFlowReturn result = gst_audio_decoder_finish_frame(decoder, bufferOf(dec, frames), 1);
    if (dec->decoder->status() != qmz::Status::Ok) return failure(dec);
    return result;
}

gboolean sinkEvent(GstAudioDecoder* decoder, GstEvent* event) {
    QmzDec* dec = self(decoder);
    switch (GST_EVENT_TYPE(event)) {
        case GST_EVENT_EOS:
            dec->atEos = true;
            // A stream of no samples decodes to nothing, which the base class
            // would call a stream that failed to decode: it ends here.
            if (dec->decoder != nullptr && dec->decoder->samplesPerChannel() == 0 &&
                dec->decoder->status() == qmz::Status::Ok) {
                dec->decoder->endInput();
                readDecoded(dec, 0);  // a stream cut short still fails
                if (dec->decoder->status() == qmz::Status::Ok) {
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
    if (dec->decoder != nullptr) restart(dec);
}

gboolean stop(GstAudioDecoder* decoder) {
    QmzDec* dec = self(decoder);
    delete dec->decoder;
    dec->decoder = nullptr;
    dec->header->clear();
    dec->atEos = false;
    return TRUE;
}

void finalize(GObject* object) {
    QmzDec* dec = reinterpret_cast<QmzDec*>(object);
    delete dec->decoder;
    delete dec->header;
    delete dec->pcm;
    G_OBJECT_CLASS(qmz_dec_parent_class)->finalize(object);
}

}  // namespace

static void qmz_dec_class_init(QmzDecClass* klass) {
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstAudioDecoderClass* base = GST_AUDIO_DECODER_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(qmz_dec_debug, "qmzdec", 0, "QMZ decoder");
    G_OBJECT_CLASS(klass)->finalize = finalize;
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
    dec->decoder = nullptr;
    dec->header = new std::vector<uint8_t>();
    dec->pcm = new std::vector<int16_t>();
    dec->channels = 0;
    dec->rate = 0;
    dec->decoded = 0;
    dec->firstWanted = 0;
    dec->atEos = false;
    // Every sample of the stream counts; none may be dropped for timing.
    gst_audio_decoder_set_needs_format(GST_AUDIO_DECODER(dec), TRUE);
}

gboolean qmz_dec_register(GstPlugin* plugin) {
    return gst_element_register(plugin, "qmzdec", GST_RANK_PRIMARY, qmz_dec_get_type());
}
