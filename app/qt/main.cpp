// zolt-update: the update window.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/qt/update_app.h"
#include "frontend/runtime.h"
#include "log/log.h"

namespace {

constexpr zolt::OptionSpec Options[] = {
    zolt::HelpOption,
    zolt::VersionOption,
    zolt::SimulateOption,
    zolt::ServerOption,
    {"press", 0, "update|device-info"},
    {"screenshot", 0, "FILE"},
};

// The toolkit's own options, each with its value, left to the toolkit.
constexpr const char* ToolkitOptions[] = {
    "-platform", "-platformpluginpath", "-platformtheme", "-style",      "-stylesheet",
    "-display",  "-qwindowgeometry",    "-qwindowtitle",  "-qwindowicon"};

std::vector<std::string> OwnArguments(int argc, char** argv) {
    std::vector<std::string> own;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        bool toolkit = false;
        for (const char* name : ToolkitOptions) {
            toolkit = toolkit || arg == name;
        }
        if (i > 0 && toolkit) {
            ++i;  // and its value
            continue;
        }
        own.push_back(arg);
    }
    return own;
}

void PrintHelp() {
    std::printf(
        "Usage: zolt-update [OPTIONS]\n"
        "\n"
        "Identifies the connected interface and updates its firmware, in one small window.\n"
        "\n"
        "Options:\n"
        "%s"
        "  --press update|device-info   press that button once the window is up\n"
        "  --screenshot FILE            after the pressed run, save a PNG of the window and close\n"
        "%s"
        "\n"
        "Exit status: 0 when the window was closed, 64 bad usage.\n"
        "\n"
        "Log: every transfer and server step goes to %s\n",
        zolt::RuntimeOptionsHelp, zolt::CommonOptionsHelp,
        zolt::ToUtf8(zolt::ProcessLog().FilePath()).c_str());
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "%s\n", zolt::UsageErrorText("zolt-update", message).c_str());
    return zolt::ExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    const zolt::CommandLine line = zolt::ParseCommandLine(OwnArguments(argc, argv), Options);
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
        std::printf("zolt-update %s\n", zolt::ToUtf8(zolt::VersionText).c_str());
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
    return zolt::RunUpdateWindow(argc, argv, update, info, windowOptions);
}
