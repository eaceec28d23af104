#include "tag/pccc_tag.h"

#include <algorithm>

using kestrel::strata_sdk::LogLevel;

namespace {

constexpr size_t kMaxStringChars = PCCC_STRING_ELEMENT_BYTES - 2;

}  // namespace

PcccTag::PcccTag() {
    info.family = kFamilyPccc;
}

void PcccTag::SetInfo(const TagInfo& tagInfo) {
    EipTag::SetInfo(tagInfo);
    info.family = kFamilyPccc;
}

int32_t PcccTag::ParsingTagName() {
    if (!tagData.ParseTagName(info.plc5Address, info.alias)) {
        return -1;
    }
    info.elementCount = tagData.GetElementCount();
    return static_cast<int32_t>(tagData.GetEncodedAddress().size());
}

// ST element (84 bytes):
//   0  2   length (16-bit LE), at most 82
//   2  82  characters in pairs, the two of each pair exchanged ("ABC" -> 'B' 'A' 0x00 'C'),
//          the rest zero
int32_t PcccTag::ConvertJson2Raw(const Variant& value, uint8_t* buffer, uint16_t size) const {
    const int32_t type = info.innerType;
    if (type == kInnerTypeString2 || type == kInnerTypeShortString || type == kInnerTypeStructure) {
        LogConversionFailure(LogLevel::error,
                             "ConvertJson2Raw, unsupported type, dest type=" + TypeHex(type));
        return 0;
    }
    if (type != kInnerTypeString) {
        return EipTag::ConvertJson2Raw(value, buffer, size);
    }
    if (!value.is_string()) {
        LogConversionFailure(LogLevel::error, "ConvertJson2Raw : variant's type mismatch");
        return -1;
    }
    const std::string& text = value.as_string();
    const size_t length = text.size();
    // A text the element cannot hold is refused, never written cut.
    if (length > kMaxStringChars) {
        LogConversionFailure(LogLevel::error, "ConvertJson2Raw : string too long, " +
                                                  std::to_string(length) +
                                                  " bytes for at most 82, value refused");
        return -1;
    }
    if (size < PCCC_STRING_ELEMENT_BYTES) {
        LogConversionFailure(
            LogLevel::error,
            "ConvertJson2Raw, converting failed, dest buffsize=" + std::to_string(size) +
                ", expected buffsize=84, dest type=" + TypeHex(type) +
                ", src string length=" + std::to_string(length));
        return -1;
    }
    std::fill(buffer, buffer + size, uint8_t{0});
    PutLittleEndian16(static_cast<uint16_t>(length), buffer);
    for (size_t i = 0; i < length; ++i) {
        // Character i goes to the other byte of its pair.
        buffer[2 + (i ^ 1)] = static_cast<uint8_t>(text[i]);
    }
    return static_cast<int32_t>(2 + length);
}
