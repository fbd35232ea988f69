#include "plugins/gstreamer/pad_stream.h"

#include <algorithm>

namespace qmz::gst {
namespace {

// Large enough that scanning a file for its resync records makes few pulls.
constexpr uint64_t kWindowSize = 64 * 1024;

}  // namespace

uint64_t PadStreamBuf::position() const {
    return windowStart_ + static_cast<uint64_t>(gptr() - eback());
}

PadStreamBuf::int_type PadStreamBuf::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const uint64_t at = position();
    if (at >= size_) return traits_type::eof();
    const uint64_t size = std::min(kWindowSize, size_ - at);
    GstBuffer* buffer = nullptr;
    if (gst_pad_pull_range(pad_, at, static_cast<guint>(size), &buffer) != GST_FLOW_OK) {
        return traits_type::eof();
    }
    window_.resize(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, window_.data(), window_.size());
    gst_buffer_unref(buffer);
    windowStart_ = at;
    setg(window_.data(), window_.data(), window_.data() + window_.size());
    if (window_.empty()) return traits_type::eof();
    return traits_type::to_int_type(*gptr());
}

PadStreamBuf::pos_type PadStreamBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                             std::ios_base::openmode which) {
    int64_t base = 0;
    if (dir == std::ios_base::cur) base = static_cast<int64_t>(position());
    if (dir == std::ios_base::end) base = static_cast<int64_t>(size_);
    return seekpos(pos_type(base + offset), which);
}

PadStreamBuf::pos_type PadStreamBuf::seekpos(pos_type position, std::ios_base::openmode which) {
    const auto target = static_cast<int64_t>(position);
    if (!(which & std::ios_base::in) || target < 0 || static_cast<uint64_t>(target) > size_) {
        return pos_type(off_type(-1));
    }
    const auto at = static_cast<uint64_t>(target);
    if (at >= windowStart_ && at <= windowStart_ + window_.size() && !window_.empty()) {
        setg(window_.data(), window_.data() + (at - windowStart_),
             window_.data() + window_.size());
    } else {
        window_.clear();
        windowStart_ = at;
        setg(nullptr, nullptr, nullptr);
    }
    return position;
}

}  // namespace qmz::gst
