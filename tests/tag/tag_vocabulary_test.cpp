#include <gtest/gtest.h>

#include <memory>

#include "tag/controllogix_tag.h"
#include "tag/pccc_tag.h"

namespace {

std::unique_ptr<EipTag> MakeTag(eipProtocolFamily_t family) {
    return std::unique_ptr<EipTag>(EipTag::Create(family));
}

TEST(TagVocabulary, RWFlagTextAddsLettersAndRefusesRepeatsAndStrangers) {
    EXPECT_EQ(EipTag::StrToRWFlag("RW"), 3);
    EXPECT_EQ(EipTag::StrToRWFlag("rw"), 3);
    EXPECT_EQ(EipTag::StrToRWFlag("R_W"), 3);
    EXPECT_EQ(EipTag::StrToRWFlag("R_"), 1);
    EXPECT_EQ(EipTag::StrToRWFlag("_W"), 2);
    EXPECT_EQ(EipTag::StrToRWFlag("I"), 4);
    EXPECT_EQ(EipTag::StrToRWFlag("RI"), 5);
    EXPECT_EQ(EipTag::StrToRWFlag("RR"), 0);
    EXPECT_EQ(EipTag::StrToRWFlag("RX"), 0);
    EXPECT_EQ(EipTag::StrToRWFlag("R W"), 0);
    EXPECT_EQ(EipTag::StrToRWFlag(""), 0);
}

TEST(TagVocabulary, RWFlagPrintsKnownFormsAndRWForEveryOtherValue) {
    EXPECT_EQ(EipTag::RWFlagToStr(0), "__");
    EXPECT_EQ(EipTag::RWFlagToStr(1), "R_");
    EXPECT_EQ(EipTag::RWFlagToStr(2), "_W");
    EXPECT_EQ(EipTag::RWFlagToStr(4), "I");
    for (uint8_t flag : {3, 5, 6, 7, 255}) {
        EXPECT_EQ(EipTag::RWFlagToStr(flag), "RW") << int(flag);
    }
}

TEST(TagVocabulary, OutputTypeKnowsOnlyDefault) {
    EXPECT_EQ(EipTag::StrToOutputType("DEFAULT"), EIP_OUTPUT_TYPE_DEFAULT);
    EXPECT_EQ(EipTag::StrToOutputType("default"), EIP_OUTPUT_TYPE_UNKNOWN);
    EXPECT_EQ(EipTag::StrToOutputType(""), EIP_OUTPUT_TYPE_UNKNOWN);
    EXPECT_EQ(EipTag::OutputTypeToStr(EIP_OUTPUT_TYPE_DEFAULT), "DEFAULT");
    EXPECT_EQ(EipTag::OutputTypeToStr(EIP_OUTPUT_TYPE_UNKNOWN), "UNKNOWN");
}

TEST(TagVocabulary, InnerTypeTextIsSearchedBySubstringInPriorityOrder) {
    EXPECT_EQ(EipTag::StrToInnerType("BOOL (1byte)"), 193);
    EXPECT_EQ(EipTag::StrToInnerType("SINT"), 194);
    EXPECT_EQ(EipTag::StrToInnerType("INT"), 195);
    EXPECT_EQ(EipTag::StrToInnerType("DINT (4bytes)"), 196);
    EXPECT_EQ(EipTag::StrToInnerType("REAL"), 202);
    EXPECT_EQ(EipTag::StrToInnerType("BITARRAY"), 211);
    EXPECT_EQ(EipTag::StrToInnerType("STRUCTURE"), 672);
    EXPECT_EQ(EipTag::StrToInnerType("SHORT STRING"), 218);
    EXPECT_EQ(EipTag::StrToInnerType("STRING2"), 213);
    EXPECT_EQ(EipTag::StrToInnerType("STRING"), 208);
    EXPECT_EQ(EipTag::StrToInnerType("float"), 194);
    EXPECT_EQ(EipTag::StrToInnerType(""), 194);
}

TEST(TagVocabulary, InnerTypeNamesRoundTripAndUnknownCodesPrintUnknown) {
    for (int32_t code : {193, 194, 195, 196, 202, 208, 211, 213, 218, 672}) {
        EXPECT_EQ(EipTag::StrToInnerType(EipTag::InnerTypeToStr(code)), code) << code;
        EXPECT_EQ(EipTag::StrToInnerType(EipTag::InnerTypeToStrWithLength(code)), code) << code;
    }
    EXPECT_EQ(EipTag::InnerTypeToStrWithLength(195), "INT (2bytes)");
    EXPECT_EQ(EipTag::InnerTypeToStrWithLength(202), "REAL (4bytes)");
    EXPECT_EQ(EipTag::InnerTypeToStrWithLength(218), "SHORT STRING");
    EXPECT_EQ(EipTag::InnerTypeToStr(197), "UNKNOWN");
    EXPECT_EQ(EipTag::InnerTypeToStrWithLength(0), "UNKNOWN");
}

TEST(TagVocabulary, ElementLengthsOfInnerTypes) {
    EXPECT_EQ(EipTag::GetInnerTypeLength(195), 2);
    EXPECT_EQ(EipTag::GetInnerTypeLength(196), 4);
    EXPECT_EQ(EipTag::GetInnerTypeLength(202), 4);
    for (int32_t code : {193, 194, 197, 201, 208, 672, 12345}) {
        EXPECT_EQ(EipTag::GetInnerTypeLength(code), 1) << code;
    }
}

TEST(TagVocabulary, SupportedInnerTypesExcludeBitArray) {
    for (int32_t code : {193, 194, 195, 196, 202, 208, 213, 218, 672}) {
        EXPECT_EQ(EipTag::SupportInnerType(code), 0) << code;
    }
    EXPECT_EQ(EipTag::SupportInnerType(211), 10032);
    EXPECT_EQ(EipTag::SupportInnerType(197), 10032);
}

TEST(TagFactory, MakesTheFamilyVariantOrNothing) {
    auto logix = MakeTag(EIP_PROTOCOL_FAMILY_CIP);
    auto pccc = MakeTag(EIP_PROTOCOL_FAMILY_PCCC);
    ASSERT_NE(dynamic_cast<ControlLogixTag*>(logix.get()), nullptr);
    ASSERT_NE(dynamic_cast<PcccTag*>(pccc.get()), nullptr);
    EXPECT_EQ(logix->GetInfo().family, EIP_PROTOCOL_FAMILY_CIP);
    EXPECT_EQ(pccc->GetInfo().family, EIP_PROTOCOL_FAMILY_PCCC);
    EXPECT_EQ(EipTag::Create(static_cast<eipProtocolFamily_t>(2)), nullptr);
}

TEST(TagInfo, SetInfoCopiesEverythingButTheFamily) {
    _eipTagInfo record;
    record.family = EIP_PROTOCOL_FAMILY_CIP;
    record.alias = "Level";
    record.tagName = "Tank.Level";
    record.plc5Address = "N7:0";
    record.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    record.rwFlag = 3;
    record.innerType = 196;
    record.structHandle = 0x0FCE;
    record.dataLen = 4;
    record.description = "tank level";
    record.elementCount = 7;
    auto pccc = MakeTag(EIP_PROTOCOL_FAMILY_PCCC);
    pccc->SetInfo(record);
    const _eipTagInfo& info = pccc->GetInfo();
    EXPECT_EQ(info.family, EIP_PROTOCOL_FAMILY_PCCC);
    EXPECT_EQ(info.alias, "Level");
    EXPECT_EQ(info.tagName, "Tank.Level");
    EXPECT_EQ(info.plc5Address, "N7:0");
    EXPECT_EQ(info.outputType, EIP_OUTPUT_TYPE_DEFAULT);
    EXPECT_EQ(info.rwFlag, 3);
    EXPECT_EQ(info.innerType, 196);
    EXPECT_EQ(info.structHandle, 0x0FCE);
    EXPECT_EQ(info.dataLen, 4);
    EXPECT_EQ(info.description, "tank level");
    EXPECT_EQ(info.elementCount, 7);

    auto logix = MakeTag(EIP_PROTOCOL_FAMILY_CIP);
    record.family = EIP_PROTOCOL_FAMILY_PCCC;
    logix->SetInfo(record);
    EXPECT_EQ(logix->GetInfo().family, EIP_PROTOCOL_FAMILY_CIP);
}

TEST(TagInfo, LogixParsingUsesTagNameAndReportsPathLengthAndElementCount) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP);
    _eipTagInfo record;
    record.alias = "buf";
    record.tagName = "arr[2~9]";
    record.plc5Address = "garbage";
    tag->SetInfo(record);
    EXPECT_EQ(tag->ParsingTagName(), 11);
    EXPECT_EQ(tag->GetInfo().elementCount, 8);
    EXPECT_EQ(tag->GetTagData().GetElementCount(), 8);
    EXPECT_EQ(tag->GetTagData().GetAlias(), "buf");
}

