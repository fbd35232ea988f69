// qmzparse: reads the 266-byte header (format, duration, the header itself
// as codec_data for the decoder) and hands the payload on in chunks the push
// decoder takes as they come. Frames are not byte-aligned, so chunks carry no
// time of their own; the decoder counts samples from where it starts.
//
// Seeking, in pull mode: the library's seek index (the file's seek table, or
// a scan for its resync records) names the resync point before the target;
// the parser goes there and tags the chunk with the point, and the decoder
// restarts at it and drops the samples before the target. In push mode, or
// when the file holds no usable point, a seek restarts the stream at its
// header and the decoder decodes from the start, dropping what lies before
// the target: exact, slower the further into the file it goes.
//
// In pull mode the tag block at the end of the file is read and posted, and
// the payload handed on stops where that block begins.
#include <gst/base/gstbaseparse.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <mutex>

#include "common/container.h"
#include "decoder/decoder.h"
#include "io/seek_index.h"
#include "plugins/gstreamer/elements.h"
#include "plugins/gstreamer/pad_stream.h"
#include "plugins/gstreamer/restart_meta.h"
#include "plugins/gstreamer/tag_list.h"

GST_DEBUG_CATEGORY_STATIC(qmz_parse_debug);
#define GST_CAT_DEFAULT qmz_parse_debug

namespace {

// Large enough to keep the per-buffer overhead small, small enough that the
// decoder's input buffer (some tens of kilobytes) takes a chunk in one go.
constexpr guint kChunkSize = 8192;

}  // namespace

// The seek machinery: made at the first seek, used from the seeking thread
// (convert) and the streaming thread (handleFrame).
struct SeekState {
    std::mutex lock;
    qmz::ContainerFile file;
    std::unique_ptr<qmz::gst::PadStreamBuf> buffer;
    std::unique_ptr<std::istream> stream;
    std::unique_ptr<qmz::SeekIndex> index;
    bool indexTried = false;
    // The resync points seeks went to, by byte offset in the file.
    std::map<uint64_t, qmz::gst::RestartPoint> restarts;
};

struct QmzParse {
    GstBaseParse parent;
    bool haveHeader;
    uint64_t payloadEnd;  // where the tag block begins, or UINT64_MAX when unknown
    SeekState* seek;      // built in init, destroyed in finalize
};

struct QmzParseClass {
    GstBaseParseClass parent_class;
};

G_DEFINE_TYPE(QmzParse, qmz_parse, GST_TYPE_BASE_PARSE)

namespace {

GstStaticPadTemplate sinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(QMZ_CAPS_NAME));

GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS(QMZ_CAPS_NAME ", parsed = (boolean) true, channels = (int) [ 1, 2 ], "
                                  "rate = (int) [ 1, MAX ]"));

QmzParse* self(GstBaseParse* parse) {
    return reinterpret_cast<QmzParse*>(parse);
}

gboolean start(GstBaseParse* parse) {
    {
        std::lock_guard<std::mutex> hold(self(parse)->seek->lock);
        SeekState& seek = *self(parse)->seek;
        seek.index.reset();
        seek.stream.reset();
        seek.buffer.reset();
        seek.indexTried = false;
        seek.restarts.clear();
    }
    self(parse)->haveHeader = false;
    self(parse)->payloadEnd = UINT64_MAX;
    gst_base_parse_set_min_frame_size(parse, qmz::kContainerHeaderSize);
    // Chunks have no time of their own; seeks go by the seek index (above).
    gst_base_parse_set_has_timing_info(parse, FALSE);
    return TRUE;
}

bool inPullMode(GstBaseParse* parse) {
    return GST_PAD_MODE(GST_BASE_PARSE_SINK_PAD(parse)) == GST_PAD_MODE_PULL;
}

