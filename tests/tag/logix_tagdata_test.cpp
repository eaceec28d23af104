// Logix symbolic tag names: the request path each encodes to, the ones refused, and the copy
// into a request.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "family/controllogix_tagdata.h"
#include "tag_test_support.h"

using tagtest::Bytes;
using tagtest::Chars;
using tagtest::Concat;

namespace {

bool Accepts(const std::string& name) {
    ControlLogixTagData data;
    return data.ParseTagName(name, "alias");
}

struct EncodingCase {
    std::string name;
    std::vector<uint8_t> encoded;  // path size in words, path, element count
    int32_t elementCount = 1;
};

class LogixEncodingTable : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(LogixEncodingTable, EncodesNameByteForByte) {
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName(GetParam().name, "alias"));
    EXPECT_EQ(data.GetEncodedAddress(), GetParam().encoded);
    EXPECT_EQ(data.GetElementCount(), GetParam().elementCount);
}

// Symbols, 8-, 16- and 32-bit element segments at their boundaries, ranges, members after an
// index with or without a dot, spaces inside a symbol and around the name.
INSTANTIATE_TEST_SUITE_P(
    Names, LogixEncodingTable,
    ::testing::Values(
        EncodingCase{"Tag1", Concat({Bytes({0x03, 0x91, 0x04}), Chars("Tag1"), Bytes({1, 0})})},
        EncodingCase{"abc", Concat({Bytes({0x03, 0x91, 0x03}), Chars("abc"), Bytes({0, 1, 0})})},
        EncodingCase{"   Tag1", Concat({Bytes({0x03, 0x91, 0x04}), Chars("Tag1"), Bytes({1, 0})})},
        EncodingCase{"a b", Concat({Bytes({0x03, 0x91, 0x03}), Chars("a b"), Bytes({0, 1, 0})})},
        EncodingCase{"a.b", Concat({Bytes({0x04, 0x91, 0x01}), Chars("a"),
                                    Bytes({0x00, 0x91, 0x01}), Chars("b"), Bytes({0, 1, 0})})},
        EncodingCase{"arr[5]", Concat({Bytes({0x04, 0x91, 0x03}), Chars("arr"),
                                       Bytes({0x00, 0x28, 0x05, 0x01, 0x00})})},
        EncodingCase{"a[255]", Concat({Bytes({0x03, 0x91, 0x01}), Chars("a"),
                                       Bytes({0x00, 0x28, 0xFF, 1, 0})})},
        EncodingCase{"a[256]", Concat({Bytes({0x04, 0x91, 0x01}), Chars("a"),
                                       Bytes({0x00, 0x29, 0x00, 0x00, 0x01, 1, 0})})},
        EncodingCase{"arr[300]", Concat({Bytes({0x05, 0x91, 0x03}), Chars("arr"),
                                         Bytes({0x00, 0x29, 0x00, 0x2C, 0x01, 0x01, 0x00})})},
        EncodingCase{"a[70000]",
                     Concat({Bytes({0x05, 0x91, 0x01}), Chars("a"),
                             Bytes({0x00, 0x2A, 0x00, 0x70, 0x11, 0x01, 0x00, 0x01, 0x00})})},
        EncodingCase{"a[4294967295]",
                     Concat({Bytes({0x05, 0x91, 0x01}), Chars("a"),
                             Bytes({0x00, 0x2A, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00})})},
        EncodingCase{"arr[1][2]", Concat({Bytes({0x05, 0x91, 0x03}), Chars("arr"),
                                          Bytes({0x00, 0x28, 0x01, 0x28, 0x02, 0x01, 0x00})})},
        EncodingCase{"a[1].[2]", Concat({Bytes({0x04, 0x91, 0x01}), Chars("a"),
                                         Bytes({0x00, 0x28, 0x01, 0x28, 0x02, 0x01, 0x00})})},
        EncodingCase{"arr[2~9]  ",
                     Concat({Bytes({0x04, 0x91, 0x03}), Chars("arr"),
                             Bytes({0x00, 0x28, 0x02, 0x08, 0x00})}),
                     8},
        EncodingCase{"a[4~4]", Concat({Bytes({0x03, 0x91, 0x01}), Chars("a"),
                                       Bytes({0x00, 0x28, 0x04, 1, 0})})},
        EncodingCase{
            "a[1~65535]",
            Concat({Bytes({0x03, 0x91, 0x01}), Chars("a"), Bytes({0x00, 0x28, 0x01, 0xFF, 0xFF})}),
            65535},
        EncodingCase{"s[1].x",
                     Concat({Bytes({0x05, 0x91, 0x01}), Chars("s"), Bytes({0x00, 0x28, 0x01}),
                             Bytes({0x91, 0x01}), Chars("x"), Bytes({0x00, 0x01, 0x00})})},
        EncodingCase{"s[1]x",
                     Concat({Bytes({0x05, 0x91, 0x01}), Chars("s"), Bytes({0x00, 0x28, 0x01}),
                             Bytes({0x91, 0x01}), Chars("x"), Bytes({0x00, 0x01, 0x00})})}));

