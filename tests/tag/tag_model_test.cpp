// The tag model: the text forms users see and type for RW flags, output and inner types; how a
// tag takes its record and parses its name or address by family; the parameters of Add Tags and
// Edit Tags; the subtags of an I/O tag and the export text.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/log_capture.h"
#include "tag/eip_tag.h"
#include "tag/protocol_handler_factory.h"
#include "tag/tag_parameter_parser.h"
#include "tag/taginfo_validator.h"

using kestrel::strata_sdk::Variant;
namespace json = kestrel::strata_sdk::json;

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
    EXPECT_EQ(EipTag::StrToOutputType("DEFAULT"), kOutputTypeDefault);
    EXPECT_EQ(EipTag::StrToOutputType("default"), kOutputTypeUnknown);
}

// Names print with and without their length, read back by substring in priority order ("DINT"
// is not "INT", "UDINT" not "DINT", "SHORT STRING" is not "STRING"); every elementary type is
// supported.
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
        {211, "BITARRAY", "BITARRAY", true},         {213, "STRING2", "STRING2", true},
        {218, "SHORT STRING", "SHORT STRING", true}, {672, "STRUCTURE", "STRUCTURE", true},
        {197, "LINT", "LINT (8bytes)", true},        {198, "USINT", "USINT (1byte)", true},
        {199, "UINT", "UINT (2bytes)", true},        {200, "UDINT", "UDINT (4bytes)", true},
        {201, "ULINT", "ULINT (8bytes)", true},      {203, "LREAL", "LREAL (8bytes)", true},
        {204, "UNKNOWN", "UNKNOWN", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EipTag::InnerTypeToStr(c.code), c.name) << c.code;
        EXPECT_EQ(EipTag::InnerTypeToStrWithLength(c.code), c.withLength) << c.code;
        if (c.code != 204) {
            EXPECT_EQ(EipTag::StrToInnerType(c.withLength), c.code) << c.code;
        }
        EXPECT_EQ(EipTag::SupportInnerType(c.code), c.supported ? 0 : 10032) << c.code;
    }
    EXPECT_EQ(EipTag::StrToInnerType("DWORD"), 211);
    EXPECT_EQ(EipTag::StrToInnerType("float"), 194);
    EXPECT_EQ(EipTag::StrToInnerType(""), 194);
}

// A Logix tag parses its tag name, a PCCC tag its PLC5 address; the result is the encoded
// length, and a failure leaves the record as it was. A tag keeps its own family whatever the
// record says.
TEST(TagInfo, ParsingUsesTheFamilysNameAndReportsLengthAndElementCount) {
    struct Case {
        ProtocolFamily family;
        const char* tagName;
        const char* address;
        int result;
        int32_t elementCount;
    };
    const Case cases[] = {
        {kFamilyCip, "arr[2~9]", "garbage", 11, 8},
        {kFamilyPccc, "not an address", "N7:300", 7, 1},
        {kFamilyCip, "a..b", "N7:0", -1, 9},
        {kFamilyPccc, "Level", "X4:0", -1, 9},
    };
    for (const Case& c : cases) {
        std::unique_ptr<EipTag> tag(EipTag::Create(c.family));
        TagInfo record;
        record.family = c.family == kFamilyCip ? kFamilyPccc : kFamilyCip;
        record.alias = "buf";
        record.tagName = c.tagName;
        record.plc5Address = c.address;
        record.elementCount = 9;
        tag->SetInfo(record);
        EXPECT_EQ(tag->ParsingTagName(), c.result) << c.tagName;
        EXPECT_EQ(tag->GetInfo().elementCount, c.elementCount) << c.tagName;
        EXPECT_EQ(tag->GetInfo().family, c.family) << c.tagName;
        if (c.result > 0) {
            EXPECT_EQ(tag->GetTagData().GetElementCount(), c.elementCount) << c.tagName;
            EXPECT_EQ(tag->GetTagData().GetAlias(), "buf");
        }
    }
    EXPECT_EQ(EipTag::Create(static_cast<ProtocolFamily>(2)), nullptr);
}

// ---- Tag parameters ----------------------------------------------------------------------------

std::unique_ptr<ProtocolHandler> Handler(ProtocolFamily family) {
    return std::unique_ptr<ProtocolHandler>(ProtocolHandlerFactory::Create(family));
}