// The tags of the trailing block (pull mode only: in push mode the end of
// the file is out of reach), into `list`.
void readTags(GstBaseParse* parse, GstTagList* list) {
    gint64 fileSize = 0;
    GstPad* sinkpad = GST_BASE_PARSE_SINK_PAD(parse);
    GST_DEBUG_OBJECT(parse, "looking for tags, %s mode", inPullMode(parse) ? "pull" : "push");
    if (!inPullMode(parse) || !gst_pad_peer_query_duration(sinkpad, GST_FORMAT_BYTES, &fileSize) ||
        fileSize <= 0) {
        return;
    }
    uint64_t payloadEnd = 0;
    qmz::TagError error = qmz::TagError::None;
    GstTagList* tags =
        qmz::gst::pullTrailingTags(sinkpad, static_cast<uint64_t>(fileSize), payloadEnd, error);
    if (error != qmz::TagError::None && error != qmz::TagError::NoBlock) {
        // The stream itself is fine; a damaged block is ignored, as the programs do.
        GST_ELEMENT_WARNING(parse, STREAM, DEMUX, ("The tag block at the end is damaged (%s).",
                                                   qmz::describeTagError(error)),
                            (nullptr));
    }
    GST_DEBUG_OBJECT(parse, "file of %" G_GINT64_FORMAT " bytes, tag block: %s", fileSize,
                     qmz::describeTagError(error));
    self(parse)->payloadEnd = payloadEnd;
    if (tags != nullptr) {
        gst_tag_list_insert(list, tags, GST_TAG_MERGE_REPLACE);
        gst_tag_list_unref(tags);
    }
}

GstFlowReturn handleHeader(GstBaseParse* parse, GstBaseParseFrame* frame,
                           const std::array<uint8_t, qmz::kContainerHeaderSize>& bytes) {
    qmz::ContainerFile file;
    const qmz::DecodeError error = qmz::readContainerHeader(bytes.data(), bytes.size(), file);
    if (error != qmz::DecodeError::None) {
        GST_ELEMENT_ERROR(parse, STREAM, DECODE,
                          ("Cannot read the .qmz header: %s.", qmz::describeDecodeError(error)),
                          (nullptr));
        return GST_FLOW_ERROR;
    }
    {
        std::lock_guard<std::mutex> hold(self(parse)->seek->lock);
        self(parse)->seek->file = file;
    }
    const int channels = file.header.channels;
    const int rate = static_cast<int>(file.format.sampleRate());
    GstBuffer* header = gst_buffer_new_memdup(bytes.data(), bytes.size());
    GstCaps* caps = gst_caps_new_simple(QMZ_CAPS_NAME, "parsed", G_TYPE_BOOLEAN, TRUE, "channels",
                                        G_TYPE_INT, channels, "rate", G_TYPE_INT, rate,
                                        "codec_data", GST_TYPE_BUFFER, header, nullptr);
    gst_buffer_unref(header);
    gst_pad_set_caps(GST_BASE_PARSE_SRC_PAD(parse), caps);
    gst_caps_unref(caps);
    if (rate > 0) {
        gst_base_parse_set_duration(
            parse, GST_FORMAT_TIME,
            static_cast<gint64>(gst_util_uint64_scale(
                static_cast<guint64>(file.header.samplesPerChannel), GST_SECOND, static_cast<guint64>(rate))),
            0);
    }
    if (!self(parse)->haveHeader) {
        // One list: each merge_tags call replaces the one before.
        GstTagList* tags = gst_tag_list_new(GST_TAG_AUDIO_CODEC, "QMZ", nullptr);
        if (file.header.avgBitRate > 0) {
            gst_tag_list_add(tags, GST_TAG_MERGE_REPLACE, GST_TAG_BITRATE,
                             static_cast<guint>(file.header.avgBitRate), nullptr);
        }
        readTags(parse, tags);
        gst_base_parse_merge_tags(parse, tags, GST_TAG_MERGE_REPLACE);
        gst_tag_list_unref(tags);
    }
    self(parse)->haveHeader = true;
    gst_base_parse_set_min_frame_size(parse, 1);
    // The decoder takes the header from the caps; the buffer itself goes nowhere.
    frame->flags |= GST_BASE_PARSE_FRAME_FLAG_DROP;
    return gst_base_parse_finish_frame(parse, frame, qmz::kContainerHeaderSize);
}

// The chunk of `size` bytes, as its own buffer with the restart meta (the
// base class would carry over the times and flags of frame->buffer, not its
// metas).
void tagRestart(GstBaseParseFrame* frame, guint size, const qmz::gst::RestartPoint& point) {
    GstBuffer* chunk = gst_buffer_copy_region(frame->buffer, GST_BUFFER_COPY_ALL, 0, size);
    qmz::gst::addRestartMeta(chunk, point);
    gst_buffer_replace(&frame->out_buffer, chunk);
    gst_buffer_unref(chunk);
}

