#include "strata_sdk/metrics.h"

#include <cmath>
#include <cstdio>

namespace kestrel::strata_sdk {
namespace {

// Backslash and line feed are escaped in help texts and label values, double quotes
// in label values only.
std::string escape(const std::string& text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || (quotes && c == '"')) {
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
    text_ += "# HELP " + name + " " + escape(help, false) + "\n# TYPE " + name + " " + type + "\n";
}

void MetricsText::sample(const std::string& name, double value, const Labels& labels) {
    text_ += name;
    if (!labels.empty()) {
        text_ += '{';
        for (std::size_t i = 0; i < labels.size(); ++i) {
            text_ +=
                (i ? "," : "") + labels[i].first + "=\"" + escape(labels[i].second, true) + "\"";
        }
        text_ += '}';
    }
    text_ += " " + number_text(value) + "\n";
}

}  // namespace kestrel::strata_sdk
