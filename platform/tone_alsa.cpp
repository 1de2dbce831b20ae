// Tones through ALSA's default playback device. When no device opens (no sound card, no server)
// the tone is silent and Beep returns at once.
#include <alsa/asoundlib.h>

#include <array>
#include <cstdarg>
#include <mutex>

#include "platform/tone.h"

namespace zolt {
namespace {

constexpr uint32_t SampleRate = 48'000;
constexpr unsigned LatencyUs = 100'000;

// ALSA prints its own complaints to stderr (a missing card, a missing server); the program has no
// console to show them, and a missing device is an ordinary case here.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

class AlsaTone final : public Tone {
  public:
    AlsaTone() { snd_lib_error_set_handler(QuietAlsaErrors); }

    void Beep(uint32_t frequencyHz, uint32_t durationMs) override {
        const uint64_t total = ToneSampleCount(durationMs, SampleRate);
        if (frequencyHz == 0 || total == 0) {
            return;
        }
        std::lock_guard lock(mutex_);  // one tone at a time
        snd_pcm_t* pcm = nullptr;
        // Opened non-blocking so that a device held by another program fails at once instead of
        // waiting; writes block as usual afterwards.
        if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
            return;
        }
        if (snd_pcm_nonblock(pcm, 0) < 0 ||
            snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                               SampleRate, 1, LatencyUs) < 0) {
            snd_pcm_close(pcm);
            return;
        }
        uint64_t played = 0;
        while (played < total) {
            const std::size_t count =
                RenderToneInto(chunk_, frequencyHz, SampleRate, played, total);
            if (!Write(pcm, count)) {
                break;
            }
            played += count;
        }
        snd_pcm_drain(pcm);
        snd_pcm_close(pcm);
    }

  private:
    // Writes the first `count` samples of the chunk; false when the device gave up.
    bool Write(snd_pcm_t* pcm, std::size_t count) {
        std::size_t done = 0;
        int retries = 0;
        while (done < count) {
            const snd_pcm_sframes_t n = snd_pcm_writei(pcm, chunk_.data() + done, count - done);
            if (n >= 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (++retries > 3 || snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) {
                return false;
            }
        }
        return true;
    }

    std::mutex mutex_;
    std::array<int16_t, SampleRate / 10> chunk_{};  // 100 ms
};

}  // namespace

Tone& SystemTone() {
    static AlsaTone tone;
    return tone;
}

}  // namespace zolt
