#include "logread/log_explain.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

namespace zolt::logread {

namespace {

constexpr std::size_t MaxSteps = 256;
constexpr std::size_t MaxNotes = 20;
constexpr std::size_t MaxPauses = 10;
constexpr std::size_t MaxTransactions = 32;
constexpr double PauseSeconds = 1.0;
constexpr uint32_t AssemblyArea = 5000;  // the most bytes the program puts a frame together from
constexpr uint32_t BlockAnswerArea = 1000;
constexpr double SecondsPerByte = 10.0 / 115200.0;  // 8N1: ten bits a byte

const std::string Banner = "---------------------------  reset ";
const uint8_t ChipIdRequest[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
const uint8_t InfoRequest[] = {0x06, 0x00, 0x01, 0x00, 0xBE, 0xB9};

bool StartsWith(const std::string& s, std::string_view prefix) {
    return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

bool ParseInt(std::string_view text, int64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    bool negative = false;
    std::size_t i = 0;
    if (text[0] == '-') {
        negative = true;
        i = 1;
    }
    if (i == text.size()) {
        return false;
    }
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || v > (INT64_MAX - 9) / 10) {
            return false;
        }
        v = v * 10 + (text[i] - '0');
    }
    value = negative ? -v : v;
    return true;
}

bool NumberAfter(const std::string& message, std::string_view prefix, int64_t& value) {
    return StartsWith(message, prefix) &&
           ParseInt(std::string_view(message).substr(prefix.size()), value);
}

std::string Hex(const std::vector<uint8_t>& bytes, std::size_t most = 16) {
    static const char Digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
        if (i > 0) {
            out += ' ';
        }
        out += Digits[bytes[i] >> 4];
        out += Digits[bytes[i] & 0x0F];
    }
    if (bytes.size() > most) {
        out += " ...";
    }
    return out;
}

std::string Shorten(const std::string& text, std::size_t most = 60) {
    std::string out = text.substr(0, most);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = ' ';
        }
    }
    return text.size() > most ? out + "..." : out;
}

// A number with `decimals` places and a decimal point, whatever the locale says.
std::string Fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string out = buffer;
    for (char& c : out) {
        if (c == ',') {
            c = '.';
        }
    }
    return out;
}

std::string Seconds(double s) {
    return Fixed(s, s < 10 ? 3 : 1) + " s";
}

std::string WithCommas(int64_t value) {
    const uint64_t magnitude =
        value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    const std::string digits = std::to_string(magnitude);
    std::string text = value < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text;
}

// A device frame put together from the pieces read after one write, as the program does it.
struct Assembly {
    std::vector<uint8_t> bytes;  // the first AssemblyArea bytes
    uint64_t total = 0;
    int pieces = 0;
    bool complete = false;
    double lastPiece = 0;
    uint64_t afterComplete = 0;  // bytes read once the frame was whole

    uint32_t Expected() const { return bytes.size() >= 2 ? bytes[0] + 256u * bytes[1] : 0; }

    void Add(const std::vector<uint8_t>& piece, double at) {
        if (complete) {
            afterComplete += piece.size();
            return;
        }
        ++pieces;
        lastPiece = at;
        total += piece.size();
        const std::size_t room = AssemblyArea - std::min<std::size_t>(AssemblyArea, bytes.size());
        bytes.insert(bytes.end(), piece.begin(),
                     piece.begin() + static_cast<std::ptrdiff_t>(std::min(room, piece.size())));
        const uint32_t expected = Expected();
        complete = expected != 0 && expected == total && total <= AssemblyArea;
    }

    // The payload as ReadFrame hands it over, into an area of `capacity` bytes; false when
    // ReadFrame fails. `problem` says why.
    bool Payload(std::vector<uint8_t>& payload, std::size_t capacity, std::string& problem) const {
        payload.clear();
        const uint32_t expected = Expected();
        if (!complete) {
            if (pieces == 0) {
                problem = "no answer";
            } else if (total < 2) {
                problem = "an answer of 1 byte that never completed (" + Hex(bytes) + ")";
            } else if (expected < 2) {
                problem = "an answer whose frame length reads " + std::to_string(expected) +
                          ", which never completes (" + Hex(bytes) + ")";
            } else if (expected > AssemblyArea) {
                problem = "an answer of " + WithCommas(expected) +
                          " bytes, longer than the 5,000 the program puts together";
            } else if (total > expected) {
                problem = std::to_string(total - expected) + " bytes more than the frame's " +
                          std::to_string(expected) + " (" + Hex(bytes, 24) + ")";
            } else {
                problem = "an incomplete answer (" + std::to_string(total) + " of " +
                          std::to_string(expected) + " bytes)";
            }
            return false;
        }
        uint32_t length = 0;
        if (expected >= 5) {
            length = bytes[2] + 256u * bytes[3];
            if (length > expected - 5) {
                problem = "an answer whose payload length (" + std::to_string(length) +
                          ") does not fit its " + std::to_string(expected) + "-byte frame";
                return false;
            }
        }
        const std::size_t copied = std::min<std::size_t>(length, capacity);
        payload.assign(bytes.begin() + 4, bytes.begin() + 4 + static_cast<std::ptrdiff_t>(copied));
        return true;
    }
};

// What the explainer was putting together when the next line came.
enum class Op { None, Reset, Identity, Block, Exchange };
enum class StepType { Reset, Identity, Exchange, Blocks };
struct Step {
    StepType type;
    std::size_t index;
};

struct TransactionState {
    TransactionReport report;
    bool ended = false;
    bool receiving = false;
    bool failedBeforeBytes = false;  // a receive failed with nothing stored
};

std::string SocketText(int64_t code) {
    return "Windows Sockets " + std::to_string(code);
}

std::string ReceiveFailure(int64_t code) {
    return SocketText(code) + (code == 10060   ? ", the receive timed out"
                               : code == 10054 ? ", the connection was reset"
                                               : "");
}

class RunBuilder {
  public:
    bool Active() const { return active_; }

    void Begin(const LogLine& line, int index) {
        *this = RunBuilder();
        active_ = true;
        run_.index = index;
        run_.firstLine = line.number;
        run_.startedAt = line.timestamp;
        lastTimeMs_ = line.timeMs;
        timeValid_ = line.timeValid;
    }

