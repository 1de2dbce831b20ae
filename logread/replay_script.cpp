#include "logread/replay_script.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace zolt::logread {

namespace {

constexpr std::size_t MostScriptBytes = 256u * 1024 * 1024;

void PutLe32(std::vector<uint8_t>& bytes, std::size_t at, uint32_t value) {
    if (bytes.size() < at + 4) {
        bytes.resize(at + 4, 0);
    }
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A reply record list: total length, count, lengths, records.
std::vector<uint8_t> BuildReply(const std::vector<std::vector<uint8_t>>& records) {
    std::vector<uint8_t> out(8 + 4 * records.size(), 0);
    PutLe32(out, 4, static_cast<uint32_t>(records.size()));
    for (std::size_t i = 0; i < records.size(); ++i) {
        PutLe32(out, 8 + 4 * i, static_cast<uint32_t>(records[i].size()));
    }
    for (const auto& r : records) {
        out.insert(out.end(), r.begin(), r.end());
    }
    PutLe32(out, 0, static_cast<uint32_t>(out.size()));
    return out;
}

bool IsRequest(const std::vector<uint8_t>& bytes) {
    static const uint8_t chip[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    static const uint8_t info[] = {0x06, 0x00, 0x01, 0x00, 0xBE, 0xB9};
    const auto is = [&](const uint8_t* r, std::size_t n) {
        return bytes.size() == n && std::equal(bytes.begin(), bytes.end(), r);
    };
    return is(chip, sizeof chip) || is(info, sizeof info) ||
           (bytes.size() == 3 && bytes[0] == 3 && bytes[1] == 0);
}

// What one exchange of the recording left to build its reply from.
struct ExchangeTrace {
    std::vector<std::vector<uint8_t>> blocks;
    int64_t collected = 0;
    std::optional<Event> refusal;
};

}  // namespace

void SplitReplayArgument(const std::string& text, std::string& path, int& run) {
    path = text;
    run = 0;
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size() || text.size() - colon > 9) {
        return;
    }
    const std::string number = text.substr(colon + 1);
    if (number.find_first_not_of("0123456789") != std::string::npos) {
        return;
    }
    path = text.substr(0, colon);
    run = std::stoi(number);
}

bool LoadReplayScript(const std::string& path, int run, ReplayScript& script, std::string& error) {
    script = ReplayScript();
    script.file = path;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot read " + path;
        return false;
    }
    // First pass: where the run lies.
    std::optional<RunReport> chosen;
    const FileReport report = ExplainLog(file, [&](const RunReport& r) {
        if (run == 0 || r.index == run) {
            chosen = r;
        }
    });
    if (report.notALog) {
        std::fclose(file);
        error = path + " is not a log of this program";
        return false;
    }
    if (!chosen) {
        std::fclose(file);
        error = path + " holds " + std::to_string(report.runs) + " runs" +
                (run > 0 ? ", not run " + std::to_string(run) : "");
        return false;
    }
    script.run = *chosen;

