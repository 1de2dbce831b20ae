#include "cli/console_window.h"

#include <algorithm>

#include "cli/console_text.h"
#include "cli/interruption.h"

namespace zolt {

namespace {

constexpr int MinColumns = 20;
constexpr int MaxBarWidth = 40;

}  // namespace

std::string ConsoleWindow::BarLine(int columns, int32_t percent, const std::string& status) {
    // The last column stays free: writing into it makes some terminals wrap.
    const int room = std::max(columns, MinColumns) - 1;
    const int width = std::clamp(room / 3, 5, MaxBarWidth);
    const int filled = static_cast<int>(std::clamp(percent, 0, 100)) * width / 100;
    std::string line = "[";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(width - filled), '.');
    char number[8];
    std::snprintf(number, sizeof number, "] %3d%%", static_cast<int>(std::clamp(percent, 0, 100)));
    line += number;
    if (!status.empty()) {
        line += ' ';
        line += status;
    }
    if (line.size() > static_cast<std::size_t>(room)) {
        line.resize(static_cast<std::size_t>(room));  // status texts are ASCII
    }
    return line;
}

void ConsoleWindow::Draw(int32_t percent) {
    if (style_.fd >= 0 && TerminalResized().exchange(false)) {
        if (const int columns = TerminalColumns(style_.fd); columns > 0) {
            style_.columns = columns;
        }
    }
    // Carriage return, the line, erase to the end of the line: redrawn in place.
    std::fprintf(out_, "\r%s\x1b[K",
                 BarLine(style_.columns, percent, TerminalSafe(status_)).c_str());
    std::fflush(out_);
    barOnLine_ = true;
}

void ConsoleWindow::EndBarLine() {
    if (barOnLine_) {
        std::fputc('\n', out_);
        barOnLine_ = false;
    }
}

void ConsoleWindow::SetStatusText(const WideText& text) {
    if (statusShown_ && text == status_) {
        return;  // the count-down repeats its text on every step
    }
    status_ = text;
    statusShown_ = true;
    if (text.empty() || style_.quiet) {
        return;
    }
    if (style_.columns > 0) {
        Draw(progress_);
        return;
    }
    std::fprintf(out_, "%s\n", TerminalSafe(text).c_str());
    std::fflush(out_);
}

void ConsoleWindow::SetInfoText(const WideText& text) {
    EndBarLine();
    std::fprintf(out_, "Device information:\n%s\n", TerminalSafe(text).c_str());
    std::fflush(out_);
}

void ConsoleWindow::SetProgress(int32_t position) {
    progress_ = position;
    reached_ = std::max(reached_, position);
    if (position == shownProgress_ || style_.quiet) {
        return;
    }
    shownProgress_ = position;
    const int32_t percent = std::clamp(position, 0, 100);
    if (style_.columns > 0) {
        Draw(percent);
        return;
    }
    std::fprintf(out_, "Progress: %d%%\n", static_cast<int>(percent));
    std::fflush(out_);
}

void ConsoleWindow::Finish(bool success) {
    if (style_.quiet) {
        if (!status_.empty()) {
            std::fprintf(out_, "%s\n", TerminalSafe(status_).c_str());
        }
    } else if (style_.columns > 0 && barOnLine_) {
        Draw(success ? 100 : reached_);
    }
    EndBarLine();
    std::fflush(out_);
}

}  // namespace zolt
