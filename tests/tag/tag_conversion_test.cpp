#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tag/eip_tag.h"
#include "tag_test_support.h"

using kestrel::strata_sdk::Variant;
using tagtest::Bytes;

namespace {

// A tag of one family and inner type, parsed from a name (Logix) or an address (PCCC).
std::unique_ptr<EipTag> MakeTag(eipProtocolFamily_t family, int32_t innerType,
                                const std::string& name = "Tag1", int32_t dataLen = 0,
                                uint16_t structHandle = 0) {
    std::unique_ptr<EipTag> tag(EipTag::Create(family));
    _eipTagInfo info;
    info.alias = "t";
    info.tagName = name;
    info.plc5Address = name;
    info.innerType = innerType;
    info.dataLen = dataLen;
    info.structHandle = structHandle;
    tag->SetInfo(info);
    EXPECT_GT(tag->ParsingTagName(), 0) << name;
    return tag;
}

std::unique_ptr<EipTag> LogixTag(int32_t innerType, int32_t dataLen = 0) {
    return MakeTag(EIP_PROTOCOL_FAMILY_CIP, innerType, "Tag1", dataLen);
}

// Runs one conversion into a buffer of `size` bytes guarded by canaries on both sides, and
// checks that nothing outside the buffer was touched.
struct Converted {
    int32_t result;
    std::vector<uint8_t> bytes;  // the buffer's first max(result, 0) bytes
    std::vector<uint8_t> whole;  // the whole buffer
};

template <typename Convert>
Converted Run(Convert convert, uint16_t size) {
    constexpr uint8_t kCanary = 0xA5;
    std::vector<uint8_t> area(size + 32, kCanary);
    uint8_t* buffer = area.data() + 16;
    const int32_t result = convert(buffer, size);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(area[i], kCanary) << "written before the buffer";
        EXPECT_EQ(area[16 + size + i], kCanary) << "written past the buffer";
    }
    Converted out{result, {}, std::vector<uint8_t>(buffer, buffer + size)};
    if (result > 0) {
        out.bytes.assign(buffer, buffer + result);
    }
    return out;
}

Converted Json2Raw(const EipTag& tag, const Variant& value, uint16_t size = 64) {
    return Run([&](uint8_t* b, uint16_t s) { return tag.ConvertJson2Raw(value, b, s); }, size);
}

Converted Vexa2Raw(const EipTag& tag, const Variant& value, uint16_t size = 256) {
    return Run([&](uint8_t* b, uint16_t s) { return tag.ConvertVexa2Raw(value, b, s); }, size);
}

Variant Array(std::initializer_list<Variant> values) {
    return Variant(Variant::ArrayType(values));
}

std::vector<uint8_t> FloatBytes(float value) {
    std::vector<uint8_t> bytes(4);
    eip_PutLitEndianFloat(value, bytes.data());
    return bytes;
}

TEST(IntegerConversion, IntTakesTheLowSixteenBitsOfTextAndNumbers) {
    auto tag = LogixTag(EIP_INNER_TYPE_INT);
    auto text = Json2Raw(*tag, Variant("70000"));
    EXPECT_EQ(text.result, 2);
    EXPECT_EQ(text.bytes, Bytes({0x70, 0x11}));
    EXPECT_EQ(Json2Raw(*tag, Variant(int64_t{-2})).bytes, Bytes({0xFE, 0xFF}));
    EXPECT_EQ(Json2Raw(*tag, Variant(uint64_t{0x12345})).bytes, Bytes({0x45, 0x23}));
    EXPECT_EQ(Json2Raw(*tag, Variant(true)).bytes, Bytes({0x01, 0x00}));
    EXPECT_EQ(Json2Raw(*tag, Variant()).bytes, Bytes({0x00, 0x00}));
    EXPECT_EQ(Json2Raw(*tag, Variant("12abc")).bytes, Bytes({12, 0}));
    EXPECT_EQ(Json2Raw(*tag, Variant("abc")).bytes, Bytes({0, 0}));
}

