#include "server/record_list.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace zolt {

// The slots come zeroed from calloc, which for large lists hands out fresh pages without writing
// them: a reply list of 44 MB costs nothing until its slots are used.
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
