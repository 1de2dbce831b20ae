// The sockets layer: the Windows Sockets codes it reports and the behaviour it promises.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/sockets_posix.h"

namespace zolt {
namespace {

TEST(SocketErrorMapping, SystemErrorsBecomeWindowsSocketsCodes) {
    const std::pair<int, int32_t> cases[] = {
        {ECONNREFUSED, 10061},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {ETIMEDOUT, 10060},
        {EHOSTUNREACH, 10065},
        {ENETUNREACH, 10051},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ECONNABORTED, 10053},
        {ENOTCONN, 10057},
        {EAGAIN, 10035},
        {EINTR, 10004},
        {EMFILE, 10024},
        {EACCES, 10013},
        {ENOBUFS, 10055},
        {0, 0},
        {ENOENT, SocketErrors::SystemErrorBase + ENOENT},  // no such code: kept distinct
    };
    for (const auto& [error, code] : cases) {
        EXPECT_EQ(SocketErrorFromErrno(error), code) << "errno " << error;
    }
}

TEST(SocketErrorMapping, ResolverFailuresBecomeWindowsSocketsCodes) {
    EXPECT_EQ(SocketErrorFromResolver(EAI_NONAME, 0), SocketErrors::HostNotFound);
    EXPECT_EQ(SocketErrorFromResolver(EAI_NODATA, 0), SocketErrors::NoData);
    EXPECT_EQ(SocketErrorFromResolver(EAI_ADDRFAMILY, 0), SocketErrors::NoData);
    EXPECT_EQ(SocketErrorFromResolver(EAI_AGAIN, 0), SocketErrors::TryAgain);
    EXPECT_EQ(SocketErrorFromResolver(EAI_FAIL, 0), SocketErrors::NoRecovery);
    EXPECT_EQ(SocketErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), SocketErrors::ConnectionRefused);
    EXPECT_EQ(SocketErrorFromResolver(-9999, 0), SocketErrors::ResolverErrorBase + 9999);
}

TEST(Ipv4Text, DottedDecimalBothWays) {
    EXPECT_EQ(Ipv4ToText(0x7F000001), "127.0.0.1");
    EXPECT_EQ(Ipv4ToText(0xFFFFFFFF), "255.255.255.255");
    EXPECT_EQ(Ipv4ToText(0), "0.0.0.0");
    EXPECT_EQ(TextToIpv4("127.0.0.1"), 0x7F000001u);
    EXPECT_EQ(TextToIpv4("10.20.30.40"), 0x0A141E28u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", "a.b.c.d", "1..2.3",
                            "-1.2.3.4", "1.2.3.0004"}) {
        EXPECT_EQ(TextToIpv4(bad), NoIpv4Address) << '"' << bad << '"';
    }
}

TEST(SystemSockets, ResolvesLocalNamesWithoutTheNetwork) {
    Sockets& net = SystemSockets();
    HostEntry entry;
    ASSERT_TRUE(net.ResolveHost("127.0.0.1", entry));
    EXPECT_EQ(entry.addressFamily, AddressFamilyIpv4);
    EXPECT_EQ(entry.addresses, std::vector<Ipv4Address>{0x7F000001});
    HostEntry local;
    ASSERT_TRUE(net.ResolveHost("localhost", local));
    EXPECT_NE(std::find(local.addresses.begin(), local.addresses.end(), 0x7F000001u),
              local.addresses.end());
}

TEST(SystemSockets, UnspecifiedAndBroadcastDestinationsAreRefusedAsWindowsSocketsDoes) {
    Sockets& net = SystemSockets();
    for (const Ipv4Address address : {Ipv4Address{0}, NoIpv4Address}) {
        const SocketHandle s = net.OpenTcpSocket();
        ASSERT_NE(s, InvalidSocket);
        EXPECT_EQ(net.Connect(s, address, 4006), SocketError);
        EXPECT_EQ(net.LastError(), SocketErrors::AddressNotAvailable);
        EXPECT_EQ(net.Close(s), 0);
    }
}

// Sending to a peer that has gone reports the reset instead of raising SIGPIPE, which would end
// this test program.
TEST(SystemSockets, SendingToAPeerThatHasGoneFailsWithoutASignal) {
    // A bare peer that accepts and closes at once.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size), 0);

    Sockets& net = SystemSockets();
    const SocketHandle s = net.OpenTcpSocket();
    ASSERT_NE(s, InvalidSocket);
    ASSERT_EQ(net.Connect(s, 0x7F000001, ntohs(at.sin_port)), 0);
    ::close(::accept(listener, nullptr, nullptr));
    ::close(listener);

    uint8_t buffer[512] = {};
    int32_t result = 0;
    for (int i = 0; i < 50 && result != SocketError; ++i) {
        result = net.Send(s, buffer, sizeof buffer);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(result, SocketError);
    EXPECT_EQ(net.LastError(), SocketErrors::ConnectionReset);
    EXPECT_EQ(net.Close(s), 0);
}

}  // namespace
}  // namespace zolt