    // Second pass: the run's lines into the script.
    std::rewind(file);
    LineReader reader(file);
    LogLine line;
    double lastStep = 0, now = 0;
    int64_t lastMs = 0;
    bool timeValid = false, first = true;
    bool lastWasServer = false;
    bool inTransaction = false;
    std::vector<ExchangeTrace> traces;
    std::size_t bytes = 0;
    while (reader.Next(line)) {
        if (line.number < script.run.firstLine) {
            continue;
        }
        if (line.number > script.run.lastLine) {
            break;
        }
        if (!first) {
            if (line.elapsed == Elapsed::Seconds) {
                now += line.seconds;
            } else if (line.timeValid && timeValid) {
                now += std::max<double>(0, static_cast<double>(line.timeMs - lastMs) / 1000);
            }
        }
        first = false;
        if (line.timeValid) {
            lastMs = line.timeMs;
            timeValid = true;
        }
        const Event e = Classify(line);
        const bool server = e.kind >= Kind::HostIp && e.kind <= Kind::NoMemory;
        if (server && !lastWasServer) {
            script.exchanges.emplace_back();
            traces.emplace_back();
            inTransaction = false;
        }
        lastWasServer = server;
        ReplayTransaction* t =
            script.transactions.empty() || !inTransaction ? nullptr : &script.transactions.back();
        const auto begin = [&] {
            script.transactions.emplace_back();
            script.transactions.back().exchange = static_cast<int>(script.exchanges.size()) - 1;
            script.transactions.back().line = line.number;
            inTransaction = true;
            t = &script.transactions.back();
        };
        const auto failAt = [&](TransactionStep step, int64_t code, bool opens) {
            if (opens || t == nullptr) {
                begin();
            }
            t->failsAt = step;
            t->error = static_cast<int32_t>(code);
            inTransaction = false;
        };
        switch (e.kind) {
            case Kind::Write:
                bytes += e.bytes.size();
                script.writes.push_back(ReplayWrite{e.bytes, e.bytesCut, false, {}, line.number});
                lastStep = now;
                script.attached = true;
                if (!IsRequest(e.bytes) && !traces.empty()) {
                    traces.back().blocks.push_back(e.bytes);
                }
                break;
            case Kind::Read:
                bytes += e.bytes.size();
                if (!script.writes.empty()) {
                    const double delay = std::max(0.0, now - lastStep) * 1000;
                    script.writes.back().reads.push_back(
                        ReplayPiece{e.bytes, static_cast<uint32_t>(std::min(delay, 600'000.0))});
                }
                lastStep = now;
                script.attached = true;
                break;
            case Kind::Fail00:
                if (!script.writes.empty()) {
                    script.writes.back().fails = true;
                }
                break;
            case Kind::OpenFailed:
                script.goneAfter.push_back(script.writes.size());
                break;
            case Kind::Reset:
            case Kind::Open1:
            case Kind::Open2:
                script.attached = true;
                break;
            case Kind::StartupFailed:
                failAt(TransactionStep::Startup, e.a, true);
                break;
            case Kind::SocketFailed:
                failAt(TransactionStep::Socket, e.a, true);
                break;
            case Kind::HostNotFound:
                failAt(TransactionStep::Resolve, 11001, true);
                break;
            case Kind::NoData:
                failAt(TransactionStep::Resolve, 11004, true);
                break;
            case Kind::LookupFailed:
                failAt(TransactionStep::Resolve, e.a, true);
                break;
            case Kind::HostIp:
                begin();
                t->address = e.text;
                break;
            case Kind::ConnectFailed:
                failAt(TransactionStep::Connect, e.a, false);
                break;
            case Kind::SendFailed:
                failAt(TransactionStep::Send, e.a, false);
                break;
            case Kind::ShutdownFailed:
                failAt(TransactionStep::Shutdown, e.a, false);
                break;
            case Kind::BytesReceived:
                if (t != nullptr) {
                    t->pieces.push_back(e.a);
                }
                break;
            case Kind::RecvFailed:
                if (t != nullptr) {
                    t->endError = static_cast<int32_t>(e.a);
                }
                break;
            case Kind::TotalLength:
                // The last one of a transaction is its total.
                break;
            case Kind::FormatError:
                traces.back().refusal = e;
                break;
            default:
                break;
        }
        if (bytes > MostScriptBytes) {
            std::fclose(file);
            error = "run " + std::to_string(script.run.index) + " is too large to replay";
            return false;
        }
    }
    std::fclose(file);

    // The replies. Each exchange's transactions deliver its bytes back to back.
    for (std::size_t x = 0; x < script.exchanges.size(); ++x) {
        ExchangeTrace& trace = traces[x];
        for (const ReplayTransaction& t : script.transactions) {
            if (t.exchange == static_cast<int>(x)) {
                for (const int64_t piece : t.pieces) {
                    trace.collected += piece;
                }
            }
        }
        const auto size = static_cast<std::size_t>(std::max<int64_t>(0, trace.collected));
        std::vector<uint8_t>& reply = script.exchanges[x].reply;
        if (trace.refusal) {
            const Event& r = *trace.refusal;
            reply.assign(size, 0);
            if (r.text == "=SRE002=" && size >= 4) {
                PutLe32(reply, 0, static_cast<uint32_t>(r.a));
            } else if (r.text == "=SRE004=" && size >= 8) {
                PutLe32(reply, 0, static_cast<uint32_t>(size));
                PutLe32(reply, 4, static_cast<uint32_t>(r.a));
            } else if (r.text == "=SRE005=" && r.a >= 0 &&
                       size >= 8 + 4 * static_cast<std::size_t>(r.a + 1)) {
                PutLe32(reply, 0, static_cast<uint32_t>(size));
                PutLe32(reply, 4, static_cast<uint32_t>(r.a + 1));
                PutLe32(reply, 8 + 4 * static_cast<std::size_t>(r.a), static_cast<uint32_t>(r.b));
            } else if (r.text == "=SRE006=" && size >= 12) {
                PutLe32(reply, 0, static_cast<uint32_t>(size));
                PutLe32(reply, 4, 1);
                PutLe32(reply, 8, static_cast<uint32_t>(size));
            } else if (size >= 4) {
                PutLe32(reply, 0, static_cast<uint32_t>(size));
            }
            continue;
        }
        std::vector<std::vector<uint8_t>> records = trace.blocks;
        if (script.run.procedure == Procedure::DeviceInfo) {
            const std::string text = StandInInfoText;
            records = {std::vector<uint8_t>(text.begin(), text.end())};
            records.front().push_back(0);
            script.exchanges[x].standIn = true;
            script.notes.push_back(
                "the update server's text is not in the log: a stand-in text answers");
        }
        reply = BuildReply(records);
        while (reply.size() > size && !records.empty()) {
            records.pop_back();
            reply = BuildReply(records);
        }
        if (reply.size() < size) {
            reply.resize(size, 0);  // bytes after the last record are not read
            PutLe32(reply, 0, static_cast<uint32_t>(size));
        }
    }
    return true;
}

}  // namespace zolt::logread
