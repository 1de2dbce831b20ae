// zolt-update-cli run as a process: exit codes, what it prints where, and how it takes signals
// and a closed output. Each test runs a copy of the program in a directory of its own, so that
// its log lands there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/server/reference_server.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace zolt {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The program copied into a directory of its own, run with stdout on a pipe and stderr in a file.
class Cli {
  public:
    Cli() {
        program_ = dir_.path() / "zolt-update-cli";
        std::filesystem::copy_file(ZOLT_CLI_PATH, program_);
    }
    ~Cli() { Kill(); }

    void Start(const std::string& arguments) {
        Kill();
        output_.clear();
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const std::string err = (dir_.path() / "stderr").string();
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addchdir_np(&actions, dir_.path().c_str());
        std::vector<std::string> args{program_.string()};
        std::istringstream words(arguments);
        for (std::string word; words >> word;) {
            args.push_back(word);
        }
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }

    // Standard output until `text` appears, the output ends, or `ms` pass.
    const std::string& ReadUntil(const std::string& text, int ms = 20'000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out_ >= 0 && output_.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < until) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            output_.append(buffer, static_cast<std::size_t>(n));
        }
        return output_;
    }

    // The reader goes away, as `| head -3` does.
    void CloseOutput() {
        ::close(out_);
        out_ = -1;
    }

    void Signal(int signal) { ::kill(pid_, signal); }

    // The exit status, or -1 when the program did not end within `ms`.
    int Wait(int ms = 30'000) {
        ReadUntil("\x01 never printed", ms);  // drains the output, so the program never blocks
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (pid_ > 0 && std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    std::string Errors() const { return ReadFile(dir_.path() / "stderr"); }
    // The program's own directory, also its working directory.
    const std::filesystem::path& Dir() const { return dir_.path(); }
    std::string Log() const { return ReadFile(dir_.path() / "log.bin"); }
    const std::string& Output() const { return output_; }

  private:
    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
    }

    testing::TempDir dir_;
    std::filesystem::path program_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CliProgram, ExitCodesAndWhatGoesWhere) {
    sim::ReferenceServerOptions empty;
    empty.fixedReply = std::vector<uint8_t>{13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // no records
    sim::ReferenceServer refusing(empty);
    ASSERT_TRUE(refusing.Start());
    const std::string noRecords =
        "--simulate --server 127.0.0.1:" + std::to_string(refusing.Port());

    struct Case {
        std::string arguments;
        int exitCode;
        std::vector<std::string> out;
        std::vector<std::string> err;
    };
    const Case cases[] = {
        {"--simulate info",
         0,
         {"Get device info...\n", "Device information:\n", "Chip ID: 5354"},
         {}},
        {noRecords + " info", 1, {"Get device info failed.\n"}, {"sent no device information"}},
        {noRecords + " doctor", 0, {"Verdict: ready to update"}, {}},
        {"--simulate --server 127.0.0.1:1 doctor",
         3,
         {"Windows Sockets error 10061, connection refused", "Verdict: not ready"},
         {}},
        {"--simulate --server 127.0.0.1:1 info",
         1,
         {"Get device info failed.\n"},
         {"the update server 127.0.0.1:1 refused the connection (Windows Sockets error 10061"}},
        {"--simulate --server update.zolt-update.invalid info",
         1,
         {},
         {"this build names no update server (update.zolt-update.invalid): use --server"}},
        {"frobnicate", 64, {}, {"unknown command 'frobnicate' (see --help)"}},
        {"", 64, {}, {"give a command: update, info or doctor"}},
        {"info extra", 64, {}, {"unexpected argument 'extra'"}},
        {"--server", 64, {}, {"--server needs HOST[:PORT] (see --help)"}},
        {"--server ::1 info", 64, {}, {"IPv4"}},
        {"--server h:70000 info", 64, {}, {"1 to 65535"}},
        {"--version --bogus", 64, {}, {"unknown option '--bogus'"}},
        {"--bogus --version", 64, {}, {"unknown option '--bogus'"}},
        {"-V", 0, {"zolt-update-cli 1.0.6\n"}, {}},
        {"--help",
         0,
         {"doctor", "log [FILE]", "--replay FILE[:RUN]", "--quiet", "130  interrupted",
          "Log: every transfer"},
         {}},
        {"--simulate --quiet info", 0, {"Device information:\n"}, {}},
    };
    Cli cli;
    for (const auto& c : cases) {
        cli.Start(c.arguments);
        const int code = cli.Wait();
        SCOPED_TRACE(c.arguments + "\nstdout:\n" + cli.Output() + "stderr:\n" + cli.Errors());
        EXPECT_EQ(code, c.exitCode);
        for (const auto& part : c.out) {
            EXPECT_TRUE(Contains(cli.Output(), part)) << part;
        }
        for (const auto& part : c.err) {
            EXPECT_TRUE(Contains(cli.Errors(), part)) << part;
        }
    }
    cli.Start("--simulate --quiet info");
    cli.Wait();
    EXPECT_FALSE(Contains(cli.Output(), "Get device info..."));
}

// The log's summary of what the simulated interface received, for example
// "Simulated interface: 9 st blocks, 0 j2534 blocks, 0 bytes of an unfinished frame".
std::string Summary(const std::string& log) {
    const auto at = log.rfind("Simulated interface: ");
    return at == std::string::npos ? "" : log.substr(at, log.find('\r', at) - at);
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
    Cli cli;
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream out(cli.Dir() / name, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    write("refused.bin", RefusedRun);
    static const char elf[] =
        "\x7f"
        "ELF\x02\x01\x01\x00\x00\x00\xff\xfe";
    write("foreign.bin", std::string(elf, sizeof elf - 1));

    struct Case {
        std::string arguments;
        int exitCode;
        std::vector<std::string> lines;  // on stdout or stderr
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
        cli.Start(c.arguments);
        const int code = cli.Wait();
        const std::string all = cli.Output() + cli.Errors();
        SCOPED_TRACE(c.arguments + "\n" + all);
        EXPECT_EQ(code, c.exitCode);
        for (const auto& line : c.lines) {
            EXPECT_TRUE(Contains(all, line)) << line;
        }
    }
}

TEST(CliProgram, ASignalDuringAnUpdateFinishesTheBlockInFlightThenStops) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        Cli cli;
        cli.Start("--simulate update");
        ASSERT_TRUE(Contains(cli.ReadUntil("Progress: 30%"), "Progress: 30%")) << cli.Output();
        cli.Signal(signal);
        EXPECT_EQ(cli.Wait(), 130);
        const std::string log = cli.Log();
        SCOPED_TRACE(cli.Output() + cli.Errors());
        EXPECT_TRUE(Contains(log, "]Update interrupted: stopping after block "));
        const std::string summary = Summary(log);
        EXPECT_TRUE(Contains(summary, " st blocks, 0 j2534 blocks, 0 bytes of an unfinished frame"))
            << summary;
        EXPECT_FALSE(Contains(summary, ": 24 st blocks")) << summary;  // it did stop early
        EXPECT_TRUE(Contains(log, "---------------------------  reset 00"));
        EXPECT_TRUE(Contains(cli.Output(), "Update failed.\n"));
        EXPECT_TRUE(Contains(cli.Errors(), "may hold incomplete firmware and need the update"));
    }
}

