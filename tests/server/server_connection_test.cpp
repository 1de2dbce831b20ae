// One transaction over loopback against the reference server: what is logged, what is stored and
// what is returned, for a good reply and for each way a transaction fails.
#include "server/server_connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>

#include "log/log.h"
#include "server/exchange_records.h"
#include "sim/server/reference_server.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

using sim::ReferenceServer;
using sim::ReferenceServerOptions;
using testing::Loopback;
using testing::ScopedTestLog;
using testing::TestSockets;

using Lines = std::vector<std::string>;

// A device-information request for a computer named PC1.
std::vector<uint8_t> InfoRequest() {
    RecordList list(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
    list.Slot(0)[0] = 0x0A;
    list.Slot(0)[1] = 0x04;
    list.lengths[0] = 2;
    std::vector<uint8_t> image;
    EXPECT_EQ(AddIdentityRecords(list, 1, WideText(u"PC1")), 0);
    EXPECT_EQ(BuildRequestImage(list, 3, image), 0);
    return image;
}

std::vector<uint8_t> Pattern(std::size_t size) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return bytes;
}

struct Outcome {
    int32_t result = 0;
    int32_t received = 0;
    Lines lines;
};

class TransactTest : public ::testing::Test {
  protected:
    // Runs one transaction against a server with these options, `received` preset to `preset`.
    // The receive time-out is short only where a silence is played; `firstBytesWaitMs` lets the
    // first bytes of a silence that follows some take as long as a loaded machine needs. The
    // server sends a further chunk, or resets, only once the client has taken what came before.
    Outcome Run(ReferenceServerOptions options, uint32_t timeoutMs = 5000, int32_t preset = 0,
                uint32_t firstBytesWaitMs = 0) {
        server_.reset();  // it may still watch the last run's sockets
        watched_ = std::make_unique<TestSockets>();
        watched_->firstBytesWaitMs = firstBytesWaitMs;
        options.awaitClient = watched_->ClientWatch();
        server_ = std::make_unique<ReferenceServer>(std::move(options));
        EXPECT_TRUE(server_->Start());
        return RunAgainst(Loopback(server_->Port(), timeoutMs), *watched_, preset);
    }

    Outcome RunAgainst(const ServerEndpoint& endpoint, Sockets& sockets, int32_t preset = 0) {
        LogCapture capture;
        ServerConnection connection(endpoint, sockets);
        connection.received = preset;
        const auto request = InfoRequest();
        Outcome out;
        out.result =
            connection.Transact(request.data(), static_cast<int32_t>(request.size()), area_.get());
        out.received = connection.received;
        out.lines = capture.Lines();
        return out;
    }

    const uint8_t* Area() const { return area_.get(); }

    ScopedTestLog log_;
    std::unique_ptr<uint8_t[]> area_{new uint8_t[ReplyAreaSize]};
    std::unique_ptr<TestSockets> watched_;  // outlives the server that watches it
    std::unique_ptr<ReferenceServer> server_;
};

TEST_F(TransactTest, ReplyInThreeChunksIsStoredInArrivalOrderWithRunningTotals) {
    ReferenceServerOptions options;
    options.fixedReply = Pattern(3000);
    options.chunks = 3;
    options.chunkPauseMs = 20;  // each chunk goes out once the client has taken the one before
    const Outcome out = Run(options);

    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.received, 3000);
    EXPECT_EQ(out.lines, (Lines{"Host ip : 127.0.0.1", "Recv start", "Bytes received: 1000",
                                "Total length: 1000", "Bytes received: 1000", "Total length: 2000",
                                "Bytes received: 1000", "Total length: 3000", "Connection closed",
                                "Total length: 3000"}));
    EXPECT_EQ(std::vector<uint8_t>(Area(), Area() + 3000), Pattern(3000));
    // The request went out unchanged.
    ASSERT_EQ(server_->Requests().size(), 1u);
    EXPECT_EQ(server_->Requests()[0], InfoRequest());
}