GstFlowReturn handleFrame(GstBaseParse* parse, GstBaseParseFrame* frame, gint* skipsize) {
    const uint64_t offset = frame->offset;
    GstMapInfo map;
    if (!gst_buffer_map(frame->buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
    GstFlowReturn result = GST_FLOW_OK;
    if (offset == 0 || !self(parse)->haveHeader) {
        if (offset != 0) {
            // A stream entered in its middle (a byte seek): there is no header to read.
            GST_ELEMENT_ERROR(parse, STREAM, DECODE,
                              ("A .qmz stream can only be read from its start."), (nullptr));
            result = GST_FLOW_ERROR;
        } else if (map.size < qmz::kContainerHeaderSize) {
            // Known short (a file's size) or at its end: there is no more to wait for.
            gint64 streamSize = -1;
            if (GST_BASE_PARSE_DRAINING(parse) ||
                (gst_pad_peer_query_duration(GST_BASE_PARSE_SINK_PAD(parse), GST_FORMAT_BYTES,
                                             &streamSize) &&
                 streamSize >= 0 && streamSize < static_cast<gint64>(qmz::kContainerHeaderSize))) {
                GST_ELEMENT_ERROR(parse, STREAM, DECODE,
                                  ("The .qmz stream ends inside its header (%u bytes).",
                                   static_cast<unsigned>(map.size)),
                                  (nullptr));
                result = GST_FLOW_ERROR;
            }
            *skipsize = 0;
        } else {
            std::array<uint8_t, qmz::kContainerHeaderSize> header;
            std::copy_n(map.data, header.size(), header.begin());
            gst_buffer_unmap(frame->buffer, &map);
            return handleHeader(parse, frame, header);
        }
        gst_buffer_unmap(frame->buffer, &map);
        return result;
    }
    gst_buffer_unmap(frame->buffer, &map);
    const uint64_t end = self(parse)->payloadEnd;
    if (offset >= end) {
        // The tag block: nothing for the decoder.
        frame->flags |= GST_BASE_PARSE_FRAME_FLAG_DROP;
        return gst_base_parse_finish_frame(parse, frame, static_cast<gint>(map.size));
    }
    const guint size = static_cast<guint>(std::min<uint64_t>({map.size, kChunkSize, end - offset}));
    // The decoder starts afresh at the first payload byte and, right after a
    // seek, at the resync point the seek went to; every other chunk
    // continues the one before.
    GST_BUFFER_OFFSET(frame->buffer) = offset;
    GST_LOG_OBJECT(parse, "chunk at %" G_GUINT64_FORMAT "%s", offset,
                   GST_BUFFER_FLAG_IS_SET(frame->buffer, GST_BUFFER_FLAG_DISCONT) ? " (discont)" : "");
    if (offset == qmz::kContainerHeaderSize) {
        tagRestart(frame, size, qmz::gst::RestartPoint{});
    } else if (GST_BUFFER_FLAG_IS_SET(frame->buffer, GST_BUFFER_FLAG_DISCONT)) {
        std::lock_guard<std::mutex> hold(self(parse)->seek->lock);
        const auto& restarts = self(parse)->seek->restarts;
        if (const auto found = restarts.find(offset); found != restarts.end()) {
            GST_DEBUG_OBJECT(parse, "restart at frame %d, byte %" G_GUINT64_FORMAT,
                             found->second.frame, offset);
            tagRestart(frame, size, found->second);
        }
    }
    return gst_base_parse_finish_frame(parse, frame, static_cast<gint>(size));
}

// The byte a decode must start from to give sample frame `sample`: a resync
// point from the seek index (pull mode), or 0, the stream's start.
uint64_t seekOffset(GstBaseParse* parse, int64_t sample) {
    SeekState& seek = *self(parse)->seek;
    std::lock_guard<std::mutex> hold(seek.lock);
    if (!self(parse)->haveHeader || sample <= 0 || sample >= seek.file.header.samplesPerChannel ||
        !inPullMode(parse)) {
        return 0;
    }
    if (!seek.indexTried) {
        seek.indexTried = true;
        gint64 size = 0;
        GstPad* sinkpad = GST_BASE_PARSE_SINK_PAD(parse);
        if (gst_pad_peer_query_duration(sinkpad, GST_FORMAT_BYTES, &size) && size > 0) {
            seek.buffer =
                std::make_unique<qmz::gst::PadStreamBuf>(sinkpad, static_cast<uint64_t>(size));
            seek.stream = std::make_unique<std::istream>(seek.buffer.get());
            seek.index = qmz::openSeekIndex(*seek.stream, qmz::kContainerHeaderSize, seek.file);
        }
    }
    qmz::SeekPoint point;
    if (seek.index == nullptr || !seek.index->pointFor(sample, point)) return 0;
    GST_DEBUG_OBJECT(parse, "sample %" G_GINT64_FORMAT ": resync point before frame %d at %" G_GINT64_FORMAT
                     "%s", sample, point.frame, point.offset, point.noiseKnown ? "" : " (noise draws unknown)");
    const uint64_t offset = qmz::kContainerHeaderSize + static_cast<uint64_t>(point.offset);
    if (offset != qmz::kContainerHeaderSize) seek.restarts[offset] = {point.frame, point.noiseDraws};
    return offset;
}

gboolean convert(GstBaseParse* parse, GstFormat srcFormat, gint64 srcValue, GstFormat destFormat,
                 gint64* destValue) {
    if (srcFormat == GST_FORMAT_TIME && destFormat == GST_FORMAT_BYTES && srcValue >= 0) {
        const int rate = static_cast<int>(self(parse)->seek->file.format.sampleRate());
        const auto sample = rate > 0 ? static_cast<int64_t>(gst_util_uint64_scale_ceil(
                                           static_cast<guint64>(srcValue), static_cast<guint64>(rate), GST_SECOND))
                                     : 0;
        *destValue = static_cast<gint64>(seekOffset(parse, sample));
        return TRUE;
    }
    return gst_base_parse_convert_default(parse, srcFormat, srcValue, destFormat, destValue);
}

// A time seek is answered by the base class, which looks in its index
// first: the resync point for the target goes in there, under the target's
// own time, so that the base class goes to that byte and keeps the target
// as the segment's start.
gboolean srcEvent(GstBaseParse* parse, GstEvent* event) {
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
        gdouble rate = 1.0;
        GstFormat format = GST_FORMAT_UNDEFINED;
        GstSeekType startType = GST_SEEK_TYPE_NONE;
        gint64 start = -1;
        gst_event_parse_seek(event, &rate, &format, nullptr, &startType, &start, nullptr, nullptr);
        const int sampleRate = static_cast<int>(self(parse)->seek->file.format.sampleRate());
        if (format == GST_FORMAT_TIME && startType == GST_SEEK_TYPE_SET && start > 0 && rate > 0.0 &&
            sampleRate > 0) {
            const auto sample = static_cast<int64_t>(gst_util_uint64_scale_ceil(
                static_cast<guint64>(start), static_cast<guint64>(sampleRate), GST_SECOND));
            const uint64_t offset = seekOffset(parse, sample);
            if (offset > qmz::kContainerHeaderSize) {
                gst_base_parse_add_index_entry(parse, offset, static_cast<GstClockTime>(start), TRUE,
                                               TRUE);
            }
        }
    }
    return GST_BASE_PARSE_CLASS(qmz_parse_parent_class)->src_event(parse, event);
}

void finalize(GObject* object) {
    delete reinterpret_cast<QmzParse*>(object)->seek;
    G_OBJECT_CLASS(qmz_parse_parent_class)->finalize(object);
}

}  // namespace

static void qmz_parse_class_init(QmzParseClass* klass) {
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseParseClass* parse = GST_BASE_PARSE_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(qmz_parse_debug, "qmzparse", 0, "QMZ stream parser");
    G_OBJECT_CLASS(klass)->finalize = finalize;
    qmz::gst::registerRestartMeta();
    gst_element_class_add_static_pad_template(element, &sinkTemplate);
    gst_element_class_add_static_pad_template(element, &srcTemplate);
    gst_element_class_set_static_metadata(
        element, "QMZ stream parser", "Codec/Parser/Audio",
        "Reads the header of a .qmz stream (format, duration, tags) and hands the payload to "
        "the decoder",
        "QMZ developers");
    parse->start = start;
    parse->handle_frame = handleFrame;
    parse->convert = convert;
    parse->src_event = srcEvent;
}

static void qmz_parse_init(QmzParse* parse) {
    parse->haveHeader = false;
    parse->payloadEnd = UINT64_MAX;
    parse->seek = new SeekState();
}


gboolean qmz_parse_register(GstPlugin* plugin) {
    return gst_element_register(plugin, "qmzparse", GST_RANK_PRIMARY + 1, qmz_parse_get_type());
}
