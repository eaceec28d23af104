// PLC5 data-table addresses: their encoding, the ones refused, and the copy into a request.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "family/pccc_tagdata.h"
#include "tag_test_support.h"

using tagtest::Bytes;

namespace {

// Every file type with its type code and element size; numbers from 255 on take three bytes.
TEST(Plc5Address, EncodesFileTypeFileElementAndSubElement) {
    const std::pair<const char*, std::vector<uint8_t>> cases[] = {
        {"N7:0", Bytes({0x02, 0x07, 0x89, 0x00, 0x00})},
        {"B3:1/4", Bytes({0x02, 0x03, 0x85, 0x01, 0x04})},
        {"F8:3", Bytes({0x04, 0x08, 0x8A, 0x03, 0x00})},
        {"ST10:0", Bytes({0x54, 0x0A, 0x8D, 0x00, 0x00})},
        {"L9:2", Bytes({0x04, 0x09, 0x91, 0x02, 0x00})},
        {"N7:300", Bytes({0x02, 0x07, 0x89, 0xFF, 0x2C, 0x01, 0x00})},
        {"F8:254", Bytes({0x04, 0x08, 0x8A, 0xFE, 0x00})},
        {"F8:255", Bytes({0x04, 0x08, 0x8A, 0xFF, 0xFF, 0x00, 0x00})},
        {"N300:1", Bytes({0x02, 0xFF, 0x2C, 0x01, 0x89, 0x01, 0x00})},
        {"N7:65535", Bytes({0x02, 0x07, 0x89, 0xFF, 0xFF, 0xFF, 0x00})},
        {"n7:0", Bytes({0x02, 0x07, 0x89, 0x00, 0x00})},
        {"st10:0", Bytes({0x54, 0x0A, 0x8D, 0x00, 0x00})},
        {"  N7:0", Bytes({0x02, 0x07, 0x89, 0x00, 0x00})},
    };
    for (const auto& [address, encoded] : cases) {
        PcccTagData data;
        ASSERT_TRUE(data.ParseTagName(address, "alias")) << address;
        EXPECT_EQ(data.GetEncodedAddress(), encoded) << address;
        EXPECT_EQ(data.GetElementCount(), 1);
    }
}

TEST(Plc5Address, RefusesMalformedAndUnsupportedAddressesAndKeepsThePreviousOne) {
    tagtest::LogCapture log;
    PcccTagData data;
    ASSERT_TRUE(data.ParseTagName("N7:10/3", "a"));
    for (const char* address :
         {"N7", "N7:", "N7:x", "7:0", "N7:0 ", "N7:0/3x", "N7:0/", "", "N", "N:0", "N7:-1",
          "N7:65536", "T4:0", "C5:0", "R6:0", "S2:0", "I1:0", "O0:0", "NX7:0"}) {
        EXPECT_FALSE(data.ParseTagName(address, "b")) << "'" << address << "'";
    }
    EXPECT_EQ(data.GetDataType(), PCCC_DATA_TYPE_INTEGER);
    EXPECT_EQ(data.GetDataLen(), 2);
    EXPECT_EQ(data.GetAlias(), "a");
    EXPECT_EQ(data.GetEncodedAddress(), Bytes({0x02, 0x07, 0x89, 0x0A, 0x03}));
    EXPECT_TRUE(log.Contains("PLC5Parse: malformed address [address: 'N7'] [parse state: 2]"));
    EXPECT_TRUE(log.Contains(
        "PLC5Parse: unsupported file type specifier [address: 'T4:0'] [file type: T]"));
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
    EXPECT_EQ(buffer, Bytes({0xEE, 0xEE, 0x02, 0x07, 0x89, 0x0A, 0x00, 0xEE}));
    ASSERT_TRUE(data.ParseTagName("N7:300", "a"));
    std::vector<uint8_t> tight(7, 0xEE);
    EXPECT_EQ(data.FillData(true, tight.data(), 1, 7), -1);
    EXPECT_EQ(tight, std::vector<uint8_t>(7, 0xEE));
    EXPECT_EQ(data.FillData(true, tight.data(), 0, 7), 7);
}

}  // namespace
