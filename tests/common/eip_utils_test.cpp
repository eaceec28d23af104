#include "common/eip_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(ByteOrder, PutLitEndianWritesLowByteFirst) {
    uint8_t b[4] = {};
    eip_PutLitEndian16(0xA1B2, b);
    EXPECT_EQ(b[0], 0xB2);
    EXPECT_EQ(b[1], 0xA1);
    eip_PutLitEndian32(0x01020304, b);
    EXPECT_EQ(b[0], 0x04);
    EXPECT_EQ(b[1], 0x03);
    EXPECT_EQ(b[2], 0x02);
    EXPECT_EQ(b[3], 0x01);
}

TEST(ByteOrder, PutLitEndian16AppendsToAVector) {
    std::vector<uint8_t> v = {0x99};
    eip_PutLitEndian16(0x0102, v);
    EXPECT_EQ(v, (std::vector<uint8_t>{0x99, 0x02, 0x01}));
}

TEST(ByteOrder, PutBigEndian16WritesHighByteFirst) {
    uint8_t b[2] = {};
    eip_PutBigEndian16(0x08AE, b);  // port 2222 in a socket address
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(b[1], 0xAE);
}

TEST(ByteOrder, GetLitEndianReadsWhatPutWrote) {
    uint8_t b[4] = {};
    for (uint32_t value : {0u, 1u, 0x80u, 0xFFFFu, 0x12345678u, 0xFFFFFFFFu, 0x80000000u}) {
        eip_PutLitEndian32(value, b);
        EXPECT_EQ(eip_GetLitEndian32(b), value);
        eip_PutLitEndian16(static_cast<uint16_t>(value), b);
        EXPECT_EQ(eip_GetLitEndian16(b), static_cast<uint16_t>(value));
    }
    const uint8_t raw[2] = {0x34, 0x12};
    EXPECT_EQ(eip_GetLitEndian16(raw), 0x1234);
}

TEST(ByteOrder, FloatKeepsItsIeeeBitPattern) {
    uint8_t b[4] = {};
    eip_PutLitEndianFloat(1.0f, b);
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 0x00);
    EXPECT_EQ(b[2], 0x80);
    EXPECT_EQ(b[3], 0x3F);
    for (float value : {0.0f, -0.0f, 3.14159f, -1e30f, std::numeric_limits<float>::denorm_min(),
                        std::numeric_limits<float>::infinity()}) {
        eip_PutLitEndianFloat(value, b);
        const float back = eip_GetLitEndianFloat(b);
        EXPECT_EQ(std::signbit(back), std::signbit(value));
        EXPECT_EQ(back, value);
    }
    eip_PutLitEndianFloat(std::numeric_limits<float>::quiet_NaN(), b);
    EXPECT_TRUE(std::isnan(eip_GetLitEndianFloat(b)));
}

TEST(ByteOrder, ByteMoveCopiesOverlappingRanges) {
    uint8_t b[6] = {1, 2, 3, 4, 5, 6};
    eip_ByteMove(b + 1, b, 4);
    EXPECT_EQ(b[1], 1);
    EXPECT_EQ(b[4], 4);
    EXPECT_EQ(b[5], 6);
    eip_ByteMove(nullptr, nullptr, 0);  // nothing to move is fine
}

TEST(TrimString, RemovesOnlySpacesAtBothEnds) {
    std::string s = "  Tank 1 level   ";
    Tessel_TrimString(s);
    EXPECT_EQ(s, "Tank 1 level");
}

TEST(TrimString, LeavesTabsAndLineEndsInPlace) {
    std::string s = "\t value \t";
    Tessel_TrimString(s);
    EXPECT_EQ(s, "\t value \t");
    std::string t = " x\n ";
    Tessel_TrimString(t);
    EXPECT_EQ(t, "x\n");
}

TEST(TrimString, EmptyAndAllSpaceBecomeEmpty) {
    std::string empty;
    Tessel_TrimString(empty);
    EXPECT_EQ(empty, "");
    std::string spaces = "     ";
    Tessel_TrimString(spaces);
    EXPECT_EQ(spaces, "");
    std::string one = " a";
    Tessel_TrimString(one);
    EXPECT_EQ(one, "a");
}

TEST(IsRealNumberStr, AcceptsSignedDecimalsWithSpacesAround) {
    EXPECT_TRUE(IsRealNumberStr("-1.5"));
    EXPECT_TRUE(IsRealNumberStr(" -1.5"));
    EXPECT_TRUE(IsRealNumberStr("-1.5 "));
    EXPECT_TRUE(IsRealNumberStr("  +42  "));
    EXPECT_TRUE(IsRealNumberStr(".5"));
    EXPECT_TRUE(IsRealNumberStr("0"));
    EXPECT_TRUE(IsRealNumberStr("007.250"));
}

