#include "io/huge_page_block.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qmz {

HugePageBlock::HugePageBlock(std::size_t bytes) {
#if defined(__linux__)
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    // One huge page more, to start the block at a boundary.
    void* p =
        mmap(nullptr, rounded + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
        mapping_ = p;
        mapped_ = rounded + kHuge;
        const auto start = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) / kHuge * kHuge;
        data_ = reinterpret_cast<void*>(start);
        madvise(data_, rounded, MADV_HUGEPAGE);  // advice only: without it, plain pages
        return;
    }
#endif
    const std::size_t units = (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    plain_ = std::make_unique_for_overwrite<std::max_align_t[]>(units);
    data_ = plain_.get();
}

HugePageBlock::~HugePageBlock() {
#if defined(__linux__)
    if (mapping_ != nullptr) munmap(mapping_, mapped_);
#endif
}

}  // namespace qmz
