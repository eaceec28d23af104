#pragma once
// Codes of the node tree: value types, permissions, serialization, creation context.

#include <string>

namespace kestrel::strata_sdk {

enum class ValueType : int {
    Dynamic = 0,
    Number = 1,
    Int = 2,
    String = 4,
    Bool = 5,
    Map = 6,
    Array = 7,
    Enum = 9,
};

enum class PermissionLevel : int {
    None = 0,
    Read = 1,
    Write = 2,
    Config = 3,
};

// Stored nodes keep their configs, kind, display name and type across restarts;
// values and actions are never stored.
enum class SerializationMode : int {
    None = 0,
    Stored = 2,
};

enum class NodeCreationContext : int {
    Created = 0,   // created (or created again) by this process
    Restored = 1,  // re-created from the node store at start-up
};

// "dynamic", "number", "int", "string", "bool", "map", "array", "enum"; "unknown" otherwise.
const char* value_type_name(ValueType type) noexcept;
// "none", "read", "write", "config".
const char* permission_name(PermissionLevel level) noexcept;

}  // namespace kestrel::strata_sdk
