// A window that records every operation the procedures make, in order.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "procedures/update_window.h"

namespace zolt::testing {

class RecordingWindow final : public UpdateWindow {
  public:
    void SetStatusText(const WideText& text) override {
        std::lock_guard lock(mutex_);
        ops.push_back("status:" + ToUtf8(text));
        statuses.push_back(ToUtf8(text));
    }
    void SetInfoText(const WideText& text) override {
        std::lock_guard lock(mutex_);
        ops.push_back("info:" + ToUtf8(text));
        info = text;
    }
    void SetProgress(int32_t position) override {
        std::lock_guard lock(mutex_);
        ops.push_back("progress:" + std::to_string(position));
        positions.push_back(position);
        progress = position;
    }
    int32_t GetProgress() override {
        std::lock_guard lock(mutex_);
        return progress;
    }
    void EnableActions(bool enable) override {
        std::lock_guard lock(mutex_);
        ops.push_back(enable ? "enable" : "disable");
        enabled = enable;
    }

    // Status texts with repeats folded, as a user sees them change.
    std::vector<std::string> DistinctStatuses() const {
        std::vector<std::string> out;
        for (const auto& s : statuses) {
            if (out.empty() || out.back() != s) {
                out.push_back(s);
            }
        }
        return out;
    }

    std::vector<std::string> ops;
    std::vector<std::string> statuses;
    std::vector<int32_t> positions;
    WideText info;
    int32_t progress = 0;
    bool enabled = true;

  private:
    std::mutex mutex_;
};

}  // namespace zolt::testing
