// Helpers shared by the benchmark programs: the log pointed at a scratch directory, process
// figures (CPU time, peak memory), a reference server in a process of its own, and the plain
// stand-ins for the window, the tone and the system that a whole run needs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/system_info.h"
#include "platform/tone.h"
#include "procedures/update_window.h"
#include "sim/server/reference_server.h"

namespace zolt::bench {

// A fresh directory under the system's temporary directory that takes the process log for the
// life of the object; removed again at the end.
class ScratchLog {
  public:
    ScratchLog();
    ~ScratchLog();
    ScratchLog(const ScratchLog&) = delete;
    ScratchLog& operator=(const ScratchLog&) = delete;

    std::filesystem::path File() const { return dir_ / "log.bin"; }
    uint64_t FileSize() const;  // 0 when missing

  private:
    std::filesystem::path dir_;
};

// Seconds of wall time on the monotonic clock.
double WallSeconds();

struct CpuTimes {
    double user = 0;
    double system = 0;
    double Total() const { return user + system; }
};
// Of the whole process, every thread included.
CpuTimes ProcessCpu();
// Of the calling thread alone.
double ThreadCpuSeconds();
// The process's peak resident set (getrusage ru_maxrss) and current resident set, in KiB.
long PeakRssKiB();
long CurrentRssKiB();

// A reference server serving from a child process, so that its time and memory stay out of the
// figures of the process that measures. `makeOptions` runs in the child, so the firmware it builds
// never occupies the parent. The child is stopped and reaped on destruction. Create it before the
// process starts any thread.
class ServerProcess {
  public:
    explicit ServerProcess(const std::function<sim::ReferenceServerOptions()>& makeOptions);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Running() const { return port_ != 0; }
    uint16_t Port() const { return port_; }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// Runs `body` in a forked child and hands back what it wrote to `out` (a pipe) as text, so that
// each measurement gets a process of its own: its peak memory is its own, not a high-water mark
// left by an earlier one. Empty text when the child failed.
std::string RunInChild(void (*body)(int out, const void* arg), const void* arg);
void WriteAll(int fd, const std::string& text);

class SilentTone final : public Tone {
  public:
    void Beep(uint32_t, uint32_t) override {}
};

class FixedSystem final : public SystemInfo {
  public:
    WideText ExecutablePath() override { return u"/nowhere/zolt-update"; }
    std::optional<WideText> ComputerName() override { return u"BENCH"; }
};

// A window that keeps only what a benchmark looks at: the last status text, the number of
// status changes and the progress position. Hooks let a benchmark mark moments of the run.
class QuietWindow : public UpdateWindow {
  public:
    void SetStatusText(const WideText& text) override;
    void SetInfoText(const WideText&) override {}
    void SetProgress(int32_t position) override { progress_ = position; }
    int32_t GetProgress() override { return progress_; }
    void EnableActions(bool) override {}

    const WideText& LastStatus() const { return status_; }

  protected:
    virtual void OnStatus(const WideText&) {}

  private:
    WideText status_;
    int32_t progress_ = 0;
};

// Formatting for the printed tables.
std::string Fixed(double value, int decimals);

}  // namespace zolt::bench
