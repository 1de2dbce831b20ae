#include "device/communication_ft32.h"

#include <algorithm>
#include <cstring>

#include "device/device_frame.h"
#include "log/log.h"

namespace zolt {
namespace {

constexpr uint8_t ChipIdRequest[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
constexpr uint8_t DeviceInfoRequest[] = {0x06, 0x00, 0x01, 0x00, 0xBE, 0xB9};
constexpr uint8_t ChipIdCode = 0xD1;
constexpr uint8_t DeviceInfoCode = 0xBE;
constexpr uint32_t ChipIdPayloadMin = 2 + ChipIdSize;
constexpr uint32_t DeviceInfoPayloadMin = 50;

constexpr uint8_t LatencySequence[] = {255, 0, 127};
constexpr uint32_t J2534StartupMs = 1000;  // after reset 2B, before the part is spoken to

int32_t LogLength(uint32_t size) {
    return static_cast<int32_t>(std::min<uint32_t>(size, INT32_MAX));
}

}  // namespace

CCommunicationFT32::CCommunicationFT32() : CCommunicationFT32(ProcessDriver(), SystemClock()) {}

CCommunicationFT32::CCommunicationFT32(D2xxDriver& driver, Clock& clock)
    : driver_(&driver), clock_(&clock) {}

CCommunicationFT32::~CCommunicationFT32() = default;

uint32_t CCommunicationFT32::TryOpen() {
    uint32_t count = 0;
    if (driver_->ListDevices(&count) != FT_OK || count == 0) {
        return DEVICE_NOT_FOUND;
    }
    bool opened = false;
    for (const char* description : DeviceDescriptions) {
        FT_HANDLE candidate = nullptr;
        if (driver_->OpenEx(description, &candidate) == FT_OK) {
            // Another handle while one is held: the device went away and came back, and the held
            // handle is stale. Close it, or nothing ever would.
            if (isOpen && candidate != handle) {
                driver_->Close(handle);
            }
            handle = candidate;
            opened = true;
            break;
        }
    }
    if (!opened) {
        return DEVICE_NOT_FOUND;
    }
    driver_->SetBaudRate(handle, baudRate);
    driver_->SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    isOpen = true;
    return 0;
}

uint32_t CCommunicationFT32::Open() {
    uint32_t status = TryOpen();
    const uint32_t start = clock_->TickCount();
    while (status != 0 && TicksSince(clock_->TickCount(), start) < OpenWindowMs) {
        status = TryOpen();
    }
    return status;
}

void CCommunicationFT32::Close() {
    if (!isOpen) {
        return;
    }
    driver_->Close(handle);
    isOpen = false;
}

uint32_t CCommunicationFT32::Write(const uint8_t* data, uint32_t size) {
    FT_STATUS status = FT_INVALID_HANDLE;
    if (data == nullptr && size > 0) {
        status = FT_INVALID_PARAMETER;
    } else if (isOpen) {  // a closed handle never reaches the driver
        uint32_t written = 0;
        status = driver_->Write(handle, data, size, &written);
    }
    WriteLogDump(u"Write :  ", data, LogLength(size));
    return status;
}

uint32_t CCommunicationFT32::ReadOnce(uint8_t* destination, uint32_t& receivedCount) {
    if (destination == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    if (!isOpen) {
        return FT_INVALID_HANDLE;
    }
    const uint32_t start = clock_->TickCount();
    for (;;) {
        uint32_t waiting = 0;
        uint32_t transmitQueue = 0;
        uint32_t events = 0;
        if (driver_->GetStatus(handle, &waiting, &transmitQueue, &events) != FT_OK) {
            waiting = 0;
        }
        if (waiting > 0) {
            const uint32_t asked = std::min(waiting, ReceiveAreaSize);
            uint32_t returned = 0;
            const FT_STATUS status = driver_->Read(handle, receiveArea_.data(), asked, &returned);
            if (status != FT_OK) {
                return status;
            }
            returned = std::min(returned, asked);
            if (returned > 0) {
                WriteLogDump(u"Read  :  ", receiveArea_.data(), LogLength(returned));
                std::memcpy(destination, receiveArea_.data(), returned);
                receivedCount = returned;
                return 0;
            }
            // The driver reported bytes but returned none: keep waiting.
        }
        if (TicksSince(clock_->TickCount(), start) >= ReceiveWaitMs) {
            return DEVICE_READ_TIMEOUT;
        }
    }
}

uint32_t CCommunicationFT32::ReadFrame(uint8_t* payloadDestination, uint32_t capacity,
                                       uint32_t& payloadLength, uint32_t timeoutMs) {
    if (payloadDestination == nullptr) {
        capacity = 0;
    }
    assemblyArea_.fill(0);
    uint64_t received = 0;  // every byte that arrived, stored or not
    uint32_t stored = 0;    // the bytes in the assembly area
    uint32_t expected = 0;
    uint32_t lastActivity = clock_->TickCount();
    for (;;) {
        uint32_t count = 0;
        uint32_t status = ReadOnce(pieceArea_.data(), count);
        if (status == 0 && count > 0) {
            const uint32_t room = ReceiveAreaSize - stored;
            const uint32_t kept = std::min(count, room);
            std::memcpy(assemblyArea_.data() + stored, pieceArea_.data(), kept);
            stored += kept;
            received += count;
            lastActivity = clock_->TickCount();
        }
        if (stored >= 2) {
            expected = ReadLe16(assemblyArea_.data());
        }
        // A frame longer than the assembly area cannot complete.
        if (expected != 0 && expected == received && received == stored) {
            break;
        }
        if (TicksSince(clock_->TickCount(), lastActivity) >= timeoutMs) {
            // A piece arrived but no frame completed: still a time-out.
            return status == 0 ? DEVICE_READ_TIMEOUT : status;
        }
    }

    // Frames of 2 to 4 bytes carry no payload.
    uint32_t length = 0;
    if (expected >= FrameOverhead) {
        length = ReadLe16(assemblyArea_.data() + 2);
        if (length > expected - FrameOverhead) {
            return DEVICE_COMMAND_FAILED;
        }
    }
    const uint32_t copied = std::min(length, capacity);
    if (copied > 0) {
        std::memcpy(payloadDestination, assemblyArea_.data() + 4, copied);
    }
    payloadLength = copied;
    return 0;
}

uint32_t CCommunicationFT32::WriteFrame(const uint8_t* frame, uint32_t size) {
    return Write(frame, size);
}

bool CCommunicationFT32::Command(const uint8_t* request, uint32_t size, uint8_t code,
                                 uint32_t minPayload) {
    if (Write(request, size) != 0) {
        return false;
    }
    replyArea_.fill(0);
    uint32_t length = 0;
    if (ReadFrame(replyArea_.data(), CommandReplyAreaSize, length, CommandTimeoutMs) != 0) {
        return false;
    }
    return length >= minPayload && replyArea_[0] == code && replyArea_[1] == 0;
}

uint32_t CCommunicationFT32::GetChipId(uint8_t* chipIdentifier) {
    if (chipIdentifier == nullptr) {
        return DEVICE_COMMAND_FAILED;
    }
    if (!Command(ChipIdRequest, sizeof ChipIdRequest, ChipIdCode, ChipIdPayloadMin)) {
        return DEVICE_COMMAND_FAILED;
    }
    std::memcpy(chipIdentifier, replyArea_.data() + 2, ChipIdSize);
    return 0;
}

uint32_t CCommunicationFT32::GetDeviceInfo(uint8_t* infoRecord) {
    if (infoRecord == nullptr) {
        return DEVICE_COMMAND_FAILED;
    }
    if (!Command(DeviceInfoRequest, sizeof DeviceInfoRequest, DeviceInfoCode,
                 DeviceInfoPayloadMin)) {
        return DEVICE_COMMAND_FAILED;
    }
    // 59 (the record's length after this field) and 50 (the payload bytes that follow).
    infoRecord[0] = 0x3B;
    infoRecord[1] = 0x00;
    infoRecord[2] = 0x32;
    infoRecord[3] = 0x00;
    std::memcpy(infoRecord + 4, replyArea_.data(), DeviceInfoPayloadMin);
    return 0;
}

void CCommunicationFT32::BeginReset(const char16_t* banner) {
    Open();  // usually open already: the driver hands back the same handle
    WriteLog(banner);
    if (isOpen) {
        for (uint8_t latency : LatencySequence) {
            driver_->SetLatencyTimer(handle, latency);
        }
    }
    clock_->Sleep(1);
    Close();
}

bool CCommunicationFT32::ReadReply(uint32_t timeoutMs) {
    uint32_t length = 0;
    return ReadFrame(replyArea_.data(), CommandReplyAreaSize, length, timeoutMs) == 0;
}

uint32_t CCommunicationFT32::ResetExchange(const uint8_t (&frame)[ResetFrameSize]) {
    Write(frame, ResetFrameSize);
    ReadReply(ResetShortReadMs);  // whatever the part says as it restarts; not cleared first
    if (Write(frame, ResetFrameSize) != 0) {
        return DEVICE_COMMAND_FAILED;
    }
    replyArea_.fill(0);
    if (!ReadReply(CommandTimeoutMs)) {
        return DEVICE_COMMAND_FAILED;
    }
    return 0;
}

uint32_t CCommunicationFT32::Reset1A() {
    static constexpr uint8_t Frame[ResetFrameSize] = {0x03, 0x00, 0x1A};
    BeginReset(u"---------------------------  reset 1A");
    WriteLog(u"open 1.");
    const uint32_t opened = Open();
    WriteLog(u"open 2.");
    if (opened != 0) {
        WriteLog(u"open failed.");
        return opened;
    }
    return ResetExchange(Frame);
}

uint32_t CCommunicationFT32::Reset2B() {
    static constexpr uint8_t Frame[ResetFrameSize] = {0x03, 0x00, 0x2B};
    BeginReset(u"---------------------------  reset 2B");
    Open();
    if (ResetExchange(Frame) != 0) {
        return DEVICE_COMMAND_FAILED;
    }
    clock_->Sleep(J2534StartupMs);
    return 0;
}

uint32_t CCommunicationFT32::Reset00() {
    static constexpr uint8_t Frame[ResetFrameSize] = {0x03, 0x00, 0x00};
    BeginReset(u"---------------------------  reset 00");
    Open();
    if (Write(Frame, sizeof Frame) != 0) {
        WriteLog(u"00 fail");
        return DEVICE_COMMAND_FAILED;
    }
    if (Write(Frame, sizeof Frame) != 0) {
        WriteLog(u"00 fail");
        return DEVICE_COMMAND_FAILED;
    }
    replyArea_.fill(0);
    if (!ReadReply(CommandTimeoutMs)) {
        WriteLog(u"00 fail 2");
        return DEVICE_COMMAND_FAILED;
    }
    Close();
    return 0;
}

}  // namespace zolt