    void Add(const LogLine& line, const Event& e) {
        // The time since the run's first line: the elapsed column where it gives a number, the
        // timestamps otherwise.
        if (run_.lines > 0) {
            double gap = 0;
            if (line.elapsed == Elapsed::Seconds) {
                gap = line.seconds;
            } else if (line.timeValid && timeValid_) {
                gap = std::max<double>(0, static_cast<double>(line.timeMs - lastTimeMs_) / 1000);
            }
            now_ += gap;
            if (gap >= PauseSeconds) {
                AddPause(gap, line);
            }
        }
        if (line.timeValid) {
            lastTimeMs_ = line.timeMs;
            timeValid_ = true;
        }
        ++run_.lines;
        run_.lastLine = line.number;
        run_.totalSeconds = now_;
        if (line.truncated && e.kind != Kind::Write && e.kind != Kind::Read) {
            Note("line " + std::to_string(line.number) + " is " + WithCommas(int64_t(line.length)) +
                 " bytes long; only its start was read");
        }
        Handle(line, e);
    }

    // True when the procedure of this run has come to its end, so that a reset 1A now begins
    // another one.
    bool ProcedureEnded() {
        CloseOp();
        if (steps_.empty()) {
            return false;
        }
        RunReport copy = run_;
        Evaluate(copy);
        return copy.outcome != Outcome::Unfinished;
    }

    RunReport Finish() {
        // A block still waiting for its answer where the run's lines stop was not refused: the
        // log just goes no further.
        if (op_ == Op::Block && !assembly_.complete) {
            Note("the log stops while block " + std::to_string(run_.blockLoops.back().written) +
                 " of the " + PartText(run_.blockLoops.back().part) +
                 " part waited for its answer");
            op_ = Op::None;
        }
        CloseOp();
        Evaluate(run_);
        active_ = false;
        return std::move(run_);
    }

  private:
    void Note(std::string text) {
        if (run_.notes.size() < MaxNotes) {
            run_.notes.push_back(std::move(text));
        } else if (run_.notes.size() == MaxNotes) {
            run_.notes.push_back("(more remarks left out)");
        }
    }

    void AddPause(double gap, const LogLine& line) {
        run_.pauses.push_back(PauseReport{gap, Shorten(line.message, 48), line.number});
        if (run_.pauses.size() > MaxPauses) {
            const auto shortest = std::min_element(
                run_.pauses.begin(), run_.pauses.end(),
                [](const PauseReport& x, const PauseReport& y) { return x.seconds < y.seconds; });
            run_.pauses.erase(shortest);
        }
    }

    void AddStep(StepType type, std::size_t index) {
        if (steps_.size() < MaxSteps) {
            steps_.push_back(Step{type, index});
        } else if (!stepsCut_) {
            stepsCut_ = true;
            Note("more steps than a procedure has; the rest were not put together");
        }
    }

    bool Room(std::size_t size) { return size < MaxSteps; }

    void Handle(const LogLine& line, const Event& e) {
        switch (e.kind) {
            case Kind::Start:
                if (run_.lines == 1) {
                    run_.startLine = true;
                    run_.version = e.text;
                } else {
                    Note("line " + std::to_string(line.number) + ": a start line inside a run");
                }
                return;
            case Kind::Reset:
                CloseOp();
                if (!Room(run_.resets.size())) {
                    return;
                }
                if (run_.resets.empty() && run_.startLine) {
                    run_.deviceFoundAfter = now_;
                }
                run_.resets.push_back(ResetReport{e.text, false, {}, now_, line.number});
                AddStep(StepType::Reset, run_.resets.size() - 1);
                if (e.text == "1A") {
                    after2B_ = false;
                } else if (e.text == "2B") {
                    after2B_ = true;
                }
                op_ = Op::Reset;
                resetWrites_ = 0;
                assembly_ = Assembly();
                return;
            case Kind::Open1:
            case Kind::Open2:
                if (op_ != Op::Reset || run_.resets.back().code != "1A") {
                    Unexpected(line);
                }
                return;
            case Kind::OpenFailed:
                if (op_ == Op::Reset) {
                    run_.resets.back().problem =
                        "the interface could not be opened again (unplugged?)";
                    opFailed_ = true;
                } else {
                    Unexpected(line);
                }
                return;
            case Kind::Fail00:
            case Kind::Fail00Second:
                if (op_ == Op::Reset) {
                    run_.resets.back().problem =
                        e.kind == Kind::Fail00 ? "the reset frame could not be sent" : "no answer";
                    opFailed_ = true;
                } else {
                    Unexpected(line);
                }
                return;
            case Kind::Write:
                HandleWrite(line, e);
                return;
            case Kind::Read:
                if (op_ == Op::Reset || op_ == Op::Identity || op_ == Op::Block) {
                    assembly_.Add(e.bytes, now_);
                    if (op_ == Op::Block) {
                        loopBytes_ += e.bytes.size();
                    }
                } else {
                    Note("line " + std::to_string(line.number) + ": bytes read with nothing asked");
                }
                return;
            case Kind::DriverNote:
                ++driverNotes_;
                if (firstDriverNote_.empty()) {
                    firstDriverNote_ = Shorten(e.text, 100);
                }
                Note("line " + std::to_string(line.number) + ": the driver said \"" +
                     Shorten(e.text, 100) + "\"");
                return;
            case Kind::Other:
                Unexpected(line);
                return;
            default:
                HandleServer(line, e);
                return;
        }
    }

    void Unexpected(const LogLine& line) {
        Note("line " + std::to_string(line.number) + ": \"" + Shorten(line.message) + "\"");
    }

    void HandleWrite(const LogLine& line, const Event& e) {
        const std::vector<uint8_t>& bytes = e.bytes;
        if (op_ == Op::Reset && bytes.size() == 3 && bytes[0] == 3 && bytes[1] == 0 &&
            resetWrites_ < 2 && Hex({bytes[2]}) == run_.resets.back().code) {
            ++resetWrites_;
            assembly_ = Assembly();  // the answer to this send
            return;
        }
        const bool chip = bytes.size() == sizeof ChipIdRequest &&
                          std::equal(bytes.begin(), bytes.end(), ChipIdRequest);
        const bool info = bytes.size() == sizeof InfoRequest &&
                          std::equal(bytes.begin(), bytes.end(), InfoRequest);
        CloseOp();
        if (chip || info) {
            if (!Room(run_.identities.size())) {
                return;
            }
            IdentityReport id;
            id.part = after2B_ ? PartName::J2534 : PartName::St;
            id.chipId = chip;
            id.line = line.number;
            run_.identities.push_back(id);
            AddStep(StepType::Identity, run_.identities.size() - 1);
            op_ = Op::Identity;
            assembly_ = Assembly();
            return;
        }
        if (bytes.size() == 3 && bytes[0] == 3 && bytes[1] == 0) {
            Note("line " + std::to_string(line.number) + ": a reset frame outside its sequence");
        }
        // A firmware block: the loop that follows the last exchange.
        if (!loopOpen_) {
            if (!Room(run_.blockLoops.size())) {
                return;
            }
            BlockLoopReport loop;
            loop.part = run_.exchanges.size() >= 2 ? PartName::J2534 : PartName::St;
            run_.blockLoops.push_back(loop);
            AddStep(StepType::Blocks, run_.blockLoops.size() - 1);
            loopOpen_ = true;
            loopStart_ = now_;
            loopBytes_ = 0;
            if (run_.exchanges.empty()) {
                Note("line " + std::to_string(line.number) +
                     ": bytes written that are no request the program sends before asking the "
                     "server");
            }
        }
        BlockLoopReport& loop = run_.blockLoops.back();
        if (loop.failed) {
            Note("line " + std::to_string(line.number) + ": a block written after one was refused");
        }
        ++loop.written;
        loopBytes_ += bytes.size();
        blockSizes_ += bytes.size();
        lastBlockSize_ = bytes.size();
        blockWrittenAt_ = now_;
        op_ = Op::Block;
        assembly_ = Assembly();
    }