// The add sequence: parse, defaults, pre-processing, common rules, family rules.
struct AddResult {
    int code;
    TagInfo info;
};

AddResult Add(ProtocolFamily family, int8_t kind, const std::string& text) {
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
AddResult Edit(ProtocolFamily family, int8_t kind, const std::string& text, const TagInfo& old) {
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
        TagParameterParser parser(kTagKindExplicit, json::from_json_string(text));
        EXPECT_EQ(parser.Parse([](auto&&...) { return 0; }), 10016) << text;
    }
    TagParameterParser parser(
        kTagKindExplicit,
        json::from_json_string(R"({" Tag Name ": " Tank.Level ", "Tag Alias": " Level ",
            "Description": " d ", "DataLen": 6, "RW Flag": " R_ ", "OutputType": "DEFAULT",
            "Subtags": [{"Alias": "a"}, {"Alias": "b"}]})"));
    int calls = 0;
    EXPECT_EQ(parser.Parse([&calls](auto&&...) { return ++calls, 0; }), 0);
    EXPECT_EQ(calls, 0);
    parser.FillMissingWithDefaults();
    const TagInfo& info = parser.GetInfo();
    EXPECT_EQ(std::tie(info.alias, info.tagName, info.description, info.dataLen, info.rwFlag),
              std::make_tuple("Level", "Tank.Level", "d", 6, 1));
    EXPECT_EQ(parser.GetSubtags().size(), 2u);
}

// Add Tags: the common rules in their order, then the family's; what an accepted tag gets.
TEST(TagParameters, AddChecksInOrderAndFillsDefaults) {
    const auto cip = kFamilyCip;
    const auto pccc = kFamilyPccc;
    const int8_t em = kTagKindExplicit;
    const int8_t io = kTagKindIo;
    struct Case {
        ProtocolFamily family;
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
        {cip, io, R"({"Tag Alias": "a", "Tag Name": "a", "DataLen": 32})", 0, kRwFlagIo, "a", "a"},
        {pccc, em, R"({"Tag Alias": "Level", "PLC5Address": " N7:0 "})", 0, 3, "Level", "Level"},
        {pccc, em, R"({"Tag Name": "Level", "PLC5Address": "N7:0"})", 0, 3, "Level", "Level"},
    };
    for (const Case& c : cases) {
        const auto result = Add(c.family, c.kind, c.text);
        EXPECT_EQ(result.code, c.code) << c.text;
        if (c.code == 0) {
            EXPECT_EQ(result.info.rwFlag, c.rwFlag) << c.text;
            EXPECT_EQ(result.info.outputType, kOutputTypeDefault) << c.text;
            EXPECT_EQ(result.info.alias, c.alias) << c.text;
            EXPECT_EQ(result.info.tagName, c.tagName) << c.text;
        }
    }
    EXPECT_EQ(Add(pccc, em, R"({"Tag Alias": "Level", "PLC5Address": " N7:0 "})").info.plc5Address,
              "N7:0");
}

TagInfo OldTag(const std::string& tagName, const std::string& address, uint8_t rwFlag,
               int32_t dataLen = 0) {
    TagInfo old;
    old.alias = "Level";
    old.tagName = tagName;
    old.plc5Address = address;
    old.rwFlag = rwFlag;
    old.outputType = kOutputTypeDefault;
    old.description = "tank";
    old.dataLen = dataLen;
    return old;
}

