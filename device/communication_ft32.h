// The channel to the interface: finds it by its USB description, opens it at 115,200 baud 8N1,
// moves raw bytes both ways with every transfer logged in hexadecimal, and builds the framed
// commands and the three reset sequences on those transfers. One worker thread owns a channel.
#pragma once

#include <array>
#include <cstdint>

#include "device/d2xx.h"
#include "platform/clock.h"

namespace zolt {

inline constexpr uint32_t DEVICE_COMMAND_FAILED = 7, DEVICE_NOT_FOUND = 8, DEVICE_READ_TIMEOUT = 9;
inline constexpr uint32_t ReceiveAreaSize = 5000, ChipIdSize = 8, InfoRecordSize = 61;

// USB descriptions, tried in this order.
inline constexpr const char* DeviceDescriptions[] = {"ZOLT", "PRYN Interface 171213",
                                                     "PRYN Interface 171071"};
inline constexpr uint32_t DefaultBaudRate = 115200;
inline constexpr uint32_t OpenWindowMs = 10000;
inline constexpr uint32_t ReceiveWaitMs = 5500;
inline constexpr uint32_t CommandTimeoutMs = 20000;
inline constexpr uint32_t ResetShortReadMs = 1000;
// A reset frame: frame length 3 (03 00) and the reset code, no payload length and no check byte.
inline constexpr uint32_t ResetFrameSize = 3;
// The area the commands read their replies into.
inline constexpr uint32_t CommandReplyAreaSize = 65;
// Bytes of the info record that GetDeviceInfo writes: 4 header bytes and 50 payload bytes.
inline constexpr uint32_t InfoRecordFilled = 54;

class CCommunicationFT32 {
  public:
    CCommunicationFT32();  // ProcessDriver(), SystemClock()
    CCommunicationFT32(D2xxDriver& driver, Clock& clock);
    virtual ~CCommunicationFT32();  // does not close
    CCommunicationFT32(const CCommunicationFT32&) = delete;
    CCommunicationFT32& operator=(const CCommunicationFT32&) = delete;

    // 0, or DEVICE_NOT_FOUND after retrying for OpenWindowMs.
    uint32_t Open();
    // One attempt: 0 or DEVICE_NOT_FOUND.
    uint32_t TryOpen();
    void Close();

    // Sends the bytes as they are and logs them; the driver's status.
    uint32_t Write(const uint8_t* data, uint32_t size);
    // Waits up to ReceiveWaitMs for bytes and reads those waiting, at most ReceiveAreaSize; the
    // rest stays queued. 0 with receivedCount >= 1, DEVICE_READ_TIMEOUT, or the driver's status.
    uint32_t ReadOnce(uint8_t* destination, uint32_t& receivedCount);  // destination holds 5,000
    // Assembles one frame; its payload is copied to the destination, cut to `capacity`, and
    // payloadLength says how many bytes were copied. 0, DEVICE_COMMAND_FAILED when the payload
    // length does not fit the frame, or (no frame in time) the last ReadOnce failure.
    uint32_t ReadFrame(uint8_t* payloadDestination, uint32_t capacity, uint32_t& payloadLength,
                       uint32_t timeoutMs);
    uint32_t WriteFrame(const uint8_t* frame, uint32_t size);
    uint32_t GetChipId(uint8_t* chipIdentifier);  // fills ChipIdSize bytes
    uint32_t GetDeviceInfo(uint8_t* infoRecord);  // InfoRecordSize-byte record, fills bytes 0..53
    uint32_t Reset1A();
    uint32_t Reset2B();
    uint32_t Reset00();

    bool IsOpen() const { return isOpen; }
    FT_HANDLE Handle() const { return handle; }

  private:
    // Sends a command request and reads its reply into the reply area: true when a frame came
    // with at least `minPayload` payload bytes, command code `code` and result byte 0.
    bool Command(const uint8_t* request, uint32_t size, uint8_t code, uint32_t minPayload);
    // Steps 1 to 5 shared by the reset sequences: open, banner, latency 255/0/127, 1 ms, close.
    void BeginReset(const char16_t* banner);
    // Steps 7 to 10 of reset 1A and 2B: the frame, a short read of what the part says as it
    // restarts, the frame again and its complete reply. 0 or DEVICE_COMMAND_FAILED.
    uint32_t ResetExchange(const uint8_t (&frame)[ResetFrameSize]);
    // One frame read into the reply area as it stands: true when one came within `timeoutMs`.
    bool ReadReply(uint32_t timeoutMs);

    uint32_t baudRate = DefaultBaudRate;
    bool isOpen = false;
    FT_HANDLE handle = nullptr;

    D2xxDriver* driver_;
    Clock* clock_;
    std::array<uint8_t, ReceiveAreaSize> receiveArea_{};  // ReadOnce's
    std::array<uint8_t, ReceiveAreaSize> assemblyArea_{};
    std::array<uint8_t, ReceiveAreaSize> pieceArea_{};
    std::array<uint8_t, CommandReplyAreaSize> replyArea_{};
};

}  // namespace zolt
