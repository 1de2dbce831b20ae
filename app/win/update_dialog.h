// The update program's application object and its one window, the modal dialog of template 102.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/win/win_layer.h"
#include "procedures/update_window.h"

namespace zolt {

// The update window. The window operations may be called from any thread: each is carried out by
// the window's thread, with the system calls listed beside it, and has taken effect when it
// returns. Once the window is closing they do nothing (GetProgress gives 0) and never wait.
class CZOLTUpdateDlg : public win::TemplateDialog, public UpdateWindow {
  public:
    CZOLTUpdateDlg(Procedure update, Procedure deviceInfo);
    ~CZOLTUpdateDlg() override;

    void SetStatusText(const WideText& text) override;  // GetDlgItem(1002), SetWindowTextW
    void SetInfoText(const WideText& text) override;    // SetWindowTextW on the bound edit
    void SetProgress(int32_t position) override;        // PBM_SETPOS
    int32_t GetProgress() override;                     // PBM_GETPOS
    void EnableActions(bool enable) override;           // EnableWindow on 1001, then 1004

    // The press handlers: move the focus to the info box, disable both buttons, then start the
    // procedure on a new thread with the default stack. When the run enables the buttons again
    // the pressed button gets the focus back. When the thread cannot be started the buttons are
    // enabled again. A press that reaches a greyed button (a click message sent to it) starts
    // nothing. Return with the focus on either button presses that button.
    void OnBnClickedUpdate();
    void OnBnClickedDeviceInfo();

    // Runs on the window's thread after a procedure started by a press has returned, unless the
    // window has closed by then.
    void SetProcedureFinishedHandler(std::function<void()> handler);

    // Runs on the window's thread once the window is up and its loop runs (after the auto-press,
    // when there is one).
    void SetShownHandler(std::function<void()> handler) { shown_ = std::move(handler); }

    // Presses a button (as a click on it) once the window is up and its loop runs.
    enum class Button { Update, DeviceInfo };
    void SetAutoPress(Button button) { autoPress_ = button; }

    HICON Icon() const { return icon_; }

  protected:
    void DoDataExchange() override;
    bool OnInitDialog() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool OnPaint() override;
    HICON OnQueryDragIcon() override;
    void OnDestroy() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

  private:
    class Worker;
    void StartProcedure(int button, const Procedure& procedure);
    // Gives the focus to a control the way the keyboard does.
    void MoveFocus(HWND control);
    // Once the buttons are enabled again, the button that was pressed takes the focus back.
    void RestoreFocusAfterRun();

    // The effects themselves, on the window's thread.
    void ApplyStatusText(const WideText& text);
    void ApplyInfoText(const WideText& text);
    void ApplyProgress(int32_t position);
    int32_t ReadProgress();
    void ApplyEnableActions(bool enable);

    // In the order of the window's fields: icon, progress bar (1000), edit (1003), button (1004).
    HICON icon_;
    win::DialogControl progress_;
    win::DialogControl info_;
    win::DialogControl deviceInfo_;

    Procedure update_;
    Procedure deviceInfoProcedure_;
    std::shared_ptr<win::WindowCalls> calls_;
    std::shared_ptr<Worker> worker_;  // what the workers hold: outlives the dialog
    std::function<void()> finished_;
    std::optional<Button> autoPress_;
    int focusAfterRun_ = 0;  // the pressed button, while the focus is to go back to it
    std::function<void()> shown_;
};

// The application object: registers the common controls, runs the update window modally and ends.
class CZOLTUpdateApp : public win::WinApplication {
  public:
    CZOLTUpdateApp(Procedure update, Procedure deviceInfo,
                   std::function<void(CZOLTUpdateDlg&)> prepare = {});

  protected:
    bool InitInstance() override;

  private:
    Procedure update_;
    Procedure deviceInfo_;
    std::function<void(CZOLTUpdateDlg&)> prepare_;
};

// What the window shows, read on the window's thread (for self-checks and tests).
struct WindowState {
    std::wstring title;
    std::wstring status;
    std::wstring info;
    int32_t progress = 0;
    bool updateEnabled = false;
    bool deviceInfoEnabled = false;
};
WindowState ReadWindowState(HWND dialog);

}  // namespace zolt
