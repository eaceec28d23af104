#include "strata_sdk/metrics.h"

#include <cmath>
#include <cstdio>

namespace kestrel::strata_sdk {
namespace {

// Backslash, double quote and line feed are the characters a label value escapes.
std::string escape_label_value(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// Help text escapes only backslash and line feed.
std::string escape_help(const std::string& help) {
    std::string out;
    for (char c : help) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string number_text(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

}  // namespace

void MetricsText::family(const std::string& name, const char* type, const std::string& help) {
    text_ += "# HELP " + name + " " + escape_help(help) + "\n# TYPE " + name + " " + type + "\n";
}

void MetricsText::sample(const std::string& name, double value, const Labels& labels) {
    text_ += name;
    if (!labels.empty()) {
        text_ += '{';
        for (std::size_t i = 0; i < labels.size(); ++i) {
            text_ += (i ? "," : "") + labels[i].first + "=\"" +
                     escape_label_value(labels[i].second) + "\"";
        }
        text_ += '}';
    }
    text_ += " " + number_text(value) + "\n";
}

}  // namespace kestrel::strata_sdk
