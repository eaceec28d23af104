#pragma once
// JSON text <-> Variant.

#include <string>

#include "strata_sdk/variant.h"

namespace kestrel::strata_sdk::json {

// Integers that fit int64 become kind 2, larger ones kind 3, other numbers kind 4.
// Text that is not one JSON value throws exception(strata_errc::invalid_json) whose
// text says where and why ("invalid JSON at byte 12: ...").
Variant from_json_string(const std::string& text);

// Compact JSON (indent < 0) or indented with `indent` spaces. Strings are written
// as UTF-8; bytes that are not valid UTF-8 are replaced by U+FFFD.
std::string to_json_string(const Variant& value, int indent = -1);

}  // namespace kestrel::strata_sdk::json
