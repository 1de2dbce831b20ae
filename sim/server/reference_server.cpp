#include "sim/server/reference_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/sockios.h>
#endif
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "device/device_frame.h"

namespace zolt::sim {

namespace {

// The few socket calls whose form differs between POSIX systems and Windows Sockets.
#ifdef _WIN32
constexpr intptr_t NoSocket = -1;
constexpr int SendFlags = 0;

SOCKET Native(intptr_t s) {
    return static_cast<SOCKET>(s);
}
intptr_t OpenStreamSocket() {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? NoSocket : static_cast<intptr_t>(s);
}
intptr_t AcceptClient(intptr_t listener) {
    const SOCKET s = ::accept(Native(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? NoSocket : static_cast<intptr_t>(s);
}
void CloseSocket(intptr_t s) {
    ::closesocket(Native(s));
}
int PollOne(intptr_t s, short events, int ms) {
    WSAPOLLFD p{Native(s), events, 0};
    return ::WSAPoll(&p, 1, ms);
}
bool RetryAfterFailure() {
    const int error = ::WSAGetLastError();
    return error == WSAEINTR || error == WSAEWOULDBLOCK;
}
template <typename T>
void SetOption(intptr_t s, int level, int name, const T& value) {
    ::setsockopt(Native(s), level, name, reinterpret_cast<const char*>(&value), sizeof value);
}
long long ReceiveSome(intptr_t s, uint8_t* buffer, std::size_t size) {
    return ::recv(Native(s), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
}
long long SendSome(intptr_t s, const uint8_t* data, std::size_t size) {
    const int n = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
    return ::send(Native(s), reinterpret_cast<const char*>(data), n, SendFlags);
}
// Windows Sockets has no count of unacknowledged bytes: give the peer a moment instead. A reset
// there also throws away what the peer has received but not yet read, so the moment is long
// enough for the peer's receive to take the bytes (50 ms was not, under load).
bool UnsentBytes(intptr_t, int& pending) {
    pending = 0;
    return false;
}
constexpr auto NoCountDeliveryWait = std::chrono::milliseconds(200);
#else
constexpr int SendFlags = MSG_NOSIGNAL;

int Native(intptr_t s) {
    return static_cast<int>(s);
}
intptr_t OpenStreamSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}
intptr_t AcceptClient(intptr_t listener) {
    return ::accept4(Native(listener), nullptr, nullptr, SOCK_CLOEXEC);
}
void CloseSocket(intptr_t s) {
    ::close(Native(s));
}
int PollOne(intptr_t s, short events, int ms) {
    pollfd p{Native(s), events, 0};
    return ::poll(&p, 1, ms);
}
bool RetryAfterFailure() {
    return errno == EINTR || errno == EAGAIN;
}
template <typename T>
void SetOption(intptr_t s, int level, int name, const T& value) {
    ::setsockopt(Native(s), level, name, &value, sizeof value);
}
long long ReceiveSome(intptr_t s, uint8_t* buffer, std::size_t size) {
    return ::recv(Native(s), buffer, size, 0);
}
long long SendSome(intptr_t s, const uint8_t* data, std::size_t size) {
    return ::send(Native(s), data, size, SendFlags);
}
bool UnsentBytes(intptr_t s, int& pending) {
    return ::ioctl(Native(s), SIOCOUTQ, &pending) == 0;
}
constexpr auto NoCountDeliveryWait = std::chrono::milliseconds(50);
#endif

constexpr std::size_t MaxRequestBytes = 1 << 20;  // far above the largest request a client builds
constexpr int PollMs = 20;
constexpr auto RequestReadLimit = std::chrono::seconds(10);
constexpr auto DeliveryWaitLimit = std::chrono::seconds(2);

void PutLe32(std::vector<uint8_t>& out, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
    }
}

void AppendLe32(std::vector<uint8_t>& out, uint32_t value) {
    out.resize(out.size() + 4);
    PutLe32(out, out.size() - 4, value);
}

uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(Digits[b >> 4]);
        out.push_back(Digits[b & 0x0F]);
    }
    return out;
}

// UTF-16 little-endian bytes as ASCII text; other characters become '?'.
std::string WideRecordText(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned unit = bytes[i] | (bytes[i + 1] << 8);
        out.push_back(unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?');
    }
    return out;
}

std::string PrintableText(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        if (b == 0) {
            break;
        }
        out.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
    }
    return out;
}

