#pragma once
// Every line the SDK log writes while a LogCapture lives, for tests that check the link's log.

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "strata_sdk/logging.h"

namespace tb_test {

// Installs itself as the SDK's log sink and raises the levels so that the link's info, error and
// trace lines are all written (a test may lower them again); restores the previous levels and
// the normal output when it goes away. One capture at a time.
class LogCapture {
  public:
    explicit LogCapture(int debugLevel = 3,
                        kestrel::strata_sdk::LogLevel level = kestrel::strata_sdk::LogLevel::trace)
        : oldLevel_(kestrel::strata_sdk::log_level()),
          oldDebug_(kestrel::strata_sdk::debug_level()) {
        kestrel::strata_sdk::set_log_level(level);
        kestrel::strata_sdk::set_debug_level(debugLevel);
        kestrel::strata_sdk::set_log_sink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() {
        kestrel::strata_sdk::set_log_sink({});
        kestrel::strata_sdk::set_log_level(oldLevel_);
        kestrel::strata_sdk::set_debug_level(oldDebug_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Contains(const std::string& text) const { return Count(text) > 0; }
    size_t Count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t count = 0;
        for (const std::string& line : lines_) {
            count += line.find(text) != std::string::npos ? 1 : 0;
        }
        return count;
    }
    // All lines, one per line, for failure messages.
    std::string All() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const std::string& line : lines_) {
            all += line + "\n";
        }
        return all;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

  private:
    kestrel::strata_sdk::LogLevel oldLevel_;
    int oldDebug_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace tb_test
