#include "server/record_list.h"

#include <algorithm>
#include <cstddef>

namespace zolt {

RecordList::RecordList(int32_t slots, int32_t slotCapacity)
    : lengths(static_cast<std::size_t>(std::max(slots, 0)), 0),
      slots_(std::max(slots, 0)),
      capacity_(std::max(slotCapacity, 0)),
      storage_(
          new uint8_t[static_cast<std::size_t>(slots_) * static_cast<std::size_t>(capacity_)]()) {}

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
