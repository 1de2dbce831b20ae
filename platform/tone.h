// Audible tones (the two beeps at the end of a successful update).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zolt {

class Tone {
  public:
    virtual ~Tone() = default;
    // Sounds a tone and returns when it has ended (or at once when no sound device is there).
    virtual void Beep(uint32_t frequencyHz, uint32_t durationMs) = 0;
};

// The system's sound: the default output device, or silence when none can be opened.
Tone& SystemTone();

// A sine tone as signed 16-bit mono samples: durationMs * sampleRate / 1000 of them, at half of
// full scale, with a 5 ms fade at either end so that it starts and stops without a click. Empty
// when the frequency, the duration or the sample rate is 0.
std::vector<int16_t> RenderTone(uint32_t frequencyHz, uint32_t durationMs, uint32_t sampleRate);

// The part of such a tone of `totalSamples` samples that starts at sample `first`, written into
// `out` (as many samples as fit, and no more than the tone has left). Returns how many it wrote.
// Lets a player render a long tone piece by piece into a buffer of its own.
std::size_t RenderToneInto(std::span<int16_t> out, uint32_t frequencyHz, uint32_t sampleRate,
                           uint64_t first, uint64_t totalSamples);

// The number of samples a tone of `durationMs` has at `sampleRate`.
uint64_t ToneSampleCount(uint32_t durationMs, uint32_t sampleRate);

}  // namespace zolt
