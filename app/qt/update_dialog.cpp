#include "app/qt/update_dialog.h"

#include <QApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <algorithm>

#include "app/qt/window_calls.h"
#include "log/log.h"
#include "platform/thread.h"

namespace zolt {

// What a worker holds: forwards each operation to the dialog while it is open. Shared between the
// dialog and its workers, so it stays valid for a worker that outlives the dialog.
class CZOLTUpdateDlg::Link final : public UpdateWindow {
  public:
    Link(CZOLTUpdateDlg& dialog, std::shared_ptr<WindowCalls> calls)
        : dialog_(&dialog), calls_(std::move(calls)) {}

    // The tasks run on the window's thread only while the dialog is open, so dialog_ is valid
    // whenever one of them reads it.
    void SetStatusText(const WideText& text) override {
        calls_->Call([d = dialog_, text] { d->ApplyStatusText(text); });
    }
    void SetInfoText(const WideText& text) override {
        calls_->Call([d = dialog_, text] { d->ApplyInfoText(text); });
    }
    void SetProgress(int32_t position) override {
        calls_->Call([d = dialog_, position] { d->ApplyProgress(position); });
    }
    int32_t GetProgress() override {
        auto position = std::make_shared<int32_t>(0);
        calls_->Call([d = dialog_, position] { *position = d->ReadProgress(); });
        return *position;
    }
    void EnableActions(bool enable) override {
        calls_->Call([d = dialog_, enable] { d->ApplyEnableActions(enable); });
    }
    void Finished() {
        calls_->Post([d = dialog_] { d->ProcedureFinished(); });
    }

  private:
    CZOLTUpdateDlg* const dialog_;
    std::shared_ptr<WindowCalls> calls_;
};

namespace {

QString ToQString(const WideText& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The dialog font: the system's interface font at 9 points.
QFont DialogFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(9);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}

void Place(QWidget* widget, const DialogRect& rect, DialogBaseUnits base) {
    widget->setGeometry(DialogRectToPixels(rect, base));
}

// Left-aligned text from the top. Lines break only where the text breaks them: a line wider than
// the control is cut at its right edge rather than pushing the lines below out of sight.
QLabel* MakeStaticText(QWidget* parent, const QString& text) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);  // never read as markup
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(false);
    label->setText(text);
    return label;
}

QGroupBox* MakeGroupBox(QWidget* parent, const QString& title) {
    auto* box = new QGroupBox(title, parent);
    // A frame only: created after the text box it surrounds, it must not take its clicks.
    box->setAttribute(Qt::WA_TransparentForMouseEvents);
    box->setFocusPolicy(Qt::NoFocus);
    return box;
}

}  // namespace

QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/zolt/zolt-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

