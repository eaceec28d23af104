#pragma once

// Helpers of the tag model tests: byte vectors from text, and the captured log.

#include <mutex>
#include <string>
#include <vector>

#include "strata_sdk/sdk.h"

namespace tagtest {

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) {
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return bytes;
}

inline std::vector<uint8_t> Chars(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Collects every log line written while it lives, at full log and debug levels.
class LogCapture {
  public:
    LogCapture() {
        namespace sdk = kestrel::strata_sdk;
        oldLevel = sdk::log_level();
        oldDebug = sdk::debug_level();
        sdk::set_log_level(sdk::LogLevel::trace);
        sdk::set_debug_level(3);
        sdk::set_log_sink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        });
    }
    ~LogCapture() {
        namespace sdk = kestrel::strata_sdk;
        sdk::set_log_sink(nullptr);
        sdk::set_log_level(oldLevel);
        sdk::set_debug_level(oldDebug);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // True when some line contains the text.
    bool Contains(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& line : lines) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::string All() const {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const auto& line : lines) {
            all += line + "\n";
        }
        return all;
    }

  private:
    mutable std::mutex mutex;
    std::vector<std::string> lines;
    kestrel::strata_sdk::LogLevel oldLevel;
    int oldDebug;
};

}  // namespace tagtest
