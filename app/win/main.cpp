// ZOLTUpdate.exe: the update window on Windows.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/win/run_update_window.h"
#include "cli/runtime.h"
#include "log/log.h"
#include "platform/win_text.h"

namespace {

// A GUI program has no console of its own; text goes to the standard handles it was given
// (a console, a pipe or a file), and nowhere otherwise.
void Print(const std::string& text) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

void PrintHelp() {
    Print(std::string("Usage: ZOLTUpdate.exe [OPTIONS]\n"
                      "\n"
                      "Identifies the connected interface and updates its firmware, in one small "
                      "window.\n"
                      "\n"
                      "Options:\n") +
          zolt::RuntimeOptionsHelp +
          "  --press update|device-info   press that button once the window is up\n"
          "  --screenshot FILE            after the pressed run, save a PNG of the window and "
          "close\n"
          "  --help                       show this text\n"
          "  --version                    show the program's version\n"
          "\n"
          "Log: every transfer and server step goes to " +
          zolt::ToUtf8(zolt::ProcessLog().FilePath()) + "\n");
}

std::vector<std::string> Arguments() {
    std::vector<std::string> out;
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    for (int i = 0; argv != nullptr && i < argc; ++i) {
        const std::wstring arg(argv[i]);
        out.push_back(zolt::ToUtf8(zolt::FromSystemWide(arg.data(), arg.size())));
    }
    ::LocalFree(argv);
    return out;
}

}  // namespace

int main() {
    const std::vector<std::string> args = Arguments();
    zolt::RuntimeOptions runtimeOptions;
    zolt::WindowOptions windowOptions;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            PrintHelp();
            return 0;
        }
        if (arg == "--version") {
            Print("ZOLTUpdate " + zolt::ToUtf8(zolt::VersionText) + "\n");
            return 0;
        }
        if (arg == "--simulate") {
            runtimeOptions.simulate = true;
        } else if (arg == "--server" && hasValue) {
            runtimeOptions.server = args[++i];
        } else if (arg == "--press" && hasValue) {
            windowOptions.autoPress = args[++i];
            if (windowOptions.autoPress != "update" && windowOptions.autoPress != "device-info") {
                Print("ZOLTUpdate: --press takes update or device-info\n");
                return 64;
            }
        } else if (arg == "--screenshot" && hasValue) {
            windowOptions.screenshotPath = args[++i];
        } else {
            Print("ZOLTUpdate: unknown argument '" + arg + "' (see --help)\n");
            return 64;
        }
    }

    std::string error;
    auto runtime = zolt::Runtime::Create(runtimeOptions, error);
    if (!runtime) {
        Print("ZOLTUpdate: " + error + "\n");
        return 64;
    }
    // The runtime lives until the process ends: the window ends the program without unwinding.
    const zolt::ProcedureContext context = runtime.release()->Context();
    auto update = [context](zolt::UpdateWindow& window) {
        return zolt::UpdateThread(window, context);
    };
    auto info = [context](zolt::UpdateWindow& window) {
        return zolt::DeviceInfoThread(window, context);
    };
    return zolt::RunUpdateWindow(update, info, windowOptions);
}
