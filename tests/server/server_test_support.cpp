#include "tests/server/server_test_support.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace zolt::testing {

uint16_t UnusedPort() {
#ifdef _WIN32
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int size = sizeof(sockaddr_in);
#else
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    socklen_t size = sizeof(sockaddr_in);
#endif
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
#ifdef _WIN32
    ::closesocket(fd);
    ::WSACleanup();
#else
    ::close(fd);
#endif
    return ntohs(at.sin_port);
}

int32_t TestSockets::Startup() {
    ++startups;
    return real_.Startup();
}

void TestSockets::Cleanup() {
    ++cleanups;
    real_.Cleanup();
}

SocketHandle TestSockets::OpenTcpSocket() {
    const SocketHandle s = real_.OpenTcpSocket();
    if (s != InvalidSocket) {
        ++opened;
    }
    return s;
}

bool TestSockets::ResolveHost(const std::string& name, HostEntry& entry) {
    ++resolves;
    ownError_.reset();
    if (resolveError != 0) {
        ownError_ = resolveError;
        return false;
    }
    if (resolved) {
        entry = *resolved;
        return true;
    }
    return real_.ResolveHost(name, entry);
}

int32_t TestSockets::Connect(SocketHandle socket, Ipv4Address address, uint16_t port) {
    ++connects;
    ownError_.reset();
    const int32_t result = real_.Connect(socket, address, port);
    if (result == 0) {
        std::lock_guard lock(mutex_);
        ++connection_;
        taken_ = 0;
        receiving_ = false;
        closedConnection_ = false;
        changed_.notify_all();
    }
    return result;
}

int32_t TestSockets::Send(SocketHandle socket, const uint8_t* data, int32_t length) {
    ownError_.reset();
    const int32_t asked = sendLimit > 0 && length > sendLimit ? sendLimit : length;
    sendSizes.push_back(asked);
    return real_.Send(socket, data, asked);
}

int32_t TestSockets::ShutdownSend(SocketHandle socket) {
    ownError_.reset();
    return real_.ShutdownSend(socket);
}

int32_t TestSockets::SetReceiveTimeout(SocketHandle socket, uint32_t milliseconds) {
    ownError_.reset();
    return real_.SetReceiveTimeout(socket, milliseconds);
}

namespace {

// Waits until the socket has something to read (or an error), at most `ms` milliseconds.
void AwaitReadable(SocketHandle socket, uint32_t ms) {
#ifdef _WIN32
    WSAPOLLFD p{static_cast<SOCKET>(socket), POLLRDNORM, 0};
    ::WSAPoll(&p, 1, static_cast<INT>(ms));
#else
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(ms));
#endif
}

}  // namespace

int32_t TestSockets::Receive(SocketHandle socket, uint8_t* buffer, int32_t capacity) {
    ownError_.reset();
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = taken_ == 0;
        receiving_ = true;
        changed_.notify_all();
    }
    if (first && firstBytesWaitMs > 0) {
        AwaitReadable(socket, firstBytesWaitMs);
    }
    const int32_t n = real_.Receive(socket, buffer, capacity);
    std::lock_guard lock(mutex_);
    receiving_ = false;
    if (n > 0) {
        taken_ += static_cast<std::size_t>(n);
    }
    changed_.notify_all();
    return n;
}

int32_t TestSockets::Close(SocketHandle socket) {
    ++closed;
    ownError_.reset();
    {
        std::lock_guard lock(mutex_);
        closedConnection_ = true;
        changed_.notify_all();
    }
    return real_.Close(socket);
}

void TestSockets::AwaitTaken(int connection, std::size_t bytes, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] {
        return connection_ > connection || (connection_ == connection &&
                                            (closedConnection_ || (taken_ >= bytes && receiving_)));
    });
}

int32_t TestSockets::LastError() {
    return ownError_ ? *ownError_ : real_.LastError();
}

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& line : lines) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

}  // namespace zolt::testing