TEST_F(TransactTest, ServerClosingWithoutAnswerIsAnEmptySuccess) {
    ReferenceServerOptions options;
    options.closeWithoutAnswer = true;
    const Outcome out = Run(options, 5000, 55);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.received, 0);
    EXPECT_EQ(out.lines,
              (Lines{"Host ip : 127.0.0.1", "Recv start", "Connection closed", "Total length: 0"}));
}

// A receive that fails ends the transaction: incomplete once bytes are stored, empty otherwise.
TEST_F(TransactTest, FailedReceive) {
    struct Case {
        const char* name;
        int64_t breakOffAfter;
        sim::BreakOff mode;
        bool silent;
        const char* failure;
        int32_t result;
        int32_t received;
    };
    const Case cases[] = {
        {"100 bytes, then silence", 100, sim::BreakOff::Silence, false,
         "Recv failed with error: 10060", REPLY_INCOMPLETE, 100},
        {"100 bytes, then a reset", 100, sim::BreakOff::Reset, false,
         "Recv failed with error: 10054", REPLY_INCOMPLETE, 100},
        {"silent from the start", -1, sim::BreakOff::Silence, true, "Recv failed with error: 10060",
         0, 0},
        {"reset before any byte", 0, sim::BreakOff::Reset, false, "Recv failed with error: 10054",
         0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReferenceServerOptions options;
        options.fixedReply = Pattern(5000);
        options.breakOffAfter = c.breakOffAfter;
        options.breakOffTransactions = 1;
        options.breakOffMode = c.mode;
        options.silent = c.silent;
        const bool silenceAfterBytes = c.mode == sim::BreakOff::Silence && c.breakOffAfter > 0;
        const Outcome out = Run(options, c.mode == sim::BreakOff::Silence ? 200 : 5000, 0,
                                silenceAfterBytes ? 5000 : 0);

        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(out.received, c.received);
        ASSERT_GE(out.lines.size(), 2u);
        EXPECT_EQ(out.lines[out.lines.size() - 2], c.failure);
        EXPECT_EQ(out.lines.back(), "Total length: " + std::to_string(c.received));
        const auto sent = Pattern(static_cast<std::size_t>(c.received));
        EXPECT_EQ(std::vector<uint8_t>(Area(), Area() + c.received), sent);
    }
}

TEST_F(TransactTest, NothingListeningIsAConnectFailure) {
    TestSockets sockets;
    const Outcome out = RunAgainst(Loopback(testing::UnusedPort()), sockets, 77);
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.received, 77);  // untouched before the receive phase
    EXPECT_EQ(out.lines, (Lines{"Host ip : 127.0.0.1", "Socket connect failed with error: 10061"}));
    EXPECT_EQ(sockets.opened, 1);
    EXPECT_EQ(sockets.closed, 1);
    EXPECT_EQ(sockets.startups, sockets.cleanups);
    EXPECT_TRUE(sockets.sendSizes.empty());
}

