// The record exchange end to end over loopback: the request on the wire, the repeats of a
// broken-off reply, the checks of the reply and the unpacking into the caller's list.
#include "server/exchange_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "device/device_frame.h"
#include "log/log.h"
#include "sim/server/reference_server.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

using sim::ReferenceServer;
using sim::ReferenceServerOptions;
using testing::FixedSystemInfo;
using testing::LinesStartingWith;
using testing::Loopback;
using testing::ScopedTestLog;
using testing::TestSockets;

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const Bytes ChipId = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

Bytes InfoRecord() {
    Bytes info(61, 0);
    const std::string text = "ZOLT-DEMO hw 2.1";
    std::copy(text.begin(), text.end(), info.begin());
    return info;
}

struct Lists {
    RecordList request{RecordList::RequestSlots, RecordList::RequestSlotCapacity};
    RecordList reply{RecordList::ReplySlots, RecordList::ReplySlotCapacity};
    int32_t count = 0;

    void Add(const Bytes& record) {
        std::copy(record.begin(), record.end(), request.Slot(count));
        request.lengths[static_cast<std::size_t>(count)] = static_cast<int32_t>(record.size());
        request.count = ++count;
    }
    Bytes ReplyRecord(int32_t i) const {
        return Bytes(reply.Slot(i), reply.Slot(i) + reply.lengths[static_cast<std::size_t>(i)]);
    }
    // True when the reply list is as a fresh one: count 0, every length 0, slots empty.
    bool ReplyUntouched() const {
        return reply.count == 0 &&
               std::all_of(reply.lengths.begin(), reply.lengths.end(),
                           [](int32_t l) { return l == 0; }) &&
               std::all_of(reply.Slot(0), reply.Slot(0) + 2 * reply.SlotCapacity(),
                           [](uint8_t b) { return b == 0; });
    }
};

struct Outcome {
    int32_t result = 0;
    Lines lines;
    std::vector<Bytes> requests;
};

class ExchangeTest : public ::testing::Test {
  protected:
    // Exchanges `lists` with a reference server set up with `options`. The receive time-out is
    // short only where a silence is played; elsewhere it leaves room for a loaded machine.
    // `firstBytesWaitMs` lets a transaction's first bytes take as long as a loaded machine needs
    // where a short time-out is meant for a silence after them. The server sends a further
    // chunk, or resets, only once the client has taken what came before.
    Outcome Exchange(Lists& lists, ReferenceServerOptions options, uint32_t timeoutMs = 5000,
                     uint32_t firstBytesWaitMs = 0) {
        TestSockets sockets;  // outlives the server that watches it
        sockets.firstBytesWaitMs = firstBytesWaitMs;
        options.awaitClient = sockets.ClientWatch();
        ReferenceServer server(std::move(options));
        EXPECT_TRUE(server.Start());
        LogCapture capture;
        Outcome run;
        run.result = ExchangeRecords(lists.request, lists.count, lists.reply,
                                     Loopback(server.Port(), timeoutMs), name_, sockets);
        server.Stop();
        run.lines = capture.Lines();
        run.requests = server.Requests();
        return run;
    }

    Outcome ExchangeFixedReply(Lists& lists, const Bytes& reply) {
        ReferenceServerOptions options;
        options.fixedReply = reply;
        return Exchange(lists, options);
    }

    ScopedTestLog log_;
    FixedSystemInfo name_{WideText(u"PC1")};
};

Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

TEST_F(ExchangeTest, DeviceInfoRequestForPC1IsTheFortyThreeBytesOnTheWire) {
    Lists lists;
    lists.Add({0x0A, 0x04});
    const Outcome run = Exchange(lists, {});

    const Bytes expected = {0x2B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00,
                            0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x0A, 0x00,
                            0x00, 0x00, 0x0A, 0x04, 0x50, 0x00, 0x43, 0x00, 0x31, 0x00, 0x31,
                            0x00, 0x2E, 0x00, 0x30, 0x00, 0x2E, 0x00, 0x36, 0x00, 0x00};
    ASSERT_EQ(run.requests.size(), 1u);
    EXPECT_EQ(run.requests[0], expected);
    EXPECT_EQ(run.result, 0);
    // The caller's count stays; the two added records are in slots 1 and 2.
    EXPECT_EQ(lists.request.count, 1);
    EXPECT_EQ(lists.request.lengths[1], 6);
    EXPECT_EQ(lists.request.lengths[2], 10);
    EXPECT_TRUE(LinesStartingWith(run.lines, "re ").empty());
}

