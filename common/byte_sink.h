// Where the core hands the bytes it has finished: the caller owns what lies
// behind a sink (a file, a buffer it drains, a socket), so the core needs no
// streams of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmz {

class ByteSink {
  public:
    // Takes `count` bytes in order; false when they could not be kept (a full
    // disk, say). After a false the caller's output is incomplete.
    virtual bool put(const uint8_t* bytes, std::size_t count) = 0;

  protected:
    ~ByteSink() = default;
};

// Keeps everything in memory; never fails.
class StringSink final : public ByteSink {
  public:
    bool put(const uint8_t* bytes, std::size_t count) override {
        bytes_.append(reinterpret_cast<const char*>(bytes), count);
        return true;
    }
    const std::string& str() const { return bytes_; }
    // Empties the buffer, keeping its capacity.
    void clear() { bytes_.clear(); }
    // Moves the buffer's contents out (the buffer is then empty).
    std::string take() { return std::move(bytes_); }

  private:
    std::string bytes_;
};

}  // namespace qmz
