// The window operations on a console. On a terminal: one line redrawn in place, a bar as wide as
// the terminal allows with the percentage and the status text beside it, never wider than the
// terminal, so it does not wrap. Otherwise: each new status text and each new position on a line
// of its own. Quiet: only the result. Text from the server is made safe for the terminal.
#pragma once

#include <cstdio>
#include <string>

#include "procedures/update_window.h"

namespace zolt {

struct ConsoleStyle {
    int columns = 0;  // the terminal's width; 0 when the output is not a terminal
    int fd = -1;      // the terminal, asked for its width again after a resize; -1: never
    bool quiet = false;
};

class ConsoleWindow final : public UpdateWindow {
  public:
    ConsoleWindow(std::FILE* out, ConsoleStyle style) : out_(out), style_(style) {}

    void SetStatusText(const WideText& text) override;
    void SetInfoText(const WideText& text) override;
    void SetProgress(int32_t position) override;
    int32_t GetProgress() override { return progress_; }
    void EnableActions(bool) override {}

    // Ends the run's output: on a terminal the bar's last state (full after a success, where the
    // run got to otherwise) and the last status; quiet, the last status alone.
    void Finish(bool success);

    // The line drawn on a terminal of `columns` for a position and status, without the carriage
    // return and erase that surround it: at most columns - 1 characters.
    static std::string BarLine(int columns, int32_t percent, const std::string& status);

  private:
    void Draw(int32_t percent);
    void EndBarLine();

    std::FILE* out_;
    ConsoleStyle style_;
    WideText status_;
    bool statusShown_ = false;
    int32_t progress_ = 0;
    int32_t reached_ = 0;
    int32_t shownProgress_ = -1;
    bool barOnLine_ = false;
};

}  // namespace zolt
