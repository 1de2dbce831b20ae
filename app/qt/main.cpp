// zolt-update: the update window.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/qt/update_app.h"
#include "frontend/runtime.h"
#include "frontend/window_command.h"
#include "log/log.h"

namespace {

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
        "%s"
        "%s"
        "\n"
        "Exit status: 0 when the window was closed, 64 bad usage.\n"
        "\n"
        "Log: every transfer and server step goes to %s\n",
        zolt::RuntimeOptionsHelp, zolt::WindowOptionsHelp, zolt::CommonOptionsHelp,
        zolt::ToUtf8(zolt::ProcessLog().FilePath()).c_str());
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "%s\n", zolt::UsageErrorText("zolt-update", message).c_str());
    return zolt::ExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    const zolt::WindowCommand command = zolt::ParseWindowCommand(OwnArguments(argc, argv));
    switch (command.action) {
        case zolt::WindowCommand::Action::UsageError:
            return UsageError(command.error);
        case zolt::WindowCommand::Action::Help:
            PrintHelp();
            return 0;
        case zolt::WindowCommand::Action::Version:
            std::printf("zolt-update %s\n", zolt::ToUtf8(zolt::VersionText).c_str());
            return 0;
        case zolt::WindowCommand::Action::Run:
            break;
    }
    std::string error;
    auto runtime = zolt::Runtime::Create(command.runtime, error);
    if (!runtime) {
        return UsageError(error);
    }
    const zolt::WindowProcedures procedures = zolt::MakeWindowProcedures(std::move(runtime));
    return zolt::RunUpdateWindow(argc, argv, procedures.update, procedures.info,
                                 zolt::WindowOptions{command.autoPress, command.screenshot});
}
