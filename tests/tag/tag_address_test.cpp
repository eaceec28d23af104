// Logix symbolic tag names and PLC5 data-table addresses: the request path each encodes to, the
// ones refused, and the copy into a request.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "family/controllogix_tagdata.h"
#include "family/pccc_tagdata.h"
#include "support/hex.h"
#include "support/log_capture.h"

using tb_test::Hex;

namespace {

// Symbols, 8-, 16- and 32-bit element segments at their boundaries, ranges, members after an
// index with or without a dot, spaces inside a symbol and around the name. The encoding is the
// path size in words, the path, then the element count.
TEST(LogixTagName, EncodesNameByteForByte) {
    struct Case {
        std::string name;
        std::string encoded;
        int32_t elementCount = 1;
    };
    const Case cases[] = {
        {"Tag1", "03 91 04 'Tag1' 0100"},
        {"abc", "03 91 03 'abc' 00 0100"},
        {"   Tag1", "03 91 04 'Tag1' 0100"},
        {"a b", "03 91 03 'a b' 00 0100"},
        {"a.b", "04 91 01 'a' 00 91 01 'b' 00 0100"},
        {"arr[5]", "04 91 03 'arr' 00 28 05 0100"},
        {"a[255]", "03 91 01 'a' 00 28 FF 0100"},
        {"a[256]", "04 91 01 'a' 00 29 00 0001 0100"},
        {"arr[300]", "05 91 03 'arr' 00 29 00 2C01 0100"},
        {"a[70000]", "05 91 01 'a' 00 2A 00 70110100 0100"},
        {"a[4294967295]", "05 91 01 'a' 00 2A 00 FFFFFFFF 0100"},
        {"arr[1][2]", "05 91 03 'arr' 00 28 01 28 02 0100"},
        {"a[1].[2]", "04 91 01 'a' 00 28 01 28 02 0100"},
        {"arr[2~9]  ", "04 91 03 'arr' 00 28 02 0800", 8},
        {"a[4~4]", "03 91 01 'a' 00 28 04 0100"},
        {"a[1~65535]", "03 91 01 'a' 00 28 01 FFFF", 65535},
        {"s[1].x", "05 91 01 's' 00 28 01 91 01 'x' 00 0100"},
        {"s[1]x", "05 91 01 's' 00 28 01 91 01 'x' 00 0100"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlLogixTagData data;
        ASSERT_TRUE(data.ParseTagName(c.name, "alias"));
        EXPECT_EQ(data.GetEncodedAddress(), Hex(c.encoded));
        EXPECT_EQ(data.GetElementCount(), c.elementCount);
    }
}

TEST(LogixTagName, RejectsMalformedNamesAndThoseThatDoNotFitTheirFields) {
    std::string longPath = "abcd";  // 6-byte segments: 85 make the longest path, 510 bytes
    for (int i = 1; i < 85; ++i) {
        longPath += ".abcd";
    }
    std::string manyIndexes = "a";
    for (int i = 0; i < 1000; ++i) {
        manyIndexes += "[300]";
    }
    std::vector<std::string> rejected = {
        ".a",      "a..b",    "[1]",      "a[]",      "a[x]",  "a[-1]",         "a[1~]",
        "a[5~1]",  "a[1~2]b", "a[1~2].b", "a[0~3] x", "a[1 ]", "a[1]]",         "a~1",
        "a[1[2]]", "",        "   ",      "a[12",     "a[1~3", "a[4294967296]", "a[0~65535]"};
    rejected.insert(rejected.end(),
                    {"a[99999999999999999999]", std::string(256, 'x'), std::string(100000, 'a'),
                     manyIndexes, longPath + "[1]", longPath + ".b"});
    for (const std::string& name : rejected) {
        ControlLogixTagData data;
        EXPECT_FALSE(data.ParseTagName(name, "alias")) << "'" << name.substr(0, 40) << "'";
    }
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName(longPath, "a"));
    EXPECT_EQ(data.GetEncodedAddress().size(), 1u + 510u + 2u);
    EXPECT_EQ(data.GetEncodedAddress()[0], 255);
    ASSERT_TRUE(data.ParseTagName(std::string(255, 'x'), "a"));
    EXPECT_EQ(data.GetEncodedAddress()[2], 255);
    EXPECT_EQ(data.GetEncodedAddress()[0], (2 + 255 + 1) / 2);
    // A failed parse keeps the previous encoding.
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
              Hex("03 91 04 'Tag1' EE"));
    EXPECT_EQ(data.FillData(true, buffer.data(), 0, 20), 9);
    std::vector<uint8_t> tight(9, 0xEE);
    EXPECT_EQ(data.FillData(true, tight.data(), 1, 9), -1);
    EXPECT_EQ(tight, std::vector<uint8_t>(9, 0xEE));
    EXPECT_EQ(data.FillData(true, tight.data(), 0, 9), 9);
}

