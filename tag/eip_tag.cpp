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

// The whole text as a decimal integer (spaces around it allowed); false for anything else.
bool WholeInteger(const std::string& text, int64_t& out) {
    std::string trimmed = text;
    TrimSpaces(trimmed);
    if (trimmed.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(trimmed.c_str(), &end, 10);
    if (errno == ERANGE || end != trimmed.c_str() + trimmed.size()) {
        return false;
    }
    out = value;
    return true;
}

// The integer a broker value stands for; a BOOL also takes true / false in any letter case.
// False, with the reason, for kinds that carry no integer (double, map, array) and for text
// that is not wholly one.
bool IntegerOf(const Variant& value, bool boolWords, int64_t& out, std::string& reason) {
    switch (value.get_type()) {
        case Variant::Null:
            out = 0;
            return true;
        case Variant::Bool:
            out = value.as_bool() ? 1 : 0;
            return true;
        case Variant::Int:
            out = value.as_int();
            return true;
        case Variant::UInt:
            if (value.as_uint() > static_cast<uint64_t>(INT64_MAX)) {
                reason = "number out of range";
                return false;
            }
            out = static_cast<int64_t>(value.as_uint());
            return true;
        case Variant::String: {
            const std::string& text = value.as_string();
            if (boolWords && (SameWord(text, "true") || SameWord(text, "false"))) {
                out = SameWord(text, "true") ? 1 : 0;
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
// -1 / 255 for true).
bool InRange(int32_t type, int64_t value) {
    switch (type) {
        case kInnerTypeBool:
            return value >= INT8_MIN && value <= UINT8_MAX;
        case kInnerTypeSint:
            return value >= INT8_MIN && value <= INT8_MAX;
        case kInnerTypeInt:
            return value >= INT16_MIN && value <= INT16_MAX;
        default:
            return value >= INT32_MIN && value <= INT32_MAX;
    }
}

// The float a broker value stands for; texts must be plain decimal numbers (no exponent).
bool RealOf(const Variant& value, float& out) {
    switch (value.get_type()) {
        case Variant::Null:
            out = 0.0f;
            return true;
        case Variant::Bool:
            out = value.as_bool() ? 1.0f : 0.0f;
            return true;
        case Variant::Int:
            out = static_cast<float>(value.as_int());
            return true;
        case Variant::UInt:
            out = static_cast<float>(value.as_uint());
            return true;
        case Variant::Double:
            out = static_cast<float>(value.as_double());
            return std::isfinite(out) || !std::isfinite(value.as_double());
        case Variant::String:
            if (!IsRealNumberStr(value.as_string().c_str())) {
                return false;
            }
            out = std::strtof(value.as_string().c_str(), nullptr);
            return std::isfinite(out);
        default:
            return false;
    }
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
    switch (info.innerType) {
        case kInnerTypeBool:
        case kInnerTypeSint:
        case kInnerTypeInt:
        case kInnerTypeDint:
        case kInnerTypeReal:
            return ConvertNumber(value, buffer, size);
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
//   BOOL  dataLen bytes (1, 2 or 4): the low byte, sign-extended to the width
//   SINT  1 byte, INT 2 bytes, DINT 4 bytes: the low bits
//   REAL  4 bytes: IEEE-754 single precision
int32_t EipTag::ConvertNumber(const Variant& value, uint8_t* buffer, uint16_t size) const {
    if (info.innerType == kInnerTypeReal) {
        float real = 0.0f;
        if (!RealOf(value, real)) {
            LogConversionFailure(LogLevel::error, std::string(kConvertOperation) +
                                                      " : not a REAL number, value refused");
            return -1;
        }
        if (size < 4) {
            return -2;
        }
        PutLittleEndianFloat(real, buffer);
        return 4;
    }
    const bool isBool = info.innerType == kInnerTypeBool;
    int64_t integer = 0;
    std::string reason;
    if (IntegerOf(value, isBool, integer, reason) && !InRange(info.innerType, integer)) {
        reason =
            "number " + std::to_string(integer) + " out of range of " + TypeHex(info.innerType);
    }
    if (!reason.empty()) {
        LogConversionFailure(LogLevel::error,
                             std::string(kConvertOperation) + " : " + reason + ", value refused");
        return -1;
    }
    if (isBool) {
        if (info.dataLen != 1 && info.dataLen != 2 && info.dataLen != 4) {
            return -1;
        }
        const int64_t extended = static_cast<int8_t>(integer & 0xFF);
        return PutInteger(static_cast<uint64_t>(extended), static_cast<size_t>(info.dataLen),
                          buffer, size);
    }
    return PutInteger(static_cast<uint64_t>(integer),
                      static_cast<size_t>(GetInnerTypeLength(info.innerType)), buffer, size);
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
    const size_t count = GetTagData().GetElementCount();
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
