#include "frontend/options.h"

namespace zolt {

namespace {

const OptionSpec* FindLong(std::span<const OptionSpec> specs, const std::string& name) {
    for (const OptionSpec& spec : specs) {
        if (name == spec.longName) {
            return &spec;
        }
    }
    return nullptr;
}

const OptionSpec* FindShort(std::span<const OptionSpec> specs, char name) {
    for (const OptionSpec& spec : specs) {
        if (spec.shortName != 0 && spec.shortName == name) {
            return &spec;
        }
    }
    return nullptr;
}

std::string Needs(const OptionSpec& spec) {
    return std::string("--") + spec.longName + " needs " + spec.valueName;
}

// An argument that begins with a dash, other than a negative number.
bool LooksLikeOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

}  // namespace

bool CommandLine::Has(const std::string& name) const {
    for (const ParsedOption& option : options) {
        if (option.name == name) {
            return true;
        }
    }
    return false;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             std::span<const OptionSpec> specs) {
    CommandLine line;
    const auto fail = [&](std::string message) {
        if (line.error.empty()) {
            line.error = std::move(message);
        }
    };
    bool operandsOnly = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (operandsOnly || arg.size() < 2 || arg[0] != '-') {
            line.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            operandsOnly = true;
            continue;
        }
        const bool isLong = arg[1] == '-';
        const OptionSpec* spec = nullptr;
        std::string value;
        bool joined = false;
        if (isLong) {
            const auto equals = arg.find('=');
            const std::string name =
                arg.substr(2, equals == std::string::npos ? equals : equals - 2);
            spec = FindLong(specs, name);
            if (spec == nullptr) {
                fail("unknown option '--" + name + "'");
                continue;
            }
            if (equals != std::string::npos) {
                if (spec->valueName == nullptr) {
                    fail("--" + name + " takes no value");
                    continue;
                }
                value = arg.substr(equals + 1);
                joined = true;
                if (value.empty()) {
                    fail(Needs(*spec));
                    continue;
                }
            }
        } else {
            spec = FindShort(specs, arg[1]);
            if (spec == nullptr) {
                fail("unknown option '" + arg.substr(0, 2) + "'");
                continue;
            }
            if (arg.size() > 2) {
                if (spec->valueName == nullptr) {
                    fail("unknown option '" + arg + "'");
                    continue;
                }
                value = arg.substr(2);
                joined = true;
            }
        }
        if (spec->valueName != nullptr && !joined) {
            // The value is the next argument, unless that is missing or is itself an option.
            if (i + 1 >= args.size() || LooksLikeOption(args[i + 1])) {
                fail(Needs(*spec));
                continue;
            }
            value = args[++i];
        }
        line.options.push_back(ParsedOption{spec->longName, value});
    }
    return line;
}

CommandLine ParseCommandLine(int argc, char** argv, std::span<const OptionSpec> specs) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    return ParseCommandLine(args, specs);
}

std::string UsageErrorText(const std::string& program, const std::string& message) {
    return program + ": " + message + " (see --help)";
}

}  // namespace zolt
