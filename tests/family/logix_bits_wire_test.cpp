// Bits of integers and BOOL arrays on the wire: the Read Modify Write request, and bit tags
// sharing one read in a poll batch and taking their bits from DINT and DWORD replies.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "family/wire_support.h"
#include "tag/eip_tag.h"

using namespace wire_test;

namespace {

// A Logix tag as the test read leaves it: its bits learned from the element type.
std::unique_ptr<EipTag> BitTag(const std::string& name, int32_t wordType,
                               uint32_t boolArrayLength = 0) {
    TagInfo info;
    info.alias = name;
    info.tagName = name;
    info.innerType = kInnerTypeBool;
    info.wordType = wordType;
    info.boolArrayLength = boolArrayLength;
    return ParsedTag(kFamilyCip, info);
}

TEST(LogixReadModifyWrite, EncodesPathMaskSizeOrAndAndMasks) {
    // Set bit 2 and reset bit 5 of a DINT.
    const Bytes path = Hex("07 910B 'ControlWord' 00");
    EXPECT_EQ(ControlLogixConnection::EncodeReadModifyWrite(ByteView{path.data(), path.size()}, 4,
                                                            0x04, 0xFFFFFFDF),
              Hex("4E 07 910B 'ControlWord' 00 0400 04000000 DFFFFFFF"));
}

// Bit tags of one element share its Read Tag; each takes its bits from the reply, a BOOL array
// element from its DWORD word.
TEST(LogixPollBits, BitTagsShareOneReadAndTakeTheirBits) {
    LogixWire c;
    PollList tags;
    tags.Add(LogixTag("D"));
    tags.Add(BitTag("Status.0", kInnerTypeDint));
    tags.Add(BitTag("Flags[37]", kInnerTypeBitarray));
    tags.Add(BitTag("Status.5", kInnerTypeDint));
    tags.Add(BitTag("Status.6", kInnerTypeDint));
    size_t index = 0;
    ASSERT_EQ(c.RequestExplicitTags(tags.list, tags.list.size(), index), 0);
    const Bytes request = c.TakeRequest();
    EXPECT_EQ(U16(request, 52), 3);  // D, Status, Flags[1]
    auto response = std::make_unique<TagRequestSet>();
    const ExplicitResponse reply =
        Explicit(LOGIX_SVC_MULTIPLE_SERVICE_REPLY, 0,
                 MspData({ReadRecord(0xC4, {7, 0, 0, 0}), ReadRecord(0xC4, {0x21, 0, 0, 0}),
                          ReadRecord(0xD3, {0x20, 0, 0, 0})}));
    ASSERT_EQ(c.AnalyzeTagResp(reply, *response, [](uint16_t) { return nullptr; }), 0);
    ASSERT_EQ(response->count, 5);
    EXPECT_EQ(response->replies[0].data, Bytes({7, 0, 0, 0}));
    const Bytes bits[] = {{1}, {1}, {1}, {0}};
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(response->replies[i].dataType, kInnerTypeBool) << i;
        EXPECT_EQ(response->replies[i].data, bits[i - 1]) << i;
    }
}

}  // namespace
