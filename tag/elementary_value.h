#pragma once

// Elementary Logix values (BOOL, the integers, REAL, LREAL, DWORD) between their little-endian
// controller bytes and broker values: one conversion for whole tags and for structure members.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/byte_codec.h"
#include "common/eip_utils.h"
#include "strata_sdk/variant.h"

namespace elementary_value {

using kestrel::strata_sdk::Variant;

// An integer over the whole range of the 64-bit types: ULINT reaches 2^64-1, LINT -2^63.
struct WideInteger {
    bool negative = false;
    uint64_t magnitude = 0;

    static WideInteger Of(int64_t value) {
        // The magnitude of INT64_MIN does not fit int64; taken through the unsigned type.
        return value < 0 ? WideInteger{true, 0 - static_cast<uint64_t>(value)}
                         : WideInteger{false, static_cast<uint64_t>(value)};
    }
    // The two's complement bits the controller stores.
    uint64_t Bits() const { return negative ? 0 - magnitude : magnitude; }
    std::string Text() const { return (negative ? "-" : "") + std::to_string(magnitude); }
};

// The integer a broker value stands for, within the range of an integer type (a BOOL takes a
// byte, and true / false in any letter case). False with the reason ("value is not an integer",
// "text is not a whole number: ...", "number 70000 out of range of 0x00C3") otherwise.
bool IntegerElement(int32_t innerType, const Variant& value, WideInteger& out, std::string& reason);
// Writes one element of a number type other than BOOL (integers little-endian two's complement,
// REAL / LREAL IEEE-754). False with the reason ("not a REAL number") when the value cannot be
// one; a value that does not fit the writer fails the writer instead.
bool EncodeNumber(int32_t innerType, const Variant& value, ByteWriter& out, std::string& reason);

// Whether a text of `length` bytes fits a string of `capacity` characters; the reason ("string
// too long, 33 bytes for at most 32") when not. Every string write checks through it.
bool TextFits(size_t length, size_t capacity, std::string& reason);

// The elements of a number type in len bytes: one value when they fit one element, otherwise an
// array. A NaN or infinite REAL makes Variant throw "not a valid float".
Variant NumberValue(int32_t innerType, const uint8_t* data, size_t len);
// BOOL elements are one byte on Logix controllers and one 16-bit word on PLC5 controllers.
Variant BoolValue(ProtocolFamily family, const uint8_t* data, size_t len);

}  // namespace elementary_value
