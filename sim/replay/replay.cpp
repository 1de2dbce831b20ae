#include "sim/replay/replay.h"

#include <algorithm>
#include <cstring>

namespace zolt::sim {

namespace {

constexpr uintptr_t ReplayHandle = 0x7E900;
// What the sockets answer once the replay has stopped: the network is down.
constexpr int32_t StoppedError = SocketErrors::NetworkDown;

std::string Hex(const uint8_t* data, std::size_t size, std::size_t most = 16) {
    static const char Digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < size && i < most; ++i) {
        out += i == 0 ? "" : " ";
        out += Digits[data[i] >> 4];
        out += Digits[data[i] & 0x0F];
    }
    return size > most ? out + " ..." : out;
}

}  // namespace

void ReplayVerdict::Stop(std::string why) {
    std::lock_guard lock(mutex_);
    if (why_.empty()) {
        why_ = std::move(why);
    }
}

bool ReplayVerdict::Stopped() const {
    std::lock_guard lock(mutex_);
    return !why_.empty();
}

std::string ReplayVerdict::Why() const {
    std::lock_guard lock(mutex_);
    return why_;
}

void ReplayVerdict::CountWrite() {
    std::lock_guard lock(mutex_);
    ++writes_;
}

void ReplayVerdict::CountTransaction() {
    std::lock_guard lock(mutex_);
    ++transactions_;
}

uint64_t ReplayVerdict::Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

uint64_t ReplayVerdict::Transactions() const {
    std::lock_guard lock(mutex_);
    return transactions_;
}

ReplayInterface::ReplayInterface(Clock& clock, const logread::ReplayScript& script,
                                 ReplayVerdict& verdict)
    : clock_(&clock), script_(&script), verdict_(&verdict) {}

bool ReplayInterface::Reachable() const {
    return script_->attached && !gone_ && !verdict_->Stopped();
}

FT_STATUS ReplayInterface::ListDevices(uint32_t* count) {
    std::lock_guard lock(mutex_);
    if (count != nullptr) {
        *count = Reachable() ? 1 : 0;
    }
    return FT_OK;
}

FT_STATUS ReplayInterface::OpenEx(const char*, FT_HANDLE* handle) {
    std::lock_guard lock(mutex_);
    if (!Reachable()) {
        return FT_DEVICE_NOT_FOUND;
    }
    open_ = true;
    if (handle != nullptr) {
        *handle = reinterpret_cast<FT_HANDLE>(ReplayHandle);
    }
    return FT_OK;
}

FT_STATUS ReplayInterface::SetBaudRate(FT_HANDLE, uint32_t) {
    return FT_OK;
}

FT_STATUS ReplayInterface::SetDataCharacteristics(FT_HANDLE, uint8_t, uint8_t, uint8_t) {
    return FT_OK;
}

FT_STATUS ReplayInterface::SetLatencyTimer(FT_HANDLE, uint8_t) {
    return FT_OK;
}

