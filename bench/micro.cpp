// Micro-benchmarks (Google Benchmark) of the pieces a firmware block passes through: the
// hexadecimal dump, the log's one-byte encoding, one log line written to the file, the simulated
// interface alone, and the channel's write and answer of one block with its two log lines.
//
//   zolt-bench-micro [--benchmark_filter=REGEX] [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/bench_support.h"
#include "device/communication_ft32.h"
#include "log/log.h"
#include "platform/clock.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"

namespace zolt::bench {
namespace {

std::vector<uint8_t> Block(int size) {
    return sim::DemoFirmware(sim::RequestStFirmware, 1, size).front();
}

void BytesToHexOfABlock(benchmark::State& state) {
    const auto block = Block(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        WideText hex = BytesToHex(block.data(), static_cast<int32_t>(block.size()));
        benchmark::DoNotOptimize(hex.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BytesToHexOfABlock)->Arg(7)->Arg(1100);

void EncodeLogTextOfABlockLine(benchmark::State& state) {
    const auto block = Block(1100);
    const WideText line = u"Write :  " + BytesToHex(block.data(), 1100);
    for (auto _ : state) {
        std::string bytes = EncodeLogText(line);
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(EncodeLogTextOfABlockLine);

// One line through the whole log: formatting, the timestamp and elapsed column, open, append,
// close. Arg: the bytes dumped in the message.
void WriteLogLine(benchmark::State& state) {
    ScratchLog log;
    const auto block = Block(static_cast<int>(std::max<int64_t>(state.range(0), 6)));
    const auto size = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        WriteLog(u"Write :  " + BytesToHex(block.data(), size));
    }
}
BENCHMARK(WriteLogLine)->Arg(7)->Arg(1100);

// The same line formatted in full, but the file cannot be opened: the cost of the text alone.
void WriteLogLineWithoutFile(benchmark::State& state) {
    ScratchLog log;
    ProcessLog().SetDirectoryOverride(u"/nonexistent-zolt-bench-directory");
    const auto block = Block(1100);
    for (auto _ : state) {
        WriteLog(u"Write :  " + BytesToHex(block.data(), 1100));
    }
}
BENCHMARK(WriteLogLineWithoutFile);

// The simulated interface alone: a 1,100-byte block in, its 7-byte answer out.
void SimulatedInterfaceBlock(benchmark::State& state) {
    VirtualClock clock;
    sim::SimulatedInterfaceOptions options;
    options.keepBlocks = false;
    sim::SimulatedInterface device(clock, options);
    const auto block = Block(1100);
    FT_HANDLE handle = nullptr;
    device.OpenEx("ZOLT", &handle);
    uint8_t answer[16];
    for (auto _ : state) {
        uint32_t written = 0;
        device.Write(handle, block.data(), static_cast<uint32_t>(block.size()), &written);
        uint32_t waiting = 0, tx = 0, events = 0;
        device.GetStatus(handle, &waiting, &tx, &events);
        uint32_t got = 0;
        device.Read(handle, answer, waiting, &got);
        benchmark::DoNotOptimize(got);
    }
    device.Close(handle);
}
BENCHMARK(SimulatedInterfaceBlock);

// What the block loop does per block on the device side: WriteFrame, then ReadFrame of the
// answer, with both transfers logged to the file.
void ChannelBlockRoundTrip(benchmark::State& state) {
    ScratchLog log;
    VirtualClock clock;
    sim::SimulatedInterfaceOptions options;
    options.keepBlocks = false;
    sim::SimulatedInterface device(clock, options);
    CCommunicationFT32 channel(device, clock);
    channel.Open();
    const auto block = Block(1100);
    uint8_t answer[1000];
    for (auto _ : state) {
        channel.WriteFrame(block.data(), static_cast<uint32_t>(block.size()));
        uint32_t length = 0;
        channel.ReadFrame(answer, sizeof answer, length, 20'000);
        benchmark::DoNotOptimize(length);
    }
    channel.Close();
}
BENCHMARK(ChannelBlockRoundTrip);

}  // namespace
}  // namespace zolt::bench

BENCHMARK_MAIN();
