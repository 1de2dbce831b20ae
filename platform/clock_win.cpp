#include <windows.h>

#include "platform/clock.h"

namespace zolt {
namespace {

class WindowsClock final : public Clock {
  public:
    uint32_t TickCount() override { return static_cast<uint32_t>(::GetTickCount()); }
    void Sleep(uint32_t ms) override { ::Sleep(static_cast<DWORD>(ms)); }
};

}  // namespace

Clock& SystemClock() {
    static WindowsClock clock;
    return clock;
}

}  // namespace zolt
