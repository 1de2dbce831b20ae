// The update window as a person meets it: created from its template, driven by procedures on
// worker threads, pressed and closed. Runs the real modal dialog on the test's thread.
#include "app/win/update_dialog.h"

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "app/win/resource.h"
#include "log/log.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

constexpr UINT ProbeMessage = WM_APP + 0x700;

// A manual-reset event, for handing control between the worker and the window's thread.
class Event {
  public:
    Event() : handle_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { ::CloseHandle(handle_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void Set() { ::SetEvent(handle_); }
    bool Wait(DWORD ms) { return ::WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }
    // Waits while still handling the messages sent to this thread (the window's calls).
    bool WaitPumping(DWORD ms) {
        const DWORD start = ::GetTickCount();
        while (::GetTickCount() - start < ms) {
            if (::MsgWaitForMultipleObjects(1, &handle_, FALSE, 10, QS_ALLINPUT) == WAIT_OBJECT_0) {
                return true;
            }
            MSG msg{};
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
        }
        return false;
    }

  private:
    HANDLE handle_;
};

// The dialog with a probe: `probe` runs on the window's thread once the window is up.
class ProbedDialog final : public CZOLTUpdateDlg {
  public:
    ProbedDialog(Procedure update, Procedure deviceInfo, std::function<void(ProbedDialog&)> probe)
        : CZOLTUpdateDlg(std::move(update), std::move(deviceInfo)), probe_(std::move(probe)) {}

    using CZOLTUpdateDlg::Handle;

  protected:
    bool OnInitDialog() override {
        const bool focus = CZOLTUpdateDlg::OnInitDialog();
        ::PostMessageW(Handle(), ProbeMessage, 0, 0);
        return focus;
    }
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override {
        if (message == ProbeMessage) {
            if (probe_) {
                probe_(*this);
            }
            result = TRUE;
            return true;
        }
        return CZOLTUpdateDlg::OnMessage(message, wParam, lParam, result);
    }

  private:
    std::function<void(ProbedDialog&)> probe_;
};

class UpdateDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), 0xFF};
        ASSERT_TRUE(::InitCommonControlsEx(&controls));
    }
    testing::ScopedTestLog log_;
};

std::wstring TextOf(HWND window) {
    wchar_t buffer[512] = {};
    ::GetWindowTextW(window, buffer, 512);
    return buffer;
}

std::wstring ClassOf(HWND window) {
    wchar_t buffer[64] = {};
    ::GetClassNameW(window, buffer, 64);
    return buffer;
}

