// Raw PLC bytes to broker values: numbers, arrays, BOOL widths of both families, the string
// records, hexadecimal text, and the publishing of values on tag and subtag nodes.

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "node/eip_node.h"
#include "node/node_test_support.h"
#include "support/hex.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using node_test::LogCapture;
using node_test::WaitUntil;
using sdk::NodePath;
using sdk::Variant;
using Bytes = std::vector<uint8_t>;
using tb_test::Cat;
using tb_test::Hex;

TagInfo Tag(int innerType, ProtocolFamily family = kFamilyCip) {
    TagInfo tag = node_test::MakeTag("t", kRwFlagRead, innerType, 0);
    tag.family = family;
    return tag;
}

Variant Convert(const TagInfo& tag, const Bytes& bytes) {
    return EipNode::ConvertTagValue(tag, bytes.data(), static_cast<uint16_t>(bytes.size()));
}

Variant Array(std::vector<Variant> values) {
    return Variant(Variant::ArrayType(std::move(values)));
}

Bytes Real(float value) {
    Bytes bytes(4);
    PutLittleEndianFloat(value, bytes.data());
    return bytes;
}

// One CIP STRING / SHORT STRING record.
Bytes CipString(const std::string& text) {
    Bytes bytes;
    PutLittleEndian16(static_cast<uint16_t>(text.size()), bytes);
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

// One 88-byte record of the controller's STRING structure.
Bytes StringStruct(const std::string& text, uint32_t declared) {
    Bytes bytes(88, 0);
    PutLittleEndian32(declared, bytes.data());
    std::memcpy(bytes.data() + 4, text.data(), std::min<size_t>(text.size(), 84));
    return bytes;
}

TagInfo Plc5(int innerType, int16_t dataLen = 0) {
    TagInfo tag = Tag(innerType, kFamilyPccc);
    tag.dataLen = dataLen;
    return tag;
}

TagInfo Struct(uint32_t handle) {
    TagInfo tag = Tag(kInnerTypeStructure);
    tag.structHandle = handle;
    return tag;
}

TEST(TypeToValueTypeTest, BoolAndNumbersBecomeArraysPastOneElementOtherTypesAreStrings) {
    const int boolean = static_cast<int>(sdk::ValueType::Bool);
    const int number = static_cast<int>(sdk::ValueType::Number);
    const int array = static_cast<int>(sdk::ValueType::Array);
    const int string = static_cast<int>(sdk::ValueType::String);
    // family (1 Logix, 0 PLC5), type, data length, value type
    const int cases[][4] = {
        {1, kInnerTypeBool, 1, boolean},       {1, kInnerTypeBool, 2, array},
        {0, kInnerTypeBool, 2, boolean},       {0, kInnerTypeBool, 3, array},
        {1, kInnerTypeSint, 1, number},        {1, kInnerTypeSint, 2, array},
        {1, kInnerTypeInt, 2, number},         {1, kInnerTypeInt, 3, array},
        {1, kInnerTypeDint, 4, number},        {1, kInnerTypeDint, 5, array},
        {0, kInnerTypeReal, 4, number},        {0, kInnerTypeReal, 8, array},
        {1, kInnerTypeString, 1, string},      {1, kInnerTypeString2, 1, string},
        {1, kInnerTypeShortString, 1, string}, {1, kInnerTypeStructure, 1, string},
        {1, kInnerTypeLint, 8, number},        {1, kInnerTypeUlint, 9, array},
        {1, kInnerTypeUsint, 1, number},       {1, kInnerTypeLreal, 16, array},
        {1, kInnerTypeBitarray, 4, number},    {1, 999, 1, string},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EipNode::TypeToValueType(c[0], c[1], c[2]), c[3])
            << "family " << c[0] << " type " << c[1] << " length " << c[2];
    }
}

