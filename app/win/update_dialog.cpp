#include "app/win/update_dialog.h"

#include <commctrl.h>

#include <utility>

#include "app/win/resource.h"
#include "log/log.h"
#include "platform/thread.h"
#include "platform/win_text.h"

namespace zolt {

namespace {

// Posted to the window when a procedure has returned.
constexpr UINT ProcedureFinishedMessage = WM_APP + 0x5A2;
// Posted by OnInitDialog when a button is to be pressed by itself.
constexpr UINT AutoPressMessage = WM_APP + 0x5A3;
// Posted on activation while the focus is still to go back to a pressed button.
constexpr UINT RestoreFocusMessage = WM_APP + 0x5A4;

std::wstring WindowText(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    if (length <= 0) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = ::GetWindowTextW(window, text.data(), length + 1);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

}  // namespace

// The window as the workers see it. It holds the calls into the window's thread, not the dialog,
// so a worker that outlives the dialog only finds its calls closed.
class CZOLTUpdateDlg::Worker final : public UpdateWindow {
  public:
    Worker(CZOLTUpdateDlg& dialog, std::shared_ptr<win::WindowCalls> calls)
        : dialog_(&dialog), calls_(std::move(calls)) {}

    // The dialog pointer is used only inside tasks, which run on the window's thread while the
    // window exists, and so while the dialog object does.
    void SetStatusText(const WideText& text) override {
        calls_->Run([&] { dialog_->ApplyStatusText(text); });
    }
    void SetInfoText(const WideText& text) override {
        calls_->Run([&] { dialog_->ApplyInfoText(text); });
    }
    void SetProgress(int32_t position) override {
        calls_->Run([&] { dialog_->ApplyProgress(position); });
    }
    int32_t GetProgress() override {
        int32_t position = 0;
        calls_->Run([&] { position = dialog_->ReadProgress(); });
        return position;
    }
    void EnableActions(bool enable) override {
        calls_->Run([&] { dialog_->ApplyEnableActions(enable); });
    }
    void Finished() {
        calls_->Run([&] { ::PostMessageW(dialog_->Handle(), ProcedureFinishedMessage, 0, 0); });
    }

