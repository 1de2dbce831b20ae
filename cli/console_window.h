// The window operations on a console: each new status text on its own line, the progress as a bar
// with its percentage on a terminal (plain lines otherwise), the device information printed.
#pragma once

#include <cstdio>
#include <string>

#include "procedures/update_window.h"

namespace zolt {

class ConsoleWindow final : public UpdateWindow {
  public:
    ConsoleWindow(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

    void SetStatusText(const WideText& text) override;
    void SetInfoText(const WideText& text) override;
    void SetProgress(int32_t position) override;
    int32_t GetProgress() override { return progress_; }
    void EnableActions(bool) override {}

    const WideText& LastStatus() const { return status_; }
    bool InfoShown() const { return infoShown_; }

  private:
    void EndBarLine();

    std::FILE* out_;
    bool terminal_;
    WideText status_;
    bool statusShown_ = false;
    int32_t progress_ = 0;
    int32_t shownProgress_ = -1;
    bool barOnLine_ = false;
    bool infoShown_ = false;
};

}  // namespace zolt