TEST(IntegerConversion, DoublesMapsAndArraysAreRefused) {
    auto tag = LogixTag(EIP_INNER_TYPE_INT);
    EXPECT_EQ(Json2Raw(*tag, Variant(1.5)).result, -1);
    EXPECT_EQ(Json2Raw(*tag, Variant::new_map()).result, -1);
    EXPECT_EQ(Json2Raw(*tag, Variant::new_array()).result, -1);
}

TEST(IntegerConversion, SintAndDintWidthsAndTooSmallBuffers) {
    auto sint = LogixTag(EIP_INNER_TYPE_SINT);
    EXPECT_EQ(Json2Raw(*sint, Variant(int64_t{300})).bytes, Bytes({0x2C}));
    EXPECT_EQ(Json2Raw(*sint, Variant(int64_t{1}), 0).result, -2);
    auto dint = LogixTag(EIP_INNER_TYPE_DINT);
    EXPECT_EQ(Json2Raw(*dint, Variant(int64_t{-1})).bytes, Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Json2Raw(*dint, Variant(int64_t{0x01020304})).bytes, Bytes({4, 3, 2, 1}));
    EXPECT_EQ(Json2Raw(*dint, Variant(int64_t{1}), 3).result, -2);
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_INT), Variant(int64_t{1}), 1).result, -2);
}

TEST(BoolConversion, WidthFollowsDataLenWithTheLowByteSignExtended) {
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_BOOL, 1), Variant(int64_t{255})).bytes,
              Bytes({0xFF}));
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_BOOL, 2), Variant(int64_t{255})).bytes,
              Bytes({0xFF, 0xFF}));
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_BOOL, 4), Variant(int64_t{1})).bytes,
              Bytes({1, 0, 0, 0}));
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_BOOL, 4), Variant(int64_t{0x180})).bytes,
              Bytes({0x80, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_BOOL, 3), Variant(int64_t{1})).result, -1);
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_BOOL, 0), Variant(int64_t{1})).result, -1);
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_BOOL, 2), Variant(int64_t{1}), 1).result, -2);
}

TEST(BoolConversion, TextTrueAndFalseAreLowerCaseWordsOtherwiseANumber) {
    auto tag = LogixTag(EIP_INNER_TYPE_BOOL, 1);
    EXPECT_EQ(Json2Raw(*tag, Variant("true")).bytes, Bytes({1}));
    EXPECT_EQ(Json2Raw(*tag, Variant("is false")).bytes, Bytes({0}));
    EXPECT_EQ(Json2Raw(*tag, Variant("TRUE")).bytes, Bytes({0}));
    EXPECT_EQ(Json2Raw(*tag, Variant("7")).bytes, Bytes({7}));
    EXPECT_EQ(Json2Raw(*tag, Variant(false)).bytes, Bytes({0}));
    EXPECT_EQ(Json2Raw(*tag, Variant(2.0)).result, -1);
}

TEST(RealConversion, TextMustBePlainDecimal) {
    auto tag = LogixTag(EIP_INNER_TYPE_REAL);
    EXPECT_EQ(Json2Raw(*tag, Variant("1e3")).result, -1);
    EXPECT_EQ(Json2Raw(*tag, Variant("1.")).result, -1);
    EXPECT_EQ(Json2Raw(*tag, Variant(" -1.5 ")).bytes, FloatBytes(-1.5f));
    EXPECT_EQ(Json2Raw(*tag, Variant(".5")).bytes, FloatBytes(0.5f));
}

