#include "cli/interruption.h"

#include <csignal>
#include <cstdlib>

#ifndef _WIN32
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace zolt {

namespace {

std::atomic<bool> stopAsked{false};
std::atomic<bool> resized{false};
std::atomic<int> mode{static_cast<int>(InterruptMode::Immediate)};

void Say(const char* text, std::size_t size) {
#ifndef _WIN32
    const ssize_t ignored = ::write(STDERR_FILENO, text, size);
    (void)ignored;
#else
    (void)text;
    (void)size;
#endif
}

extern "C" void OnInterrupt(int) {
    if (mode.load() == static_cast<int>(InterruptMode::Held) && !stopAsked.exchange(true)) {
        static constexpr char Held[] =
            "\nzolt-update-cli: stopping after the block in flight (again to stop at once)\n";
        Say(Held, sizeof Held - 1);
        return;
    }
    static constexpr char Now[] = "\nzolt-update-cli: interrupted\n";
    Say(Now, sizeof Now - 1);
    std::_Exit(ExitInterrupted);
}

#ifndef _WIN32
extern "C" void OnResize(int) {
    resized.store(true);
}

void SetHandler(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

sigset_t InterruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}
#endif

}  // namespace

void IgnoreBrokenPipe() {
#ifndef _WIN32
    SetHandler(SIGPIPE, SIG_IGN);
#endif
}

void DeferInterrupts() {
#ifndef _WIN32
    const sigset_t set = InterruptSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
#endif
}

const std::atomic<bool>& AcceptInterrupts(InterruptMode wanted) {
    mode.store(static_cast<int>(wanted));
#ifndef _WIN32
    SetHandler(SIGINT, OnInterrupt);
    SetHandler(SIGTERM, OnInterrupt);
    SetHandler(SIGHUP, OnInterrupt);
    SetHandler(SIGWINCH, OnResize);
    const sigset_t set = InterruptSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
#else
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#endif
    return stopAsked;
}

std::atomic<bool>& TerminalResized() {
    return resized;
}

int TerminalColumns(int fd) {
#ifndef _WIN32
    if (::isatty(fd) == 0) {
        return 0;
    }
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
#else
    (void)fd;
    return 0;
#endif
}

}  // namespace zolt
