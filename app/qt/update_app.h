// The application object and the program's way into the window.
#pragma once

#include <QApplication>
#include <string>

#include "app/qt/update_dialog.h"

namespace zolt {

class CZOLTUpdateApp : public QApplication {
  public:
    CZOLTUpdateApp(int& argc, char** argv);
};

struct WindowOptions {
    std::string autoPress;       // "", "update" or "device-info": pressed once the window is up
    std::string screenshotPath;  // when set: a PNG of the window is saved there and the window
                                 // closes, after the pressed procedure has returned (or at once
                                 // when nothing is pressed)
};

// Shows the update window modally on the running application and returns when it has closed:
// 0, or 1 when a screenshot was asked for and could not be written. Workers may still be running.
int ShowUpdateWindow(Procedure update, Procedure deviceInfo, const WindowOptions& options);

// The whole program's run of the window: creates the application, shows the window, and when it
// closes ends the process at once with the result of ShowUpdateWindow, without waiting for any
// worker. Does not return.
int RunUpdateWindow(int& argc, char** argv, Procedure update, Procedure deviceInfo,
                    const WindowOptions& options);

}  // namespace zolt
