// The update program driven from the keyboard, as a person drives it: ZOLTUpdate.exe runs on the
// simulated interface in a process of its own, and this test types into it with SendInput, the
// way a keyboard does, then watches its window from outside.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "app/win/resource.h"
#include "app/win/run_update_window.h"

namespace zolt {
namespace {

// ZOLTUpdate.exe, found from this test program's own place in the build tree.
std::wstring ProgramPath() {
    wchar_t self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    path.erase(path.find_last_of(L"\\/") + 1);
    for (const char* c = ZOLT_UPDATE_EXE_RELATIVE; *c != '\0'; ++c) {
        path.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
    }
    return path;
}

// Polls `done`, handling this thread's own messages meanwhile (it may own a window).
bool WaitFor(const std::function<bool()>& done, DWORD limitMs) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > limitMs) {
            return false;
        }
        MSG msg{};
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::DispatchMessageW(&msg);
        }
        ::Sleep(5);
    }
    return true;
}

std::wstring TextOf(HWND window) {
    wchar_t buffer[1024] = {};
    DWORD_PTR got = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer),
                          SMTO_ABORTIFHUNG, 2'000, &got);
    return buffer;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());  // for messages; the texts here are ASCII
}

struct FindWindowOf {
    DWORD process;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM lParam) {
    auto* find = reinterpret_cast<FindWindowOf*>(lParam);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == find->process && ::IsWindowVisible(window) &&
        TextOf(window) == L"ZOLT Update V1.0.6") {
        find->found = window;
        return FALSE;
    }
    return TRUE;
}

