// Every elementary type, bits of integers, BOOL arrays and multi-dimensional arrays through the
// actions against plcsim: written, read back by polling, refused beyond their limits.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "action/link_errors.h"
#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"
#include "strata_sdk/sdk.h"
#include "support/action_link.h"
#include "support/sim_plc.h"

namespace {

using Tags = std::vector<std::pair<std::string, std::string>>;  // alias, name

class LogixTypesDeviceTest : public ::testing::Test {
  protected:
    // Defines the controller's tags and adds the link's read-write tags, polled at 10 ms.
    void Start(const std::vector<plcsim::LogixTagDefinition>& defined, const Tags& tags) {
        ASSERT_TRUE(plc.Started());
        plc.Define(defined);
        ASSERT_TRUE(link.Ready());
        ASSERT_EQ("success!", link.AddPlc("L", plc.Sim().Port()));
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [alias, name] : tags) {
            list.push_back({{"Tag Alias", alias}, {"Tag Name", name}, {"RW Flag", "RW"}});
        }
        ASSERT_EQ(std::vector<std::string>(tags.size(), "success!"),
                  link.Tags("/L/EM Tags/Add Tags", list.dump()));
        ASSERT_EQ("success!", link.StartPolling("L", 10));
    }
    void TearDown() override { EXPECT_TRUE(plc.Sim().ProtocolErrors().empty()); }

    std::string Write(const std::string& alias, const std::string& value) {
        return link.Write("L", alias, value);
    }
    // Expects the polled value of the tag to read as the JSON text.
    void Shows(const std::string& alias, const std::string& json) {
        EXPECT_TRUE(tb_test::WaitUntil([&] { return link.ValueText("L", alias) == json; }))
            << alias << ": " << link.ValueText("L", alias);
    }

    tb_test::SimPlc plc;
    tb_test::ActionLink link;
};

// Minimum and maximum written and read back exactly (64-bit ones beyond 2^53 too); one beyond
// either end refused as an invalid value, the controller's value kept.
TEST_F(LogixTypesDeviceTest, EveryTypeIsWrittenAndReadBackAtItsLimits) {
    const std::vector<std::vector<std::string>> cases = {
        // type, minimum, maximum, one below, one above
        {"BOOL", "false", "true", "-129", "256"},
        {"SINT", "-128", "127", "-129", "128"},
        {"USINT", "0", "255", "-1", "256"},
        {"INT", "-32768", "32767", "-32769", "32768"},
        {"UINT", "0", "65535", "-1", "65536"},
        {"DINT", "-2147483648", "2147483647", "-2147483649", "2147483648"},
        {"UDINT", "0", "4294967295", "-1", "4294967296"},
        {"LINT", "-9223372036854775808", "9223372036854775807", "\"-9223372036854775809\"",
         "9223372036854775808"},
        {"ULINT", "0", "18446744073709551615", "-1", "\"18446744073709551616\""},
        {"REAL", "-3.4028234663852886e+38", "3.4028234663852886e+38", "-1e39", "1e39"},
        {"LREAL", "-1.7976931348623157e+308", "1.7976931348623157e+308", "\"-1e309\"", "\"1e309\""},
    };
    std::vector<plcsim::LogixTagDefinition> defined;
    Tags tags;
    for (const auto& c : cases) {
        defined.push_back({});
        defined.back().name = "T" + c[0];
        defined.back().type = c[0];
        tags.emplace_back(c[0], "T" + c[0]);
    }
    Start(defined, tags);
    const std::string invalid = link_error::Message(link_error::kInvalidValue);
    for (const auto& c : cases) {
        for (size_t i = 1; i <= 2; ++i) {
            EXPECT_EQ(Write(c[0], c[i]), "success!") << c[0] << " " << c[i];
            Shows(c[0], c[i]);
        }
        EXPECT_EQ(Write(c[0], c[3]), invalid) << c[0];
        EXPECT_EQ(Write(c[0], c[4]), invalid) << c[0];
        Shows(c[0], c[2]);
    }
}

// Bits of integers (read once per integer, written with Read Modify Write so that the bits
// another client set in between stay), BOOL array elements, slices and the whole array agreeing,
// and Grid[1,2] as element 1 * 4 + 2 of a DINT[3,4] in the controller's row-major order.
TEST_F(LogixTypesDeviceTest, BitsBoolArraysAndDimensionsAddressTheControllersElements) {
    std::vector<plcsim::LogixTagDefinition> defined(4);
    defined[0].name = "Status", defined[0].type = "DINT";
    defined[1].name = "Words", defined[1].type = "INT", defined[1].dims = {4};
    defined[2].name = "Flags", defined[2].type = "BOOL", defined[2].dims = {64};
    defined[3].name = "Grid", defined[3].type = "DINT", defined[3].dims = {3, 4};
    for (int i = 0; i < 12; ++i) {
        defined[3].value.push_back(i);
    }
    Start(defined, {{"S5", "Status.5"},
                    {"S31", "Status.31"},
                    {"W7", "Words[3].7"},
                    {"F37", "Flags[37]"},
                    {"Slice", "Flags[32~63]"},
                    {"All", "Flags"},
                    {"G12", "Grid[1,2]"},
                    {"Row1", "Grid[1,0~3]"}});
    ASSERT_TRUE(plc.Tags().SetInt("Status", 0x0F0F));
    EXPECT_EQ(Write("S5", "true"), "success!");
    EXPECT_EQ(plc.Tags().GetInt("Status"), 0x0F2F);
    ASSERT_TRUE(plc.Tags().SetInt("Status", 0x7F2F));  // another client
    EXPECT_EQ(Write("S31", "1"), "success!");
    EXPECT_EQ(Write("S5", "false"), "success!");
    EXPECT_EQ(plc.Tags().GetInt("Status"), static_cast<int32_t>(0x80007F0F));
    Shows("S31", "true");
    Shows("S5", "false");
    Shows("W7", "false");

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
    Shows("F37", "true");
    Shows("Slice", array(32, 32));
    Shows("All", array(0, 64));
    EXPECT_EQ(Write("F37", "false"), "success!");
    bits[37] = "false";
    EXPECT_EQ(plc.Tags().GetBit("Flags", 37), false);
    EXPECT_EQ(plc.Tags().GetBit("Flags", 3), true);
    Shows("All", array(0, 64));

    Shows("G12", "6");
    Shows("Row1", "[4,5,6,7]");
    EXPECT_EQ(Write("G12", "99"), "success!");
    EXPECT_EQ(plc.Tags().GetInt("Grid[1,2]"), 99);
    EXPECT_EQ(plc.Tags().GetInt("Grid[1,3]"), 7);
}

}  // namespace
