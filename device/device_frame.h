// The interface's device frame, the same in both directions (two-byte fields little-endian):
//   frame length (2, the whole frame) | payload length (2) | payload | check byte
// The check byte is the exclusive-or of every byte before it. In a well-formed frame the frame
// length is the payload length plus 5. Payload byte 0 is the command code; in a reply byte 1 is the
// result byte (0 = success).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zolt {

inline constexpr std::size_t FrameOverhead = 5;
inline constexpr std::size_t MaxFramePayload = 0xFFFF - FrameOverhead;

uint8_t FrameCheckByte(std::span<const uint8_t> bytes);

// A complete, well-formed frame around the payload. The payload must be at most MaxFramePayload.
std::vector<uint8_t> BuildDeviceFrame(std::span<const uint8_t> payload);

// The payload of a well-formed frame: lengths consistent and check byte right; empty span otherwise
// (and `ok` false).
struct ParsedFrame {
    bool ok = false;
    std::span<const uint8_t> payload;
};
ParsedFrame ParseDeviceFrame(std::span<const uint8_t> frame);

inline uint16_t ReadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (static_cast<uint16_t>(p[1]) << 8));
}

}  // namespace zolt
