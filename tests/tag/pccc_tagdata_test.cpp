#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "family/pccc_tagdata.h"
#include "tag_test_support.h"

using tagtest::Bytes;

namespace {

std::vector<uint8_t> Encode(const std::string& address) {
    PcccTagData data;
    EXPECT_TRUE(data.ParseTagName(address, "alias")) << address;
    return data.GetEncodedAddress();
}

bool Accepts(const std::string& address) {
    PcccTagData data;
    return data.ParseTagName(address, "alias");
}

TEST(Plc5Address, EncodesEveryFileTypeWithItsTypeCodeAndElementSize) {
    EXPECT_EQ(Encode("N7:0"), Bytes({0x02, 0x07, 0x89, 0x00, 0x00}));
    EXPECT_EQ(Encode("B3:1/4"), Bytes({0x02, 0x03, 0x85, 0x01, 0x04}));
    EXPECT_EQ(Encode("F8:3"), Bytes({0x04, 0x08, 0x8A, 0x03, 0x00}));
    EXPECT_EQ(Encode("ST10:0"), Bytes({0x54, 0x0A, 0x8D, 0x00, 0x00}));
    EXPECT_EQ(Encode("L9:2"), Bytes({0x04, 0x09, 0x91, 0x02, 0x00}));
}

TEST(Plc5Address, NumbersFrom255OnTakeThreeBytes) {
    EXPECT_EQ(Encode("N7:300"), Bytes({0x02, 0x07, 0x89, 0xFF, 0x2C, 0x01, 0x00}));
    EXPECT_EQ(Encode("F8:254"), Bytes({0x04, 0x08, 0x8A, 0xFE, 0x00}));
    EXPECT_EQ(Encode("F8:255"), Bytes({0x04, 0x08, 0x8A, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(Encode("N300:1"), Bytes({0x02, 0xFF, 0x2C, 0x01, 0x89, 0x01, 0x00}));
    EXPECT_EQ(Encode("N7:65535"), Bytes({0x02, 0x07, 0x89, 0xFF, 0xFF, 0xFF, 0x00}));
    EXPECT_FALSE(Accepts("N7:65536"));  // never clamped to another element
}

TEST(Plc5Address, FileLettersIgnoreCaseAndLeadingSpaceIsSkipped) {
    EXPECT_EQ(Encode("n7:0"), Encode("N7:0"));
    EXPECT_EQ(Encode("st10:0"), Encode("ST10:0"));
    EXPECT_EQ(Encode("  N7:0"), Encode("N7:0"));
}

TEST(Plc5Address, ParseFillsNumbersTypeAndElementCount) {
    PcccTagData data;
    ASSERT_TRUE(data.ParseTagName("N7:10/3", "Level"));
    EXPECT_EQ(data.GetDataType(), PCCC_DATA_TYPE_INTEGER);
    EXPECT_EQ(data.GetDataLen(), 2);
    EXPECT_EQ(data.GetFileNum(), 7);
    EXPECT_EQ(data.GetElementNum(), 10);
    EXPECT_EQ(data.GetSubelementNum(), 3);
    EXPECT_EQ(data.GetElementCount(), 1);
    EXPECT_EQ(data.GetAlias(), "Level");
    EXPECT_EQ(data.GetEncodedAddress().back(), 0x03);
}

TEST(Plc5Address, RejectsMalformedAddresses) {
    for (const char* address :
         {"N7", "N7:", "N7:x", "7:0", "N7:0 ", "N7:0/3x", "N7:0/", "", "N", "N:0", "N7:-1"}) {
        EXPECT_FALSE(Accepts(address)) << "'" << address << "'";
    }
}

TEST(Plc5Address, MalformedAddressLogsItsParseState) {
    tagtest::LogCapture log;
    EXPECT_FALSE(Accepts("N7"));
    EXPECT_TRUE(
        log.Contains(": ERROR - ParseTagName: PLC5Parse: malformed address "
                     "[address: 'N7'] [parse state: 2]"))
        << log.All();
    EXPECT_FALSE(Accepts("7:0"));
    EXPECT_TRUE(log.Contains("[address: '7:0'] [parse state: 2]")) << log.All();
}

TEST(Plc5Address, UnsupportedFileTypesAreRefusedWithTheirLetters) {
    tagtest::LogCapture log;
    for (const char* address : {"T4:0", "C5:0", "R6:0", "S2:0", "I1:0", "O0:0", "NX7:0"}) {
        EXPECT_FALSE(Accepts(address)) << address;
    }
    EXPECT_TRUE(
        log.Contains("PLC5Parse: unsupported file type specifier [address: 'T4:0'] "
                     "[file type: T]"))
        << log.All();
}

TEST(Plc5Address, StringFileLogsItsElementSizeAndSuccessLogsTheNumbers) {
    tagtest::LogCapture log;
    ASSERT_TRUE(Accepts("ST10:0"));
    EXPECT_TRUE(log.Contains(": INFO - ParseTagName: PLC5Parse: Setting max string length to 84"));
    EXPECT_TRUE(
        log.Contains("PLC5Parse: name: alias, data_type: 141, data_len: 84, file_num: 10, "
                     "element_num: 0, subelement_num: 0"))
        << log.All();
}

TEST(Plc5Address, FailedParseKeepsThePreviousAddress) {
    PcccTagData data;
    ASSERT_TRUE(data.ParseTagName("N7:10/3", "a"));
    EXPECT_FALSE(data.ParseTagName("F9:x", "a"));
    EXPECT_EQ(data.GetFileNum(), 7);
    EXPECT_EQ(data.GetElementNum(), 10);
    EXPECT_EQ(data.GetEncodedAddress(), Bytes({0x02, 0x07, 0x89, 0x0A, 0x03}));
}

TEST(Plc5Address, AppendNumberReturnsBytesAppended) {
    PcccTagData data;
    EXPECT_EQ(data.appendNumber(254), 1);
    EXPECT_EQ(data.appendNumber(255), 3);
    EXPECT_EQ(data.appendNumber(65535), 3);
    EXPECT_EQ(data.GetEncodedAddress(), Bytes({0xFE, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF}));
}

TEST(Plc5FillData, CopiesAddressAndSendsSubElementZero) {
    PcccTagData data;
    ASSERT_TRUE(data.ParseTagName("N7:10/3", "a"));
    std::vector<uint8_t> buffer(8, 0xEE);
    EXPECT_EQ(data.FillData(true, buffer.data(), 2, 8), 5);
    EXPECT_EQ(buffer, Bytes({0xEE, 0xEE, 0x02, 0x07, 0x89, 0x0A, 0x00, 0xEE}));
    EXPECT_EQ(data.GetEncodedAddress().back(), 0x03);
}

TEST(Plc5FillData, OneByteTooShortCopiesNothing) {
    tagtest::LogCapture log;
    PcccTagData data;
    ASSERT_TRUE(data.ParseTagName("N7:300", "a"));
    std::vector<uint8_t> buffer(7, 0xEE);
    EXPECT_EQ(data.FillData(true, buffer.data(), 1, 7), -1);
    EXPECT_EQ(buffer, std::vector<uint8_t>(7, 0xEE));
    EXPECT_TRUE(log.Contains("FillData: buffer to short"));
    EXPECT_EQ(data.FillData(true, buffer.data(), 0, 7), 7);
}

TEST(Plc5FillData, UnparsedAddressHasNothingToCopy) {
    PcccTagData data;
    uint8_t buffer[8] = {};
    EXPECT_EQ(data.FillData(true, buffer, 0, sizeof buffer), -1);
}

TEST(Plc5Dump, AppendsTypeAndNumbersToTheHexBytes) {
    PcccTagData data;
    ASSERT_TRUE(data.ParseTagName("B3:1/4", "a"));
    EXPECT_EQ(data.Dump(), "02 03 85 01 04 type: 0x85 file: 3 element: 1 subelement: 4");
}

}  // namespace
