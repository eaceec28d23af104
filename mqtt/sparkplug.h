#pragma once
// Sparkplug B payloads in the broker's value terms, and their protobuf encoding.
//
// Metric values are broker Variants: null (is_null), bool, integers, doubles, strings, and
// arrays of those for the array data types. Bytes travel as hexadecimal text "0x0A1B..." (the
// form the node tree shows raw structures in), so one value model serves both directions.
// Array data types are packed into bytes_value, little-endian, as Sparkplug 3.0 lays them out:
//
//   Int8/16/32Array, UInt8/16/32Array   elements of 1, 2 or 4 bytes
//   FloatArray                          IEEE 754 single, 4 bytes each
//   BooleanArray                        u32 count, then the bits, first element in the MSB
//   StringArray                         UTF-8 strings, each ended by a NUL byte

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "strata_sdk/variant.h"

namespace sparkplug {

enum class DataType : uint32_t {
    Unknown = 0,
    Int8 = 1,
    Int16 = 2,
    Int32 = 3,
    Int64 = 4,
    UInt8 = 5,
    UInt16 = 6,
    UInt32 = 7,
    UInt64 = 8,
    Float = 9,
    Double = 10,
    Boolean = 11,
    String = 12,
    DateTime = 13,
    Text = 14,
    Bytes = 17,
    Int8Array = 22,
    Int16Array = 23,
    Int32Array = 24,
    Int64Array = 25,
    UInt8Array = 26,
    UInt16Array = 27,
    UInt32Array = 28,
    UInt64Array = 29,
    FloatArray = 30,
    DoubleArray = 31,
    BooleanArray = 32,
    StringArray = 33,
};

struct Metric {
    std::optional<std::string> name;
    std::optional<uint64_t> alias;
    std::optional<uint64_t> timestamp;
    DataType datatype = DataType::Unknown;
    kestrel::strata_sdk::Variant value;  // null: sent as is_null
};

struct Payload {
    std::optional<uint64_t> timestamp;
    std::optional<uint64_t> seq;
    std::vector<Metric> metrics;
};

// The protobuf bytes of `payload`. A value that does not fit its data type (text for an
// Int32, an element out of range) is sent as is_null rather than as a wrong number.
std::string Encode(const Payload& payload);

// The payload, or nothing with a one-line reason in `error` when the bytes are not a
// Sparkplug B payload or a metric's value does not match its data type. A metric without a
// data type keeps the value as its protobuf field holds it (int_value read as signed 32 bits).
std::optional<Payload> Decode(const uint8_t* data, size_t size, std::string& error);

}  // namespace sparkplug
