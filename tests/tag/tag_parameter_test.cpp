#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tag/protocol_handler_factory.h"
#include "tag/tag_parameter_parser.h"
#include "tag/taginfo_validator.h"
#include "tag_test_support.h"

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

TEST(TagParameters, CommonKeysAreReadTrimmedAndParametersThatAreNotAMapAreInvalidJson) {
    for (const char* text : {"[1]", "\"x\"", "null", "5"}) {
        TagParameterParser parser(EIP_TAG_KIND_EM, json::from_json_string(text));
        EXPECT_EQ(parser.Parse([](auto&&...) { return 0; }), 10016) << text;
    }
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
    EXPECT_EQ(parser.GetSubtags().size(), 2u);
}

// Add Tags: the common rules in their order, then the family's; what an accepted tag gets.
TEST(TagParameters, AddChecksInOrderAndFillsDefaults) {
    const auto cip = EIP_PROTOCOL_FAMILY_CIP;
    const auto pccc = EIP_PROTOCOL_FAMILY_PCCC;
    const int8_t em = EIP_TAG_KIND_EM;
    const int8_t io = EIP_TAG_KIND_IO;
    struct Case {
        eipProtocolFamily_t family;
        int8_t kind;
        const char* text;
        int code;
        uint8_t rwFlag = 0;  // of an accepted tag
        const char* alias = "";
        const char* tagName = "";
    };
    const Case cases[] = {
        {cip, em, R"({"Tag Alias": 5, "Tag Name": "a"})", 10016},
        {pccc, em, R"({"Tag Alias": 5, "Tag Name": "a"})", 10016},
        {cip, em, R"({"Tag Alias": "a", "DataLen": "4"})", 10016},
        {pccc, em, R"({"Tag Alias": "a", "DataLen": "4"})", 10016},
        {cip, em, R"({"Tag Alias": "a", "Tag Name": "a", "PLC5Address": "N7:0"})", 10016},
        {cip, em, R"({"Tag Name": "a"})", 10018},
        {cip, em, R"({"Tag Alias": "a"})", 10019},
        {cip, em, R"({"Tag Alias": "a", "Tag Name": "a", "RW Flag": "RR"})", 10029},
        {cip, em, R"({"Tag Alias": "a", "Tag Name": "a", "RW Flag": "RI"})", 10029},
        {cip, em, R"({"Tag Alias": "a", "Tag Name": "a", "OutputType": "RAW"})", 10028},
        {cip, io, R"({"Tag Alias": "a", "Tag Name": "a", "RW Flag": "RW"})", 10029},
        {cip, io, R"({"Tag Alias": "a", "Tag Name": "a"})", 10021},
        {cip, io, R"({"Tag Alias": "a", "Tag Name": "a", "DataLen": -4})", 10021},
        {pccc, em, R"({"Tag Alias": "Level"})", 10022},
        {cip, em, R"({"Tag Alias": "Speed", "Tag Name": "Motor.Speed"})", 0, 3, "Speed",
         "Motor.Speed"},
        {cip, io, R"({"Tag Alias": "a", "Tag Name": "a", "DataLen": 32})", 0, EIP_RW_FLAG_IO, "a",
         "a"},
        {pccc, em, R"({"Tag Alias": "Level", "PLC5Address": " N7:0 "})", 0, 3, "Level", "Level"},
        {pccc, em, R"({"Tag Name": "Level", "PLC5Address": "N7:0"})", 0, 3, "Level", "Level"},
    };
    for (const Case& c : cases) {
        const auto result = Add(c.family, c.kind, c.text);
        EXPECT_EQ(result.code, c.code) << c.text;
        if (c.code == 0) {
            EXPECT_EQ(result.info.rwFlag, c.rwFlag) << c.text;
            EXPECT_EQ(result.info.outputType, EIP_OUTPUT_TYPE_DEFAULT) << c.text;
            EXPECT_EQ(result.info.alias, c.alias) << c.text;
            EXPECT_EQ(result.info.tagName, c.tagName) << c.text;
        }
    }
    EXPECT_EQ(Add(pccc, em, R"({"Tag Alias": "Level", "PLC5Address": " N7:0 "})").info.plc5Address,
              "N7:0");
}

