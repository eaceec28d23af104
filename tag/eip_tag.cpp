#include "tag/eip_tag.h"

#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "action/link_errors.h"
#include "common/byte_codec.h"
#include "common/eip_log.h"
#include "tag/controllogix_tag.h"
#include "tag/elementary_value.h"
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
    const bool isBool = info.innerType == kInnerTypeBool;
    ByteWriter out(buffer, size);
    elementary_value::WideInteger integer;
    std::string reason;
    const bool converted =
        isBool ? elementary_value::IntegerElement(info.innerType, value, integer, reason)
               : elementary_value::EncodeNumber(info.innerType, value, out, reason);
    if (!converted) {
        LogConversionFailure(LogLevel::error,
                             std::string(kConvertOperation) + " : " + reason + ", value refused");
        return -1;
    }
    if (!isBool) {
        return out.ok() ? static_cast<int32_t>(out.size()) : -2;
    }
    const int32_t width = GetTagData().GetBits().count != 0 ? 1 : info.dataLen;
    if (width != 1 && width != 2 && width != 4) {
        return -1;
    }
    const int64_t extended = static_cast<int8_t>(integer.Bits() & 0xFF);
    return PutInteger(static_cast<uint64_t>(extended), static_cast<size_t>(width), buffer, size);
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
    std::string reason;
    if (!elementary_value::TextFits(length, capacity, reason)) {
        LogConversionFailure(LogLevel::error,
                             std::string(kConvertOperation) + " : " + reason + ", value refused");
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
