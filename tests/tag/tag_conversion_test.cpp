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

// Integers are written exactly as given or refused with the reason: text must be wholly a
// number, and the number must lie in the tag type's range.
TEST(IntegerConversion, ValuesAreWrittenAsGivenOrRefused) {
    struct Case {
        int32_t type;
        int32_t dataLen;
        Variant value;
        std::vector<uint8_t> written;  // empty: refused (-1)
    };
    const Case cases[] = {
        {EIP_INNER_TYPE_INT, 0, Variant("1234"), {0xD2, 0x04}},
        {EIP_INNER_TYPE_INT, 0, Variant(" -2 "), {0xFE, 0xFF}},
        {EIP_INNER_TYPE_INT, 0, Variant(int64_t{-32768}), {0x00, 0x80}},
        {EIP_INNER_TYPE_INT, 0, Variant(true), {0x01, 0x00}},
        {EIP_INNER_TYPE_INT, 0, Variant(), {0x00, 0x00}},
        {EIP_INNER_TYPE_INT, 0, Variant("70000"), {}},
        {EIP_INNER_TYPE_INT, 0, Variant(int64_t{70000}), {}},
        {EIP_INNER_TYPE_INT, 0, Variant(uint64_t{0x12345}), {}},
        {EIP_INNER_TYPE_INT, 0, Variant("12abc"), {}},
        {EIP_INNER_TYPE_INT, 0, Variant("abc"), {}},
        {EIP_INNER_TYPE_INT, 0, Variant(""), {}},
        {EIP_INNER_TYPE_INT, 0, Variant(1.5), {}},
        {EIP_INNER_TYPE_INT, 0, Variant::new_map(), {}},
        {EIP_INNER_TYPE_SINT, 0, Variant(int64_t{-128}), {0x80}},
        {EIP_INNER_TYPE_SINT, 0, Variant(int64_t{300}), {}},
        {EIP_INNER_TYPE_SINT, 0, Variant(int64_t{128}), {}},
        {EIP_INNER_TYPE_DINT, 0, Variant(int64_t{-1}), {0xFF, 0xFF, 0xFF, 0xFF}},
        {EIP_INNER_TYPE_DINT, 0, Variant("2147483647"), {0xFF, 0xFF, 0xFF, 0x7F}},
        {EIP_INNER_TYPE_DINT, 0, Variant("2147483648"), {}},
        {EIP_INNER_TYPE_DINT, 0, Variant(uint64_t{UINT64_MAX}), {}},
        {EIP_INNER_TYPE_DINT, 0, Variant("99999999999999999999"), {}},
        // BOOL: width from dataLen, the byte sign-extended; true / false in any letter case.
        {EIP_INNER_TYPE_BOOL, 1, Variant(int64_t{255}), {0xFF}},
        {EIP_INNER_TYPE_BOOL, 2, Variant(int64_t{255}), {0xFF, 0xFF}},
        {EIP_INNER_TYPE_BOOL, 4, Variant(int64_t{1}), {1, 0, 0, 0}},
        {EIP_INNER_TYPE_BOOL, 1, Variant("TRUE"), {1}},
        {EIP_INNER_TYPE_BOOL, 1, Variant("False"), {0}},
        {EIP_INNER_TYPE_BOOL, 1, Variant("true"), {1}},
        {EIP_INNER_TYPE_BOOL, 1, Variant("7"), {7}},
        {EIP_INNER_TYPE_BOOL, 1, Variant(false), {0}},
        {EIP_INNER_TYPE_BOOL, 1, Variant("is false"), {}},
        {EIP_INNER_TYPE_BOOL, 4, Variant(int64_t{0x180}), {}},
        {EIP_INNER_TYPE_BOOL, 1, Variant(2.0), {}},
        {EIP_INNER_TYPE_BOOL, 3, Variant(int64_t{1}), {}},
        {EIP_INNER_TYPE_BOOL, 0, Variant(int64_t{1}), {}},
    };
    for (const Case& test : cases) {
        tb_test::LogCapture log;
        const auto out = Json2Raw(*LogixTag(test.type, test.dataLen), test.value);
        const std::string label =
            std::to_string(test.type) + " " + kestrel::strata_sdk::json::to_json_string(test.value);
        if (test.written.empty()) {
            EXPECT_EQ(out.result, -1) << label;
        } else {
            EXPECT_EQ(out.bytes, test.written) << label;
        }
    }
}