TEST(CliProgram, ASecondSignalOrOneDuringDeviceInfoStopsAtOnce) {
    Cli cli;
    cli.Start("--simulate update");
    ASSERT_TRUE(Contains(cli.ReadUntil("Progress: 10%"), "Progress: 10%"));
    cli.Signal(SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // two signals, not one merged
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 130);
    EXPECT_EQ(Summary(cli.Log()), "");  // ended before the run could close

    sim::ReferenceServerOptions silentOptions;
    silentOptions.silent = true;
    sim::ReferenceServer silent(silentOptions);
    ASSERT_TRUE(silent.Start());
    cli.Start("--simulate --server 127.0.0.1:" + std::to_string(silent.Port()) + " info");
    ASSERT_TRUE(Contains(cli.ReadUntil("Get device info..."), "Get device info..."));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // waiting for the server
    const auto before = std::chrono::steady_clock::now();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 130);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

TEST(CliProgram, AClosedOutputNeverEndsTheUpdate) {
    sim::ReferenceServerOptions few;
    few.stFirmware = sim::DemoFirmware(sim::RequestStFirmware, 6, 1100);
    few.j2534Firmware = sim::DemoFirmware(sim::RequestJ2534Firmware, 6, 1100);
    sim::ReferenceServer server(few);
    ASSERT_TRUE(server.Start());
    Cli cli;
    cli.Start("--simulate --server 127.0.0.1:" + std::to_string(server.Port()) + " update");
    cli.ReadUntil("Progress: 0%");
    cli.CloseOutput();  // as `zolt-update-cli --simulate update | head -3`
    EXPECT_EQ(cli.Wait(), 0);
    EXPECT_EQ(Summary(cli.Log()),
              "Simulated interface: 6 st blocks, 6 j2534 blocks, 0 bytes of an unfinished frame");
    EXPECT_EQ(cli.Errors(), "");
}

}  // namespace
}  // namespace zolt
