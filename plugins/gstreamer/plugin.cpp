// The gstqmz plugin: .qmz files in any GStreamer pipeline (typefinding,
// parsing, decoding, encoding).
#include "plugins/gstreamer/elements.h"

#ifndef QMZ_VERSION
#define QMZ_VERSION "0.0.0"
#endif

namespace {

gboolean pluginInit(GstPlugin* plugin) {
    return qmz_typefind_register(plugin) && qmz_parse_register(plugin) &&
           qmz_dec_register(plugin) && qmz_enc_register(plugin);
}

}  // namespace

#define PACKAGE "qmz"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, qmz,
                  "QMZ perceptual audio codec: .qmz typefinding, parsing, decoding and encoding",
                  pluginInit, QMZ_VERSION, "LGPL", "QMZ", "https://qmz.invalid/")
