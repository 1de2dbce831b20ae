#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
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
    const std::size_t used = strnlen(text, length);
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr || std::strcmp(codeset, "UTF-8") == 0) {
        return FromUtf8(std::string_view(text, used));
    }
    iconv_t cd = iconv_open("UTF-16LE", codeset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return FromUtf8(std::string_view(text, used));
    }
    WideText out;
    out.reserve(used);
    char* in = const_cast<char*>(text);
    std::size_t inLeft = used;
    while (inLeft > 0) {
        char16_t units[64];
        char* outPtr = reinterpret_cast<char*>(units);
        std::size_t outLeft = sizeof units;
        const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        const std::size_t produced = (sizeof units - outLeft) / sizeof(char16_t);
        for (std::size_t i = 0; i < produced; ++i) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(&units[i]);
            out.push_back(static_cast<char16_t>(bytes[0] | (bytes[1] << 8)));
        }
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // A byte the encoding cannot map (or a cut-off sequence): replace it and go on.
            out.push_back(u'\uFFFD');
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    return out;
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
