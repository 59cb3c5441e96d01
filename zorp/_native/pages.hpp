// Memory hints for large, freshly allocated buffers.
#pragma once

#include <sys/mman.h>

#include <cstdint>

#include "types.hpp"

namespace zorp {

// Asks the kernel to back the 2 MiB-aligned interior of a large, freshly
// allocated buffer with transparent huge pages. Filling a fresh buffer is
// otherwise dominated by page faults. A hint only: failure is harmless.
inline void advise_huge_pages(double* data, Index count) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t end = begin + static_cast<std::uintptr_t>(count) * sizeof(double);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = end & ~(huge - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#else
    (void)data;
    (void)count;
#endif
}

}  // namespace zorp
