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
    {EIP_INNER_TYPE_BOOL, "BOOL", "BOOL (1byte)"},
    {EIP_INNER_TYPE_SINT, "SINT", "SINT (1byte)"},
    {EIP_INNER_TYPE_INT, "INT", "INT (2bytes)"},
    {EIP_INNER_TYPE_DINT, "DINT", "DINT (4bytes)"},
    {EIP_INNER_TYPE_REAL, "REAL", "REAL (4bytes)"},
    {EIP_INNER_TYPE_STRING, "STRING", "STRING"},
    {EIP_INNER_TYPE_BITARRAY, "BITARRAY", "BITARRAY"},
    {EIP_INNER_TYPE_STRING2, "STRING2", "STRING2"},
    {EIP_INNER_TYPE_SHORT_STRING, "SHORT STRING", "SHORT STRING"},
    {EIP_INNER_TYPE_STRUCTURE, "STRUCTURE", "STRUCTURE"},
};

// Searched by substring, first hit wins: the order keeps "DINT" from reading as "INT" and
// "SHORT STRING" / "STRING2" from reading as "STRING". Texts such as "DINT (4bytes)" match too.
struct InnerTypeSearch {
    const char* text;
    int32_t code;
};

constexpr InnerTypeSearch kInnerTypeSearchOrder[] = {
    {"BOOL", EIP_INNER_TYPE_BOOL},           {"SINT", EIP_INNER_TYPE_SINT},
    {"DINT", EIP_INNER_TYPE_DINT},           {"INT", EIP_INNER_TYPE_INT},
    {"REAL", EIP_INNER_TYPE_REAL},           {"BITARRAY", EIP_INNER_TYPE_BITARRAY},
    {"STRUCTURE", EIP_INNER_TYPE_STRUCTURE}, {"SHORT STRING", EIP_INNER_TYPE_SHORT_STRING},
    {"STRING2", EIP_INNER_TYPE_STRING2},     {"STRING", EIP_INNER_TYPE_STRING},
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
                bit = EIP_RW_FLAG_READ;
                break;
            case 'W':
            case 'w':
                bit = EIP_RW_FLAG_WRITE;
                break;
            case 'I':
            case 'i':
                bit = EIP_RW_FLAG_IO;
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
        case EIP_RW_FLAG_READ:
            return "R_";
        case EIP_RW_FLAG_WRITE:
            return "_W";
        case EIP_RW_FLAG_IO:
            return "I";
        default:
            return "RW";
    }
}

OutputType EipTag::StrToOutputType(const std::string& text) {
    return text == "DEFAULT" ? EIP_OUTPUT_TYPE_DEFAULT : EIP_OUTPUT_TYPE_UNKNOWN;
}

std::string EipTag::OutputTypeToStr(OutputType outputType) {
    return outputType == EIP_OUTPUT_TYPE_DEFAULT ? "DEFAULT" : "UNKNOWN";
}

int32_t EipTag::StrToInnerType(const std::string& text) {
    for (const InnerTypeSearch& entry : kInnerTypeSearchOrder) {
        if (text.find(entry.text) != std::string::npos) {
            return entry.code;
        }
    }
    return EIP_INNER_TYPE_SINT;
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
        case EIP_INNER_TYPE_INT:
            return 2;
        case EIP_INNER_TYPE_DINT:
        case EIP_INNER_TYPE_REAL:
            return 4;
        default:
            return 1;
    }
}

int32_t EipTag::SupportInnerType(int32_t innerType) {
    switch (innerType) {
        case EIP_INNER_TYPE_BOOL:
        case EIP_INNER_TYPE_SINT:
        case EIP_INNER_TYPE_INT:
        case EIP_INNER_TYPE_DINT:
        case EIP_INNER_TYPE_REAL:
        case EIP_INNER_TYPE_STRING:
        case EIP_INNER_TYPE_STRING2:
        case EIP_INNER_TYPE_SHORT_STRING:
        case EIP_INNER_TYPE_STRUCTURE:
            return 0;
        default:
            return link_error::kToBeSupported;
    }
}