TEST_F(TransactTest, ResolutionFailures) {
    struct Case {
        int32_t error;
        const char* line;
        int32_t result;
    };
    const Case cases[] = {
        {SocketErrors::HostNotFound, "Host not found", HOST_NOT_FOUND_RESULT},
        {SocketErrors::NoData, "No data record found", -1},
        {SocketErrors::TryAgain, "Function failed with error: 11002", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        TestSockets sockets;
        sockets.resolveError = c.error;
        const Outcome out = RunAgainst(Loopback(4006), sockets, 9);
        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(out.received, 9);
        EXPECT_EQ(out.lines, Lines{c.line});
        // Nothing sent; the socket is closed and the library released.
        EXPECT_EQ(sockets.connects, 0);
        EXPECT_TRUE(sockets.sendSizes.empty());
        EXPECT_EQ(sockets.opened, 1);
        EXPECT_EQ(sockets.closed, 1);
        EXPECT_EQ(sockets.startups, 1);
        EXPECT_EQ(sockets.cleanups, 1);
    }
}

TEST_F(TransactTest, NamesUnderInvalidAreNotFoundWithoutAskingTheResolver) {
    for (const char* host : {"update.zolt-update.invalid", "INVALID", "a.b.Invalid."}) {
        SCOPED_TRACE(host);
        TestSockets sockets;
        sockets.resolved = HostEntry{AddressFamilyIpv4, {0x7F000001}};  // would resolve
        ServerConnection connection(ServerEndpoint{host, 4006, 2'000}, sockets);
        uint8_t reply[1] = {};
        EXPECT_EQ(connection.Transact(reply, 1, reply), HOST_NOT_FOUND_RESULT);
        EXPECT_EQ(sockets.resolves, 0);
        EXPECT_EQ(connection.failure.step, TransportStep::Resolve);
        EXPECT_EQ(connection.failure.error, SocketErrors::HostNotFound);
    }
    for (const char* host : {"invalid.example", "notinvalid", "127.0.0.1", "invalid.", ""}) {
        EXPECT_EQ(IsReservedInvalidName(host), std::string_view(host) == "invalid.") << host;
    }
}

TEST_F(TransactTest, TheLastAddressOfTheHostEntryIsTheOneUsed) {
    ReferenceServer server(ReferenceServerOptions{});
    ASSERT_TRUE(server.Start());
    const Ipv4Address one = 0x7F000001, two = 0x7F000002;  // 127.0.0.1 serves, 127.0.0.2 does not

    TestSockets good;
    good.resolved = HostEntry{AddressFamilyIpv4, {two, one}};
    const Outcome served = RunAgainst(Loopback(server.Port()), good);
    EXPECT_EQ(served.lines.front(), "Host ip : 127.0.0.1");
    EXPECT_EQ(served.result, 0);
    EXPECT_GT(served.received, 0);

    TestSockets bad;
    bad.resolved = HostEntry{AddressFamilyIpv4, {one, two}};
    const Outcome refused = RunAgainst(Loopback(server.Port()), bad);
    EXPECT_EQ(refused.lines,
              (Lines{"Host ip : 127.0.0.2", "Socket connect failed with error: 10061"}));
    EXPECT_EQ(refused.result, -1);
}

TEST_F(TransactTest, HostEntryWithoutIpv4AddressGivesAnEmptyAddressAndAFailedConnect) {
    const HostEntry entries[] = {{23, {0x7F000001}}, {AddressFamilyIpv4, {}}};
    for (const auto& entry : entries) {
        TestSockets sockets;
        sockets.resolved = entry;
        const Outcome out = RunAgainst(Loopback(4006), sockets);
        EXPECT_EQ(out.lines, (Lines{"Host ip : ", "Socket connect failed with error: 10049"}));
        EXPECT_EQ(out.result, -1);
        EXPECT_EQ(sockets.closed, 1);
    }
}

TEST_F(TransactTest, ASendThatTakesPartOfTheRequestIsContinued) {
    ReferenceServer server(ReferenceServerOptions{});
    ASSERT_TRUE(server.Start());
    TestSockets sockets;
    sockets.sendLimit = 7;
    const Outcome out = RunAgainst(Loopback(server.Port()), sockets);
    EXPECT_EQ(out.result, 0);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], InfoRequest());
    const auto total = std::accumulate(sockets.sendSizes.begin(), sockets.sendSizes.end(), 0);
    EXPECT_EQ(total, static_cast<int>(InfoRequest().size()));
    EXPECT_EQ(sockets.sendSizes.size(), (InfoRequest().size() + 6) / 7);
}

TEST_F(TransactTest, AReplyThatFillsTheAreaExactlyIsTakenOneByteMoreIsRefused) {
    {
        ReferenceServerOptions options;
        options.padTo = ReplyAreaSize;
        const Outcome out = Run(options);
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.received, ReplyAreaSize);
        EXPECT_EQ(out.lines.back(), "Total length: 20000000");
    }
    {
        ReferenceServerOptions options;
        options.padTo = int64_t{ReplyAreaSize} + 1;
        const Outcome out = Run(options);
        EXPECT_EQ(out.result, -1);
        EXPECT_EQ(out.received, ReplyAreaSize);  // and not one byte beyond the area
        EXPECT_EQ(out.lines.back(), "Reply larger than 20000000 bytes, transaction failed");
    }
}

}  // namespace
}  // namespace zolt
