#include <windows.h>

#include "platform/tone.h"

namespace zolt {
namespace {

// The system's own beep: returns when the tone has ended. Without a sound device it returns at
// once (the call fails, which changes nothing for the caller).
class WindowsTone final : public Tone {
  public:
    void Beep(uint32_t frequencyHz, uint32_t durationMs) override {
        ::Beep(static_cast<DWORD>(frequencyHz), static_cast<DWORD>(durationMs));
    }
};

}  // namespace

Tone& SystemTone() {
    static WindowsTone tone;
    return tone;
}

}  // namespace zolt