// Edit Tags: fields left out keep their stored values; a PLC5 address may be repeated but never
// changed; a Logix tag cannot be renamed through "Tag Rename".
TEST(TagParameters, EditKeepsWhatIsLeftOutAndRefusesWhatMayNotChange) {
    const TagInfo pccc = OldTag("Level", "N7:0", 1);
    EXPECT_EQ(Edit(kFamilyPccc, kTagKindExplicit,
                   R"({"Tag Alias": "Level", "PLC5Address": "N7:1"})", pccc)
                  .code,
              10031);
    const auto same =
        Edit(kFamilyPccc, kTagKindExplicit,
             R"({"Tag Alias": "Level", "PLC5Address": "N7:0", "RW Flag": "RW"})", pccc);
    EXPECT_EQ(same.code, 0);
    EXPECT_EQ(same.info.rwFlag, 3);
    EXPECT_EQ(same.info.description, "tank");

    const TagInfo logix = OldTag("Motor.Speed", "", 1);
    EXPECT_EQ(
        Edit(kFamilyCip, kTagKindExplicit, R"({"Tag Alias": "Level", "Tag Rename": "x"})", logix)
            .code,
        10016);
    const auto renamed = Edit(kFamilyCip, kTagKindExplicit,
                              R"({"Tag Alias": "Level", "New Tag Alias": "Rpm"})", logix);
    EXPECT_EQ(renamed.code, 0);
    EXPECT_EQ(renamed.info.tagName, "Motor.Speed");
    EXPECT_EQ(renamed.info.rwFlag, 1);

    const TagInfo io = OldTag("io", "", kRwFlagIo, 16);
    EXPECT_EQ(Edit(kFamilyCip, kTagKindIo, R"({"Tag Alias": "Level"})", io).info.dataLen, 16);
    EXPECT_EQ(
        Edit(kFamilyCip, kTagKindIo, R"({"Tag Alias": "Level", "DataLen": 8})", io).info.dataLen,
        8);
}

// "New Tag Alias" and "Tag Rename" are extras; a new alias without a rename becomes the tag name
// of a PCCC record that has none.
TEST(TagParameters, PcccEditExtrasAreCollectedSeparately) {
    auto handler = Handler(kFamilyPccc);
    TagParameterParser parser(
        kTagKindExplicit,
        json::from_json_string(
            R"({"Tag Alias": "Level", "New Tag Alias": " Height ", "Tag Rename": " H "})"));
    ASSERT_EQ(parser.ParseForEdit(*handler), 0);
    EXPECT_EQ(parser.GetExtra().alias, "Height");
    EXPECT_EQ(parser.GetExtra().tagName, "H");
    handler->PreProcessTagInfo(parser.GetInfo());
    EXPECT_EQ(parser.GetInfo().tagName, "Level");

    TagInfo info;
    TagInfo extra;
    extra.alias = "Height";
    EXPECT_EQ(handler->PostProcessTagInfoOnEdit(info, extra, OldTag("Level", "N7:0", 1)), 0);
    EXPECT_EQ(info.tagName, "Height");
    EXPECT_EQ(info.plc5Address, "N7:0");
}

TEST(ProtocolHandlers, ConnectionThatCountsDependsOnTheFamily) {
    auto cip = Handler(kFamilyCip);
    auto pccc = Handler(kFamilyPccc);
    EXPECT_TRUE(cip->IsConnectionUp(0, 1));
    EXPECT_FALSE(cip->IsConnectionUp(1, 0));
    EXPECT_TRUE(pccc->IsConnectionUp(1, 0));
    EXPECT_FALSE(pccc->IsConnectionUp(0, 1));
    EXPECT_EQ(Handler(static_cast<ProtocolFamily>(7)), nullptr);
}

// ---- Subtags -----------------------------------------------------------------------------------

// An I/O tag whose data block is `dataLen` bytes.
std::unique_ptr<EipTag> IoTag(int32_t dataLen = 8) {
    std::unique_ptr<EipTag> tag(EipTag::Create(kFamilyCip));
    TagInfo info;
    info.alias = "io";
    info.tagName = "io";
    info.rwFlag = kRwFlagIo;
    info.dataLen = dataLen;
    tag->SetInfo(info);
    return tag;
}

SubTagInfo Sub(const std::string& alias, int32_t offset, int32_t innerType, int32_t dataLen) {
    SubTagInfo subtag;
    subtag.alias = alias;
    subtag.offset = offset;
    subtag.innerType = innerType;
    subtag.dataLen = dataLen;
    return subtag;
}

std::tuple<std::string, int32_t, int32_t, int32_t> Fields(const SubTagInfo& subtag) {
    return {subtag.alias, subtag.offset, subtag.innerType, subtag.dataLen};
}

std::vector<std::string> Aliases(const EipTag& tag) {
    std::vector<std::string> aliases;
    for (const auto& subtag : tag.GetSubTags()) {
        aliases.push_back(subtag.alias);
    }
    return aliases;
}

