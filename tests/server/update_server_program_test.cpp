// The program zolt-update-server, run as a separate process: its help, its answers to each
// request code, its report of what it received and answered, and its stop on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "server/exchange_records.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace zolt {
namespace {

// A child process with its standard output on a pipe.
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        args.insert(args.begin(), ZOLT_UPDATE_SERVER_PROGRAM);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            ::close(out_);
        }
    }

    bool Running() const { return pid_ > 0; }

    // Output until `text` appears, the program closes its output, or `ms` pass.
    std::string ReadUntil(const std::string& text, int ms = 5000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (output_.find(text) == std::string::npos &&
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

    // The exit status after `signal` (0: none sent), or -1 when it did not end within `ms`.
    int Wait(int signal, int ms = 5000) {
        if (signal != 0) {
            ::kill(pid_, signal);
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

TEST(UpdateServerProgram, HelpExplainsTheOptions) {
    Program help({"--help"});
    ASSERT_TRUE(help.Running());
    const std::string text = help.ReadUntil("--version ");
    EXPECT_EQ(help.Wait(0), 0);
    for (const char* option :
         {"--address", "--port", "--blocks", "--block-size", "--st", "--j2534", "--info-no-zero",
          "--break-off", "--break-off-times", "--silent", "--close-without-answer",
          "--wrong-total-length", "--too-short", "--broken-length-table", "--count-above-40000",
          "--length-above-1100", "--oversize", "SIGTERM"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    Program wrong({"--no-such-option"});
    EXPECT_EQ(wrong.Wait(0), 64);
}

TEST(UpdateServerProgram, AnswersEachRequestCodeAndStopsOnSigterm) {
    testing::ScopedTestLog log;
    Program server({"--port", "0", "--blocks", "5", "--block-size", "200"});
    ASSERT_TRUE(server.Running());
    const std::string banner = server.ReadUntil("\n");
    const auto colon = banner.find("127.0.0.1:");
    ASSERT_NE(colon, std::string::npos) << banner;
    const auto port = static_cast<uint16_t>(std::stoi(banner.substr(colon + 10)));

    testing::FixedSystemInfo name(WideText(u"PC1"));
    for (const uint8_t code : {uint8_t{0x04}, uint8_t{0x01}, uint8_t{0x02}}) {
        SCOPED_TRACE(static_cast<int>(code));
        RecordList request(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
        RecordList reply(RecordList::ReplySlots, RecordList::ReplySlotCapacity);
        request.Slot(0)[0] = 0x0A;
        request.Slot(0)[1] = code;
        request.lengths[0] = 2;
        EXPECT_EQ(ExchangeRecords(request, 1, reply, testing::Loopback(port), name), 0);
        EXPECT_EQ(reply.count, code == 0x04 ? 1 : 5);
        if (code != 0x04) {
            EXPECT_EQ(reply.lengths[4], 200);
        }
    }
    const std::string report = server.ReadUntil("transaction 3: answered");
    EXPECT_NE(report.find("transaction 1: received 43 bytes, 3 records, resume offset 0, "
                          "request code 0x04"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("request code 0x02"), std::string::npos) << report;
    EXPECT_EQ(server.Wait(SIGTERM), 0);
}

}  // namespace
}  // namespace zolt
