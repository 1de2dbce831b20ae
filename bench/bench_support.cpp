#include "bench/bench_support.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "log/log.h"

namespace zolt::bench {

namespace {

bool ReadAll(int fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

ScratchLog::ScratchLog() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zolt-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        dir_ = pattern;
    }
    ProcessLog().SetDirectoryOverride(FromUtf8(dir_.string()));
    ProcessLog().ResetElapsed();
}

ScratchLog::~ScratchLog() {
    ProcessLog().SetDirectoryOverride(std::nullopt);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

uint64_t ScratchLog::FileSize() const {
    std::error_code ec;
    const auto size = std::filesystem::file_size(File(), ec);
    return ec ? 0 : size;
}

double WallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

CpuTimes ProcessCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    return CpuTimes{seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long CurrentRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

ServerProcess::ServerProcess(const std::function<sim::ReferenceServerOptions()>& makeOptions) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return;
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (pid_ == 0) {
        // The child: serve until the parent goes away (its end of the pipe closes) or stops us.
        ::close(fds[0]);
        sim::ReferenceServer server(makeOptions());
        uint16_t port = 0;
        if (server.Start()) {
            port = server.Port();
        }
        WriteAll(fds[1], std::to_string(port) + "\n");
        ::close(fds[1]);
        if (port != 0) {
            ::pause();  // until SIGTERM
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    ReadAll(fds[0], text);  // ends when the child has written its port and closed the pipe
    ::close(fds[0]);
    port_ = static_cast<uint16_t>(std::strtoul(text.c_str(), nullptr, 10));
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string RunInChild(void (*body)(int out, const void* arg), const void* arg) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return {};
    }
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return {};
    }
    if (pid == 0) {
        ::close(fds[0]);
        body(fds[1], arg);
        ::close(fds[1]);
        std::fflush(stdout);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    ReadAll(fds[0], text);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return {};
    }
    return text;
}

void QuietWindow::SetStatusText(const WideText& text) {
    if (text != status_) {
        status_ = text;
    }
    OnStatus(text);
}

std::string Fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

std::map<std::string, double> Parse(const std::string& line) {
    std::map<std::string, double> values;
    std::istringstream in(line);
    std::string field;
    while (in >> field) {
        const auto eq = field.find('=');
        if (eq != std::string::npos) {
            values[field.substr(0, eq)] = std::strtod(field.c_str() + eq + 1, nullptr);
        }
    }
    return values;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

std::unique_ptr<ServerProcess> StartFirmwareServer(int blocks, int blockSize) {
    auto server = std::make_unique<ServerProcess>([blocks, blockSize] {
        sim::ReferenceServerOptions options;
        options.stFirmware = sim::DemoFirmware(sim::RequestStFirmware, blocks, blockSize);
        options.j2534Firmware = sim::DemoFirmware(sim::RequestJ2534Firmware, blocks, blockSize);
        return options;
    });
    if (!server->Running()) {
        std::fprintf(stderr, "the reference server did not start\n");
        std::exit(1);
    }
    return server;
}

long AcceptedBlocks(const sim::SimulatedInterface& device, sim::Part part) {
    const auto results = device.BlockResults(part);
    const bool allAccepted =
        std::all_of(results.begin(), results.end(), [](uint8_t r) { return r == 0; });
    return allAccepted ? static_cast<long>(results.size()) : -1L;
}

}  // namespace zolt::bench
