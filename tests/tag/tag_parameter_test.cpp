#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tag/controllogix_handler.h"
#include "tag/pccc_handler.h"
#include "tag/protocol_handler_factory.h"
#include "tag/tag_parameter_parser.h"
#include "tag/taginfo_validator.h"
#include "tag_test_support.h"

using kestrel::strata_sdk::Variant;
namespace json = kestrel::strata_sdk::json;

namespace {

std::unique_ptr<ProtocolHandler> Handler(eipProtocolFamily_t family) {
    return std::unique_ptr<ProtocolHandler>(ProtocolHandlerFactory::Create(family));
}

// The add sequence: parse, defaults, pre-processing, common rules, family rules.
struct AddResult {
    int code;
    _eipTagInfo info;
};

AddResult Add(eipProtocolFamily_t family, int8_t kind, const std::string& text) {
    auto handler = Handler(family);
    TagParameterParser parser(kind, json::from_json_string(text));
    if (const int code = parser.ParseForAdd(*handler)) {
        return {code, parser.GetInfo()};
    }
    parser.FillMissingWithDefaults();
    handler->PreProcessTagInfo(parser.GetInfo());
    if (const int code = TagInfoValidator(kind).Validate(parser.GetInfo())) {
        return {code, parser.GetInfo()};
    }
    return {handler->ValidateTagInfoOnAdd(parser.GetInfo()), parser.GetInfo()};
}

// The edit sequence against an existing record.
AddResult Edit(eipProtocolFamily_t family, int8_t kind, const std::string& text,
               const _eipTagInfo& old) {
    auto handler = Handler(family);
    TagParameterParser parser(kind, json::from_json_string(text));
    if (const int code = parser.ParseForEdit(*handler)) {
        return {code, parser.GetInfo()};
    }
    handler->PreProcessTagInfo(parser.GetInfo());
    if (const int code =
            handler->PostProcessTagInfoOnEdit(parser.GetInfo(), parser.GetExtra(), old)) {
        return {code, parser.GetInfo()};
    }
    parser.CopyMissingFrom(old);
    if (const int code = TagInfoValidator(kind).Validate(parser.GetInfo())) {
        return {code, parser.GetInfo()};
    }
    return {handler->ValidateTagInfoOnEdit(parser.GetInfo()), parser.GetInfo()};
}

TEST(TagParameters, ParametersThatAreNotAMapAreInvalidJson) {
    for (const char* text : {"[1]", "\"x\"", "null", "5"}) {
        TagParameterParser parser(EIP_TAG_KIND_EM, json::from_json_string(text));
        EXPECT_EQ(parser.Parse([](auto&&...) { return 0; }), 10016) << text;
    }
}

TEST(TagParameters, CommonKeysAreReadTrimmedAndPaddedKeysRecognised) {
    TagParameterParser parser(
        EIP_TAG_KIND_EM,
        json::from_json_string(R"({" Tag Name ": " Tank.Level ", "Tag Alias": " Level ",
            "Description": " d ", "DataLen": 6, "RW Flag": " R_ ", "OutputType": "DEFAULT",
            "Subtags": [{"Alias": "a"}, {"Alias": "b"}]})"));
    int calls = 0;
    EXPECT_EQ(parser.Parse([&calls](auto&&...) { return ++calls, 0; }), 0);
    EXPECT_EQ(calls, 0);
    parser.FillMissingWithDefaults();
    const _eipTagInfo& info = parser.GetInfo();
    EXPECT_EQ(info.alias, "Level");
    EXPECT_EQ(info.tagName, "Tank.Level");
    EXPECT_EQ(info.description, "d");
    EXPECT_EQ(info.dataLen, 6);
    EXPECT_EQ(info.rwFlag, 1);
    EXPECT_EQ(info.outputType, EIP_OUTPUT_TYPE_DEFAULT);
    EXPECT_EQ(parser.GetSubtags().size(), 2u);
}

TEST(TagParameters, KnownKeysWithWrongKindsGoToTheFamilyAndFail) {
    for (auto family : {EIP_PROTOCOL_FAMILY_CIP, EIP_PROTOCOL_FAMILY_PCCC}) {
        EXPECT_EQ(Add(family, EIP_TAG_KIND_EM, R"({"Tag Alias": 5, "Tag Name": "a"})").code, 10016);
        EXPECT_EQ(Add(family, EIP_TAG_KIND_EM, R"({"Tag Alias": "a", "DataLen": "4"})").code,
                  10016);
    }
}

TEST(TagParameters, LogixTagGetsReadWriteAndDefaultOutput) {
    const auto result = Add(EIP_PROTOCOL_FAMILY_CIP, EIP_TAG_KIND_EM,
                            R"({"Tag Alias": "Speed", "Tag Name": "Motor.Speed"})");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.info.rwFlag, 3);
    EXPECT_EQ(result.info.outputType, EIP_OUTPUT_TYPE_DEFAULT);
}

