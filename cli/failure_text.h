// The one line the console program prints on stderr when a run does not succeed: what went wrong,
// from what the run saw, and what to do next.
#pragma once

#include <string>

#include "procedures/procedures.h"

namespace zolt {

enum class RunKind { Update, DeviceInfo };

// For Failed, Interrupted and StOnlyUpdated outcomes; empty for the others.
std::string FailureText(const RunOutcome& outcome, RunKind kind, const ServerEndpoint& server);

// "Windows Sockets error 10061, connection refused".
std::string SocketErrorText(int32_t code);

// "device status 9, no answer in time".
std::string DeviceStatusText(uint32_t status);

// "driver status 3, FT_DEVICE_NOT_OPENED: the device could not be opened".
std::string DriverStatusText(uint32_t status);

}  // namespace zolt
