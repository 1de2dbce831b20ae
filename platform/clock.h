// The millisecond clock: a tick count that wraps at 2^32 and a sleep. Elapsed times are always the
// unsigned 32-bit difference of two tick counts, so a wrap of the counter does not disturb a wait.
#pragma once

#include <atomic>
#include <cstdint>

namespace zolt {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint32_t TickCount() = 0;
    virtual void Sleep(uint32_t ms) = 0;
};

// Elapsed milliseconds from `since` to `now`, safe across a wrap of the tick count.
inline uint32_t TicksSince(uint32_t now, uint32_t since) {
    return now - since;
}

// The system's monotonic clock.
Clock& SystemClock();

// Virtual time for tests, benchmarks and the simulated interface. Every TickCount() read moves time
// on by `stepPerRead` milliseconds, so that a busy poll on the clock makes progress: a 22-second
// wait costs some 22,000 reads and runs in microseconds. Sleep() moves time on by the amount asked.
// Safe to use from several threads.
class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(uint32_t start = 0, uint32_t stepPerRead = 1)
        : now_(start), step_(stepPerRead) {}

    uint32_t TickCount() override { return now_.fetch_add(step_, std::memory_order_relaxed); }
    void Sleep(uint32_t ms) override { now_.fetch_add(ms, std::memory_order_relaxed); }

    void Advance(uint32_t ms) { now_.fetch_add(ms, std::memory_order_relaxed); }
    // The current time without moving it on.
    uint32_t Now() const { return now_.load(std::memory_order_relaxed); }
    void SetStepPerRead(uint32_t step) { step_.store(step, std::memory_order_relaxed); }

  private:
    std::atomic<uint32_t> now_;
    std::atomic<uint32_t> step_;
};

}  // namespace zolt
