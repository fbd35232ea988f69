// qmzenc: the library's PCM encoder as a GstAudioEncoder. The encoder writes
// the stream front to back and rewrites its 266-byte header at the end, so
// the element needs a downstream that can seek back (a file): the last thing
// it sends is a byte segment at 0 and the final header.
#include <gst/audio/gstaudioencoder.h>

#include <cstdint>
#include <vector>

#include "common/container.h"
#include "plugins/gstreamer/elements.h"
#include "qmz/codec.h"

GST_DEBUG_CATEGORY_STATIC(qmz_enc_debug);
#define GST_CAT_DEFAULT qmz_enc_debug

enum { PROP_0, PROP_PRESET, PROP_QUALITY, PROP_BITRATE };

struct QmzEnc {
    GstAudioEncoder parent;
    qmz::QualityPreset preset;
    double quality;  // the quality mode: 0..10, or -1 for the preset
    int bitrate;     // the quality mode at an average kbit/s, or 0
    // Built in init, destroyed in finalize (GObject allocates with g_malloc).
    qmz::StreamEncoder* encoder;
    std::vector<uint8_t>* pending;  // bytes appended since the last push
    std::vector<uint8_t>* header;   // the final header, once rewritten
    uint64_t written;               // bytes of the stream so far
    bool finished;                  // drained: the header is written
};

struct QmzEncClass {
    GstAudioEncoderClass parent_class;
};

G_DEFINE_TYPE(QmzEnc, qmz_enc, GST_TYPE_AUDIO_ENCODER)

namespace {

GstStaticPadTemplate sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) " GST_AUDIO_NE(S16) ", layout = (string) "
                    "interleaved, rate = (int) 44100, channels = (int) [ 1, 2 ]"));

GstStaticPadTemplate srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS(QMZ_CAPS_NAME ", channels = (int) [ 1, 2 ], "
                                                          "rate = (int) 44100"));

GType presetType() {
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue values[] = {
            {static_cast<gint>(qmz::QualityPreset::AAA), "AAA: largest files, highest quality", "AAA"},
            {static_cast<gint>(qmz::QualityPreset::AA), "AA", "AA"},
            {static_cast<gint>(qmz::QualityPreset::A), "A: the default", "A"},
            {static_cast<gint>(qmz::QualityPreset::B), "B", "B"},
            {static_cast<gint>(qmz::QualityPreset::C), "C", "C"},
            {static_cast<gint>(qmz::QualityPreset::D), "D", "D"},
            {static_cast<gint>(qmz::QualityPreset::E), "E: smallest files, mid/side stereo", "E"},
            {0, nullptr, nullptr},
        };
        g_once_init_leave(&type, g_enum_register_static("QmzEncPreset", values));
    }
    return type;
}

QmzEnc* self(GstAudioEncoder* enc) {
    return reinterpret_cast<QmzEnc*>(enc);
}

bool downstreamSeekable(GstAudioEncoder* enc) {
    GstQuery* query = gst_query_new_seeking(GST_FORMAT_BYTES);
    gboolean seekable = FALSE;
    if (gst_pad_peer_query(GST_AUDIO_ENCODER_SRC_PAD(enc), query)) {
        gst_query_parse_seeking(query, nullptr, &seekable, nullptr, nullptr);
    }
    gst_query_unref(query);
    return seekable;
}

