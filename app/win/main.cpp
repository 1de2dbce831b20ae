// ZOLTUpdate.exe: the update window on Windows.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/win/run_update_window.h"
#include "frontend/runtime.h"
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

constexpr zolt::OptionSpec Options[] = {
    zolt::HelpOption,
    zolt::VersionOption,
    zolt::SimulateOption,
    zolt::ServerOption,
    {"press", 0, "update|device-info"},
    {"screenshot", 0, "FILE"},
};

int UsageError(const std::string& message) {
    Print(zolt::UsageErrorText("ZOLTUpdate", message) + "\n");
    return zolt::ExitUsage;
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
          "close\n" +
          zolt::CommonOptionsHelp +
          "\n"
          "Exit status: 0 when the window was closed, 64 bad usage.\n"
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
    std::vector<std::string> args = Arguments();
    for (std::string& arg : args) {
        if (arg == "/?") {
            arg = "--help";
        }
    }
    const zolt::CommandLine line = zolt::ParseCommandLine(args, Options);
    if (!line.error.empty()) {
        return UsageError(line.error);
    }
    if (!line.operands.empty()) {
        return UsageError("unexpected argument '" + line.operands[0] + "'");
    }
    if (line.Has("help")) {
        PrintHelp();
        return 0;
    }
    if (line.Has("version")) {
        Print("ZOLTUpdate " + zolt::ToUtf8(zolt::VersionText) + "\n");
        return 0;
    }
    zolt::RuntimeOptions runtimeOptions;
    zolt::WindowOptions windowOptions;
    for (const zolt::ParsedOption& option : line.options) {
        if (zolt::TakeRuntimeOption(option, runtimeOptions)) {
            continue;
        }
        if (option.name == "press") {
            windowOptions.autoPress = option.value;
            if (option.value != "update" && option.value != "device-info") {
                return UsageError("--press takes update or device-info");
            }
        } else if (option.name == "screenshot") {
            windowOptions.screenshotPath = option.value;
        }
    }

    std::string error;
    auto runtime = zolt::Runtime::Create(runtimeOptions, error);
    if (!runtime) {
        return UsageError(error);
    }
    // The runtime lives until the process ends: the window ends the program without unwinding.
    const zolt::ProcedureContext context = runtime.release()->Context();
    auto update = [context](zolt::UpdateWindow& window) {
        zolt::UpdateThread(window, context);
        return 0u;  // the outcome shows in the window
    };
    auto info = [context](zolt::UpdateWindow& window) {
        zolt::DeviceInfoThread(window, context);
        return 0u;
    };
    return zolt::RunUpdateWindow(update, info, windowOptions);
}
