#pragma once

// Helpers of the tag model tests: byte vectors from text, and the captured log.

#include <string>
#include <vector>

#include "strata_sdk/sdk.h"
#include "support/log_capture.h"

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

using tb_test::LogCapture;

}  // namespace tagtest
