// Signals on the console: a broken pipe never ends a run; SIGINT, SIGTERM and SIGHUP either end
// the program at once or, during an update, are held so that the block in flight finishes and the
// run stops as a failure; a second one then ends the program at once. The terminal's resizing is
// noted for the progress bar.
#pragma once

#include <atomic>

namespace zolt {

inline constexpr int ExitInterrupted = 130;

// Ignores SIGPIPE, so that writing to a closed pipe only fails the write.
void IgnoreBrokenPipe();

// Keeps SIGINT, SIGTERM and SIGHUP from the threads started until AcceptInterrupts(): the held
// stop must reach the thread that runs the procedure, not a helper thread.
void DeferInterrupts();

enum class InterruptMode {
    Immediate,  // the program ends at once with ExitInterrupted
    Held,       // the first sets the returned flag; a second ends the program at once
};

// Installs the handlers in `mode` and lets the signals through to the calling thread.
const std::atomic<bool>& AcceptInterrupts(InterruptMode mode);

// Set when the terminal's size changed (SIGWINCH); the reader clears it.
std::atomic<bool>& TerminalResized();

// The terminal's width in columns, or 0 when the stream is not a terminal.
int TerminalColumns(int fd);

}  // namespace zolt
