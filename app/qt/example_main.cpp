// A stand-alone run of the window with two made-up procedures, for trying the window by hand:
//   zolt-window-example [--press update|device-info] [--screenshot file.png]
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "app/qt/update_app.h"

namespace {

uint32_t FakeUpdate(zolt::UpdateWindow& window) {
    window.EnableActions(false);
    window.SetStatusText(u"Prepare for updating, please wait ...");
    for (int i = 0; i <= 100; i += 5) {
        window.SetProgress(i);
        window.SetStatusText(u"Updating..");
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    window.SetProgress(0);
    window.SetStatusText(u"Update success");
    window.EnableActions(true);
    return 0;
}

uint32_t FakeDeviceInfo(zolt::UpdateWindow& window) {
    window.EnableActions(false);
    window.SetStatusText(u"Reading device information ...");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    window.SetInfoText(
        u"Device: example interface\r\nSerial: 0000-0000\r\nFirmware: 1.0\r\n"
        u"A line long enough to need the box to scroll sideways to see its end.");
    window.SetStatusText(u"");
    window.EnableActions(true);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    zolt::WindowOptions options;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--press") == 0) {
            options.autoPress = argv[++i];
        } else if (std::strcmp(argv[i], "--screenshot") == 0) {
            options.screenshotPath = argv[++i];
        }
    }
    return zolt::RunUpdateWindow(argc, argv, FakeUpdate, FakeDeviceInfo, options);
}