TEST(RealConversion, OtherKindsBecomeSinglePrecision) {
    auto tag = LogixTag(EIP_INNER_TYPE_REAL);
    auto fromBool = Json2Raw(*tag, Variant(true));
    EXPECT_EQ(fromBool.result, 4);
    EXPECT_EQ(fromBool.bytes, FloatBytes(1.0f));
    EXPECT_EQ(Json2Raw(*tag, Variant()).bytes, FloatBytes(0.0f));
    EXPECT_EQ(Json2Raw(*tag, Variant(int64_t{3})).bytes, FloatBytes(3.0f));
    EXPECT_EQ(Json2Raw(*tag, Variant(2.25)).bytes, FloatBytes(2.25f));
    EXPECT_EQ(Json2Raw(*tag, Variant::new_map()).result, -1);
    EXPECT_EQ(Json2Raw(*tag, Variant(1.0), 3).result, -2);
}

TEST(OtherTypes, UnhandledCodesWriteNothing) {
    for (int32_t code : {197, 201, 203, EIP_INNER_TYPE_BITARRAY, 0}) {
        EXPECT_EQ(Json2Raw(*LogixTag(code), Variant(int64_t{1})).result, 0) << code;
    }
}

TEST(StringConversion, StandardStringStructureCutsAt82WithFourBytePrefix) {
    tagtest::LogCapture log;
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_STRUCTURE, "s", 0, 0x0FCE);
    const std::string text(100, 'q');
    auto out = Json2Raw(*tag, Variant(text), 256);
    ASSERT_EQ(out.result, 86);
    EXPECT_EQ(std::vector<uint8_t>(out.bytes.begin(), out.bytes.begin() + 4), Bytes({82, 0, 0, 0}));
    EXPECT_EQ(std::string(out.bytes.begin() + 4, out.bytes.end()), std::string(82, 'q'));
    EXPECT_TRUE(log.Contains("(10036): Writing Tag failed. - string too long. 82 limited"))
        << log.All();
}

TEST(StringConversion, StandardStringStructureRefusesBuffersUnderFourBytes) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_STRUCTURE, "s", 0, 0x0FCE);
    for (uint16_t size : {0, 1, 2, 3}) {
        EXPECT_EQ(Json2Raw(*tag, Variant("ab"), size).result, -1) << size;
    }
    EXPECT_EQ(Json2Raw(*tag, Variant(""), 4).result, 4);
    EXPECT_EQ(Json2Raw(*tag, Variant("ab"), 5).result, -1);
}

TEST(StringConversion, OtherStructuresAndNonStringsAreRefusedWithTheirReason) {
    tagtest::LogCapture log;
    auto user = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_STRUCTURE, "s", 0, 0x1234);
    EXPECT_EQ(Json2Raw(*user, Variant("ab")).result, -1);
    EXPECT_TRUE(log.Contains("ConvertJson2Raw : structure type, handle=0x1234")) << log.All();
    auto str = LogixTag(EIP_INNER_TYPE_STRING);
    EXPECT_EQ(Json2Raw(*str, Variant()).result, -1);
    EXPECT_EQ(Json2Raw(*str, Variant(int64_t{5})).result, -1);
    EXPECT_TRUE(
        log.Contains("(10036): Writing Tag failed. - ConvertJson2Raw : variant's type "
                     "mismatch"))
        << log.All();
}

TEST(StringConversion, ShortStringUsesOneBytePrefixUpTo255) {
    auto tag = LogixTag(EIP_INNER_TYPE_SHORT_STRING);
    auto out = Json2Raw(*tag, Variant("AB"));
    EXPECT_EQ(out.bytes, Bytes({2, 'A', 'B'}));
    EXPECT_EQ(Json2Raw(*tag, Variant(std::string(255, 'x')), 256).result, 256);
}

TEST(StringConversion, ShortStringLongerThan255FallsBackToTwoBytePrefix) {
    auto tag = LogixTag(EIP_INNER_TYPE_SHORT_STRING);
    auto out = Json2Raw(*tag, Variant(std::string(300, 'x')), 400);
    ASSERT_EQ(out.result, 302);
    EXPECT_EQ(out.bytes[0], 0x2C);
    EXPECT_EQ(out.bytes[1], 0x01);
}