// The text of an info record: 3B 00 32 00, then the information reply's payload, whose first two
// bytes are its command code and result byte; the interface's text follows them.
std::string InfoRecordText(const std::vector<uint8_t>& record) {
    constexpr std::size_t TextOffset = 6;
    if (record.size() > TextOffset && record[0] == 0x3B && record[1] == 0x00 && record[2] == 0x32 &&
        record[3] == 0x00) {
        return PrintableText(std::vector<uint8_t>(record.begin() + TextOffset, record.end()));
    }
    return PrintableText(record);
}

std::string CodeText(uint8_t code) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%02X", code);
    return buffer;
}

}  // namespace

std::vector<std::vector<uint8_t>> DemoFirmware(uint8_t requestCode, int blocks, int blockSize) {
    blocks = std::max(blocks, 0);
    blockSize = std::clamp(blockSize, MinBlockSize, MaxBlockSize);
    const uint8_t command = requestCode == RequestJ2534Firmware ? DemoJ2534Command : DemoStCommand;
    std::vector<std::vector<uint8_t>> firmware;
    firmware.reserve(static_cast<std::size_t>(blocks));
    std::vector<uint8_t> payload(static_cast<std::size_t>(blockSize) - FrameOverhead);
    for (int index = 0; index < blocks; ++index) {
        for (std::size_t k = 0; k < payload.size(); ++k) {
            payload[k] = static_cast<uint8_t>(requestCode * 31 + index * 7 + k * 13);
        }
        payload[0] = command;
        const uint8_t header[4] = {
            static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>((index >> 8) & 0xFF),
            static_cast<uint8_t>(blocks & 0xFF), static_cast<uint8_t>((blocks >> 8) & 0xFF)};
        for (std::size_t k = 0; k < sizeof header && k + 1 < payload.size(); ++k) {
            payload[k + 1] = header[k];
        }
        firmware.push_back(BuildDeviceFrame(payload));
    }
    return firmware;
}

bool SplitFrames(const std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& frames,
                 std::string& error) {
    frames.clear();
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 2) {
            error = "a frame length is cut off at byte " + std::to_string(at);
            return false;
        }
        const std::size_t length = ReadLe16(bytes.data() + at);
        if (length < static_cast<std::size_t>(MinBlockSize) ||
            length > static_cast<std::size_t>(MaxBlockSize)) {
            error = "the frame at byte " + std::to_string(at) + " has length " +
                    std::to_string(length) + " (must be " + std::to_string(MinBlockSize) + " to " +
                    std::to_string(MaxBlockSize) + ")";
            return false;
        }
        if (length > bytes.size() - at) {
            error = "the frame at byte " + std::to_string(at) + " runs past the end";
            return false;
        }
        std::vector<uint8_t> frame(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        if (!ParseDeviceFrame(frame).ok) {
            error = "the frame at byte " + std::to_string(at) + " is malformed";
            return false;
        }
        frames.push_back(std::move(frame));
        at += length;
    }
    return true;
}

std::vector<uint8_t> BuildReply(const std::vector<std::vector<uint8_t>>& records) {
    std::vector<uint8_t> out;
    AppendLe32(out, 0);
    AppendLe32(out, static_cast<uint32_t>(records.size()));
    for (const auto& r : records) {
        AppendLe32(out, static_cast<uint32_t>(r.size()));
    }
    for (const auto& r : records) {
        out.insert(out.end(), r.begin(), r.end());
    }
    PutLe32(out, 0, static_cast<uint32_t>(out.size()));
    return out;
}

std::optional<uint64_t> RecordsEnd(const uint8_t* lengths, uint32_t count, uint64_t start,
                                   uint64_t limit) {
    // Each length is below 2^32 and the sum stops at `limit`, so 64 bits never wrap, whatever
    // the width of size_t.
    uint64_t end = start;
    for (uint32_t i = 0; i < count; ++i) {
        end += GetLe32(lengths + 4 * static_cast<std::size_t>(i));
        if (end > limit) {
            return std::nullopt;
        }
    }
    return end;
}