TEST(IsRealNumberStr, RefusesWhatIsNotAPlainDecimal) {
    EXPECT_FALSE(IsRealNumberStr(nullptr));
    EXPECT_FALSE(IsRealNumberStr(""));
    EXPECT_FALSE(IsRealNumberStr("   "));
    EXPECT_FALSE(IsRealNumberStr("1."));
    EXPECT_FALSE(IsRealNumberStr("1e3"));
    EXPECT_FALSE(IsRealNumberStr("1.2.3"));
    EXPECT_FALSE(IsRealNumberStr("--1"));
    EXPECT_FALSE(IsRealNumberStr("- 1"));
    EXPECT_FALSE(IsRealNumberStr("1 2"));
    EXPECT_FALSE(IsRealNumberStr("0x10"));
    EXPECT_FALSE(IsRealNumberStr("\t1"));  // only spaces are trimmed
    EXPECT_FALSE(IsRealNumberStr("nan"));
    EXPECT_FALSE(IsRealNumberStr("+"));
}

TEST(Records, FreshTagInfoIsAllZeroAndEmpty) {
    const _eipTagInfo info;
    EXPECT_EQ(info.family, EIP_PROTOCOL_FAMILY_PCCC);
    EXPECT_TRUE(info.alias.empty() && info.tagName.empty() && info.plc5Address.empty() &&
                info.description.empty());
    EXPECT_EQ(info.outputType, EIP_OUTPUT_TYPE_UNKNOWN);
    EXPECT_EQ(info.rwFlag, 0);
    EXPECT_EQ(info.innerType, 0);
    EXPECT_EQ(info.structHandle, 0);
    EXPECT_EQ(info.dataLen, 0);
    EXPECT_EQ(info.elementCount, 0);
}

TEST(Records, CopiedTagInfoKeepsEveryField) {
    _eipTagInfo info;
    info.family = EIP_PROTOCOL_FAMILY_CIP;
    info.alias = "speed";
    info.tagName = "Line1.Speed[3]";
    info.plc5Address = "N7:0";
    info.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    info.rwFlag = EIP_RW_FLAG_READ | EIP_RW_FLAG_WRITE;
    info.innerType = EIP_INNER_TYPE_STRUCTURE;
    info.structHandle = EIP_STRING_STRUCT_HANDLE;
    info.dataLen = 88;
    info.description = "line speed";
    info.elementCount = 4;

    _eipTagInfo copy(info);
    _eipTagInfo assigned;
    assigned = info;
    for (const _eipTagInfo* c : {&copy, &assigned}) {
        EXPECT_EQ(c->family, EIP_PROTOCOL_FAMILY_CIP);
        EXPECT_EQ(c->alias, "speed");
        EXPECT_EQ(c->tagName, "Line1.Speed[3]");
        EXPECT_EQ(c->plc5Address, "N7:0");
        EXPECT_EQ(c->outputType, EIP_OUTPUT_TYPE_DEFAULT);
        EXPECT_EQ(c->rwFlag, 3);
        EXPECT_EQ(c->innerType, 672);
        EXPECT_EQ(c->structHandle, 0x0FCE);
        EXPECT_EQ(c->dataLen, 88);
        EXPECT_EQ(c->description, "line speed");
        EXPECT_EQ(c->elementCount, 4);
    }
}

TEST(Records, ConnectInfoDefaultsToCipOnTheEncapsulationPort) {
    const _eipConnectInfo info;
    EXPECT_EQ(info.port, 44818);
    EXPECT_EQ(info.slot, 0);
    EXPECT_EQ(info.family, EIP_PROTOCOL_FAMILY_CIP);
}

TEST(Records, InnerTypeCodesAreTheCipElementaryTypes) {
    EXPECT_EQ(EIP_INNER_TYPE_BOOL, 193);
    EXPECT_EQ(EIP_INNER_TYPE_SINT, 194);
    EXPECT_EQ(EIP_INNER_TYPE_INT, 195);
    EXPECT_EQ(EIP_INNER_TYPE_DINT, 196);
    EXPECT_EQ(EIP_INNER_TYPE_REAL, 202);
    EXPECT_EQ(EIP_INNER_TYPE_STRING, 208);
    EXPECT_EQ(EIP_INNER_TYPE_BITARRAY, 211);
    EXPECT_EQ(EIP_INNER_TYPE_STRING2, 213);
    EXPECT_EQ(EIP_INNER_TYPE_SHORT_STRING, 218);
    EXPECT_EQ(EIP_INNER_TYPE_STRUCTURE, 672);
}

}  // namespace
