// The sockets layer over Windows Sockets: error codes as the system gives them, on loopback.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "log/log.h"
#include "platform/sockets.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

// Windows Sockets started for the length of a test, as a transaction starts it.
class Started {
  public:
    Started() : net_(SystemSockets()), result_(net_.Startup()) {}
    ~Started() {
        if (result_ == 0) {
            net_.Cleanup();
        }
    }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;
    bool ok() const { return result_ == 0; }
    Sockets& net() { return net_; }

  private:
    Sockets& net_;
    int32_t result_;
};

// A bare listener on an ephemeral loopback port.
class Listener {
  public:
    Listener() : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof at;
        ::bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at);
        ::listen(socket_, 4);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&at), &size);
        port_ = ntohs(at.sin_port);
    }
    ~Listener() { ::closesocket(socket_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    uint16_t port() const { return port_; }
    SOCKET Accept() { return ::accept(socket_, nullptr, nullptr); }

  private:
    SOCKET socket_;
    uint16_t port_ = 0;
};

TEST(WindowsSockets, ResolvesLocalNamesWithoutTheNetwork) {
    Started started;
    ASSERT_TRUE(started.ok());
    HostEntry entry;
    ASSERT_TRUE(started.net().ResolveHost("127.0.0.1", entry));
    EXPECT_EQ(entry.addressFamily, AddressFamilyIpv4);
    EXPECT_EQ(entry.addresses, std::vector<Ipv4Address>{0x7F000001});
    HostEntry local;
    ASSERT_TRUE(started.net().ResolveHost("localhost", local));
    EXPECT_NE(std::find(local.addresses.begin(), local.addresses.end(), 0x7F000001u),
              local.addresses.end());
}

TEST(WindowsSockets, FailuresCarryTheirCodesPastOtherSystemCalls) {
    Started started;
    ASSERT_TRUE(started.ok());
    Sockets& net = started.net();
    testing::ScopedTestLog log;

    struct Case {
        Ipv4Address address;
        uint16_t port;
        int32_t code;
    };
    const Case cases[] = {
        {0x7F000001, testing::UnusedPort(), SocketErrors::ConnectionRefused},  // 10061
        {0, 4006, SocketErrors::AddressNotAvailable},
        {NoIpv4Address, 4006, SocketErrors::AddressNotAvailable},
    };
    for (const auto& c : cases) {
        const SocketHandle s = net.OpenTcpSocket();
        ASSERT_NE(s, InvalidSocket);
        EXPECT_EQ(net.Connect(s, c.address, c.port), SocketError);
        // The log's file calls come between the failure and the question, as in a transaction.
        WriteLog(u"Socket connect failed");
        EXPECT_EQ(net.LastError(), c.code) << Ipv4ToText(c.address);
        EXPECT_EQ(net.Close(s), 0);
    }
}

TEST(WindowsSockets, ReceiveTimeOutAndOrderlyClose) {
    Started started;
    ASSERT_TRUE(started.ok());
    Sockets& net = started.net();
    Listener listener;

    const SocketHandle s = net.OpenTcpSocket();
    ASSERT_NE(s, InvalidSocket);
    ASSERT_EQ(net.Connect(s, 0x7F000001, listener.port()), 0);
    const SOCKET peer = listener.Accept();
    ASSERT_NE(peer, INVALID_SOCKET);

    // A silent peer: the receive gives up after the time-out with 10060.
    ASSERT_EQ(net.SetReceiveTimeout(s, 200), 0);
    uint8_t buffer[16] = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net.Receive(s, buffer, sizeof buffer), SocketError);
    EXPECT_EQ(net.LastError(), SocketErrors::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

    // The request arrives whole after the sending side is shut; the peer's bytes then its close.
    const uint8_t request[] = {1, 2, 3};
    EXPECT_EQ(net.Send(s, request, sizeof request), 3);
    EXPECT_EQ(net.ShutdownSend(s), 0);
    char got[8] = {};
    EXPECT_EQ(::recv(peer, got, sizeof got, 0), 3);
    EXPECT_EQ(::recv(peer, got, sizeof got, 0), 0);
    ::send(peer, "OK", 2, 0);
    ::closesocket(peer);
    EXPECT_EQ(net.Receive(s, buffer, sizeof buffer), 2);
    EXPECT_EQ(net.Receive(s, buffer, sizeof buffer), 0);
    EXPECT_EQ(net.Close(s), 0);

    EXPECT_EQ(net.Send(s, request, -1), SocketError);
    EXPECT_EQ(net.LastError(), SocketErrors::InvalidArgument);
}

TEST(WindowsSockets, CallsWithoutStartupFail) {
    // Before WSAStartup no socket can be had, and the reason is the system's own code.
    Sockets& net = SystemSockets();
    const SocketHandle s = net.OpenTcpSocket();
    EXPECT_EQ(s, InvalidSocket);
    EXPECT_EQ(net.LastError(), WSANOTINITIALISED);
}

}  // namespace
}  // namespace zolt
