// Audible tones (the two beeps at the end of a successful update).
#pragma once

#include <cstdint>
#include <vector>

namespace zolt {

class Tone {
public:
    virtual ~Tone() = default;
    // Sounds a tone and returns when it has ended (or at once when no sound device is there).
    virtual void Beep(uint32_t frequencyHz, uint32_t durationMs) = 0;
};

// No sound; records what was asked, for tests.
class RecordingTone final : public Tone {
public:
    struct Played {
        uint32_t frequencyHz;
        uint32_t durationMs;
    };
    std::vector<Played> played;
    void Beep(uint32_t frequencyHz, uint32_t durationMs) override {
        played.push_back({frequencyHz, durationMs});
    }
};

}  // namespace zolt