TEST(TagInfo, PcccParsingUsesTheAddress) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_PCCC);
    _eipTagInfo record;
    record.alias = "Level";
    record.tagName = "not an address";
    record.plc5Address = "N7:300";
    tag->SetInfo(record);
    EXPECT_EQ(tag->ParsingTagName(), 7);
    EXPECT_EQ(tag->GetInfo().elementCount, 1);
}

TEST(TagInfo, FailedParsingReturnsMinusOneAndLeavesInfoAlone) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP);
    _eipTagInfo record;
    record.alias = "x";
    record.tagName = "a..b";
    record.elementCount = 9;
    tag->SetInfo(record);
    EXPECT_EQ(tag->ParsingTagName(), -1);
    EXPECT_EQ(tag->GetInfo().elementCount, 9);

    auto pccc = MakeTag(EIP_PROTOCOL_FAMILY_PCCC);
    record.plc5Address = "T4:0";
    pccc->SetInfo(record);
    EXPECT_EQ(pccc->ParsingTagName(), -1);
    EXPECT_EQ(pccc->GetInfo().elementCount, 9);
}

TEST(TagInfo, TestedFlagStartsClear) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP);
    EXPECT_FALSE(tag->IsTested());
    tag->SetTested(true);
    EXPECT_TRUE(tag->IsTested());
}

}  // namespace