void Click(HWND dialog, int id) {
    ::SendMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// The address space reserved for the calling thread's stack: the allocation that holds a local
// variable, walked region by region.
std::size_t StackReservationOfThisThread() {
    MEMORY_BASIC_INFORMATION info{};
    volatile int local = 0;
    if (::VirtualQuery(const_cast<int*>(&local), &info, sizeof info) == 0) {
        return 0;
    }
    const auto* base = static_cast<const char*>(info.AllocationBase);
    std::size_t size = 0;
    while (::VirtualQuery(base + size, &info, sizeof info) != 0 &&
           info.AllocationBase == static_cast<const void*>(base)) {
        size += info.RegionSize;
    }
    return size;
}

TEST_F(UpdateDialogTest, StartsFromItsTemplateWithTitleIconFocusAndOneLogLine) {
    LogCapture capture;
    struct Seen {
        WindowState state;
        HWND focus = nullptr;
        HWND update = nullptr;
        LONG style = 0;
        LONG exStyle = 0;
        RECT client{};
        RECT expectedClient{};
        HICON dragIcon = nullptr;
        HICON bigIcon = nullptr;
        HICON ownIcon = nullptr;
        std::vector<std::wstring> failures;
    } seen;

    struct Expected {
        int id;
        const wchar_t* cls;
        RECT dialogUnits;  // left, top, width, height
        bool visible;
    };
    // The controls with identifiers; the rest are checked by their place in the template.
    const Expected controls[] = {
        {IDOK, L"Button", {133, 5, 13, 6}, false},
        {IDCANCEL, L"Button", {156, 0, 13, 14}, false},
        {IDC_PROGRESS, PROGRESS_CLASSW, {0, 157, 297, 8}, true},
        {IDC_UPDATE, L"Button", {9, 94, 70, 43}, true},
        {IDC_STATUS, L"Static", {7, 143, 288, 11}, true},
        {IDC_INFO, L"Edit", {178, 17, 105, 115}, true},
        {IDC_DEVICE_INFO, L"Button", {94, 94, 70, 43}, true},
    };

    ProbedDialog dialog({}, {}, [&](ProbedDialog& d) {
        HWND h = d.Handle();
        seen.state = ReadWindowState(h);
        seen.focus = ::GetFocus();
        seen.update = d.GetDlgItem(IDC_UPDATE);
        seen.style = ::GetWindowLongW(h, GWL_STYLE);
        seen.exStyle = ::GetWindowLongW(h, GWL_EXSTYLE);
        ::GetClientRect(h, &seen.client);
        seen.expectedClient = RECT{0, 0, 297, 165};
        ::MapDialogRect(h, &seen.expectedClient);
        seen.dragIcon = reinterpret_cast<HICON>(::SendMessageW(h, WM_QUERYDRAGICON, 0, 0));
        seen.bigIcon = reinterpret_cast<HICON>(::SendMessageW(h, WM_GETICON, ICON_BIG, 0));
        seen.ownIcon = d.Icon();
        for (const auto& c : controls) {
            HWND control = d.GetDlgItem(c.id);
            // The system maps position and size separately, as MapDialogRect maps each field.
            RECT want = c.dialogUnits;
            ::MapDialogRect(h, &want);
            want.right += want.left;
            want.bottom += want.top;
            RECT got{};
            ::GetWindowRect(control, &got);
            ::MapWindowPoints(nullptr, h, reinterpret_cast<POINT*>(&got), 2);
            const std::wstring what = L"control " + std::to_wstring(c.id);
            if (control == nullptr) {
                seen.failures.push_back(what + L" missing");
                continue;
            }
            if (_wcsicmp(ClassOf(control).c_str(), c.cls) != 0) {
                seen.failures.push_back(what + L" class " + ClassOf(control));
            }
            if (!::EqualRect(&got, &want)) {
                seen.failures.push_back(what + L" misplaced");
            }
            if ((::IsWindowVisible(control) != FALSE) != c.visible) {
                seen.failures.push_back(what + L" visibility");
            }
        }
        d.EndDialog(IDCANCEL);
    });
    ASSERT_EQ(dialog.DoModal(), IDCANCEL);

    EXPECT_EQ(seen.state.title, L"ZOLT Update V1.0.6");
    EXPECT_EQ(seen.state.status, L"");
    EXPECT_EQ(seen.state.info, L"");
    EXPECT_EQ(seen.state.progress, 0);
    EXPECT_TRUE(seen.state.updateEnabled);
    EXPECT_TRUE(seen.state.deviceInfoEnabled);
    EXPECT_EQ(seen.focus, seen.update);  // the first visible tab stop

    EXPECT_TRUE(seen.style & WS_CAPTION);
    EXPECT_TRUE(seen.style & WS_SYSMENU);
    EXPECT_FALSE(seen.style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_TRUE(seen.exStyle & WS_EX_APPWINDOW);
    EXPECT_TRUE(::EqualRect(&seen.client, &seen.expectedClient));

    ASSERT_NE(seen.ownIcon, nullptr);
    EXPECT_EQ(seen.dragIcon, seen.ownIcon);
    EXPECT_EQ(seen.bigIcon, seen.ownIcon);
    for (const auto& f : seen.failures) {
        ADD_FAILURE() << std::string(f.begin(), f.end());
    }
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"ZOLT Update 1.0.6 start"});
}

