#include "frontend/window_command.h"

#include <utility>

#include "frontend/options.h"

namespace zolt {
namespace {

constexpr OptionSpec Options[] = {
    HelpOption,
    VersionOption,
    SimulateOption,
    ServerOption,
    {"press", 0, "update|device-info"},
    {"screenshot", 0, "FILE"},
};

WindowCommand UsageError(std::string message) {
    WindowCommand command;
    command.action = WindowCommand::Action::UsageError;
    command.error = std::move(message);
    return command;
}

}  // namespace

const char WindowOptionsHelp[] =
    "  --press update|device-info   press that button once the window is up\n"
    "  --screenshot FILE            after the pressed run, save a PNG of the window and close\n";

WindowCommand ParseWindowCommand(const std::vector<std::string>& args) {
    const CommandLine line = ParseCommandLine(args, Options);
    if (!line.error.empty()) {
        return UsageError(line.error);
    }
    if (!line.operands.empty()) {
        return UsageError("unexpected argument '" + line.operands[0] + "'");
    }
    WindowCommand command;
    if (line.Has("help")) {
        command.action = WindowCommand::Action::Help;
        return command;
    }
    if (line.Has("version")) {
        command.action = WindowCommand::Action::Version;
        return command;
    }
    for (const ParsedOption& option : line.options) {
        if (TakeRuntimeOption(option, command.runtime)) {
            continue;
        }
        if (option.name == "press") {
            if (option.value != "update" && option.value != "device-info") {
                return UsageError("--press takes update or device-info");
            }
            command.autoPress = option.value;
        } else if (option.name == "screenshot") {
            command.screenshot = option.value;
        }
    }
    return command;
}

WindowProcedures MakeWindowProcedures(std::unique_ptr<Runtime> runtime) {
    const ProcedureContext context = runtime.release()->Context();
    return WindowProcedures{
        [context](UpdateWindow& window) {
            UpdateThread(window, context);
            return 0u;  // the outcome shows in the window
        },
        [context](UpdateWindow& window) {
            DeviceInfoThread(window, context);
            return 0u;
        },
    };
}

int RunWindowProgram(const std::vector<std::string>& args, const WindowProgram& program) {
    const WindowCommand command = ParseWindowCommand(args);
    switch (command.action) {
        case WindowCommand::Action::UsageError:
            program.usageError(command.error);
            return ExitUsage;
        case WindowCommand::Action::Help:
            program.printHelp();
            return 0;
        case WindowCommand::Action::Version:
            program.printVersion();
            return 0;
        case WindowCommand::Action::Run:
            break;
    }
    std::string error;
    auto runtime = Runtime::Create(command.runtime, error);
    if (!runtime) {
        program.usageError(error);
        return ExitUsage;
    }
    return program.runWindow(MakeWindowProcedures(std::move(runtime)), command);
}

}  // namespace zolt