TEST(StringConversion, StringUsesTwoBytePrefixAndNeedsRoomForAllCharacters) {
    tagtest::LogCapture log;
    auto tag = LogixTag(EIP_INNER_TYPE_STRING);
    EXPECT_EQ(Json2Raw(*tag, Variant("abc"), 5).bytes, Bytes({3, 0, 'a', 'b', 'c'}));
    EXPECT_EQ(Json2Raw(*tag, Variant(""), 2).bytes, Bytes({0, 0}));
    EXPECT_EQ(Json2Raw(*tag, Variant("abc"), 4).result, -1);
    EXPECT_TRUE(
        log.Contains("ConvertJson2Raw, too small buffer, dest buffsize=2, dest "
                     "type=0x00D0, src string length=3"))
        << log.All();
    EXPECT_EQ(Json2Raw(*tag, Variant("abc"), 1).result, -1);
    EXPECT_TRUE(
        log.Contains("ConvertJson2Raw, converting failed, dest buffsize=1, dest "
                     "type=0x00D0, src string length=3"))
        << log.All();
}

TEST(StringConversion, String2WritesUtf16WithTheCharacterCount) {
    auto tag = LogixTag(EIP_INNER_TYPE_STRING2);
    auto out = Json2Raw(*tag, Variant("AB"));
    EXPECT_EQ(out.result, 6);
    EXPECT_EQ(out.bytes, Bytes({0x02, 0x00, 0x41, 0x00, 0x42, 0x00}));
    // "é€" is 5 UTF-8 bytes but two UTF-16 characters.
    auto wide = Json2Raw(*tag, Variant("\xC3\xA9\xE2\x82\xAC"));
    EXPECT_EQ(wide.bytes, Bytes({0x02, 0x00, 0xE9, 0x00, 0xAC, 0x20}));
}

TEST(StringConversion, String2RefusesInvalidUtf8AndTooSmallBuffers) {
    tagtest::LogCapture log;
    auto tag = LogixTag(EIP_INNER_TYPE_STRING2);
    EXPECT_EQ(Json2Raw(*tag, Variant("A\xFF")).result, -1);
    EXPECT_TRUE(
        log.Contains("ConvertJson2Raw, failed to convert from utf8 to utf16, dest "
                     "buffsize=62, src string length=2"))
        << log.All();
    EXPECT_EQ(Json2Raw(*tag, Variant("AB"), 5).result, -1);
    EXPECT_EQ(Json2Raw(*tag, Variant("AB"), 6).result, 6);
}

TEST(PcccStringConversion, SwapsCharacterPairsInAnEightyFourByteElement) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_PCCC, EIP_INNER_TYPE_STRING, "ST10:0");
    auto out = Json2Raw(*tag, Variant("ABC"), 84);
    EXPECT_EQ(out.result, 5);
    std::vector<uint8_t> expected(84, 0);
    expected[0] = 0x03;
    expected[2] = 'B';
    expected[3] = 'A';
    expected[5] = 'C';
    EXPECT_EQ(out.whole, expected);
    auto even = Json2Raw(*tag, Variant("ABCD"), 84);
    EXPECT_EQ(even.bytes, Bytes({4, 0, 'B', 'A', 'D', 'C'}));
    EXPECT_EQ(Json2Raw(*tag, Variant(""), 84).result, 2);
}

TEST(PcccStringConversion, CutsAt82AndNeedsAWholeElement) {
    tagtest::LogCapture log;
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_PCCC, EIP_INNER_TYPE_STRING, "ST10:0");
    EXPECT_EQ(Json2Raw(*tag, Variant("ABC"), 83).result, -1);
    EXPECT_TRUE(
        log.Contains("ConvertJson2Raw, converting failed, dest buffsize=83, expected "
                     "buffsize=84, dest type=0x00D0, src string length=3"))
        << log.All();
    auto out = Json2Raw(*tag, Variant(std::string(90, 'z')), 84);
    EXPECT_EQ(out.result, 84);
    EXPECT_EQ(out.whole[0], 82);
    EXPECT_TRUE(log.Contains("string too long. maximum length = 82"));
    EXPECT_EQ(Json2Raw(*tag, Variant(int64_t{1}), 84).result, -1);
}

