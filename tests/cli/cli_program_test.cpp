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
        {"--help",
         0,
         {"doctor", "log [FILE]", "--replay FILE[:RUN]", "Exit status", "Log: every transfer"}},
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

// A "Device Info" run whose server refused the connection, as the program logged it.
const char RefusedRun[] =
    "[2026-12-11 14:11:57:520|    -   ]ZOLT Update 1.0.6 start\r\n"
    "[2026-12-11 14:11:57:521|0.000394]---------------------------  reset 1A\r\n"
    "[2026-12-11 14:11:57:524|0.003272]open 1.\r\n"
    "[2026-12-11 14:11:57:524|0.000020]open 2.\r\n"
    "[2026-12-11 14:11:57:524|0.000020]Write :  03 00 1A\r\n"
    "[2026-12-11 14:11:57:552|0.027893]Read  :  07 00 02 00 1A 00 1F\r\n"
    "[2026-12-11 14:11:57:552|0.000043]Write :  03 00 1A\r\n"
    "[2026-12-11 14:11:57:573|0.020902]Read  :  07 00 02 00 1A 00 1F\r\n"
    "[2026-12-11 14:11:57:573|0.000041]Write :  06 00 01 00 D1 D6\r\n"
    "[2026-12-11 14:11:57:574|0.000957]Read  :  0F 00 0A 00 D1\r\n"
    "[2026-12-11 14:11:57:575|0.001000]Read  :  00 53 54 32 30 19 07 21 01 EF\r\n"
    "[2026-12-11 14:11:57:575|0.000018]Write :  06 00 01 00 BE B9\r\n"
    "[2026-12-11 14:11:57:588|0.013266]Read  :  37 00 32 00 BE\r\n"
    "[2026-12-11 14:11:57:588|0.000134]Read  :  00 5A 4F 4C 54 20 73 74 20 66 69 72 6D 77 61 72 65 "
    "20 32 2E 34 2E 31 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 B7\r\n"
    "[2026-12-11 14:11:57:588|0.000014]---------------------------  reset 00\r\n"
    "[2026-12-11 14:11:57:592|0.003848]Write :  03 00 00\r\n"
    "[2026-12-11 14:11:57:592|0.000032]Write :  03 00 00\r\n"
    "[2026-12-11 14:11:57:620|0.027858]Read  :  07 00 02 00 00 00 05\r\n"
    "[2026-12-11 14:11:57:621|0.000781]Host ip : 127.0.0.1\r\n"
    "[2026-12-11 14:11:57:621|0.000096]Socket connect failed with error: 10061\r\n";

TEST(CliProgram, LogExplainsAndReplays) {
    testing::TempDir home;
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::FILE* f = std::fopen((home.path() / name).string().c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    };
    write("refused.bin", RefusedRun);
    static const char elf[] =
        "\x7f"
        "ELF\x02\x01\x01\x00\x00\x00\xff\xfe";
    write("foreign.bin", std::string(elf, sizeof elf - 1));

    struct Case {
        std::string arguments;
        int exitCode;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"log refused.bin",
         0,
         {"#1  2026-12-11 14:11  Device Info  failed: update server refused the connection "
          "(Windows Sockets 10061)\n"}},
        {"log refused.bin --last",
         0,
         {"Run 1: Device Info, failed\n", "failed at           asking the update server\n",
          "\"ZOLT st firmware 2.4.1\"", "reset 00            answered"}},
        {"log refused.bin 1 --json", 0, {"\"outcome\":\"failed\"", "\"socket_error\":10061"}},
        {"log refused.bin 2", 1, {"holds 1 runs, not run 2"}},
        {"log foreign.bin", 1, {"not a log of this program"}},
        {"log missing.bin", 1, {"cannot read missing.bin"}},
        {"log refused.bin --frobnicate", 64, {"unknown argument"}},
        {"--simulate --replay refused.bin:1 info",
         1,
         {"recorded: #1  2026-12-11 14:11  Device Info  failed", "Get device info failed.\n",
          "Replay: the program followed the recording to its end (6 writes, 1 server "
          "transactions)"}},
        {"--replay refused.bin info", 64, {"--replay goes with --simulate"}},
        {"--simulate --replay refused.bin:4 info", 64, {"holds 1 runs, not run 4"}},
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
