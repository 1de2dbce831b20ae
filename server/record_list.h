// An ordered list of byte records: a count and parallel fixed-capacity slots and lengths. Record i
// is the first lengths[i] bytes of Slot(i), with no terminator. All slots lie in one allocation
// made by the constructor; nothing grows afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zolt {

// Marks the 2 MB-aligned part of a large area for transparent huge pages (Linux; nothing
// elsewhere), so that its first use costs a page fault every 2 MB rather than every 4 KB. The
// contents are not changed; areas smaller than 4 MB are left as they are.
void AdviseHugePages(void* area, std::size_t bytes);

class RecordList {
  public:
    // `slots` slots of `slotCapacity` bytes each, all zero; every length 0, count 0.
    RecordList(int32_t slots, int32_t slotCapacity);

    // The sizes the procedures use: requests of up to 100 records of 500 bytes (98 of them the
    // caller's own), replies of up to 40,000 records of 1,100 bytes.
    static constexpr int32_t RequestSlots = 100, RequestSlotCapacity = 500;
    static constexpr int32_t ReplySlots = 40000, ReplySlotCapacity = 1100;

    int32_t count = 0;
    std::vector<int32_t> lengths;  // size == SlotCount()

    // Slot i, or nullptr when i is not a slot of this list.
    uint8_t* Slot(int32_t i);
    const uint8_t* Slot(int32_t i) const;

    int32_t SlotCount() const { return slots_; }
    int32_t SlotCapacity() const { return capacity_; }

  private:
    int32_t slots_;
    int32_t capacity_;
    struct Release {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, Release> storage_;
};

}  // namespace zolt
