// A std::streambuf that hands written bytes to a positioned-write callback, so
// that code writing to a std::ostream (and seeking back once for a header)
// can write to a destination the caller controls.
#pragma once

#include <array>
#include <streambuf>

#include "qmz/codec.h"

namespace qmz {

class CallbackOutput final : public std::streambuf {
  public:
    explicit CallbackOutput(QmzWriteAt writeAt) : writeAt_(std::move(writeAt)) {
        setp(buffer_.data(), buffer_.data() + buffer_.size());
    }

  protected:
    int_type overflow(int_type ch) override {
        if (!drain()) return traits_type::eof();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }
    int sync() override { return drain() ? 0 : -1; }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override {
        if (!(which & std::ios_base::out) || !drain()) return pos_type(off_type(-1));
        off_type target = off;
        if (dir == std::ios_base::cur) {
            target += static_cast<off_type>(offset_);
        } else if (dir != std::ios_base::beg) {
            return pos_type(off_type(-1));  // the end is not known
        }
        if (target < 0) return pos_type(off_type(-1));
        offset_ = static_cast<uint64_t>(target);
        return pos_type(target);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }

  private:
    // Hands the buffered bytes to the callback; false once it has refused any.
    bool drain() {
        const auto n = static_cast<std::size_t>(pptr() - pbase());
        if (n > 0 && !failed_) {
            failed_ = !writeAt_(offset_, reinterpret_cast<const uint8_t*>(pbase()), n);
            offset_ += n;
        }
        setp(buffer_.data(), buffer_.data() + buffer_.size());
        return !failed_;
    }

    QmzWriteAt writeAt_;
    std::array<char, 65536> buffer_{};
    uint64_t offset_ = 0;
    bool failed_ = false;
};

}  // namespace qmz
