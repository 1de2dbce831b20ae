// The Windows front end's entry: the application object with the update window.
#pragma once

#include <string>

#include "app/win/update_dialog.h"

namespace zolt {

struct WindowOptions {
    // "", "update" or "device-info". With a button named, it is pressed once the window is up;
    // when that procedure has returned, the window's state is written to standard output (and
    // the screenshot taken), and the window closes.
    std::string autoPress;
    // A PNG of the window as it stands when the pressed procedure has returned (or at once when
    // nothing is pressed); the window then closes. UTF-8.
    std::string screenshotPath;
};

// Runs the application and ends the process when the window closes (ExitProcess), so that a
// procedure still running neither keeps the program alive nor sees it tear down. Exit code 0;
// 1 when the window could not be created, the option is unknown or the screenshot failed.
int RunUpdateWindow(Procedure update, Procedure deviceInfo, const WindowOptions& options);

// A picture of the window, frame included, taken from the screen.
bool SaveWindowScreenshot(HWND window, const std::string& pathUtf8);

// "title: ...", "status: ...", "info: ...", "progress: N", "actions: enabled|disabled", one line
// each, UTF-8, for the self-checks.
std::string DescribeWindowState(const WindowState& state);

}  // namespace zolt
