#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "family/controllogix_tagdata.h"
#include "tag_test_support.h"

using tagtest::Bytes;
using tagtest::Chars;
using tagtest::Concat;

namespace {

std::vector<uint8_t> Encode(const std::string& name) {
    ControlLogixTagData data;
    EXPECT_TRUE(data.ParseTagName(name, "alias")) << name;
    return data.GetEncodedAddress();
}

bool Accepts(const std::string& name) {
    ControlLogixTagData data;
    return data.ParseTagName(name, "alias");
}

struct EncodingCase {
    const char* name;
    std::vector<uint8_t> encoded;
};

class LogixEncodingTable : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(LogixEncodingTable, EncodesNameByteForByte) {
    EXPECT_EQ(Encode(GetParam().name), GetParam().encoded);
}

INSTANTIATE_TEST_SUITE_P(
    Names, LogixEncodingTable,
    ::testing::Values(
        EncodingCase{"Tag1", Concat({Bytes({0x03, 0x91, 0x04}), Chars("Tag1"), Bytes({1, 0})})},
        EncodingCase{"abc", Concat({Bytes({0x03, 0x91, 0x03}), Chars("abc"), Bytes({0, 1, 0})})},
        EncodingCase{"a.b", Concat({Bytes({0x04, 0x91, 0x01}), Chars("a"),
                                    Bytes({0x00, 0x91, 0x01}), Chars("b"), Bytes({0, 1, 0})})},
        EncodingCase{"arr[5]", Concat({Bytes({0x04, 0x91, 0x03}), Chars("arr"),
                                       Bytes({0x00, 0x28, 0x05, 0x01, 0x00})})},
        EncodingCase{"arr[300]", Concat({Bytes({0x05, 0x91, 0x03}), Chars("arr"),
                                         Bytes({0x00, 0x29, 0x00, 0x2C, 0x01, 0x01, 0x00})})},
        EncodingCase{"arr[1][2]", Concat({Bytes({0x05, 0x91, 0x03}), Chars("arr"),
                                          Bytes({0x00, 0x28, 0x01, 0x28, 0x02, 0x01, 0x00})})},
        EncodingCase{"arr[2~9]", Concat({Bytes({0x04, 0x91, 0x03}), Chars("arr"),
                                         Bytes({0x00, 0x28, 0x02, 0x08, 0x00})})},
        EncodingCase{"s[1].x",
                     Concat({Bytes({0x05, 0x91, 0x01}), Chars("s"), Bytes({0x00, 0x28, 0x01}),
                             Bytes({0x91, 0x01}), Chars("x"), Bytes({0x00, 0x01, 0x00})})}));

TEST(LogixTagName, RejectsMalformedNames) {
    for (const char* name :
         {".a", "a..b", "[1]", "a[]", "a[x]", "a[-1]", "a[1~]", "a[5~1]", "a[1~2]b", "a[1~2].b",
          "a[0~3] x", "a[1 ]", "a[1]]", "a~1", "a[1[2]]", "", "   "}) {
        EXPECT_FALSE(Accepts(name)) << "'" << name << "'";
    }
}

TEST(LogixTagName, MemberAfterIndexNeedsNoDot) {
    EXPECT_EQ(Encode("a[1].b"), Encode("a[1]b"));
}

TEST(LogixTagName, DotBetweenTwoIndexesClosesNothing) {
    EXPECT_EQ(Encode("a[1].[2]"), Encode("a[1][2]"));
}

TEST(LogixTagName, IndexAbove65535UsesThe32BitSegmentAndBeyond32BitsIsRefused) {
    EXPECT_EQ(Encode("a[70000]"),
              Concat({Bytes({0x05, 0x91, 0x01}), Chars("a"),
                      Bytes({0x00, 0x2A, 0x00, 0x70, 0x11, 0x01, 0x00, 0x01, 0x00})}));
    EXPECT_EQ(Encode("a[4294967295]"),
              Concat({Bytes({0x05, 0x91, 0x01}), Chars("a"),
                      Bytes({0x00, 0x2A, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00})}));
    tagtest::LogCapture log;
    EXPECT_FALSE(Accepts("a[4294967296]"));
    EXPECT_FALSE(Accepts("a[99999999999999999999]"));
    EXPECT_TRUE(
        log.Contains("a[4294967296]: element index \"4294967296\" is not a number from 0 "
                     "to 4294967295"))
        << log.All();
}

TEST(LogixTagName, IndexBoundaryBetweenEightAndSixteenBitForms) {
    EXPECT_EQ(Encode("a[255]"),
              Concat({Bytes({0x03, 0x91, 0x01}), Chars("a"), Bytes({0x00, 0x28, 0xFF, 1, 0})}));
    EXPECT_EQ(Encode("a[256]"), Concat({Bytes({0x04, 0x91, 0x01}), Chars("a"),
                                        Bytes({0x00, 0x29, 0x00, 0x00, 0x01, 1, 0})}));
}

TEST(LogixTagName, UnclosedBracketIsRefusedRatherThanAddressingTheWholeTag) {
    EXPECT_FALSE(Accepts("a[12"));
    EXPECT_FALSE(Accepts("a[1~3"));
}

TEST(LogixTagName, TrailingSpaceAfterRangeIsAllowed) {
    EXPECT_EQ(Encode("arr[2~9]  "), Encode("arr[2~9]"));
}

TEST(LogixTagName, LeadingSpaceIsSkippedAndInnerSpaceIsASymbolCharacter) {
    EXPECT_EQ(Encode("   Tag1"), Encode("Tag1"));
    EXPECT_EQ(Encode("a b"),
              Concat({Bytes({0x03, 0x91, 0x03}), Chars("a b"), Bytes({0x00, 0x01, 0x00})}));
}

TEST(LogixTagName, RangeSetsElementCountAndSingleIndexGivesOne) {
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName("Buffer[10~19]", "buf"));
    EXPECT_EQ(data.GetElementCount(), 10);
    EXPECT_EQ(data.GetAlias(), "buf");
    ASSERT_TRUE(data.ParseTagName("Buffer[10]", "buf"));
    EXPECT_EQ(data.GetElementCount(), 1);
    ASSERT_TRUE(data.ParseTagName("Buffer[4~4]", "buf"));
    EXPECT_EQ(data.GetElementCount(), 1);
}