FT_STATUS ReplayInterface::Write(FT_HANDLE, const void* data, uint32_t size, uint32_t* written) {
    std::lock_guard lock(mutex_);
    if (written != nullptr) {
        *written = 0;
    }
    if (!open_ || !Reachable()) {
        return FT_IO_ERROR;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    const std::string wrote = Hex(bytes, size);
    if (next_ >= script_->writes.size()) {
        verdict_->Stop("write " + std::to_string(next_ + 1) + " (" + wrote +
                       ") goes beyond the recording, whose writes end at line " +
                       std::to_string(script_->run.lastLine));
        return FT_IO_ERROR;
    }
    const logread::ReplayWrite& w = script_->writes[next_];
    const bool same =
        w.bytesCut ? size >= w.bytes.size() && std::equal(w.bytes.begin(), w.bytes.end(), bytes)
                   : size == w.bytes.size() && std::equal(w.bytes.begin(), w.bytes.end(), bytes);
    if (!same) {
        verdict_->Stop("write " + std::to_string(next_ + 1) + " differs from line " +
                       std::to_string(w.line) + " of the log: the program wrote " + wrote +
                       ", the log has " + Hex(w.bytes.data(), w.bytes.size()));
        return FT_IO_ERROR;
    }
    ++next_;
    verdict_->CountWrite();
    pending_.clear();
    uint32_t at = clock_->TickCount();
    for (const logread::ReplayPiece& piece : w.reads) {
        at += piece.delayMs;
        pending_.push_back(Pending{piece.bytes, at});
    }
    if (written != nullptr) {
        *written = size;
    }
    return w.fails ? FT_IO_ERROR : FT_OK;
}

FT_STATUS ReplayInterface::GetStatus(FT_HANDLE, uint32_t* rx, uint32_t* tx, uint32_t* event) {
    std::lock_guard lock(mutex_);
    if (tx != nullptr) {
        *tx = 0;
    }
    if (event != nullptr) {
        *event = 0;
    }
    uint32_t waiting = 0;
    if (open_ && Reachable() && !pending_.empty()) {
        const uint32_t now = clock_->TickCount();
        // Ready once its time has come (the difference read as signed, across a wrap).
        if (static_cast<int32_t>(now - pending_.front().readyAt) >= 0) {
            waiting = static_cast<uint32_t>(pending_.front().bytes.size());
        }
    }
    if (rx != nullptr) {
        *rx = waiting;
    }
    return open_ ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS ReplayInterface::Read(FT_HANDLE, void* data, uint32_t size, uint32_t* returned) {
    std::lock_guard lock(mutex_);
    if (returned != nullptr) {
        *returned = 0;
    }
    if (!open_ || !Reachable()) {
        return FT_IO_ERROR;
    }
    if (pending_.empty() || data == nullptr) {
        return FT_OK;
    }
    std::vector<uint8_t>& piece = pending_.front().bytes;
    const std::size_t n = std::min<std::size_t>(size, piece.size());
    std::memcpy(data, piece.data(), n);
    piece.erase(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    if (piece.empty()) {
        pending_.pop_front();
    }
    if (returned != nullptr) {
        *returned = static_cast<uint32_t>(n);
    }
    return FT_OK;
}

FT_STATUS ReplayInterface::Close(FT_HANDLE) {
    std::lock_guard lock(mutex_);
    open_ = false;
    pending_.clear();
    // Recorded: the interface could not be opened again from this point on.
    if (std::find(script_->goneAfter.begin(), script_->goneAfter.end(), next_) !=
        script_->goneAfter.end()) {
        gone_ = true;
    }
    return FT_OK;
}

std::size_t ReplayInterface::WritesLeft() const {
    std::lock_guard lock(mutex_);
    // Once the interface had gone, the recorded writes went to a closed channel: the program
    // logs them, but no driver sees them.
    return gone_ ? 0 : script_->writes.size() - next_;
}

ReplaySockets::ReplaySockets(const logread::ReplayScript& script, ReplayVerdict& verdict)
    : script_(&script), verdict_(&verdict), cursor_(script.exchanges.size(), 0) {}

const logread::ReplayTransaction* ReplaySockets::Current() const {
    return current_;
}

bool ReplaySockets::FailsAt(logread::TransactionStep step) {
    if (verdict_->Stopped() || current_ == nullptr) {
        lastError_ = StoppedError;
        return true;
    }
    if (current_->failsAt == step) {
        lastError_ = current_->error;
        return true;
    }
    return false;
}

int32_t ReplaySockets::Startup() {
    std::lock_guard lock(mutex_);
    current_ = nullptr;
    if (verdict_->Stopped()) {
        return StoppedError;
    }
    if (next_ >= script_->transactions.size()) {
        verdict_->Stop("server transaction " + std::to_string(next_ + 1) +
                       " goes beyond the recording, which has " +
                       std::to_string(script_->transactions.size()));
        return StoppedError;
    }
    current_ = &script_->transactions[next_++];
    piece_ = 0;
    verdict_->CountTransaction();
    if (current_->failsAt == logread::TransactionStep::Startup) {
        return current_->error;
    }
    return 0;
}

SocketHandle ReplaySockets::OpenTcpSocket() {
    std::lock_guard lock(mutex_);
    return FailsAt(logread::TransactionStep::Socket) ? InvalidSocket : SocketHandle{7};
}

bool ReplaySockets::ResolveHost(const std::string&, HostEntry& entry) {
    std::lock_guard lock(mutex_);
    if (FailsAt(logread::TransactionStep::Resolve)) {
        return false;
    }
    entry = HostEntry{};
    const Ipv4Address address = TextToIpv4(current_->address);
    if (address != NoIpv4Address) {
        entry.addresses.push_back(address);
    }
    return true;
}

int32_t ReplaySockets::Connect(SocketHandle, Ipv4Address, uint16_t) {
    std::lock_guard lock(mutex_);
    return FailsAt(logread::TransactionStep::Connect) ? SocketError : 0;
}

int32_t ReplaySockets::Send(SocketHandle, const uint8_t*, int32_t length) {
    std::lock_guard lock(mutex_);
    return FailsAt(logread::TransactionStep::Send) ? SocketError : length;
}

int32_t ReplaySockets::ShutdownSend(SocketHandle) {
    std::lock_guard lock(mutex_);
    return FailsAt(logread::TransactionStep::Shutdown) ? SocketError : 0;
}

int32_t ReplaySockets::SetReceiveTimeout(SocketHandle, uint32_t) {
    return 0;
}

int32_t ReplaySockets::Receive(SocketHandle, uint8_t* buffer, int32_t capacity) {
    std::lock_guard lock(mutex_);
    if (verdict_->Stopped() || current_ == nullptr) {
        lastError_ = StoppedError;
        return SocketError;
    }
    if (piece_ < current_->pieces.size() && capacity > 0) {
        const auto exchange = static_cast<std::size_t>(current_->exchange);
        const std::vector<uint8_t>& reply = script_->exchanges[exchange].reply;
        std::size_t& at = cursor_[exchange];
        const auto n =
            static_cast<std::size_t>(std::min<int64_t>(current_->pieces[piece_], capacity));
        for (std::size_t i = 0; i < n; ++i, ++at) {
            buffer[i] = at < reply.size() ? reply[at] : 0;
        }
        ++piece_;
        return static_cast<int32_t>(n);
    }
    if (current_->endError != 0) {
        lastError_ = current_->endError;
        return SocketError;
    }
    return 0;
}

int32_t ReplaySockets::Close(SocketHandle) {
    return 0;
}

int32_t ReplaySockets::LastError() {
    std::lock_guard lock(mutex_);
    return lastError_;
}

std::size_t ReplaySockets::TransactionsLeft() const {
    std::lock_guard lock(mutex_);
    return script_->transactions.size() - next_;
}

}  // namespace zolt::sim
