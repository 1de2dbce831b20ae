// One recorded run taken out of the log as a script to play back: every write the program made
// with the reads that followed it (their pieces and delays), and every server transaction with
// how far it got, the pieces it received and how it ended, and the reply bytes that reproduce
// what the program made of it. The reply's records are the blocks the log shows the program
// writing; the information text of "Device Info" is not in the log, so a stand-in answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "logread/log_explain.h"

namespace zolt::logread {

struct ReplayPiece {
    std::vector<uint8_t> bytes;
    uint32_t delayMs = 0;  // after the write or the piece before it
};

struct ReplayWrite {
    std::vector<uint8_t> bytes;
    bool bytesCut = false;  // the dump was cut with its line: only these first bytes are known
    bool fails = false;     // the driver refused it ("00 fail" followed)
    std::vector<ReplayPiece> reads;
    uint64_t line = 0;
};

enum class TransactionStep { Startup, Socket, Resolve, Connect, Send, Shutdown, Receive };

struct ReplayTransaction {
    int exchange = 0;                                    // index into ReplayScript::exchanges
    TransactionStep failsAt = TransactionStep::Receive;  // Receive: it got to receiving
    int32_t error = 0;                                   // the code of the step that failed
    std::string address;                                 // "Host ip : " text
    std::vector<int64_t> pieces;                         // "Bytes received" sizes
    int32_t endError = 0;  // 0: the server closed; else the receive's failure code
    uint64_t line = 0;
};

struct ReplayExchange {
    std::vector<uint8_t> reply;  // the bytes the transactions deliver, back to back
    bool standIn = false;        // the information text is a stand-in
};

struct ReplayScript {
    RunReport run;  // the recorded run as explained
    std::string file;
    bool attached = false;  // the interface answered to anything at all
    std::vector<ReplayWrite> writes;
    // The interface could not be opened again after this many writes ("open failed.").
    std::vector<std::size_t> goneAfter;
    std::vector<ReplayTransaction> transactions;
    std::vector<ReplayExchange> exchanges;
    std::vector<std::string> notes;
};

inline constexpr char StandInInfoText[] =
    "(replayed from the log: the update server's text is not in the log)";

// Takes run `run` (from 1; 0 the last) out of the log at `path`. False with `error` when the file
// cannot be read, is no log, has no such run, or the run is too large to hold.
bool LoadReplayScript(const std::string& path, int run, ReplayScript& script, std::string& error);

// "FILE[:RUN]" into its parts; RUN 0 when not given.
void SplitReplayArgument(const std::string& text, std::string& path, int& run);

}  // namespace zolt::logread
