#pragma once
// Wire bytes written as text, so that a byte-exact request or reply reads as one row:
// Hex("4B 02 20 67") == {0x4B, 0x02, 0x20, 0x67}. Spaces are for the reader and are skipped;
// 'quoted text' stands for its characters (Hex("03 91 04 'Tag1' 0100")). Cat joins parts of a
// message and Text gives the bytes of a name.

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace tb_test {

inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::string digits;  // the hex digits of the byte being read
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ') {
            continue;
        }
        if (c == '\'' && digits.empty()) {
            const size_t end = text.find('\'', i + 1);
            if (end == std::string::npos) {
                throw std::invalid_argument("unclosed quote in: " + text);
            }
            bytes.insert(bytes.end(), text.begin() + i + 1, text.begin() + end);
            i = end;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            throw std::invalid_argument("not a hex digit in: " + text);
        }
        digits += c;
        if (digits.size() == 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    if (!digits.empty()) {
        throw std::invalid_argument("odd number of hex digits: " + text);
    }
    return bytes;
}

inline std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const std::vector<uint8_t>& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline std::vector<uint8_t> Text(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace tb_test
