// Raw PLC bytes to broker values: numbers, arrays, BOOL widths of both families, the string
// records, hexadecimal text, and the publishing of values on tag and subtag nodes.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "node/eip_node.h"
#include "node/node_test_support.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using node_test::LogCapture;
using node_test::NodeTreeFixture;
using node_test::WaitUntil;
using sdk::NodePath;
using sdk::Variant;
using Bytes = std::vector<uint8_t>;

_eipTagInfo Tag(int innerType, eipProtocolFamily_t family = EIP_PROTOCOL_FAMILY_CIP) {
    _eipTagInfo tag;
    tag.alias = "t";
    tag.family = family;
    tag.innerType = innerType;
    tag.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    tag.rwFlag = EIP_RW_FLAG_READ;
    tag.elementCount = 1;
    return tag;
}

Variant Convert(const _eipTagInfo& tag, const Bytes& bytes) {
    return EipNode::ConvertTagValue(tag, bytes.data(), static_cast<uint16_t>(bytes.size()));
}

Variant Array(std::vector<Variant> values) {
    return Variant(Variant::ArrayType(std::move(values)));
}

Bytes Real(float value) {
    Bytes bytes(4);
    eip_PutLitEndianFloat(value, bytes.data());
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// One CIP STRING / SHORT STRING record.
Bytes CipString(const std::string& text) {
    Bytes bytes;
    eip_PutLitEndian16(static_cast<uint16_t>(text.size()), bytes);
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

// One 88-byte record of the controller's STRING structure.
Bytes StringStruct(const std::string& text, uint32_t declared) {
    Bytes bytes(88, 0);
    eip_PutLitEndian32(declared, bytes.data());
    std::memcpy(bytes.data() + 4, text.data(), std::min<size_t>(text.size(), 84));
    return bytes;
}

_eipTagInfo Plc5(int innerType, int16_t dataLen = 0) {
    _eipTagInfo tag = Tag(innerType, EIP_PROTOCOL_FAMILY_PCCC);
    tag.dataLen = dataLen;
    return tag;
}

_eipTagInfo Struct(uint32_t handle) {
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_STRUCTURE);
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
        {1, EIP_INNER_TYPE_BOOL, 1, boolean},        {1, EIP_INNER_TYPE_BOOL, 2, array},
        {0, EIP_INNER_TYPE_BOOL, 2, boolean},        {0, EIP_INNER_TYPE_BOOL, 3, array},
        {1, EIP_INNER_TYPE_SINT, 1, number},         {1, EIP_INNER_TYPE_SINT, 2, array},
        {1, EIP_INNER_TYPE_INT, 2, number},          {1, EIP_INNER_TYPE_INT, 3, array},
        {1, EIP_INNER_TYPE_DINT, 4, number},         {1, EIP_INNER_TYPE_DINT, 5, array},
        {0, EIP_INNER_TYPE_REAL, 4, number},         {0, EIP_INNER_TYPE_REAL, 8, array},
        {1, EIP_INNER_TYPE_STRING, 1, string},       {1, EIP_INNER_TYPE_STRING2, 1, string},
        {1, EIP_INNER_TYPE_SHORT_STRING, 1, string}, {1, EIP_INNER_TYPE_STRUCTURE, 1, string},
        {1, EIP_INNER_TYPE_BITARRAY, 1, string},     {1, 999, 1, string},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EipNode::TypeToValueType(c[0], c[1], c[2]), c[3])
            << "family " << c[0] << " type " << c[1] << " length " << c[2];
    }
}

