// zolt-update-cli: the update procedures on a console.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/console_window.h"
#include "cli/doctor.h"
#include "cli/log_command.h"
#include "cli/runtime.h"
#include "log/log.h"

namespace {

// Exit codes.
constexpr int ExitSuccess = 0;
constexpr int ExitFailed = 1;
constexpr int ExitDeviceNotFound = 2;
constexpr int ExitDoctorProblem = 3;
constexpr int ExitUsage = 64;

void PrintHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: zolt-update-cli [OPTIONS] COMMAND\n"
                 "\n"
                 "Identifies the connected interface and updates its firmware.\n"
                 "\n"
                 "Commands:\n"
                 "  update                update the firmware of both parts of the interface\n"
                 "  info                  show what the update server knows of the interface\n"
                 "  doctor                check the set-up and say what is wrong\n"
                 "%s"
                 "\n"
                 "Options:\n"
                 "%s"
                 "%s"
                 "  --help                show this text\n"
                 "  --version             show the program's version\n"
                 "\n"
                 "Exit status: 0 success, 1 the update or the information request failed,\n"
                 "2 device not found, 3 doctor found a problem, 64 bad usage.\n"
                 "\n"
                 "Log: every transfer and server step goes to %s\n",
                 zolt::LogCommandHelp, zolt::RuntimeOptionsHelp, zolt::RuntimeReplayHelp,
                 zolt::ToUtf8(zolt::ProcessLog().FilePath()).c_str());
}

// Runs `update` or `info` and returns the exit status.
int RunProcedure(const std::string& command, zolt::ConsoleWindow& window,
                 const zolt::ProcedureContext& context) {
    if (command == "update") {
        zolt::UpdateThread(window, context);
        const zolt::WideText& status = window.LastStatus();
        if (status == u"Update success") {
            return ExitSuccess;
        }
        if (status == u"Device not found") {
            std::printf("%s\n", zolt::DeviceNotFoundHint(context.driver).c_str());
            return ExitDeviceNotFound;
        }
        return ExitFailed;
    }
    zolt::DeviceInfoThread(window, context);
    if (window.LastStatus() == u"Device not found") {
        std::printf("%s\n", zolt::DeviceNotFoundHint(context.driver).c_str());
        return ExitDeviceNotFound;
    }
    return window.InfoShown() && window.LastStatus().empty() ? ExitSuccess : ExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // `log` reads the log and touches nothing else.
    if (argc >= 2 && std::strcmp(argv[1], "log") == 0) {
        return zolt::RunLogCommand(std::vector<std::string>(argv + 2, argv + argc),
                                   zolt::ToUtf8(zolt::ProcessLog().FilePath()), stdout, stderr);
    }
    zolt::RuntimeOptions options;
    std::string command;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp(stdout);
            return ExitSuccess;
        }
        if (arg == "--version") {
            std::printf("zolt-update-cli %s\n", zolt::ToUtf8(zolt::VersionText).c_str());
            return ExitSuccess;
        }
        if (zolt::TakeRuntimeOption(argc, argv, i, options) ||
            zolt::TakeReplayOption(argc, argv, i, options)) {
            continue;
        }
        if (!arg.empty() && arg[0] != '-' && command.empty()) {
            command = arg;
        } else {
            std::fprintf(stderr, "zolt-update-cli: unknown argument '%s' (see --help)\n",
                         arg.c_str());
            return ExitUsage;
        }
    }
    if (command != "update" && command != "info" && command != "doctor") {
        std::fprintf(stderr,
                     "zolt-update-cli: give a command: update, info or doctor (see --help)\n");
        return ExitUsage;
    }

    std::string error;
    auto runtime = zolt::Runtime::Create(options, error);
    if (!runtime) {
        std::fprintf(stderr, "zolt-update-cli: %s\n", error.c_str());
        return ExitUsage;
    }

    if (command == "doctor") {
        const zolt::ProcedureContext context = runtime->Context();
        const zolt::DoctorVerdict verdict = zolt::RunDoctor(zolt::DoctorSetup{
            context.driver,
            runtime->Simulated() ? "simulated interface" : zolt::ProcessDriverName(),
            runtime->Server(), zolt::SystemSockets(), zolt::ProcessLog().FilePath()});
        for (const auto& line : verdict.lines) {
            std::printf("%s\n", line.c_str());
        }
        return verdict.Ok() ? ExitSuccess : ExitDoctorProblem;
    }

    for (const std::string& line : runtime->ReplayIntro()) {
        std::printf("%s\n", line.c_str());
    }
    zolt::WriteLog(u"ZOLT Update " + zolt::WideText(zolt::VersionText) + u" start");
    zolt::ConsoleWindow window(stdout, ::isatty(STDOUT_FILENO) != 0);
    const int code = RunProcedure(command, window, runtime->Context());
    if (runtime->Replaying()) {
        // A replay that left its recording has failed, whatever the procedure made of it.
        std::printf("%s\n", runtime->ReplayVerdictText().c_str());
        if (!runtime->ReplayProblem().empty()) {
            return ExitFailed;
        }
    }
    return code;
}