CZOLTUpdateDlg::CZOLTUpdateDlg(Procedure update, Procedure deviceInfo, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      updateProcedure_(std::move(update)),
      deviceInfoProcedure_(std::move(deviceInfo)),
      calls_(WindowCalls::Create(*this)),
      link_(std::make_shared<Link>(*this, calls_)) {
    setFont(DialogFont());
    base_ = BaseUnitsFor(QFontMetrics(font()));
    setWindowTitle(ToQString(u"ZOLT Update V" + WideText(VersionText)));
    setWindowIcon(ApplicationIcon());

    // Creation order is the tab order.
    ok_ = new QPushButton(QStringLiteral("确定"), this);
    ok_->setDefault(true);
    ok_->hide();
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    Place(ok_, update_layout::Ok, base_);

    cancel_ = new QPushButton(QStringLiteral("取消"), this);
    cancel_->hide();
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    Place(cancel_, update_layout::Cancel, base_);

    stepsBox_ = MakeGroupBox(this, QStringLiteral("Steps"));
    Place(stepsBox_, update_layout::StepsBox, base_);

    stepsText_ = MakeStaticText(this, QStringLiteral("1. Connect device to PC with USB cable.\n\n"
                                                     "2. Click 'Update' button.\n\n"
                                                     "3. Wait update finish."));
    Place(stepsText_, update_layout::StepsText, base_);

    progress_ = new QProgressBar(this);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    Place(progress_, update_layout::Progress, base_);

    update_ = new QPushButton(QStringLiteral("Update"), this);
    update_->setFocusPolicy(Qt::StrongFocus);
    connect(update_, &QPushButton::clicked, this, [this] { OnBnClickedUpdate(); });
    Place(update_, update_layout::Update, base_);

    status_ = MakeStaticText(this, QString());
    Place(status_, update_layout::Status, base_);

    banner_ = new QLabel(this);
    const QPixmap bannerImage(QStringLiteral(":/zolt/banner.bmp"));
    banner_->setPixmap(bannerImage);
    const QRect bannerRect = DialogRectToPixels(update_layout::Banner, base_);
    banner_->setGeometry(bannerRect.x(), bannerRect.y(), bannerImage.width(), bannerImage.height());

    info_ = new QPlainTextEdit(this);
    info_->setReadOnly(true);
    info_->setTextInteractionFlags(Qt::TextSelectableByMouse);  // no caret; keys still scroll
    info_->setLineWrapMode(QPlainTextEdit::NoWrap);
    info_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    info_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    info_->setTabChangesFocus(true);
    info_->setFocusPolicy(Qt::StrongFocus);
    Place(info_, update_layout::Info, base_);

    deviceInfoBox_ = MakeGroupBox(this, QStringLiteral("Device Info"));
    Place(deviceInfoBox_, update_layout::DeviceInfoBox, base_);

    deviceInfo_ = new QPushButton(QStringLiteral("Device Info"), this);
    deviceInfo_->setFocusPolicy(Qt::StrongFocus);
    connect(deviceInfo_, &QPushButton::clicked, this, [this] { OnBnClickedDeviceInfo(); });
    Place(deviceInfo_, update_layout::DeviceInfo, base_);

    const QRect client = DialogRectToPixels(update_layout::Client, base_);
    setFixedSize(client.size());
    update_->setFocus();
}

CZOLTUpdateDlg::~CZOLTUpdateDlg() {
    calls_->Close();
}

void CZOLTUpdateDlg::SetStatusText(const WideText& text) {
    link_->SetStatusText(text);
}
void CZOLTUpdateDlg::SetInfoText(const WideText& text) {
    link_->SetInfoText(text);
}
void CZOLTUpdateDlg::SetProgress(int32_t position) {
    link_->SetProgress(position);
}
int32_t CZOLTUpdateDlg::GetProgress() {
    return link_->GetProgress();
}
void CZOLTUpdateDlg::EnableActions(bool enable) {
    link_->EnableActions(enable);
}

void CZOLTUpdateDlg::OnBnClickedUpdate() {
    StartProcedure(update_, updateProcedure_);
}
void CZOLTUpdateDlg::OnBnClickedDeviceInfo() {
    StartProcedure(deviceInfo_, deviceInfoProcedure_);
}

void CZOLTUpdateDlg::SetProcedureFinishedHandler(std::function<void()> handler) {
    finished_ = std::move(handler);
}

void CZOLTUpdateDlg::done(int result) {
    calls_->Close();
    QDialog::done(result);
}

void CZOLTUpdateDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!startLineWritten_) {
        startLineWritten_ = true;
        WriteLog(u"ZOLT Update " + WideText(VersionText) + u" start");
    }
}

void CZOLTUpdateDlg::StartProcedure(QPushButton* button, const Procedure& procedure) {
    if (!procedure || calls_->IsClosed()) {
        return;
    }
    // Both buttons go grey before the worker exists, so a second press cannot start a second run.
    // The focus comes back to the pressed button when the run enables them again.
    focusAfterRun_ = button;
    ApplyEnableActions(false);
    auto link = link_;
    const bool started = StartDetachedThread([procedure, link] {
        procedure(*link);
        link->Finished();
    });
    if (!started) {
        ApplyEnableActions(true);
    }
}

void CZOLTUpdateDlg::ProcedureFinished() {
    if (finished_) {
        finished_();
    }
}

void CZOLTUpdateDlg::ApplyStatusText(const WideText& text) {
    status_->setText(ToQString(text));
}

void CZOLTUpdateDlg::ApplyInfoText(const WideText& text) {
    // Server text comes with CR LF line ends; the box shows each as one line break.
    WideText lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r') {
            lines.push_back(u'\n');
            if (i + 1 < text.size() && text[i + 1] == u'\n') {
                ++i;
            }
        } else {
            lines.push_back(text[i]);
        }
    }
    info_->setPlainText(ToQString(lines));
}

void CZOLTUpdateDlg::ApplyProgress(int32_t position) {
    // Positions outside the bar's range stop at its ends.
    progress_->setValue(std::clamp(position, progress_->minimum(), progress_->maximum()));
}

int32_t CZOLTUpdateDlg::ReadProgress() const {
    return progress_->value();
}

void CZOLTUpdateDlg::ApplyEnableActions(bool enable) {
    QWidget* focus = focusWidget();
    if (!enable && (focus == update_ || focus == deviceInfo_)) {
        // The info box stays enabled and holds the focus during the run, so Escape and Tab
        // keep working.
        if (focusAfterRun_ == nullptr) {
            focusAfterRun_ = focus == update_ ? update_ : deviceInfo_;
        }
        info_->setFocus(Qt::OtherFocusReason);
    }
    update_->setEnabled(enable);
    deviceInfo_->setEnabled(enable);
    if (enable && focusAfterRun_ != nullptr) {
        focus = focusWidget();
        if (focus == nullptr || focus == info_ || !focus->isEnabled()) {
            focusAfterRun_->setFocus(Qt::OtherFocusReason);
        }
        focusAfterRun_ = nullptr;
    }
}

}  // namespace zolt