TEST_F(UpdateDialogTest, WindowOperationsFromAWorkerTakeEffectBeforeTheyReturn) {
    struct Seen {
        std::wstring status, info;
        int32_t progressAfter100 = -1, progressAfter0 = -1, progressRead = -1;
        bool updateAfterDisable = true, deviceInfoAfterDisable = true;
        bool updateAfterEnable = false, deviceInfoAfterEnable = false;
        DWORD thread = 0;
    } seen;
    HWND dialogWindow = nullptr;
    Event done;

    auto procedure = [&](UpdateWindow& window) -> uint32_t {
        seen.thread = ::GetCurrentThreadId();
        HWND status = ::GetDlgItem(dialogWindow, IDC_STATUS);
        HWND info = ::GetDlgItem(dialogWindow, IDC_INFO);
        HWND progress = ::GetDlgItem(dialogWindow, IDC_PROGRESS);
        window.EnableActions(false);
        seen.updateAfterDisable = ::IsWindowEnabled(::GetDlgItem(dialogWindow, IDC_UPDATE));
        seen.deviceInfoAfterDisable =
            ::IsWindowEnabled(::GetDlgItem(dialogWindow, IDC_DEVICE_INFO));
        window.SetStatusText(u"Get device info...");
        seen.status = TextOf(status);
        window.SetInfoText(u"line one\r\nline two \u786e\u5b9a");
        seen.info = TextOf(info);
        window.SetProgress(100);
        seen.progressAfter100 = static_cast<int32_t>(::SendMessageW(progress, PBM_GETPOS, 0, 0));
        seen.progressRead = window.GetProgress();
        window.SetProgress(0);
        seen.progressAfter0 = static_cast<int32_t>(::SendMessageW(progress, PBM_GETPOS, 0, 0));
        window.EnableActions(true);
        seen.updateAfterEnable = ::IsWindowEnabled(::GetDlgItem(dialogWindow, IDC_UPDATE));
        seen.deviceInfoAfterEnable = ::IsWindowEnabled(::GetDlgItem(dialogWindow, IDC_DEVICE_INFO));
        return 0;
    };

    ProbedDialog dialog(procedure, {}, [&](ProbedDialog& d) {
        dialogWindow = d.Handle();
        d.SetProcedureFinishedHandler([&] {
            done.Set();
            d.EndDialog(IDOK);
        });
        Click(d.Handle(), IDC_UPDATE);
    });
    ASSERT_EQ(dialog.DoModal(), IDOK);
    ASSERT_TRUE(done.Wait(0));

    EXPECT_NE(seen.thread, ::GetCurrentThreadId());
    EXPECT_FALSE(seen.updateAfterDisable);
    EXPECT_FALSE(seen.deviceInfoAfterDisable);
    EXPECT_EQ(seen.status, L"Get device info...");
    EXPECT_EQ(seen.info, L"line one\r\nline two \u786e\u5b9a");
    EXPECT_EQ(seen.progressAfter100, 100);
    EXPECT_EQ(seen.progressRead, 100);
    EXPECT_EQ(seen.progressAfter0, 0);
    EXPECT_TRUE(seen.updateAfterEnable);
    EXPECT_TRUE(seen.deviceInfoAfterEnable);
}

TEST_F(UpdateDialogTest, ProceduresRunOnThreadsWithTheProgramsLargeStack) {
    std::atomic<std::size_t> reserved{0};
    ProbedDialog dialog(
        [&](UpdateWindow&) -> uint32_t {
            reserved = StackReservationOfThisThread();
            return 0;
        },
        {},
        [&](ProbedDialog& d) {
            d.SetProcedureFinishedHandler([&d] { d.EndDialog(IDOK); });
            Click(d.Handle(), IDC_UPDATE);
        });
    ASSERT_EQ(dialog.DoModal(), IDOK);
    // The linker's default for every thread, rounded up to the system's allocation granularity.
    EXPECT_GE(reserved.load(), 50'000'000u);
    EXPECT_LT(reserved.load(), 50'000'000u + 2'000'000u);
}