// Raw bytes of every type and both families to the value shown, and the log line a cut or
// broken record leaves.
TEST(ConvertTagValueTest, BytesOfEveryTypeBecomeTheirValue) {
    struct Case {
        const char* what;
        _eipTagInfo tag;
        Bytes bytes;
        Variant expected;
        const char* logged = nullptr;
    };
    const Case cases[] = {
        {"empty data", Tag(EIP_INNER_TYPE_DINT), {}, Variant("")},
        {"DINT -1", Tag(EIP_INNER_TYPE_DINT), {0xFF, 0xFF, 0xFF, 0xFF}, Variant(-1)},
        {"DINT", Tag(EIP_INNER_TYPE_DINT), {0x78, 0x56, 0x34, 0x12}, Variant(0x12345678)},
        {"INT sign", Tag(EIP_INNER_TYPE_INT), {0x00, 0x80}, Variant(-32768)},
        {"SINT sign", Tag(EIP_INNER_TYPE_SINT), {0x80}, Variant(-128)},
        {"SINT array", Tag(EIP_INNER_TYPE_SINT), {1, 0xFF, 5}, Array({1, -1, 5})},
        {"INT array, partial tail", Tag(EIP_INNER_TYPE_INT), {1, 0, 0xFE, 0xFF, 7}, Array({1, -2})},
        {"DINT array",
         Tag(EIP_INNER_TYPE_DINT),
         {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
         Array({1, -1})},
        {"REAL array", Tag(EIP_INNER_TYPE_REAL), Concat({Real(1.5f), Real(-0.25f)}),
         Array({1.5, -0.25})},
        {"REAL widened", Tag(EIP_INNER_TYPE_REAL), Real(3.14159f),
         Variant(static_cast<double>(3.14159f))},
        {"short DINT", Tag(EIP_INNER_TYPE_DINT), {0x05, 0x01}, Variant(0x105)},
        {"short INT", Tag(EIP_INNER_TYPE_INT), {0x09}, Variant(9)},
        {"Logix BOOL", Tag(EIP_INNER_TYPE_BOOL), {0xFF}, Variant(true)},
        {"Logix BOOL array", Tag(EIP_INNER_TYPE_BOOL), {1, 0, 2}, Array({true, false, true})},
        {"PLC5 BOOL word", Plc5(EIP_INNER_TYPE_BOOL), {0, 1}, Variant(true)},
        {"PLC5 BOOL zero", Plc5(EIP_INNER_TYPE_BOOL), {0, 0}, Variant(false)},
        {"PLC5 BOOL array",
         Plc5(EIP_INNER_TYPE_BOOL),
         {0, 0, 0, 0x80, 1, 0},
         Array({false, true, true})},
        {"PLC5 BOOL odd tail", Plc5(EIP_INNER_TYPE_BOOL), {0, 0, 4}, Array({false, true})},
        {"PLC5 BOOL lone byte", Plc5(EIP_INNER_TYPE_BOOL), {1}, Variant(true)},
        {"bit array hex", Tag(EIP_INNER_TYPE_BITARRAY), {0x00, 0xAB, 0x0F}, Variant("0x00AB0F")},
        {"unknown type hex", Tag(0x99), {0xDE, 0xAD}, Variant("0xDEAD")},
        {"structure hex", Struct(0x1234), {0x01, 0xAB}, Variant("0x123401AB")},
        {"partial string structure",
         Struct(EIP_STRING_STRUCT_HANDLE),
         {1, 0, 0, 0, 0x41},
         Variant("0x0FCE0100000041")},
        {"STRING", Tag(EIP_INNER_TYPE_STRING), CipString("Hello"), Variant("Hello")},
        {"empty STRING", Tag(EIP_INNER_TYPE_STRING), CipString(""), Variant("")},
        {"STRING array", Tag(EIP_INNER_TYPE_STRING), Concat({CipString("AB"), CipString("C")}),
         Array({"AB", "C"})},
        {"STRING cut",
         Tag(EIP_INNER_TYPE_STRING),
         {9, 0, 'a', 'b', 'c'},
         Variant("abc"),
         "(10027): Invalid \"value\" format. - too short : 3 bytes , str count : 9"},
        {"STRING lone byte", Tag(EIP_INNER_TYPE_STRING), {5}, Variant(""), "too short : 1"},
        {"STRING lone tail byte", Tag(EIP_INNER_TYPE_STRING),
         Concat({CipString("AB"), CipString("C"), {7}}), Array({"AB", "C"})},
        {"PLC5 STRING swapped words",
         Plc5(EIP_INNER_TYPE_STRING, 8),
         {3, 0, 'B', 'A', 0, 'C', 0xEE, 0xEE},
         Variant("ABC")},
        {"PLC5 STRING array",
         Plc5(EIP_INNER_TYPE_STRING, 8),
         {3, 0, 'B', 'A', 0, 'C', 0xEE, 0xEE, 4, 0, 'Y', 'X', 'W', 'Z', 0, 0},
         Array({"ABC", "XYZW"})},
        {"PLC5 STRING leftover",
         Plc5(EIP_INNER_TYPE_STRING, 84),
         {2, 0, 'I', 'H', 0},
         Variant("HI"),
         "ignoring leftover bytes"},
        {"SHORT_STRING array",
         Tag(EIP_INNER_TYPE_SHORT_STRING),
         {2, 'o', 'k', 1, '!'},
         Array({"ok", "!"})},
        {"SHORT_STRING cut",
         Tag(EIP_INNER_TYPE_SHORT_STRING),
         {0x10, 'x', 'y'},
         Variant("xy"),
         "too short : 2 bytes, str count : 16"},
        {"STRING2 UTF-16",
         Tag(EIP_INNER_TYPE_STRING2),
         {6, 0, 'Z', 0, 0xFC, 0, 'r', 0, 'i', 0, 'c', 0, 'h', 0},
         Variant("Z\xC3\xBCrich")},
        {"STRING2 empty", Tag(EIP_INNER_TYPE_STRING2), {0, 0}, Variant("")},
        {"STRING2 grows in UTF-8",
         Tag(EIP_INNER_TYPE_STRING2),
         {2, 0, 0xE5, 0x65, 0x2C, 0x67},
         Variant("\xE6\x97\xA5\xE6\x9C\xAC")},
        {"STRING2 surrogate pair",
         Tag(EIP_INNER_TYPE_STRING2),
         {2, 0, 0x3D, 0xD8, 0x00, 0xDE},
         Variant("\xF0\x9F\x98\x80")},
        {"STRING2 cut",
         Tag(EIP_INNER_TYPE_STRING2),
         {5, 0, 'o', 0, 'k', 0},
         Variant("ok"),
         "too short : 4 bytes, wide str count : 5"},
        {"STRING2 lone low surrogate",
         Tag(EIP_INNER_TYPE_STRING2),
         {1, 0, 0, 0xDC},
         Variant(""),
         "failed to convert from utf-16le to utf-8 : [1]01 00 00 dc "},
        {"string structure", Struct(EIP_STRING_STRUCT_HANDLE), StringStruct("pump 3", 6),
         Variant("pump 3")},
        {"string structures 88 bytes apart", Struct(EIP_STRING_STRUCT_HANDLE),
         Concat({StringStruct("", 0), StringStruct("second", 6)}), Array({"", "second"})},
        {"string structure cut to 82", Struct(EIP_STRING_STRUCT_HANDLE),
         StringStruct(std::string(84, 'x'), 1000), Variant(std::string(82, 'x')),
         "str count : 1000"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        EXPECT_EQ(Convert(c.tag, c.bytes), c.expected) << c.what;
        if (c.logged) {
            EXPECT_TRUE(log.Contains(c.logged)) << c.what << "\n" << log.All();
        }
    }
    EXPECT_EQ(EipNode::ConvertTagValue(Tag(EIP_INNER_TYPE_DINT), nullptr, 4), Variant(""));
    _eipTagInfo above = Tag(EIP_INNER_TYPE_DINT);
    above.outputType = static_cast<eipOutputType_t>(2);  // above default: published as null
    EXPECT_TRUE(Convert(above, {1, 0, 0, 0}).is_null());
}

TEST(ConvertTagValueTest, NonFiniteRealFailsWithNotAValidFloat) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // One bad element spoils the whole array.
    for (const Bytes& bad : {Real(nan), Real(inf), Real(-inf), Concat({Real(1.0f), Real(nan)})}) {
        try {
            Convert(Tag(EIP_INNER_TYPE_REAL), bad);
            ADD_FAILURE() << "no exception";
        } catch (const sdk::exception& e) {
            EXPECT_EQ(e.code().value(), 9013);
            EXPECT_STREQ(e.what(), "not a valid float");
        }
    }
}

// ---- publishing on nodes ----------------------------------------------------------------------

class PublishTest : public NodeTreeFixture {
  protected:
    void SetUp() override {
        NodeTreeFixture::SetUp();
        CreatePLC("line1");
    }

    NodePath AddTag(const _eipTagInfo& tag) {
        EipNode::CreateTagItemNode("line1", tag, nullptr);
        const NodePath path =
            (tag.rwFlag & EIP_RW_FLAG_IO)
                ? EipNode::IOTagsPath("line1") / sdk::string_escape(tag.alias)
                : EipNode::ReadTagsListPath("line1") / sdk::string_escape(tag.alias);
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

TEST_F(PublishTest, EMValuesLandOnTheReadListNodeOnly) {
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_DINT);
    tag.rwFlag = EIP_RW_FLAG_READ | EIP_RW_FLAG_WRITE;
    tag.dataLen = 4;
    const NodePath read = AddTag(tag);
    const Bytes data = {0x2A, 0, 0, 0};
    EXPECT_TRUE(EipNode::ChangeEMTagNodeValue("line1", tag, data.data(), 4));
    EXPECT_TRUE(ValueBecomes(read, Variant(42)));
    Settle();
    EXPECT_TRUE(Node(EipNode::WriteTagsListPath("line1") / "t")->value.is_null());
}

TEST_F(PublishTest, NonFiniteRealIsNotPublishedAndTheNodeKeepsItsValue) {
    LogCapture log;
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_REAL);
    tag.dataLen = 4;
    const NodePath path = AddTag(tag);
    Bytes good = Real(2.5f);
    ASSERT_TRUE(EipNode::ChangeEMTagNodeValue("line1", tag, good.data(), 4));
    ASSERT_TRUE(ValueBecomes(path, Variant(2.5)));

    Bytes nan = Real(std::numeric_limits<float>::quiet_NaN());
    EXPECT_FALSE(EipNode::ChangeEMTagNodeValue("line1", tag, nan.data(), 4));
    EXPECT_TRUE(log.Contains("(9013)"));
    EXPECT_TRUE(log.Contains("not a valid float"));
    Settle();
    EXPECT_EQ(Node(path)->value, Variant(2.5));

    // The next good value is published as usual.
    Bytes next = Real(-1.0f);
    EXPECT_TRUE(EipNode::ChangeEMTagNodeValue("line1", tag, next.data(), 4));
    EXPECT_TRUE(ValueBecomes(path, Variant(-1.0)));
}

TEST_F(PublishTest, IOTagDataAndSubtagSlices) {
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_SINT);
    tag.alias = "rack";
    tag.rwFlag = EIP_RW_FLAG_IO;
    tag.dataLen = 6;
    std::vector<_eipSubTagInfo> subs(1);
    subs[0].alias = "speed";
    subs[0].offset = 2;
    subs[0].innerType = EIP_INNER_TYPE_INT;
    subs[0].dataLen = 2;
    EipNode::CreateTagItemNode("line1", tag, &subs);
    const NodePath tagPath = EipNode::IOTagsPath("line1") / "rack";
    WaitNode(tagPath / "speed");
    Settle();

    const Bytes data = {1, 2, 0x10, 0x27, 5, 6};
    EXPECT_TRUE(EipNode::ChangeIOTagNodeValue("line1", tag, data.data(), 6));
    EXPECT_TRUE(ValueBecomes(tagPath, Array({Variant(1), Variant(2), Variant(0x10), Variant(0x27),
                                             Variant(5), Variant(6)})));
    EXPECT_TRUE(EipNode::ChangeIOSubTagNodeValue("line1", tag, subs[0], data.data(), 6));
    EXPECT_TRUE(ValueBecomes(tagPath / "speed", Variant(10000)));
}

TEST_F(PublishTest, SubtagSliceOutsideTheDataPublishesNothing) {
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_SINT);
    tag.alias = "rack";
    tag.rwFlag = EIP_RW_FLAG_IO;
    const Bytes data = {1, 2, 3, 4, 5, 6};
    // offset, length: past the end, a negative length, before the data
    for (auto [offset, length] : {std::pair{4, 4}, {0, -1}, {-4, 4}}) {
        LogCapture log;
        _eipSubTagInfo sub;
        sub.alias = "outside";
        sub.offset = offset;
        sub.innerType = EIP_INNER_TYPE_DINT;
        sub.dataLen = length;
        EXPECT_FALSE(EipNode::ChangeIOSubTagNodeValue("line1", tag, sub, data.data(), 6))
            << offset << "," << length;
        EXPECT_TRUE(log.Contains("subInfo.offset=" + std::to_string(offset))) << log.All();
    }
}

}  // namespace