ParsedRequest ParseRequest(const std::vector<uint8_t>& bytes) {
    ParsedRequest parsed;
    if (bytes.size() < 13) {
        parsed.error = "only " + std::to_string(bytes.size()) + " bytes";
        return parsed;
    }
    parsed.totalLength = GetLe32(bytes.data());
    parsed.resumeOffset = GetLe32(bytes.data() + 4);
    const uint32_t count = GetLe32(bytes.data() + 8);
    if (parsed.totalLength != bytes.size()) {
        parsed.error = "total length " + std::to_string(parsed.totalLength) + " but " +
                       std::to_string(bytes.size()) + " bytes received";
        return parsed;
    }
    if (bytes.back() != 0) {
        parsed.error = "no terminating zero byte";
        return parsed;
    }
    const std::size_t dataStart = 12 + 4 * static_cast<std::size_t>(count);
    if (count > (bytes.size() - 13) / 4) {
        parsed.error = "record count " + std::to_string(count) + " does not fit";
        return parsed;
    }
    const std::optional<uint64_t> records =
        RecordsEnd(bytes.data() + 12, count, dataStart, bytes.size() - 1);
    if (!records) {
        parsed.error = "record lengths run past the end";
        return parsed;
    }
    const auto end = static_cast<std::size_t>(*records);
    if (end != bytes.size() - 1) {
        parsed.error = "record lengths add up to " + std::to_string(end - dataStart) + " of " +
                       std::to_string(bytes.size() - 1 - dataStart) + " data bytes";
        return parsed;
    }
    std::size_t at = dataStart;
    for (uint32_t i = 0; i < count; ++i) {
        const std::size_t length = GetLe32(bytes.data() + 12 + 4 * i);
        parsed.records.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    parsed.ok = true;
    return parsed;
}

ReferenceServer::ReferenceServer(ReferenceServerOptions options) : options_(std::move(options)) {}

ReferenceServer::~ReferenceServer() {
    Stop();
}

bool ReferenceServer::Start(const std::string& address, uint16_t port) {
    if (listener_ >= 0) {
        return false;
    }
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1) {
        return false;
    }
#ifdef _WIN32
    WSADATA data{};
    if (!socketsStarted_) {
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            return false;
        }
        socketsStarted_ = true;
    }
#endif
    const intptr_t fd = OpenStreamSocket();
    if (fd < 0) {
        return false;
    }
#ifndef _WIN32
    // (On Windows this option would let another program take the port over.)
    const int on = 1;
    SetOption(fd, SOL_SOCKET, SO_REUSEADDR, on);
#endif
    socklen_t size = sizeof at;
    if (::bind(Native(fd), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(Native(fd), 16) != 0 ||
        ::getsockname(Native(fd), reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        CloseSocket(fd);
        return false;
    }
    listener_ = fd;
    port_ = ntohs(at.sin_port);
    stop_ = false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void ReferenceServer::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ >= 0) {
        CloseSocket(listener_);
        listener_ = -1;
    }
#ifdef _WIN32
    if (socketsStarted_) {
        ::WSACleanup();
        socketsStarted_ = false;
    }
#endif
}

std::vector<std::vector<uint8_t>> ReferenceServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ReferenceServer::Report(const std::string& line) const {
    if (options_.report) {
        options_.report(line);
    }
}

void ReferenceServer::Serve() {
    int transaction = 0;
    while (!stop_) {
        const int ready = PollOne(listener_, POLLIN, PollMs);
        if (ready <= 0) {
            continue;
        }
        const intptr_t client = AcceptClient(listener_);
        if (client < 0) {
            continue;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        const int number = transaction++;
        workers_.push_back({std::thread([this, client, number, done] {
                                Handle(client, number);
                                *done = true;
                            }),
                            done});
        ReapWorkers(false);
        if (options_.maxTransactions >= 0 && transaction >= options_.maxTransactions) {
            // Later connects are refused.
            Report("stopped listening after " + std::to_string(transaction) + " transactions");
            CloseSocket(listener_);
            listener_ = -1;
            break;
        }
    }
    while (!stop_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(PollMs));
        ReapWorkers(false);
    }
    ReapWorkers(true);
}

void ReferenceServer::ReapWorkers(bool all) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (all || *it->done) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

bool ReferenceServer::ReadRequest(Socket client, std::vector<uint8_t>& request) {
    const auto deadline = std::chrono::steady_clock::now() + RequestReadLimit;
    uint8_t buffer[4096];
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        if (PollOne(client, POLLIN, PollMs) <= 0) {
            continue;
        }
        const long long n = ReceiveSome(client, buffer, sizeof buffer);
        if (n == 0) {
            return true;  // the client closed its sending side: the request is complete
        }
        if (n < 0) {
            if (RetryAfterFailure()) {
                continue;
            }
            return false;
        }
        if (request.size() + static_cast<std::size_t>(n) > MaxRequestBytes) {
            Report("request larger than " + std::to_string(MaxRequestBytes) + " bytes, dropped");
            return false;
        }
        request.insert(request.end(), buffer, buffer + n);
    }
    return false;
}

