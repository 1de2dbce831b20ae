#include <windows.h>

#include "platform/precise_time.h"

namespace zolt {
namespace {

class WindowsPreciseTime final : public PreciseTime {
  public:
    int64_t CounterFrequency() override {
        LARGE_INTEGER value{};
        ::QueryPerformanceFrequency(&value);
        return static_cast<int64_t>(value.QuadPart);
    }

    int64_t CounterValue() override {
        LARGE_INTEGER value{};
        ::QueryPerformanceCounter(&value);
        return static_cast<int64_t>(value.QuadPart);
    }

    LocalTime LocalNow() override {
        SYSTEMTIME t{};
        ::GetLocalTime(&t);
        return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    }
};

}  // namespace

PreciseTime& SystemPreciseTime() {
    static WindowsPreciseTime time;
    return time;
}

}  // namespace zolt
