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

void UsageError(const std::string& message) {
    std::fprintf(stderr, "%s\n", zolt::UsageErrorText("zolt-update", message).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    return zolt::RunWindowProgram(
        OwnArguments(argc, argv),
        zolt::WindowProgram{
            UsageError, PrintHelp,
            [] { std::printf("zolt-update %s\n", zolt::ToUtf8(zolt::VersionText).c_str()); },
            [&](const zolt::WindowProcedures& procedures, const zolt::WindowCommand& command) {
                return zolt::RunUpdateWindow(
                    argc, argv, procedures.update, procedures.info,
                    zolt::WindowOptions{command.autoPress, command.screenshot});
            }});
}
