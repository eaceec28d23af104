#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tag/eip_tag.h"
#include "tag/tag_parameter_parser.h"
#include "tag_test_support.h"

using kestrel::strata_sdk::Variant;
namespace json = kestrel::strata_sdk::json;

namespace {

// An I/O tag whose data block is `dataLen` bytes.
std::unique_ptr<EipTag> IoTag(int32_t dataLen = 8) {
    std::unique_ptr<EipTag> tag(EipTag::Create(EIP_PROTOCOL_FAMILY_CIP));
    _eipTagInfo info;
    info.alias = "io";
    info.tagName = "io";
    info.rwFlag = EIP_RW_FLAG_IO;
    info.dataLen = dataLen;
    tag->SetInfo(info);
    return tag;
}

_eipSubTagInfo Sub(const std::string& alias, int32_t offset, int32_t innerType, int32_t dataLen) {
    _eipSubTagInfo subtag;
    subtag.alias = alias;
    subtag.offset = offset;
    subtag.innerType = innerType;
    subtag.dataLen = dataLen;
    return subtag;
}

std::vector<std::string> Aliases(const EipTag& tag) {
    std::vector<std::string> aliases;
    for (const auto& subtag : tag.GetSubTags()) {
        aliases.push_back(subtag.alias);
    }
    return aliases;
}

TEST(SubtagValidity, SliceMustLieInsideTheDataAndHoldWholeNumbers) {
    auto tag = IoTag(8);
    EXPECT_TRUE(tag->IsValidSubTagInfo(Sub("a", 4, EIP_INNER_TYPE_SINT, 4)));
    EXPECT_FALSE(tag->IsValidSubTagInfo(Sub("a", 6, EIP_INNER_TYPE_SINT, 4)));
    EXPECT_FALSE(tag->IsValidSubTagInfo(Sub("a", 8, EIP_INNER_TYPE_SINT, 1)));
    EXPECT_FALSE(tag->IsValidSubTagInfo(Sub("a", -1, EIP_INNER_TYPE_SINT, 1)));
    EXPECT_FALSE(tag->IsValidSubTagInfo(Sub("a", 0, EIP_INNER_TYPE_SINT, 0)));
    EXPECT_FALSE(tag->IsValidSubTagInfo(Sub("a", 0, EIP_INNER_TYPE_INT, 3)));
    EXPECT_FALSE(tag->IsValidSubTagInfo(Sub("a", 0, EIP_INNER_TYPE_DINT, 2)));
    EXPECT_FALSE(tag->IsValidSubTagInfo(Sub("a", 0, EIP_INNER_TYPE_REAL, 6)));
    EXPECT_TRUE(tag->IsValidSubTagInfo(Sub("a", 0, EIP_INNER_TYPE_SINT, 3)));
    EXPECT_TRUE(tag->IsValidSubTagInfo(Sub("a", 0, EIP_INNER_TYPE_DINT, 8)));
}

TEST(SubtagValidity, HugeOffsetsAndLengthsDoNotWrapAround) {
    auto tag = IoTag(8);
    EXPECT_FALSE(tag->IsValidSubTagInfo(Sub("a", 4, EIP_INNER_TYPE_SINT, INT32_MAX)));
    EXPECT_FALSE(tag->IsValidSubTagInfo(Sub("a", INT32_MAX, EIP_INNER_TYPE_SINT, 1)));
}

TEST(SubtagMap, AddingTwiceIsRefused) {
    tagtest::LogCapture log;
    auto tag = IoTag();
    EXPECT_EQ(tag->AddSubTag(Sub("a", 0, EIP_INNER_TYPE_INT, 2)), 0);
    EXPECT_EQ(tag->AddSubTag(Sub("a", 2, EIP_INNER_TYPE_INT, 2)), -1);
    EXPECT_TRUE(log.Contains(": ERROR - AddSubTag: Subtag alias is already exist - a"))
        << log.All();
    EXPECT_EQ(tag->GetSubTagInfo("a").offset, 0);
}

TEST(SubtagMap, InvalidSliceIsNotAdded) {
    tagtest::LogCapture log;
    auto tag = IoTag();
    EXPECT_EQ(tag->AddSubTag(Sub("a", 6, EIP_INNER_TYPE_DINT, 4)), -1);
    EXPECT_TRUE(log.Contains("AddSubTag: Invalid subtag info"));
    EXPECT_TRUE(tag->GetSubTags().empty());
}

TEST(SubtagMap, DataSubtagCannotBeEditedOrRemoved) {
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("Data", 0, EIP_INNER_TYPE_SINT, 8)), 0);
    EXPECT_EQ(tag->EditSubTag("Data", Sub("Other", 0, EIP_INNER_TYPE_INT, 2)), 0);
    EXPECT_EQ(tag->RemoveSubTag("Data"), 0);
    const auto data = tag->GetSubTagInfo("Data");
    EXPECT_EQ(data.alias, "Data");
    EXPECT_EQ(data.dataLen, 8);
    EXPECT_EQ(Aliases(*tag), std::vector<std::string>{"Data"});
}

