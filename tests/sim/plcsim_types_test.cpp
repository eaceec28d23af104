// plcsim holds data as a Logix controller does: every elementary type, BOOL arrays in 32-bit
// words, three-dimensional arrays addressed with 8, 16 and 32-bit element segments,
// Read-Modify-Write and the refusals, pinned as request and reply bytes laid out as 1756-PM020
// describes them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"
#include "support/hex.h"

using tb_test::Hex;

namespace {

using Bytes = std::vector<uint8_t>;

class PlcsimTypesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* text :
             {"Status:DINT=33", "Small:SINT=-2", "Octet:USINT", "Port:UINT=65535",
              "Stamp:LINT=-9223372036854775808", "Huge:ULINT=18446744073709551615",
              "Precise:LREAL=1.5", "Cube:DINT[2,3,4]"}) {
            plcsim::LogixTagDefinition definition;
            std::string error;
            ASSERT_TRUE(plcsim::ParseLogixTagOption(text, definition, error)) << error;
            plc.DefineTag(definition);
        }
        nlohmann::json bits = nlohmann::json::array({1, 0, 1});
        bits[33] = true;  // the elements between are null: false
        plc.DefineTag({"Flags", "BOOL", {40}, bits, {}});
        plc.Tags().SetInt("Cube[1,2,3]", 23);
    }
    Bytes Execute(const Bytes& request) {
        return plc.Sim().Router().Execute(ByteView{request.data(), request.size()}, nullptr, 1);
    }
    plcsim::LogixController plc{plcsim::SimConfig{}};
};

}  // namespace

TEST_F(PlcsimTypesTest, RepliesAreTheControllersByteForByte) {
    const struct {
        const char* request;
        const char* reply;
    } rows[] = {
        // Elementary types: the type code, then the value.
        {"4C 04 9105 'Small' 00 0100", "CC000000 C200 FE"},
        {"4C 03 9104 'Port' 0100", "CC000000 C700 FFFF"},
        {"4C 04 9105 'Stamp' 00 0100", "CC000000 C500 0000000000000080"},
        {"4C 03 9104 'Huge' 0100", "CC000000 C900 FFFFFFFFFFFFFFFF"},
        {"4C 05 9107 'Precise' 00 0100", "CC000000 CB00 000000000000F83F"},
        // BOOL[40] is two words; an element segment addresses a word, not a bit.
        {"4C 04 9105 'Flags' 00 0200", "CC000000 D300 05000000 02000000"},
        {"4C 05 9105 'Flags' 00 2801 0100", "CC000000 D300 02000000"},
        {"4C 05 9105 'Flags' 00 2802 0100", "CC000500"},
        {"4D 05 9105 'Flags' 00 2800 C100 0100 01", "CD00FF01 0721"},
        // Cube[1,2,3] is element 23 row-major, whatever the width of its segments.
        {"4C 06 9104 'Cube' 2801 2802 2803 0100", "CC000000 C400 17000000"},
        {"4C 09 9104 'Cube' 290001002A000200000028 03 0100", "CC000000 C400 17000000"},
        {"4C 06 9104 'Cube' 2801 2802 2803 0200", "CC00FF01 0521"},
        {"4C 06 9104 'Cube' 2801 2803 2800 0100", "CC000500"},
        {"4C 05 9104 'Cube' 2801 2802 0100", "CC000400"},
        // Writes: exactly the type's bytes; a pad byte counted after a SINT is too much.
        {"4D 04 9105 'Small' 00 C200 0100 0700", "CD001500"},
        {"4D 04 9105 'Octet' 00 C600 0100 FF", "CD000000"},
        {"4D 03 9104 'Huge' C900 0100 0100000000000080", "CD000000"},
        // Read-Modify-Write: PM020's example sets bit 2 and resets bit 5 of a DINT.
        {"4E 04 9106 'Status' 0400 04000000 DFFFFFFF", "CE000000"},
        {"4E 05 9105 'Flags' 00 2801 0400 20000000 FFFFFFFF", "CE000000"},
        {"4E 04 9105 'Small' 00 0200 0100 FFFF", "CE000300"},  // a mask beyond its width
        {"4E 04 9105 'Small' 00 0300 000000 FFFFFF", "CE000300"},
        {"4E 04 9106 'Status' 0400 04000000", "CE001300"},
        {"4E 05 9107 'Precise' 00 0100 01 FF", "CE00FF01 0721"},
        // The Symbol object lists the BOOL array (instance 9) as the DWORD array of its words.
        {"55 02 206B 2409 0300 0100 0200 0800",
         "D5000000 09000000 0500 'Flags' D320 02000000 00000000 00000000"
         " 00FF0000 0900 'Map:Local' 6910 00000000 00000000 00000000"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Execute(Hex(row.request)), Hex(row.reply)) << row.request;
    }
    EXPECT_EQ(plc.Tags().GetInt("Status"), 0x05);  // 0x21 with bit 2 set, bit 5 reset
    EXPECT_EQ(plc.Tags().GetBit("Flags", 37), true);
    EXPECT_EQ(plc.Tags().GetInt("Small"), -2);
    EXPECT_EQ(plc.Tags().GetInt("Octet"), 255);
    EXPECT_EQ(plc.Tags().GetBytes("Huge"), Hex("0100000000000080"));
}
