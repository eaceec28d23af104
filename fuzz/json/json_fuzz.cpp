// Text a user pastes into "Tags(json)" or "Value" reaches json::from_json_string.
// Any input must either throw the SDK exception or give a value that survives a
// write/read round trip. The same bytes also exercise node-name escaping.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "strata_sdk/json.h"
#include "strata_sdk/node_path.h"

using namespace kestrel::strata_sdk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (string_unescape(string_escape(text)) != text ||
        string_escape(text).find('/') != std::string::npos) {
        std::abort();
    }
    Variant value;
    try {
        value = json::from_json_string(text);
    } catch (const exception&) {
        return 0;
    }
    if (json::from_json_string(json::to_json_string(value)) != value) {
        std::abort();
    }
    return 0;
}
