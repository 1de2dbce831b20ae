#include <time.h>

#include "platform/clock.h"

namespace zolt {
namespace {

class PosixClock final : public Clock {
  public:
    uint32_t TickCount() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                            static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u;
        return static_cast<uint32_t>(ms);  // wraps like the 32-bit tick count it stands for
    }

    void Sleep(uint32_t ms) override {
        timespec ts{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1'000'000L};
        while (nanosleep(&ts, &ts) != 0) {
        }
    }
};

}  // namespace

Clock& SystemClock() {
    static PosixClock clock;
    return clock;
}

}  // namespace zolt
