// The record exchange of a 20,000,000-byte reply over loopback against the reference server, in one
// transaction and broken off 29 times (30 transactions), each against a plain socket copy of the
// same bytes (one connection, one sender writing them, one receiver reading them into a fresh
// area of the same size) measured in the same run, alternately, with the log on.
//
//   zolt-bench-exchange [--repeat R]
//
// The reply: 18,115 records of 1,100 bytes (the most that fit) padded with zero bytes to exactly
// 20,000,000. Each server has built it (in a warm-up exchange) before the measured one, so the
// figures hold the client's work and the transfer, not the test server's building of its reply.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "server/exchange_records.h"
#include "server/record_list.h"
#include "sim/server/reference_server.h"

namespace zolt::bench {
namespace {

constexpr int32_t ReplyBytes = 20'000'000;
constexpr int Blocks = 18'115;  // 8 + 18,115 x (4 + 1,100) = 19,998,968 bytes before the padding
constexpr int Transactions = 30;

struct Timing {
    double wall = 0;
    double cpu = 0;         // of the receiving thread
    uint64_t logBytes = 0;  // written to the log meanwhile
};

// A plain copy: a listening sender that writes `bytes` in `connections` consecutive slices, one
// connection each, closing after each, and a receiver on this thread that connects for each slice
// and reads until the sender closes, into one fresh area.
bool PlainCopy(const std::vector<uint8_t>& bytes, int connections, Timing& timing) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        return false;
    }
    const auto sliceEnd = [&](int k) {
        return bytes.size() * static_cast<std::size_t>(k + 1) /
               static_cast<std::size_t>(connections);
    };
    std::thread sender([&] {
        for (int k = 0; k < connections; ++k) {
            const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) {
                return;
            }
            std::size_t sent = k == 0 ? 0 : sliceEnd(k - 1);
            while (sent < sliceEnd(k)) {
                const ssize_t n =
                    ::send(peer, bytes.data() + sent, sliceEnd(k) - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<std::size_t>(n);
            }
            ::close(peer);
        }
    });

    const double wall0 = WallSeconds();
    const double cpu0 = ThreadCpuSeconds();
    std::unique_ptr<uint8_t[]> area(new uint8_t[ReplyBytes]);  // as fresh as the exchange's
    std::size_t received = 0;
    for (int k = 0; k < connections; ++k) {
        const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(socket, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
            for (;;) {
                const ssize_t n = ::recv(socket, area.get() + received, ReplyBytes - received, 0);
                if (n <= 0) {
                    break;
                }
                received += static_cast<std::size_t>(n);
            }
        }
        ::close(socket);
    }
    area.reset();  // the exchange gives its areas back inside its time too
    timing.wall = WallSeconds() - wall0;
    timing.cpu = ThreadCpuSeconds() - cpu0;
    sender.join();
    ::close(listener);
    return received == bytes.size();
}