TEST(PcccStringConversion, LogixOnlyStringTypesAreUnsupportedAndNumbersFollowLogixRules) {
    tagtest::LogCapture log;
    for (int32_t code :
         {EIP_INNER_TYPE_STRING2, EIP_INNER_TYPE_SHORT_STRING, EIP_INNER_TYPE_STRUCTURE}) {
        auto tag = MakeTag(EIP_PROTOCOL_FAMILY_PCCC, code, "N7:0");
        EXPECT_EQ(Json2Raw(*tag, Variant("x")).result, 0) << code;
    }
    EXPECT_TRUE(log.Contains("ConvertJson2Raw, unsupported type, dest type=0x00DA")) << log.All();
    auto integer = MakeTag(EIP_PROTOCOL_FAMILY_PCCC, EIP_INNER_TYPE_INT, "N7:0");
    EXPECT_EQ(Json2Raw(*integer, Variant("70000")).bytes, Bytes({0x70, 0x11}));
}

TEST(WholeWrite, SingleValueForOneElement) {
    auto tag = LogixTag(EIP_INNER_TYPE_DINT);
    EXPECT_EQ(Vexa2Raw(*tag, Variant(int64_t{5})).bytes, Bytes({5, 0, 0, 0}));
    EXPECT_EQ(Vexa2Raw(*tag, Array({Variant(int64_t{6})})).bytes, Bytes({6, 0, 0, 0}));
}

TEST(WholeWrite, ShortArrayIsPaddedWithZeroElements) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_DINT, "arr[0~2]");
    auto out = Vexa2Raw(*tag, Array({Variant(int64_t{1})}));
    EXPECT_EQ(out.result, 12);
    EXPECT_EQ(out.bytes, Bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(WholeWrite, MoreElementsThanTheTagHoldsIsRefused) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_DINT, "arr[0~2]");
    auto values =
        Array({Variant(int64_t{1}), Variant(int64_t{2}), Variant(int64_t{3}), Variant(int64_t{4})});
    EXPECT_EQ(Vexa2Raw(*tag, values).result, -1);
}

TEST(WholeWrite, ArrayTagNeedsAnArrayValue) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_DINT, "arr[0~2]");
    EXPECT_EQ(Vexa2Raw(*tag, Variant(int64_t{1})).result, -1);
}

TEST(WholeWrite, AnElementThatCannotBeConvertedFailsTheWholeWrite) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_REAL, "arr[0~1]");
    EXPECT_EQ(Vexa2Raw(*tag, Array({Variant(1.5), Variant("x")})).result, -1);
    auto out = Vexa2Raw(*tag, Array({Variant(1.5), Variant("2")}));
    EXPECT_EQ(out.result, 8);
    EXPECT_EQ(out.bytes, tagtest::Concat({FloatBytes(1.5f), FloatBytes(2.0f)}));
}

TEST(WholeWrite, ElementsThatOutgrowTheBufferFailWithoutOverrun) {
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_DINT, "arr[0~2]");
    EXPECT_EQ(Vexa2Raw(*tag, Array({Variant(int64_t{1})}), 11).result, -2);
    auto strings = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_STRING, "s[0~1]");
    EXPECT_EQ(Vexa2Raw(*strings, Array({Variant("abcd"), Variant("efgh")}), 11).result, -1);
    EXPECT_EQ(Vexa2Raw(*strings, Array({Variant("abcd"), Variant("efgh")}), 12).result, 12);
}

}  // namespace
