#include "cli/doctor.h"

#include "cli/failure_text.h"
#include "device/communication_ft32.h"
#include "platform/log_location.h"

namespace zolt {

namespace {

constexpr const char* Ok = "  ok: ";
constexpr const char* Problem = "  PROBLEM: ";
constexpr const char* Next = "    next: ";

bool IsInterfaceDescription(const std::string& description) {
    for (const char* wanted : DeviceDescriptions) {
        if (description == wanted) {
            return true;
        }
    }
    return false;
}

std::string QuotedDescriptions() {
    std::string out;
    for (const char* d : DeviceDescriptions) {
        out += (out.empty() ? "\"" : ", \"") + std::string(d) + "\"";
    }
    return out;
}

void CheckInterface(const DoctorSetup& setup, DoctorVerdict& v) {
    v.lines.push_back("Interface");
    v.lines.push_back(std::string("  driver layer: ") + setup.driverName);

    uint32_t count = 0;
    const FT_STATUS listed = setup.driver.ListDevices(&count);
    if (listed != FT_OK) {
        v.lines.push_back(Problem + std::string("the driver could not list devices (") +
                          DriverStatusText(listed) + ")");
        v.lines.push_back(Next +
                          std::string("replug the interface; check `lsusb` for vendor 0403"));
        return;
    }
    v.lines.push_back("  FTDI devices attached: " + std::to_string(count));
    if (count == 0) {
        v.lines.push_back(Problem + std::string("no FTDI device is attached"));
        v.lines.push_back(Next + std::string("connect the interface with its USB cable; `lsusb` "
                                             "should then list a device of vendor 0403"));
        return;
    }

    std::vector<std::string> descriptions;
    const bool described = setup.driver.ListDescriptions(descriptions);
    bool anyMatch = false;
    if (described) {
        for (const auto& d : descriptions) {
            const bool match = IsInterfaceDescription(d);
            anyMatch = anyMatch || match;
            v.lines.push_back("    \"" + d + "\"" + (match ? "  <- the interface" : ""));
        }
    }

    for (const char* description : DeviceDescriptions) {
        FT_HANDLE handle = nullptr;
        const FT_STATUS opened = setup.driver.OpenEx(description, &handle);
        if (opened == FT_OK) {
            setup.driver.Close(handle);
            v.lines.push_back(Ok + std::string("the interface \"") + description + "\" opens");
            v.interfaceReachable = true;
            return;
        }
        if (opened == FT_DEVICE_NOT_FOUND) {
            continue;
        }
        switch (setup.driver.LastOpenProblem()) {
            case OpenProblem::Permission:
                v.lines.push_back(Problem + std::string("the interface \"") + description +
                                  "\" is attached but this user may not open it");
                v.lines.push_back(Next +
                                  std::string("install the udev rule "
                                              "/usr/lib/udev/rules.d/60-zolt-update.rules (it "
                                              "comes with the package and gives the device to "
                                              "the group plugdev and to the user at the "
                                              "desktop; from a remote login, join the group: "
                                              "sudo adduser $USER plugdev), then unplug and "
                                              "replug the interface"));
                break;
            case OpenProblem::Busy:
                v.lines.push_back(Problem + std::string("the interface \"") + description +
                                  "\" is busy: another program or the kernel's serial driver "
                                  "(ftdi_sio) holds it");
                v.lines.push_back(Next + std::string("close other programs that use it, or "
                                                     "unload the serial driver: sudo rmmod "
                                                     "ftdi_sio"));
                break;
            default:
                v.lines.push_back(Problem + std::string("the interface \"") + description +
                                  "\" is attached but could not be opened (" +
                                  DriverStatusText(opened) + ")");
                v.lines.push_back(Next + std::string("unplug and replug it; the log says more"));
                break;
        }
        return;
    }
    v.lines.push_back(Problem + std::string("none of the attached FTDI devices is the interface") +
                      (described && !anyMatch ? "" : " (or it could not be opened)"));
    v.lines.push_back(Next + std::string("connect the interface; its USB description is one of ") +
                      QuotedDescriptions());
}

void CheckServer(const DoctorSetup& setup, DoctorVerdict& v) {
    const std::string where = setup.server.host + ":" + std::to_string(setup.server.port);
    v.lines.push_back("Update server " + where);
    Sockets& s = setup.sockets;
    if (s.Startup() != 0) {
        v.lines.push_back(Problem + std::string("the sockets library did not start"));
        return;
    }
    // Resolved as a transaction resolves it: a name under .invalid is not looked up, and the
    // address used is the one the connection would use.
    HostEntry entry;
    const bool reserved = IsReservedInvalidName(setup.server.host);
    const bool resolved = !reserved && s.ResolveHost(setup.server.host, entry);
    const std::string addressText = resolved ? ChosenAddressText(entry) : std::string();
    if (addressText.empty()) {
        const int32_t error = reserved ? SocketErrors::HostNotFound
                                       : (resolved ? SocketErrors::NoData : s.LastError());
        if (reserved && setup.server.host == BuiltInServer().host) {
            v.lines.push_back(Problem + std::string("this build names no update server (\"") +
                              setup.server.host + "\" lies under .invalid, which never resolves)");
        } else {
            v.lines.push_back(Problem + std::string("the name \"") + setup.server.host +
                              "\" does not resolve (" + SocketErrorText(error) + ")");
        }
        v.lines.push_back(Next +
                          std::string(reserved ? "name the update server"
                                               : "check the network and DNS, or name "
                                                 "another server") +
                          " with --server HOST[:PORT]");
        s.Cleanup();
        return;
    }
    const Ipv4Address address = TextToIpv4(addressText);
    v.lines.push_back(Ok + std::string("resolves to ") + addressText);
    const SocketHandle socket = s.OpenTcpSocket();
    if (socket == InvalidSocket) {
        v.lines.push_back(Problem + std::string("no socket (") + SocketErrorText(s.LastError()) +
                          ")");
        s.Cleanup();
        return;
    }
    if (s.Connect(socket, address, setup.server.port) != 0) {
        const int32_t error = s.LastError();
        v.lines.push_back(Problem + std::string("port ") + std::to_string(setup.server.port) +
                          " does not answer (" + SocketErrorText(error) + ")");
        v.lines.push_back(Next +
                          std::string("check that the server runs and that no firewall "
                                      "blocks TCP port ") +
                          std::to_string(setup.server.port));
    } else {
        v.lines.push_back(Ok + std::string("port ") + std::to_string(setup.server.port) +
                          " answers");
        v.serverReachable = true;
    }
    s.Close(socket);
    s.Cleanup();
}

void CheckLog(const DoctorSetup& setup, DoctorVerdict& v) {
    v.lines.push_back("Log");
    if (setup.logPath.empty()) {
        v.lines.push_back(Problem + std::string("no place for the log: neither XDG_STATE_HOME nor "
                                                "HOME is an absolute path"));
        v.lines.push_back(Next +
                          std::string("set HOME, or XDG_STATE_HOME, to a writable directory"));
        return;
    }
    v.lines.push_back("  file: " + ToUtf8(setup.logPath));
    v.logWritable = CanAppendTo(setup.logPath);
    if (v.logWritable) {
        v.lines.push_back(Ok + std::string("writable"));
    } else {
        v.lines.push_back(Problem + std::string("not writable: what goes wrong will not be "
                                                "recorded"));
        v.lines.push_back(Next + std::string("make the directory writable for this user, or set "
                                             "XDG_STATE_HOME to a writable directory"));
    }
}

}  // namespace

DoctorVerdict RunDoctor(const DoctorSetup& setup) {
    DoctorVerdict verdict;
    CheckInterface(setup, verdict);
    CheckServer(setup, verdict);
    CheckLog(setup, verdict);
    if (verdict.Ok()) {
        verdict.lines.push_back("Verdict: ready to update");
    } else if (verdict.interfaceReachable && verdict.serverReachable) {
        verdict.lines.push_back("Verdict: not ready, the log " +
                                (setup.logPath.empty()
                                     ? std::string("has no place")
                                     : ToUtf8(setup.logPath) + " cannot be written") +
                                ": what goes wrong would not be recorded");
    } else {
        verdict.lines.push_back("Verdict: not ready, see the problems above");
    }
    verdict.lines.push_back("What the last run did, step by step: zolt-update-cli log --last");
    return verdict;
}

std::string DeviceNotFoundHint(D2xxDriver& driver) {
    uint32_t count = 0;
    if (driver.ListDevices(&count) == FT_OK && count > 0) {
        return "Hint: an FTDI device is attached but the interface could not be opened; run "
               "'zolt-update-cli doctor' to see why.";
    }
    return "Hint: no FTDI device is attached; connect the interface, or run "
           "'zolt-update-cli doctor'.";
}

}  // namespace zolt
