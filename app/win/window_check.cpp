// The update window driven by demonstration procedures that go through every window operation
// from their worker thread, the way the real procedures do, with neither device nor server.
//
//   ZOLTUpdateWindowCheck.exe [--press update|device-info] [--screenshot FILE.png]
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "app/win/run_update_window.h"
#include "platform/win_text.h"

namespace {

using zolt::UpdateWindow;

uint32_t DemoDeviceInfo(UpdateWindow& window) {
    window.EnableActions(false);
    window.SetStatusText(u"Get device info...");
    ::Sleep(200);
    window.SetStatusText(u"");
    window.SetInfoText(u"Window check\r\nNo device: these lines come from the check itself.");
    window.EnableActions(true);
    return 0;
}

uint32_t DemoUpdate(UpdateWindow& window) {
    window.EnableActions(false);
    window.SetStatusText(u"Prepare for updating, please wait ...");
    for (int32_t position = 0; position <= 100; position += 10) {
        window.SetProgress(position);
        ::Sleep(20);
    }
    const bool ok = window.GetProgress() == 100;
    window.SetProgress(0);
    window.SetStatusText(ok ? u"Update success" : u"Update failed.");
    window.EnableActions(true);
    return 0;
}

std::string Utf8Argument(const wchar_t* text) {
    const std::wstring wide(text);
    return zolt::ToUtf8(zolt::FromSystemWide(wide.data(), wide.size()));
}

}  // namespace

int main() {
    zolt::WindowOptions options;
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    for (int i = 1; argv != nullptr && i + 1 < argc; i += 2) {
        const std::wstring name(argv[i]);
        if (name == L"--press") {
            options.autoPress = Utf8Argument(argv[i + 1]);
        } else if (name == L"--screenshot") {
            options.screenshotPath = Utf8Argument(argv[i + 1]);
        }
    }
    ::LocalFree(argv);
    return zolt::RunUpdateWindow(DemoUpdate, DemoDeviceInfo, options);
}
