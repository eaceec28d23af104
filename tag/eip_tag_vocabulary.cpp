// The text forms of RW flags, output types and inner types, shared by the node tree, the
// persistence, the actions and the parameter parser.

#include "action/link_errors.h"
#include "tag/eip_tag.h"

namespace {

struct InnerTypeName {
    int32_t code;
    const char* name;
    const char* nameWithLength;
};

constexpr InnerTypeName kInnerTypeNames[] = {
    {kInnerTypeBool, "BOOL", "BOOL (1byte)"},
    {kInnerTypeSint, "SINT", "SINT (1byte)"},
    {kInnerTypeInt, "INT", "INT (2bytes)"},
    {kInnerTypeDint, "DINT", "DINT (4bytes)"},
    {kInnerTypeReal, "REAL", "REAL (4bytes)"},
    {kInnerTypeString, "STRING", "STRING"},
    {kInnerTypeBitarray, "BITARRAY", "BITARRAY"},
    {kInnerTypeString2, "STRING2", "STRING2"},
    {kInnerTypeShortString, "SHORT STRING", "SHORT STRING"},
    {kInnerTypeStructure, "STRUCTURE", "STRUCTURE"},
};

// Searched by substring, first hit wins: the order keeps "DINT" from reading as "INT" and
// "SHORT STRING" / "STRING2" from reading as "STRING". Texts such as "DINT (4bytes)" match too.
struct InnerTypeSearch {
    const char* text;
    int32_t code;
};

constexpr InnerTypeSearch kInnerTypeSearchOrder[] = {
    {"BOOL", kInnerTypeBool},           {"SINT", kInnerTypeSint},
    {"DINT", kInnerTypeDint},           {"INT", kInnerTypeInt},
    {"REAL", kInnerTypeReal},           {"BITARRAY", kInnerTypeBitarray},
    {"STRUCTURE", kInnerTypeStructure}, {"SHORT STRING", kInnerTypeShortString},
    {"STRING2", kInnerTypeString2},     {"STRING", kInnerTypeString},
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
    switch (innerType) {
        case kInnerTypeInt:
            return 2;
        case kInnerTypeDint:
        case kInnerTypeReal:
            return 4;
        default:
            return 1;
    }
}

int32_t EipTag::SupportInnerType(int32_t innerType) {
    switch (innerType) {
        case kInnerTypeBool:
        case kInnerTypeSint:
        case kInnerTypeInt:
        case kInnerTypeDint:
        case kInnerTypeReal:
        case kInnerTypeString:
        case kInnerTypeString2:
        case kInnerTypeShortString:
        case kInnerTypeStructure:
            return 0;
        default:
            return link_error::kToBeSupported;
    }
}