TEST_F(ExchangeTest, NoCallerRecordsSendsTheNameAndVersionOnly) {
    Lists lists;
    const Outcome run = Exchange(lists, {});
    ASSERT_EQ(run.requests.size(), 1u);
    const auto parsed = sim::ParseRequest(run.requests[0]);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_EQ(parsed.records.size(), 2u);
    EXPECT_EQ(parsed.records[0], (Bytes{'P', 0, 'C', 0, '1', 0}));
    EXPECT_EQ(parsed.records[1], (Bytes{'1', 0, '.', 0, '0', 0, '.', 0, '6', 0}));
    // No request code: the server answers with an empty list, which is no answer.
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(lists.reply.count, 0);
}

TEST_F(ExchangeTest, AComputerNameThatCannotBeReadIsSentAsAnEmptyRecord) {
    name_ = FixedSystemInfo(std::nullopt);
    Lists lists;
    lists.Add({0x0A, 0x04});
    const Outcome run = Exchange(lists, {});
    ASSERT_EQ(run.requests.size(), 1u);
    const auto parsed = sim::ParseRequest(run.requests[0]);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.totalLength, 13u + 12u + 2u + 0u + 10u);
    ASSERT_EQ(parsed.records.size(), 3u);
    EXPECT_TRUE(parsed.records[1].empty());
    EXPECT_EQ(lists.request.lengths[1], 0);
}

// Each request code gets its answer from the reference server.
TEST_F(ExchangeTest, EachRequestCodeAgainstTheReferenceServer) {
    {
        Lists lists;
        lists.Add({0x0A, 0x04});
        lists.Add(ChipId);
        lists.Add(InfoRecord());
        ASSERT_EQ(Exchange(lists, {}).result, 0);
        ASSERT_EQ(lists.reply.count, 1);
        const Bytes text = lists.ReplyRecord(0);
        const std::string shown(text.begin(), std::find(text.begin(), text.end(), 0));
        EXPECT_NE(shown.find("Chip ID: 0123456789ABCDEF\r\n"), std::string::npos) << shown;
        EXPECT_NE(shown.find("Device info: ZOLT-DEMO hw 2.1\r\n"), std::string::npos) << shown;
        EXPECT_NE(shown.find("Computer: PC1\r\n"), std::string::npos) << shown;
        EXPECT_EQ(text.back(), 0);
    }
    {
        Lists lists;
        lists.Add({0x0A, 0x04});
        ReferenceServerOptions options;
        options.infoZeroByte = false;
        ASSERT_EQ(Exchange(lists, options).result, 0);
        ASSERT_EQ(lists.reply.count, 1);
        const Bytes text = lists.ReplyRecord(0);
        EXPECT_EQ(std::find(text.begin(), text.end(), 0), text.end());
        EXPECT_NE(std::string(text.begin(), text.end()).find("Chip ID: not read"),
                  std::string::npos);
    }
    for (const uint8_t code : {sim::RequestStFirmware, sim::RequestJ2534Firmware}) {
        SCOPED_TRACE(static_cast<int>(code));
        Lists lists;
        lists.Add({0x0A, code});
        lists.Add(ChipId);
        lists.Add(InfoRecord());
        ASSERT_EQ(Exchange(lists, {}).result, 0);
        const auto expected = sim::DemoFirmware(code);
        ASSERT_EQ(lists.reply.count, static_cast<int32_t>(expected.size()));
        for (int32_t i = 0; i < lists.reply.count; ++i) {
            const Bytes block = lists.ReplyRecord(i);
            ASSERT_EQ(block, expected[static_cast<std::size_t>(i)]);
            const ParsedFrame frame = ParseDeviceFrame(block);
            ASSERT_TRUE(frame.ok);
            EXPECT_EQ(frame.payload[0],
                      code == sim::RequestStFirmware ? sim::DemoStCommand : sim::DemoJ2534Command);
        }
    }
}

