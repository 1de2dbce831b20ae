#include "cli/console_window.h"

#include <algorithm>

namespace zolt {

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
    if (text.empty()) {
        return;
    }
    EndBarLine();
    std::fprintf(out_, "%s\n", ToUtf8(text).c_str());
    std::fflush(out_);
}

void ConsoleWindow::SetInfoText(const WideText& text) {
    infoShown_ = true;
    EndBarLine();
    std::fprintf(out_, "Device information:\n%s\n", ToUtf8(text).c_str());
    std::fflush(out_);
}

void ConsoleWindow::SetProgress(int32_t position) {
    progress_ = position;
    if (position == shownProgress_) {
        return;
    }
    shownProgress_ = position;
    const int32_t percent = std::clamp(position, 0, 100);
    if (terminal_) {
        constexpr int Width = 40;
        const int filled = percent * Width / 100;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(Width - filled), '.');
        std::fprintf(out_, "\r[%s] %3d%%", bar.c_str(), static_cast<int>(percent));
        barOnLine_ = true;
    } else {
        std::fprintf(out_, "Progress: %d%%\n", static_cast<int>(percent));
    }
    std::fflush(out_);
}

}  // namespace zolt
