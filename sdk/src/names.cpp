// Printable names of the SDK's codes (logs, the HTTP front's JSON).
#include "strata_sdk/action.h"
#include "strata_sdk/broker.h"
#include "strata_sdk/types.h"

namespace kestrel::strata_sdk {

const char* value_type_name(ValueType type) noexcept {
    switch (type) {
        case ValueType::Dynamic:
            return "dynamic";
        case ValueType::Number:
            return "number";
        case ValueType::Int:
            return "int";
        case ValueType::String:
            return "string";
        case ValueType::Bool:
            return "bool";
        case ValueType::Map:
            return "map";
        case ValueType::Array:
            return "array";
        case ValueType::Enum:
            return "enum";
    }
    return "unknown";
}

const char* permission_name(PermissionLevel level) noexcept {
    switch (level) {
        case PermissionLevel::None:
            return "none";
        case PermissionLevel::Read:
            return "read";
        case PermissionLevel::Write:
            return "write";
        case PermissionLevel::Config:
            return "config";
    }
    return "unknown";
}

const char* editor_name(Editor e) noexcept {
    return e == Editor::TextArea ? "textarea" : "";
}

const char* tree_event_kind_name(TreeEvent::Kind kind) noexcept {
    switch (kind) {
        case TreeEvent::Kind::Value:
            return "value";
        case TreeEvent::Kind::Created:
            return "created";
        case TreeEvent::Kind::Updated:
            return "updated";
        case TreeEvent::Kind::Removed:
            return "removed";
    }
    return "unknown";
}

}  // namespace kestrel::strata_sdk
