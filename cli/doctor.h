// `zolt-update-cli doctor`: checks the set-up in plain words, with the next step for each problem.
#pragma once

#include <string>
#include <vector>

#include "device/d2xx.h"
#include "platform/sockets.h"
#include "platform/wide_text.h"
#include "server/server_connection.h"

namespace zolt {

struct DoctorSetup {
    D2xxDriver& driver;
    std::string driverName;
    ServerEndpoint server;
    Sockets& sockets;
    WideText logPath;  // empty: the log has no place
};

struct DoctorVerdict {
    std::vector<std::string> lines;  // what to print, in order
    bool interfaceReachable = false;
    bool serverReachable = false;
    bool logWritable = false;
    bool Ok() const { return interfaceReachable && serverReachable && logWritable; }
};

DoctorVerdict RunDoctor(const DoctorSetup& setup);

// The one-line hint the console adds under "Device not found".
std::string DeviceNotFoundHint(D2xxDriver& driver);

}  // namespace zolt
