#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/system_info.h"
#include "platform/win_text.h"

namespace zolt {
namespace {

// The module file name as the program has always asked for it.
constexpr DWORD ShortPathRoom = MAX_PATH;
// The longest path the system can report; asked for only when the short room cut the path off,
// since a cut path would put the log into some other directory.
constexpr DWORD LongPathRoom = 32'768;
// Room for the computer name: 260 characters and the terminating zero.
constexpr DWORD ComputerNameRoom = 260 + 1;

WideText ModuleFileName(DWORD room) {
    std::vector<wchar_t> buffer(room, L'\0');
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), room);
    if (n == 0 || n >= room) {
        return {};  // failed, or cut off
    }
    return FromSystemWide(buffer.data(), n);
}

class WindowsSystemInfo final : public SystemInfo {
  public:
    WideText ExecutablePath() override {
        WideText path = ModuleFileName(ShortPathRoom);
        if (path.empty()) {
            path = ModuleFileName(LongPathRoom);
        }
        return path;
    }

    std::optional<WideText> ComputerName() override {
        wchar_t buffer[ComputerNameRoom] = {};
        DWORD size = ComputerNameRoom;
        if (!::GetComputerNameW(buffer, &size) || size >= ComputerNameRoom) {
            return std::nullopt;
        }
        return FromSystemWide(buffer, size);
    }
};

}  // namespace

SystemInfo& HostSystemInfo() {
    static WindowsSystemInfo info;
    return info;
}

WideText NarrowToWide(const char* text, std::size_t length) {
    if (text == nullptr) {
        return {};
    }
    const std::size_t used = strnlen(text, length);
    if (used == 0) {
        return {};
    }
    // Replies larger than the conversion call can take are cut to what it can (no reply record is
    // anywhere near this).
    const int inBytes = used > 0x7FFF'FFFF ? 0x7FFF'FFFF : static_cast<int>(used);
    const int units = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, inBytes, nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::vector<wchar_t> wide(static_cast<std::size_t>(units));
    const int written = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, inBytes, wide.data(), units);
    if (written <= 0) {
        return {};
    }
    return FromSystemWide(wide.data(), static_cast<std::size_t>(written));
}

bool AppendToFile(const WideText& path, const std::string& bytes, bool* opened) {
    const std::wstring native = ToSystemWide(path);
    const HANDLE file =
        ::CreateFileW(native.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened != nullptr) {
        *opened = file != INVALID_HANDLE_VALUE;
    }
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        const std::size_t left = bytes.size() - done;
        const DWORD chunk = left > 0x4000'0000 ? 0x4000'0000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            ok = false;
            break;
        }
        done += written;
    }
    ::CloseHandle(file);
    return ok;
}

}  // namespace zolt
