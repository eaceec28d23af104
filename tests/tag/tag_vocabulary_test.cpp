// The text forms users see and type for RW flags, output and inner types, and how a tag takes
// its record and parses its name or address by family.

#include <gtest/gtest.h>

#include <memory>

#include "tag/eip_tag.h"

namespace {

TEST(TagVocabulary, RWFlagTextAddsLettersAndRefusesRepeatsAndStrangers) {
    const std::pair<const char*, uint8_t> cases[] = {
        {"RW", 3}, {"rw", 3}, {"R_W", 3}, {"R_", 1},  {"_W", 2}, {"I", 4},
        {"RI", 5}, {"RR", 0}, {"RX", 0},  {"R W", 0}, {"", 0},
    };
    for (const auto& [text, flag] : cases) {
        EXPECT_EQ(EipTag::StrToRWFlag(text), flag) << text;
    }
    const std::pair<uint8_t, const char*> printed[] = {
        {0, "__"}, {1, "R_"}, {2, "_W"}, {4, "I"}, {3, "RW"}, {5, "RW"}, {7, "RW"}, {255, "RW"}};
    for (const auto& [flag, text] : printed) {
        EXPECT_EQ(EipTag::RWFlagToStr(flag), text) << int(flag);
    }
    EXPECT_EQ(EipTag::StrToOutputType("DEFAULT"), EIP_OUTPUT_TYPE_DEFAULT);
    EXPECT_EQ(EipTag::StrToOutputType("default"), EIP_OUTPUT_TYPE_UNKNOWN);
}

// Names print with and without their length, read back by substring in priority order ("DINT"
// is not "INT", "SHORT STRING" is not "STRING"), and only the bit array is not supported.
TEST(TagVocabulary, InnerTypeNamesReadBackAndSupport) {
    struct Case {
        int32_t code;
        const char* name;
        const char* withLength;
        bool supported;
    };
    const Case cases[] = {
        {193, "BOOL", "BOOL (1byte)", true},         {194, "SINT", "SINT (1byte)", true},
        {195, "INT", "INT (2bytes)", true},          {196, "DINT", "DINT (4bytes)", true},
        {202, "REAL", "REAL (4bytes)", true},        {208, "STRING", "STRING", true},
        {211, "BITARRAY", "BITARRAY", false},        {213, "STRING2", "STRING2", true},
        {218, "SHORT STRING", "SHORT STRING", true}, {672, "STRUCTURE", "STRUCTURE", true},
        {197, "UNKNOWN", "UNKNOWN", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EipTag::InnerTypeToStr(c.code), c.name) << c.code;
        EXPECT_EQ(EipTag::InnerTypeToStrWithLength(c.code), c.withLength) << c.code;
        if (c.code != 197) {
            EXPECT_EQ(EipTag::StrToInnerType(c.withLength), c.code) << c.code;
        }
        EXPECT_EQ(EipTag::SupportInnerType(c.code), c.supported ? 0 : 10032) << c.code;
    }
    EXPECT_EQ(EipTag::StrToInnerType("float"), 194);
    EXPECT_EQ(EipTag::StrToInnerType(""), 194);
}

TEST(TagInfo, SetInfoKeepsTheTagsFamily) {
    std::unique_ptr<EipTag> pccc(EipTag::Create(EIP_PROTOCOL_FAMILY_PCCC));
    _eipTagInfo record;
    record.family = EIP_PROTOCOL_FAMILY_CIP;
    record.alias = "Level";
    pccc->SetInfo(record);
    EXPECT_EQ(pccc->GetInfo().family, EIP_PROTOCOL_FAMILY_PCCC);
    EXPECT_EQ(pccc->GetInfo().alias, "Level");
    EXPECT_EQ(EipTag::Create(static_cast<eipProtocolFamily_t>(2)), nullptr);
}

// A Logix tag parses its tag name, a PCCC tag its PLC5 address; the result is the encoded
// length, and a failure leaves the record as it was.
TEST(TagInfo, ParsingUsesTheFamilysNameAndReportsLengthAndElementCount) {
    struct Case {
        eipProtocolFamily_t family;
        const char* tagName;
        const char* address;
        int result;
        int32_t elementCount;
    };
    const Case cases[] = {
        {EIP_PROTOCOL_FAMILY_CIP, "arr[2~9]", "garbage", 11, 8},
        {EIP_PROTOCOL_FAMILY_PCCC, "not an address", "N7:300", 7, 1},
        {EIP_PROTOCOL_FAMILY_CIP, "a..b", "N7:0", -1, 9},
        {EIP_PROTOCOL_FAMILY_PCCC, "Level", "T4:0", -1, 9},
    };
    for (const Case& c : cases) {
        std::unique_ptr<EipTag> tag(EipTag::Create(c.family));
        _eipTagInfo record;
        record.alias = "buf";
        record.tagName = c.tagName;
        record.plc5Address = c.address;
        record.elementCount = 9;
        tag->SetInfo(record);
        EXPECT_EQ(tag->ParsingTagName(), c.result) << c.tagName;
        EXPECT_EQ(tag->GetInfo().elementCount, c.elementCount) << c.tagName;
        if (c.result > 0) {
            EXPECT_EQ(tag->GetTagData().GetElementCount(), c.elementCount) << c.tagName;
            EXPECT_EQ(tag->GetTagData().GetAlias(), "buf");
        }
    }
}

}  // namespace
