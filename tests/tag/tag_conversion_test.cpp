#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/hex.h"
#include "support/log_capture.h"
#include "tag/eip_tag.h"

using kestrel::strata_sdk::Variant;
using tb_test::Hex;

namespace {

// A tag of one family and inner type, parsed from a name (Logix) or an address (PCCC).
std::unique_ptr<EipTag> MakeTag(ProtocolFamily family, int32_t innerType,
                                const std::string& name = "Tag1", int32_t dataLen = 0,
                                uint16_t structHandle = 0) {
    std::unique_ptr<EipTag> tag(EipTag::Create(family));
    TagInfo info;
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
    return MakeTag(kFamilyCip, innerType, "Tag1", dataLen);
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
    PutLittleEndianFloat(value, bytes.data());
    return bytes;
}

// Numbers are written exactly as given or refused: text must be wholly a number, and the number
// must lie in the tag type's range.
TEST(NumberConversion, ValuesAreWrittenAsGivenOrRefused) {
    struct Case {
        int32_t type;
        int32_t dataLen;
        Variant value;
        std::vector<uint8_t> written;  // empty: refused (-1)
    };
    const Case cases[] = {
        {kInnerTypeInt, 0, Variant("1234"), {0xD2, 0x04}},
        {kInnerTypeInt, 0, Variant(" -2 "), {0xFE, 0xFF}},
        {kInnerTypeInt, 0, Variant(int64_t{-32768}), {0x00, 0x80}},
        {kInnerTypeInt, 0, Variant(true), {0x01, 0x00}},
        {kInnerTypeInt, 0, Variant(), {0x00, 0x00}},
        {kInnerTypeInt, 0, Variant("70000"), {}},
        {kInnerTypeInt, 0, Variant(int64_t{70000}), {}},
        {kInnerTypeInt, 0, Variant(uint64_t{0x12345}), {}},
        {kInnerTypeInt, 0, Variant("12abc"), {}},
        {kInnerTypeInt, 0, Variant("abc"), {}},
        {kInnerTypeInt, 0, Variant(""), {}},
        {kInnerTypeInt, 0, Variant(1.5), {}},
        {kInnerTypeInt, 0, Variant::new_map(), {}},
        {kInnerTypeSint, 0, Variant(int64_t{-128}), {0x80}},
        {kInnerTypeSint, 0, Variant(int64_t{300}), {}},
        {kInnerTypeSint, 0, Variant(int64_t{128}), {}},
        {kInnerTypeDint, 0, Variant(int64_t{-1}), {0xFF, 0xFF, 0xFF, 0xFF}},
        {kInnerTypeDint, 0, Variant("2147483647"), {0xFF, 0xFF, 0xFF, 0x7F}},
        {kInnerTypeDint, 0, Variant("2147483648"), {}},
        {kInnerTypeDint, 0, Variant(uint64_t{UINT64_MAX}), {}},
        {kInnerTypeDint, 0, Variant("99999999999999999999"), {}},
        // Every integer type at both its limits and one beyond.
        {kInnerTypeSint, 0, Variant(int64_t{127}), {0x7F}},
        {kInnerTypeSint, 0, Variant(int64_t{-129}), {}},
        {kInnerTypeInt, 0, Variant(int64_t{32767}), {0xFF, 0x7F}},
        {kInnerTypeInt, 0, Variant(int64_t{-32769}), {}},
        {kInnerTypeDint, 0, Variant(int64_t{INT32_MIN}), {0, 0, 0, 0x80}},
        {kInnerTypeDint, 0, Variant(int64_t{-2147483649}), {}},
        {kInnerTypeUsint, 0, Variant(int64_t{255}), {0xFF}},
        {kInnerTypeUsint, 0, Variant(int64_t{256}), {}},
        {kInnerTypeUsint, 0, Variant(int64_t{-1}), {}},
        {kInnerTypeUint, 0, Variant(int64_t{65535}), {0xFF, 0xFF}},
        {kInnerTypeUint, 0, Variant(int64_t{65536}), {}},
        {kInnerTypeUint, 0, Variant(int64_t{-1}), {}},
        {kInnerTypeUdint, 0, Variant(int64_t{UINT32_MAX}), {0xFF, 0xFF, 0xFF, 0xFF}},
        {kInnerTypeUdint, 0, Variant(int64_t{4294967296}), {}},
        {kInnerTypeUdint, 0, Variant(int64_t{-1}), {}},
        {kInnerTypeLint, 0, Variant(int64_t{INT64_MIN}), {0, 0, 0, 0, 0, 0, 0, 0x80}},
        {kInnerTypeLint,
         0,
         Variant(int64_t{INT64_MAX}),
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
        {kInnerTypeLint, 0, Variant("-9223372036854775809"), {}},
        {kInnerTypeLint, 0, Variant(uint64_t{9223372036854775808u}), {}},
        {kInnerTypeUlint, 0, Variant(uint64_t{UINT64_MAX}), std::vector<uint8_t>(8, 0xFF)},
        {kInnerTypeUlint, 0, Variant(int64_t{-1}), {}},
        {kInnerTypeUlint, 0, Variant("18446744073709551616"), {}},
        {kInnerTypeBool, 1, Variant(int64_t{256}), {}},
        {kInnerTypeBool, 1, Variant(int64_t{-129}), {}},
        // BOOL: width from dataLen, the byte sign-extended; true / false in any letter case.
        {kInnerTypeBool, 1, Variant(int64_t{255}), {0xFF}},
        {kInnerTypeBool, 2, Variant(int64_t{255}), {0xFF, 0xFF}},
        {kInnerTypeBool, 4, Variant(int64_t{1}), {1, 0, 0, 0}},
        {kInnerTypeBool, 1, Variant("TRUE"), {1}},
        {kInnerTypeBool, 1, Variant("False"), {0}},
        {kInnerTypeBool, 1, Variant("true"), {1}},
        {kInnerTypeBool, 1, Variant("7"), {7}},
        {kInnerTypeBool, 1, Variant(false), {0}},
        {kInnerTypeBool, 1, Variant("is false"), {}},
        {kInnerTypeBool, 4, Variant(int64_t{0x180}), {}},
        {kInnerTypeBool, 1, Variant(2.0), {}},
        {kInnerTypeBool, 3, Variant(int64_t{1}), {}},
        {kInnerTypeBool, 0, Variant(int64_t{1}), {}},
        // REAL: plain decimal text only; other kinds become single precision.
        {kInnerTypeReal, 0, Variant("1e3"), {}},
        {kInnerTypeReal, 0, Variant("1."), {}},
        {kInnerTypeReal, 0, Variant(" -1.5 "), FloatBytes(-1.5f)},
        {kInnerTypeReal, 0, Variant(".5"), FloatBytes(0.5f)},
        {kInnerTypeReal, 0, Variant(true), FloatBytes(1.0f)},
        {kInnerTypeReal, 0, Variant(), FloatBytes(0.0f)},
        {kInnerTypeReal, 0, Variant(int64_t{3}), FloatBytes(3.0f)},
        {kInnerTypeReal, 0, Variant(2.25), FloatBytes(2.25f)},
        {kInnerTypeReal, 0, Variant::new_map(), {}},
        {kInnerTypeReal, 0, Variant(-3.4028234663852886e+38), {0xFF, 0xFF, 0x7F, 0xFF}},
        {kInnerTypeReal, 0, Variant(1e39), {}},
        {kInnerTypeLreal,
         0,
         Variant(1.7976931348623157e+308),
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0x7F}},
    };
    for (const Case& test : cases) {
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

TEST(NumberConversion, RefusalsSayWhyTooSmallBuffersAreMinusTwoAndOtherTypesWriteNothing) {
    tb_test::LogCapture log;
    EXPECT_EQ(Json2Raw(*LogixTag(kInnerTypeInt), Variant("70000")).result, -1);
    EXPECT_TRUE(log.Contains("number 70000 out of range of 0x00C3, value refused")) << log.All();
    const std::pair<int32_t, uint16_t> tooSmall[] = {
        {kInnerTypeSint, 0}, {kInnerTypeDint, 3}, {kInnerTypeReal, 3}};
    for (const auto& [type, size] : tooSmall) {
        EXPECT_EQ(Json2Raw(*LogixTag(type), Variant(int64_t{1}), size).result, -2) << type;
    }
    EXPECT_EQ(Json2Raw(*LogixTag(kInnerTypeBool, 2), Variant(int64_t{1}), 1).result, -2);
    for (int32_t code : {204, 0}) {
        EXPECT_EQ(Json2Raw(*LogixTag(code), Variant(int64_t{1})).result, 0) << code;
    }
}

// Texts are written with the length prefix of their type and refused, never cut, when longer
// than the type holds or than the buffer; STRING2 is UTF-16 with the character count; a PLC5
// string swaps its character pairs in an 84-byte element; other structures and non-texts are
// refused, and the Logix-only string types write nothing to a PLC5.
TEST(StringConversion, TextsAreWrittenWithTheirPrefixOrRefusedWhole) {
    auto standard = [] { return MakeTag(kFamilyCip, kInnerTypeStructure, "s", 0, 0x0FCE); };
    auto logix = [](int32_t type) { return [type] { return LogixTag(type); }; };
    auto plc5 = [](int32_t type, const char* address) {
        return [=] { return MakeTag(kFamilyPccc, type, address); };
    };
    struct Case {
        std::function<std::unique_ptr<EipTag>()> tag;
        Variant value;
        uint16_t size;
        int32_t result;
        std::vector<uint8_t> front = {};  // the written bytes start with these
    };
    const std::string e = "\xC3\xA9\xE2\x82\xAC";  // "é€": 5 UTF-8 bytes, two UTF-16 characters
    const Case cases[] = {
        {standard, Variant(std::string(82, 'q')), 256, 86, Hex("52 00 00 00 'q'")},
        {standard, Variant(std::string(83, 'q')), 256, -1},
        {standard, Variant("ab"), 3, -1},
        {standard, Variant(""), 4, 4, Hex("00 00 00 00")},
        {standard, Variant("ab"), 5, -1},
        {[] { return MakeTag(kFamilyCip, kInnerTypeStructure, "s", 0, 0x1234); }, Variant("ab"), 64,
         -1},
        {logix(kInnerTypeShortString), Variant("AB"), 64, 3, Hex("02 'AB'")},
        {logix(kInnerTypeShortString), Variant(std::string(255, 'x')), 256, 256},
        {logix(kInnerTypeShortString), Variant(std::string(256, 'x')), 400, -1},
        {logix(kInnerTypeString), Variant("abc"), 5, 5, Hex("03 00 'abc'")},
        {logix(kInnerTypeString), Variant(""), 2, 2, Hex("00 00")},
        {logix(kInnerTypeString), Variant("abc"), 4, -1},
        {logix(kInnerTypeString), Variant("abc"), 1, -1},
        {logix(kInnerTypeString), Variant(), 64, -1},
        {logix(kInnerTypeString), Variant(int64_t{5}), 64, -1},
        {logix(kInnerTypeString2), Variant("AB"), 64, 6, Hex("02 00 41 00 42 00")},
        {logix(kInnerTypeString2), Variant(e), 64, 6, Hex("02 00 E9 00 AC 20")},
        {logix(kInnerTypeString2), Variant("A\xFF"), 64, -1},
        {logix(kInnerTypeString2), Variant("AB"), 5, -1},
        {plc5(kInnerTypeString, "ST10:0"), Variant("ABCD"), 84, 6, Hex("04 00 'BADC'")},
        {plc5(kInnerTypeString, "ST10:0"), Variant(""), 84, 2},
        {plc5(kInnerTypeString, "ST10:0"), Variant("ABC"), 83, -1},
        {plc5(kInnerTypeString, "ST10:0"), Variant(std::string(82, 'z')), 84, 84},
        {plc5(kInnerTypeString, "ST10:0"), Variant(std::string(83, 'z')), 84, -1},
        {plc5(kInnerTypeString, "ST10:0"), Variant(int64_t{1}), 84, -1},
        {plc5(kInnerTypeString2, "N7:0"), Variant("x"), 64, 0},
        {plc5(kInnerTypeShortString, "N7:0"), Variant("x"), 64, 0},
        {plc5(kInnerTypeStructure, "N7:0"), Variant("x"), 64, 0},
        {plc5(kInnerTypeInt, "N7:0"), Variant("7000"), 64, 2, Hex("58 1B")},
        {plc5(kInnerTypeInt, "N7:0"), Variant("70000"), 64, -1},
    };
    tb_test::LogCapture log;
    for (const Case& c : cases) {
        const auto out = Json2Raw(*c.tag(), c.value, c.size);
        const std::string label = kestrel::strata_sdk::json::to_json_string(c.value).substr(0, 20) +
                                  " in " + std::to_string(c.size);
        EXPECT_EQ(out.result, c.result) << label;
        EXPECT_EQ(
            std::vector<uint8_t>(out.whole.begin(),
                                 out.whole.begin() + std::min(out.whole.size(), c.front.size())),
            c.front)
            << label;
    }
    EXPECT_TRUE(log.Contains("string too long, 83 bytes for at most 82, value refused"));
    // The whole PLC5 element is written: pairs swapped, the rest zero.
    std::vector<uint8_t> element(84, 0);
    element[0] = 3;
    element[2] = 'B';
    element[3] = 'A';
    element[5] = 'C';
    EXPECT_EQ(Json2Raw(*plc5(kInnerTypeString, "ST10:0")(), Variant("ABC"), 84).whole, element);
}

// A write of a whole tag: one value for one element; an array padded with zero elements, never
// more elements than the tag holds; any element that fails, or outgrows the buffer, fails all.
TEST(WholeWrite, ArraysFillTheTagOrFailWhole) {
    struct Case {
        int32_t type;
        const char* name;
        Variant value;
        uint16_t size;
        int32_t result;
        std::vector<uint8_t> bytes = {};
    };
    const Variant one(int64_t{1});
    const Case cases[] = {
        {kInnerTypeDint, "Tag1", Variant(int64_t{5}), 256, 4, Hex("05 00 00 00")},
        {kInnerTypeDint, "Tag1", Array({Variant(int64_t{6})}), 256, 4, Hex("06 00 00 00")},
        {kInnerTypeDint, "arr[0~2]", Array({one}), 256, 12,
         Hex("01 00 00 00 00 00 00 00 00 00 00 00")},
        {kInnerTypeDint, "arr[0~2]", Array({one, one, one, one}), 256, -1},
        {kInnerTypeDint, "arr[0~2]", one, 256, -1},
        {kInnerTypeDint, "arr[0~2]", Array({one}), 11, -2},
        {kInnerTypeReal, "arr[0~1]", Array({Variant(1.5), Variant("x")}), 256, -1},
        {kInnerTypeReal, "arr[0~1]", Array({Variant(1.5), Variant("2")}), 256, 8,
         Hex("0000C03F 00000040")},
        {kInnerTypeString, "s[0~1]", Array({Variant("abcd"), Variant("efgh")}), 11, -1},
        {kInnerTypeString, "s[0~1]", Array({Variant("abcd"), Variant("efgh")}), 12, 12},
    };
    for (const Case& c : cases) {
        const auto out = Vexa2Raw(*MakeTag(kFamilyCip, c.type, c.name), c.value, c.size);
        EXPECT_EQ(out.result, c.result)
            << c.name << " " << kestrel::strata_sdk::json::to_json_string(c.value);
        if (!c.bytes.empty()) {
            EXPECT_EQ(out.bytes, c.bytes) << c.name;
        }
    }
}

}  // namespace
