// `zolt-update-cli log [FILE] [--last | N] [--json]`: the diagnostic log explained run by run.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zolt {

// `args` are the words after "log"; `defaultPath` the log this program writes to. Returns the
// exit status: 0, 1 when the file cannot be read or is no log, 64 for bad usage.
int RunLogCommand(const std::vector<std::string>& args, const std::string& defaultPath,
                  std::FILE* out, std::FILE* err);

extern const char LogCommandHelp[];

}  // namespace zolt
