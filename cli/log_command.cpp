#include "cli/log_command.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "logread/log_explain.h"

namespace zolt {

const char LogCommandHelp[] =
    "  log [FILE] [--last | N] [--json]\n"
    "                        explain the log (default: the log this program writes): one line\n"
    "                        per run; --last or a run number N shows that run in detail;\n"
    "                        --json gives the same as JSON\n";

namespace {

constexpr int ExitOk = 0;
constexpr int ExitUnreadable = 1;
constexpr int ExitUsage = 64;

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() < 10 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

int RunLogCommand(const std::vector<std::string>& args, const std::string& defaultPath,
                  std::FILE* out, std::FILE* err) {
    std::string path;
    bool last = false, json = false;
    std::optional<int> wanted;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--last") {
            last = true;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--run" && i + 1 < args.size() && AllDigits(args[i + 1])) {
            wanted = std::stoi(args[++i]);
        } else if (AllDigits(arg) && !wanted) {
            wanted = std::stoi(arg);
        } else if (!arg.empty() && arg[0] != '-' && path.empty()) {
            path = arg;
        } else {
            std::fprintf(err, "zolt-update-cli log: unknown argument '%s' (see --help)\n",
                         arg.c_str());
            return ExitUsage;
        }
    }
    if (last && wanted) {
        std::fprintf(err, "zolt-update-cli log: give --last or a run number, not both\n");
        return ExitUsage;
    }
    if (path.empty()) {
        path = defaultPath;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(err, "zolt-update-cli log: cannot read %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return ExitUnreadable;
    }

    const bool detail = last || wanted.has_value();
    std::optional<logread::RunReport> chosen;
    bool first = true;
    if (json && !detail) {
        std::fprintf(out, "{\"file\":%s,\"runs\":[", logread::JsonString(path).c_str());
    }
    const logread::FileReport report =
        logread::ExplainLog(file, [&](const logread::RunReport& run) {
            if (detail) {
                if (last || run.index == *wanted) {
                    chosen = run;
                }
                return;
            }
            if (json) {
                std::fprintf(out, "%s\n%s", first ? "" : ",", logread::RunJson(run).c_str());
            } else {
                std::fprintf(out, "%s\n", logread::SummaryLine(run).c_str());
            }
            first = false;
        });
    std::fclose(file);

    const std::vector<std::string> remarks = logread::FileRemarks(report);
    if (json) {
        if (detail) {
            std::fprintf(out, "{\"file\":%s,\"run\":%s,\"log\":%s}\n",
                         logread::JsonString(path).c_str(),
                         chosen ? logread::RunJson(*chosen).c_str() : "null",
                         logread::FileJson(report).c_str());
        } else {
            std::fprintf(out, "],\"log\":%s}\n", logread::FileJson(report).c_str());
        }
    } else {
        if (detail && chosen) {
            std::fprintf(out, "%s", logread::DetailText(*chosen).c_str());
        }
        if (report.runs == 0 && !report.notALog) {
            std::fprintf(out, "%s: no runs in the log\n", path.c_str());
        }
        for (const std::string& remark : remarks) {
            std::fprintf(out, "%s: %s\n", path.c_str(), remark.c_str());
        }
    }
    if (report.notALog || report.read.readError) {
        return ExitUnreadable;
    }
    if (detail && !chosen) {
        if (!json) {
            std::fprintf(err, "zolt-update-cli log: %s holds %d runs%s\n", path.c_str(),
                         report.runs,
                         wanted ? (", not run " + std::to_string(*wanted)).c_str() : "");
        }
        return ExitUnreadable;
    }
    return ExitOk;
}

}  // namespace zolt