TEST(SubtagMap, EditReplacesAndRenames) {
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("a", 0, EIP_INNER_TYPE_INT, 2)), 0);
    EXPECT_EQ(tag->EditSubTag("a", Sub("a", 4, EIP_INNER_TYPE_DINT, 4)), 0);
    EXPECT_EQ(tag->GetSubTagInfo("a").innerType, EIP_INNER_TYPE_DINT);
    EXPECT_EQ(tag->EditSubTag("a", Sub("b", 4, EIP_INNER_TYPE_DINT, 4)), 0);
    EXPECT_EQ(Aliases(*tag), std::vector<std::string>{"b"});
}

TEST(SubtagMap, EditOfUnknownOrIntoInvalidSliceFailsAndChangesNothing) {
    tagtest::LogCapture log;
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("a", 0, EIP_INNER_TYPE_INT, 2)), 0);
    EXPECT_EQ(tag->EditSubTag("zz", Sub("zz", 0, EIP_INNER_TYPE_INT, 2)), -1);
    EXPECT_TRUE(log.Contains(": INFO - EditSubTag: Subtag alias is not exist - zz"));
    EXPECT_EQ(tag->EditSubTag("a", Sub("a", 7, EIP_INNER_TYPE_INT, 2)), -1);
    EXPECT_EQ(tag->GetSubTagInfo("a").offset, 0);
}

TEST(SubtagMap, RenameOntoAnotherSubtagIsRefusedAndKeepsBoth) {
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("a", 0, EIP_INNER_TYPE_INT, 2)), 0);
    ASSERT_EQ(tag->AddSubTag(Sub("b", 2, EIP_INNER_TYPE_INT, 2)), 0);
    EXPECT_EQ(tag->EditSubTag("a", Sub("b", 4, EIP_INNER_TYPE_DINT, 4)), -1);
    EXPECT_EQ(Aliases(*tag), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(tag->GetSubTagInfo("a").offset, 0);
    EXPECT_EQ(tag->GetSubTagInfo("b").offset, 2);
}

TEST(SubtagMap, RemoveAndLookUpUnknownAliases) {
    tagtest::LogCapture log;
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("a", 0, EIP_INNER_TYPE_INT, 2)), 0);
    EXPECT_EQ(tag->RemoveSubTag("zz"), -1);
    EXPECT_TRUE(log.Contains("RemoveSubTag: Subtag alias is not exist - zz"));
    EXPECT_EQ(tag->RemoveSubTag("a"), 0);
    const auto missing = tag->GetSubTagInfo("a");
    EXPECT_TRUE(missing.alias.empty());
    EXPECT_EQ(missing.offset, 0);
    EXPECT_EQ(missing.innerType, 0);
    EXPECT_EQ(missing.dataLen, 0);
}

TEST(SubtagExport, OnlyDataGivesAnEmptyList) {
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("Data", 0, EIP_INNER_TYPE_SINT, 8)), 0);
    std::string text = "old";
    EXPECT_EQ(tag->ExportSubTags(text), 0);
    EXPECT_EQ(text, "[]");
}

TEST(SubtagExport, ListsSubtagsInAliasOrderWithTypeNames) {
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("B", 2, EIP_INNER_TYPE_DINT, 4)), 0);
    ASSERT_EQ(tag->AddSubTag(Sub("Data", 0, EIP_INNER_TYPE_SINT, 8)), 0);
    ASSERT_EQ(tag->AddSubTag(Sub("A", 0, EIP_INNER_TYPE_INT, 2)), 0);
    std::string text;
    EXPECT_EQ(tag->ExportSubTags(text), 2);
    EXPECT_EQ(text,
              "[{\"Alias\":\"A\", \"Offset\":0, \"InnerType\":\"INT\", \"DataLen\":2},\n"
              "{\"Alias\":\"B\", \"Offset\":2, \"InnerType\":\"DINT\", \"DataLen\":4}]");
}

