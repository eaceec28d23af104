#include "strata_sdk/json.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

namespace kestrel::strata_sdk::json {
namespace {

// Deeper documents are refused: the tree is handled recursively elsewhere and
// nothing the broker exchanges comes near this.
constexpr size_t kMaxDepth = 256;

// Builds the Variant straight from the parser's events (no intermediate tree).
// Only the chain of open containers is referenced, and each is the last element
// of its parent, so the pointers stay valid while children are appended.
class VariantBuilder : public nlohmann::json_sax<nlohmann::json> {
  public:
    Variant& result() { return root_; }
    const std::string& error() const { return error_; }

    bool null() override { return put(Variant()); }
    bool boolean(bool v) override { return put(Variant(v)); }
    bool number_integer(number_integer_t v) override { return put(Variant(int64_t{v})); }
    bool number_unsigned(number_unsigned_t v) override {
        if (v <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return put(Variant(static_cast<int64_t>(v)));
        }
        return put(Variant(uint64_t{v}));
    }
    bool number_float(number_float_t v, const string_t& text) override {
        if (!std::isfinite(v)) {
            error_ = "number out of range: " + text;
            return false;
        }
        return put(Variant(v));
    }
    bool string(string_t& v) override { return put(Variant(std::move(v))); }
    bool binary(binary_t&) override {
        error_ = "binary values are not supported";
        return false;
    }
    bool start_object(std::size_t) override { return open(Variant::new_map()); }
    bool key(string_t& k) override {
        key_ = std::move(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Variant::new_array()); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& ex) override {
        error_ =
            "invalid JSON at byte " + std::to_string(position) + ": " + strip_prefix(ex.what());
        return false;
    }

  private:
    static std::string strip_prefix(const std::string& what) {
        // "[json.exception.parse_error.101] parse error at line 1, ..." -> "parse error at ..."
        auto end = what.find("] ");
        return end == std::string::npos ? what : what.substr(end + 2);
    }

    Variant* put(Variant&& v) {
        if (open_.empty()) {
            root_ = std::move(v);
            return &root_;
        }
        Variant& parent = *open_.back();
        if (parent.is_array()) {
            parent.as_array().push_back(std::move(v));
            return &parent.as_array().back();
        }
        Variant& slot = parent.as_map()[key_];
        slot = std::move(v);
        return &slot;
    }
    bool open(Variant&& container) {
        if (open_.size() >= kMaxDepth) {
            error_ = "JSON nested deeper than " + std::to_string(kMaxDepth) + " levels";
            return false;
        }
        open_.push_back(put(std::move(container)));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    Variant root_;
    std::vector<Variant*> open_;
    std::string key_;
    std::string error_;
};

nlohmann::json to_nlohmann(const Variant& v) {
    switch (v.get_type()) {
        case Variant::Null:
            return nullptr;
        case Variant::Bool:
            return v.as_bool();
        case Variant::Int:
            return v.as_int();
        case Variant::UInt:
            return v.as_uint();
        case Variant::Double:
            return v.as_double();
        case Variant::String:
            return v.as_string();
        case Variant::Map: {
            nlohmann::json out = nlohmann::json::object();
            for (const auto& [key, member] : v.as_map()) {
                out[key] = to_nlohmann(member);
            }
            return out;
        }
        case Variant::Array: {
            nlohmann::json out = nlohmann::json::array();
            for (const auto& item : v.as_array()) {
                out.push_back(to_nlohmann(item));
            }
            return out;
        }
    }
    return nullptr;
}

}  // namespace

Variant from_json_string(const std::string& text) {
    VariantBuilder builder;
    bool ok = nlohmann::json::sax_parse(text, &builder);
    if (!ok) {
        std::string reason = builder.error().empty() ? "invalid JSON" : builder.error();
        throw exception(strata_errc::invalid_json, reason);
    }
    return std::move(builder.result());
}

std::string to_json_string(const Variant& value, int indent) {
    return to_nlohmann(value).dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace kestrel::strata_sdk::json
