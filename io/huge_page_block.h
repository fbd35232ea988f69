// One block of memory for buffers that are filled soon after they are made
// and live for a whole decode. On Linux it is mapped at a 2 MiB boundary
// with transparent huge pages advised, so that filling it takes a handful
// of page faults instead of one per 4 KiB: on a virtual machine a fault
// costs about 10 us, and the threaded decode's segment buffers took about
// 1 000 of them. Elsewhere, or where the mapping fails, it is plain memory.
#pragma once

#include <cstddef>
#include <memory>

namespace qmz {

class HugePageBlock {
  public:
    explicit HugePageBlock(std::size_t bytes);
    ~HugePageBlock();
    HugePageBlock(const HugePageBlock&) = delete;
    HugePageBlock& operator=(const HugePageBlock&) = delete;

    // `bytes` bytes, aligned for any scalar type.
    void* data() const { return data_; }

  private:
    void* data_ = nullptr;
    void* mapping_ = nullptr;  // what munmap releases, when mapped
    std::size_t mapped_ = 0;
    std::unique_ptr<std::max_align_t[]> plain_;
};

}  // namespace qmz
