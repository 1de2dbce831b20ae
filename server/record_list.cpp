#include "server/record_list.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

namespace zolt {

void AdviseHugePages(void* area, std::size_t bytes) {
#if defined(_WIN32)
    (void)area;
    (void)bytes;
#else
    constexpr std::uintptr_t HugePage = 2u << 20;
    if (area == nullptr || bytes < 2 * HugePage) {
        return;
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(area);
    const std::uintptr_t first = (begin + HugePage - 1) & ~(HugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(HugePage - 1);
    if (last > first) {
        // Advice only: where the kernel has no huge pages, the area works as before.
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#endif
}

// The slots come zeroed from calloc, which for large lists hands out fresh pages without writing
// them: a reply list of 44 MB costs nothing until its slots are used, and then, in huge pages, a
// page fault every 2 MB of records.
RecordList::RecordList(int32_t slots, int32_t slotCapacity)
    : lengths(static_cast<std::size_t>(std::max(slots, 0)), 0),
      slots_(std::max(slots, 0)),
      capacity_(std::max(slotCapacity, 0)),
      storage_(static_cast<uint8_t*>(std::calloc(
          std::max<std::size_t>(
              static_cast<std::size_t>(slots_) * static_cast<std::size_t>(capacity_), 1),
          1))) {
    if (!storage_) {
        throw std::bad_alloc();
    }
    AdviseHugePages(storage_.get(),
                    static_cast<std::size_t>(slots_) * static_cast<std::size_t>(capacity_));
}

void RecordList::Release::operator()(uint8_t* p) const {
    std::free(p);
}

uint8_t* RecordList::Slot(int32_t i) {
    if (i < 0 || i >= slots_) {
        return nullptr;
    }
    return storage_.get() + static_cast<std::size_t>(i) * static_cast<std::size_t>(capacity_);
}

const uint8_t* RecordList::Slot(int32_t i) const {
    return const_cast<RecordList*>(this)->Slot(i);
}

}  // namespace zolt
