// The vendor-library binding, against the stand-in library the tests build. The library search
// by name is tried in a child process whose only environment is LD_LIBRARY_PATH pointing at the
// stand-in (on Windows this program adds the stand-in's directory to the search itself).
#include "device/vendor_driver.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/communication_ft32.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

// The stand-in's inspection functions.
class StandIn {
  public:
    StandIn() : library_(OpenVendorLibrary(ZOLT_STANDIN_LIBRARY)) {
        if (library_ != nullptr) {
            Reset();
        }
    }
    ~StandIn() { CloseVendorLibrary(library_); }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    bool Loaded() const { return library_ != nullptr; }
    void Reset() { Call<void (*)()>("standin_reset")(); }
    int OpenExCalls() { return Call<int (*)()>("standin_open_ex_calls")(); }
    int CloseCalls() { return Call<int (*)()>("standin_close_calls")(); }
    bool IsOpen() { return Call<int (*)()>("standin_is_open")() != 0; }
    uint32_t Baud() { return Call<uint32_t (*)()>("standin_baud")(); }
    uint32_t OpenFlags() { return Call<uint32_t (*)()>("standin_open_flags")(); }
    uint32_t ListFlags() { return Call<uint32_t (*)()>("standin_list_flags")(); }
    std::vector<uint8_t> Format() {
        std::vector<uint8_t> out(3);
        Call<void (*)(uint8_t*)>("standin_format")(out.data());
        return out;
    }
    std::vector<uint8_t> Latency() {
        std::vector<uint8_t> out(16);
        const int n = Call<int (*)(uint8_t*, int)>("standin_latency")(out.data(), 16);
        out.resize(static_cast<std::size_t>(std::min(n, 16)));
        return out;
    }

  private:
    template <typename Fn>
    Fn Call(const char* name) {
#ifdef _WIN32
        const FARPROC found = ::GetProcAddress(static_cast<HMODULE>(library_), name);
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(found));
#else
        return reinterpret_cast<Fn>(dlsym(library_, name));
#endif
    }
    void* library_;
};

TEST(VendorDriver, IsNotUsedUnlessAllNineFunctionsBind) {
    EXPECT_EQ(LoadVendorDriver("/nonexistent/libftd2xx.so"), nullptr);
    EXPECT_EQ(LoadVendorDriver(ZOLT_STANDIN_PARTIAL_LIBRARY), nullptr) << "FT_Close is missing";
    EXPECT_NE(LoadVendorDriver(ZOLT_STANDIN_LIBRARY), nullptr);
}

// The whole channel over a driver bound to the stand-in: open, format, transfers, a reset that
// reopens the held device, close.
void RunChannelOnStandIn(D2xxDriver& driver, StandIn& standIn) {
    testing::ScopedTestLog log;
    LogCapture capture;
    VirtualClock clock;
    CCommunicationFT32 channel(driver, clock);

    ASSERT_EQ(channel.Open(), 0u);
    EXPECT_EQ(standIn.ListFlags(), FT_LIST_NUMBER_ONLY);
    EXPECT_EQ(standIn.OpenFlags(), FT_OPEN_BY_DESCRIPTION);
    EXPECT_EQ(standIn.OpenExCalls(), 3) << "the third description is the stand-in's";
    EXPECT_EQ(standIn.Baud(), 115200u);
    EXPECT_EQ(standIn.Format(), (std::vector<uint8_t>{8, 0, 0}));

    // Bytes go out through FT_Write and come back through FT_GetStatus and FT_Read.
    const uint8_t bytes[] = {0x10, 0x20, 0x30};
    ASSERT_EQ(channel.Write(bytes, sizeof bytes), 0u);
    uint8_t area[ReceiveAreaSize];
    uint32_t count = 0;
    ASSERT_EQ(channel.ReadOnce(area, count), 0u);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(area[2], 0x30);

    // A reset sequence reopens the device it holds: no refused second open, no leaked handle.
    // The echoed reset frame is a complete 3-byte reply.
    const int opensBefore = standIn.OpenExCalls();
    EXPECT_EQ(channel.Reset1A(), 0u);
    EXPECT_EQ(standIn.Latency(), (std::vector<uint8_t>{255, 0, 127}));
    EXPECT_EQ(standIn.CloseCalls(), 1);
    // Three calls for the fresh open; the reopen of the held device found it without the library.
    EXPECT_EQ(standIn.OpenExCalls() - opensBefore, 2 + 3);
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_TRUE(standIn.IsOpen());

    channel.Close();
    EXPECT_FALSE(standIn.IsOpen());
    EXPECT_EQ(channel.Open(), 0u) << "closed for real: opens again";
    channel.Close();
}

