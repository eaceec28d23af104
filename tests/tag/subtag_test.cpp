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
        {4, EIP_INNER_TYPE_SINT, 4, true},          {0, EIP_INNER_TYPE_SINT, 3, true},
        {0, EIP_INNER_TYPE_DINT, 8, true},          {6, EIP_INNER_TYPE_SINT, 4, false},
        {8, EIP_INNER_TYPE_SINT, 1, false},         {-1, EIP_INNER_TYPE_SINT, 1, false},
        {0, EIP_INNER_TYPE_SINT, 0, false},         {0, EIP_INNER_TYPE_INT, 3, false},
        {0, EIP_INNER_TYPE_DINT, 2, false},         {0, EIP_INNER_TYPE_REAL, 6, false},
        {4, EIP_INNER_TYPE_SINT, INT32_MAX, false}, {INT32_MAX, EIP_INNER_TYPE_SINT, 1, false},
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
    tagtest::LogCapture log;
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("Data", 0, EIP_INNER_TYPE_SINT, 8)), 0);
    ASSERT_EQ(tag->AddSubTag(Sub("a", 0, EIP_INNER_TYPE_INT, 2)), 0);
    EXPECT_EQ(tag->AddSubTag(Sub("a", 2, EIP_INNER_TYPE_INT, 2)), -1);
    EXPECT_TRUE(log.Contains("Subtag alias is already exist - a"));
    EXPECT_EQ(tag->AddSubTag(Sub("c", 6, EIP_INNER_TYPE_DINT, 4)), -1);
    ASSERT_EQ(tag->AddSubTag(Sub("b", 2, EIP_INNER_TYPE_INT, 2)), 0);
    EXPECT_EQ(tag->EditSubTag("Data", Sub("Other", 0, EIP_INNER_TYPE_INT, 2)), 0);
    EXPECT_EQ(tag->RemoveSubTag("Data"), 0);
    EXPECT_EQ(tag->GetSubTagInfo("Data").dataLen, 8);
    EXPECT_EQ(tag->EditSubTag("zz", Sub("zz", 0, EIP_INNER_TYPE_INT, 2)), -1);
    EXPECT_EQ(tag->EditSubTag("a", Sub("a", 7, EIP_INNER_TYPE_INT, 2)), -1);
    EXPECT_EQ(tag->EditSubTag("a", Sub("b", 4, EIP_INNER_TYPE_DINT, 4)), -1);
    EXPECT_EQ(tag->GetSubTagInfo("a").offset, 0);
    EXPECT_EQ(tag->GetSubTagInfo("b").offset, 2);
    EXPECT_EQ(tag->EditSubTag("a", Sub("a", 4, EIP_INNER_TYPE_DINT, 4)), 0);
    EXPECT_EQ(tag->GetSubTagInfo("a").innerType, EIP_INNER_TYPE_DINT);
    EXPECT_EQ(tag->EditSubTag("a", Sub("c", 4, EIP_INNER_TYPE_DINT, 4)), 0);
    EXPECT_EQ(Aliases(*tag), (std::vector<std::string>{"Data", "b", "c"}));
    EXPECT_EQ(tag->RemoveSubTag("zz"), -1);
    EXPECT_EQ(tag->RemoveSubTag("b"), 0);
    EXPECT_TRUE(tag->GetSubTagInfo("b").alias.empty());
    EXPECT_EQ(Aliases(*tag), (std::vector<std::string>{"Data", "c"}));
}

TEST(SubtagExport, ListsSubtagsButDataInAliasOrderWithTypeNames) {
    auto tag = IoTag();
    ASSERT_EQ(tag->AddSubTag(Sub("Data", 0, EIP_INNER_TYPE_SINT, 8)), 0);
    std::string text = "old";
    EXPECT_EQ(tag->ExportSubTags(text), 0);
    EXPECT_EQ(text, "[]");
    ASSERT_EQ(tag->AddSubTag(Sub("B", 2, EIP_INNER_TYPE_DINT, 4)), 0);
    ASSERT_EQ(tag->AddSubTag(Sub("A", 0, EIP_INNER_TYPE_INT, 2)), 0);
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

// An object of an alias only is a SINT of one byte at 0; the length defaults to the type's;
// numbers given as text are ignored; an edit keeps what the object lacks and reports the stored
// alias; a non-map or a missing alias gives no alias.
TEST(SubtagJson, FieldsGivenAndDefaults) {
    struct Case {
        const char* text;
        std::string returned;
        _eipSubTagInfo subtag;
        int fields;
    };
    const int alias = EIP_SUBTAG_FIELD_ALIAS;
    const Case cases[] = {
        {R"({" Alias ": " s1 "})", "s1", Sub("s1", 0, EIP_INNER_TYPE_SINT, 1), alias},
        {R"j({"Alias":"s","Offset":4,"InnerType":"DINT (4bytes)"})j", "s",
         Sub("s", 4, EIP_INNER_TYPE_DINT, 4),
         alias | EIP_SUBTAG_FIELD_OFFSET | EIP_SUBTAG_FIELD_INNER_TYPE},
        {R"({"Alias":"s","Offset":"4","DataLen":"2","Extra":1})", "s",
         Sub("s", 0, EIP_INNER_TYPE_SINT, 1), alias},
        {R"({"Offset":1})", "", Sub("", 1, EIP_INNER_TYPE_SINT, 1), EIP_SUBTAG_FIELD_OFFSET},
        {R"("s")", "", Sub("", 0, EIP_INNER_TYPE_SINT, 1), 0},
    };
    for (const Case& c : cases) {
        _eipSubTagInfo subtag;
        int fields = 0;
        EXPECT_EQ(EipTag::JsonToSubTagInfo(json::from_json_string(c.text), subtag, fields),
                  c.returned)
            << c.text;
        EXPECT_EQ(fields, c.fields) << c.text;
        if (!c.returned.empty()) {
            EXPECT_EQ(subtag.alias, c.subtag.alias) << c.text;
            EXPECT_EQ(subtag.offset, c.subtag.offset) << c.text;
            EXPECT_EQ(subtag.innerType, c.subtag.innerType) << c.text;
            EXPECT_EQ(subtag.dataLen, c.subtag.dataLen) << c.text;
        }
    }
    _eipSubTagInfo stored = Sub("old", 2, EIP_INNER_TYPE_INT, 2);
    int fields = 0;
    EXPECT_EQ(EipTag::JsonToSubTagInfo(
                  json::from_json_string(R"({"Alias":"old","New Alias":" new ","Offset":6})"),
                  stored, fields),
              "old");
    EXPECT_EQ(stored.alias, "new");
    EXPECT_EQ(stored.offset, 6);
    EXPECT_EQ(stored.innerType, EIP_INNER_TYPE_INT);
    EXPECT_EQ(stored.dataLen, 2);
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
