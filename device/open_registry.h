// Which descriptions this process holds open, and under which handle. A second open of a
// description already held returns the held handle, so an open, close and reopen costs neither a
// failed attempt nor a leaked handle. Not locked: each driver calls it under its own lock.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "device/d2xx.h"

namespace zolt {

class OpenRegistry {
  public:
    // The handle held for this description, or null.
    FT_HANDLE Find(std::string_view description) const {
        for (const auto& [held, handle] : entries_) {
            if (held == description) {
                return handle;
            }
        }
        return nullptr;
    }
    bool Contains(FT_HANDLE handle) const {
        for (const auto& entry : entries_) {
            if (entry.second == handle) {
                return true;
            }
        }
        return false;
    }
    void Add(std::string_view description, FT_HANDLE handle) {
        entries_.emplace_back(std::string(description), handle);
    }
    // False when the handle was not held.
    bool Remove(FT_HANDLE handle) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second == handle) {
                entries_.erase(it);
                return true;
            }
        }
        return false;
    }
    bool Empty() const { return entries_.empty(); }

  private:
    std::vector<std::pair<std::string, FT_HANDLE>> entries_;
};

}  // namespace zolt
