// Helpers shared by the benchmark programs: the log pointed at a scratch directory, process
// figures (CPU time, peak memory), a reference server in a process of its own, and the plain
// stand-ins for the window, the tone and the system that a whole run needs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/d2xx.h"
#include "platform/system_info.h"
#include "platform/tone.h"
#include "procedures/update_window.h"
#include "sim/interface/simulated_interface.h"
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

// The reference server in a child process with demo firmware of `blocks` blocks of `blockSize`
// bytes for each part; ends the benchmark when it does not start.
std::unique_ptr<ServerProcess> StartFirmwareServer(int blocks, int blockSize);

// The blocks the simulated interface took for `part`, or -1 when it refused any.
long AcceptedBlocks(const sim::SimulatedInterface& device, sim::Part part);

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

// Times the two block loops. Each starts when "Updating.." is shown and ends at the first device
// call of the reset that follows it (a device count, which nothing in a block loop asks for) or at
// "Finishing update, please wait..." (stage 2), whichever comes first.
class LoopTimer {
  public:
    double loopWall = 0;
    double loopCpu = 0;
    int loops = 0;
    // With `keepWrites`, the wall time of every write inside a loop, and where each loop began
    // in that list.
    bool keepWrites = false;
    std::vector<double> writes;
    std::vector<std::size_t> loopStarts;

    void Wrote() {
        if (inLoop_ && keepWrites) {
            writes.push_back(WallSeconds());
        }
    }

    void Start() {
        if (!inLoop_) {
            inLoop_ = true;
            loopStarts.push_back(writes.size());
            startWall_ = WallSeconds();
            startCpu_ = ProcessCpu().Total();
        }
    }
    void End() {
        if (inLoop_) {
            loopWall += WallSeconds() - startWall_;
            loopCpu += ProcessCpu().Total() - startCpu_;
            ++loops;
            inLoop_ = false;
        }
    }

  private:
    bool inLoop_ = false;
    double startWall_ = 0;
    double startCpu_ = 0;
};

class MarkingWindow final : public QuietWindow {
  public:
    explicit MarkingWindow(LoopTimer& timer) : timer_(&timer) {}

  protected:
    void OnStatus(const WideText& text) override {
        if (text == u"Updating..") {
            timer_->Start();
        } else if (text == u"Finishing update, please wait...") {
            timer_->End();
        }
    }

  private:
    LoopTimer* timer_;
};

// Passes every call on to the simulated interface; a device count ends a block loop.
class MarkingDriver final : public D2xxDriver {
  public:
    MarkingDriver(D2xxDriver& inner, LoopTimer& timer) : inner_(&inner), timer_(&timer) {}

    FT_STATUS ListDevices(uint32_t* count) override {
        timer_->End();
        return inner_->ListDevices(count);
    }
    FT_STATUS OpenEx(const char* description, FT_HANDLE* handle) override {
        return inner_->OpenEx(description, handle);
    }
    FT_STATUS SetBaudRate(FT_HANDLE handle, uint32_t baud) override {
        return inner_->SetBaudRate(handle, baud);
    }
    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, uint8_t bits, uint8_t stop,
                                     uint8_t parity) override {
        return inner_->SetDataCharacteristics(handle, bits, stop, parity);
    }
    FT_STATUS SetLatencyTimer(FT_HANDLE handle, uint8_t ms) override {
        return inner_->SetLatencyTimer(handle, ms);
    }
    FT_STATUS Write(FT_HANDLE handle, const void* data, uint32_t size, uint32_t* written) override {
        timer_->Wrote();
        return inner_->Write(handle, data, size, written);
    }
    FT_STATUS GetStatus(FT_HANDLE handle, uint32_t* rx, uint32_t* tx, uint32_t* event) override {
        return inner_->GetStatus(handle, rx, tx, event);
    }
    FT_STATUS Read(FT_HANDLE handle, void* data, uint32_t size, uint32_t* returned) override {
        return inner_->Read(handle, data, size, returned);
    }
    FT_STATUS Close(FT_HANDLE handle) override { return inner_->Close(handle); }

  private:
    D2xxDriver* inner_;
    LoopTimer* timer_;
};

// Formatting for the printed tables.
std::string Fixed(double value, int decimals);

// The "name=value" fields of a line a measuring child wrote, as numbers.
std::map<std::string, double> Parse(const std::string& line);
// The middle value (the upper one of an even count); 0 for none.
double Median(std::vector<double> values);

}  // namespace zolt::bench