TEST(TagParameters, LogixTagRefusesAPlc5Address) {
    EXPECT_EQ(Add(EIP_PROTOCOL_FAMILY_CIP, EIP_TAG_KIND_EM,
                  R"({"Tag Alias": "a", "Tag Name": "a", "PLC5Address": "N7:0"})")
                  .code,
              10016);
}

TEST(TagParameters, ValidationOrderOfTheCommonRules) {
    const auto cip = EIP_PROTOCOL_FAMILY_CIP;
    EXPECT_EQ(Add(cip, EIP_TAG_KIND_EM, R"({"Tag Name": "a"})").code, 10018);
    EXPECT_EQ(Add(cip, EIP_TAG_KIND_EM, R"({"Tag Alias": "a"})").code, 10019);
    EXPECT_EQ(
        Add(cip, EIP_TAG_KIND_EM, R"({"Tag Alias": "a", "Tag Name": "a", "RW Flag": "RR"})").code,
        10029);
    EXPECT_EQ(
        Add(cip, EIP_TAG_KIND_EM, R"({"Tag Alias": "a", "Tag Name": "a", "RW Flag": "RI"})").code,
        10029);
    EXPECT_EQ(
        Add(cip, EIP_TAG_KIND_EM, R"({"Tag Alias": "a", "Tag Name": "a", "OutputType": "RAW"})")
            .code,
        10028);
}

TEST(TagParameters, IoTagNeedsTheIFlagAndADataLength) {
    const auto cip = EIP_PROTOCOL_FAMILY_CIP;
    const int8_t io = EIP_TAG_KIND_IO;
    EXPECT_EQ(Add(cip, io, R"({"Tag Alias": "a", "Tag Name": "a", "RW Flag": "RW"})").code, 10029);
    EXPECT_EQ(Add(cip, io, R"({"Tag Alias": "a", "Tag Name": "a"})").code, 10021);
    EXPECT_EQ(Add(cip, io, R"({"Tag Alias": "a", "Tag Name": "a", "DataLen": -4})").code, 10021);
    const auto ok = Add(cip, io, R"({"Tag Alias": "a", "Tag Name": "a", "DataLen": 32})");
    EXPECT_EQ(ok.code, 0);
    EXPECT_EQ(ok.info.rwFlag, EIP_RW_FLAG_IO);
}

TEST(TagParameters, PcccTagNeedsOnlyAliasAndAddress) {
    const auto result = Add(EIP_PROTOCOL_FAMILY_PCCC, EIP_TAG_KIND_EM,
                            R"({"Tag Alias": "Level", "PLC5Address": " N7:0 "})");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.info.tagName, "Level");
    EXPECT_EQ(result.info.plc5Address, "N7:0");
    EXPECT_EQ(result.info.rwFlag, 3);
    EXPECT_EQ(result.info.outputType, EIP_OUTPUT_TYPE_DEFAULT);
}

TEST(TagParameters, PcccTagNameStandsInForAMissingAliasAndTheAddressIsRequired) {
    const auto named = Add(EIP_PROTOCOL_FAMILY_PCCC, EIP_TAG_KIND_EM,
                           R"({"Tag Name": "Level", "PLC5Address": "N7:0"})");
    EXPECT_EQ(named.code, 0);
    EXPECT_EQ(named.info.alias, "Level");
    EXPECT_EQ(Add(EIP_PROTOCOL_FAMILY_PCCC, EIP_TAG_KIND_EM, R"({"Tag Alias": "Level"})").code,
              10022);
}

_eipTagInfo OldPcccTag() {
    _eipTagInfo old;
    old.alias = "Level";
    old.tagName = "Level";
    old.plc5Address = "N7:0";
    old.rwFlag = 1;
    old.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    old.description = "tank";
    return old;
}

TEST(TagParameters, PcccEditMayRepeatButNeverChangeTheAddress) {
    const _eipTagInfo old = OldPcccTag();
    EXPECT_EQ(Edit(EIP_PROTOCOL_FAMILY_PCCC, EIP_TAG_KIND_EM,
                   R"({"Tag Alias": "Level", "PLC5Address": "N7:1"})", old)
                  .code,
              10031);
    const auto same =
        Edit(EIP_PROTOCOL_FAMILY_PCCC, EIP_TAG_KIND_EM,
             R"({"Tag Alias": "Level", "PLC5Address": "N7:0", "RW Flag": "RW"})", old);
    EXPECT_EQ(same.code, 0);
    EXPECT_EQ(same.info.plc5Address, "N7:0");
    EXPECT_EQ(same.info.rwFlag, 3);
    EXPECT_EQ(same.info.description, "tank");
}

