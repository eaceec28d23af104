// The text forms of RW flags, output types and inner types, shared by the node tree, the
// persistence, the actions and the parameter parser.

#include "action/link_errors.h"
#include "tag/eip_tag.h"

namespace {

struct InnerTypeName {
    int32_t code;
    const char* name;
    const char* nameWithLength;
    int32_t length;  // bytes of one element
};

constexpr InnerTypeName kInnerTypeNames[] = {
    {kInnerTypeBool, "BOOL", "BOOL (1byte)", 1},
    {kInnerTypeSint, "SINT", "SINT (1byte)", 1},
    {kInnerTypeInt, "INT", "INT (2bytes)", 2},
    {kInnerTypeDint, "DINT", "DINT (4bytes)", 4},
    {kInnerTypeLint, "LINT", "LINT (8bytes)", 8},
    {kInnerTypeUsint, "USINT", "USINT (1byte)", 1},
    {kInnerTypeUint, "UINT", "UINT (2bytes)", 2},
    {kInnerTypeUdint, "UDINT", "UDINT (4bytes)", 4},
    {kInnerTypeUlint, "ULINT", "ULINT (8bytes)", 8},
    {kInnerTypeReal, "REAL", "REAL (4bytes)", 4},
    {kInnerTypeLreal, "LREAL", "LREAL (8bytes)", 8},
    {kInnerTypeString, "STRING", "STRING", 1},
    {kInnerTypeBitarray, "BITARRAY", "BITARRAY", 4},
    {kInnerTypeString2, "STRING2", "STRING2", 1},
    {kInnerTypeShortString, "SHORT STRING", "SHORT STRING", 1},
    {kInnerTypeStructure, "STRUCTURE", "STRUCTURE", 1},
};

// Searched by substring, first hit wins: the order keeps "DINT" from reading as "INT", the
// unsigned names from reading as their signed part, "LREAL" from reading as "REAL" and
// "SHORT STRING" / "STRING2" from reading as "STRING". Texts such as "DINT (4bytes)" match too.
struct InnerTypeSearch {
    const char* text;
    int32_t code;
};

constexpr InnerTypeSearch kInnerTypeSearchOrder[] = {
    {"BOOL", kInnerTypeBool},
    {"USINT", kInnerTypeUsint},
    {"SINT", kInnerTypeSint},
    {"UDINT", kInnerTypeUdint},
    {"DINT", kInnerTypeDint},
    {"ULINT", kInnerTypeUlint},
    {"LINT", kInnerTypeLint},
    {"UINT", kInnerTypeUint},
    {"INT", kInnerTypeInt},
    {"LREAL", kInnerTypeLreal},
    {"REAL", kInnerTypeReal},
    {"BITARRAY", kInnerTypeBitarray},
    {"DWORD", kInnerTypeBitarray},
    {"STRUCTURE", kInnerTypeStructure},
    {"SHORT STRING", kInnerTypeShortString},
    {"STRING2", kInnerTypeString2},
    {"STRING", kInnerTypeString},
};

const InnerTypeName* FindInnerType(int32_t code) {
    for (const InnerTypeName& entry : kInnerTypeNames) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

uint8_t EipTag::StrToRWFlag(const std::string& text) {
    uint8_t flag = 0;
    for (char c : text) {
        uint8_t bit = 0;
        switch (c) {
            case '_':
                continue;
            case 'R':
            case 'r':
                bit = kRwFlagRead;
                break;
            case 'W':
            case 'w':
                bit = kRwFlagWrite;
                break;
            case 'I':
            case 'i':
                bit = kRwFlagIo;
                break;
            default:
                return 0;
        }
        if (flag & bit) {
            return 0;
        }
        flag |= bit;
    }
    return flag;
}

std::string EipTag::RWFlagToStr(uint8_t rwFlag) {
    switch (rwFlag) {
        case 0:
            return "__";
        case kRwFlagRead:
            return "R_";
        case kRwFlagWrite:
            return "_W";
        case kRwFlagIo:
            return "I";
        default:
            return "RW";
    }
}

OutputType EipTag::StrToOutputType(const std::string& text) {
    return text == "DEFAULT" ? kOutputTypeDefault : kOutputTypeUnknown;
}

std::string EipTag::OutputTypeToStr(OutputType outputType) {
    return outputType == kOutputTypeDefault ? "DEFAULT" : "UNKNOWN";
}

int32_t EipTag::StrToInnerType(const std::string& text) {
    for (const InnerTypeSearch& entry : kInnerTypeSearchOrder) {
        if (text.find(entry.text) != std::string::npos) {
            return entry.code;
        }
    }
    return kInnerTypeSint;
}

std::string EipTag::InnerTypeToStr(int32_t innerType) {
    const InnerTypeName* entry = FindInnerType(innerType);
    return entry ? entry->name : "UNKNOWN";
}

std::string EipTag::InnerTypeToStrWithLength(int32_t innerType) {
    const InnerTypeName* entry = FindInnerType(innerType);
    return entry ? entry->nameWithLength : "UNKNOWN";
}

int32_t EipTag::GetInnerTypeLength(int32_t innerType) {
    const InnerTypeName* entry = FindInnerType(innerType);
    return entry ? entry->length : 1;
}

int32_t EipTag::SupportInnerType(int32_t innerType) {
    if (IsNumberType(innerType)) {
        return 0;
    }
    switch (innerType) {
        case kInnerTypeBool:
        case kInnerTypeString:
        case kInnerTypeString2:
        case kInnerTypeShortString:
        case kInnerTypeStructure:
            return 0;
        default:
            return link_error::kToBeSupported;
    }
}
