#include "strata_sdk/node_path.h"

#include <cstring>

namespace kestrel::strata_sdk {
namespace {

bool must_escape(unsigned char c, bool first) {
    if (c < 0x20 || c == 0x7F) {
        return true;
    }
    if (first && (c == '.' || c == '$')) {
        return true;
    }
    return std::strchr("/%\\?*:|<>\"", c) != nullptr;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string string_escape(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (must_escape(c, i == 0)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string string_unescape(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size() && hex_value(name[i + 1]) >= 0 &&
            hex_value(name[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(name[i + 1]) * 16 + hex_value(name[i + 2]));
            i += 2;
        } else {
            out += name[i];
        }
    }
    return out;
}

NodePath::NodePath() = default;
NodePath::NodePath(const std::string& path) {
    append(path);
}
NodePath::NodePath(const char* path) {
    append(path ? path : "");
}

void NodePath::append(const std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t slash = text.find('/', start);
        if (slash == std::string::npos) {
            slash = text.size();
        }
        if (slash > start) {
            parts_.push_back(text.substr(start, slash - start));
        }
        start = slash + 1;
    }
}

NodePath NodePath::operator/(const std::string& name) const {
    // One allocation for the usual single name: a value event builds one path per value.
    NodePath out;
    out.parts_.reserve(parts_.size() + 1);
    out.parts_ = parts_;
    out.append(name);
    return out;
}

NodePath NodePath::operator/(const NodePath& relative) const {
    NodePath out(*this);
    out.parts_.insert(out.parts_.end(), relative.parts_.begin(), relative.parts_.end());
    return out;
}

std::string NodePath::get_name() const {
    return parts_.empty() ? std::string() : parts_.back();
}

NodePath NodePath::get_parent_path() const {
    NodePath out(*this);
    if (!out.parts_.empty()) {
        out.parts_.pop_back();
    }
    return out;
}

std::string NodePath::get_base() const {
    return parts_.empty() ? std::string() : parts_.front();
}

std::string NodePath::to_string() const {
    if (parts_.empty()) {
        return "/";
    }
    std::string out;
    for (const auto& part : parts_) {
        out += '/';
        out += part;
    }
    return out;
}

bool NodePath::is_within(const NodePath& ancestor) const noexcept {
    if (ancestor.parts_.size() > parts_.size()) {
        return false;
    }
    for (size_t i = 0; i < ancestor.parts_.size(); ++i) {
        if (parts_[i] != ancestor.parts_[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace kestrel::strata_sdk
