#include "cli/doctor.h"

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
        v.lines.push_back(Problem + std::string("the driver could not list devices (status ") +
                          std::to_string(listed) + ")");
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
                                  "\" is attached but could not be opened (driver status " +
                                  std::to_string(opened) + ")");
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
    HostEntry entry;
    if (!s.ResolveHost(setup.server.host, entry) || entry.addresses.empty()) {
        const int32_t error = s.LastError();
        v.lines.push_back(Problem + std::string("the name \"") + setup.server.host +
                          "\" does not resolve (error " + std::to_string(error) + ")");
        v.lines.push_back(Next + std::string("check the network and DNS, or name another server "
                                             "with --server HOST[:PORT]"));
        s.Cleanup();
        return;
    }
    const Ipv4Address address = entry.addresses.back();  // the one the program connects to
    v.lines.push_back(Ok + std::string("resolves to ") + Ipv4ToText(address));
    const SocketHandle socket = s.OpenTcpSocket();
    if (socket == InvalidSocket) {
        v.lines.push_back(Problem + std::string("no socket (error ") +
                          std::to_string(s.LastError()) + ")");
        s.Cleanup();
        return;
    }
    if (s.Connect(socket, address, setup.server.port) != 0) {
        const int32_t error = s.LastError();
        v.lines.push_back(
            Problem + std::string("port ") + std::to_string(setup.server.port) +
            " does not answer (error " + std::to_string(error) +
            (error == SocketErrors::ConnectionRefused ? ", connection refused)" : ")"));
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
    verdict.lines.push_back(verdict.Ok() ? "Verdict: ready to update"
                                         : "Verdict: not ready, see the problems above");
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
