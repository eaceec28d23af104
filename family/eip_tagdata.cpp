#include "family/eip_tagdata.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

std::string EipTagData::Dump() const {
    std::string text;
    text.reserve(encodedAddress.size() * 3);
    char hex[4];
    for (uint8_t byte : encodedAddress) {
        std::snprintf(hex, sizeof hex, "%02X ", byte);
        text += hex;
    }
    return text;
}

int64_t EipTagData::ParseNumber(const char* text, size_t length) {
    if (text == nullptr || length == 0) {
        return -1;
    }
    // strtoll needs a terminated copy: the digits are a slice of a longer name.
    const std::string digits(text, length);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(digits.c_str(), &end, 10);
    if (end != digits.c_str() + digits.size() || errno == ERANGE || value < 0 ||
        value > static_cast<long long>(UINT32_MAX)) {
        return -1;
    }
    return value;
}

bool EipTagData::IsEqualIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}
