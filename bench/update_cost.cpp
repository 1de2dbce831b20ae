// The program's own cost per firmware block: a whole two-stage update against the simulated
// interface answering at once, with the log on, on a virtual clock (so the fixed pauses of the
// procedure cost nothing), for several block counts. Each run happens in a process of its own
// with the reference server in another, so that CPU time and peak memory are the program's (and
// the simulated interface's, which runs in the program's process as the device driver would).
//
//   zolt-bench-update-cost [--blocks N]... [--block-size B] [--repeat R]
//                          [--log-beside-executable | --log-installed | --no-log-file]
//
// Defaults: blocks 100, 1000 and 18115 per stage (18,115 blocks of 1,100 bytes is the largest
// reply that fits 20,000,000 bytes), 1,100-byte blocks, 3 repeats (the median is printed).
//
// The log goes to a scratch directory named outright (the log's directory override). With
// --log-beside-executable it is found as the program finds it, anew for every line: the
// executable's path read from the system, the directory checked for writing, "log.bin" beside it
// (the path read is then taken to lie in the scratch directory, so nothing lands beside the
// benchmark). --log-installed does the same with the executable in a directory it cannot write
// to, so that every line goes to the user's state directory (XDG_STATE_HOME, here in the scratch
// directory) as it does for an installed program; the superuser can write anywhere, so this one
// needs another user. --no-log-file formats every line but lets the file fail to open.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "log/log.h"
#include "platform/clock.h"
#include "procedures/procedures.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"

namespace zolt::bench {
namespace {

enum class LogPlace { Scratch, BesideExecutable, Installed, Nowhere };

struct Settings {
    int blocks = 0;  // per stage
    int blockSize = 1100;
    LogPlace log = LogPlace::Scratch;
};

// The executable's path as the system reports it, moved into another directory.
class ExecutableIn final : public SystemInfo {
  public:
    explicit ExecutableIn(std::filesystem::path dir) : dir_(std::move(dir)) {}
    WideText ExecutablePath() override {
        const WideText real = HostSystemInfo().ExecutablePath();
        const auto cut = real.rfind(PathSeparator);
        return FromUtf8(dir_.string()) + real.substr(cut == WideText::npos ? 0 : cut);
    }
    std::optional<WideText> ComputerName() override { return HostSystemInfo().ComputerName(); }

  private:
    std::filesystem::path dir_;
};

uint64_t FileBytes(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    return ec ? 0 : size;
}

void MeasureOnce(int out, const void* arg) {
    const Settings& settings = *static_cast<const Settings*>(arg);
    const int blocks = settings.blocks;
    const int blockSize = settings.blockSize;
    const auto server = StartFirmwareServer(blocks, blockSize);

    ScratchLog log;
    const auto scratch = log.File().parent_path();
    ExecutableIn beside(scratch);
    ExecutableIn installed(scratch / "bin");
    std::filesystem::path logFile = log.File();
    if (settings.log == LogPlace::BesideExecutable) {
        ProcessLog().SetDirectoryOverride(std::nullopt);
        ProcessLog().SetSystemInfo(beside);
    } else if (settings.log == LogPlace::Installed) {
        std::filesystem::create_directory(scratch / "bin");
        std::filesystem::permissions(scratch / "bin", std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::owner_exec);
        ::setenv("XDG_STATE_HOME", (scratch / "state").c_str(), 1);
        logFile = scratch / "state" / "zolt-update" / "log.bin";
        ProcessLog().SetDirectoryOverride(std::nullopt);
        ProcessLog().SetSystemInfo(installed);
    } else if (settings.log == LogPlace::Nowhere) {
        // Every line is still formatted; only the file cannot be opened.
        ProcessLog().SetDirectoryOverride(u"/nonexistent-zolt-bench-directory");
    }
    VirtualClock clock;
    sim::SimulatedInterfaceOptions deviceOptions;
    deviceOptions.timing = sim::Timing::Immediate;
    deviceOptions.keepBlocks = false;  // its record of every block would weigh on peak memory
    sim::SimulatedInterface device(clock, deviceOptions);
    LoopTimer timer;
    MarkingDriver driver(device, timer);
    MarkingWindow window(timer);
    SilentTone tone;
    FixedSystem system;
    const ProcedureContext context{driver, clock, tone, system,
                                   ServerEndpoint{"127.0.0.1", server->Port(), 20'000}};

    const long rssBefore = CurrentRssKiB();
    const double wall0 = WallSeconds();
    const CpuTimes cpu0 = ProcessCpu();
    const RunOutcome outcome = UpdateThread(window, context);
    const double wall1 = WallSeconds();
    const CpuTimes cpu1 = ProcessCpu();
    const long peak = PeakRssKiB();

    std::ostringstream text;
    text << "ok=" << (outcome.result == RunResult::Success ? 1 : 0)
         << " st=" << AcceptedBlocks(device, sim::Part::St)
         << " j2534=" << AcceptedBlocks(device, sim::Part::J2534) << " wall=" << (wall1 - wall0)
         << " user=" << (cpu1.user - cpu0.user) << " sys=" << (cpu1.system - cpu0.system)
         << " loopwall=" << timer.loopWall << " loopcpu=" << timer.loopCpu
         << " loops=" << timer.loops << " rss0=" << rssBefore << " peak=" << peak
         << " log=" << FileBytes(logFile) << "\n";
    WriteAll(out, text.str());
}

struct Row {
    int blocks = 0;
    std::map<std::string, double> median;
};

int Main(int argc, char** argv) {
    std::vector<int> counts;
    Settings settings;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--blocks" && next != nullptr) {
            counts.push_back(std::atoi(argv[++i]));
        } else if (arg == "--block-size" && next != nullptr) {
            settings.blockSize = std::atoi(argv[++i]);
        } else if (arg == "--repeat" && next != nullptr) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--no-log-file") {
            settings.log = LogPlace::Nowhere;
        } else if (arg == "--log-beside-executable") {
            settings.log = LogPlace::BesideExecutable;
        } else if (arg == "--log-installed") {
            if (::geteuid() == 0) {
                std::fprintf(stderr,
                             "--log-installed needs a user other than root, e.g. "
                             "runuser -u nobody -- ...\n");
                return 2;
            }
            settings.log = LogPlace::Installed;
        } else {
            std::fprintf(stderr,
                         "usage: zolt-bench-update-cost [--blocks N]... [--block-size B] "
                         "[--repeat R] [--log-beside-executable | --log-installed | "
                         "--no-log-file]\n");
            return 2;
        }
    }
    if (counts.empty()) {
        counts = {100, 1000, 18115};
    }

