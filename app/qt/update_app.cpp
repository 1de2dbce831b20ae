#include "app/qt/update_app.h"

#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace zolt {

CZOLTUpdateApp::CZOLTUpdateApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("ZOLT Update"));
    setApplicationVersion(QString::fromUtf16(VersionText));
    setWindowIcon(ApplicationIcon());
}

int ShowUpdateWindow(Procedure update, Procedure deviceInfo, const WindowOptions& options) {
    CZOLTUpdateDlg dialog(std::move(update), std::move(deviceInfo));
    int result = 0;

    const auto takeScreenshot = [&dialog, &result, &options] {
        const QString path = QString::fromUtf8(options.screenshotPath);
        if (!dialog.grab().save(path, "PNG")) {
            std::fprintf(stderr, "zolt-update: cannot write the screenshot %s\n",
                         options.screenshotPath.c_str());
            result = 1;
        }
        dialog.reject();
    };

    QPushButton* press = nullptr;
    if (options.autoPress == "update") {
        press = dialog.UpdateButton();
    } else if (options.autoPress == "device-info") {
        press = dialog.DeviceInfoButton();
    }
    if (!options.screenshotPath.empty()) {
        if (press != nullptr) {
            dialog.SetProcedureFinishedHandler(takeScreenshot);
        } else {
            QTimer::singleShot(0, &dialog, takeScreenshot);
        }
    }
    if (press != nullptr) {
        QTimer::singleShot(0, press, [press] { press->click(); });
    }

    dialog.exec();
    return result;
}

int RunUpdateWindow(int& argc, char** argv, Procedure update, Procedure deviceInfo,
                    const WindowOptions& options) {
    CZOLTUpdateApp app(argc, argv);
    const int result = ShowUpdateWindow(std::move(update), std::move(deviceInfo), options);
    // The dialog is gone. A worker may still be running: the process ends here without waiting
    // for it, and without tearing down the application under it. The log has closed its file
    // after every line, so nothing is lost.
    std::fflush(nullptr);
    std::_Exit(result);
}

}  // namespace zolt
