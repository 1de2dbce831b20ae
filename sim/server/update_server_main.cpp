// zolt-update-server: the reference update server as a program, for the demo mode and test labs.
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "frontend/options.h"
#include "platform/wide_text.h"
#include "sim/server/reference_server.h"

namespace {

using zolt::sim::ReferenceServerOptions;

constexpr char Usage[] = R"(Usage: zolt-update-server [options]

The reference update server: answers ZOLT Update's record-list requests over TCP, one request per
connection. Request code 0x04 gets a device-information text built from the chip identifier and
info record received; 0x01 the st firmware blocks; 0x02 the j2534 firmware blocks. A repeated
request gets the reply from its resume offset on. Every request and answer is printed. Stops on
SIGINT or SIGTERM.

Where it listens:
  --address A            IPv4 address to listen on (default 127.0.0.1)
  --port N               TCP port (default 4006; 0 picks a free one)

What it answers:
  --blocks N             demo firmware: blocks per part (default 24)
  --block-size N         demo firmware: bytes per block, 6 to 1100 (default 1100)
  --st FILE              st firmware from FILE: complete device frames stored back to back, each
                         frame one block (frame length 6 to 1100 bytes, check byte right)
  --j2534 FILE           j2534 firmware from FILE, the same way
  --info-no-zero         send the device-information text without a terminating zero byte
  --reply FILE           send the bytes of FILE as the reply to every request, as they are

Faults:
  --break-off N          send only N bytes of the reply, then reset the connection ...
  --break-off-times K    ... in each of the first K transactions (default 1)
  --break-off-silent     break off by going silent instead (the client's receive times out)
  --silent               read the request and never answer
  --close-without-answer read the request and close the connection
  --wrong-total-length D add D to the reply's total length field (e.g. 1 or -1)
  --too-short N          send only the first N bytes of the reply, then close normally
  --broken-length-table  leave out the last record's bytes but not its length
  --count-above-40000    the reply's record count field says 40,001
  --length-above-1100    add a record of 1,101 bytes
  --pad-to N             pad the reply with zero bytes after its records to N bytes
  --oversize             pad the reply to 20,000,001 bytes, more than a client may take
  --ignore-resume        answer repeated requests from the start of the reply
  --chunks N             send the reply in N pieces ...
  --chunk-pause MS       ... with MS milliseconds between them (default 40)

  -h, --help             this text
  -V, --version          the program's version

Exit status: 0 stopped by a signal, 1 cannot listen, 64 bad usage.

Log: the server writes no log file; it prints each request it received and each answer it gave
on standard output.
)";

bool ReadWholeFile(const char* path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool ParseNumber(const char* text, long long low, long long high, long long& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

#ifdef _WIN32
// Ctrl+C, Ctrl+Break or the console closing: the handler runs on a thread of its own and wakes
// the main thread, which stops the server.
HANDLE consoleStop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    ::SetEvent(consoleStop);
    return TRUE;
}

void WaitForConsoleStop() {
    consoleStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    ::WaitForSingleObject(consoleStop, INFINITE);
}
#endif

int Fail(const std::string& message) {
    std::fprintf(stderr, "%s\n", zolt::UsageErrorText("zolt-update-server", message).c_str());
    return zolt::ExitUsage;
}

constexpr zolt::OptionSpec Options[] = {
    zolt::HelpOption,
    zolt::VersionOption,
    {"address", 0, "A"},
    {"port", 0, "N"},
    {"blocks", 0, "N"},
    {"block-size", 0, "N"},
    {"st", 0, "FILE"},
    {"j2534", 0, "FILE"},
    {"reply", 0, "FILE"},
    {"info-no-zero", 0, nullptr},
    {"break-off", 0, "N"},
    {"break-off-times", 0, "K"},
    {"break-off-silent", 0, nullptr},
    {"silent", 0, nullptr},
    {"close-without-answer", 0, nullptr},
    {"wrong-total-length", 0, "D"},
    {"too-short", 0, "N"},
    {"broken-length-table", 0, nullptr},
    {"count-above-40000", 0, nullptr},
    {"length-above-1100", 0, nullptr},
    {"pad-to", 0, "N"},
    {"oversize", 0, nullptr},
    {"ignore-resume", 0, nullptr},
    {"chunks", 0, "N"},
    {"chunk-pause", 0, "MS"},
};

}  // namespace

int main(int argc, char** argv) {
    ReferenceServerOptions options;
    std::string address = "127.0.0.1";
    long long port = 4006;
    long long blocks = zolt::sim::DefaultDemoBlocks;
    long long blockSize = zolt::sim::DefaultDemoBlockSize;
    const char* stFile = nullptr;
    const char* j2534File = nullptr;
    const char* replyFile = nullptr;
    bool breakOffTimesGiven = false;

    const zolt::CommandLine line = zolt::ParseCommandLine(argc, argv, Options);
    if (!line.error.empty()) {
        return Fail(line.error);
    }
    if (!line.operands.empty()) {
        return Fail("unexpected argument '" + line.operands[0] + "'");
    }
    if (line.Has("help")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (line.Has("version")) {
        std::printf("zolt-update-server %s\n", zolt::ToUtf8(zolt::VersionText).c_str());
        return 0;
    }
    for (const zolt::ParsedOption& option : line.options) {
        const std::string& arg = option.name;
        const char* value = option.value.c_str();
        long long n = 0;
        const auto number = [&](long long low, long long high) {
            return ParseNumber(value, low, high, n);
        };
        const auto bad = [&] {
            return Fail("--" + arg + " " + option.value + " is out of range or not a number");
        };
        if (arg == "address") {
            address = option.value;
        } else if (arg == "port") {
            if (!number(0, 65535))
                return bad();
            port = n;
        } else if (arg == "blocks") {
            if (!number(0, 40000))
                return bad();
            blocks = n;
        } else if (arg == "block-size") {
            if (!number(zolt::sim::MinBlockSize, zolt::sim::MaxBlockSize))
                return bad();
            blockSize = n;
        } else if (arg == "st") {
            stFile = value;
        } else if (arg == "j2534") {
            j2534File = value;
        } else if (arg == "reply") {
            replyFile = value;
        } else if (arg == "info-no-zero") {
            options.infoZeroByte = false;
        } else if (arg == "break-off") {
            if (!number(0, 1'000'000'000))
                return bad();
            options.breakOffAfter = n;
        } else if (arg == "break-off-times") {
            if (!number(0, 1'000'000))
                return bad();
            options.breakOffTransactions = static_cast<int>(n);
            breakOffTimesGiven = true;
        } else if (arg == "break-off-silent") {
            options.breakOffMode = zolt::sim::BreakOff::Silence;
        } else if (arg == "silent") {
            options.silent = true;
        } else if (arg == "close-without-answer") {
            options.closeWithoutAnswer = true;
        } else if (arg == "wrong-total-length") {
            if (!number(-1'000'000, 1'000'000))
                return bad();
            options.totalLengthDelta = static_cast<int32_t>(n);
        } else if (arg == "too-short") {
            if (!number(0, 1'000'000'000))
                return bad();
            options.truncateTo = n;
        } else if (arg == "broken-length-table") {
            options.brokenLengthTable = true;
        } else if (arg == "count-above-40000") {
            options.countAbove40000 = true;
        } else if (arg == "length-above-1100") {
            options.lengthAbove1100 = true;
        } else if (arg == "pad-to") {
            if (!number(0, 100'000'000))
                return bad();
            options.padTo = n;
        } else if (arg == "oversize") {
            options.padTo = 20'000'001;
        } else if (arg == "ignore-resume") {
            options.ignoreResumeOffset = true;
        } else if (arg == "chunks") {
            if (!number(1, 1000))
                return bad();
            options.chunks = static_cast<int>(n);
        } else if (arg == "chunk-pause") {
            if (!number(0, 60'000))
                return bad();
            options.chunkPauseMs = static_cast<uint32_t>(n);
        }
    }
    if (options.breakOffAfter >= 0 && !breakOffTimesGiven) {
        options.breakOffTransactions = 1;
    }

    options.stFirmware = zolt::sim::DemoFirmware(
        zolt::sim::RequestStFirmware, static_cast<int>(blocks), static_cast<int>(blockSize));
    options.j2534Firmware = zolt::sim::DemoFirmware(
        zolt::sim::RequestJ2534Firmware, static_cast<int>(blocks), static_cast<int>(blockSize));
    const auto load = [](const char* path, std::vector<std::vector<uint8_t>>& frames) {
        std::vector<uint8_t> bytes;
        if (!ReadWholeFile(path, bytes)) {
            return std::string("cannot read ") + path;
        }
        std::string error;
        if (!zolt::sim::SplitFrames(bytes, frames, error)) {
            return std::string(path) + ": " + error;
        }
        return std::string();
    };
    if (stFile != nullptr) {
        if (const auto error = load(stFile, options.stFirmware); !error.empty()) {
            return Fail(error);
        }
    }
    if (j2534File != nullptr) {
        if (const auto error = load(j2534File, options.j2534Firmware); !error.empty()) {
            return Fail(error);
        }
    }
    if (replyFile != nullptr) {
        std::vector<uint8_t> bytes;
        if (!ReadWholeFile(replyFile, bytes)) {
            return Fail(std::string("cannot read ") + replyFile);
        }
        options.fixedReply = std::move(bytes);
    }

    static std::mutex printing;
    options.report = [](const std::string& line) {
        std::lock_guard lock(printing);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };

#ifndef _WIN32
    // The signals are taken by sigwait below, so block them before the serving thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
#endif

    const std::size_t stBlocks = options.stFirmware.size();
    const std::size_t j2534Blocks = options.j2534Firmware.size();
    zolt::sim::ReferenceServer server(std::move(options));
    if (!server.Start(address, static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "zolt-update-server: cannot listen on %s:%lld: %s\n", address.c_str(),
                     port, std::strerror(errno));
        return 1;
    }
    std::printf("zolt-update-server: listening on %s:%u (st %zu blocks, j2534 %zu blocks)\n",
                address.c_str(), server.Port(), stBlocks, j2534Blocks);
    std::fflush(stdout);

#ifdef _WIN32
    WaitForConsoleStop();
    std::printf("zolt-update-server: Ctrl+C, stopping\n");
#else
    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::printf("zolt-update-server: %s, stopping\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
#endif
    server.Stop();
    return 0;
}
