#include "plugins/gstreamer/restart_meta.h"

namespace qmz::gst {
namespace {

constexpr const char* kMetaName = "QmzRestartMeta";

// The meta travels with copies of the buffer (the decoder base class copies
// what its adapter hands on).
gboolean copyMeta(GstBuffer* copy, GstCustomMeta* meta, GstBuffer* /*source*/, GQuark type,
                  gpointer /*data*/, gpointer /*userData*/) {
    if (!GST_META_TRANSFORM_IS_COPY(type)) return FALSE;
    GstCustomMeta* copied = gst_buffer_add_custom_meta(copy, kMetaName);
    if (copied == nullptr) return FALSE;
    GstStructure* fields = gst_custom_meta_get_structure(copied);
    const GstStructure* from = gst_custom_meta_get_structure(meta);
    for (int i = 0; i < gst_structure_n_fields(from); ++i) {
        const gchar* name = gst_structure_nth_field_name(from, static_cast<guint>(i));
        gst_structure_set_value(fields, name, gst_structure_get_value(from, name));
    }
    return TRUE;
}

}  // namespace

void registerRestartMeta() {
    static gsize done = 0;
    if (g_once_init_enter(&done)) {
        static const gchar* tags[] = {nullptr};
        gst_meta_register_custom(kMetaName, tags, copyMeta, nullptr, nullptr);
        g_once_init_leave(&done, 1);
    }
}

void addRestartMeta(GstBuffer* buffer, const RestartPoint& point) {
    GstCustomMeta* meta = gst_buffer_add_custom_meta(buffer, kMetaName);
    if (meta == nullptr) return;
    gst_structure_set(gst_custom_meta_get_structure(meta), "frame", G_TYPE_INT, point.frame,
                      "noise-draws", G_TYPE_UINT64, static_cast<guint64>(point.noiseDraws),
                      nullptr);
}

bool readRestartMeta(GstBuffer* buffer, RestartPoint& point) {
    GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, kMetaName);
    if (meta == nullptr) return false;
    const GstStructure* fields = gst_custom_meta_get_structure(meta);
    gint frame = 1;
    guint64 draws = 0;
    if (!gst_structure_get_int(fields, "frame", &frame) ||
        !gst_structure_get_uint64(fields, "noise-draws", &draws)) {
        return false;
    }
    point.frame = frame;
    point.noiseDraws = draws;
    return true;
}

}  // namespace qmz::gst
