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

// ---- value types ------------------------------------------------------------------------------

TEST(TypeToValueTypeTest, BoolIsOneByteOnLogixAndOneWordOnPLC5) {
    const int boolean = static_cast<int>(sdk::ValueType::Bool);
    const int array = static_cast<int>(sdk::ValueType::Array);
    EXPECT_EQ(EipNode::TypeToValueType(1, EIP_INNER_TYPE_BOOL, 1), boolean);
    EXPECT_EQ(EipNode::TypeToValueType(1, EIP_INNER_TYPE_BOOL, 2), array);
    EXPECT_EQ(EipNode::TypeToValueType(0, EIP_INNER_TYPE_BOOL, 2), boolean);
    EXPECT_EQ(EipNode::TypeToValueType(0, EIP_INNER_TYPE_BOOL, 3), array);
}

TEST(TypeToValueTypeTest, NumbersBecomeArraysPastOneElement) {
    const int number = static_cast<int>(sdk::ValueType::Number);
    const int array = static_cast<int>(sdk::ValueType::Array);
    EXPECT_EQ(EipNode::TypeToValueType(1, EIP_INNER_TYPE_SINT, 1), number);
    EXPECT_EQ(EipNode::TypeToValueType(1, EIP_INNER_TYPE_SINT, 2), array);
    EXPECT_EQ(EipNode::TypeToValueType(1, EIP_INNER_TYPE_INT, 2), number);
    EXPECT_EQ(EipNode::TypeToValueType(1, EIP_INNER_TYPE_INT, 3), array);
    EXPECT_EQ(EipNode::TypeToValueType(1, EIP_INNER_TYPE_DINT, 4), number);
    EXPECT_EQ(EipNode::TypeToValueType(1, EIP_INNER_TYPE_DINT, 5), array);
    EXPECT_EQ(EipNode::TypeToValueType(0, EIP_INNER_TYPE_REAL, 4), number);
    EXPECT_EQ(EipNode::TypeToValueType(0, EIP_INNER_TYPE_REAL, 8), array);
}

TEST(TypeToValueTypeTest, EveryOtherTypeIsShownAsAString) {
    const int string = static_cast<int>(sdk::ValueType::String);
    for (int type : {EIP_INNER_TYPE_STRING, EIP_INNER_TYPE_STRING2, EIP_INNER_TYPE_SHORT_STRING,
                     EIP_INNER_TYPE_STRUCTURE, EIP_INNER_TYPE_BITARRAY, 0, 999}) {
        EXPECT_EQ(EipNode::TypeToValueType(1, type, 1), string) << type;
    }
}

// ---- numbers and BOOL -------------------------------------------------------------------------

TEST(ConvertTagValueTest, EmptyDataIsTheEmptyString) {
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_DINT), {}), Variant(""));
    EXPECT_EQ(EipNode::ConvertTagValue(Tag(EIP_INNER_TYPE_DINT), nullptr, 4), Variant(""));
}

TEST(ConvertTagValueTest, OutputTypeAboveDefaultPublishesNull) {
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_DINT);
    tag.outputType = static_cast<eipOutputType_t>(2);
    EXPECT_TRUE(Convert(tag, {1, 0, 0, 0}).is_null());
}

TEST(ConvertTagValueTest, SignedIntegersAreSignExtended) {
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_DINT), {0xFF, 0xFF, 0xFF, 0xFF}), Variant(-1));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_DINT), {0x78, 0x56, 0x34, 0x12}), Variant(0x12345678));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_INT), {0x00, 0x80}), Variant(-32768));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_SINT), {0x80}), Variant(-128));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_SINT), {0x7F}), Variant(127));
}

TEST(ConvertTagValueTest, LongerDataGivesOneElementPerFullWidth) {
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_SINT), {0x01, 0xFF, 0x05}),
              Array({Variant(1), Variant(-1), Variant(5)}));
    // A trailing partial element is not shown.
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_INT), {0x01, 0x00, 0xFE, 0xFF, 0x07}),
              Array({Variant(1), Variant(-2)}));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_DINT), {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}),
              Array({Variant(1), Variant(-1)}));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_REAL), Concat({Real(1.5f), Real(-0.25f)})),
              Array({Variant(1.5), Variant(-0.25)}));
}

TEST(ConvertTagValueTest, ShortScalarDataReadsOnlyTheBytesGiven) {
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_DINT), {0x05, 0x01}), Variant(0x105));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_INT), {0x09}), Variant(9));
}

TEST(ConvertTagValueTest, RealIsWidenedToDouble) {
    const Variant value = Convert(Tag(EIP_INNER_TYPE_REAL), Real(3.14159f));
    ASSERT_TRUE(value.is_double());
    EXPECT_DOUBLE_EQ(value.as_double(), static_cast<double>(3.14159f));
}

