// Two functions of the test program that stand in front of the ones of the same name further down
// the library chain (the program's own symbols come first): open(), to deny access to the device
// files the emulated chips mark so (also as __open_2, what a fortified build calls) (the program
// may run as the superuser, whom permission bits do not stop), and libusb_init(), to count the
// libusb contexts made.
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <set>
#include <string>

#include "tests/usb/usb_interpose.h"

namespace {

std::mutex deniedMutex;
std::set<std::string>& Denied() {
    static std::set<std::string> denied;
    return denied;
}
std::atomic<int> contexts{0};

bool IsDenied(const char* path) {
    if (path == nullptr) {
        return false;
    }
    std::lock_guard lock(deniedMutex);
    return Denied().count(path) > 0;
}

}  // namespace

namespace zolt::testing {

void DenyDeviceFile(const std::string& path, bool denied) {
    std::lock_guard lock(deniedMutex);
    if (denied) {
        Denied().insert(path);
    } else {
        Denied().erase(path);
    }
}

int LibusbContextsCreated() {
    return contexts.load();
}

}  // namespace zolt::testing

struct libusb_context;

extern "C" {

int open(const char* path, int flags, ...) {
    unsigned mode = 0;
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, unsigned);
    va_end(args);
    if (IsDenied(path)) {
        errno = EACCES;
        return -1;
    }
    using Open = int (*)(const char*, int, ...);
    static const auto next = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
    return next(path, flags, mode);
}

// What open() becomes in libraries built with _FORTIFY_SOURCE.
int __open_2(const char* path, int flags) {
    if (IsDenied(path)) {
        errno = EACCES;
        return -1;
    }
    using Open2 = int (*)(const char*, int);
    static const auto next = reinterpret_cast<Open2>(dlsym(RTLD_NEXT, "__open_2"));
    return next(path, flags);
}

int libusb_init(libusb_context** context) {
    using Init = int (*)(libusb_context**);
    static const auto next = reinterpret_cast<Init>(dlsym(RTLD_NEXT, "libusb_init"));
    const int result = next(context);
    if (result == 0) {
        ++contexts;
    }
    return result;
}

}  // extern "C"