    TransactionState& Transaction() { return transaction_; }

    void BeginTransaction(const LogLine& line) {
        EndTransaction();
        transaction_ = TransactionState();
        transaction_.report.line = line.number;
        inTransaction_ = true;
    }

    void EndTransaction() {
        if (!inTransaction_) {
            return;
        }
        inTransaction_ = false;
        ExchangeReport& ex = run_.exchanges.back();
        ++ex.transactionCount;
        ex.collected += transaction_.report.bytes;
        if (transaction_.report.end.empty()) {
            transaction_.report.end = "stops here";
        }
        lastResult_ = transaction_.report.result;
        lastFailedBeforeBytes_ = transaction_.failedBeforeBytes;
        lastTransaction_ = transaction_.report;
        if (ex.transactions.size() < MaxTransactions) {
            ex.transactions.push_back(transaction_.report);
        }
    }

    void HandleServer(const LogLine& line, const Event& e) {
        if (op_ != Op::Exchange) {
            CloseOp();
            if (!Room(run_.exchanges.size())) {
                return;
            }
            ExchangeReport ex;
            ex.line = line.number;
            run_.exchanges.push_back(ex);
            AddStep(StepType::Exchange, run_.exchanges.size() - 1);
            op_ = Op::Exchange;
            inTransaction_ = false;
            lastResult_ = 0;
            lastFailedBeforeBytes_ = false;
        }
        ExchangeReport& ex = run_.exchanges.back();
        // Lines that can only open a transaction, and lines that go on the one under way.
        const bool opens = e.kind == Kind::StartupFailed || e.kind == Kind::SocketFailed ||
                           e.kind == Kind::HostNotFound || e.kind == Kind::NoData ||
                           e.kind == Kind::LookupFailed;
        const auto begins = [&] {
            if (!inTransaction_) {
                BeginTransaction(line);
            }
        };
        const auto fail = [&](int32_t result, std::string end, int64_t code) {
            if (opens || !inTransaction_ || transaction_.ended) {
                BeginTransaction(line);
            }
            transaction_.report.result = result;
            transaction_.report.end = std::move(end);
            transaction_.report.socketError = static_cast<int32_t>(code);
            transaction_.ended = true;
        };
        switch (e.kind) {
            case Kind::StartupFailed:
                fail(-1, "the sockets library did not start (error " + std::to_string(e.a) + ")",
                     e.a);
                break;
            case Kind::SocketFailed:
                fail(-1, "no socket (" + SocketText(e.a) + ")", e.a);
                break;
            case Kind::HostNotFound:
                fail(11001,
                     "update server not found: its name does not resolve (" + SocketText(11001) +
                         ")",
                     11001);
                break;
            case Kind::NoData:
                fail(-1, "update server's name has no address record (" + SocketText(11004) + ")",
                     11004);
                break;
            case Kind::LookupFailed:
                fail(-1, "update server's name could not be resolved (" + SocketText(e.a) + ")",
                     e.a);
                break;
            case Kind::HostIp:
                BeginTransaction(line);
                transaction_.report.address = e.text;
                break;
            case Kind::ConnectFailed: {
                std::string what = e.a == 10061 ? "update server refused the connection"
                                   : e.a == 10060
                                       ? "update server did not accept the connection in time"
                                       : "could not connect to the update server";
                fail(-1, what + " (" + SocketText(e.a) + ")", e.a);
                break;
            }
            case Kind::SendFailed:
                fail(-1,
                     "the request could not be sent to the update server (" + SocketText(e.a) + ")",
                     e.a);
                break;
            case Kind::ShutdownFailed:
                fail(-1,
                     "the request could not be finished to the update server (" + SocketText(e.a) +
                         ")",
                     e.a);
                break;
            case Kind::RecvStart:
                begins();
                transaction_.receiving = true;
                break;
            case Kind::BytesReceived:
                begins();
                ++transaction_.report.chunks;
                break;
            case Kind::TotalLength:
                begins();
                transaction_.report.bytes = e.a;
                break;
            case Kind::ConnectionClosed:
                begins();
                transaction_.report.end = "closed by the server";
                transaction_.ended = true;
                break;
            case Kind::RecvFailed:
                begins();
                transaction_.report.socketError = static_cast<int32_t>(e.a);
                transaction_.report.result = transaction_.report.bytes > 0 ? 10752 : 0;
                transaction_.failedBeforeBytes = transaction_.report.bytes == 0;
                transaction_.report.end =
                    std::string(transaction_.report.bytes > 0 ? "broke off" : "no answer") + " (" +
                    ReceiveFailure(e.a) + ")";
                transaction_.ended = true;
                break;
            case Kind::TransactionTooLarge:
                fail(-1, "the update server sent more than 20,000,000 bytes", 0);
                break;
            case Kind::Resume:
                EndTransaction();
                ++ex.resumes;
                break;
            case Kind::FormatError:
                EndTransaction();
                ex.refusal =
                    e.text + std::to_string(e.a) + (e.hasB ? "," + std::to_string(e.b) : "");
                formatError_ = e;
                break;
            case Kind::ExchangeTooLarge:
                EndTransaction();
                ex.refusal = "larger than 20,000,000 bytes";
                formatError_ = e;
                break;
            case Kind::NoMemory:
                EndTransaction();
                ex.refusal = "no memory";
                formatError_ = e;
                break;
            default:
                Unexpected(line);
                break;
        }
    }

