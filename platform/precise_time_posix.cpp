#include <sys/time.h>
#include <time.h>

#include "platform/precise_time.h"

namespace zolt {
namespace {

class PosixPreciseTime final : public PreciseTime {
  public:
    int64_t CounterFrequency() override { return 1'000'000'000; }

    int64_t CounterValue() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }

    LocalTime LocalNow() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        tm parts{};
        localtime_r(&ts.tv_sec, &parts);
        return LocalTime{parts.tm_year + 1900,
                         parts.tm_mon + 1,
                         parts.tm_mday,
                         parts.tm_hour,
                         parts.tm_min,
                         parts.tm_sec,
                         static_cast<int>(ts.tv_nsec / 1'000'000)};
    }
};

}  // namespace

PreciseTime& SystemPreciseTime() {
    static PosixPreciseTime time;
    return time;
}

}  // namespace zolt
