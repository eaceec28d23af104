#include "tag/eip_tag.h"

#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "action/link_errors.h"
#include "common/byte_codec.h"
#include "common/eip_log.h"
#include "tag/controllogix_tag.h"
#include "tag/pccc_tag.h"

using kestrel::strata_sdk::LogLevel;
using kestrel::strata_sdk::Variant;

namespace {

constexpr const char* kConvertOperation = "ConvertJson2Raw";
// Longest text of a 16-bit string length prefix.
constexpr size_t kMaxPrefixedStringLength = 65534;
constexpr size_t kMaxShortStringLength = 255;
constexpr size_t kMaxStandardStringChars = kStringStructMaxChars;

// Width of a string's length prefix in a buffer of `size` bytes, or 0 when the length or
// the buffer cannot carry one.
size_t StringPrefixWidth(int32_t type, size_t length, uint16_t size) {
    if (type == kInnerTypeStructure) {
        return size >= 4 ? 4 : 0;
    }
    if (type == kInnerTypeShortString && size >= 1) {
        return 1;
    }
    return size >= 2 && length <= kMaxPrefixedStringLength ? 2 : 0;
}

// Texts equal ignoring letter case.
bool SameWord(const std::string& text, const char* word) {
    return strcasecmp(text.c_str(), word) == 0;
}

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

// Writes the low `width` bytes of value little-endian, when they fit.
int32_t PutInteger(uint64_t value, size_t width, uint8_t* buffer, uint16_t size) {
    if (size < width) {
        return -2;
    }
    for (size_t i = 0; i < width; ++i) {
        buffer[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return static_cast<int32_t>(width);
}

// UTF-8 text as UTF-16LE bytes; false when the text is not valid UTF-8.
bool Utf8ToUtf16le(const std::string& text, std::vector<uint8_t>& out) {
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    // Every UTF-8 byte yields at most one UTF-16 code unit.
    out.assign(text.size() * 2, 0);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* outPtr = reinterpret_cast<char*>(out.data());
    size_t outLeft = out.size();
    const size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (result == static_cast<size_t>(-1) || inLeft != 0) {
        return false;
    }
    out.resize(out.size() - outLeft);
    return true;
}

}  // namespace

EipTag* EipTag::Create(ProtocolFamily family) {
    switch (family) {
        case kFamilyCip:
            return new (std::nothrow) ControlLogixTag();
        case kFamilyPccc:
            return new (std::nothrow) PcccTag();
        default:
            return nullptr;
    }
}

void EipTag::LogConversionFailure(LogLevel level, const std::string& text) {
    eiplog::LinkError(level, link_error::kWriteTag, text);
}

std::string EipTag::TypeHex(int32_t type) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(type) & 0xFFFFu);
    return text;
}

void EipTag::SetInfo(const TagInfo& tagInfo) {
    const ProtocolFamily family = info.family;
    info = tagInfo;
    info.family = family;
}

int32_t EipTag::ConvertJson2Raw(const Variant& value, uint8_t* buffer, uint16_t size) const {
    if (info.innerType == kInnerTypeBool || IsNumberType(info.innerType)) {
        return ConvertNumber(value, buffer, size);
    }
    switch (info.innerType) {
        case kInnerTypeString:
        case kInnerTypeString2:
        case kInnerTypeShortString:
        case kInnerTypeStructure:
            return ConvertString(value, buffer, size);
        default:
            return 0;
    }
}

// Little-endian element of one number type:
//   BOOL   dataLen bytes (1, 2 or 4): the low byte, sign-extended to the width; one byte for
//          a tag that stands for bits (the link sets or clears each bit itself)
//   SINT USINT 1, INT UINT 2, DINT UDINT BITARRAY 4, LINT ULINT 8 bytes: two's complement
//   REAL   4 bytes: IEEE-754 single precision; LREAL 8 bytes: double precision
int32_t EipTag::ConvertNumber(const Variant& value, uint8_t* buffer, uint16_t size) const {
    if (info.innerType == kInnerTypeReal || info.innerType == kInnerTypeLreal) {
        return ConvertFloat(value, buffer, size);
    }
    const bool isBool = info.innerType == kInnerTypeBool;
    WideInteger integer;
    std::string reason;
    if (IntegerOf(value, isBool, integer, reason) && !InRange(info.innerType, integer)) {
        reason = "number " + integer.Text() + " out of range of " + TypeHex(info.innerType);
    }
    if (!reason.empty()) {
        LogConversionFailure(LogLevel::error,
                             std::string(kConvertOperation) + " : " + reason + ", value refused");
        return -1;
    }
    if (isBool) {
        const int32_t width = GetTagData().GetBits().count != 0 ? 1 : info.dataLen;
        if (width != 1 && width != 2 && width != 4) {
            return -1;
        }
        const int64_t extended = static_cast<int8_t>(integer.Bits() & 0xFF);
        return PutInteger(static_cast<uint64_t>(extended), static_cast<size_t>(width), buffer,
                          size);
    }
    return PutInteger(integer.Bits(), static_cast<size_t>(GetInnerTypeLength(info.innerType)),
                      buffer, size);
}