// A slice lies inside the data block, holds whole numbers of its type, and huge offsets or
// lengths do not wrap around.
TEST(SubtagValidity, SliceMustLieInsideTheDataAndHoldWholeNumbers) {
    struct Case {
        int32_t offset;
        int32_t innerType;
        int32_t dataLen;
        bool valid;
    };
    const Case cases[] = {
        {4, kInnerTypeSint, 4, true},          {0, kInnerTypeSint, 3, true},
        {0, kInnerTypeDint, 8, true},          {6, kInnerTypeSint, 4, false},
        {8, kInnerTypeSint, 1, false},         {-1, kInnerTypeSint, 1, false},
        {0, kInnerTypeSint, 0, false},         {0, kInnerTypeInt, 3, false},
        {0, kInnerTypeDint, 2, false},         {0, kInnerTypeReal, 6, false},
        {4, kInnerTypeSint, INT32_MAX, false}, {INT32_MAX, kInnerTypeSint, 1, false},
    };
    auto tag = IoTag(8);
    for (const Case& c : cases) {
        EXPECT_EQ(tag->IsValidSubTagInfo(Sub("a", c.offset, c.innerType, c.dataLen)), c.valid)
            << c.offset << " " << c.innerType << " " << c.dataLen;
    }
}

// Adding twice or an invalid slice is refused; "Data" can be neither edited nor removed; an edit
// replaces and may rename, but not onto another subtag nor into an invalid slice.
TEST(SubtagMap, AddEditRemoveKeepTheMapConsistent) {
    tb_test::LogCapture log;
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("Data", 0, kInnerTypeSint, 8)), 0);
    ASSERT_EQ(tag->AddSubTag(Sub("a", 0, kInnerTypeInt, 2)), 0);
    EXPECT_EQ(tag->AddSubTag(Sub("a", 2, kInnerTypeInt, 2)), -1);
    EXPECT_TRUE(log.Contains("Subtag alias is already exist - a"));
    EXPECT_EQ(tag->AddSubTag(Sub("c", 6, kInnerTypeDint, 4)), -1);
    ASSERT_EQ(tag->AddSubTag(Sub("b", 2, kInnerTypeInt, 2)), 0);
    EXPECT_EQ(tag->EditSubTag("Data", Sub("Other", 0, kInnerTypeInt, 2)), 0);
    EXPECT_EQ(tag->RemoveSubTag("Data"), 0);
    EXPECT_EQ(tag->GetSubTagInfo("Data").dataLen, 8);
    EXPECT_EQ(tag->EditSubTag("zz", Sub("zz", 0, kInnerTypeInt, 2)), -1);
    EXPECT_EQ(tag->EditSubTag("a", Sub("a", 7, kInnerTypeInt, 2)), -1);
    EXPECT_EQ(tag->EditSubTag("a", Sub("b", 4, kInnerTypeDint, 4)), -1);
    EXPECT_EQ(tag->GetSubTagInfo("a").offset, 0);
    EXPECT_EQ(tag->GetSubTagInfo("b").offset, 2);
    EXPECT_EQ(tag->EditSubTag("a", Sub("a", 4, kInnerTypeDint, 4)), 0);
    EXPECT_EQ(tag->GetSubTagInfo("a").innerType, kInnerTypeDint);
    EXPECT_EQ(tag->EditSubTag("a", Sub("c", 4, kInnerTypeDint, 4)), 0);
    EXPECT_EQ(Aliases(*tag), (std::vector<std::string>{"Data", "b", "c"}));
    EXPECT_EQ(tag->RemoveSubTag("zz"), -1);
    EXPECT_EQ(tag->RemoveSubTag("b"), 0);
    EXPECT_TRUE(tag->GetSubTagInfo("b").alias.empty());
    EXPECT_EQ(Aliases(*tag), (std::vector<std::string>{"Data", "c"}));
}

