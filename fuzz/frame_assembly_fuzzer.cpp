// Frame assembly: an arbitrary device byte stream, delivered in pieces of arbitrary sizes by the
// simulated interface, into ReadFrame, GetChipId or GetDeviceInfo.
//
// Input: mode (ReadFrame, GetChipId, GetDeviceInfo) | capacity (16 bits) | time-out choice |
//        piece interval (in clock steps, up to 47) | k | k piece sizes (16 bits each; the last
//        repeats, grown so that there are at most 64 pieces) | the device's byte stream
//
// Checked: no access outside any area (ASan: every destination is a heap block of exactly its
// size); every status one of those documented; the payload length never above the capacity and not
// written on failure; nothing written past the payload; and, whenever the pieces are far enough
// apart that each is read on its own, the outcome is exactly the one the stream describes.
#include <algorithm>
#include <cstring>
#include <memory>

#include "device/communication_ft32.h"
#include "device/device_frame.h"
#include "fuzz/fuzz_support.h"
#include "platform/clock.h"
#include "sim/interface/simulated_interface.h"

namespace zolt {
namespace {

using fuzz::Check;

constexpr uint8_t ChipIdRequest[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
constexpr uint32_t Timeouts[] = {1000, 5500, 20000, 0, 1, 100, 6000, 12000};
constexpr uint32_t MaxCapacity = 1200;
constexpr uint8_t Untouched = 0xA5;
constexpr uint32_t Unwritten = 0xDEADBEEF;
// A clock read moves time on by this much: coarse, so that a wait of 20 s costs some 200 reads,
// yet fine enough against the intervals between pieces below.
constexpr uint32_t ClockStepMs = 100;
// Pieces at most this many steps apart: well inside the channel's 5.5 s wait for a piece.
constexpr uint32_t MostIntervalSteps = 47;
constexpr std::size_t MostPieces = 64;

enum class Mode { ReadFrame, ChipId, DeviceInfo };

// What the stream says, read the way the channel must read it.
struct StreamModel {
    std::size_t expected = 0;       // the frame length field; 0 with fewer than 2 bytes
    std::vector<std::size_t> ends;  // where the pieces end, in order
    bool completes = false;         // a piece ends exactly at a frame length the area can hold
    bool payloadFits = false;       // ... and the payload length fits the frame
    std::size_t payloadField = 0;   // the payload length field (frames of 5 bytes or more)
};

bool EndsAt(const StreamModel& m, std::size_t at) {
    return std::binary_search(m.ends.begin(), m.ends.end(), at);
}

StreamModel Model(const std::vector<uint8_t>& stream, const std::vector<uint32_t>& sizes) {
    StreamModel m;
    std::size_t end = 0;
    for (std::size_t piece = 0; end < stream.size(); ++piece) {
        const std::size_t size =
            sizes.empty() ? stream.size()
                          : std::max<uint32_t>(sizes[std::min(piece, sizes.size() - 1)], 1);
        end = std::min(end + size, stream.size());
        m.ends.push_back(end);
    }
    if (stream.size() >= 2) {
        m.expected = ReadLe16(stream.data());
    }
    m.completes = m.expected >= 2 && m.expected <= ReceiveAreaSize && EndsAt(m, m.expected);
    if (m.expected >= FrameOverhead && stream.size() >= 4) {
        m.payloadField = ReadLe16(stream.data() + 2);
        m.payloadFits = m.payloadField <= m.expected - FrameOverhead;
    } else {
        m.payloadFits = true;  // frames of 2 to 4 bytes carry no payload
    }
    return m;
}

// At most MostPieces pieces, each waited for: the last size, which repeats, grows when the
// stream would need more.
void LimitPieces(std::vector<uint32_t>& sizes, std::size_t streamSize) {
    if (sizes.empty()) {
        return;
    }
    std::size_t covered = 0;
    for (std::size_t k = 0; k + 1 < sizes.size(); ++k) {
        covered += std::max<uint32_t>(sizes[k], 1);
    }
    if (covered < streamSize) {
        const std::size_t left = MostPieces - (sizes.size() - 1);
        const std::size_t need = (streamSize - covered + left - 1) / left;
        sizes.back() = std::max<uint32_t>({sizes.back(), 1, static_cast<uint32_t>(need)});
    }
}

// True when every piece is read by a ReadOnce of its own: the pieces are well apart in time and
// each fits the receive area.
bool PiecesReadOneByOne(uint32_t intervalMs, const std::vector<uint32_t>& sizes) {
    // From one piece's poll to the next poll the channel reads the clock about five times.
    if (intervalMs < 12 * ClockStepMs) {
        return false;
    }
    return std::all_of(sizes.begin(), sizes.end(), [](uint32_t s) { return s <= ReceiveAreaSize; });
}

void CheckReadFrame(CCommunicationFT32& channel, const std::vector<uint8_t>& stream,
                    const StreamModel& m, uint32_t capacity, uint32_t timeoutMs, bool exact) {
    channel.Write(ChipIdRequest, sizeof ChipIdRequest);
    // A heap block of exactly `capacity` bytes, so that ASan sees any byte past it.
    const std::unique_ptr<uint8_t[]> destination(new uint8_t[capacity]);
    std::memset(destination.get(), Untouched, capacity);
    uint32_t length = Unwritten;
    const uint32_t status = channel.ReadFrame(destination.get(), capacity, length, timeoutMs);

    Check(status == 0 || status == DEVICE_COMMAND_FAILED || status == DEVICE_READ_TIMEOUT,
          "ReadFrame returned an undocumented status");
    if (status != 0) {
        Check(length == Unwritten, "ReadFrame wrote the payload length on failure");
        Check(std::all_of(destination.get(), destination.get() + capacity,
                          [](uint8_t b) { return b == Untouched; }),
              "ReadFrame wrote the destination on failure");
    }
    if (status == 0 || status == DEVICE_COMMAND_FAILED) {
        // A frame completed: its length is a piece end (or the end of one full receive area).
        Check(m.expected >= 2 && m.expected <= ReceiveAreaSize && m.expected <= stream.size(),
              "a frame completed that the stream does not hold");
        Check(EndsAt(m, m.expected) || m.expected == ReceiveAreaSize,
              "a frame completed where no piece ended");
        Check(m.payloadFits == (status == 0), "the payload length check went wrong");
    }
    if (status == 0) {
        Check(length <= capacity, "payload length above the capacity");
        const std::size_t copied =
            m.expected >= FrameOverhead ? std::min<std::size_t>(m.payloadField, capacity) : 0;
        Check(length == copied, "payload length is not the payload cut to the capacity");
        Check(copied == 0 ||
                  std::equal(destination.get(), destination.get() + copied, stream.begin() + 4),
              "payload bytes differ from the stream");
        Check(std::all_of(destination.get() + copied, destination.get() + capacity,
                          [](uint8_t b) { return b == Untouched; }),
              "bytes written past the payload");
    }
    if (exact && timeoutMs >= 12 * ClockStepMs) {
        const uint32_t wanted = !m.completes    ? DEVICE_READ_TIMEOUT
                                : m.payloadFits ? 0u
                                                : DEVICE_COMMAND_FAILED;
        Check(status == wanted, "ReadFrame's outcome differs from what the stream describes");
    }
}

void CheckChipId(CCommunicationFT32& channel, const std::vector<uint8_t>& stream,
                 const StreamModel& m, bool exact) {
    const std::unique_ptr<uint8_t[]> chipId(new uint8_t[ChipIdSize]);
    std::memset(chipId.get(), Untouched, ChipIdSize);
    const uint32_t status = channel.GetChipId(chipId.get());
    Check(status == 0 || status == DEVICE_COMMAND_FAILED, "GetChipId returned another status");
    const bool acceptable = m.completes && m.payloadFits && m.expected >= FrameOverhead &&
                            m.payloadField >= 2 + ChipIdSize && stream[4] == 0xD1 &&
                            stream[5] == 0x00;
    if (status == 0) {
        Check(acceptable, "GetChipId accepted a reply it must refuse");
        Check(std::equal(chipId.get(), chipId.get() + ChipIdSize, stream.begin() + 6),
              "chip identifier differs from the reply");
    } else {
        Check(std::all_of(chipId.get(), chipId.get() + ChipIdSize,
                          [](uint8_t b) { return b == Untouched; }),
              "GetChipId wrote the identifier on failure");
    }
    if (exact) {
        Check((status == 0) == acceptable, "GetChipId refused a reply it must accept");
    }
}

void CheckDeviceInfo(CCommunicationFT32& channel, const std::vector<uint8_t>& stream,
                     const StreamModel& m, bool exact) {
    const std::unique_ptr<uint8_t[]> record(new uint8_t[InfoRecordSize]);
    std::memset(record.get(), Untouched, InfoRecordSize);
    const uint32_t status = channel.GetDeviceInfo(record.get());
    Check(status == 0 || status == DEVICE_COMMAND_FAILED, "GetDeviceInfo returned another status");
    const bool acceptable = m.completes && m.payloadFits && m.expected >= FrameOverhead &&
                            m.payloadField >= 50 && stream[4] == 0xBE && stream[5] == 0x00;
    if (status == 0) {
        Check(acceptable, "GetDeviceInfo accepted a reply it must refuse");
        const uint8_t header[] = {0x3B, 0x00, 0x32, 0x00};
        Check(std::equal(header, header + 4, record.get()), "info record header wrong");
        Check(std::equal(record.get() + 4, record.get() + 54, stream.begin() + 4),
              "info record differs from the reply");
        Check(std::all_of(record.get() + InfoRecordFilled, record.get() + InfoRecordSize,
                          [](uint8_t b) { return b == Untouched; }),
              "GetDeviceInfo wrote past byte 53");
    } else {
        Check(std::all_of(record.get(), record.get() + InfoRecordSize,
                          [](uint8_t b) { return b == Untouched; }),
              "GetDeviceInfo wrote the record on failure");
    }
    if (exact) {
        Check((status == 0) == acceptable, "GetDeviceInfo refused a reply it must accept");
    }
}

}  // namespace
}  // namespace zolt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace zolt;
    static fuzz::QuietLog log;
    log.Clear();