// The program in its own process, ended when the test ends.
class Program {
  public:
    Program() = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program() {
        if (info_.hProcess != nullptr) {
            if (::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
                ::TerminateProcess(info_.hProcess, 99);
                ::WaitForSingleObject(info_.hProcess, 5'000);
            }
            ::CloseHandle(info_.hProcess);
            ::CloseHandle(info_.hThread);
        }
    }

    // Starts it on the simulated interface and waits until its window is up and active.
    bool Start() {
        const std::wstring exe = ProgramPath();
        std::wstring command = L"\"" + exe + L"\" --simulate";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info_)) {
            ADD_FAILURE() << "cannot start " << Narrow(exe) << ": " << ::GetLastError();
            return false;
        }
        FindWindowOf find{info_.dwProcessId, nullptr};
        const bool up = WaitFor(
            [&] {
                ::EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&find));
                return find.found != nullptr;
            },
            20'000);
        if (!up) {
            ADD_FAILURE() << "no window";
            return false;
        }
        window_ = find.found;
        thread_ = ::GetWindowThreadProcessId(window_, nullptr);
        return Activate() && WaitFor([&] { return Focus() != nullptr; }, 5'000);
    }

    HWND Window() const { return window_; }
    HWND Item(int id) const { return ::GetDlgItem(window_, id); }
    HANDLE Process() const { return info_.hProcess; }

    HWND Focus() const {
        GUITHREADINFO gui{};
        gui.cbSize = sizeof gui;
        return ::GetGUIThreadInfo(thread_, &gui) ? gui.hwndFocus : nullptr;
    }
    // Waits until `control` has the focus (the keys typed before are handled in order).
    bool FocusOn(HWND control) const {
        return WaitFor([&] { return Focus() == control; }, 2'000);
    }
    bool Running() const { return ::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }
    bool Busy() const {
        return !::IsWindowEnabled(Item(IDC_UPDATE)) && !::IsWindowEnabled(Item(IDC_DEVICE_INFO));
    }
    bool Idle() const {
        return ::IsWindowEnabled(Item(IDC_UPDATE)) && ::IsWindowEnabled(Item(IDC_DEVICE_INFO));
    }

    // Types one key (with Shift held, if asked) into the program's window.
    bool Press(WORD key, bool shift = false) {
        if (!Activate()) {
            return false;
        }
        INPUT inputs[4] = {};
        int count = 0;
        const auto add = [&](WORD vk, bool up) {
            INPUT& in = inputs[count++];
            in.type = INPUT_KEYBOARD;
            in.ki.wVk = vk;
            in.ki.wScan = static_cast<WORD>(::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
            in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        };
        if (shift) {
            add(VK_SHIFT, false);
        }
        add(key, false);
        add(key, true);
        if (shift) {
            add(VK_SHIFT, true);
        }
        const UINT sent = ::SendInput(static_cast<UINT>(count), inputs, sizeof(INPUT));
        return sent == static_cast<UINT>(count);
    }

    // Saves a picture of the window when ZOLT_SCREENSHOT_DIR names a folder.
    void Screenshot(const char* name) const {
        if (const char* dir = std::getenv("ZOLT_SCREENSHOT_DIR")) {
            ::Sleep(200);
            EXPECT_TRUE(SaveWindowScreenshot(window_, std::string(dir) + "\\" + name)) << name;
        }
    }

    // Brings the window to the front.
    bool Activate() {
        if (::GetForegroundWindow() != window_) {
            ::SetForegroundWindow(window_);
        }
        const bool ok = WaitFor([&] { return ::GetForegroundWindow() == window_; }, 5'000);
        EXPECT_TRUE(ok) << "the program's window is not in front";
        return ok;
    }

  private:
    PROCESS_INFORMATION info_{};
    HWND window_ = nullptr;
    DWORD thread_ = 0;
};

// Milliseconds until the process has ended, or a large number when it has not in `limitMs`.
DWORD MillisecondsUntilEnd(const Program& program, DWORD limitMs) {
    const DWORD start = ::GetTickCount();
    if (::WaitForSingleObject(program.Process(), limitMs) != WAIT_OBJECT_0) {
        return 0xFFFFFFFF;
    }
    return ::GetTickCount() - start;
}

TEST(WindowKeys, ReturnAtStartStartsTheUpdateAndEscapeDuringItEndsTheProgram) {
    Program program;
    ASSERT_TRUE(program.Start());

    // It opens centred on the work area of its monitor.
    RECT window{};
    ASSERT_TRUE(::GetWindowRect(program.Window(), &window));
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(::GetMonitorInfoW(::MonitorFromWindow(program.Window(), MONITOR_DEFAULTTONEAREST),
                                  &monitor));
    const RECT& area = monitor.rcWork;
    EXPECT_NEAR(window.left - area.left, area.right - window.right, 1);
    EXPECT_NEAR(window.top - area.top, area.bottom - window.bottom, 1);
    EXPECT_GT(window.left, area.left);

    ASSERT_TRUE(program.FocusOn(program.Item(IDC_UPDATE)));
    program.Screenshot("screenshot-windows-keyboard-start.png");
    ASSERT_TRUE(program.Press(VK_RETURN));
    ASSERT_TRUE(WaitFor([&] { return !program.Running() || program.Busy(); }, 5'000));
    ASSERT_TRUE(program.Running()) << "Return closed the program instead of starting the update";
    EXPECT_TRUE(program.FocusOn(program.Item(IDC_INFO)));
    // The procedure's first status text.
    EXPECT_TRUE(WaitFor([&] { return TextOf(program.Item(IDC_STATUS)) != L""; }, 5'000));
    program.Screenshot("screenshot-windows-keyboard-running.png");

    ASSERT_TRUE(program.Busy()) << "the update ended before Escape could be tried during it";
    ASSERT_TRUE(program.Press(VK_ESCAPE));
    const DWORD tookMs = MillisecondsUntilEnd(program, 5'000);
    EXPECT_LT(tookMs, 1'000u) << "Escape during the run";
    DWORD code = 0;
    ::GetExitCodeProcess(program.Process(), &code);
    EXPECT_EQ(code, 0u);
}

TEST(WindowKeys, TabReturnAndEscapeWorkAfterARun) {
    Program program;
    ASSERT_TRUE(program.Start());
    const HWND update = program.Item(IDC_UPDATE);
    const HWND info = program.Item(IDC_INFO);
    const HWND deviceInfo = program.Item(IDC_DEVICE_INFO);

    // Tab order: "Update", the info box, "Device Info", and round again.
    ASSERT_TRUE(program.FocusOn(update));
    ASSERT_TRUE(program.Press(VK_TAB));
    EXPECT_TRUE(program.FocusOn(info));
    ASSERT_TRUE(program.Press(VK_TAB));
    ASSERT_TRUE(program.FocusOn(deviceInfo));

    // Return on the focused "Device Info" runs it; afterwards the focus is back on it.
    ASSERT_TRUE(program.Press(VK_RETURN));
    ASSERT_TRUE(WaitFor([&] { return !program.Running() || TextOf(info) != L""; }, 20'000));
    ASSERT_TRUE(WaitFor([&] { return !program.Running() || program.Idle(); }, 20'000));
    ASSERT_TRUE(program.Running()) << "Return closed the program";
    EXPECT_NE(TextOf(info).find(L"ZOLT reference update server"), std::wstring::npos)
        << Narrow(TextOf(info));
    ASSERT_TRUE(program.FocusOn(deviceInfo)) << "the focus did not come back to the pressed button";
    program.Screenshot("screenshot-windows-keyboard-after.png");

    // Tab and Shift+Tab move between the controls again.
    ASSERT_TRUE(program.Press(VK_TAB));
    EXPECT_TRUE(program.FocusOn(update));
    ASSERT_TRUE(program.Press(VK_TAB, true));
    EXPECT_TRUE(program.FocusOn(deviceInfo));
    ASSERT_TRUE(program.Press(VK_TAB, true));
    EXPECT_TRUE(program.FocusOn(info));
    ASSERT_TRUE(program.Press(VK_TAB));
    ASSERT_TRUE(program.FocusOn(deviceInfo));

    // Return starts "Device Info" again: the box, emptied from here, is filled once more. The
    // run ends while another window is in front; coming back, the focus is on the button again.
    ::SendMessageW(info, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    ASSERT_TRUE(program.Press(VK_RETURN));
    ASSERT_TRUE(WaitFor([&] { return !program.Running() || program.Busy(); }, 5'000));
    HWND other = ::CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100,
                                   nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    ::SetForegroundWindow(other);
    EXPECT_TRUE(WaitFor([&] { return ::GetForegroundWindow() == other; }, 5'000));
    EXPECT_TRUE(program.Busy()) << "the run ended before another window came to the front";
    ASSERT_TRUE(WaitFor([&] { return !program.Running() || TextOf(info) != L""; }, 20'000))
        << "the second Return started nothing";
    ASSERT_TRUE(WaitFor([&] { return !program.Running() || program.Idle(); }, 20'000));
    ASSERT_TRUE(program.Running());
    ASSERT_TRUE(program.Activate());
    ::DestroyWindow(other);
    EXPECT_TRUE(program.FocusOn(deviceInfo))
        << "the focus did not come back to the pressed button after switching back";

    // Escape after the run closes the window and ends the program.
    ASSERT_TRUE(program.Press(VK_ESCAPE));
    EXPECT_LT(MillisecondsUntilEnd(program, 5'000), 1'000u) << "Escape after the run";
}

}  // namespace
}  // namespace zolt
