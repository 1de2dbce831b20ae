// A thin layer over the Windows user interface for the update program: an application object that
// runs one start-up function, a modal dialog created from a resource template with a virtual
// message handler per event, controls bound by identifier, and calls from worker threads that the
// dialog's thread carries out.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace zolt::win {

class TemplateDialog;

// The executable's module, whose resources the dialogs and icons come from.
HINSTANCE ModuleInstance();

// The application object. One exists at a time; Run() calls InitInstance() and, if that returns
// true, pumps messages until WM_QUIT; then ExitInstance() gives the exit code.
class WinApplication {
  public:
    WinApplication();
    virtual ~WinApplication();
    WinApplication(const WinApplication&) = delete;
    WinApplication& operator=(const WinApplication&) = delete;

    static WinApplication* Current();

    int Run();

    // The window that stands for the application while it runs (no ownership).
    void SetMainWindow(TemplateDialog* window) { mainWindow_ = window; }
    TemplateDialog* MainWindow() const { return mainWindow_; }

  protected:
    // Returns false to end the application without a message loop.
    virtual bool InitInstance() { return true; }
    virtual int ExitInstance() { return exitCode_; }
    void SetExitCode(int code) { exitCode_ = code; }

  private:
    TemplateDialog* mainWindow_ = nullptr;
    int exitCode_ = 0;
};

// A control of a dialog, bound by identifier in DoDataExchange. It does not own the window.
class DialogControl {
  public:
    HWND Handle() const { return hwnd_; }
    bool IsBound() const { return hwnd_ != nullptr; }
    void Bind(HWND control) { hwnd_ = control; }
    void Unbind() { hwnd_ = nullptr; }
    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) const {
        return ::SendMessageW(hwnd_, message, wParam, lParam);
    }

  private:
    HWND hwnd_ = nullptr;
};

// A modal dialog from a resource template. Subclasses replace the handlers they need; a handler
// that returns false leaves the message to the system's dialog handling.
class TemplateDialog {
  public:
    explicit TemplateDialog(int templateId, HWND parent = nullptr);
    virtual ~TemplateDialog();
    TemplateDialog(const TemplateDialog&) = delete;
    TemplateDialog& operator=(const TemplateDialog&) = delete;

    // Creates the dialog from its template and runs it until EndDialog. Returns the dialog's
    // result, or -1 when it could not be created.
    INT_PTR DoModal();

    HWND Handle() const { return hwnd_; }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(hwnd_, id); }
    void EndDialog(INT_PTR result);

    // Centres the window on its owner, or on the work area of its monitor when it has no visible
    // owner, and keeps it inside that work area. A dialog whose OnInitDialog did not move it is
    // centred this way once it has been initialised.
    void CenterWindow();

  protected:
    // WM_INITDIALOG: binds the controls through DoDataExchange. Return true to let the system give
    // the focus to the first control that takes it.
    virtual bool OnInitDialog();
    virtual void DoDataExchange() {}
    // Binds a control field to the control with this identifier.
    void BindControl(int id, DialogControl& control);

    // WM_COMMAND. The default ends the dialog on IDOK and IDCANCEL (Escape and the close box
    // give IDCANCEL), as the system's dialogs do.
    virtual bool OnCommand(WORD id, WORD code, HWND control);
    virtual bool OnPaint() { return false; }
    virtual HICON OnQueryDragIcon() { return nullptr; }
    // WM_DESTROY, while the window still exists.
    virtual void OnDestroy() {}
    // Any other message; `result` is what the dialog procedure returns when it is handled.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);

  private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    int templateId_;
    HWND parent_;
    HWND hwnd_ = nullptr;
};

// Calls from other threads into a window's thread. Run() hands a task to the window with
// SendMessageW and returns when the window's thread has run it. Once the window is detached
// (closing), Run() does nothing and returns false at once, and Detach() has waited for the calls
// already on their way, so no call ever reaches a window that is gone, and none holds up the exit.
class WindowCalls {
  public:
    // The private message that carries a task; the window's procedure hands it to Execute().
    static constexpr UINT CallMessage = WM_APP + 0x5A1;

    // Window's thread: from now on calls reach `window`.
    void Attach(HWND window);
    // Window's thread, before the window is destroyed. Waits (handling the calls that arrive
    // meanwhile, which then do nothing) until no call is on its way, at most `maxWaitMs`.
    void Detach(DWORD maxWaitMs = 2'000);

    // Any thread. False when the window is not (or no longer) there; the task did not run.
    bool Run(const std::function<void()>& task);

    // Window's thread, for CallMessage.
    void Execute(LPARAM lParam);

  private:
    std::mutex mutex_;
    HWND window_ = nullptr;
    bool open_ = false;
    int inFlight_ = 0;
};

}  // namespace zolt::win
