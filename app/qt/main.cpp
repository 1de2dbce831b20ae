// zolt-update: the update window.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/qt/update_app.h"
#include "cli/runtime.h"
#include "log/log.h"

namespace {

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
        "  --help                       show this text\n"
        "  --version                    show the program's version\n"
        "\n"
        "Log: every transfer and server step goes to %s\n",
        zolt::RuntimeOptionsHelp, zolt::ToUtf8(zolt::ProcessLog().FilePath()).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    zolt::RuntimeOptions runtimeOptions;
    zolt::WindowOptions windowOptions;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--version") {
            std::printf("zolt-update %s\n", zolt::ToUtf8(zolt::VersionText).c_str());
            return 0;
        }
        if (zolt::TakeRuntimeOption(argc, argv, i, runtimeOptions)) {
            continue;
        }
        if (arg == "--press" && hasValue) {
            windowOptions.autoPress = argv[++i];
            if (windowOptions.autoPress != "update" && windowOptions.autoPress != "device-info") {
                std::fprintf(stderr, "zolt-update: --press takes update or device-info\n");
                return 64;
            }
        } else if (arg == "--screenshot" && hasValue) {
            windowOptions.screenshotPath = argv[++i];
        }  // anything else is left to the toolkit (-platform and the like)
    }

    std::string error;
    auto runtime = zolt::Runtime::Create(runtimeOptions, error);
    if (!runtime) {
        std::fprintf(stderr, "zolt-update: %s\n", error.c_str());
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
    return zolt::RunUpdateWindow(argc, argv, update, info, windowOptions);
}
