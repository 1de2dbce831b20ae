// The high-resolution counter with its frequency, and the local wall-clock time. The diagnostic
// log reads both: the counter for the elapsed column, the local time for the timestamp.
#pragma once

#include <cstdint>

namespace zolt {

struct LocalTime {
    int year = 0;
    int month = 0;  // 1 to 12
    int day = 0;    // 1 to 31
    int hour = 0;   // 0 to 23
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

class PreciseTime {
  public:
    virtual ~PreciseTime() = default;
    virtual int64_t CounterFrequency() = 0;  // counter ticks per second
    virtual int64_t CounterValue() = 0;
    virtual LocalTime LocalNow() = 0;
};

PreciseTime& SystemPreciseTime();

// Fixed, settable values for tests.
class VirtualPreciseTime final : public PreciseTime {
  public:
    int64_t frequency = 1'000'000;
    int64_t counter = 1;
    LocalTime local{2024, 3, 7, 9, 5, 2, 47};

    int64_t CounterFrequency() override { return frequency; }
    int64_t CounterValue() override { return counter; }
    LocalTime LocalNow() override { return local; }
};

}  // namespace zolt
