// The update window: a fixed-size dialog with the instructions, the "Update" and "Device Info"
// buttons, a read-only box for the device information, a status line and a progress bar.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/qt/dialog_units.h"
#include "procedures/update_window.h"

class QGroupBox;
class QIcon;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace zolt {

class WindowCalls;

// The layout in dialog units, in creation and tab order.
namespace update_layout {
inline constexpr DialogRect Client{0, 0, 297, 165};
inline constexpr DialogRect Ok{133, 5, 13, 6};
inline constexpr DialogRect Cancel{156, 0, 13, 14};
inline constexpr DialogRect StepsBox{9, 5, 155, 78};
inline constexpr DialogRect StepsText{21, 24, 137, 45};
inline constexpr DialogRect Progress{0, 157, 297, 8};
inline constexpr DialogRect Update{9, 94, 70, 43};
inline constexpr DialogRect Status{7, 143, 288, 11};
inline constexpr DialogRect Banner{0, 0, 272, 5};  // the bitmap keeps its own pixel size
inline constexpr DialogRect Info{178, 17, 105, 115};
inline constexpr DialogRect DeviceInfoBox{173, 5, 114, 132};
inline constexpr DialogRect DeviceInfo{94, 94, 70, 43};
}  // namespace update_layout

class CZOLTUpdateDlg : public QDialog, public UpdateWindow {
  public:
    CZOLTUpdateDlg(Procedure update, Procedure deviceInfo, QWidget* parent = nullptr);
    ~CZOLTUpdateDlg() override;
    CZOLTUpdateDlg(const CZOLTUpdateDlg&) = delete;
    CZOLTUpdateDlg& operator=(const CZOLTUpdateDlg&) = delete;

    // The window operations. From any thread; each is carried out on the window's thread and has
    // taken effect when it returns. Once the window has closed they do nothing (GetProgress gives
    // 0), and they never wait for a closed window.
    void SetStatusText(const WideText& text) override;
    void SetInfoText(const WideText& text) override;
    void SetProgress(int32_t position) override;
    int32_t GetProgress() override;
    void EnableActions(bool enable) override;

    // The press handlers: move the focus to the info box, disable both buttons, then start the
    // procedure on a new thread. When the run enables the buttons again the pressed button gets
    // the focus back. When the thread cannot be started the buttons are enabled again and nothing
    // else happens.
    void OnBnClickedUpdate();
    void OnBnClickedDeviceInfo();

    // Runs on the window's thread each time a procedure started by a press has returned (not
    // after the window has closed).
    void SetProcedureFinishedHandler(std::function<void()> handler);

    // Closing ends every window operation of the workers for good.
    void done(int result) override;

    DialogBaseUnits BaseUnits() const { return base_; }

    // The controls, for the window's thread.
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }
    QGroupBox* StepsBox() const { return stepsBox_; }
    QLabel* StepsText() const { return stepsText_; }
    QProgressBar* ProgressBar() const { return progress_; }
    QPushButton* UpdateButton() const { return update_; }
    QLabel* StatusLine() const { return status_; }
    QLabel* Banner() const { return banner_; }
    QPlainTextEdit* InfoBox() const { return info_; }
    QGroupBox* DeviceInfoBox() const { return deviceInfoBox_; }
    QPushButton* DeviceInfoButton() const { return deviceInfo_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    class Link;
    void StartProcedure(QPushButton* button, const Procedure& procedure);
    void ProcedureFinished();

    // The effects themselves, on the window's thread.
    void ApplyStatusText(const WideText& text);
    void ApplyInfoText(const WideText& text);
    void ApplyProgress(int32_t position);
    int32_t ReadProgress() const;
    void ApplyEnableActions(bool enable);

    Procedure updateProcedure_;
    Procedure deviceInfoProcedure_;
    std::shared_ptr<WindowCalls> calls_;
    std::shared_ptr<Link> link_;  // what the workers hold: outlives the dialog
    std::function<void()> finished_;
    DialogBaseUnits base_;
    bool startLineWritten_ = false;
    QPushButton* focusAfterRun_ = nullptr;  // the pressed button, to take the focus back

    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QGroupBox* stepsBox_ = nullptr;
    QLabel* stepsText_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* update_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* banner_ = nullptr;
    QPlainTextEdit* info_ = nullptr;
    QGroupBox* deviceInfoBox_ = nullptr;
    QPushButton* deviceInfo_ = nullptr;
};

// The application icon at every size it comes in.
QIcon ApplicationIcon();

}  // namespace zolt
