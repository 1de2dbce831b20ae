#include "device/device_frame.h"

namespace zolt {

uint8_t FrameCheckByte(std::span<const uint8_t> bytes) {
    uint8_t check = 0;
    for (uint8_t b : bytes) {
        check ^= b;
    }
    return check;
}

std::vector<uint8_t> BuildDeviceFrame(std::span<const uint8_t> payload) {
    const std::size_t size = payload.size() + FrameOverhead;
    std::vector<uint8_t> frame;
    frame.reserve(size);
    frame.push_back(static_cast<uint8_t>(size & 0xFF));
    frame.push_back(static_cast<uint8_t>((size >> 8) & 0xFF));
    frame.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
    frame.push_back(static_cast<uint8_t>((payload.size() >> 8) & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(FrameCheckByte(frame));
    return frame;
}

ParsedFrame ParseDeviceFrame(std::span<const uint8_t> frame) {
    if (frame.size() < FrameOverhead) {
        return {};
    }
    const std::size_t frameLength = ReadLe16(frame.data());
    const std::size_t payloadLength = ReadLe16(frame.data() + 2);
    if (frameLength != frame.size() || payloadLength + FrameOverhead != frameLength) {
        return {};
    }
    if (FrameCheckByte(frame.first(frame.size() - 1)) != frame.back()) {
        return {};
    }
    return {true, frame.subspan(4, payloadLength)};
}

}  // namespace zolt
