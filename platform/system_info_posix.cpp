#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/system_info.h"

namespace zolt {
namespace {

class PosixSystemInfo final : public SystemInfo {
  public:
    WideText ExecutablePath() override {
        // Read once: the log asks for it on every line, and the path the process was started
        // from does not change while it runs.
        static const WideText path = [] {
            char buffer[PATH_MAX];
            const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
            if (n <= 0) {
                return WideText();
            }
            return FromUtf8(std::string_view(buffer, static_cast<std::size_t>(n)));
        }();
        return path;
    }

    std::optional<WideText> ComputerName() override {
        char buffer[HOST_NAME_MAX + 1] = {};
        if (gethostname(buffer, sizeof buffer - 1) != 0) {
            return std::nullopt;
        }
        return FromUtf8(std::string_view(buffer, strnlen(buffer, sizeof buffer)));
    }
};

}  // namespace

SystemInfo& HostSystemInfo() {
    static PosixSystemInfo info;
    return info;
}

WideText NarrowToWide(const char* text, std::size_t length) {
    if (text == nullptr) {
        return {};
    }
    // The server's text has one encoding whatever the user's locale: UTF-8 when it is valid
    // UTF-8, otherwise the code page of the program's home platform, byte by byte.
    const std::string_view used(text, strnlen(text, length));
    return IsValidUtf8(used) ? FromUtf8(used) : FromWindows1252(used);
}

bool AppendToFile(const WideText& path, const std::string& bytes, bool* opened) {
    const std::string native = ToUtf8(path);
    const int fd = open(native.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (opened != nullptr) {
        *opened = fd >= 0;
    }
    if (fd < 0) {
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    return ok;
}

}  // namespace zolt