  private:
    CZOLTUpdateDlg* dialog_;
    std::shared_ptr<win::WindowCalls> calls_;
};

CZOLTUpdateDlg::CZOLTUpdateDlg(Procedure update, Procedure deviceInfo)
    : TemplateDialog(IDD_UPDATE_DIALOG),
      icon_(::LoadIconW(win::ModuleInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      update_(std::move(update)),
      deviceInfoProcedure_(std::move(deviceInfo)),
      calls_(std::make_shared<win::WindowCalls>()),
      worker_(std::make_shared<Worker>(*this, calls_)) {}

// Icons from LoadIconW are shared and never destroyed; the controls belong to the window.
CZOLTUpdateDlg::~CZOLTUpdateDlg() = default;

void CZOLTUpdateDlg::SetStatusText(const WideText& text) {
    worker_->SetStatusText(text);
}
void CZOLTUpdateDlg::SetInfoText(const WideText& text) {
    worker_->SetInfoText(text);
}
void CZOLTUpdateDlg::SetProgress(int32_t position) {
    worker_->SetProgress(position);
}
int32_t CZOLTUpdateDlg::GetProgress() {
    return worker_->GetProgress();
}
void CZOLTUpdateDlg::EnableActions(bool enable) {
    worker_->EnableActions(enable);
}

void CZOLTUpdateDlg::SetProcedureFinishedHandler(std::function<void()> handler) {
    finished_ = std::move(handler);
}

void CZOLTUpdateDlg::DoDataExchange() {
    BindControl(IDC_PROGRESS, progress_);
    BindControl(IDC_INFO, info_);
    BindControl(IDC_DEVICE_INFO, deviceInfo_);
}

bool CZOLTUpdateDlg::OnInitDialog() {
    TemplateDialog::OnInitDialog();
    calls_->Attach(Handle());

    ::SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    ::SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

    const WideText title = WideText(u"ZOLT Update V") + VersionText;
    ::SetWindowTextW(Handle(), ToSystemWide(title).c_str());
    WriteLog(WideText(u"ZOLT Update ") + VersionText + u" start");
    if (autoPress_ || shown_) {
        ::PostMessageW(Handle(), AutoPressMessage, 0, 0);
    }
    return true;  // the focus goes to the first visible tab stop: "Update"
}

bool CZOLTUpdateDlg::OnCommand(WORD id, WORD code, HWND control) {
    if (code == BN_CLICKED && id == IDC_UPDATE) {
        OnBnClickedUpdate();
        return true;
    }
    if (code == BN_CLICKED && id == IDC_DEVICE_INFO) {
        OnBnClickedDeviceInfo();
        return true;
    }
    if (id == IDOK) {
        // Return gives the default command, the hidden OK, even while the focus is on one of
        // the two buttons (as it is at start): a focused push button takes Return itself.
        HWND focus = ::GetFocus();
        if (focus == GetDlgItem(IDC_UPDATE)) {
            OnBnClickedUpdate();
            return true;
        }
        if (focus == GetDlgItem(IDC_DEVICE_INFO)) {
            OnBnClickedDeviceInfo();
            return true;
        }
    }
    return TemplateDialog::OnCommand(id, code, control);
}

bool CZOLTUpdateDlg::OnPaint() {
    if (!::IsIconic(Handle())) {
        return false;  // the system's dialog painting
    }
    PAINTSTRUCT ps{};
    HDC dc = ::BeginPaint(Handle(), &ps);
    ::SendMessageW(Handle(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect{};
    ::GetClientRect(Handle(), &rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    ::DrawIcon(dc, x, y, icon_);
    ::EndPaint(Handle(), &ps);
    return true;
}

HICON CZOLTUpdateDlg::OnQueryDragIcon() {
    return icon_;
}

void CZOLTUpdateDlg::OnDestroy() {
    calls_->Detach();
    progress_.Unbind();
    info_.Unbind();
    deviceInfo_.Unbind();
}

bool CZOLTUpdateDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
    if (message == win::WindowCalls::CallMessage) {
        calls_->Execute(lParam);
        result = TRUE;
        return true;
    }
    if (message == AutoPressMessage) {
        if (autoPress_) {
            const int id = *autoPress_ == Button::Update ? IDC_UPDATE : IDC_DEVICE_INFO;
            ::SendMessageW(GetDlgItem(id), BM_CLICK, 0, 0);
        }
        if (shown_) {
            shown_();
        }
        result = TRUE;
        return true;
    }
    if (message == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE && focusAfterRun_ != 0) {
        // The system puts back the focus the window had when it was left; after that, the
        // pressed button takes it, if the run has ended meanwhile.
        ::PostMessageW(Handle(), RestoreFocusMessage, 0, 0);
        return false;
    }
    if (message == RestoreFocusMessage) {
        RestoreFocusAfterRun();
        result = TRUE;
        return true;
    }
    if (message == ProcedureFinishedMessage) {
        if (finished_) {
            finished_();
        }
        result = TRUE;
        return true;
    }
    return false;
}

void CZOLTUpdateDlg::OnBnClickedUpdate() {
    if (::IsWindowEnabled(GetDlgItem(IDC_UPDATE))) {
        StartProcedure(IDC_UPDATE, update_);
    }
}

void CZOLTUpdateDlg::OnBnClickedDeviceInfo() {
    if (::IsWindowEnabled(GetDlgItem(IDC_DEVICE_INFO))) {
        StartProcedure(IDC_DEVICE_INFO, deviceInfoProcedure_);
    }
}

void CZOLTUpdateDlg::StartProcedure(int button, const Procedure& procedure) {
    if (!procedure) {
        return;
    }
    // Both buttons go grey at once, so a second press cannot start a second run before the
    // procedure's own first step does the same. The focus comes back to the pressed button when
    // the run enables them again.
    focusAfterRun_ = button;
    ApplyEnableActions(false);

    // The default stack of every thread of the program, 50,000,000 bytes; nothing joins it.
    const bool started = StartDetachedThread([procedure, worker = worker_] {
        procedure(*worker);
        worker->Finished();
    });
    if (!started) {
        ApplyEnableActions(true);  // the press has no effect
    }
}

void CZOLTUpdateDlg::MoveFocus(HWND control) {
    // As Tab does: the dialog keeps its default button in step with the focus.
    ::SendMessageW(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

void CZOLTUpdateDlg::RestoreFocusAfterRun() {
    if (focusAfterRun_ == 0) {
        return;
    }
    HWND button = GetDlgItem(focusAfterRun_);
    if (!::IsWindowEnabled(button)) {
        return;  // still running
    }
    if (::GetActiveWindow() != Handle()) {
        return;  // done when the window is activated again (WM_ACTIVATE)
    }
    HWND focus = ::GetFocus();
    if (focus == nullptr || focus == info_.Handle() || !::IsWindowEnabled(focus)) {
        MoveFocus(button);
    }
    focusAfterRun_ = 0;
}

void CZOLTUpdateDlg::ApplyStatusText(const WideText& text) {
    ::SetWindowTextW(GetDlgItem(IDC_STATUS), ToSystemWide(text).c_str());
}

void CZOLTUpdateDlg::ApplyInfoText(const WideText& text) {
    ::SetWindowTextW(info_.Handle(), ToSystemWide(text).c_str());
}

void CZOLTUpdateDlg::ApplyProgress(int32_t position) {
    progress_.Send(PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int32_t CZOLTUpdateDlg::ReadProgress() {
    return static_cast<int32_t>(progress_.Send(PBM_GETPOS, 0, 0));
}

void CZOLTUpdateDlg::ApplyEnableActions(bool enable) {
    HWND update = GetDlgItem(IDC_UPDATE);
    HWND deviceInfo = GetDlgItem(IDC_DEVICE_INFO);
    if (!enable) {
        // A greyed button that keeps the focus leaves the keyboard with no control at all (no
        // Escape, no Tab): the focus goes to the info box, which stays enabled.
        HWND focus = ::GetFocus();
        if (focus == update || focus == deviceInfo) {
            if (focusAfterRun_ == 0) {
                focusAfterRun_ = ::GetDlgCtrlID(focus);
            }
            MoveFocus(info_.Handle());
        }
    }
    ::EnableWindow(update, enable ? TRUE : FALSE);
    ::EnableWindow(deviceInfo, enable ? TRUE : FALSE);
    if (enable) {
        RestoreFocusAfterRun();
    }
}

CZOLTUpdateApp::CZOLTUpdateApp(Procedure update, Procedure deviceInfo,
                               std::function<void(CZOLTUpdateDlg&)> prepare)
    : update_(std::move(update)),
      deviceInfo_(std::move(deviceInfo)),
      prepare_(std::move(prepare)) {}

bool CZOLTUpdateApp::InitInstance() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;  // 8
    controls.dwICC = 0xFF;              // list view, tree view, bars, tabs, up-down, progress, ...
    ::InitCommonControlsEx(&controls);

    CZOLTUpdateDlg dialog(update_, deviceInfo_);
    if (prepare_) {
        prepare_(dialog);
    }
    SetMainWindow(&dialog);
    const INT_PTR result = dialog.DoModal();
    SetExitCode(result == -1 ? 1 : 0);
    SetMainWindow(nullptr);
    return false;  // no message loop of our own after the dialog
}

WindowState ReadWindowState(HWND dialog) {
    WindowState state;
    state.title = WindowText(dialog);
    state.status = WindowText(::GetDlgItem(dialog, IDC_STATUS));
    state.info = WindowText(::GetDlgItem(dialog, IDC_INFO));
    state.progress =
        static_cast<int32_t>(::SendMessageW(::GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0));
    state.updateEnabled = ::IsWindowEnabled(::GetDlgItem(dialog, IDC_UPDATE)) != FALSE;
    state.deviceInfoEnabled = ::IsWindowEnabled(::GetDlgItem(dialog, IDC_DEVICE_INFO)) != FALSE;
    return state;
}

}  // namespace zolt
