// The plugin's elements, registered by plugin.cpp. Each element file owns
// its GObject type and its pad templates.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

gboolean qmz_typefind_register(GstPlugin* plugin);
gboolean qmz_parse_register(GstPlugin* plugin);
gboolean qmz_dec_register(GstPlugin* plugin);
gboolean qmz_enc_register(GstPlugin* plugin);

G_END_DECLS

// The caps every element of the plugin speaks on its coded side.
#define QMZ_CAPS_NAME "audio/x-qmz"
