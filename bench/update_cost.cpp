// The program's own cost per firmware block: whole updates against the simulated interface
// answering at once (virtual time, so the designed pauses cost nothing) and the reference server
// on loopback, with the log on. Prints wall and CPU time per block, peak memory and log size.
//
//   bench_update_cost [BLOCKS...]     default: 100 1000 18115 (the most 1,100-byte blocks that fit
//                                     a 20,000,000-byte reply)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "log/log.h"
#include "procedures/procedures.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"

namespace {

class SilentWindow final : public zolt::UpdateWindow {
  public:
    void SetStatusText(const zolt::WideText& text) override { last = text; }
    void SetInfoText(const zolt::WideText&) override {}
    void SetProgress(int32_t position) override { progress = position; }
    int32_t GetProgress() override { return progress; }
    void EnableActions(bool) override {}
    zolt::WideText last;
    int32_t progress = 0;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts = {100, 1000, 18115};
    }
    const auto dir = std::filesystem::temp_directory_path() / "zolt-bench-update-cost";
    std::printf("%8s %12s %12s %10s %12s %8s\n", "blocks", "wall us/blk", "cpu us/blk", "peak MiB",
                "log bytes", "result");
    for (int blocks : counts) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        zolt::ProcessLog().SetDirectoryOverride(zolt::FromUtf8(dir.string()));

        zolt::sim::ReferenceServerOptions serverOptions;
        // Both parts get `blocks` blocks, so one run writes 2 x blocks.
        serverOptions.stFirmware =
            zolt::sim::DemoFirmware(zolt::sim::RequestStFirmware, blocks, 1100);
        serverOptions.j2534Firmware =
            zolt::sim::DemoFirmware(zolt::sim::RequestJ2534Firmware, blocks, 1100);
        zolt::sim::ReferenceServer server(serverOptions);
        if (!server.Start()) {
            std::fprintf(stderr, "cannot start the reference server\n");
            return 1;
        }
        zolt::VirtualClock clock;
        zolt::sim::SimulatedInterface device(clock);
        zolt::RecordingTone tone;
        SilentWindow window;
        const zolt::ProcedureContext context{
            device, clock, tone, zolt::HostSystemInfo(),
            zolt::ServerEndpoint{"127.0.0.1", server.Port(), 20'000}};

        const double cpu0 = CpuSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        zolt::UpdateThread(window, context);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        const double cpu = CpuSeconds() - cpu0;
        const auto logBytes = std::filesystem::file_size(dir / "log.bin");
        const double total = 2.0 * blocks;
        std::printf("%8d %12.2f %12.2f %10.1f %12ju %8s\n", blocks * 2, wall / total * 1e6,
                    cpu / total * 1e6, static_cast<double>(PeakRssKiB()) / 1024.0,
                    static_cast<uintmax_t>(logBytes), zolt::ToUtf8(window.last).c_str());
        std::fflush(stdout);
    }
    zolt::ProcessLog().SetDirectoryOverride(std::nullopt);
    std::filesystem::remove_all(dir);
    return 0;
}
