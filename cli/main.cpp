// zolt-update-cli: the update procedures on a console.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/console_window.h"
#include "cli/doctor.h"
#include "cli/failure_text.h"
#include "cli/interruption.h"
#include "cli/log_command.h"
#include "frontend/options.h"
#include "frontend/runtime.h"
#include "log/log.h"

namespace {

// Exit codes.
constexpr int ExitSuccess = 0;
constexpr int ExitFailed = 1;
constexpr int ExitDeviceNotFound = 2;
constexpr int ExitDoctorProblem = 3;
constexpr int ExitStOnly = 4;

constexpr char Program[] = "zolt-update-cli";

constexpr zolt::OptionSpec Options[] = {
    zolt::HelpOption,   zolt::VersionOption, zolt::SimulateOption,
    zolt::ServerOption, zolt::ReplayOption,  {"quiet", 'q', nullptr},
};

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
                 "  -q, --quiet           print only the result\n"
                 "%s"
                 "\n"
                 "Exit status:\n"
                 "  0    success\n"
                 "  1    the update or the information request failed (the reason on stderr)\n"
                 "  2    device not found\n"
                 "  3    doctor found a problem\n"
                 "  4    only the st part was updated; the j2534 part was not\n"
                 "  64   bad usage\n"
                 "  130  interrupted (SIGINT, SIGTERM or SIGHUP): during an update the block in\n"
                 "       flight is finished first; a second signal stops at once\n"
                 "\n"
                 "Log: every transfer and server step goes to %s\n",
                 zolt::LogCommandHelp, zolt::RuntimeOptionsHelp, zolt::RuntimeReplayHelp,
                 zolt::CommonOptionsHelp, zolt::ToUtf8(zolt::ProcessLog().FilePath()).c_str());
}

void SayError(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", Program, text.c_str());
}

int Doctor(zolt::Runtime& runtime) {
    const zolt::ProcedureContext context = runtime.Context();
    const zolt::DoctorVerdict verdict = zolt::RunDoctor(zolt::DoctorSetup{
        context.driver, runtime.Simulated() ? "simulated interface" : zolt::ProcessDriverName(),
        runtime.Server(), zolt::SystemSockets(), zolt::ProcessLog().FilePath()});
    for (const auto& line : verdict.lines) {
        std::printf("%s\n", line.c_str());
    }
    return verdict.Ok() ? ExitSuccess : ExitDoctorProblem;
}

int RunProcedure(zolt::Runtime& runtime, zolt::RunKind kind, bool quiet) {
    for (const std::string& line : runtime.ReplayIntro()) {
        std::printf("%s\n", line.c_str());
    }
    zolt::WriteLog(u"ZOLT Update " + zolt::WideText(zolt::VersionText) + u" start");
    const int columns = zolt::TerminalColumns(STDOUT_FILENO);
    zolt::ConsoleWindow window(stdout, zolt::ConsoleStyle{columns, STDOUT_FILENO, quiet});
    zolt::ProcedureContext context = runtime.Context();
    const bool update = kind == zolt::RunKind::Update;
    context.stop = &zolt::AcceptInterrupts(update ? zolt::InterruptMode::Held
                                                  : zolt::InterruptMode::Immediate);

    const zolt::RunOutcome outcome =
        update ? zolt::UpdateThread(window, context) : zolt::DeviceInfoThread(window, context);
    window.Finish(outcome.result == zolt::RunResult::Success ||
                  outcome.result == zolt::RunResult::StOnlyUpdated);
    runtime.LogSimulatedInterface();

    if (const std::string reason = zolt::FailureText(outcome, kind, runtime.Server());
        !reason.empty()) {
        SayError(reason);
    }
    if (runtime.Replaying()) {
        // A replay that left its recording has failed, whatever the procedure made of it.
        std::printf("%s\n", runtime.ReplayVerdictText().c_str());
        if (!runtime.ReplayProblem().empty()) {
            return ExitFailed;
        }
    }
    switch (outcome.result) {
        case zolt::RunResult::Success:
            return ExitSuccess;
        case zolt::RunResult::StOnlyUpdated:
            return ExitStOnly;
        case zolt::RunResult::DeviceNotFound:
            SayError("device not found. " + zolt::DeviceNotFoundHint(context.driver));
            return ExitDeviceNotFound;
        case zolt::RunResult::Interrupted:
            return zolt::ExitInterrupted;
        case zolt::RunResult::Failed:
            break;
    }
    return ExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    zolt::IgnoreBrokenPipe();  // a closed stdout only fails the writes; it never ends a run
    // `log` reads the log and touches nothing else.
    if (argc >= 2 && std::strcmp(argv[1], "log") == 0) {
        return zolt::RunLogCommand(std::vector<std::string>(argv + 2, argv + argc),
                                   zolt::ToUtf8(zolt::ProcessLog().FilePath()), stdout, stderr);
    }

    const zolt::CommandLine line = zolt::ParseCommandLine(argc, argv, Options);
    if (!line.error.empty()) {
        std::fprintf(stderr, "%s\n", zolt::UsageErrorText(Program, line.error).c_str());
        return zolt::ExitUsage;
    }
    zolt::RuntimeOptions options;
    bool quiet = false;
    for (const zolt::ParsedOption& option : line.options) {
        if (!zolt::TakeRuntimeOption(option, options) && !zolt::TakeReplayOption(option, options) &&
            option.name == "quiet") {
            quiet = true;
        }
    }
    if (line.Has("help")) {
        PrintHelp(stdout);
        return ExitSuccess;
    }
    if (line.Has("version")) {
        std::printf("%s %s\n", Program, zolt::ToUtf8(zolt::VersionText).c_str());
        return ExitSuccess;
    }

    // The commands, each with what it runs.
    const std::string command = line.operands.empty() ? "" : line.operands[0];
    const bool known = command == "update" || command == "info" || command == "doctor";
    if (!known || line.operands.size() > 1) {
        const std::string message = !known && !command.empty() ? "unknown command '" + command + "'"
                                    : known ? "unexpected argument '" + line.operands[1] + "'"
                                            : "give a command: update, info or doctor";
        std::fprintf(stderr, "%s\n", zolt::UsageErrorText(Program, message).c_str());
        return zolt::ExitUsage;
    }

    zolt::DeferInterrupts();  // until the procedure runs, and for the threads started meanwhile
    std::string error;
    auto runtime = zolt::Runtime::Create(options, error);
    if (!runtime) {
        std::fprintf(stderr, "%s\n", zolt::UsageErrorText(Program, error).c_str());
        return zolt::ExitUsage;
    }
    if (command == "doctor") {
        zolt::AcceptInterrupts(zolt::InterruptMode::Immediate);
        return Doctor(*runtime);
    }
    return RunProcedure(
        *runtime, command == "update" ? zolt::RunKind::Update : zolt::RunKind::DeviceInfo, quiet);
}