TEST(TagParameters, PcccEditExtrasAreCollectedSeparately) {
    auto handler = Handler(EIP_PROTOCOL_FAMILY_PCCC);
    TagParameterParser parser(
        EIP_TAG_KIND_EM,
        json::from_json_string(
            R"({"Tag Alias": "Level", "New Tag Alias": " Height ", "Tag Rename": " H "})"));
    ASSERT_EQ(parser.ParseForEdit(*handler), 0);
    EXPECT_EQ(parser.GetExtra().alias, "Height");
    EXPECT_EQ(parser.GetExtra().tagName, "H");
    handler->PreProcessTagInfo(parser.GetInfo());
    EXPECT_EQ(parser.GetInfo().tagName, "Level");
}

TEST(TagParameters, PcccNewAliasWithoutRenameBecomesTheTagNameOfAnUnnamedRecord) {
    auto handler = Handler(EIP_PROTOCOL_FAMILY_PCCC);
    _eipTagInfo info;
    _eipTagInfo extra;
    extra.alias = "Height";
    EXPECT_EQ(handler->PostProcessTagInfoOnEdit(info, extra, OldPcccTag()), 0);
    EXPECT_EQ(info.tagName, "Height");
    EXPECT_EQ(info.plc5Address, "N7:0");
}

TEST(TagParameters, LogixEditTakesNewAliasAndCopiesMissingFields) {
    _eipTagInfo old;
    old.alias = "Speed";
    old.tagName = "Motor.Speed";
    old.rwFlag = 1;
    old.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    old.description = "rpm";
    auto handler = Handler(EIP_PROTOCOL_FAMILY_CIP);
    TagParameterParser parser(
        EIP_TAG_KIND_EM,
        json::from_json_string(R"({"Tag Alias": "Speed", "New Tag Alias": "Rpm"})"));
    ASSERT_EQ(parser.ParseForEdit(*handler), 0);
    EXPECT_EQ(parser.GetExtra().alias, "Rpm");
    parser.CopyMissingFrom(old);
    EXPECT_EQ(parser.GetInfo().tagName, "Motor.Speed");
    EXPECT_EQ(parser.GetInfo().rwFlag, 1);
    EXPECT_EQ(parser.GetInfo().description, "rpm");
    EXPECT_EQ(Edit(EIP_PROTOCOL_FAMILY_CIP, EIP_TAG_KIND_EM,
                   R"({"Tag Alias": "Speed", "Tag Rename": "x"})", old)
                  .code,
              10016);
}

TEST(TagParameters, IoEditKeepsTheOldDataLengthUnlessGiven) {
    _eipTagInfo old;
    old.alias = "io";
    old.tagName = "io";
    old.rwFlag = EIP_RW_FLAG_IO;
    old.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    old.dataLen = 16;
    EXPECT_EQ(
        Edit(EIP_PROTOCOL_FAMILY_CIP, EIP_TAG_KIND_IO, R"({"Tag Alias": "io"})", old).info.dataLen,
        16);
    EXPECT_EQ(
        Edit(EIP_PROTOCOL_FAMILY_CIP, EIP_TAG_KIND_IO, R"({"Tag Alias": "io", "DataLen": 8})", old)
            .info.dataLen,
        8);
}

TEST(ProtocolHandlers, ConnectionThatCountsDependsOnTheFamily) {
    auto cip = Handler(EIP_PROTOCOL_FAMILY_CIP);
    auto pccc = Handler(EIP_PROTOCOL_FAMILY_PCCC);
    EXPECT_TRUE(cip->IsConnectionUp(0, 1));
    EXPECT_FALSE(cip->IsConnectionUp(1, 0));
    EXPECT_TRUE(pccc->IsConnectionUp(1, 0));
    EXPECT_FALSE(pccc->IsConnectionUp(0, 1));
}

TEST(ProtocolHandlers, FactoryRefusesUnknownFamiliesWithALogLine) {
    tagtest::LogCapture log;
    EXPECT_NE(dynamic_cast<ControlLogixHandler*>(Handler(EIP_PROTOCOL_FAMILY_CIP).get()), nullptr);
    EXPECT_NE(dynamic_cast<PcccHandler*>(Handler(EIP_PROTOCOL_FAMILY_PCCC).get()), nullptr);
    EXPECT_EQ(Handler(static_cast<eipProtocolFamily_t>(7)), nullptr);
    EXPECT_TRUE(log.Contains("Failed to create ProtocolHandler: family not supported (7)"))
        << log.All();
}

}  // namespace