// Raw bytes of every type and both families (hexadecimal, blanks ignored) to the value shown,
// and the log line a cut or broken record leaves.
TEST(ConvertTagValueTest, BytesOfEveryTypeBecomeTheirValue) {
    struct Case {
        const char* what;
        TagInfo tag;
        Bytes bytes;
        Variant expected;
        const char* logged = nullptr;
    };
    const TagInfo sint = Tag(kInnerTypeSint), dint = Tag(kInnerTypeDint),
                  string = Tag(kInnerTypeString), string2 = Tag(kInnerTypeString2),
                  plc5Bool = Plc5(kInnerTypeBool), stringStruct = Struct(kStringStructHandle);
    const Case cases[] = {
        {"empty data", dint, {}, Variant("")},
        {"DINT -1", dint, Hex("FFFFFFFF"), Variant(-1)},
        {"DINT", dint, Hex("78563412"), Variant(0x12345678)},
        {"INT sign", Tag(kInnerTypeInt), Hex("0080"), Variant(-32768)},
        {"SINT sign", sint, Hex("80"), Variant(-128)},
        {"SINT array", sint, Hex("01FF05"), Array({1, -1, 5})},
        {"INT array, partial tail", Tag(kInnerTypeInt), Hex("0100FEFF07"), Array({1, -2})},
        {"DINT array", dint, Hex("01000000 FFFFFFFF"), Array({1, -1})},
        {"REAL array", Tag(kInnerTypeReal), Cat({Real(1.5f), Real(-0.25f)}), Array({1.5, -0.25})},
        {"REAL widened", Tag(kInnerTypeReal), Real(3.14159f),
         Variant(static_cast<double>(3.14159f))},
        {"short DINT", dint, Hex("0501"), Variant(0x105)},
        {"short INT", Tag(kInnerTypeInt), Hex("09"), Variant(9)},
        {"Logix BOOL", Tag(kInnerTypeBool), Hex("FF"), Variant(true)},
        {"Logix BOOL array", Tag(kInnerTypeBool), Hex("010002"), Array({true, false, true})},
        {"PLC5 BOOL word", plc5Bool, Hex("0001"), Variant(true)},
        {"PLC5 BOOL zero", plc5Bool, Hex("0000"), Variant(false)},
        {"PLC5 BOOL array", plc5Bool, Hex("0000 0080 0100"), Array({false, true, true})},
        {"PLC5 BOOL odd tail", plc5Bool, Hex("0000 04"), Array({false, true})},
        {"PLC5 BOOL lone byte", plc5Bool, Hex("01"), Variant(true)},
        {"DWORD words", Tag(kInnerTypeBitarray), Hex("00AB0F80 01000000"),
         Array({Variant(int64_t{0x800FAB00}), Variant(1)})},
        {"LINT beyond 2^53", Tag(kInnerTypeLint), Hex("0100000000002080"),
         Variant(int64_t{-9214364837600034815})},
        {"ULINT max", Tag(kInnerTypeUlint), Hex("FFFFFFFFFFFFFFFF"), Variant(UINT64_MAX)},
        {"LREAL", Tag(kInnerTypeLreal), Hex("000000000000E0BF"), Variant(-0.5)},
        {"unknown type hex", Tag(0x99), Hex("DEAD"), Variant("0xDEAD")},
        {"structure hex", Struct(0x1234), Hex("01AB"), Variant("0x123401AB")},
        {"partial string structure", stringStruct, Hex("01000000 41"), Variant("0x0FCE0100000041")},
        {"STRING", string, CipString("Hello"), Variant("Hello")},
        {"empty STRING", string, CipString(""), Variant("")},
        {"STRING array", string, Cat({CipString("AB"), CipString("C")}), Array({"AB", "C"})},
        {"STRING cut", string, Hex("0900 616263"), Variant("abc"),
         "(10027): Invalid \"value\" format. - too short : 3 bytes , str count : 9"},
        {"STRING lone byte", string, Hex("05"), Variant(""), "too short : 1"},
        {"STRING lone tail byte", string, Cat({CipString("AB"), CipString("C"), Hex("07")}),
         Array({"AB", "C"})},
        {"PLC5 STRING swapped words", Plc5(kInnerTypeString, 8), Hex("0300 4241 0043 EEEE"),
         Variant("ABC")},
        {"PLC5 STRING array", Plc5(kInnerTypeString, 8),
         Hex("0300 4241 0043 EEEE 0400 5958 575A 0000"), Array({"ABC", "XYZW"})},
        {"PLC5 STRING leftover", Plc5(kInnerTypeString, 84), Hex("0200 4948 00"), Variant("HI"),
         "ignoring leftover bytes"},
        {"SHORT_STRING array", Tag(kInnerTypeShortString), Hex("02 6F6B 01 21"),
         Array({"ok", "!"})},
        {"SHORT_STRING cut", Tag(kInnerTypeShortString), Hex("10 7879"), Variant("xy"),
         "too short : 2 bytes, str count : 16"},
        {"STRING2 UTF-16", string2, Hex("0600 5A00 FC00 7200 6900 6300 6800"),
         Variant("Z\xC3\xBCrich")},
        {"STRING2 empty", string2, Hex("0000"), Variant("")},
        {"STRING2 grows in UTF-8", string2, Hex("0200 E565 2C67"),
         Variant("\xE6\x97\xA5\xE6\x9C\xAC")},
        {"STRING2 surrogate pair", string2, Hex("0200 3DD8 00DE"), Variant("\xF0\x9F\x98\x80")},
        {"STRING2 cut", string2, Hex("0500 6F00 6B00"), Variant("ok"),
         "too short : 4 bytes, wide str count : 5"},
        {"STRING2 lone low surrogate", string2, Hex("0100 00DC"), Variant(""),
         "failed to convert from utf-16le to utf-8 : [1]01 00 00 dc "},
        {"string structure", stringStruct, StringStruct("pump 3", 6), Variant("pump 3")},
        {"string structures 88 bytes apart", stringStruct,
         Cat({StringStruct("", 0), StringStruct("second", 6)}), Array({"", "second"})},
        {"string structure cut to 82", stringStruct, StringStruct(std::string(84, 'x'), 1000),
         Variant(std::string(82, 'x')), "str count : 1000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        EXPECT_EQ(Convert(c.tag, c.bytes), c.expected);
        if (c.logged) {
            EXPECT_TRUE(log.Contains(c.logged)) << log.All();
        }
    }
    EXPECT_EQ(EipNode::ConvertTagValue(dint, nullptr, 4), Variant(""));
    TagInfo above = dint;
    above.outputType = static_cast<OutputType>(2);  // above default: published as null
    EXPECT_TRUE(Convert(above, Hex("01000000")).is_null());
}

// ---- publishing on nodes ----------------------------------------------------------------------

class PublishTest : public node_test::LineFixture {
  protected:
    NodePath AddTag(const TagInfo& tag, std::vector<SubTagInfo>* subs = nullptr) {
        Nodes().CreateTagItemNode("line1", tag, subs);
        const NodePath path = (tag.rwFlag & kRwFlagIo) ? IOPath(tag.alias) : ReadPath(tag.alias);
        WaitNode(path);
        Settle();
        return path;
    }

    bool ValueBecomes(const NodePath& path, const Variant& expected) {
        return WaitUntil([&] {
            auto info = Node(path);
            return info && info->value == expected;
        });
    }
};

// One bad element spoils the whole array.
TEST_F(PublishTest, NonFiniteRealIsNotPublishedAndTheNodeKeepsItsValue) {
    TagInfo tag = Tag(kInnerTypeReal);
    tag.dataLen = 4;
    const NodePath path = AddTag(tag);
    Bytes good = Real(2.5f);
    ASSERT_TRUE(Nodes().ChangeExplicitTagNodeValue("line1", tag, good.data(), 4));
    ASSERT_TRUE(ValueBecomes(path, Variant(2.5)));

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const Bytes& bad : {Real(nan), Real(inf), Real(-inf), Cat({Real(1.0f), Real(nan)})}) {
        LogCapture log;
        EXPECT_FALSE(Nodes().ChangeExplicitTagNodeValue("line1", tag, bad.data(),
                                                        static_cast<uint16_t>(bad.size())));
        EXPECT_TRUE(log.Contains("not a valid float")) << log.All();
    }
    Settle();
    EXPECT_EQ(Node(path)->value, Variant(2.5));

    // The next good value is published as usual.
    Bytes next = Real(-1.0f);
    EXPECT_TRUE(Nodes().ChangeExplicitTagNodeValue("line1", tag, next.data(), 4));
    EXPECT_TRUE(ValueBecomes(path, Variant(-1.0)));
}

