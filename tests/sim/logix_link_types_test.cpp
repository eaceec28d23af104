// Bits of integers, BOOL arrays and multi-dimensional arrays through the actions against plcsim:
// written, read back by polling. (Every type's limits: the conversion tables in tests/tag.)

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "strata_sdk/sdk.h"
#include "support/action_link.h"
#include "support/sim_plc.h"

namespace {

// Bits of integers (read once per integer, written with Read Modify Write so that the bits
// another client set in between stay), BOOL array elements, slices and the whole array agreeing,
// and Grid[1,2] as element 1 * 4 + 2 of a DINT[3,4] in the controller's row-major order.
TEST(LogixTypesDeviceTest, BitsBoolArraysAndDimensionsAddressTheControllersElements) {
    tb_test::SimPlc plc;
    tb_test::ActionLink link;
    ASSERT_TRUE(plc.Started());
    plc.Define("Status", "DINT");
    plc.Define("Words", "INT", nullptr, {4});
    plc.Define("Flags", "BOOL", nullptr, {64});
    plc.Define("Grid", "DINT", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {3, 4});
    ASSERT_TRUE(link.Ready());
    ASSERT_EQ("success!", link.AddPlc("L", plc.Sim().Port()));
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [alias, name] :
         std::vector<std::pair<const char*, const char*>>{{"S5", "Status.5"},
                                                          {"S31", "Status.31"},
                                                          {"W7", "Words[3].7"},
                                                          {"F37", "Flags[37]"},
                                                          {"Slice", "Flags[32~63]"},
                                                          {"All", "Flags"},
                                                          {"G12", "Grid[1,2]"},
                                                          {"Row1", "Grid[1,0~3]"}}) {
        list.push_back({{"Tag Alias", alias}, {"Tag Name", name}, {"RW Flag", "RW"}});
    }
    ASSERT_EQ(std::vector<std::string>(8, "success!"),
              link.Tags("/L/EM Tags/Add Tags", list.dump()));
    ASSERT_EQ("success!", link.StartPolling("L", 10));
    const auto write = [&](const char* alias, const char* value) {
        return link.Write("L", alias, value);
    };
    const auto shows = [&](const char* alias, const std::string& json) {
        EXPECT_TRUE(tb_test::WaitUntil([&] { return link.ValueText("L", alias) == json; }))
            << alias << ": " << link.ValueText("L", alias);
    };

    ASSERT_TRUE(plc.Tags().SetInt("Status", 0x0F0F));
    EXPECT_EQ(write("S5", "true"), "success!");
    EXPECT_EQ(plc.Tags().GetInt("Status"), 0x0F2F);
    ASSERT_TRUE(plc.Tags().SetInt("Status", 0x7F2F));  // another client
    EXPECT_EQ(write("S31", "1"), "success!");
    EXPECT_EQ(write("S5", "false"), "success!");
    EXPECT_EQ(plc.Tags().GetInt("Status"), static_cast<int32_t>(0x80007F0F));
    shows("S31", "true");
    shows("S5", "false");
    shows("W7", "false");

    ASSERT_TRUE(plc.Tags().SetBit("Flags", 3, true));
    ASSERT_TRUE(plc.Tags().SetBit("Flags", 37, true));
    std::vector<std::string> bits(64, "false");
    bits[3] = bits[37] = "true";
    const auto array = [&bits](size_t from, size_t count) {
        std::string json;
        for (size_t i = from; i < from + count; ++i) {
            json += (json.empty() ? "[" : ",") + bits[i];
        }
        return json + "]";
    };
    shows("F37", "true");
    shows("Slice", array(32, 32));
    shows("All", array(0, 64));
    EXPECT_EQ(write("F37", "false"), "success!");
    bits[37] = "false";
    EXPECT_EQ(plc.Tags().GetBit("Flags", 37), false);
    EXPECT_EQ(plc.Tags().GetBit("Flags", 3), true);
    shows("All", array(0, 64));

    shows("G12", "6");
    shows("Row1", "[4,5,6,7]");
    EXPECT_EQ(write("G12", "99"), "success!");
    EXPECT_EQ(plc.Tags().GetInt("Grid[1,2]"), 99);
    EXPECT_EQ(plc.Tags().GetInt("Grid[1,3]"), 7);
    EXPECT_TRUE(plc.Sim().ProtocolErrors().empty());
}

}  // namespace
