#include "common/eip_utils.h"

#include <regex.h>
#include <strings.h>

void TrimSpaces(std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    const size_t last = text.find_last_not_of(' ');
    text.erase(last + 1);
    text.erase(0, first);
}

namespace {

// Optional sign, digits, at most one point, at least one digit after it; no exponent.
constexpr const char* kRealNumberPattern = "^[-+]?[0-9]*\\.?[0-9]+$";

// The compiled pattern, made once; regexec on a compiled pattern is safe from many threads.
class RealNumberRegex {
  public:
    RealNumberRegex() {
        compiled_ = regcomp(&regex_, kRealNumberPattern, REG_EXTENDED | REG_NOSUB) == 0;
    }
    ~RealNumberRegex() {
        if (compiled_) {
            regfree(&regex_);
        }
    }
    RealNumberRegex(const RealNumberRegex&) = delete;
    RealNumberRegex& operator=(const RealNumberRegex&) = delete;

    bool matches(const std::string& text) const {
        return compiled_ && regexec(&regex_, text.c_str(), 0, nullptr, 0) == 0;
    }

  private:
    regex_t regex_{};
    bool compiled_ = false;
};

}  // namespace

bool IsRealNumberStr(const char* text) {
    if (text == nullptr) {
        return false;
    }
    static const RealNumberRegex regex;
    std::string trimmed(text);
    TrimSpaces(trimmed);
    return regex.matches(trimmed);
}

namespace {

struct PlcTypeText {
    PlcType type;
    const char* name;
};

constexpr PlcTypeText kPlcTypeNames[] = {
    {PlcType::kPlc5, "PLC-5"},
    {PlcType::kSlc500, "SLC 500"},
    {PlcType::kMicroLogix, "MicroLogix"},
};

}  // namespace

const char* PlcTypeName(PlcType type) {
    for (const PlcTypeText& entry : kPlcTypeNames) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    return kPlcTypeNames[0].name;
}

bool ParsePlcType(const std::string& name, PlcType& type) {
    for (const PlcTypeText& entry : kPlcTypeNames) {
        if (strcasecmp(name.c_str(), entry.name) == 0) {
            type = entry.type;
            return true;
        }
    }
    return false;
}
