// The ways a Logix name addresses an element: multi-dimensional elements, bits of integers,
// BOOL arrays held in 32-bit words.

#include <gtest/gtest.h>

#include <string>

#include "family/controllogix_tagdata.h"
#include "support/hex.h"

using tb_test::Hex;

namespace {

// One element segment per dimension (8- and 16-bit), a range over the last index only, and a
// bit number after the last dot, which is no segment of the path.
TEST(LogixTypesName, EncodesDimensionsAndBitsOrRefusesThem) {
    struct Case {
        std::string name;
        std::string encoded;  // empty: refused
        uint16_t count = 1;
        int32_t bit = -1;
    };
    const Case cases[] = {
        {"Grid[1,2]", "05 91 04 'Grid' 2801 2802 0100"},
        {"Cube[0,1,2]", "06 91 04 'Cube' 2800 2801 2802 0100"},
        {"Cube[300,1,2]", "07 91 04 'Cube' 2900 2C01 2801 2802 0100"},
        {"Grid[1,0~3]", "05 91 04 'Grid' 2801 2800 0400", 4},
        {"Status.5", "04 91 06 'Status' 0100", 1, 5},
        {"Words[3].7", "05 91 05 'Words' 00 2803 0100", 1, 7},
        {"Big.63 ", "03 91 03 'Big' 00 0100", 1, 63},
        {"Big.64", ""},
        {"Grid[1~2,3]", ""},
        {"Grid[1,]", ""},
        {"Grid[0~3].5", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlLogixTagData data;
        ASSERT_EQ(data.ParseTagName(c.name, "a"), !c.encoded.empty());
        if (!c.encoded.empty()) {
            EXPECT_EQ(data.GetEncodedAddress(), Hex(c.encoded));
            EXPECT_EQ(data.GetElementCount(), c.count);
            EXPECT_EQ(data.GetBitIndex(), c.bit);
        }
    }
}

// A BOOL array's element k is bit k mod 32 of word k / 32: the path is re-encoded to the words
// and the tag keeps which bits of them it stands for; writes address each word on its own. A bit
// of an integer must lie within its width.
TEST(LogixTypesName, BoolArraysAddressTheirWordsAndBitsLieWithinTheirElement) {
    ControlLogixTagData data;
    ASSERT_TRUE(data.ParseTagName("Flags[30~33]", "a"));
    EXPECT_EQ(data.ArrayAddress(), Hex("04 91 05 'Flags' 00 0100"));
    EXPECT_FALSE(data.UseBoolArrayWords(32));
    ASSERT_TRUE(data.UseBoolArrayWords(64));
    EXPECT_EQ(data.GetEncodedAddress(), Hex("05 91 05 'Flags' 00 2800 0200"));
    EXPECT_EQ(data.WordPath(1), Hex("05 91 05 'Flags' 00 2801"));
    EXPECT_EQ(data.GetBits().first, 30u);
    EXPECT_EQ(data.GetValueCount(), 4u);
    ASSERT_TRUE(data.ParseTagName("Words[3].15", "a"));
    EXPECT_FALSE(data.UseBoolArrayWords(64));
    EXPECT_FALSE(data.UseBitOfElement(1));
    ASSERT_TRUE(data.UseBitOfElement(2));
    EXPECT_EQ(data.WordPath(0), Hex("05 91 05 'Words' 00 2803"));
}

}  // namespace
