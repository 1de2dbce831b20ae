#include "cli/doctor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

bool Has(const DoctorVerdict& v, const std::string& part) {
    return std::any_of(v.lines.begin(), v.lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

std::string Joined(const DoctorVerdict& v) {
    std::string out;
    for (const auto& l : v.lines) {
        out += l + "\n";
    }
    return out;
}

TEST(Doctor, Verdicts) {
    sim::ReferenceServer server;
    ASSERT_TRUE(server.Start());
    testing::TempDir dir;
    const WideText logPath = FromUtf8((dir.path() / "log.bin").string());

    struct Case {
        const char* name;
        sim::SimulatedInterfaceOptions device;
        bool serverUp;
        bool ok;
        std::vector<std::string> expected;  // parts of lines that must be there
    };
    sim::SimulatedInterfaceOptions absent;
    absent.attached = false;
    sim::SimulatedInterfaceOptions denied;
    denied.permissionDenied = true;
    sim::SimulatedInterfaceOptions other;
    other.description = "FT232R USB UART";
    const Case cases[] = {
        {"ready", {}, true, true, {"ok: the interface \"ZOLT\" opens", "ok: port", "ready"}},
        {"no device", absent, true, false, {"no FTDI device is attached", "next: connect"}},
        {"permission", denied, true, false, {"may not open it", "60-zolt-update.rules", "group plugdev", "replug"}},
        {"another FTDI device",
         other,
         true,
         false,
         {"\"FT232R USB UART\"", "none of the attached FTDI devices is the interface"}},
        {"server unreachable",
         {},
         false,
         false,
         {"does not answer (Windows Sockets error 10061, connection refused)", "next: check"}},
    };
    for (const auto& c : cases) {
        VirtualClock clock;
        sim::SimulatedInterface device(clock, c.device);
        ServerEndpoint endpoint{"127.0.0.1", c.serverUp ? server.Port() : uint16_t{1}, 2'000};
        const DoctorVerdict v = RunDoctor(
            DoctorSetup{device, "simulated interface", endpoint, SystemSockets(), logPath});
        SCOPED_TRACE(std::string(c.name) + "\n" + Joined(v));
        EXPECT_EQ(v.Ok(), c.ok);
        for (const auto& part : c.expected) {
            EXPECT_TRUE(Has(v, part)) << part;
        }
        EXPECT_TRUE(v.logWritable);
        EXPECT_FALSE(device.HandleOpen());  // the probe closes what it opened
    }
}

TEST(Doctor, TheBuiltInInvalidNameIsNotLookedUp) {
    VirtualClock clock;
    sim::SimulatedInterface device(clock);
    testing::TempDir dir;
    testing::TestSockets sockets;
    sockets.resolved = HostEntry{AddressFamilyIpv4, {0x7F000001}};  // would resolve
    const DoctorVerdict v = RunDoctor(DoctorSetup{device, "simulated interface", BuiltInServer(),
                                                  sockets, FromUtf8((dir.path() / "l").string())});
    SCOPED_TRACE(Joined(v));
    EXPECT_EQ(sockets.resolves, 0);
    EXPECT_FALSE(v.serverReachable);
    EXPECT_TRUE(Has(v, "this build names no update server"));
    EXPECT_TRUE(Has(v, "--server HOST[:PORT]"));
}

TEST(Doctor, LogThatCannotBeWrittenIsNotReady) {
    sim::ReferenceServer server;
    ASSERT_TRUE(server.Start());
    std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Verdict: not ready, the log has no place"},
    };
#ifndef _WIN32  // on Windows the file beside the program is taken as it is, never probed
    testing::TempDir dir;
    const std::string unwritable = (dir.path() / "missing" / "log.bin").string();
    cases.push_back(
        {unwritable, "Verdict: not ready, the log " + unwritable + " cannot be written"});
#endif
    for (const auto& [path, verdict] : cases) {
        VirtualClock clock;
        sim::SimulatedInterface device(clock, {});
        const DoctorVerdict v = RunDoctor(DoctorSetup{device,
                                                      "simulated interface",
                                                      {"127.0.0.1", server.Port(), 2'000},
                                                      SystemSockets(),
                                                      FromUtf8(path)});
        SCOPED_TRACE(Joined(v));
        EXPECT_TRUE(v.interfaceReachable && v.serverReachable);
        EXPECT_FALSE(v.logWritable);
        EXPECT_FALSE(v.Ok());
        EXPECT_TRUE(Has(v, "PROBLEM: "));
        const std::string& verdictLine = v.lines.at(v.lines.size() - 2);  // before the log hint
        EXPECT_EQ(verdictLine.rfind(verdict, 0), 0u) << verdictLine;
    }
}

TEST(Doctor, DeviceNotFoundHintSaysWhetherAnyFtdiDeviceIsThere) {
    VirtualClock clock;
    sim::SimulatedInterfaceOptions absent;
    absent.attached = false;
    sim::SimulatedInterface none(clock, absent);
    EXPECT_NE(DeviceNotFoundHint(none).find("no FTDI device is attached"), std::string::npos);

    sim::SimulatedInterfaceOptions denied;
    denied.permissionDenied = true;
    sim::SimulatedInterface locked(clock, denied);
    EXPECT_NE(DeviceNotFoundHint(locked).find("attached but the interface could not be opened"),
              std::string::npos);
    EXPECT_NE(DeviceNotFoundHint(locked).find("zolt-update-cli doctor"), std::string::npos);
}

}  // namespace
}  // namespace zolt