TEST(LogixTagName, RejectsMalformedNamesAndThoseThatDoNotFitTheirFields) {
    std::string longPath = "abcd";  // 6-byte segments: 85 make the longest path, 510 bytes
    for (int i = 1; i < 85; ++i) {
        longPath += ".abcd";
    }
    std::string manyIndexes = "a";
    for (int i = 0; i < 1000; ++i) {
        manyIndexes += "[300]";
    }
    for (const std::string& name : std::vector<std::string>{".a",
                                                            "a..b",
                                                            "[1]",
                                                            "a[]",
                                                            "a[x]",
                                                            "a[-1]",
                                                            "a[1~]",
                                                            "a[5~1]",
                                                            "a[1~2]b",
                                                            "a[1~2].b",
                                                            "a[0~3] x",
                                                            "a[1 ]",
                                                            "a[1]]",
                                                            "a~1",
                                                            "a[1[2]]",
                                                            "",
                                                            "   ",
                                                            "a[12",
                                                            "a[1~3",
                                                            "a[4294967296]",
                                                            "a[99999999999999999999]",
                                                            "a[0~65535]",
                                                            std::string(256, 'x'),
                                                            std::string(100000, 'a'),
                                                            manyIndexes,
                                                            longPath + "[1]",
                                                            longPath + ".b"}) {
        EXPECT_FALSE(Accepts(name)) << "'" << name.substr(0, 40) << "'";
    }
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName(longPath, "a"));
    EXPECT_EQ(data.GetEncodedAddress().size(), 1u + 510u + 2u);
    EXPECT_EQ(data.GetEncodedAddress()[0], 255);
    ASSERT_TRUE(data.ParseTagName(std::string(255, 'x'), "a"));
    EXPECT_EQ(data.GetEncodedAddress()[2], 255);
    EXPECT_EQ(data.GetEncodedAddress()[0], (2 + 255 + 1) / 2);
}

TEST(LogixTagName, FailedParseKeepsThePreviousEncoding) {
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName("arr[2~9]", "a"));
    const auto before = data.GetEncodedAddress();
    EXPECT_FALSE(data.ParseTagName("a..b", "b"));
    EXPECT_EQ(data.GetEncodedAddress(), before);
    EXPECT_EQ(data.GetElementCount(), 8);
}

// A write request leaves out the element count (the write data carries it), a read copies it;
// a buffer that cannot take the whole path gets nothing.
TEST(LogixFillData, WriteLeavesOutElementCountAndShortBuffersGetNothing) {
    ControlLogixTagData data;
    uint8_t unparsed[16] = {};
    EXPECT_EQ(data.FillData(true, unparsed, 0, sizeof unparsed), -1);
    EXPECT_EQ(data.FillData(false, unparsed, 0, sizeof unparsed), -1);
    ASSERT_TRUE(data.ParseTagName("Tag1", "t"));
    std::vector<uint8_t> buffer(20, 0xEE);
    EXPECT_EQ(data.FillData(false, buffer.data(), 3, 20), 7);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 3, buffer.begin() + 11),
              Concat({Bytes({0x03, 0x91, 0x04}), Chars("Tag1"), Bytes({0xEE})}));
    EXPECT_EQ(data.FillData(true, buffer.data(), 0, 20), 9);
    std::vector<uint8_t> tight(9, 0xEE);
    EXPECT_EQ(data.FillData(true, tight.data(), 1, 9), -1);
    EXPECT_EQ(tight, std::vector<uint8_t>(9, 0xEE));
    EXPECT_EQ(data.FillData(true, tight.data(), 0, 9), 9);
}

}  // namespace