TEST(LogixTagName, RangeOfMoreElementsThanTheCountFieldHoldsIsRefused) {
    EXPECT_FALSE(Accepts("a[0~65535]"));
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName("a[1~65535]", "a"));
    EXPECT_EQ(data.GetElementCount(), 65535);
}

TEST(LogixTagName, SymbolLongerThanItsLengthByteIsRefused) {
    ControlLogixTagData data;
    const std::string longest(255, 'x');
    ASSERT_TRUE(data.ParseTagName(longest, "a"));
    EXPECT_EQ(data.GetEncodedAddress()[2], 255);
    EXPECT_EQ(data.GetEncodedAddress()[0], (2 + 255 + 1) / 2);
    EXPECT_FALSE(Accepts(std::string(256, 'x')));
}

TEST(LogixTagName, RequestPathOf510BytesIsAcceptedAnd512Refused) {
    // Each member "abcd" is a 6-byte segment; 85 of them make 510 bytes.
    std::string name = "abcd";
    for (int i = 1; i < 85; ++i) {
        name += ".abcd";
    }
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName(name, "a"));
    EXPECT_EQ(data.GetEncodedAddress().size(), 1u + 510u + 2u);
    EXPECT_EQ(data.GetEncodedAddress()[0], 255);
    EXPECT_FALSE(Accepts(name + "[1]"));
    EXPECT_FALSE(Accepts(name + ".b"));
}

