#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/log_location.h"

namespace zolt {

namespace {

std::string DirectoryOf(const std::string& path) {
    const auto cut = path.rfind('/');
    if (cut == std::string::npos) {
        return ".";
    }
    return cut == 0 ? "/" : path.substr(0, cut);
}

bool MakeDirectories(const std::string& path) {
    std::string partial;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto end = path.find('/', start);
        partial = path.substr(0, end == std::string::npos ? path.size() : end);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

bool InSystemProgramFolder(const WideText& executablePath) {
    static constexpr std::string_view Folders[] = {"/usr/",   "/bin/",   "/sbin/",   "/lib/",
                                                   "/lib32/", "/lib64/", "/libx32/", "/opt/"};
    const std::string path = ToUtf8(executablePath);
    for (const std::string_view folder : Folders) {
        if (path.starts_with(folder)) {
            return true;
        }
    }
    return false;
}

bool CanAppendTo(const WideText& filePath) {
    // One question in the common case, a writable file; only a missing one asks for its directory.
    const std::string path = ToUtf8(filePath);
    if (::access(path.c_str(), W_OK) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        return false;  // there but not writable, or not reachable (and then neither is its folder)
    }
    return ::access(DirectoryOf(path).c_str(), W_OK) == 0;
}

std::optional<WideText> UserLogDirectory() {
    std::string base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
        base = state;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/state";
    } else {
        return std::nullopt;
    }
    const std::string dir = base + "/zolt-update";
    // Asked for on every line of an installed program: one question when the directory is there.
    // A directory that cannot be made is still the place: its lines are lost, and the doctor
    // names it.
    if (::access(dir.c_str(), W_OK) != 0) {
        MakeDirectories(dir);
    }
    return FromUtf8(dir + "/");
}

}  // namespace zolt
