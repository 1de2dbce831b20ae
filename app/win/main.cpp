// ZOLTUpdate.exe: the update window on Windows.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/win/run_update_window.h"
#include "frontend/runtime.h"
#include "frontend/window_command.h"
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

void UsageError(const std::string& message) {
    Print(zolt::UsageErrorText("ZOLTUpdate", message) + "\n");
}

void PrintHelp() {
    Print(std::string("Usage: ZOLTUpdate.exe [OPTIONS]\n"
                      "\n"
                      "Identifies the connected interface and updates its firmware, in one small "
                      "window.\n"
                      "\n"
                      "Options:\n") +
          zolt::RuntimeOptionsHelp + zolt::WindowOptionsHelp + zolt::CommonOptionsHelp +
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
    return zolt::RunWindowProgram(
        args,
        zolt::WindowProgram{
            UsageError, PrintHelp,
            [] { Print("ZOLTUpdate " + zolt::ToUtf8(zolt::VersionText) + "\n"); },
            [&](const zolt::WindowProcedures& procedures, const zolt::WindowCommand& command) {
                return zolt::RunUpdateWindow(
                    procedures.update, procedures.info,
                    zolt::WindowOptions{command.autoPress, command.screenshot});
            }});
}