    std::printf("Whole update, simulated interface answering at once, virtual clock, log %s\n",
                settings.log == LogPlace::Scratch ? "on (scratch directory named outright)"
                : settings.log == LogPlace::BesideExecutable
                    ? "on (beside the executable, found anew every line)"
                : settings.log == LogPlace::Installed
                    ? "on (executable's directory not writable: the user's state directory)"
                    : "formatted but not written");
    std::printf(
        "blocks of %d bytes; each stage gets the same number of blocks; median of %d runs\n\n",
        settings.blockSize, repeat);
    std::printf("%8s %8s | %10s %10s %10s | %10s %10s | %9s %9s | %11s %9s\n", "stage", "total",
                "wall ms", "us/block", "cpu us/blk", "loop us/bk", "loop cpu", "peak MiB", "+MiB",
                "log bytes", "log B/blk");
    std::vector<Row> rows;
    bool allOk = true;
    for (const int n : counts) {
        settings.blocks = n;
        std::map<std::string, std::vector<double>> runs;
        for (int r = 0; r < repeat; ++r) {
            const std::string line = RunInChild(MeasureOnce, &settings);
            const auto values = Parse(line);
            if (values.empty() || values.at("ok") != 1 || values.at("st") != n ||
                values.at("j2534") != n || values.at("loops") != 2) {
                std::fprintf(stderr, "run with %d blocks failed: %s\n", n, line.c_str());
                allOk = false;
                continue;
            }
            for (const auto& [key, value] : values) {
                runs[key].push_back(value);
            }
        }
        if (runs.empty()) {
            continue;
        }
        Row row{n, {}};
        for (const auto& [key, list] : runs) {
            row.median[key] = Median(list);
        }
        const auto& m = row.median;
        const double total = 2.0 * n;
        std::printf("%8d %8d | %10s %10s %10s | %10s %10s | %9s %9s | %11.0f %9s\n", n,
                    static_cast<int>(total), Fixed(m.at("wall") * 1e3, 1).c_str(),
                    Fixed(m.at("wall") * 1e6 / total, 2).c_str(),
                    Fixed((m.at("user") + m.at("sys")) * 1e6 / total, 2).c_str(),
                    Fixed(m.at("loopwall") * 1e6 / total, 2).c_str(),
                    Fixed(m.at("loopcpu") * 1e6 / total, 2).c_str(),
                    Fixed(m.at("peak") / 1024.0, 1).c_str(),
                    Fixed((m.at("peak") - m.at("rss0")) / 1024.0, 1).c_str(), m.at("log"),
                    Fixed(m.at("log") / total, 1).c_str());
        rows.push_back(row);
    }
    if (rows.size() >= 2) {
        const Row& a = rows[rows.size() - 2];
        const Row& b = rows.back();
        const double blocks = 2.0 * (b.blocks - a.blocks);
        std::printf(
            "\nmarginal cost per block from %d to %d blocks a stage: wall %s us, "
            "cpu %s us, loop wall %s us, log %s bytes, peak memory %s bytes\n",
            a.blocks, b.blocks,
            Fixed((b.median.at("wall") - a.median.at("wall")) * 1e6 / blocks, 2).c_str(),
            Fixed((b.median.at("user") + b.median.at("sys") - a.median.at("user") -
                   a.median.at("sys")) *
                      1e6 / blocks,
                  2)
                .c_str(),
            Fixed((b.median.at("loopwall") - a.median.at("loopwall")) * 1e6 / blocks, 2).c_str(),
            Fixed((b.median.at("log") - a.median.at("log")) / blocks, 1).c_str(),
            Fixed((b.median.at("peak") - a.median.at("peak")) * 1024.0 / blocks, 0).c_str());
    }
    return allOk ? 0 : 1;
}

}  // namespace
}  // namespace zolt::bench

int main(int argc, char** argv) {
    return zolt::bench::Main(argc, argv);
}
