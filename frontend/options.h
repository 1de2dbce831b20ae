// The one command-line parser of the three programs (the window, the console program and the
// reference update server), in the manner of getopt_long: `--name`, `--name VALUE`,
// `--name=VALUE`, `-x`, `-x VALUE`, `-xVALUE`, and `--` before operands that begin with a dash.
// Every program reports a usage error the same way and exits with ExitUsage.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace zolt {

inline constexpr int ExitUsage = 64;

struct OptionSpec {
    const char* longName;   // without the dashes
    char shortName;         // 0: none
    const char* valueName;  // null: the option takes no value; otherwise what it wants
};

struct ParsedOption {
    std::string name;  // the long name
    std::string value;
};

struct CommandLine {
    std::vector<ParsedOption> options;  // in the order given
    std::vector<std::string> operands;
    std::string error;  // empty unless parsing failed: the message to print

    bool Has(const std::string& name) const;
};

// Parses args[1..]. The whole line is parsed before anything acts on it, so a bad option is a
// usage error wherever it stands, before or after --help and --version.
CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             std::span<const OptionSpec> specs);
CommandLine ParseCommandLine(int argc, char** argv, std::span<const OptionSpec> specs);

// The options every program takes.
inline constexpr OptionSpec HelpOption{"help", 'h', nullptr};
inline constexpr OptionSpec VersionOption{"version", 'V', nullptr};

// The first line of a usage error: "PROGRAM: MESSAGE (see --help)".
std::string UsageErrorText(const std::string& program, const std::string& message);

}  // namespace zolt
