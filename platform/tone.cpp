#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/tone.h"

namespace zolt {
namespace {

constexpr double Amplitude = 16383.0;  // half of full scale
constexpr uint32_t FadeMs = 5;

}  // namespace

uint64_t ToneSampleCount(uint32_t durationMs, uint32_t sampleRate) {
    return static_cast<uint64_t>(durationMs) * sampleRate / 1000u;
}

std::size_t RenderToneInto(std::span<int16_t> out, uint32_t frequencyHz, uint32_t sampleRate,
                           uint64_t first, uint64_t totalSamples) {
    if (frequencyHz == 0 || sampleRate == 0 || first >= totalSamples) {
        return 0;
    }
    const std::size_t count =
        static_cast<std::size_t>(std::min<uint64_t>(out.size(), totalSamples - first));
    // The fade never takes more than a quarter of the tone at either end.
    const uint64_t fade = std::max<uint64_t>(
        1, std::min<uint64_t>(ToneSampleCount(FadeMs, sampleRate), totalSamples / 4));
    const uint64_t f = frequencyHz % sampleRate;
    for (std::size_t i = 0; i < count; ++i) {
        const uint64_t n = first + i;
        // The phase within the current cycle, exact in integers: (f * n mod rate) / rate of a turn.
        const uint64_t turn = (f * (n % sampleRate)) % sampleRate;
        const double phase = 2.0 * std::numbers::pi * static_cast<double>(turn) / sampleRate;
        const uint64_t fromEnd = totalSamples - 1 - n;
        double gain = 1.0;
        if (n < fade) {
            gain = static_cast<double>(n) / static_cast<double>(fade);
        }
        if (fromEnd < fade) {
            gain = std::min(gain, static_cast<double>(fromEnd) / static_cast<double>(fade));
        }
        out[i] = static_cast<int16_t>(std::lround(Amplitude * gain * std::sin(phase)));
    }
    return count;
}

std::vector<int16_t> RenderTone(uint32_t frequencyHz, uint32_t durationMs, uint32_t sampleRate) {
    if (frequencyHz == 0 || durationMs == 0 || sampleRate == 0) {
        return {};
    }
    const uint64_t total = ToneSampleCount(durationMs, sampleRate);
    std::vector<int16_t> samples(static_cast<std::size_t>(total));
    RenderToneInto(samples, frequencyHz, sampleRate, 0, total);
    return samples;
}

}  // namespace zolt