TEST_F(PublishTest, IOTagDataAndSubtagSlices) {
    const TagInfo tag = node_test::MakeTag("rack", kRwFlagIo, kInnerTypeSint, 6);
    std::vector<SubTagInfo> subs = {{"speed", 2, kInnerTypeInt, 2}};
    const NodePath tagPath = AddTag(tag, &subs);
    WaitNode(tagPath / "speed");

    const Bytes data = {1, 2, 0x10, 0x27, 5, 6};
    EXPECT_TRUE(Nodes().ChangeIOTagNodeValue("line1", tag, data.data(), 6));
    EXPECT_TRUE(ValueBecomes(tagPath, Array({Variant(1), Variant(2), Variant(0x10), Variant(0x27),
                                             Variant(5), Variant(6)})));
    EXPECT_TRUE(Nodes().ChangeIOSubTagNodeValue("line1", tag, subs[0], data.data(), 6));
    EXPECT_TRUE(ValueBecomes(tagPath / "speed", Variant(10000)));

    // A slice outside the data publishes nothing: past the end, a negative length, before it.
    for (auto [offset, length] : {std::pair{4, 4}, {0, -1}, {-4, 4}}) {
        LogCapture log;
        const SubTagInfo sub{"outside", offset, kInnerTypeDint, length};
        EXPECT_FALSE(Nodes().ChangeIOSubTagNodeValue("line1", tag, sub, data.data(), 6))
            << offset << "," << length;
        EXPECT_TRUE(log.Contains("subInfo.offset=" + std::to_string(offset))) << log.All();
    }
}

}  // namespace