// Small replies and replies that break a limit: what comes back, and the line that says why.
TEST_F(ExchangeTest, RepliesAreCheckedBeforeAnythingIsUnpacked) {
    const Bytes ok = Concat({Le32(14), Le32(1), Le32(2), {0x4F, 0x4B}});
    struct Case {
        const char* name;
        Bytes reply;
        int32_t result;
        int32_t count;
        const char* line;  // the last log line for a refused reply
    };
    const Case cases[] = {
        {"one record", ok, 0, 1, nullptr},
        {"thirteen bytes, no records", Concat({Le32(13), Le32(0), Bytes(5, 0)}), 0, 0, nullptr},
        {"bytes after the last record",
         Concat({Le32(19), Le32(1), Le32(2), {0x4F, 0x4B}, {9, 9, 9, 9, 9}}), 0, 1, nullptr},
        {"eight bytes", Concat({Le32(8), Le32(0)}), RECORD_FORMAT_ERROR, 0, "=SRE001=8"},
        {"twelve bytes", Concat({Le32(12), Le32(1), Le32(0)}), RECORD_FORMAT_ERROR, 0,
         "=SRE001=12"},
        {"nothing", {}, RECORD_FORMAT_ERROR, 0, "=SRE001=0"},
        {"total length 100, 99 bytes", Concat({Le32(100), Le32(0), Bytes(91, 0)}),
         RECORD_FORMAT_ERROR, 0, "=SRE002=100,99"},
        {"total length past 2^31", Concat({Le32(0xFFFFFFFF), Le32(0), Bytes(5, 0)}),
         RECORD_FORMAT_ERROR, 0, "=SRE002=-1,13"},
        {"count above the slots", Concat({Le32(13), Le32(40001), Bytes(5, 0)}), RECORD_FORMAT_ERROR,
         0, "=SRE004=40001,40000"},
        {"negative count", Concat({Le32(13), Le32(0xFFFFFFFF), Bytes(5, 0)}), RECORD_FORMAT_ERROR,
         0, "=SRE004=-1,40000"},
        {"length table past the end", Concat({Le32(13), Le32(10), Bytes(5, 0)}),
         RECORD_FORMAT_ERROR, 0, "=SRE006=48,13"},
        {"records past the end", Concat({Le32(14), Le32(1), Le32(100), {0x4F, 0x4B}}),
         RECORD_FORMAT_ERROR, 0, "=SRE006=112,14"},
        {"length above a slot", Concat({Le32(1113), Le32(1), Le32(1101), Bytes(1101, 7)}),
         RECORD_FORMAT_ERROR, 0, "=SRE005=0,1101"},
        {"negative length", Concat({Le32(18), Le32(2), Le32(2), Le32(0xFFFFFFFB), {1, 2}}),
         RECORD_FORMAT_ERROR, 0, "=SRE005=1,-5"},
        {"a full slot is fine", Concat({Le32(1112), Le32(1), Le32(1100), Bytes(1100, 7)}), 0, 1,
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lists lists;
        lists.Add({0x0A, 0x04});
        const Outcome run = ExchangeFixedReply(lists, c.reply);
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(lists.reply.count, c.count);
        if (c.line != nullptr) {
            ASSERT_FALSE(run.lines.empty());
            EXPECT_EQ(run.lines.back(), c.line);
            EXPECT_TRUE(lists.ReplyUntouched());
        }
    }
    Lists lists;
    lists.Add({0x0A, 0x04});
    ASSERT_EQ(ExchangeFixedReply(lists, ok).result, 0);
    EXPECT_EQ(lists.reply.lengths[0], 2);
    EXPECT_EQ(lists.ReplyRecord(0), (Bytes{0x4F, 0x4B}));
}

// The reference server's fault options, as a test lab would play them.
TEST_F(ExchangeTest, ServerFaultsLeaveTheReplyListUntouched) {
    struct Case {
        const char* name;
        void (*set)(ReferenceServerOptions&);
        int32_t result;
        const char* line;
    };
    const Case cases[] = {
        {"wrong total length", [](ReferenceServerOptions& o) { o.totalLengthDelta = 1; },
         RECORD_FORMAT_ERROR, "=SRE002=26505,26504"},
        {"too short", [](ReferenceServerOptions& o) { o.truncateTo = 10; }, RECORD_FORMAT_ERROR,
         "=SRE001=10"},
        {"broken length table", [](ReferenceServerOptions& o) { o.brokenLengthTable = true; },
         RECORD_FORMAT_ERROR, "=SRE006=26504,25404"},
        {"count above 40,000", [](ReferenceServerOptions& o) { o.countAbove40000 = true; },
         RECORD_FORMAT_ERROR, "=SRE004=40001,40000"},
        {"length above 1,100", [](ReferenceServerOptions& o) { o.lengthAbove1100 = true; },
         RECORD_FORMAT_ERROR, "=SRE005=24,1101"},
        {"silent", [](ReferenceServerOptions& o) { o.silent = true; }, RECORD_FORMAT_ERROR,
         "=SRE001=0"},
        {"close without answer", [](ReferenceServerOptions& o) { o.closeWithoutAnswer = true; },
         RECORD_FORMAT_ERROR, "=SRE001=0"},
        {"oversize", [](ReferenceServerOptions& o) { o.padTo = 20'000'001; }, -1,
         "Reply larger than 20000000 bytes, transaction failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lists lists;
        lists.Add({0x0A, 0x01});
        ReferenceServerOptions options;
        c.set(options);
        const Outcome run = Exchange(lists, options, options.silent ? 300 : 5000);
        EXPECT_EQ(run.result, c.result);
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(run.lines.back(), c.line) << ::testing::PrintToString(run.lines);
        EXPECT_TRUE(lists.ReplyUntouched());
        EXPECT_EQ(run.requests.size(), 1u);
    }
}

TEST_F(ExchangeTest, AReplyPaddedToExactlyTwentyMillionBytesIsTaken) {
    Lists lists;
    lists.Add({0x0A, 0x01});
    ReferenceServerOptions options;
    options.padTo = ReplyAreaSize;
    const Outcome run = Exchange(lists, options);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(lists.reply.count, sim::DefaultDemoBlocks);
}

// A reply that breaks off once is collected with a second, resumed transaction.
TEST_F(ExchangeTest, ABrokenOffReplyIsResumedFromTheBytesCollected) {
    for (const auto mode : {sim::BreakOff::Reset, sim::BreakOff::Silence}) {
        SCOPED_TRACE(mode == sim::BreakOff::Reset ? "reset" : "silence");
        Lists lists;
        lists.Add({0x0A, 0x01});
        lists.Add(ChipId);
        ReferenceServerOptions options;
        options.breakOffAfter = 1000;
        options.breakOffTransactions = 1;
        options.breakOffMode = mode;
        const bool silence = mode == sim::BreakOff::Silence;
        const Outcome run = Exchange(lists, options, silence ? 200 : 5000, silence ? 5000 : 0);

        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(LinesStartingWith(run.lines, "re "), Lines{"re 1"});
        ASSERT_EQ(run.requests.size(), 2u);
        Bytes expected = run.requests[0];
        expected[4] = 0xE8;
        expected[5] = 0x03;
        EXPECT_EQ(run.requests[1], expected);
        // The second transaction's bytes follow the first ones.
        const auto firmware = sim::DemoFirmware(sim::RequestStFirmware);
        ASSERT_EQ(lists.reply.count, static_cast<int32_t>(firmware.size()));
        for (int32_t i = 0; i < lists.reply.count; ++i) {
            ASSERT_EQ(lists.ReplyRecord(i), firmware[static_cast<std::size_t>(i)]) << i;
        }
    }
}

// A break-off for the tests that repeat many: the client's receive fails after the bytes sent.
// Wine reads a reset that reaches the client between two of its receives as an orderly close, so
// there the server goes silent instead, and a short time-out ends the receive; the first bytes of
// each transaction may take as long as a loaded machine needs.
struct RepeatedBreakOff {
    sim::BreakOff mode;
    uint32_t timeoutMs;
    uint32_t firstBytesWaitMs;
};
#ifdef _WIN32
constexpr RepeatedBreakOff EachBreakOff{sim::BreakOff::Silence, 100, 5000};
#else
constexpr RepeatedBreakOff EachBreakOff{sim::BreakOff::Reset, 5000, 0};
#endif

TEST_F(ExchangeTest, TwentyNineBreakOffsAreResumedThirtyAreIncomplete) {
    for (const int breakOffs : {29, 30}) {
        SCOPED_TRACE(breakOffs);
        Lists lists;
        lists.Add({0x0A, 0x02});
        ReferenceServerOptions options;
        options.j2534Firmware = sim::DemoFirmware(sim::RequestJ2534Firmware, 40);
        options.breakOffAfter = 1000;
        options.breakOffTransactions = breakOffs;
        options.breakOffMode = EachBreakOff.mode;
        const Outcome run =
            Exchange(lists, options, EachBreakOff.timeoutMs, EachBreakOff.firstBytesWaitMs);

        ASSERT_EQ(run.requests.size(), 30u);
        for (std::size_t k = 0; k < run.requests.size(); ++k) {
            EXPECT_EQ(sim::ParseRequest(run.requests[k]).resumeOffset, 1000 * k);
        }
        const Lines repeats = LinesStartingWith(run.lines, "re ");
        ASSERT_EQ(repeats.size(), 29u);
        EXPECT_EQ(repeats.front(), "re 1");
        EXPECT_EQ(repeats.back(), "re 29");
        if (breakOffs == 29) {
            EXPECT_EQ(run.result, 0);
            ASSERT_EQ(lists.reply.count, 40);
            for (int32_t i = 0; i < 40; ++i) {
                ASSERT_EQ(lists.ReplyRecord(i), options.j2534Firmware[static_cast<std::size_t>(i)])
                    << i;
            }
        } else {
            EXPECT_EQ(run.result, REPLY_INCOMPLETE);
            EXPECT_TRUE(lists.ReplyUntouched());
        }
    }
}

TEST_F(ExchangeTest, ARepeatWhoseConnectFailsEndsTheExchange) {
    Lists lists;
    lists.Add({0x0A, 0x01});
    ReferenceServerOptions options;
    options.breakOffAfter = 1000;
    options.breakOffTransactions = 1;
    options.maxTransactions = 1;
    options.breakOffMode = EachBreakOff.mode;
    const Outcome run =
        Exchange(lists, options, EachBreakOff.timeoutMs, EachBreakOff.firstBytesWaitMs);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(LinesStartingWith(run.lines, "re "), Lines{"re 1"});
    EXPECT_EQ(run.lines.back(), "Socket connect failed with error: 10061");
    EXPECT_TRUE(lists.ReplyUntouched());
}

TEST_F(ExchangeTest, HostNotFoundRunsOneTransactionOnly) {
    Lists lists;
    lists.Add({0x0A, 0x04});
    TestSockets sockets;
    sockets.resolveError = SocketErrors::HostNotFound;
    LogCapture capture;
    const int32_t result =
        ExchangeRecords(lists.request, lists.count, lists.reply,
                        ServerEndpoint{"update.example", 4006, 2'000}, name_, sockets);
    EXPECT_EQ(result, HOST_NOT_FOUND_RESULT);
    EXPECT_EQ(sockets.resolves, 1);
    EXPECT_EQ(capture.Lines(), Lines{"Host not found"});
    EXPECT_TRUE(lists.ReplyUntouched());
}

TEST_F(ExchangeTest, ACollectedReplyNeverGrowsPastTwentyMillionBytes) {
    // A server that answers every repeat from the start keeps sending the whole reply.
    Lists lists;
    lists.Add({0x0A, 0x01});
    ReferenceServerOptions options;
    options.padTo = 15'000'000;
    options.breakOffAfter = 15'000'000;
    options.breakOffTransactions = 30;
    options.ignoreResumeOffset = true;
    const Outcome run = Exchange(lists, options);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.lines.back(),
              "Reply larger than 20000000 bytes over the repeats, exchange failed: "
              "15000000,15000000");
    EXPECT_EQ(run.requests.size(), 2u);
    EXPECT_TRUE(lists.ReplyUntouched());
}

// Requests that do not fit the list are refused before anything is sent.
TEST_F(ExchangeTest, RequestsBeyondTheListsLimitsAreRefusedUnsent) {
    struct Case {
        const char* name;
        int32_t count;
        int32_t badIndex;
        int32_t badLength;
        const char* line;
    };
    const Case cases[] = {
        {"99 caller records", 99, -1, 0, "=SRE007=99,98"},
        {"negative count", -1, -1, 0, "=SRE007=-1,98"},
        {"record longer than its slot", 3, 1, 501, "=SRE008=1,501"},
        {"negative record length", 3, 2, -1, "=SRE008=2,-1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lists lists;
        for (int32_t i = 0; i < std::max(c.count, 0); ++i) {
            lists.Add({0x0A, 0x04});
        }
        lists.count = c.count;
        if (c.badIndex >= 0) {
            lists.request.lengths[static_cast<std::size_t>(c.badIndex)] = c.badLength;
        }
        const Outcome run = Exchange(lists, {});
        EXPECT_EQ(run.result, RECORD_FORMAT_ERROR);
        EXPECT_EQ(run.lines, Lines{c.line});
        EXPECT_TRUE(run.requests.empty());
        EXPECT_TRUE(lists.ReplyUntouched());
    }
    // 98 records are the most that fit.
    Lists lists;
    for (int32_t i = 0; i < 98; ++i) {
        lists.Add({0x0A, 0x04});
    }
    EXPECT_EQ(Exchange(lists, {}).result, 0);
}

TEST(BuiltInServer, IsTheConfiguredHostOnPort4006) {
    const ServerEndpoint endpoint = BuiltInServer();
    EXPECT_EQ(endpoint.host, ZOLT_EXPECTED_SERVER_HOST);
    EXPECT_EQ(endpoint.port, 4006);
    EXPECT_EQ(endpoint.receiveTimeoutMs, 20'000u);
}

}  // namespace
}  // namespace zolt
