// zolt-update-cli run as a process: exit codes and what it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

#include "sim/server/reference_server.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

struct ProgramRun {
    int exitCode = -1;
    std::string output;
};

ProgramRun RunCli(const std::string& arguments, const std::filesystem::path& home) {
    // A private state directory, so that the test leaves nothing in the user's.
    const std::string command = "cd '" + home.string() + "' && XDG_STATE_HOME='" + home.string() +
                                "' '" ZOLT_CLI_PATH "' " + arguments + " 2>&1";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        run.output += buffer.data();
    }
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(CliProgram, ExitCodesAndOutput) {
    testing::TempDir home;
    sim::ReferenceServerOptions empty;
    empty.fixedReply = std::vector<uint8_t>{8, 0, 0, 0, 0, 0, 0, 0};  // no records
    sim::ReferenceServer refusing(empty);
    ASSERT_TRUE(refusing.Start());

    struct Case {
        std::string arguments;
        int exitCode;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"--simulate info", 0, {"Get device info...\n", "Device information:\n", "Chip ID: 5354"}},
        {"--simulate --server 127.0.0.1:" + std::to_string(refusing.Port()) + " info",
         1,
         {"Get device info...\n", "Get device info failed.\n"}},
        {"--simulate --server 127.0.0.1:" + std::to_string(refusing.Port()) + " doctor",
         0,
         {"Verdict: ready to update"}},
        {"--simulate --server 127.0.0.1:1 doctor", 3, {"connection refused", "Verdict: not ready"}},
        {"frobnicate", 64, {"give a command"}},
        {"--version", 0, {"zolt-update-cli 1.0.6\n"}},
        {"--help", 0, {"doctor", "Exit status", "Log: every transfer"}},
    };
    for (const auto& c : cases) {
        const ProgramRun run = RunCli(c.arguments, home.path());
        SCOPED_TRACE(c.arguments + "\n" + run.output);
        EXPECT_EQ(run.exitCode, c.exitCode);
        for (const auto& line : c.lines) {
            EXPECT_NE(run.output.find(line), std::string::npos) << line;
        }
    }
}

}  // namespace
}  // namespace zolt