gboolean setFormat(GstAudioEncoder* encoder, GstAudioInfo* info) {
    QmzEnc* enc = self(encoder);
    if (!downstreamSeekable(encoder)) {
        GST_ELEMENT_ERROR(enc, STREAM, ENCODE,
                          ("qmzenc needs a downstream element that can seek, such as filesink: "
                           "the .qmz header is written last, at the start of the stream."),
                          (nullptr));
        return FALSE;
    }
    delete enc->encoder;
    enc->pending->clear();
    enc->header->clear();
    enc->written = 0;
    enc->finished = false;
    const qmz::PcmFormat format{GST_AUDIO_INFO_CHANNELS(info),
                                static_cast<uint32_t>(GST_AUDIO_INFO_RATE(info))};
    qmz::QmzWriteAt writeAt = [enc](uint64_t offset, const uint8_t* bytes, std::size_t size) {
        if (offset == enc->written) {
            enc->pending->insert(enc->pending->end(), bytes, bytes + size);
            enc->written += size;
        } else if (offset == 0 && size == qmz::kContainerHeaderSize) {
            enc->header->assign(bytes, bytes + size);
        } else {
            return false;
        }
        return true;
    };
    qmz::EncodeSettings settings;
    settings.preset = enc->preset;
    settings.quality = enc->quality;
    settings.bitrate = enc->bitrate;
    enc->encoder = new qmz::StreamEncoder(format, writeAt, settings);
    if (enc->encoder->status() != qmz::Status::Ok) {
        GST_ELEMENT_ERROR(enc, STREAM, ENCODE,
                          ("Cannot start encoding: %s.", qmz::describeStatus(enc->encoder->status())),
                          (nullptr));
        return FALSE;
    }
    GstCaps* caps = gst_caps_new_simple(QMZ_CAPS_NAME, "channels", G_TYPE_INT, format.channels,
                                        "rate", G_TYPE_INT, GST_AUDIO_INFO_RATE(info), nullptr);
    const gboolean ok = gst_audio_encoder_set_output_format(encoder, caps);
    gst_caps_unref(caps);
    return ok;
}

GstBuffer* takePending(QmzEnc* enc) {
    if (enc->pending->empty()) return nullptr;
    GstBuffer* buffer = gst_buffer_new_memdup(enc->pending->data(), enc->pending->size());
    enc->pending->clear();
    return buffer;
}

GstFlowReturn failure(QmzEnc* enc, qmz::Status status) {
    GST_ELEMENT_ERROR(enc, STREAM, ENCODE, ("Encoding failed: %s.", qmz::describeStatus(status)),
                      (nullptr));
    return GST_FLOW_ERROR;
}

// The end: the rest of the stream, then the final header over the placeholder.
GstFlowReturn finish(GstAudioEncoder* encoder) {
    QmzEnc* enc = self(encoder);
    // The base class may drain more than once at the end.
    if (enc->finished) return GST_FLOW_OK;
    enc->finished = true;
    const qmz::Status status = enc->encoder->finish();
    if (status != qmz::Status::Ok) return failure(enc, status);
    GstFlowReturn result = GST_FLOW_OK;
    if (GstBuffer* rest = takePending(enc)) {
        result = gst_audio_encoder_finish_frame(encoder, rest, 0);
        if (result != GST_FLOW_OK) return result;
    }
    if (enc->header->size() != qmz::kContainerHeaderSize) return failure(enc, qmz::Status::WriteFailed);
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_BYTES);
    if (!gst_pad_push_event(GST_AUDIO_ENCODER_SRC_PAD(encoder), gst_event_new_segment(&segment))) {
        GST_ELEMENT_ERROR(enc, RESOURCE, SEEK,
                          ("Cannot seek back to write the .qmz header: the output is incomplete."),
                          (nullptr));
        return GST_FLOW_ERROR;
    }
    GstBuffer* header = gst_buffer_new_memdup(enc->header->data(), enc->header->size());
    GST_BUFFER_OFFSET(header) = 0;
    return gst_pad_push(GST_AUDIO_ENCODER_SRC_PAD(encoder), header);
}

GstFlowReturn handleFrame(GstAudioEncoder* encoder, GstBuffer* buffer) {
    QmzEnc* enc = self(encoder);
    if (enc->encoder == nullptr) return GST_FLOW_NOT_NEGOTIATED;
    if (buffer == nullptr) return finish(encoder);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
    const std::size_t channels = static_cast<std::size_t>(enc->encoder->format().channels);
    const std::size_t frames = map.size / (channels * sizeof(int16_t));
    const qmz::Status status =
        enc->encoder->write(reinterpret_cast<const int16_t*>(map.data), frames);
    gst_buffer_unmap(buffer, &map);
    if (status != qmz::Status::Ok) return failure(enc, status);
    return gst_audio_encoder_finish_frame(encoder, takePending(enc), static_cast<gint>(frames));
}

