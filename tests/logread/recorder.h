// Records runs of the real procedures against the simulated interface and the reference server.
#pragma once

#include <optional>
#include <string>

#include "log/log.h"
#include "procedures/procedures.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"
#include "tests/procedures/recording_window.h"
#include "tests/support/test_support.h"

namespace zolt::testing {

class NoTone final : public Tone {
  public:
    void Beep(uint32_t, uint32_t) override {}
};

class FixedSystem final : public SystemInfo {
  public:
    WideText ExecutablePath() override { return u"/opt/zolt/zolt-update"; }
    std::optional<WideText> ComputerName() override { return u"PC1"; }
};

// Runs the procedures in one process, as one window session does, against the simulated
// interface and the reference server, and returns the log they wrote.
class Recorder {
  public:
    // `port`: talk to this port instead of the reference server's (nothing listening there).
    explicit Recorder(sim::SimulatedInterfaceOptions device = {},
                      sim::ReferenceServerOptions server = SmallFirmware(),
                      std::optional<uint16_t> port = {})
        : device_(clock_, std::move(device)), server_(std::move(server)) {
        EXPECT_TRUE(server_.Start());
        port_ = port ? *port : server_.Port();
        WriteLog(u"ZOLT Update " + WideText(VersionText) + u" start");
    }

    static sim::ReferenceServerOptions SmallFirmware() {
        sim::ReferenceServerOptions o;
        o.stFirmware = sim::DemoFirmware(sim::RequestStFirmware, 5, 200);
        o.j2534Firmware = sim::DemoFirmware(sim::RequestJ2534Firmware, 3, 100);
        return o;
    }

    void Update() { UpdateThread(window_, Context()); }
    void DeviceInfo() { DeviceInfoThread(window_, Context()); }
    std::string Log() const { return log_.Contents(); }
    const RecordingWindow& Window() const { return window_; }

  private:
    ProcedureContext Context() {
        return ProcedureContext{device_, clock_, tone_, system_,
                                ServerEndpoint{"127.0.0.1", port_, 2'000}};
    }

    ScopedTestLog log_;
    VirtualClock clock_;
    NoTone tone_;
    FixedSystem system_;
    sim::SimulatedInterface device_;
    sim::ReferenceServer server_;
    RecordingWindow window_;
    uint16_t port_ = 0;
};

}  // namespace zolt::testing
