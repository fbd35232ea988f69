// The tag block at the end of a .qmz file as a GstTagList.
#pragma once

#include <gst/gst.h>

#include <cstdint>

#include "io/tag_block.h"

namespace qmz::gst {

// The fields under GStreamer's names (unknown keys become extended comments)
// and the picture as an image sample. Never null.
GstTagList* tagListOf(const Tags& tags);

// Pulls the trailing tag block of a file of `fileSize` bytes through the
// pull-mode pad `pad`. `payloadEnd` becomes where the block begins (the file
// size when there is none). Returns the tags, or null for a file without tags
// or with a damaged block (then `error` says which).
GstTagList* pullTrailingTags(GstPad* pad, uint64_t fileSize, uint64_t& payloadEnd,
                             TagError& error);

}  // namespace qmz::gst