TEST(ConvertTagValueTest, NonFiniteRealFailsWithNotAValidFloat) {
    for (float bad :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity()}) {
        try {
            Convert(Tag(EIP_INNER_TYPE_REAL), Real(bad));
            ADD_FAILURE() << "no exception for " << bad;
        } catch (const sdk::exception& e) {
            EXPECT_EQ(e.code().value(), 9013);
            EXPECT_STREQ(e.what(), "not a valid float");
        }
    }
    // One bad element spoils the whole array.
    EXPECT_THROW(Convert(Tag(EIP_INNER_TYPE_REAL),
                         Concat({Real(1.0f), Real(std::numeric_limits<float>::quiet_NaN())})),
                 sdk::exception);
}

TEST(ConvertTagValueTest, LogixBoolIsOneBytePerValue) {
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_BOOL), {0x00}), Variant(false));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_BOOL), {0xFF}), Variant(true));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_BOOL), {0x01, 0x00, 0x02}),
              Array({Variant(true), Variant(false), Variant(true)}));
}

TEST(ConvertTagValueTest, PLC5BoolIsOneWordPerValue) {
    const auto plc5 = EIP_PROTOCOL_FAMILY_PCCC;
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_BOOL, plc5), {0x00, 0x01}), Variant(true));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_BOOL, plc5), {0x00, 0x00}), Variant(false));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_BOOL, plc5), {0x00, 0x00, 0x00, 0x80, 0x01, 0x00}),
              Array({Variant(false), Variant(true), Variant(true)}));
    // An odd trailing byte still gives its value and reads nothing past the data.
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_BOOL, plc5), {0x00, 0x00, 0x04}),
              Array({Variant(false), Variant(true)}));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_BOOL, plc5), {0x01}), Variant(true));
}

// ---- hexadecimal text -------------------------------------------------------------------------

TEST(ConvertTagValueTest, UnknownTypesAndBitArraysAreUpperCaseHex) {
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_BITARRAY), {0x00, 0xAB, 0x0F}), Variant("0x00AB0F"));
    EXPECT_EQ(Convert(Tag(0x99), {0xDE, 0xAD}), Variant("0xDEAD"));
}

TEST(ConvertTagValueTest, RawStructureHexStartsWithItsHandle) {
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_STRUCTURE);
    tag.structHandle = 0x1234;
    EXPECT_EQ(Convert(tag, {0x01, 0xAB}), Variant("0x123401AB"));
    // The string structure is only decoded when the data is whole records.
    tag.structHandle = EIP_STRING_STRUCT_HANDLE;
    EXPECT_EQ(Convert(tag, {0x01, 0x00, 0x00, 0x00, 0x41}), Variant("0x0FCE0100000041"));
}

// ---- string records ---------------------------------------------------------------------------

TEST(StringRecordTest, OneLogixStringRecordIsOneString) {
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING), CipString("Hello")), Variant("Hello"));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING), CipString("")), Variant(""));
}

TEST(StringRecordTest, SeveralRecordsBecomeAnArray) {
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING), Concat({CipString("AB"), CipString("C")})),
              Array({Variant("AB"), Variant("C")}));
}

TEST(StringRecordTest, ALengthPastTheDataIsCutAndLogged) {
    LogCapture log;
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING), {0x09, 0x00, 'a', 'b', 'c'}), Variant("abc"));
    EXPECT_TRUE(
        log.Contains("(10027): Invalid \"value\" format. - too short : 3 bytes , str "
                     "count : 9"));
}

TEST(StringRecordTest, ALoneByteGivesNoString) {
    LogCapture log;
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING), {0x05}), Variant(""));
    EXPECT_TRUE(log.Contains("too short : 1"));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING), Concat({CipString("AB"), CipString("C"), {7}})),
              Array({Variant("AB"), Variant("C")}));
}

TEST(StringRecordTest, PLC5StringsSwapEachWordAndSkipPadding) {
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_STRING, EIP_PROTOCOL_FAMILY_PCCC);
    tag.dataLen = 8;  // 2 length bytes and 6 character bytes per record
    // "ABC": words "BA" and "\0C" as stored, then one padding word.
    const Bytes first = {0x03, 0x00, 'B', 'A', 0x00, 'C', 0xEE, 0xEE};
    const Bytes second = {0x04, 0x00, 'Y', 'X', 'W', 'Z', 0x00, 0x00};
    EXPECT_EQ(Convert(tag, first), Variant("ABC"));
    EXPECT_EQ(Convert(tag, Concat({first, second})), Array({Variant("ABC"), Variant("XYZW")}));
}

TEST(StringRecordTest, PLC5LeftoverShorterThanThePaddingIsIgnored) {
    LogCapture log;
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_STRING, EIP_PROTOCOL_FAMILY_PCCC);
    tag.dataLen = 84;
    EXPECT_EQ(Convert(tag, {0x02, 0x00, 'I', 'H', 0x00}), Variant("HI"));
    EXPECT_TRUE(log.Contains("ignoring leftover bytes"));
}