    std::string RefusalText() const {
        const Event& e = formatError_;
        if (e.kind == Kind::ExchangeTooLarge) {
            return "the update server's reply over its repeats is larger than 20,000,000 bytes";
        }
        if (e.kind == Kind::NoMemory) {
            return "there was no memory for the update server's reply";
        }
        const std::string& tag = e.text;
        if (tag == "=SRE001=") {
            if (e.a == 0 && lastFailedBeforeBytes_) {
                return "the update server did not answer (" +
                       ReceiveFailure(lastTransaction_.socketError) + ")";
            }
            if (e.a == 0) {
                return "the update server closed the connection without answering";
            }
            return "the update server's reply is too short (" + std::to_string(e.a) +
                   " bytes; at least 13 are needed)";
        }
        if (tag == "=SRE002=") {
            return "the update server's reply says it is " + WithCommas(e.a) + " bytes long but " +
                   WithCommas(e.b) + " came";
        }
        if (tag == "=SRE004=") {
            return "the update server's reply claims " + WithCommas(e.a) + " records (at most " +
                   WithCommas(e.b) + " fit)";
        }
        if (tag == "=SRE005=") {
            return "record " + std::to_string(e.a + 1) + " of the update server's reply is " +
                   WithCommas(e.b) + " bytes long (at most 1,100 fit)";
        }
        if (tag == "=SRE006=") {
            return "the records of the update server's reply run past its end (to byte " +
                   WithCommas(e.a) + " of " + WithCommas(e.b) + ")";
        }
        return "the program could not build its request (" + tag + ")";
    }

    void CloseExchange() {
        EndTransaction();
        ExchangeReport& ex = run_.exchanges.back();
        if (!ex.refusal.empty()) {
            ex.problem = RefusalText();
        } else if (ex.transactionCount == 0) {
            ex.problem = "the exchange left no trace of a transaction";
        } else if (lastResult_ == 10752) {
            ex.problem = "the update server's reply broke off " +
                         std::to_string(ex.transactionCount) + " times (the last after " +
                         WithCommas(lastTransaction_.bytes) + " bytes, " +
                         ReceiveFailure(lastTransaction_.socketError) + ")";
        } else if (lastResult_ != 0) {
            ex.problem = lastTransaction_.end;
        } else {
            ex.ok = true;
        }
        formatError_ = Event();
    }

    void CloseBlock() {
        BlockLoopReport& loop = run_.blockLoops.back();
        std::vector<uint8_t> payload;
        std::string problem;
        const bool read = assembly_.Payload(payload, BlockAnswerArea, problem);
        const bool st = loop.part == PartName::St;
        bool accepted = false;
        if (read) {
            accepted = st ? payload.size() >= 2 &&
                                (payload[1] == 0 || payload[0] == 0xA7 || payload[0] == 0xA8)
                          : payload.size() == 2 && payload[1] == 0;
        }
        if (assembly_.complete) {
            const double answer = assembly_.lastPiece - blockWrittenAt_;
            if (answer > loop.slowestAnswer || loop.slowestBlock == 0) {
                loop.slowestAnswer = answer;
                loop.slowestBlock = loop.written;
            }
            loop.seconds = assembly_.lastPiece - loopStart_;
        } else {
            loop.seconds = now_ - loopStart_;
        }
        loop.lineBytes = loopBytes_;
        if (loop.seconds > 0) {
            loop.lineRateFraction = static_cast<double>(loopBytes_) * SecondsPerByte / loop.seconds;
        }
        if (accepted) {
            ++loop.accepted;
            BlockCountText(loop);  // how many the server sent, as far as the reply tells
            return;
        }
        if (loop.failed) {
            return;
        }
        loop.failed = true;
        loop.rejectedAnswer = Hex(assembly_.bytes, 24);
        const std::string block = "block " + std::to_string(loop.written) + BlockCountText(loop) +
                                  " of the " + PartText(loop.part) + " part";
        if (!read && assembly_.pieces == 0) {
            loop.problem = "the interface did not answer " + block;
        } else if (!read) {
            loop.problem = "the interface gave a bad answer to " + block + ": " + problem;
        } else if (payload.size() >= 2 && payload[1] != 0) {
            loop.problem = "the interface rejected " + block + " (answer " +
                           Hex({payload[0], payload[1]}) + ")";
        } else if (assembly_.Expected() < 5) {
            loop.problem = "the interface answered " + block + " with a " +
                           std::to_string(assembly_.Expected()) +
                           "-byte frame, which carries no payload (" + Hex(assembly_.bytes) + ")";
        } else {
            loop.problem = "the interface answered " + block + " with a payload of " +
                           std::to_string(payload.size()) +
                           (payload.size() == 1 ? " byte" : " bytes") +
                           (payload.empty() ? "" : " (" + Hex(payload) + ")") +
                           (st ? "; at least 2 are needed" : "; exactly 2 are needed");
        }
    }

    // " of 24" when the reply's size tells how many blocks the server sent: the rest of the
    // reply divides evenly into blocks of the last one's size.
    std::string BlockCountText(BlockLoopReport& loop) const {
        if (run_.exchanges.empty() || !run_.exchanges.back().ok) {
            return "";
        }
        const int64_t total = run_.exchanges.back().collected;
        const int64_t k = loop.written;
        const int64_t rest = total - 8 - 4 * k - static_cast<int64_t>(blockSizes_);
        const int64_t each = 4 + static_cast<int64_t>(lastBlockSize_);
        if (rest >= 0 && each > 0 && rest % each == 0) {
            loop.blockCount = static_cast<int>(k + rest / each);
            return " of " + std::to_string(*loop.blockCount);
        }
        loop.blockCount.reset();
        return "";
    }

    void CloseIdentity() {
        IdentityReport& id = run_.identities.back();
        std::vector<uint8_t> payload;
        std::string problem;
        const std::size_t need = id.chipId ? 10 : 50;
        const uint8_t code = id.chipId ? 0xD1 : 0xBE;
        if (!assembly_.Payload(payload, 65, problem)) {
            id.problem = problem;
        } else if (payload.size() < need) {
            id.problem = "a payload of " + std::to_string(payload.size()) + " bytes, " +
                         std::to_string(need) + " needed (" + Hex(payload) + ")";
        } else if (payload[0] != code) {
            id.problem = "answer for command " + Hex({payload[0]}) + " instead of " + Hex({code});
        } else if (payload[1] != 0) {
            id.problem =
                "result byte " + Hex({payload[1]}) + " (" + Hex({payload[0], payload[1]}) + ")";
        } else {
            id.ok = true;
            const std::size_t end = id.chipId ? 10 : std::min<std::size_t>(payload.size(), 50);
            id.data.assign(payload.begin() + 2, payload.begin() + static_cast<std::ptrdiff_t>(end));
        }
    }

    void CloseReset() {
        ResetReport& r = run_.resets.back();
        if (opFailed_) {
            return;
        }
        if (resetWrites_ == 0) {
            r.problem = "the reset frame was not sent";
            return;
        }
        std::vector<uint8_t> payload;
        std::string problem;
        if (resetWrites_ == 2 && assembly_.Payload(payload, 65, problem)) {
            r.answered = true;
        } else {
            r.problem = resetWrites_ < 2 ? "sent once only" : problem;
        }
    }

