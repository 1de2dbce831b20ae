// The five window operations through which the procedures report to the user. The window, the
// console front end and the tests implement them. Each call has taken effect when it returns.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/wide_text.h"

namespace zolt {

class UpdateWindow {
  public:
    virtual ~UpdateWindow() = default;
    virtual void SetStatusText(const WideText& text) = 0;
    virtual void SetInfoText(const WideText& text) = 0;
    virtual void SetProgress(int32_t position) = 0;  // 0 to 100
    virtual int32_t GetProgress() = 0;
    virtual void EnableActions(bool enable) = 0;  // "Update" first, then "Device Info"
};

// A procedure started by a button of a window. It drives the window through the window operations
// and returns its exit code, which nothing reads.
using Procedure = std::function<uint32_t(UpdateWindow&)>;

}  // namespace zolt