// One exchange as a procedure runs it: a request of three records, a fresh reply list.
bool Exchange(uint16_t port, const ScratchLog& log, Timing& timing) {
    RecordList request(RecordList::RequestSlots, RecordList::RequestSlotCapacity);
    const uint8_t code[] = {0x0A, sim::RequestStFirmware};
    std::copy(code, code + 2, request.Slot(0));
    request.lengths[0] = 2;
    FixedSystem system;
    RecordList reply(RecordList::ReplySlots, RecordList::ReplySlotCapacity);
    const uint64_t log0 = log.FileSize();
    const double wall0 = WallSeconds();
    const double cpu0 = ThreadCpuSeconds();
    const int32_t result =
        ExchangeRecords(request, 1, reply, ServerEndpoint{"127.0.0.1", port, 20'000}, system);
    timing.wall = WallSeconds() - wall0;
    timing.cpu = ThreadCpuSeconds() - cpu0;
    timing.logBytes = log.FileSize() - log0;
    return result == 0 && reply.count == Blocks;
}

// The first touch of a fresh area of `bytes` bytes, a store to each page: what the system
// charges for memory before any data lands in it.
double FirstTouchSeconds(std::size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return 0;
    }
    const double start = WallSeconds();
    auto* area = static_cast<volatile uint8_t*>(p);
    for (std::size_t at = 0; at < bytes; at += 4096) {
        area[at] = 1;
    }
    const double seconds = WallSeconds() - start;
    ::munmap(p, bytes);
    return seconds;
}

int Main(int argc, char** argv) {
    int repeat = 5;
    bool warm = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--warm-memory") {
            warm = true;
        } else {
            std::fprintf(stderr, "usage: zolt-bench-exchange [--repeat R] [--warm-memory]\n");
            return 2;
        }
    }

    if (warm) {
        // Every area from the heap, which keeps what it is given back: after the first round the
        // plain copy and the exchange write into memory touched before. The reply list's calloc
        // then clears its 44 MB, a cost the fresh pages of a normal run do not have.
        ::mallopt(M_MMAP_MAX, 0);
        ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
    } else {
        // Every large area a fresh mapping, for the plain copy and the exchange alike, as in a
        // run's first exchange: otherwise the allocator would hand later rounds touched memory.
        ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    }

    sim::ReferenceServerOptions once;
    once.stFirmware = sim::DemoFirmware(sim::RequestStFirmware, Blocks, 1100);
    once.j2534Firmware = {};
    once.padTo = ReplyBytes;
    // Each round's resuming server first serves a warm-up exchange whose 30 transactions all
    // break off (so that it has built its reply), then the measured one with 29 break-offs.
    sim::ReferenceServerOptions resumed = once;
    resumed.breakOffAfter = (ReplyBytes + Transactions - 1) / Transactions;
    resumed.breakOffTransactions = Transactions + Transactions - 1;

    sim::ReferenceServer first(once);
    const std::vector<uint8_t> bytes = first.ReplyFor(
        sim::ParsedRequest{true, {}, 0, 0, {{0x0A, sim::RequestStFirmware}, {}, {}}});
    if (bytes.size() != static_cast<std::size_t>(ReplyBytes)) {
        std::fprintf(stderr, "the reply is %zu bytes, not %d\n", bytes.size(), ReplyBytes);
        return 1;
    }

    ScratchLog log;
    std::printf(
        "Record exchange of a %d-byte reply over loopback, log on, %s; median of %d "
        "runs\n",
        ReplyBytes, warm ? "memory touched before" : "fresh memory", repeat);
    std::printf("breaking off: %lld bytes in each of the first %d transactions\n\n",
                static_cast<long long>(resumed.breakOffAfter), Transactions - 1);

    std::vector<double> plainWall, plainCpu, onceWall, onceCpu, resumedWall, resumedCpu;
    std::vector<double> onceRatio, resumedRatio, touch, plain30Wall, plain30Cpu, plain30Ratio;
    bool ok = true;
    for (int r = 0; r < repeat && ok; ++r) {
        // Fresh servers each round, so that every round's first transaction starts alike.
        sim::ReferenceServer oneServer(once);
        sim::ReferenceServer resumedServer(resumed);
        if (!oneServer.Start() || !resumedServer.Start()) {
            std::fprintf(stderr, "the reference servers did not start\n");
            return 1;
        }
        Timing plain, plain30, one, again, warmUp;
        Exchange(oneServer.Port(), log, warmUp);
        Exchange(resumedServer.Port(), log, warmUp);  // fails: all 30 transactions break off
        ok = PlainCopy(bytes, 1, plain) && Exchange(oneServer.Port(), log, one) &&
             Exchange(resumedServer.Port(), log, again) && PlainCopy(bytes, Transactions, plain30);
        if (!ok) {
            std::fprintf(stderr, "round %d failed\n", r + 1);
            break;
        }
        touch.push_back(FirstTouchSeconds(ReplyBytes));
        plainWall.push_back(plain.wall);
        plainCpu.push_back(plain.cpu);
        onceWall.push_back(one.wall);
        onceCpu.push_back(one.cpu);
        resumedWall.push_back(again.wall);
        resumedCpu.push_back(again.cpu);
        plain30Wall.push_back(plain30.wall);
        plain30Cpu.push_back(plain30.cpu);
        plain30Ratio.push_back(plain30.wall / plain.wall);
        onceRatio.push_back(one.wall / plain.wall);
        resumedRatio.push_back(again.wall / plain.wall);
        std::printf(
            "round %d: plain %.1f ms, one transaction %.1f ms (x%.2f, log %llu bytes), "
            "30 transactions %.1f ms (x%.2f, log %llu bytes)\n",
            r + 1, plain.wall * 1e3, one.wall * 1e3, one.wall / plain.wall,
            static_cast<unsigned long long>(one.logBytes), again.wall * 1e3,
            again.wall / plain.wall, static_cast<unsigned long long>(again.logBytes));
    }
    if (!ok) {
        return 1;
    }
    std::printf("\n%-26s %10s %10s %12s %10s\n", "", "wall ms", "MB/s", "client cpu ms", "x plain");
    const auto row = [&](const char* name, const std::vector<double>& wall,
                         const std::vector<double>& cpu, const std::vector<double>& ratio) {
        const double w = Median(wall);
        std::printf("%-26s %10.1f %10.0f %12.1f %10s\n", name, w * 1e3, ReplyBytes / w / 1e6,
                    Median(cpu) * 1e3, ratio.empty() ? "1" : Fixed(Median(ratio), 2).c_str());
    };
    row("plain socket copy", plainWall, plainCpu, {});
    row("exchange, 1 transaction", onceWall, onceCpu, onceRatio);
    row("exchange, 29 resumes", resumedWall, resumedCpu, resumedRatio);
    row("plain copy, 30 connections", plain30Wall, plain30Cpu, plain30Ratio);
    std::printf(
        "\nx plain: the median of each round's ratio to the plain copy of the same round.\n");

    // What the fresh memory costs: the plain copy touches one area of 20,000,000 bytes; the
    // exchange two in one transaction (its transaction area and the reply list's record slots)
    // and, with resumes, also the repeats' own area as far as one transaction fills it.
    const double touchSeconds = Median(touch);
    const double resumedAreas = 2.0 + static_cast<double>(resumed.breakOffAfter) / ReplyBytes;
    std::printf(
        "first touch of a fresh %d-byte area (one store a page): %.1f ms; areas touched: "
        "plain 1, one transaction 2, 29 resumes %.2f\n",
        ReplyBytes, touchSeconds * 1e3, resumedAreas);
    return 0;
}

}  // namespace
}  // namespace zolt::bench

int main(int argc, char** argv) {
    return zolt::bench::Main(argc, argv);
}