bool ReferenceServer::SendAll(Socket client, const uint8_t* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size && !stop_) {
        if (PollOne(client, POLLOUT, PollMs) <= 0) {
            continue;
        }
        const long long n = SendSome(client, data + sent, size - sent);
        if (n < 0) {
            if (RetryAfterFailure()) {
                continue;
            }
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return sent == size;
}

void ReferenceServer::StaySilent() {
    // The client has closed its sending side already, so its going away cannot be seen from here:
    // hold the connection for the silence time, or until the server stops.
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.silenceMs);
    while (!stop_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(PollMs));
    }
}

void ReferenceServer::WaitUntilDelivered(Socket client) {
    // A reset discards what the peer has not acknowledged yet: wait until it has all of it.
    const auto deadline = std::chrono::steady_clock::now() + DeliveryWaitLimit;
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        int pending = 0;
        if (!UnsentBytes(client, pending)) {
            std::this_thread::sleep_for(NoCountDeliveryWait);
            return;
        }
        if (pending == 0) {
            return;
        }
        // Short naps: over loopback the last bytes are acknowledged within microseconds.
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

std::vector<uint8_t> ReferenceServer::ReplyFor(const ParsedRequest& request) const {
    std::vector<uint8_t> reply;
    if (options_.fixedReply) {
        reply = *options_.fixedReply;
    } else {
        std::vector<std::vector<uint8_t>> answer = AnswerRecords(request);
        if (options_.lengthAbove1100) {
            answer.emplace_back(static_cast<std::size_t>(MaxBlockSize) + 1, uint8_t{0x5A});
        }
        reply = BuildReply(answer);
        if (reply.size() < 13) {
            reply.resize(13, 0);  // the shortest reply a client takes: no records
            PutLe32(reply, 0, static_cast<uint32_t>(reply.size()));
        }
    }
    if (reply.size() < 8) {
        return reply;
    }
    const uint32_t count = GetLe32(reply.data() + 4);
    if (options_.brokenLengthTable && count > 0 &&
        8 + 4 * static_cast<uint64_t>(count) <= reply.size()) {
        // The table stays, the last record's bytes go: the lengths claim more than there is.
        const std::size_t tableEnd = 8 + 4 * static_cast<std::size_t>(count);
        const std::size_t last = GetLe32(reply.data() + tableEnd - 4);
        reply.resize(reply.size() - std::min(last, reply.size() - tableEnd));
        PutLe32(reply, 0, static_cast<uint32_t>(reply.size()));
    }
    if (options_.countAbove40000) {
        PutLe32(reply, 4, 40'001);
    }
    if (options_.padTo >= 0 && static_cast<std::size_t>(options_.padTo) > reply.size()) {
        reply.resize(static_cast<std::size_t>(options_.padTo), 0);
        PutLe32(reply, 0, static_cast<uint32_t>(reply.size()));
    }
    if (options_.totalLengthDelta != 0) {
        PutLe32(reply, 0, GetLe32(reply.data()) + static_cast<uint32_t>(options_.totalLengthDelta));
    }
    return reply;
}

std::shared_ptr<const std::vector<uint8_t>> ReferenceServer::PreparedReplyFor(
    const ParsedRequest& request) {
    // The reply depends on the request's records alone, so a repeat (a resume) is served from the
    // reply built for the first, as a real server would serve a prepared file.
    std::lock_guard lock(replyMutex_);
    if (!preparedReply_ || preparedFor_ != request.records) {
        preparedReply_ = std::make_shared<const std::vector<uint8_t>>(ReplyFor(request));
        preparedFor_ = request.records;
    }
    return preparedReply_;
}

std::vector<std::vector<uint8_t>> ReferenceServer::AnswerRecords(
    const ParsedRequest& request) const {
    const auto& records = request.records;
    const std::size_t callerRecords = records.size() >= 2 ? records.size() - 2 : 0;
    uint8_t code = 0;
    if (callerRecords >= 1 && records[0].size() == 2 && records[0][0] == 0x0A) {
        code = records[0][1];
    }
    if (code == RequestStFirmware) {
        return options_.stFirmware;
    }
    if (code == RequestJ2534Firmware) {
        return options_.j2534Firmware;
    }
    if (code != RequestDeviceInfo) {
        return {};
    }
    std::string text = "ZOLT reference update server\r\n";
    text += "Chip ID: " + (callerRecords >= 2 ? Hex(records[1]) : std::string("not read"));
    text += "\r\n";
    text += "Device info: " +
            (callerRecords >= 3 ? InfoRecordText(records[2]) : std::string("not read"));
    text += "\r\n";
    text += "Computer: " + WideRecordText(records[records.size() - 2]) + "\r\n";
    text += "Program: " + WideRecordText(records[records.size() - 1]) + "\r\n";
    text += "Firmware: st " + std::to_string(options_.stFirmware.size()) + " blocks, j2534 " +
            std::to_string(options_.j2534Firmware.size()) + " blocks";
    std::vector<uint8_t> record(text.begin(), text.end());
    if (record.size() > static_cast<std::size_t>(MaxBlockSize) - 1) {
        record.resize(static_cast<std::size_t>(MaxBlockSize) - 1);
    }
    if (options_.infoZeroByte) {
        record.push_back(0);
    }
    return {std::move(record)};
}

void ReferenceServer::Handle(Socket client, int transaction) {
    const int on = 1;
    SetOption(client, IPPROTO_TCP, TCP_NODELAY, on);
    const std::string name = "transaction " + std::to_string(transaction + 1) + ": ";

    std::vector<uint8_t> request;
    if (!ReadRequest(client, request)) {
        Report(name + "no complete request, closed");
        CloseSocket(client);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    const ParsedRequest parsed = ParseRequest(request);
    if (!parsed.ok) {
        Report(name + "received " + std::to_string(request.size()) +
               " bytes, not a valid request (" + parsed.error + "), closed without answer");
        CloseSocket(client);
        return;
    }
    {
        std::string line = name + "received " + std::to_string(request.size()) + " bytes, " +
                           std::to_string(parsed.records.size()) + " records, resume offset " +
                           std::to_string(parsed.resumeOffset);
        if (!parsed.records.empty() && parsed.records[0].size() == 2) {
            line += ", request code " + CodeText(parsed.records[0][1]);
        }
        Report(line);
    }

    if (options_.silent) {
        Report(name + "silent (fault)");
        StaySilent();
        CloseSocket(client);
        return;
    }
    if (options_.closeWithoutAnswer) {
        Report(name + "closed without answer (fault)");
        CloseSocket(client);
        return;
    }

    const std::shared_ptr<const std::vector<uint8_t>> prepared = PreparedReplyFor(parsed);
    const std::vector<uint8_t>& reply = *prepared;
    const std::size_t fullSize = reply.size();
    std::size_t end = fullSize;
    if (options_.truncateTo >= 0 && static_cast<std::size_t>(options_.truncateTo) < end) {
        end = static_cast<std::size_t>(options_.truncateTo);
    }
    const std::size_t from =
        options_.ignoreResumeOffset ? 0 : std::min<std::size_t>(parsed.resumeOffset, end);
    const uint8_t* data = reply.data() + from;
    std::size_t size = end - from;

    const bool breakOff =
        options_.breakOffAfter >= 0 && transaction < options_.breakOffTransactions;
    if (breakOff) {
        size = std::min<std::size_t>(size, static_cast<std::size_t>(options_.breakOffAfter));
    }

    bool sent = true;
    const int pieces = std::max(options_.chunks, 1);
    std::size_t done = 0;
    for (int piece = 0; piece < pieces && sent; ++piece) {
        const std::size_t end = piece + 1 == pieces ? size : size * (piece + 1) / pieces;
        if (piece > 0) {
            if (options_.awaitClient) {
                options_.awaitClient(transaction, done);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.chunkPauseMs));
        }
        sent = SendAll(client, data + done, end - done);
        done = end;
    }
    Report(name + "answered " + std::to_string(done) + " of " + std::to_string(fullSize) +
           " reply bytes from offset " + std::to_string(from) + (sent ? "" : " (send failed)"));

    if (breakOff) {
        if (options_.breakOffMode == BreakOff::Reset) {
            if (options_.awaitClient) {
                options_.awaitClient(transaction, done);
            } else {
                WaitUntilDelivered(client);
            }
            const linger reset{1, 0};
            SetOption(client, SOL_SOCKET, SO_LINGER, reset);
            Report(name + "connection reset after " + std::to_string(done) + " bytes (fault)");
        } else {
            Report(name + "silent after " + std::to_string(done) + " bytes (fault)");
            StaySilent();
        }
    }
    CloseSocket(client);
}

}  // namespace zolt::sim
