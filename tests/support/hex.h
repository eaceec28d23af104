#pragma once
// Wire bytes written as text, so that a byte-exact check reads as one row: pairs of hex digits,
// spaces ignored, 'quoted text' as its characters ("03 91 04 'Tag1' 0100").

#include <cctype>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tb_test {

inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\'') {
            const size_t end = text.find('\'', i + 1);
            if (end == std::string::npos) {
                throw std::invalid_argument("unclosed quote in: " + text);
            }
            bytes.insert(bytes.end(), text.begin() + i + 1, text.begin() + end);
            i = end;
        } else if (std::isxdigit(static_cast<unsigned char>(text[i]))) {
            if (i + 1 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
                throw std::invalid_argument("odd hex digit in: " + text);
            }
            bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
            ++i;
        } else if (text[i] != ' ') {
            throw std::invalid_argument("not hex: " + text);
        }
    }
    return bytes;
}

}  // namespace tb_test