TEST(LogixTagName, VeryLongNamesAndManyIndexesAreRefusedWithoutOverrun) {
    EXPECT_FALSE(Accepts(std::string(100000, 'a')));
    std::string indexes = "a";
    for (int i = 0; i < 1000; ++i) {
        indexes += "[300]";
    }
    EXPECT_FALSE(Accepts(indexes));
}

TEST(LogixTagName, FailedParseKeepsThePreviousEncoding) {
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName("arr[2~9]", "a"));
    const auto before = data.GetEncodedAddress();
    EXPECT_FALSE(data.ParseTagName("a..b", "b"));
    EXPECT_EQ(data.GetEncodedAddress(), before);
    EXPECT_EQ(data.GetElementCount(), 8);
}

TEST(LogixFillData, WriteLeavesOutElementCountAndReadCopiesAll) {
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName("Tag1", "t"));
    std::vector<uint8_t> buffer(20, 0xEE);
    EXPECT_EQ(data.FillData(false, buffer.data(), 3, 20), 7);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 3, buffer.begin() + 10),
              std::vector<uint8_t>(data.GetEncodedAddress().begin(),
                                   data.GetEncodedAddress().begin() + 7));
    EXPECT_EQ(buffer[10], 0xEE);
    EXPECT_EQ(data.FillData(true, buffer.data(), 0, 20), 9);
}

TEST(LogixFillData, RefusesToPassCapacityAndCopiesNothing) {
    tagtest::LogCapture log;
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName("Tag1", "t"));
    std::vector<uint8_t> buffer(9, 0xEE);
    EXPECT_EQ(data.FillData(true, buffer.data(), 1, 9), -1);
    EXPECT_EQ(buffer, std::vector<uint8_t>(9, 0xEE));
    EXPECT_TRUE(log.Contains(": ERROR - FillData: FillData: buffer to short")) << log.All();
    EXPECT_EQ(data.FillData(true, buffer.data(), 0, 9), 9);
}

TEST(LogixFillData, UnparsedNameHasNothingToCopy) {
    ControlLogixTagData data;
    uint8_t buffer[16] = {};
    EXPECT_EQ(data.FillData(true, buffer, 0, sizeof buffer), -1);
    EXPECT_EQ(data.FillData(false, buffer, 0, sizeof buffer), -1);
}

TEST(EipTagDataHelpers, DumpPrintsUpperCaseHexEachFollowedByASpace) {
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName("arr[300]", "a"));
    EXPECT_EQ(data.Dump(), "05 91 03 61 72 72 00 29 00 2C 01 01 00 ");
}

TEST(EipTagDataHelpers, ParseNumberNeedsWholeTextAsNonNegativeDecimal) {
    EXPECT_EQ(EipTagData::parseNumber("123", 3), 123);
    EXPECT_EQ(EipTagData::parseNumber("123", 2), 12);
    EXPECT_EQ(EipTagData::parseNumber("", 0), -1);
    EXPECT_EQ(EipTagData::parseNumber("12a", 3), -1);
    EXPECT_EQ(EipTagData::parseNumber("-5", 2), -1);
    EXPECT_EQ(EipTagData::parseNumber("65536", 5), 65536);
    EXPECT_EQ(EipTagData::parseNumber("4294967295", 10), 4294967295);
    EXPECT_EQ(EipTagData::parseNumber("4294967296", 10), -1);
    EXPECT_EQ(EipTagData::parseNumber("99999999999999999999999", 23), -1);
}

TEST(EipTagDataHelpers, IsEqualIgnoreCaseComparesLengthAndUpperCase) {
    EXPECT_TRUE(EipTagData::isEqualIgnoreCase("st", "ST"));
    EXPECT_TRUE(EipTagData::isEqualIgnoreCase("", ""));
    EXPECT_FALSE(EipTagData::isEqualIgnoreCase("S", "ST"));
    EXPECT_FALSE(EipTagData::isEqualIgnoreCase("SX", "ST"));
}

}  // namespace
