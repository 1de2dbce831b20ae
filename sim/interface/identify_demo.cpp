// Runs the st identification (reset 1A, chip identifier, information block, reset 00) against the
// simulated interface in real time at the line rate, and prints the chip identifier and the info
// record. Every log line is echoed to the console; log.bin beside the executable gets them too.
#include <cstdio>
#include <cstring>

#include "device/communication_ft32.h"
#include "log/log.h"
#include "sim/interface/simulated_interface.h"

namespace {

class ConsoleEcho final : public zolt::LogObserver {
  public:
    void OnLogMessage(zolt::WideView message) override {
        std::printf("log: %s\n", zolt::ToUtf8(message).c_str());
    }
};

std::string Hex(const uint8_t* data, uint32_t size) {
    return zolt::ToUtf8(zolt::BytesToHex(data, static_cast<int32_t>(size)));
}

}  // namespace

int main() {
    ConsoleEcho echo;
    zolt::ProcessLog().SetObserver(&echo);

    zolt::sim::SimulatedInterface device(zolt::SystemClock(), zolt::sim::DemoInterfaceOptions());
    zolt::CCommunicationFT32 channel(device, zolt::SystemClock());

    int exitCode = 0;
    uint8_t chipId[zolt::ChipIdSize] = {};
    uint8_t info[zolt::InfoRecordSize] = {};
    if (const uint32_t status = channel.Open(); status != 0) {
        std::printf("open failed: %u\n", status);
        exitCode = 1;
    } else if (const uint32_t reset = channel.Reset1A(); reset != 0) {
        std::printf("reset 1A failed: %u\n", reset);
        exitCode = 1;
    } else if (channel.GetChipId(chipId) != 0 || channel.GetDeviceInfo(info) != 0) {
        std::printf("identification failed\n");
        exitCode = 1;
    } else {
        channel.Reset00();
        char text[51] = {};
        std::memcpy(text, info + 6, 48);  // the info block after 3B 00 32 00 BE 00
        for (char& c : text) {
            if (c != 0 && (c < 0x20 || c > 0x7E)) {
                c = '.';
            }
        }
        std::printf("chip identifier: %s\n", Hex(chipId, sizeof chipId).c_str());
        std::printf("info record:     %s\n", Hex(info, sizeof info).c_str());
        std::printf("info text:       %s\n", text);
    }
    channel.Close();
    zolt::ProcessLog().SetObserver(nullptr);
    return exitCode;
}