    void CloseOp() {
        switch (op_) {
            case Op::Reset:
                CloseReset();
                loopOpen_ = false;
                break;
            case Op::Identity:
                CloseIdentity();
                loopOpen_ = false;
                break;
            case Op::Block:
                CloseBlock();
                break;
            case Op::Exchange:
                CloseExchange();
                loopOpen_ = false;
                blockSizes_ = 0;
                break;
            case Op::None:
                break;
        }
        op_ = Op::None;
        opFailed_ = false;
    }

    // What the procedure did, from the steps put together.
    void Evaluate(RunReport& run) const {
        std::size_t i = 0;
        const auto at = [&](StepType type) { return i < steps_.size() && steps_[i].type == type; };
        const auto atReset = [&](const char* code) {
            return at(StepType::Reset) && run.resets[steps_[i].index].code == code;
        };
        const auto unfinished = [&](std::string reason) {
            run.outcome = Outcome::Unfinished;
            run.reason = std::move(reason);
        };
        const auto failed = [&](std::string step, std::string reason) {
            run.outcome = Outcome::Failed;
            run.step = std::move(step);
            run.reason = std::move(reason);
        };
        if (steps_.empty()) {
            if (run.startLine && run.lines == 1 + driverNotes_) {
                run.outcome = Outcome::DeviceNotFound;
                run.reason = driverNotes_ == 0
                                 ? "device not found: nothing was logged after the start line (no "
                                   "interface opened within 10 s, or no procedure was started)"
                                 : "device not found: the interface could not be opened (the "
                                   "driver said \"" +
                                       firstDriverNote_ + "\")";
            } else {
                unfinished("no procedure in these lines");
            }
            return;
        }
        if (!atReset("1A")) {
            unfinished("these lines do not begin with reset 1A, as a procedure does");
            return;
        }
        // The st identification.
        std::string idProblem;
        const auto identify = [&](PartName part) {
            const ResetReport& r = run.resets[steps_[i].index];
            ++i;
            if (!r.answered) {
                idProblem = "reset 1A failed: " + r.problem;
                return false;
            }
            for (const bool chip : {true, false}) {
                if (!at(StepType::Identity)) {
                    idProblem = std::string("no ") +
                                (chip ? "chip identifier" : "information block") + " was read";
                    return false;
                }
                const IdentityReport& id = run.identities[steps_[i].index];
                ++i;
                if (!id.ok) {
                    idProblem = std::string("the ") + PartText(part) +
                                (chip ? " chip identifier" : " information block") +
                                " failed: " + id.problem;
                    return false;
                }
            }
            return true;
        };
        const bool stIdentified = identify(PartName::St);

        if (atReset("00")) {
            run.procedure = Procedure::DeviceInfo;
            ++i;
            if (!at(StepType::Exchange)) {
                unfinished("the log of this run stops before the update server was asked");
                return;
            }
            const ExchangeReport& ex = run.exchanges[steps_[i].index];
            if (ex.ok) {
                run.outcome = Outcome::Succeeded;
                run.reason = "the update server answered (" + WithCommas(ex.collected) + " bytes)";
                if (!stIdentified) {
                    run.reason +=
                        "; the request went without the full identification: " + idProblem;
                }
            } else {
                failed("asking the update server", ex.problem);
            }
            return;
        }
        run.procedure = Procedure::Update;

        // One stage: the exchange, the blocks, reset 00. False when the stage failed (or the log
        // stops), with the outcome set.
        const auto stage = [&](PartName part, const BlockLoopReport*& loop) {
            const std::string name = PartText(part);
            if (!at(StepType::Exchange)) {
                unfinished("the log of this run stops before the update server was asked for the " +
                           name + " firmware");
                return false;
            }
            const ExchangeReport& ex = run.exchanges[steps_[i].index];
            ++i;
            loop = nullptr;
            if (at(StepType::Blocks)) {
                loop = &run.blockLoops[steps_[i].index];
                ++i;
            }
            if (!ex.ok) {
                failed("asking the update server for the " + name + " firmware",
                       ex.problem + ", asked for the " + name + " firmware");
                return false;
            }
            if (loop != nullptr && loop->failed) {
                failed("writing the " + name + " firmware", loop->problem);
                return false;
            }
            if (!atReset("00")) {
                unfinished(loop == nullptr
                               ? "the log of this run stops after the update server answered"
                               : "the log of this run stops after block " +
                                     std::to_string(loop->written) + " of the " + name + " part");
                return false;
            }
            ++i;
            if (loop == nullptr) {
                failed("asking the update server for the " + name + " firmware",
                       "the update server sent no firmware block for the " + name + " part");
                return false;
            }
            return true;
        };

        const BlockLoopReport* stLoop = nullptr;
        if (!stage(PartName::St, stLoop)) {
            // An identification that failed first often tells why the blocks failed too.
            if (run.outcome == Outcome::Failed && !stIdentified && stLoop != nullptr) {
                run.reason += " (before that, " + idProblem + ")";
            }
            return;
        }
        if (!stIdentified) {
            run.outcome = Outcome::Succeeded;
            run.stOnly = true;
            run.reason = "the st part only (" + std::to_string(stLoop->written) +
                         " blocks); the j2534 part was not updated because " + idProblem;
            return;
        }
        // Stage 2: the st identification again, reset 2B, the j2534 identification.
        if (!atReset("1A")) {
            unfinished("the log of this run stops after the st part");
            return;
        }
        if (!identify(PartName::St)) {
            run.notes.push_back("stage 2: " + idProblem);
        }
        if (!atReset("2B")) {
            unfinished("the log of this run stops before reset 2B");
            return;
        }
        const ResetReport& r2B = run.resets[steps_[i].index];
        ++i;
        if (!r2B.answered) {
            failed("switching to the j2534 part", "reset 2B failed: " + r2B.problem);
            return;
        }
        for (const bool chip : {true, false}) {
            const std::string what = chip ? "chip identifier" : "information block";
            if (!at(StepType::Identity)) {
                unfinished("the log of this run stops before the j2534 " + what + " was read");
                return;
            }
            const IdentityReport& id = run.identities[steps_[i].index];
            ++i;
            if (!id.ok) {
                failed("reading the j2534 identification",
                       "the j2534 " + what + " failed: " + id.problem);
                return;
            }
        }
        const BlockLoopReport* jLoop = nullptr;
        if (!stage(PartName::J2534, jLoop)) {
            return;
        }
        run.outcome = Outcome::Succeeded;
        run.reason = "both parts updated (" + std::to_string(stLoop->written) + " st blocks, " +
                     std::to_string(jLoop->written) + " j2534 blocks)";
        if (i < steps_.size()) {
            run.notes.push_back("more followed than the procedure does");
        }
    }