    fuzz::InputReader in(data, size);
    const auto mode = static_cast<Mode>(in.Byte() % 3);
    const uint32_t capacity = in.Le16() % (MaxCapacity + 1);
    const uint32_t timeoutMs = Timeouts[in.Byte() % std::size(Timeouts)];
    const uint32_t intervalMs = ClockStepMs * (in.Byte() % (MostIntervalSteps + 1));
    std::vector<uint32_t> sizes(in.Byte() % 16);
    for (auto& s : sizes) {
        s = in.Le16();
    }
    const std::vector<uint8_t> stream = in.Rest();
    LimitPieces(sizes, stream.size());

    sim::SimulatedInterfaceOptions options;
    const sim::Request on =
        mode == Mode::DeviceInfo ? sim::Request::DeviceInfo : sim::Request::ChipId;
    options.faults.push_back({sim::Fault::Raw, on, 0, stream});
    options.replyPieceSizes = sizes;
    options.pieceIntervalMs = intervalMs;
    VirtualClock clock(0, ClockStepMs);
    sim::SimulatedInterface device(clock, options);
    CCommunicationFT32 channel(device, clock);
    Check(channel.Open() == 0, "the simulated interface did not open");

    const StreamModel model = Model(stream, sizes);
    const bool exact = sizes.empty() || PiecesReadOneByOne(intervalMs, sizes);
    // A whole stream in one piece larger than the receive area is read in several.
    const bool oneByOne = exact && (!sizes.empty() || stream.size() <= ReceiveAreaSize);
    switch (mode) {
        case Mode::ReadFrame:
            CheckReadFrame(channel, stream, model, capacity, timeoutMs, oneByOne);
            break;
        case Mode::ChipId:
            CheckChipId(channel, stream, model, oneByOne);
            break;
        case Mode::DeviceInfo:
            CheckDeviceInfo(channel, stream, model, oneByOne);
            break;
    }
    channel.Close();
    Check(!device.HandleOpen(), "the channel left the handle open");
    return 0;
}
