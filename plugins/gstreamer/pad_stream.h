// A std::istream over a pull-mode pad: the library's seek index reads the
// file (its tag block, its resync records) through it.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <streambuf>
#include <vector>

namespace qmz::gst {

class PadStreamBuf : public std::streambuf {
  public:
    // `pad` pulls from a source of `size` bytes.
    PadStreamBuf(GstPad* pad, uint64_t size) : pad_(pad), size_(size) {}

  protected:
    int_type underflow() override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

  private:
    uint64_t position() const;

    GstPad* pad_;
    uint64_t size_;
    uint64_t windowStart_ = 0;  // file offset of window_[0]
    std::vector<char> window_;
};

}  // namespace qmz::gst
