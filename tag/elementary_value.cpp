#include "tag/elementary_value.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "tag/eip_tag.h"

namespace elementary_value {

namespace {

// Texts equal ignoring letter case.
bool SameWord(const std::string& text, const char* word) {
    return strcasecmp(text.c_str(), word) == 0;
}

// The whole text as a decimal integer (spaces around it allowed); false for anything else.
bool WholeInteger(const std::string& text, WideInteger& out) {
    std::string trimmed = text;
    TrimSpaces(trimmed);
    const bool negative = !trimmed.empty() && trimmed[0] == '-';
    const size_t digits = negative || (!trimmed.empty() && trimmed[0] == '+') ? 1 : 0;
    if (trimmed.size() == digits || !std::isdigit(static_cast<unsigned char>(trimmed[digits]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(trimmed.c_str() + digits, &end, 10);
    if (errno == ERANGE || end != trimmed.c_str() + trimmed.size()) {
        return false;
    }
    out = WideInteger{negative && magnitude != 0, magnitude};
    return true;
}

// The integer a broker value stands for; a BOOL also takes true / false in any letter case.
// False, with the reason, for kinds that carry no integer (double, map, array) and for text
// that is not wholly one.
bool IntegerOf(const Variant& value, bool boolWords, WideInteger& out, std::string& reason) {
    switch (value.get_type()) {
        case Variant::Null:
            out = WideInteger{};
            return true;
        case Variant::Bool:
            out = WideInteger{false, value.as_bool() ? 1u : 0u};
            return true;
        case Variant::Int:
            out = WideInteger::Of(value.as_int());
            return true;
        case Variant::UInt:
            out = WideInteger{false, value.as_uint()};
            return true;
        case Variant::String: {
            const std::string& text = value.as_string();
            if (boolWords && (SameWord(text, "true") || SameWord(text, "false"))) {
                out = WideInteger{false, SameWord(text, "true") ? 1u : 0u};
                return true;
            }
            if (!WholeInteger(text, out)) {
                reason = "text is not a whole number: \"" + text + "\"";
                return false;
            }
            return true;
        }
        default:
            reason = "value is not an integer";
            return false;
    }
}

// Range of the values an integer type holds. A BOOL takes a byte (0 / 1, or the controller's
// -1 / 255 for true); a BITARRAY word takes its 32 bits as an unsigned number.
bool InRange(int32_t type, const WideInteger& value) {
    struct Range {
        uint64_t negativeLimit;  // largest magnitude below zero
        uint64_t positiveLimit;
    };
    Range range{uint64_t{1} << 31, INT32_MAX};
    switch (type) {
        case kInnerTypeBool:
            range = {uint64_t{1} << 7, UINT8_MAX};
            break;
        case kInnerTypeSint:
            range = {uint64_t{1} << 7, INT8_MAX};
            break;
        case kInnerTypeInt:
            range = {uint64_t{1} << 15, INT16_MAX};
            break;
        case kInnerTypeLint:
            range = {uint64_t{1} << 63, INT64_MAX};
            break;
        case kInnerTypeUsint:
            range = {0, UINT8_MAX};
            break;
        case kInnerTypeUint:
            range = {0, UINT16_MAX};
            break;
        case kInnerTypeUdint:
        case kInnerTypeBitarray:
            range = {0, UINT32_MAX};
            break;
        case kInnerTypeUlint:
            range = {0, UINT64_MAX};
            break;
        default:
            break;
    }
    return value.magnitude <= (value.negative ? range.negativeLimit : range.positiveLimit);
}

// The double a broker value stands for; texts must be plain decimal numbers (no exponent).
bool DoubleOf(const Variant& value, double& out) {
    switch (value.get_type()) {
        case Variant::Null:
            out = 0.0;
            return true;
        case Variant::Bool:
            out = value.as_bool() ? 1.0 : 0.0;
            return true;
        case Variant::Int:
            out = static_cast<double>(value.as_int());
            return true;
        case Variant::UInt:
            out = static_cast<double>(value.as_uint());
            return true;
        case Variant::Double:
            out = value.as_double();
            return true;
        case Variant::String:
            if (!IsRealNumberStr(value.as_string().c_str())) {
                return false;
            }
            out = std::strtod(value.as_string().c_str(), nullptr);
            return std::isfinite(out);
        default:
            return false;
    }
}

// The float of a REAL: a finite number too large for single precision is refused, an infinity
// or NaN given as such passes.
bool RealOf(const Variant& value, float& out) {
    double wide = 0.0;
    if (!DoubleOf(value, wide)) {
        return false;
    }
    out = static_cast<float>(wide);
    return std::isfinite(out) || !std::isfinite(wide);
}

// Little-endian unsigned value of `width` bytes at `offset`; bytes past `len` read as zero.
uint64_t ReadPadded(const uint8_t* data, size_t len, size_t offset, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width && offset + i < len; ++i) {
        value |= static_cast<uint64_t>(data[offset + i]) << (8 * i);
    }
    return value;
}

// One value when the data fits one element of `width` bytes; otherwise an array of one value
// per `width` bytes, `count` of them. `make` turns an element's raw bits into a value.
template <typename Make>
Variant ElementsValue(const uint8_t* data, size_t len, size_t width, size_t count, Make make) {
    if (len <= width) {
        return make(ReadPadded(data, len, 0, width));
    }
    Variant::ArrayType values;
    values.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        values.push_back(make(ReadPadded(data, len, i * width, width)));
    }
    return Variant(std::move(values));
}

// The elements of a number type whose raw bits read as T (the width of T). Unsigned values are
// int Variants while they fit one, as the broker's JSON reads them, so that equal numbers
// compare equal whichever way they came.
template <typename T>
Variant IntegersValue(const uint8_t* data, size_t len) {
    return ElementsValue(data, len, sizeof(T), len / sizeof(T), [](uint64_t raw) {
        const T value = static_cast<T>(raw);
        if (std::is_unsigned<T>::value && static_cast<uint64_t>(value) > uint64_t{INT64_MAX}) {
            return Variant(static_cast<uint64_t>(value));
        }
        return Variant(static_cast<int64_t>(value));
    });
}

// A NaN or infinity makes Variant throw "not a valid float".
Variant FloatsValue(bool single, const uint8_t* data, size_t len) {
    const size_t width = single ? 4 : 8;
    return ElementsValue(data, len, width, len / width, [single](uint64_t raw) {
        if (single) {
            float value = 0.0f;
            const auto bits = static_cast<uint32_t>(raw);
            std::memcpy(&value, &bits, sizeof value);
            return Variant(static_cast<double>(value));
        }
        double value = 0.0;
        std::memcpy(&value, &raw, sizeof value);
        return Variant(value);
    });
}

}  // namespace

bool IntegerElement(int32_t innerType, const Variant& value, WideInteger& out,
                    std::string& reason) {
    if (!IntegerOf(value, innerType == kInnerTypeBool, out, reason)) {
        return false;
    }
    if (!InRange(innerType, out)) {
        char type[8];
        std::snprintf(type, sizeof type, "0x%04X", static_cast<unsigned>(innerType) & 0xFFFFu);
        reason = "number " + out.Text() + " out of range of " + type;
        return false;
    }
    return true;
}

bool EncodeNumber(int32_t innerType, const Variant& value, ByteWriter& out, std::string& reason) {
    const bool single = innerType == kInnerTypeReal;
    if (single || innerType == kInnerTypeLreal) {
        double wide = 0.0;
        float narrow = 0.0f;
        if (single ? !RealOf(value, narrow) : !DoubleOf(value, wide)) {
            reason = std::string("not a ") + (single ? "REAL" : "LREAL") + " number";
            return false;
        }
        single ? out.f32(narrow) : out.f64(wide);
        return true;
    }
    WideInteger integer;
    if (!IntegerElement(innerType, value, integer, reason)) {
        return false;
    }
    const auto width = static_cast<size_t>(EipTag::GetInnerTypeLength(innerType));
    for (size_t i = 0; i < width; ++i) {
        out.u8(static_cast<uint8_t>(integer.Bits() >> (8 * i)));
    }
    return true;
}

bool TextFits(size_t length, size_t capacity, std::string& reason) {
    if (length <= capacity) {
        return true;
    }
    reason = "string too long, " + std::to_string(length) + " bytes for at most " +
             std::to_string(capacity);
    return false;
}

// 64-bit values travel as int64 / uint64 Variants, exact beyond 2^53.
Variant NumberValue(int32_t innerType, const uint8_t* data, size_t len) {
    switch (innerType) {
        case kInnerTypeSint:
            return IntegersValue<int8_t>(data, len);
        case kInnerTypeInt:
            return IntegersValue<int16_t>(data, len);
        case kInnerTypeDint:
            return IntegersValue<int32_t>(data, len);
        case kInnerTypeLint:
            return IntegersValue<int64_t>(data, len);
        case kInnerTypeUsint:
            return IntegersValue<uint8_t>(data, len);
        case kInnerTypeUint:
            return IntegersValue<uint16_t>(data, len);
        case kInnerTypeUdint:
        case kInnerTypeBitarray:
            return IntegersValue<uint32_t>(data, len);
        case kInnerTypeUlint:
            return IntegersValue<uint64_t>(data, len);
        case kInnerTypeLreal:
            return FloatsValue(false, data, len);
        default:  // REAL
            return FloatsValue(true, data, len);
    }
}

Variant BoolValue(ProtocolFamily family, const uint8_t* data, size_t len) {
    auto isSet = [](uint64_t raw) { return Variant(raw != 0); };
    if (family == kFamilyPccc) {
        return ElementsValue(data, len, 2, (len + 1) / 2, isSet);
    }
    return ElementsValue(data, len, 1, len, isSet);
}

}  // namespace elementary_value