TEST_F(UpdateDialogTest, APressGreysBothButtonsAtOnceAndStartsTheMatchingProcedure) {
    Event release;
    std::atomic<int> updates{0};
    std::atomic<int> infos{0};
    struct Seen {
        bool updateEnabled = true, deviceInfoEnabled = true;
        bool secondPressStartedNothing = false;
    } seen;

    auto blocked = [&](std::atomic<int>& counter) {
        return [&](UpdateWindow& window) -> uint32_t {
            ++counter;
            release.Wait(5'000);
            window.EnableActions(true);
            return 0;
        };
    };
    ProbedDialog dialog(blocked(updates), blocked(infos), [&](ProbedDialog& d) {
        Click(d.Handle(), IDC_DEVICE_INFO);
        // The handler has returned; the procedure has not enabled anything yet.
        const WindowState state = ReadWindowState(d.Handle());
        seen.updateEnabled = state.updateEnabled;
        seen.deviceInfoEnabled = state.deviceInfoEnabled;
        // A press that reaches a greyed button anyway (a click sent to it) starts nothing.
        Click(d.Handle(), IDC_UPDATE);
        Click(d.Handle(), IDC_DEVICE_INFO);
        seen.secondPressStartedNothing = true;
        d.SetProcedureFinishedHandler([&d] { d.EndDialog(IDOK); });
        release.Set();
    });
    ASSERT_EQ(dialog.DoModal(), IDOK);

    EXPECT_FALSE(seen.updateEnabled);
    EXPECT_FALSE(seen.deviceInfoEnabled);
    EXPECT_TRUE(seen.secondPressStartedNothing);
    EXPECT_EQ(infos.load(), 1);
    EXPECT_EQ(updates.load(), 0);
}

TEST_F(UpdateDialogTest, ClosingWhileAWorkerRunsEndsAtOnceAndLaterCallsDoNothing) {
    Event started;
    Event closed;
    Event finished;
    std::atomic<int32_t> progressAfterClose{-1};
    std::atomic<int> callsBeforeClose{0};

    auto busy = [&](UpdateWindow& window) -> uint32_t {
        window.EnableActions(false);
        started.Set();
        // Keeps calling into the window while it closes, so some call is always on its way.
        while (!closed.Wait(0)) {
            window.SetProgress(callsBeforeClose++ % 100);
            window.SetStatusText(u"working");
        }
        window.SetStatusText(u"too late");
        window.SetInfoText(u"too late");
        window.SetProgress(50);
        progressAfterClose = window.GetProgress();
        window.EnableActions(true);
        finished.Set();
        return 0;
    };

    DWORD closedAfterMs = 0;
    {
        ProbedDialog dialog(busy, {}, [&](ProbedDialog& d) {
            Click(d.Handle(), IDC_UPDATE);
            ASSERT_TRUE(started.WaitPumping(5'000));
            ::PostMessageW(d.Handle(), WM_CLOSE, 0, 0);  // the close box
        });
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(dialog.DoModal(), IDCANCEL);
        closedAfterMs = ::GetTickCount() - start;
    }  // the dialog object is gone too, as after the program's start-up returns
    closed.Set();
    ASSERT_TRUE(finished.Wait(5'000)) << "a worker call blocked after the window closed";

    EXPECT_GT(callsBeforeClose.load(), 0);
    EXPECT_LT(closedAfterMs, 3'000u);
    EXPECT_EQ(progressAfterClose.load(), 0);
}

TEST_F(UpdateDialogTest, ApplicationRegistersControlsRunsTheWindowAndEnds) {
    LogCapture capture;
    std::wstring title;
    // The procedure returns at once; the window is then closed as Escape closes it.
    CZOLTUpdateApp closing([&](UpdateWindow&) -> uint32_t { return 0; }, {},
                           [&](CZOLTUpdateDlg& dialog) {
                               dialog.SetAutoPress(CZOLTUpdateDlg::Button::Update);
                               dialog.SetProcedureFinishedHandler([&dialog, &title] {
                                   title = ReadWindowState(dialog.Handle()).title;
                                   ::PostMessageW(dialog.Handle(), WM_COMMAND, IDCANCEL,
                                                  0);  // Escape
                               });
                           });
    EXPECT_EQ(closing.Run(), 0);
    EXPECT_EQ(title, L"ZOLT Update V1.0.6");
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"ZOLT Update 1.0.6 start"});
}

}  // namespace
}  // namespace zolt