// Every file type with its type code and element size; numbers from 255 on take three bytes.
TEST(Plc5Address, EncodesFileTypeFileElementAndSubElement) {
    const std::pair<const char*, const char*> cases[] = {
        {"N7:0", "02 07 89 00 00"},        {"B3:1/4", "02 03 85 01 04"},
        {"F8:3", "04 08 8A 03 00"},        {"ST10:0", "54 0A 8D 00 00"},
        {"L9:2", "04 09 91 02 00"},        {"N7:300", "02 07 89 FF 2C01 00"},
        {"F8:254", "04 08 8A FE 00"},      {"F8:255", "04 08 8A FF FF00 00"},
        {"N300:1", "02 FF 2C01 89 01 00"}, {"N7:65535", "02 07 89 FF FFFF 00"},
        {"n7:0", "02 07 89 00 00"},        {"st10:0", "54 0A 8D 00 00"},
        {"  N7:0", "02 07 89 00 00"},      {"T4:2.ACC", "06 04 86 02 02"},
        {"T4:2/DN", "06 04 86 02 0D"},     {"c5:0.pre", "06 05 87 00 01"},
        {"R6:1.POS", "06 06 88 01 02"},    {"O:3/5", "02 00 82 03 05"},
        {"S:1", "02 02 84 01 00"},         {"I1:0", "02 01 83 00 00"},
        {"B3/20", "02 03 85 01 04"},       {"A11:0", "02 0B 8E 00 00"},
    };
    for (const auto& [address, encoded] : cases) {
        PcccTagData data;
        ASSERT_TRUE(data.ParseTagName(address, "alias")) << address;
        EXPECT_EQ(data.GetEncodedAddress(), Hex(encoded)) << address;
        EXPECT_EQ(data.GetElementCount(), 1);
    }
}

TEST(Plc5Address, RefusesMalformedAndUnsupportedAddressesAndKeepsThePreviousOne) {
    tb_test::LogCapture log;
    PcccTagData data;
    ASSERT_TRUE(data.ParseTagName("N7:10/3", "a"));
    for (const char* address :
         {"N7", "N7:", "N7:x", "7:0", "N7:0 ", "N7:0/3x", "N7:0/", "", "N", "N:0", "N7:-1",
          "N7:65536", "X4:0", "T4:0.XY", "N7:0.ACC", "F8:0/3", "B3:0/16", "B7/x", "NX7:0"}) {
        EXPECT_FALSE(data.ParseTagName(address, "b")) << "'" << address << "'";
    }
    EXPECT_EQ(data.GetDataType(), PCCC_DATA_TYPE_INTEGER);
    EXPECT_EQ(data.GetDataLen(), 2);
    EXPECT_EQ(data.GetAlias(), "a");
    EXPECT_EQ(data.GetEncodedAddress(), Hex("02 07 89 0A 03"));
    EXPECT_TRUE(log.Contains("PLC5Parse: malformed address [address: 'N7'] [parse state: 2]"));
    EXPECT_TRUE(log.Contains(
        "PLC5Parse: unsupported file type specifier [address: 'X4:0'] [file type: X]"));
}

// A request carries sub-element 0 whatever the address names; a buffer one byte too short gets
// nothing.
TEST(Plc5FillData, CopiesAddressWithSubElementZeroOrNothing) {
    PcccTagData data;
    uint8_t unparsed[8] = {};
    EXPECT_EQ(data.FillData(true, unparsed, 0, sizeof unparsed), -1);
    ASSERT_TRUE(data.ParseTagName("N7:10/3", "a"));
    std::vector<uint8_t> buffer(8, 0xEE);
    EXPECT_EQ(data.FillData(true, buffer.data(), 2, 8), 5);
    EXPECT_EQ(buffer, Hex("EE EE 02 07 89 0A 00 EE"));
    ASSERT_TRUE(data.ParseTagName("N7:300", "a"));
    std::vector<uint8_t> tight(7, 0xEE);
    EXPECT_EQ(data.FillData(true, tight.data(), 1, 7), -1);
    EXPECT_EQ(tight, std::vector<uint8_t>(7, 0xEE));
    EXPECT_EQ(data.FillData(true, tight.data(), 0, 7), 7);
}

}  // namespace
