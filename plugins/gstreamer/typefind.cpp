// Recognises a .qmz stream by its header: the magic alone makes it likely,
// the magic with the constants every finished header holds makes it certain.
#include <algorithm>
#include <array>
#include <cstdint>

#include "plugins/gstreamer/elements.h"

namespace {

constexpr std::array<uint8_t, 4> kMagic = {'*', 'q', 'm', 'z'};

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void findQmz(GstTypeFind* find, gpointer /*unused*/) {
    const guint8* magic = gst_type_find_peek(find, 0, kMagic.size());
    if (magic == nullptr || !std::equal(kMagic.begin(), kMagic.end(), magic)) return;
    // Offsets 20 and 22 hold the constants 2 and 26 in every finished file.
    const guint8* head = gst_type_find_peek(find, 0, 24);
    const bool constants = head != nullptr && le16(head + 20) == 2 && le16(head + 22) == 26;
    GstCaps* caps = gst_caps_new_empty_simple(QMZ_CAPS_NAME);
    gst_type_find_suggest(find, constants ? GST_TYPE_FIND_MAXIMUM : GST_TYPE_FIND_LIKELY, caps);
    gst_caps_unref(caps);
}

}  // namespace

gboolean qmz_typefind_register(GstPlugin* plugin) {
    GstCaps* caps = gst_caps_new_empty_simple(QMZ_CAPS_NAME);
    const gboolean ok = gst_type_find_register(plugin, "qmz_typefind", GST_RANK_PRIMARY, findQmz,
                                               "qmz", caps, nullptr, nullptr);
    gst_caps_unref(caps);
    return ok;
}