// Export Tags writes what Add Tags and Import Subtags read back, whatever the texts hold.
TEST(TagExport, EntryImportsBackWithQuotesBackslashesControlAndNonAsciiTextInEveryField) {
    const std::string awkward = "say \"hi\"\\n \xC3\xA9\xE2\x82\xAC\t\\";
    auto tag = IoTag(16);
    TagInfo info = tag->GetInfo();
    info.alias = "alias " + awkward;
    info.tagName = "Name" + awkward;
    info.description = "line\nbreak " + awkward;
    tag->SetInfo(info);
    const std::vector<SubTagInfo> subtags = {Sub("sub " + awkward, 0, kInnerTypeInt, 2),
                                             Sub("\"", 4, kInnerTypeDint, 4)};
    for (const auto& subtag : subtags) {
        ASSERT_EQ(tag->AddSubTag(subtag), 0);
    }
    const std::string text = "[" + tag->ExportTag() + "]";
    const Variant list = json::from_json_string(text);
    ASSERT_TRUE(list.is_array()) << text;
    TagParameterParser parser(kTagKindIo, Variant(list[0]));
    ASSERT_EQ(parser.Parse([](const std::string& key, const Variant&, TagInfo&, TagInfo&) {
        return key.empty() ? 1 : 0;
    }),
              0);
    parser.FillMissingWithDefaults();
    const TagInfo& back = parser.GetInfo();
    EXPECT_EQ(std::tie(back.alias, back.tagName, back.description, back.rwFlag, back.dataLen),
              std::make_tuple(info.alias, info.tagName, info.description, kRwFlagIo, 16));
    ASSERT_EQ(parser.GetSubtags().size(), 2u);
    std::vector<std::string> imported;
    for (const Variant& element : parser.GetSubtags()) {
        SubTagInfo subtag;
        int fields = 0;
        imported.push_back(EipTag::JsonToSubTagInfo(element, subtag, fields));
        EXPECT_EQ(fields, kSubtagFieldsAll);
        EXPECT_EQ(subtag.innerType, tag->GetSubTagInfo(subtag.alias).innerType);
        EXPECT_EQ(subtag.offset, tag->GetSubTagInfo(subtag.alias).offset);
    }
    EXPECT_EQ(imported, (std::vector<std::string>{"\"", "sub " + awkward}));
}

// An object of an alias only is a SINT of one byte at 0; the length defaults to the type's;
// numbers given as text are ignored; an edit keeps what the object lacks and reports the stored
// alias; a non-map or a missing alias gives no alias.
TEST(SubtagJson, FieldsGivenAndDefaults) {
    struct Case {
        const char* text;
        std::string returned;
        SubTagInfo subtag;
        int fields;
    };
    const int alias = kSubtagFieldAlias;
    const Case cases[] = {
        {R"({" Alias ": " s1 "})", "s1", Sub("s1", 0, kInnerTypeSint, 1), alias},
        {R"j({"Alias":"s","Offset":4,"InnerType":"DINT (4bytes)"})j", "s",
         Sub("s", 4, kInnerTypeDint, 4), alias | kSubtagFieldOffset | kSubtagFieldInnerType},
        {R"({"Alias":"s","Offset":"4","DataLen":"2","Extra":1})", "s",
         Sub("s", 0, kInnerTypeSint, 1), alias},
        {R"({"Offset":1})", "", Sub("", 1, kInnerTypeSint, 1), kSubtagFieldOffset},
        {R"("s")", "", Sub("", 0, kInnerTypeSint, 1), 0},
    };
    for (const Case& c : cases) {
        SubTagInfo subtag;
        int fields = 0;
        EXPECT_EQ(EipTag::JsonToSubTagInfo(json::from_json_string(c.text), subtag, fields),
                  c.returned)
            << c.text;
        EXPECT_EQ(fields, c.fields) << c.text;
        if (!c.returned.empty()) {
            EXPECT_EQ(Fields(subtag), Fields(c.subtag)) << c.text;
        }
    }
    SubTagInfo stored = Sub("old", 2, kInnerTypeInt, 2);
    int fields = 0;
    EXPECT_EQ(EipTag::JsonToSubTagInfo(
                  json::from_json_string(R"({"Alias":"old","New Alias":" new ","Offset":6})"),
                  stored, fields),
              "old");
    EXPECT_EQ(Fields(stored), Fields(Sub("new", 6, kInnerTypeInt, 2)));
}

TEST(SubtagConcurrency, ParallelAddsAndReadsKeepTheMapWhole) {
    auto tag = IoTag(1000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&tag, t] {
            for (int i = 0; i < 100; ++i) {
                tag->AddSubTag(Sub("s" + std::to_string(t * 100 + i), i, kInnerTypeSint, 1));
                tag->GetSubTags();
                std::string text;
                tag->ExportSubTags(text);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(tag->GetSubTags().size(), 400u);
}

}  // namespace