    bool active_ = false;
    RunReport run_;
    uint64_t driverNotes_ = 0;
    std::string firstDriverNote_;
    std::vector<Step> steps_;
    bool stepsCut_ = false;
    double now_ = 0;
    int64_t lastTimeMs_ = 0;
    bool timeValid_ = false;

    Op op_ = Op::None;
    bool opFailed_ = false;
    Assembly assembly_;
    int resetWrites_ = 0;
    bool after2B_ = false;

    bool loopOpen_ = false;
    double loopStart_ = 0;
    uint64_t loopBytes_ = 0;
    uint64_t blockSizes_ = 0;
    std::size_t lastBlockSize_ = 0;
    double blockWrittenAt_ = 0;

    bool inTransaction_ = false;
    TransactionState transaction_;
    TransactionReport lastTransaction_;
    int32_t lastResult_ = 0;
    bool lastFailedBeforeBytes_ = false;
    Event formatError_;
};

std::string JsonNumber(double value) {
    return Fixed(value, 6);
}

// The printable stretches of the information data, for reading by eye.
std::string PrintableText(const std::vector<uint8_t>& data) {
    std::string out, word;
    for (const uint8_t b : data) {
        if (b >= 0x20 && b < 0x7F) {
            word += static_cast<char>(b);
            continue;
        }
        if (word.size() >= 3) {
            out += (out.empty() ? "" : " ") + word;
        }
        word.clear();
    }
    if (word.size() >= 3) {
        out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

// The bytes in hexadecimal, a run of zero bytes at the end counted instead of shown.
std::string HexTrimmed(const std::vector<uint8_t>& data) {
    std::size_t end = data.size();
    while (end > 0 && data[end - 1] == 0) {
        --end;
    }
    if (data.size() - end < 4) {
        return Hex(data, 64);
    }
    return Hex(std::vector<uint8_t>(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(end)),
               64) +
           " (then " + std::to_string(data.size() - end) + " zero bytes)";
}

const char* OutcomeWord(const RunReport& run) {
    switch (run.outcome) {
        case Outcome::Succeeded:
            return "succeeded";
        case Outcome::Failed:
            return "failed";
        case Outcome::DeviceNotFound:
            return "failed";
        case Outcome::Unfinished:
            return "unfinished";
    }
    return "";
}

}  // namespace

Event Classify(const LogLine& line) {
    Event e;
    const std::string& m = line.message;
    if (StartsWith(m, "ZOLT Update ") && m.size() > 18 &&
        m.compare(m.size() - 6, 6, " start") == 0) {
        e.kind = Kind::Start;
        e.text = m.substr(12, m.size() - 18);
        return e;
    }
    if (StartsWith(m, Banner)) {
        e.kind = Kind::Reset;
        e.text = m.substr(Banner.size());
        return e;
    }
    // A dump cut with its line (over-long, or the last line of a cut file) keeps its whole bytes.
    const auto hex = [&](std::size_t skip, Kind kind) {
        const std::string_view text = std::string_view(m).substr(skip);
        if (ParseHexBytes(text, e.bytes, AssemblyArea + 1024)) {
            e.kind = kind;
            e.bytesCut = line.truncated;
        } else if (const std::size_t whole = (text.size() + 1) / 3;
                   whole > 0 &&
                   ParseHexBytes(text.substr(0, whole * 3 - 1), e.bytes, AssemblyArea + 1024)) {
            e.kind = kind;
            e.bytesCut = true;
        }
        return e;
    };
    if (StartsWith(m, "Write :  ")) {
        return hex(9, Kind::Write);
    }
    if (StartsWith(m, "Read  :  ")) {
        return hex(9, Kind::Read);
    }
    struct Fixed {
        const char* text;
        Kind kind;
    };
    static const Fixed fixed[] = {
        {"open 1.", Kind::Open1},
        {"open 2.", Kind::Open2},
        {"open failed.", Kind::OpenFailed},
        {"00 fail", Kind::Fail00},
        {"00 fail 2", Kind::Fail00Second},
        {"Host not found", Kind::HostNotFound},
        {"No data record found", Kind::NoData},
        {"Recv start", Kind::RecvStart},
        {"Connection closed", Kind::ConnectionClosed},
        {"No memory for the reply", Kind::NoMemory},
        {"Reply larger than 20000000 bytes, transaction failed", Kind::TransactionTooLarge},
    };
    for (const auto& f : fixed) {
        if (m == f.text) {
            e.kind = f.kind;
            return e;
        }
    }
    if (StartsWith(m, "Host ip : ")) {
        e.kind = Kind::HostIp;
        e.text = m.substr(10);
        return e;
    }
    struct Numbered {
        const char* prefix;
        Kind kind;
    };
    static const Numbered numbered[] = {
        {"WSAStartup failed with error: ", Kind::StartupFailed},
        {"Socket failed with error: ", Kind::SocketFailed},
        {"Function failed with error: ", Kind::LookupFailed},
        {"Socket connect failed with error: ", Kind::ConnectFailed},
        {"Socket send failed with error: ", Kind::SendFailed},
        {"Socket shutdown failed with error: ", Kind::ShutdownFailed},
        {"Bytes received: ", Kind::BytesReceived},
        {"Total length: ", Kind::TotalLength},
        {"Recv failed with error: ", Kind::RecvFailed},
        {"re ", Kind::Resume},
    };
    for (const auto& n : numbered) {
        if (NumberAfter(m, n.prefix, e.a)) {
            e.kind = n.kind;
            return e;
        }
    }
    if (m.size() >= 8 && StartsWith(m, "=SRE") && m[7] == '=') {
        e.kind = Kind::FormatError;
        e.text = m.substr(0, 8);
        const std::string numbers = m.substr(8);
        const auto comma = numbers.find(',');
        if (comma == std::string::npos) {
            ParseInt(numbers, e.a);
        } else {
            ParseInt(std::string_view(numbers).substr(0, comma), e.a);
            e.hasB = ParseInt(std::string_view(numbers).substr(comma + 1), e.b);
        }
        return e;
    }
    if (StartsWith(m, "libftdi1: ")) {
        e.kind = Kind::DriverNote;
        e.text = m;
        return e;
    }
    if (StartsWith(m, "Reply larger than ") && m.find("over the repeats") != std::string::npos) {
        e.kind = Kind::ExchangeTooLarge;
        return e;
    }
    return e;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (b < 0x20 || b == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", b);
            out += buffer;
        } else if (b >= 0x80) {
            // The log's bytes are ISO 8859-1: each is the code point of its value.
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* ProcedureName(Procedure procedure) {
    switch (procedure) {
        case Procedure::Update:
            return "Update";
        case Procedure::DeviceInfo:
            return "Device Info";
        case Procedure::Unknown:
            break;
    }
    return "Update or Device Info";
}

const char* PartText(PartName part) {
    return part == PartName::St ? "st" : "j2534";
}

FileReport ExplainLog(std::FILE* file, const std::function<void(const RunReport&)>& onRun,
                      std::size_t lineLimit) {
    FileReport report;
    LineReader reader(file, lineLimit);
    RunBuilder builder;
    LogLine line;
    while (reader.Next(line)) {
        const Event e = Classify(line);
        bool split = e.kind == Kind::Start || line.elapsed == Elapsed::First;
        if (!split && e.kind == Kind::Reset && e.text == "1A" && builder.Active()) {
            split = builder.ProcedureEnded();
        }
        if (split && builder.Active()) {
            onRun(builder.Finish());
        }
        if (!builder.Active()) {
            builder.Begin(line, ++report.runs);
        }
        builder.Add(line, e);
    }
    if (builder.Active()) {
        onRun(builder.Finish());
    }
    report.read = reader.Problems();
    report.notALog = report.read.goodLines == 0 && report.read.bytes > 0;
    return report;
}

std::string SummaryLine(const RunReport& run) {
    std::string when = run.startedAt.substr(0, 16);
    std::string out =
        "#" + std::to_string(run.index) + "  " + when + "  " + ProcedureName(run.procedure) + "  ";
    if (run.outcome == Outcome::DeviceNotFound) {
        return out + "failed: " + run.reason;
    }
    return out + OutcomeWord(run) + ": " + run.reason;
}

std::string DetailText(const RunReport& run) {
    std::string out;
    const auto line = [&](const std::string& label, const std::string& text) {
        std::string padded = "  " + label;
        padded.resize(std::max<std::size_t>(padded.size() + 1, 22), ' ');
        out += padded + text + "\n";
    };
    out += "Run " + std::to_string(run.index) + ": " + ProcedureName(run.procedure) + ", " +
           OutcomeWord(run) + "\n";
    line("started", run.startedAt + " (lines " + std::to_string(run.firstLine) + " to " +
                        std::to_string(run.lastLine) + ")" +
                        (run.version.empty() ? "" : ", version " + run.version));
    line("took", Seconds(run.totalSeconds) + " in all");
    if (!run.step.empty()) {
        line("failed at", run.step);
    }
    line(run.outcome == Outcome::Succeeded ? "result" : "reason", run.reason);
    if (run.deviceFoundAfter) {
        line("device", "opened " + Seconds(*run.deviceFoundAfter) +
                           " after the start (the log does not say which description it had)");
    }
    std::size_t id = 0, ex = 0, loop = 0;
    // In the order the run reached them, by line.
    struct Item {
        uint64_t line;
        int type;
        std::size_t index;
    };
    std::vector<Item> items;
    for (std::size_t k = 0; k < run.resets.size(); ++k) {
        items.push_back({run.resets[k].line, 0, k});
    }
    for (std::size_t k = 0; k < run.identities.size(); ++k) {
        items.push_back({run.identities[k].line, 1, k});
    }
    for (std::size_t k = 0; k < run.exchanges.size(); ++k) {
        items.push_back({run.exchanges[k].line, 2, k});
    }
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.line < b.line; });
    for (const Item& item : items) {
        if (item.type == 0) {
            const ResetReport& r = run.resets[item.index];
            line("reset " + r.code, (r.answered ? "answered" : "not answered: " + r.problem) +
                                        "  (at " + Seconds(r.atSeconds) + ")");
        } else if (item.type == 1) {
            const IdentityReport& i = run.identities[item.index];
            const std::string label =
                std::string(PartText(i.part)) + (i.chipId ? " chip id" : " info");
            std::string text = i.ok ? HexTrimmed(i.data) : "failed: " + i.problem;
            if (i.ok && !i.chipId) {
                const std::string printable = PrintableText(i.data);
                if (!printable.empty()) {
                    text += "  \"" + printable + "\"";
                }
            }
            line(label, text);
            ++id;
        } else {
            const ExchangeReport& e = run.exchanges[item.index];
            line("server exchange " + std::to_string(++ex),
                 std::to_string(e.transactionCount) +
                     (e.transactionCount == 1 ? " transaction" : " transactions") + ", " +
                     std::to_string(e.resumes) + " resumed, " + WithCommas(e.collected) +
                     " bytes: " +
                     (e.ok ? "reply accepted"
                           : (e.refusal.empty() ? "" : e.refusal + ": ") + e.problem));
            for (const TransactionReport& t : e.transactions) {
                line("", (t.address.empty() ? std::string("(no address)") : t.address) + ": " +
                             WithCommas(t.bytes) + " bytes in " + std::to_string(t.chunks) +
                             (t.chunks == 1 ? " piece, " : " pieces, ") + t.end);
            }
            if (e.transactionCount > static_cast<int>(e.transactions.size())) {
                line("", "(" + std::to_string(e.transactionCount - e.transactions.size()) +
                             " more transactions)");
            }
            // The blocks written after this exchange.
            if (loop < run.blockLoops.size() &&
                run.blockLoops[loop].part == (ex == 1 ? PartName::St : PartName::J2534)) {
                const BlockLoopReport& b = run.blockLoops[loop++];
                const std::string rate = Fixed(b.lineRateFraction, 2);
                line(std::string(PartText(b.part)) + " blocks",
                     std::to_string(b.written) +
                         (b.blockCount ? " of " + std::to_string(*b.blockCount) : "") +
                         " written, " + std::to_string(b.accepted) + " accepted; slowest answer " +
                         Seconds(b.slowestAnswer) + " (block " + std::to_string(b.slowestBlock) +
                         "); " + Seconds(b.seconds) + ", " + rate + " of the line rate (" +
                         WithCommas(static_cast<int64_t>(b.lineBytes)) + " bytes)");
                if (b.failed) {
                    line("", b.problem + (b.rejectedAnswer.empty() ? "" : ": " + b.rejectedAnswer));
                }
            }
        }
    }
    (void)id;
    for (const PauseReport& p : run.pauses) {
        line("pause", Seconds(p.seconds) + " before line " + std::to_string(p.line) + " \"" +
                          p.before + "\"");
    }
    for (const std::string& note : run.notes) {
        line("note", note);
    }
    return out;
}

std::string RunJson(const RunReport& run) {
    std::string o = "{";
    const auto field = [&](const char* name, const std::string& value) {
        if (o.size() > 1) {
            o += ",";
        }
        o += "\"" + std::string(name) + "\":" + value;
    };
    const char* outcome = run.outcome == Outcome::Succeeded        ? "succeeded"
                          : run.outcome == Outcome::Failed         ? "failed"
                          : run.outcome == Outcome::DeviceNotFound ? "device not found"
                                                                   : "unfinished";
    field("run", std::to_string(run.index));
    field("first_line", std::to_string(run.firstLine));
    field("last_line", std::to_string(run.lastLine));
    field("started", JsonString(run.startedAt));
    field("start_line", run.startLine ? "true" : "false");
    field("version", JsonString(run.version));
    field("procedure",
          JsonString(run.procedure == Procedure::Unknown ? "" : ProcedureName(run.procedure)));
    field("outcome", JsonString(outcome));
    field("st_only", run.stOnly ? "true" : "false");
    field("step", JsonString(run.step));
    field("reason", JsonString(run.reason));
    field("summary", JsonString(SummaryLine(run)));
    field("device_found_after_s",
          run.deviceFoundAfter ? JsonNumber(*run.deviceFoundAfter) : std::string("null"));
    field("total_s", JsonNumber(run.totalSeconds));
    std::string list = "[";
    for (const ResetReport& r : run.resets) {
        list += (list.size() > 1 ? "," : "") + std::string("{\"code\":") + JsonString(r.code) +
                ",\"answered\":" + (r.answered ? "true" : "false") +
                ",\"problem\":" + JsonString(r.problem) + ",\"at_s\":" + JsonNumber(r.atSeconds) +
                ",\"line\":" + std::to_string(r.line) + "}";
    }
    field("resets", list + "]");
    list = "[";
    for (const IdentityReport& i : run.identities) {
        list += (list.size() > 1 ? "," : "") + std::string("{\"part\":") +
                JsonString(PartText(i.part)) +
                ",\"what\":" + JsonString(i.chipId ? "chip identifier" : "information block") +
                ",\"ok\":" + (i.ok ? "true" : "false") + ",\"problem\":" + JsonString(i.problem) +
                ",\"data\":" + JsonString(Hex(i.data, 64)) +
                ",\"text\":" + JsonString(i.chipId ? "" : PrintableText(i.data)) + "}";
    }
    field("identities", list + "]");
    list = "[";
    for (const ExchangeReport& e : run.exchanges) {
        std::string t = "[";
        for (const TransactionReport& tr : e.transactions) {
            t += (t.size() > 1 ? "," : "") + std::string("{\"address\":") + JsonString(tr.address) +
                 ",\"bytes\":" + std::to_string(tr.bytes) +
                 ",\"pieces\":" + std::to_string(tr.chunks) +
                 ",\"result\":" + std::to_string(tr.result) +
                 ",\"socket_error\":" + std::to_string(tr.socketError) +
                 ",\"end\":" + JsonString(tr.end) + "}";
        }
        list += (list.size() > 1 ? "," : "") + std::string("{\"transactions\":") +
                std::to_string(e.transactionCount) + ",\"resumes\":" + std::to_string(e.resumes) +
                ",\"collected\":" + std::to_string(e.collected) +
                ",\"ok\":" + (e.ok ? "true" : "false") + ",\"refusal\":" + JsonString(e.refusal) +
                ",\"problem\":" + JsonString(e.problem) + ",\"each\":" + t + "]}";
    }
    field("exchanges", list + "]");
    list = "[";
    for (const BlockLoopReport& b : run.blockLoops) {
        list += (list.size() > 1 ? "," : "") + std::string("{\"part\":") +
                JsonString(PartText(b.part)) + ",\"written\":" + std::to_string(b.written) +
                ",\"accepted\":" + std::to_string(b.accepted) + ",\"sent_by_server\":" +
                (b.blockCount ? std::to_string(*b.blockCount) : std::string("null")) +
                ",\"failed\":" + (b.failed ? "true" : "false") +
                ",\"problem\":" + JsonString(b.problem) +
                ",\"rejected_answer\":" + JsonString(b.rejectedAnswer) +
                ",\"slowest_answer_s\":" + JsonNumber(b.slowestAnswer) +
                ",\"slowest_block\":" + std::to_string(b.slowestBlock) +
                ",\"loop_s\":" + JsonNumber(b.seconds) +
                ",\"line_bytes\":" + std::to_string(b.lineBytes) +
                ",\"line_rate_fraction\":" + JsonNumber(b.lineRateFraction) + "}";
    }
    field("blocks", list + "]");
    list = "[";
    for (const PauseReport& p : run.pauses) {
        list += (list.size() > 1 ? "," : "") + std::string("{\"s\":") + JsonNumber(p.seconds) +
                ",\"line\":" + std::to_string(p.line) + ",\"before\":" + JsonString(p.before) + "}";
    }
    field("pauses", list + "]");
    list = "[";
    for (const std::string& n : run.notes) {
        list += (list.size() > 1 ? "," : "") + JsonString(n);
    }
    field("notes", list + "]");
    return o + "}";
}

std::vector<std::string> FileRemarks(const FileReport& file) {
    std::vector<std::string> out;
    const ReadProblems& r = file.read;
    if (r.readError) {
        out.push_back("the file could not be read to its end");
    }
    if (file.notALog) {
        out.push_back("this is not a log of this program: none of its " +
                      WithCommas(static_cast<int64_t>(r.physicalLines)) +
                      " lines begins with \"[timestamp|elapsed]\"");
        return out;
    }
    if (r.malformedLines > 0) {
        out.push_back(WithCommas(static_cast<int64_t>(r.malformedLines)) +
                      " damaged lines were skipped (the first is line " +
                      std::to_string(r.firstMalformedLine) + ")");
    }
    if (r.truncatedLines > 0) {
        out.push_back(WithCommas(static_cast<int64_t>(r.truncatedLines)) +
                      " over-long lines were read only in part (the longest, line " +
                      std::to_string(r.longestLineNumber) + ", holds " +
                      WithCommas(static_cast<int64_t>(r.longestLine)) + " bytes)");
    }
    if (r.cutAtEnd) {
        out.push_back("the log ends in the middle of a line (line " +
                      std::to_string(r.physicalLines) + " has no line break)");
    }
    return out;
}

std::string FileJson(const FileReport& file) {
    std::string remarks = "[";
    for (const std::string& r : FileRemarks(file)) {
        remarks += (remarks.size() > 1 ? "," : "") + JsonString(r);
    }
    return "{\"bytes\":" + std::to_string(file.read.bytes) +
           ",\"lines\":" + std::to_string(file.read.physicalLines) +
           ",\"runs\":" + std::to_string(file.runs) +
           ",\"damaged_lines\":" + std::to_string(file.read.malformedLines) +
           ",\"cut_lines\":" + std::to_string(file.read.truncatedLines) +
           ",\"cut_at_end\":" + (file.read.cutAtEnd ? "true" : "false") +
           ",\"not_a_log\":" + (file.notALog ? "true" : "false") + ",\"remarks\":" + remarks + "]}";
}

}  // namespace zolt::logread
