#include "plugins/gstreamer/tag_list.h"

#include <gst/tag/tag.h>

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/container.h"

namespace qmz::gst {
namespace {

struct TagName {
    std::string_view key;
    const char* gstTag;
};

constexpr std::array<TagName, 6> kStringTags = {{
    {"TITLE", GST_TAG_TITLE},
    {"ARTIST", GST_TAG_ARTIST},
    {"ALBUM", GST_TAG_ALBUM},
    {"GENRE", GST_TAG_GENRE},
    {"COMMENT", GST_TAG_COMMENT},
    {"ALBUMARTIST", GST_TAG_ALBUM_ARTIST},
}};

void addField(GstTagList* list, const std::string& key, const std::string& value) {
    for (const TagName& name : kStringTags) {
        if (key == name.key) {
            gst_tag_list_add(list, GST_TAG_MERGE_APPEND, name.gstTag, value.c_str(), nullptr);
            return;
        }
    }
    if (key == "DATE") {
        if (GstDateTime* date = gst_date_time_new_from_iso8601_string(value.c_str())) {
            gst_tag_list_add(list, GST_TAG_MERGE_APPEND, GST_TAG_DATE_TIME, date, nullptr);
            gst_date_time_unref(date);
            return;
        }
    } else if (key == "TRACKNUMBER") {
        // "3" or "3/12"
        char* end = nullptr;
        const unsigned long number = std::strtoul(value.c_str(), &end, 10);
        if (end != value.c_str() && number > 0 && number <= G_MAXUINT) {
            gst_tag_list_add(list, GST_TAG_MERGE_APPEND, GST_TAG_TRACK_NUMBER,
                             static_cast<guint>(number), nullptr);
            if (*end == '/') {
                const unsigned long count = std::strtoul(end + 1, nullptr, 10);
                if (count > 0 && count <= G_MAXUINT) {
                    gst_tag_list_add(list, GST_TAG_MERGE_APPEND, GST_TAG_TRACK_COUNT,
                                     static_cast<guint>(count), nullptr);
                }
            }
            return;
        }
    }
    // Anything else is kept, the way other formats' comment tags are.
    const std::string comment = key + "=" + value;
    gst_tag_list_add(list, GST_TAG_MERGE_APPEND, GST_TAG_EXTENDED_COMMENT, comment.c_str(),
                     nullptr);
}

bool pullBytes(GstPad* pad, uint64_t offset, std::size_t size, std::vector<uint8_t>& bytes) {
    bytes.resize(size);
    if (size == 0) return true;
    GstBuffer* buffer = nullptr;
    if (gst_pad_pull_range(pad, offset, static_cast<guint>(size), &buffer) != GST_FLOW_OK) {
        return false;
    }
    const std::size_t got = gst_buffer_extract(buffer, 0, bytes.data(), size);
    gst_buffer_unref(buffer);
    return got == size;
}

}  // namespace

GstTagList* tagListOf(const Tags& tags) {
    GstTagList* list = gst_tag_list_new_empty();
    for (const auto& [key, value] : tags.fields) addField(list, key, value);
    if (tags.picture && !tags.picture->data.empty()) {
        const TagPicture& picture = *tags.picture;
        if (GstSample* image = gst_tag_image_data_to_image_sample(
                picture.data.data(), static_cast<guint>(picture.data.size()),
                GST_TAG_IMAGE_TYPE_FRONT_COVER)) {
            gst_tag_list_add(list, GST_TAG_MERGE_APPEND, GST_TAG_IMAGE, image, nullptr);
            gst_sample_unref(image);
        }
    }
    return list;
}

GstTagList* pullTrailingTags(GstPad* pad, uint64_t fileSize, uint64_t& payloadEnd,
                             TagError& error) {
    payloadEnd = fileSize;
    error = TagError::NoBlock;
    if (fileSize < kContainerHeaderSize + kTagFooterSize) return nullptr;
    std::vector<uint8_t> footerBytes;
    if (!pullBytes(pad, fileSize - kTagFooterSize, kTagFooterSize, footerBytes)) return nullptr;
    TagFooter footer;
    error = readTagFooter(std::span<const uint8_t, kTagFooterSize>(footerBytes.data(), kTagFooterSize),
                          fileSize - kContainerHeaderSize - kTagFooterSize, footer);
    if (error != TagError::None) return nullptr;
    std::vector<uint8_t> items;
    const uint64_t itemsOffset = fileSize - footer.blockSize;
    if (!pullBytes(pad, itemsOffset, footer.blockSize - kTagFooterSize, items)) {
        error = TagError::BadFooter;
        return nullptr;
    }
    Tags tags;
    error = parseTagItems(items, footer, tags);
    if (error != TagError::None) return nullptr;
    payloadEnd = itemsOffset;
    return tagListOf(tags);
}

}  // namespace qmz::gst
