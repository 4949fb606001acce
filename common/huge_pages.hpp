// Transparent huge pages for large arrays, asked for before first touch.
//
// A freshly allocated large array lives in new anonymous memory, and the
// first write to each page costs a fault.  A 5-minute stereo container is
// about 100 MiB: 26,000 faults with 4 KiB pages, 50 with 2 MiB ones, which
// is most of the difference between filling such an array and streaming to
// it.  The advice changes no contents and may be ignored; on systems without
// it this is a no-op.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace orvane {

// Below this size the faults are few and the system call would dominate.
inline constexpr std::size_t huge_page_threshold = std::size_t{4} << 20;

inline void advise_huge_pages(void *memory, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (!memory || size < huge_page_threshold)
        return;
    static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    // The advice works on whole pages: only those inside the array.
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t begin = (start + page - 1) & ~(page - 1);
    const std::uintptr_t end = (start + size) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)size;
#endif
}

} // namespace orvane
