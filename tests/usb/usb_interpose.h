// See usb_interpose.cpp.
#pragma once

#include <string>

namespace zolt::testing {

// Opening this path (as libusb names it, /dev/bus/usb/BBB/DDD) fails with EACCES while denied.
void DenyDeviceFile(const std::string& path, bool denied);

}  // namespace zolt::testing
