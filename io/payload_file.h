// A .qmz payload read at random offsets, for the segment decoder: the file
// itself, or standard input copied to an unnamed temporary file (so memory
// stays constant however long the stream is).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "decoder/segment_decoder.h"

namespace qmz {

class PayloadFile {
  public:
    PayloadFile() = default;
    ~PayloadFile();
    PayloadFile(const PayloadFile&) = delete;
    PayloadFile& operator=(const PayloadFile&) = delete;

    // The file at `path`, whose payload begins at byte `start`; false when
    // it cannot be opened or is not a regular file.
    bool open(const std::string& path, int64_t start);
    // The rest of `source` (standing at the payload's first byte); false when
    // no temporary file can be made.
    bool spool(std::istream& source);

    // Reads are safe from several threads at once.
    PayloadReadAt readAt() const;
    // Payload bytes in the file (what follows the stream included).
    int64_t size() const { return size_; }

  private:
    int fd_ = -1;
    int64_t start_ = 0;
    int64_t size_ = 0;
};

}  // namespace qmz
