// The command line of the two window programs (the Qt window on Linux, the native dialog on
// Windows): the same options, the same checks and the same two procedures behind the buttons.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frontend/runtime.h"
#include "procedures/update_window.h"

namespace zolt {

struct WindowCommand {
    enum class Action { Run, Help, Version, UsageError };
    Action action = Action::Run;
    std::string error;       // with UsageError: the message
    RuntimeOptions runtime;  // --simulate, --server
    std::string autoPress;   // --press: "", "update" or "device-info"
    std::string screenshot;  // --screenshot FILE
};

// Parses args[1..] (the program's own arguments, the toolkit's taken out).
WindowCommand ParseWindowCommand(const std::vector<std::string>& args);

// The usage lines of --press and --screenshot.
extern const char WindowOptionsHelp[];

// The procedures the two buttons start, over the parts `runtime` chose. The runtime is kept until
// the process ends: the window ends the program without unwinding.
struct WindowProcedures {
    Procedure update;
    Procedure info;
};
WindowProcedures MakeWindowProcedures(std::unique_ptr<Runtime> runtime);

// A window program: what it prints its own way, and its window.
struct WindowProgram {
    std::function<void(const std::string&)> usageError;  // prints the usage error
    std::function<void()> printHelp;
    std::function<void()> printVersion;
    std::function<int(const WindowProcedures&, const WindowCommand&)> runWindow;
};

// Parses `args`, answers --help and --version, chooses the parts and runs the window. Returns the
// exit status: the window's, 0 after help or version, ExitUsage after a usage error.
int RunWindowProgram(const std::vector<std::string>& args, const WindowProgram& program);

}  // namespace zolt
