#include "common/eip_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/eip_variant.h"

namespace {

using kestrel::strata_sdk::Variant;

// Little-endian fields round-trip (floats keep their bit pattern, sign of zero and NaN
// included); the socket address port is the one big-endian field.
TEST(ByteOrder, LittleEndianRoundTripsAndBigEndianPutsHighByteFirst) {
    uint8_t b[4] = {};
    eip_PutLitEndian32(0x01020304, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{4, 3, 2, 1}));
    for (uint32_t value : {0u, 0x80u, 0xFFFFu, 0x12345678u, 0xFFFFFFFFu, 0x80000000u}) {
        eip_PutLitEndian32(value, b);
        EXPECT_EQ(eip_GetLitEndian32(b), value);
        eip_PutLitEndian16(static_cast<uint16_t>(value), b);
        EXPECT_EQ(eip_GetLitEndian16(b), static_cast<uint16_t>(value));
    }
    std::vector<uint8_t> v = {0x99};
    eip_PutLitEndian16(0x0102, v);
    EXPECT_EQ(v, (std::vector<uint8_t>{0x99, 0x02, 0x01}));
    eip_PutBigEndian16(0x08AE, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 2), (std::vector<uint8_t>{0x08, 0xAE}));
    eip_PutLitEndianFloat(1.0f, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{0, 0, 0x80, 0x3F}));
    for (float value : {-0.0f, 3.14159f, -1e30f, std::numeric_limits<float>::denorm_min(),
                        std::numeric_limits<float>::infinity()}) {
        eip_PutLitEndianFloat(value, b);
        EXPECT_EQ(std::signbit(eip_GetLitEndianFloat(b)), std::signbit(value));
        EXPECT_EQ(eip_GetLitEndianFloat(b), value);
    }
    eip_PutLitEndianFloat(std::numeric_limits<float>::quiet_NaN(), b);
    EXPECT_TRUE(std::isnan(eip_GetLitEndianFloat(b)));
    uint8_t overlap[6] = {1, 2, 3, 4, 5, 6};
    eip_ByteMove(overlap + 1, overlap, 4);
    EXPECT_EQ(std::vector<uint8_t>(overlap, overlap + 6), (std::vector<uint8_t>{1, 1, 2, 3, 4, 6}));
}

TEST(TrimString, RemovesOnlySpacesAtBothEnds) {
    const std::pair<std::string, std::string> cases[] = {{"  Tank 1 level   ", "Tank 1 level"},
                                                         {"\t value \t", "\t value \t"},
                                                         {" x\n ", "x\n"},
                                                         {"", ""},
                                                         {"     ", ""},
                                                         {" a", "a"}};
    for (auto [text, trimmed] : cases) {
        Tessel_TrimString(text);
        EXPECT_EQ(text, trimmed);
    }
}

TEST(IsRealNumberStr, AcceptsOnlyPlainSignedDecimalsWithSpacesAround) {
    for (const char* yes : {"-1.5", " -1.5", "-1.5 ", "  +42  ", ".5", "0", "007.250"}) {
        EXPECT_TRUE(IsRealNumberStr(yes)) << yes;
    }
    for (const char* no :
         {"", "   ", "1.", "1e3", "1.2.3", "--1", "- 1", "1 2", "0x10", "\t1", "nan", "+"}) {
        EXPECT_FALSE(IsRealNumberStr(no)) << no;
    }
    EXPECT_FALSE(IsRealNumberStr(nullptr));
}

TEST(VariantSize, CountsArrayElementsAndIsZeroForEveryOtherKind) {
    EXPECT_EQ(Size(Variant(Variant::ArrayType{1, "two", 3.0, Variant::new_map()})), 4u);
    Variant map = Variant::new_map();
    map["a"] = 1;
    for (const Variant& other : {map, Variant("text"), Variant(), Variant(true), Variant(2.5)}) {
        EXPECT_EQ(Size(other), 0u);
    }
}

}  // namespace