int32_t EipTag::ConvertFloat(const Variant& value, uint8_t* buffer, uint16_t size) const {
    const bool single = info.innerType == kInnerTypeReal;
    double wide = 0.0;
    float narrow = 0.0f;
    if (single ? !RealOf(value, narrow) : !DoubleOf(value, wide)) {
        LogConversionFailure(LogLevel::error, std::string(kConvertOperation) + " : not a " +
                                                  (single ? "REAL" : "LREAL") +
                                                  " number, value refused");
        return -1;
    }
    ByteWriter out(buffer, size);
    if (single) {
        out.f32(narrow);
    } else {
        out.f64(wide);
    }
    return out.ok() ? static_cast<int32_t>(out.size()) : -2;
}

// String element, by inner type:
//   STRUCTURE (standard string, handle 0x0FCE)  4-byte length, at most 82 characters
//   SHORT STRING                                1-byte length (2-byte when longer than 255)
//   STRING                                      2-byte length, characters
//   STRING2                                     2-byte length, UTF-16LE code units
int32_t EipTag::ConvertString(const Variant& value, uint8_t* buffer, uint16_t size) const {
    const int32_t type = info.innerType;
    if (!value.is_string()) {
        LogConversionFailure(LogLevel::error,
                             std::string(kConvertOperation) + " : variant's type mismatch");
        return -1;
    }
    if (type == kInnerTypeStructure && info.structHandle != kStringStructHandle) {
        LogConversionFailure(LogLevel::error,
                             std::string(kConvertOperation) +
                                 " : structure type, handle=" + TypeHex(info.structHandle));
        return -1;
    }
    const std::string& text = value.as_string();
    const size_t length = text.size();
    // A text the string cannot hold is refused, never written cut.
    const size_t capacity = type == kInnerTypeStructure     ? kMaxStandardStringChars
                            : type == kInnerTypeShortString ? kMaxShortStringLength
                                                            : kMaxPrefixedStringLength;
    if (length > capacity) {
        LogConversionFailure(LogLevel::error, std::string(kConvertOperation) +
                                                  " : string too long, " + std::to_string(length) +
                                                  " bytes for at most " + std::to_string(capacity) +
                                                  ", value refused");
        return -1;
    }
    const size_t prefix = StringPrefixWidth(type, length, size);
    if (prefix == 0) {
        LogConversionFailure(LogLevel::error,
                             std::string(kConvertOperation) +
                                 ", converting failed, dest buffsize=" + std::to_string(size) +
                                 ", dest type=" + TypeHex(type) +
                                 ", src string length=" + std::to_string(length));
        return -1;
    }
    const size_t room = size - prefix;
    const bool isUtf16 = type == kInnerTypeString2;
    if (length * (isUtf16 ? 2 : 1) > room) {
        LogConversionFailure(LogLevel::error,
                             std::string(kConvertOperation) + ", too small buffer, dest buffsize=" +
                                 std::to_string(room) + ", dest type=" + TypeHex(type) +
                                 ", src string length=" + std::to_string(length));
        return -1;
    }
    std::vector<uint8_t> body(text.begin(), text.end());
    size_t characters = length;
    if (isUtf16 && length > 0) {
        if (!Utf8ToUtf16le(text, body)) {
            LogConversionFailure(LogLevel::error,
                                 std::string(kConvertOperation) +
                                     ", failed to convert from utf8 to utf16, dest buffsize=" +
                                     std::to_string(room) +
                                     ", src string length=" + std::to_string(length));
            return -1;
        }
        // The controller counts STRING2 characters in UTF-16 code units.
        characters = body.size() / 2;
    }
    ByteWriter out(buffer, size);
    switch (prefix) {
        case 1:
            out.u8(static_cast<uint8_t>(characters));
            break;
        case 2:
            out.u16(static_cast<uint16_t>(characters));
            break;
        default:
            out.u32(static_cast<uint32_t>(characters));
            break;
    }
    out.bytes(body);
    return out.ok() ? static_cast<int32_t>(out.size()) : -1;
}

int32_t EipTag::ConvertVexa2Raw(const Variant& value, uint8_t* buffer, uint16_t size) const {
    const size_t count = GetTagData().GetValueCount();
    if (count == 0) {
        return -1;
    }
    if (!value.is_array()) {
        return count == 1 ? ConvertJson2Raw(value, buffer, size) : -1;
    }
    const Variant::ArrayType& elements = value.as_array();
    if (elements.size() > count) {
        return -1;
    }
    // Elements the write leaves out are written as zero.
    static const Variant kZero;
    size_t written = 0;
    for (size_t i = 0; i < count; ++i) {
        const Variant& element = i < elements.size() ? elements[i] : kZero;
        const int32_t result =
            ConvertJson2Raw(element, buffer + written, static_cast<uint16_t>(size - written));
        if (result < 0) {
            return result;
        }
        written += static_cast<size_t>(result);
    }
    return static_cast<int32_t>(written);
}
