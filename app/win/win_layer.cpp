#include "app/win/win_layer.h"

namespace zolt::win {

namespace {

WinApplication* currentApplication = nullptr;

struct Call {
    const std::function<void()>* task;
    bool ran;
};

}  // namespace

HINSTANCE ModuleInstance() {
    return ::GetModuleHandleW(nullptr);
}

WinApplication::WinApplication() {
    currentApplication = this;
}

WinApplication::~WinApplication() {
    if (currentApplication == this) {
        currentApplication = nullptr;
    }
}

WinApplication* WinApplication::Current() {
    return currentApplication;
}

int WinApplication::Run() {
    if (InitInstance()) {
        MSG msg{};
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        SetExitCode(static_cast<int>(msg.wParam));
    }
    return ExitInstance();
}

TemplateDialog::TemplateDialog(int templateId, HWND parent)
    : templateId_(templateId), parent_(parent) {}

TemplateDialog::~TemplateDialog() = default;

INT_PTR TemplateDialog::DoModal() {
    return ::DialogBoxParamW(ModuleInstance(), MAKEINTRESOURCEW(templateId_), parent_,
                             &TemplateDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

void TemplateDialog::EndDialog(INT_PTR result) {
    if (hwnd_ != nullptr) {
        ::EndDialog(hwnd_, result);
    }
}

void TemplateDialog::CenterWindow() {
    RECT window{};
    if (hwnd_ == nullptr || !::GetWindowRect(hwnd_, &window)) {
        return;
    }
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    HWND owner = ::GetWindow(hwnd_, GW_OWNER);
    if (owner != nullptr && (!::IsWindowVisible(owner) || ::IsIconic(owner))) {
        owner = nullptr;
    }
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    HMONITOR handle =
        ::MonitorFromWindow(owner != nullptr ? owner : hwnd_, MONITOR_DEFAULTTONEAREST);
    if (handle == nullptr || !::GetMonitorInfoW(handle, &monitor)) {
        return;
    }
    const RECT area = monitor.rcWork;
    RECT around = area;
    if (owner != nullptr) {
        ::GetWindowRect(owner, &around);
    }
    int x = (around.left + around.right) / 2 - width / 2;
    int y = (around.top + around.bottom) / 2 - height / 2;
    // A window larger than the work area keeps its top left corner on it.
    x = x + width > area.right ? area.right - width : x;
    x = x < area.left ? area.left : x;
    y = y + height > area.bottom ? area.bottom - height : y;
    y = y < area.top ? area.top : y;
    ::SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool TemplateDialog::OnInitDialog() {
    DoDataExchange();
    return true;
}

void TemplateDialog::BindControl(int id, DialogControl& control) {
    control.Bind(GetDlgItem(id));
}

bool TemplateDialog::OnCommand(WORD id, WORD /*code*/, HWND /*control*/) {
    if (id == IDOK || id == IDCANCEL) {
        EndDialog(id);
        return true;
    }
    return false;
}

bool TemplateDialog::OnMessage(UINT, WPARAM, LPARAM, INT_PTR&) {
    return false;
}

INT_PTR CALLBACK TemplateDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    TemplateDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<TemplateDialog*>(lParam);
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
    } else {
        self = reinterpret_cast<TemplateDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    if (self == nullptr) {
        return FALSE;  // messages before WM_INITDIALOG
    }
    const INT_PTR result = self->Dispatch(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->hwnd_ = nullptr;
    }
    return result;
}

INT_PTR TemplateDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            // The system leaves a dialog where its template puts it (the top left corner when
            // the template has no centring style); centre it unless the handler placed it.
            RECT before{};
            ::GetWindowRect(hwnd_, &before);
            const bool focus = OnInitDialog();
            RECT after{};
            ::GetWindowRect(hwnd_, &after);
            if (::EqualRect(&before, &after)) {
                CenterWindow();
            }
            return focus ? TRUE : FALSE;
        }
        case WM_COMMAND:
            return OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam))
                       ? TRUE
                       : FALSE;
        case WM_PAINT:
            return OnPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            // One of the messages whose dialog-procedure result is the answer itself.
            return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
        case WM_DESTROY:
            OnDestroy();
            return FALSE;
        default: {
            INT_PTR result = FALSE;
            if (OnMessage(message, wParam, lParam, result)) {
                return result;
            }
            return FALSE;
        }
    }
}

void WindowCalls::Attach(HWND window) {
    std::lock_guard lock(mutex_);
    window_ = window;
    open_ = true;
}

void WindowCalls::Detach(DWORD maxWaitMs) {
    {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    const DWORD start = ::GetTickCount();
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (inFlight_ == 0) {
                break;
            }
        }
        if (::GetTickCount() - start >= maxWaitMs) {
            break;
        }
        // A call on its way is a message sent to this thread: handling it (it does nothing now,
        // the calls are closed) lets its sender go on.
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
        MSG msg{};
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    std::lock_guard lock(mutex_);
    window_ = nullptr;
}

bool WindowCalls::Run(const std::function<void()>& task) {
    HWND window = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!open_ || window_ == nullptr) {
            return false;
        }
        window = window_;
        ++inFlight_;
    }
    Call call{&task, false};
    ::SendMessageW(window, CallMessage, 0, reinterpret_cast<LPARAM>(&call));
    std::lock_guard lock(mutex_);
    --inFlight_;
    return call.ran;
}

void WindowCalls::Execute(LPARAM lParam) {
    auto* call = reinterpret_cast<Call*>(lParam);
    if (call == nullptr || call->task == nullptr) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (!open_) {
            return;
        }
    }
    (*call->task)();  // on the window's thread, without the lock: the task may call back in
    call->ran = true;
}

}  // namespace zolt::win