TEST(IntegerConversion, RefusalsSayWhyAndTooSmallBuffersAreMinusTwo) {
    tb_test::LogCapture log;
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_INT), Variant("70000")).result, -1);
    EXPECT_TRUE(log.Contains("number 70000 out of range of 0x00C3, value refused")) << log.All();
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_INT), Variant("12abc")).result, -1);
    EXPECT_TRUE(log.Contains("text is not a whole number: \"12abc\"")) << log.All();
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_SINT), Variant(int64_t{1}), 0).result, -2);
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_DINT), Variant(int64_t{1}), 3).result, -2);
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_BOOL, 2), Variant(int64_t{1}), 1).result, -2);
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

// A text longer than the string holds is refused, never written cut.
TEST(StringConversion, TextLongerThanTheStringIsRefusedWholeTextsFit) {
    tagtest::LogCapture log;
    auto standard = MakeTag(EIP_PROTOCOL_FAMILY_CIP, EIP_INNER_TYPE_STRUCTURE, "s", 0, 0x0FCE);
    auto out = Json2Raw(*standard, Variant(std::string(82, 'q')), 256);
    ASSERT_EQ(out.result, 86);
    EXPECT_EQ(std::vector<uint8_t>(out.bytes.begin(), out.bytes.begin() + 4), Bytes({82, 0, 0, 0}));
    EXPECT_EQ(Json2Raw(*standard, Variant(std::string(83, 'q')), 256).result, -1);
    EXPECT_TRUE(log.Contains("string too long, 83 bytes for at most 82, value refused"))
        << log.All();
    auto shortString = LogixTag(EIP_INNER_TYPE_SHORT_STRING);
    EXPECT_EQ(Json2Raw(*shortString, Variant(std::string(255, 'x')), 256).result, 256);
    EXPECT_EQ(Json2Raw(*shortString, Variant(std::string(256, 'x')), 400).result, -1);
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

TEST(StringConversion, ShortStringUsesOneBytePrefix) {
    EXPECT_EQ(Json2Raw(*LogixTag(EIP_INNER_TYPE_SHORT_STRING), Variant("AB")).bytes,
              Bytes({2, 'A', 'B'}));
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

TEST(PcccStringConversion, RefusesMoreThan82AndNeedsAWholeElement) {
    tagtest::LogCapture log;
    auto tag = MakeTag(EIP_PROTOCOL_FAMILY_PCCC, EIP_INNER_TYPE_STRING, "ST10:0");
    EXPECT_EQ(Json2Raw(*tag, Variant("ABC"), 83).result, -1);
    EXPECT_TRUE(
        log.Contains("ConvertJson2Raw, converting failed, dest buffsize=83, expected "
                     "buffsize=84, dest type=0x00D0, src string length=3"))
        << log.All();
    EXPECT_EQ(Json2Raw(*tag, Variant(std::string(82, 'z')), 84).result, 84);
    EXPECT_EQ(Json2Raw(*tag, Variant(std::string(83, 'z')), 84).result, -1);
    EXPECT_TRUE(log.Contains("string too long, 83 bytes for at most 82, value refused"));
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
    EXPECT_EQ(Json2Raw(*integer, Variant("7000")).bytes, Bytes({0x58, 0x1B}));
    EXPECT_EQ(Json2Raw(*integer, Variant("70000")).result, -1);
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
