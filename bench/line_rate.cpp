// The achieved fraction of the line limit: a whole two-stage update against the simulated
// interface moving every byte at 115,200 baud 8N1 (11,520 bytes a second in each direction), in
// real time on the system clock, for blocks of 64, 256 and 1,100 bytes. The block loops are timed
// (from "Updating.." to the reset that follows each loop) and their bytes counted.
//
// What counts: a block's bytes go host to device, its 7-byte answer device to host, and the next
// block is written only after the answer has been read. Each direction has its own 11,520 bytes a
// second, but the two never carry bytes at the same time here, so
//   - the line-busy fraction: (block + answer bytes) / (loop time x 11,520) -- the share of the
//     loop time in which a byte is on the line one way or the other; 100 % means the program adds
//     nothing between an answer's last byte and the next block's first;
//   - the block fraction: block bytes / (loop time x 11,520) -- the host-to-device line's use by
//     firmware; at most L / (L + 7) for blocks of L bytes, since the line idles while the answer
//     comes back.
//
//   zolt-bench-line-rate [--block-size B]... [--seconds S] [--whole-ms]
//
// --seconds: block-loop time aimed at per block size, both stages together (default 10).
// --whole-ms: let the simulated interface time bytes on the clock's whole milliseconds, as the
// tests do, instead of the fine counter; shows what that rounding alone costs.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/clock.h"
#include "platform/precise_time.h"
#include "procedures/procedures.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"