gboolean stop(GstAudioEncoder* encoder) {
    QmzEnc* enc = self(encoder);
    delete enc->encoder;
    enc->encoder = nullptr;
    enc->pending->clear();
    enc->header->clear();
    return TRUE;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    QmzEnc* enc = reinterpret_cast<QmzEnc*>(object);
    if (id == PROP_PRESET) {
        enc->preset = static_cast<qmz::QualityPreset>(g_value_get_enum(value));
    } else if (id == PROP_QUALITY) {
        enc->quality = g_value_get_double(value);
    } else if (id == PROP_BITRATE) {
        enc->bitrate = g_value_get_int(value);
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    QmzEnc* enc = reinterpret_cast<QmzEnc*>(object);
    if (id == PROP_PRESET) {
        g_value_set_enum(value, static_cast<gint>(enc->preset));
    } else if (id == PROP_QUALITY) {
        g_value_set_double(value, enc->quality);
    } else if (id == PROP_BITRATE) {
        g_value_set_int(value, enc->bitrate);
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void finalize(GObject* object) {
    QmzEnc* enc = reinterpret_cast<QmzEnc*>(object);
    delete enc->encoder;
    delete enc->pending;
    delete enc->header;
    G_OBJECT_CLASS(qmz_enc_parent_class)->finalize(object);
}

}  // namespace

static void qmz_enc_class_init(QmzEncClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstAudioEncoderClass* base = GST_AUDIO_ENCODER_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(qmz_enc_debug, "qmzenc", 0, "QMZ encoder");
    object->set_property = setProperty;
    object->get_property = getProperty;
    object->finalize = finalize;
    g_object_class_install_property(
        object, PROP_PRESET,
        g_param_spec_enum("preset", "Preset",
                          "Quality preset, from the largest files (AAA) to the smallest (E)",
                          presetType(), static_cast<gint>(qmz::QualityPreset::A),
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    // The quality mode (the preset is then not used). The encoder sees the
    // PCM once, so `bitrate` is one pass at the quality that usually gives
    // that rate, as for a WAV pipe.
    g_object_class_install_property(
        object, PROP_QUALITY,
        g_param_spec_double("quality", "Quality",
                            "Variable-rate quality from 0 (smallest) to 10 (best); 5 gives about "
                            "128 kbit/s on music; -1: use the preset",
                            -1.0, 10.0, -1.0,
                            static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    g_object_class_install_property(
        object, PROP_BITRATE,
        g_param_spec_int("bitrate", "Bit rate",
                         "Average bit rate in kbit/s (48..320), one pass; 0: use the preset or "
                         "the quality",
                         0, 320, 0,
                         static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    gst_element_class_add_static_pad_template(element, &sinkTemplate);
    gst_element_class_add_static_pad_template(element, &srcTemplate);
    gst_element_class_set_static_metadata(
        element, "QMZ audio encoder", "Codec/Encoder/Audio",
        "Encodes 44.1 kHz 16-bit PCM (mono or stereo) into a .qmz stream; needs a seekable "
        "downstream such as filesink",
        "QMZ developers");
    base->set_format = setFormat;
    base->handle_frame = handleFrame;
    base->stop = stop;
}

static void qmz_enc_init(QmzEnc* enc) {
    enc->preset = qmz::QualityPreset::A;
    enc->quality = -1.0;
    enc->bitrate = 0;
    enc->encoder = nullptr;
    enc->pending = new std::vector<uint8_t>();
    enc->header = new std::vector<uint8_t>();
    enc->written = 0;
    enc->finished = false;
}

gboolean qmz_enc_register(GstPlugin* plugin) {
    gst_type_mark_as_plugin_api(presetType(), static_cast<GstPluginAPIFlags>(0));
    return gst_element_register(plugin, "qmzenc", GST_RANK_SECONDARY, qmz_enc_get_type());
}