// Export Tags writes what Add Tags and Import Subtags read back, whatever the texts hold.
TEST(TagExport, EntryImportsBackWithQuotesBackslashesControlAndNonAsciiTextInEveryField) {
    const std::string awkward = "say \"hi\"\\n \xC3\xA9\xE2\x82\xAC\t\\";
    auto tag = IoTag(16);
    _eipTagInfo info = tag->GetInfo();
    info.alias = "alias " + awkward;
    info.tagName = "Name" + awkward;
    info.description = "line\nbreak " + awkward;
    tag->SetInfo(info);
    const std::vector<_eipSubTagInfo> subtags = {Sub("sub " + awkward, 0, EIP_INNER_TYPE_INT, 2),
                                                 Sub("\"", 4, EIP_INNER_TYPE_DINT, 4)};
    for (const auto& subtag : subtags) {
        ASSERT_EQ(tag->AddSubTag(subtag), 0);
    }
    const std::string text = "[" + tag->ExportTag() + "]";
    const Variant list = json::from_json_string(text);
    ASSERT_TRUE(list.is_array()) << text;
    TagParameterParser parser(EIP_TAG_KIND_IO, Variant(list[0]));
    ASSERT_EQ(parser.Parse([](const std::string& key, const Variant&, _eipTagInfo&, _eipTagInfo&) {
        return key.empty() ? 1 : 0;
    }),
              0);
    parser.FillMissingWithDefaults();
    EXPECT_EQ(parser.GetInfo().alias, info.alias);
    EXPECT_EQ(parser.GetInfo().tagName, info.tagName);
    EXPECT_EQ(parser.GetInfo().description, info.description);
    EXPECT_EQ(parser.GetInfo().rwFlag, EIP_RW_FLAG_IO);
    EXPECT_EQ(parser.GetInfo().dataLen, 16);
    ASSERT_EQ(parser.GetSubtags().size(), 2u);
    std::vector<std::string> imported;
    for (const Variant& element : parser.GetSubtags()) {
        _eipSubTagInfo subtag;
        int fields = 0;
        imported.push_back(EipTag::JsonToSubTagInfo(element, subtag, fields));
        EXPECT_EQ(fields, EIP_SUBTAG_FIELDS_ALL);
        EXPECT_EQ(subtag.innerType, tag->GetSubTagInfo(subtag.alias).innerType);
        EXPECT_EQ(subtag.offset, tag->GetSubTagInfo(subtag.alias).offset);
    }
    EXPECT_EQ(imported, (std::vector<std::string>{"\"", "sub " + awkward}));
}

TEST(SubtagJson, AliasOnlyGetsSintOfOneByte) {
    _eipSubTagInfo subtag;
    int fields = 0;
    EXPECT_EQ(
        EipTag::JsonToSubTagInfo(json::from_json_string(R"({" Alias ": " s1 "})"), subtag, fields),
        "s1");
    EXPECT_EQ(subtag.alias, "s1");
    EXPECT_EQ(subtag.innerType, EIP_INNER_TYPE_SINT);
    EXPECT_EQ(subtag.dataLen, 1);
    EXPECT_EQ(subtag.offset, 0);
    EXPECT_EQ(fields, EIP_SUBTAG_FIELD_ALIAS);
}

TEST(SubtagJson, AllFieldsAndDefaultLengthOfTheType) {
    _eipSubTagInfo subtag;
    int fields = 0;
    EipTag::JsonToSubTagInfo(
        json::from_json_string(R"j({"Alias":"s","Offset":4,"InnerType":"DINT (4bytes)"})j"), subtag,
        fields);
    EXPECT_EQ(subtag.offset, 4);
    EXPECT_EQ(subtag.innerType, EIP_INNER_TYPE_DINT);
    EXPECT_EQ(subtag.dataLen, 4);
    EXPECT_EQ(fields,
              EIP_SUBTAG_FIELD_ALIAS | EIP_SUBTAG_FIELD_OFFSET | EIP_SUBTAG_FIELD_INNER_TYPE);
}

TEST(SubtagJson, NumbersGivenAsTextAreIgnored) {
    _eipSubTagInfo subtag;
    int fields = 0;
    EipTag::JsonToSubTagInfo(
        json::from_json_string(R"({"Alias":"s","Offset":"4","DataLen":"2","Extra":1})"), subtag,
        fields);
    EXPECT_EQ(subtag.offset, 0);
    EXPECT_EQ(subtag.dataLen, 1);
    EXPECT_EQ(fields, EIP_SUBTAG_FIELD_ALIAS);
}

TEST(SubtagJson, EditKeepsFieldsTheObjectLacksAndReportsTheStoredAlias) {
    _eipSubTagInfo subtag = Sub("old", 2, EIP_INNER_TYPE_INT, 2);
    int fields = 0;
    EXPECT_EQ(EipTag::JsonToSubTagInfo(
                  json::from_json_string(R"({"Alias":"old","New Alias":" new ","Offset":6})"),
                  subtag, fields),
              "old");
    EXPECT_EQ(subtag.alias, "new");
    EXPECT_EQ(subtag.offset, 6);
    EXPECT_EQ(subtag.innerType, EIP_INNER_TYPE_INT);
    EXPECT_EQ(subtag.dataLen, 2);
}

TEST(SubtagJson, NonMapsAndMissingAliasesGiveNoAlias) {
    _eipSubTagInfo subtag;
    int fields = 0;
    EXPECT_EQ(EipTag::JsonToSubTagInfo(Variant("s"), subtag, fields), "");
    EXPECT_EQ(EipTag::JsonToSubTagInfo(json::from_json_string(R"({"Offset":1})"), subtag, fields),
              "");
    EXPECT_EQ(fields, EIP_SUBTAG_FIELD_OFFSET);
}

TEST(SubtagConcurrency, ParallelAddsAndReadsKeepTheMapWhole) {
    auto tag = IoTag(1000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&tag, t] {
            for (int i = 0; i < 100; ++i) {
                tag->AddSubTag(Sub("s" + std::to_string(t * 100 + i), i, EIP_INNER_TYPE_SINT, 1));
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