_eipTagInfo OldTag(const std::string& tagName, const std::string& address, uint8_t rwFlag,
                   int32_t dataLen = 0) {
    _eipTagInfo old;
    old.alias = "Level";
    old.tagName = tagName;
    old.plc5Address = address;
    old.rwFlag = rwFlag;
    old.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    old.description = "tank";
    old.dataLen = dataLen;
    return old;
}

// Edit Tags: fields left out keep their stored values; a PLC5 address may be repeated but never
// changed; a Logix tag cannot be renamed through "Tag Rename".
TEST(TagParameters, EditKeepsWhatIsLeftOutAndRefusesWhatMayNotChange) {
    const _eipTagInfo pccc = OldTag("Level", "N7:0", 1);
    EXPECT_EQ(Edit(EIP_PROTOCOL_FAMILY_PCCC, EIP_TAG_KIND_EM,
                   R"({"Tag Alias": "Level", "PLC5Address": "N7:1"})", pccc)
                  .code,
              10031);
    const auto same =
        Edit(EIP_PROTOCOL_FAMILY_PCCC, EIP_TAG_KIND_EM,
             R"({"Tag Alias": "Level", "PLC5Address": "N7:0", "RW Flag": "RW"})", pccc);
    EXPECT_EQ(same.code, 0);
    EXPECT_EQ(same.info.rwFlag, 3);
    EXPECT_EQ(same.info.description, "tank");

    const _eipTagInfo logix = OldTag("Motor.Speed", "", 1);
    EXPECT_EQ(Edit(EIP_PROTOCOL_FAMILY_CIP, EIP_TAG_KIND_EM,
                   R"({"Tag Alias": "Level", "Tag Rename": "x"})", logix)
                  .code,
              10016);
    const auto renamed = Edit(EIP_PROTOCOL_FAMILY_CIP, EIP_TAG_KIND_EM,
                              R"({"Tag Alias": "Level", "New Tag Alias": "Rpm"})", logix);
    EXPECT_EQ(renamed.code, 0);
    EXPECT_EQ(renamed.info.tagName, "Motor.Speed");
    EXPECT_EQ(renamed.info.rwFlag, 1);

    const _eipTagInfo io = OldTag("io", "", EIP_RW_FLAG_IO, 16);
    EXPECT_EQ(Edit(EIP_PROTOCOL_FAMILY_CIP, EIP_TAG_KIND_IO, R"({"Tag Alias": "Level"})", io)
                  .info.dataLen,
              16);
    EXPECT_EQ(Edit(EIP_PROTOCOL_FAMILY_CIP, EIP_TAG_KIND_IO,
                   R"({"Tag Alias": "Level", "DataLen": 8})", io)
                  .info.dataLen,
              8);
}

// "New Tag Alias" and "Tag Rename" are extras; a new alias without a rename becomes the tag name
// of a PCCC record that has none.
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

    _eipTagInfo info;
    _eipTagInfo extra;
    extra.alias = "Height";
    EXPECT_EQ(handler->PostProcessTagInfoOnEdit(info, extra, OldTag("Level", "N7:0", 1)), 0);
    EXPECT_EQ(info.tagName, "Height");
    EXPECT_EQ(info.plc5Address, "N7:0");
}

TEST(ProtocolHandlers, ConnectionThatCountsDependsOnTheFamily) {
    auto cip = Handler(EIP_PROTOCOL_FAMILY_CIP);
    auto pccc = Handler(EIP_PROTOCOL_FAMILY_PCCC);
    EXPECT_TRUE(cip->IsConnectionUp(0, 1));
    EXPECT_FALSE(cip->IsConnectionUp(1, 0));
    EXPECT_TRUE(pccc->IsConnectionUp(1, 0));
    EXPECT_FALSE(pccc->IsConnectionUp(0, 1));
    EXPECT_EQ(Handler(static_cast<eipProtocolFamily_t>(7)), nullptr);
}

}  // namespace