namespace zolt::bench {
namespace {

constexpr double ByteSeconds = 10.0 / 115'200.0;  // start, 8 data bits, stop
constexpr double LineBytesPerSecond = 11'520.0;
constexpr int AnswerBytes = 7;  // frame of 5 + command code and result byte

struct Settings {
    int blockSize = 1100;
    int blocks = 0;  // per stage
    bool wholeMs = false;
};

void MeasureOnce(int out, const void* arg) {
    const Settings& settings = *static_cast<const Settings*>(arg);
    const int blocks = settings.blocks;
    const int blockSize = settings.blockSize;
    const auto server = StartFirmwareServer(blocks, blockSize);
    ScratchLog log;
    Clock& clock = SystemClock();
    sim::SimulatedInterfaceOptions deviceOptions = sim::DemoInterfaceOptions();
    deviceOptions.keepBlocks = false;
    if (!settings.wholeMs) {
        deviceOptions.fineTime = &SystemPreciseTime();
    }
    sim::SimulatedInterface device(clock, deviceOptions);
    LoopTimer timer;
    timer.keepWrites = true;
    MarkingDriver driver(device, timer);
    MarkingWindow window(timer);
    SilentTone tone;
    FixedSystem system;
    const ProcedureContext context{driver, clock, tone, system,
                                   ServerEndpoint{"127.0.0.1", server->Port(), 20'000}};
    const double wall0 = WallSeconds();
    const RunOutcome outcome = UpdateThread(window, context);
    const double wall1 = WallSeconds();

    // The time from one block's write to the next one's, within each loop: one block and its
    // answer each. Its median is what a block costs when nothing else on the machine intervenes.
    std::vector<double> intervals;
    timer.loopStarts.push_back(timer.writes.size());
    for (std::size_t k = 0; k + 1 < timer.loopStarts.size(); ++k) {
        for (std::size_t i = timer.loopStarts[k] + 1; i < timer.loopStarts[k + 1]; ++i) {
            intervals.push_back(timer.writes[i] - timer.writes[i - 1]);
        }
    }
    std::sort(intervals.begin(), intervals.end());
    const auto at = [&](double share) {
        if (intervals.empty()) {
            return 0.0;
        }
        const auto i = static_cast<std::size_t>(share * static_cast<double>(intervals.size()));
        return intervals[std::min(intervals.size() - 1, i)];
    };
    std::ostringstream text;
    text << "median=" << at(0.5) << " p99=" << at(0.99) << " max=" << at(1.0)
         << " ok=" << (outcome.result == RunResult::Success ? 1 : 0)
         << " st=" << AcceptedBlocks(device, sim::Part::St)
         << " j2534=" << AcceptedBlocks(device, sim::Part::J2534) << " loops=" << timer.loops
         << " loopwall=" << timer.loopWall << " loopcpu=" << timer.loopCpu
         << " wall=" << (wall1 - wall0) << "\n";
    WriteAll(out, text.str());
}

int Main(int argc, char** argv) {
    std::vector<int> sizes;
    double seconds = 10;
    bool wholeMs = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--block-size" && next != nullptr) {
            sizes.push_back(std::clamp(std::atoi(argv[++i]), sim::MinBlockSize, sim::MaxBlockSize));
        } else if (arg == "--seconds" && next != nullptr) {
            seconds = std::clamp(std::atof(argv[++i]), 0.5, 120.0);
        } else if (arg == "--whole-ms") {
            wholeMs = true;
        } else {
            std::fprintf(stderr,
                         "usage: zolt-bench-line-rate [--block-size B]... [--seconds S] "
                         "[--whole-ms]\n");
            return 2;
        }
    }
    if (sizes.empty()) {
        sizes = {64, 256, 1100};
    }
    std::printf("Whole update, simulated interface at 115,200 baud 8N1 (%s), system clock\n",
                wholeMs ? "bytes timed on whole milliseconds" : "bytes timed on the fine counter");
    std::printf(
        "line limit %.0f bytes/s each way; answer %d bytes per block; about %.0f s of "
        "block loops per size\n\n",
        LineBytesPerSecond, AnswerBytes, seconds);
    std::printf("%6s %7s | %9s %9s | %10s %9s %9s | %9s %9s | %9s %9s\n", "block", "blocks",
                "loops s", "ms/block", "line-busy", "block", "ceiling", "us extra", "median",
                "p99 ms", "max ms");
    bool allOk = true;
    for (const int size : sizes) {
        const double ideal = (size + AnswerBytes) * ByteSeconds;
        Settings settings{size, std::max(3, static_cast<int>(seconds / 2 / ideal)), wholeMs};
        const auto values = Parse(RunInChild(MeasureOnce, &settings));
        if (values.empty() || values.at("ok") != 1 || values.at("st") != settings.blocks ||
            values.at("j2534") != settings.blocks || values.at("loops") != 2) {
            std::fprintf(stderr, "run with blocks of %d bytes failed\n", size);
            allOk = false;
            continue;
        }
        const double total = 2.0 * settings.blocks;
        const double time = values.at("loopwall");
        const double lineBusy = total * (size + AnswerBytes) / (time * LineBytesPerSecond);
        const double blockFraction = total * size / (time * LineBytesPerSecond);
        const double blockCeiling = static_cast<double>(size) / (size + AnswerBytes);
        const double extraUs = (time / total - ideal) * 1e6;
        const double medianExtraUs = (values.at("median") - ideal) * 1e6;
        std::printf(
            "%6d %7.0f | %9.3f %9.3f | %9.2f%% %8.2f%% %8.2f%% | %9.1f %9.1f | %9.3f "
            "%9.3f\n",
            size, total, time, time / total * 1e3, lineBusy * 100, blockFraction * 100,
            blockCeiling * 100, extraUs, medianExtraUs, values.at("p99") * 1e3,
            values.at("max") * 1e3);
    }
    std::printf(
        "\nline-busy: (block + answer bytes) / (loop time x 11,520), ceiling 100 %%; block: block "
        "bytes /\n(loop time x 11,520), whose ceiling L/(L+7) the answer's turn sets; us extra: "
        "loop time per block\nbeyond the (L+7) byte times, on average and in the median block "
        "(write to next write); p99, max:\nthe slowest blocks, where the busy-polling program "
        "waited for the processor.\n");
    return allOk ? 0 : 1;
}

}  // namespace
}  // namespace zolt::bench

int main(int argc, char** argv) {
    return zolt::bench::Main(argc, argv);
}