TEST(StringRecordTest, ShortStringHasAOneByteLength) {
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_SHORT_STRING), {0x02, 'o', 'k', 0x01, '!'}),
              Array({Variant("ok"), Variant("!")}));
    LogCapture log;
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_SHORT_STRING), {0x10, 'x', 'y'}), Variant("xy"));
    EXPECT_TRUE(log.Contains("too short : 2 bytes, str count : 16"));
}

TEST(StringRecordTest, String2IsConvertedFromUtf16) {
    // "Zürich" in UTF-16LE.
    const Bytes zurich = {0x06, 0x00, 'Z', 0, 0xFC, 0, 'r', 0, 'i', 0, 'c', 0, 'h', 0};
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING2), zurich), Variant("Z\xC3\xBCrich"));
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING2), {0x00, 0x00}), Variant(""));
}

TEST(StringRecordTest, String2TextThatGrowsInUtf8IsKept) {
    // U+65E5 U+672C: two UTF-16 units, six UTF-8 bytes.
    const Bytes nihon = {0x02, 0x00, 0xE5, 0x65, 0x2C, 0x67};
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING2), nihon), Variant("\xE6\x97\xA5\xE6\x9C\xAC"));
    // A surrogate pair: U+1F600.
    const Bytes smile = {0x02, 0x00, 0x3D, 0xD8, 0x00, 0xDE};
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING2), smile), Variant("\xF0\x9F\x98\x80"));
}

TEST(StringRecordTest, String2CountPastTheDataIsCut) {
    LogCapture log;
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING2), {0x05, 0x00, 'o', 0, 'k', 0}), Variant("ok"));
    EXPECT_TRUE(log.Contains("too short : 4 bytes, wide str count : 5"));
}

TEST(StringRecordTest, InvalidUtf16GivesTheEmptyStringAndLogsTheBytes) {
    LogCapture log;
    // A lone low surrogate.
    EXPECT_EQ(Convert(Tag(EIP_INNER_TYPE_STRING2), {0x01, 0x00, 0x00, 0xDC}), Variant(""));
    EXPECT_TRUE(log.Contains("failed to convert from utf-16le to utf-8 : [1]01 00 00 dc "));
}

TEST(StringRecordTest, StringStructureRecordsAre88BytesApart) {
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_STRUCTURE);
    tag.structHandle = EIP_STRING_STRUCT_HANDLE;
    EXPECT_EQ(Convert(tag, StringStruct("pump 3", 6)), Variant("pump 3"));
    EXPECT_EQ(Convert(tag, Concat({StringStruct("", 0), StringStruct("second", 6)})),
              Array({Variant(""), Variant("second")}));
}

TEST(StringRecordTest, StringStructureLengthIsCutTo82Characters) {
    LogCapture log;
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_STRUCTURE);
    tag.structHandle = EIP_STRING_STRUCT_HANDLE;
    const std::string text(84, 'x');
    EXPECT_EQ(Convert(tag, StringStruct(text, 1000)), Variant(std::string(82, 'x')));
    EXPECT_TRUE(log.Contains("str count : 1000"));
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
    LogCapture log;
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_SINT);
    tag.alias = "rack";
    tag.rwFlag = EIP_RW_FLAG_IO;
    _eipSubTagInfo sub;
    sub.alias = "late";
    sub.offset = 4;
    sub.innerType = EIP_INNER_TYPE_DINT;
    sub.dataLen = 4;
    const Bytes data = {1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(EipNode::ChangeIOSubTagNodeValue("line1", tag, sub, data.data(), 6));
    EXPECT_TRUE(log.Contains("Invalid parameters: len=6, subInfo.offset=4, subInfo.dataLen=4"));

    sub.offset = 0;
    sub.dataLen = -1;
    EXPECT_FALSE(EipNode::ChangeIOSubTagNodeValue("line1", tag, sub, data.data(), 6));
}

TEST_F(PublishTest, NegativeSubtagOffsetIsRefusedInsteadOfReadingBeforeTheData) {
    LogCapture log;
    _eipTagInfo tag = Tag(EIP_INNER_TYPE_SINT);
    tag.alias = "rack";
    tag.rwFlag = EIP_RW_FLAG_IO;
    _eipSubTagInfo sub;
    sub.alias = "before";
    sub.offset = -4;
    sub.innerType = EIP_INNER_TYPE_DINT;
    sub.dataLen = 4;
    const Bytes data = {1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(EipNode::ChangeIOSubTagNodeValue("line1", tag, sub, data.data(), 6));
    EXPECT_TRUE(log.Contains("subInfo.offset=-4"));
}

}  // namespace