TEST(VendorDriver, ChannelRunsOnTheBoundLibrary) {
    StandIn standIn;
    ASSERT_TRUE(standIn.Loaded());
    auto driver = LoadVendorDriver(ZOLT_STANDIN_LIBRARY);
    ASSERT_NE(driver, nullptr);
    RunChannelOnStandIn(*driver, standIn);
}

#ifdef _WIN32
// The 32-bit program binds by ordinal. The stand-in exports the nine at the vendor's ordinals, so
// a wrong number in the table calls the wrong function and the channel fails here.
TEST(VendorDriver, BindsTheVendorOrdinals) {
    StandIn standIn;
    ASSERT_TRUE(standIn.Loaded());
    auto driver = LoadVendorDriver(ZOLT_STANDIN_LIBRARY, VendorBinding::ByOrdinal);
    ASSERT_NE(driver, nullptr);
    standIn.Reset();
    RunChannelOnStandIn(*driver, standIn);
}

TEST(VendorDriver, OrdinalBindingNeedsNoNames) {
    // Exported by number only: found by ordinal, not by name.
    EXPECT_EQ(LoadVendorDriver(ZOLT_STANDIN_NONAME_LIBRARY, VendorBinding::ByName), nullptr);
    EXPECT_NE(LoadVendorDriver(ZOLT_STANDIN_NONAME_LIBRARY, VendorBinding::ByOrdinal), nullptr);
    EXPECT_EQ(LoadVendorDriver(ZOLT_STANDIN_PARTIAL_LIBRARY, VendorBinding::ByOrdinal), nullptr);
#ifdef _WIN64
    EXPECT_EQ(DefaultVendorBinding(), VendorBinding::ByName);
#else
    EXPECT_EQ(DefaultVendorBinding(), VendorBinding::ByOrdinal);
#endif
}
#endif

#ifdef _WIN32
TEST(VendorDriver, ProcessDriverFindsTheLibraryThroughTheSearchPath) {
    const std::string dir = ZOLT_STANDIN_DIR;
    ASSERT_TRUE(::SetDllDirectoryW(std::wstring(dir.begin(), dir.end()).c_str()));
    StandIn standIn;
    ASSERT_TRUE(standIn.Loaded());
    EXPECT_STREQ(ProcessDriverName(), "vendor D2XX library");
    uint32_t count = 0;
    EXPECT_EQ(ProcessDriver().ListDevices(&count), FT_OK);
    EXPECT_EQ(count, 1u);
}
#else
// What the probe prints when `environment` is all of its environment. A process of its own: in
// this one the stand-in is loaded by path already, and the loader would hand that copy back to a
// search by name without searching.
std::string RunSearchProbe(std::vector<std::string> environment) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return "no pipe";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string program = ZOLT_VENDOR_SEARCH_PROBE;
    char* argv[] = {program.data(), nullptr};
    std::vector<char*> envp;
    for (auto& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string output;
    char buffer[512];
    for (ssize_t n; spawned == 0 && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) {
        return "not started";
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? output : "failed: " + output;
}

TEST(VendorDriver, ProcessDriverFindsTheLibraryThroughTheSearchPath) {
    const std::string standIn = std::string(ZOLT_STANDIN_DIR) + "/" + VendorLibraryName;
    EXPECT_EQ(RunSearchProbe({"LD_LIBRARY_PATH=" ZOLT_STANDIN_DIR}),
              "vendor D2XX library|1|" + standIn + "\n");
    // Without the search path the stand-in stays out of reach.
    EXPECT_EQ(RunSearchProbe({}).find(standIn), std::string::npos);
}
#endif

}  // namespace
}  // namespace zolt
