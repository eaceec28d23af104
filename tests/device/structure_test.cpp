// Logix structures through the link as users see them: TIMER and COUNTER members move, a user
// structure shows as one object, writes change only what they name, custom strings read and
// write as text within their capacity, and a BOOL member's write leaves its neighbours alone.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "device/device_test_support.h"
#include "strata_sdk/sdk.h"
#include "support/action_link.h"

namespace sdk = kestrel::strata_sdk;
using tb_device_test::WaitUntil;

namespace {

const char kRecipe[] =
    R"({"Done":false,"Limits":{"High":9,"Low":-1},"Name":"Batch 7","Ready":true,)"
    R"("Steps":[7,8,0],"Temp":1.5})";

class StructureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Started());
        std::string error;
        const plcsim::LogixTypeDefinition types[] = {
            {"LIMITS", {{"Low", "INT"}, {"High", "INT"}}, 0},
            {"RECIPE",
             {{"Ready", "BOOL"},
              {"Done", "BOOL"},
              {"Temp", "REAL"},
              {"Steps", "DINT", 3},
              {"Limits", "LIMITS"},
              {"Name", "STRING"}},
             0}};
        for (const auto& type : types) {
            ASSERT_TRUE(plc.Tags().DefineType(type, error)) << error;
        }
        Define({"Recipe1", "RECIPE", {}, nlohmann::json::parse(kRecipe), {}});
        Define({"Timer1", "TIMER", {}, {{"PRE", 2000}, {"EN", true}}, {}});
        const plcsim::LogixAnimation counting{plcsim::LogixAnimation::Kind::Counter, 1, 0, 0, 20};
        Define({"Count1", "COUNTER", {}, {{"PRE", 100}}, counting});
        Define({"Label", "STRING32", {}, "Line 3", {}});
        ASSERT_TRUE(link.Ready());
        ASSERT_EQ("success!", link.AddPlc("PLC1", plc.Sim().Port()));
    }
    void Define(const plcsim::LogixTagDefinition& definition) {
        std::string error;
        ASSERT_TRUE(plc.Tags().Define(definition, error)) << error;
    }
    std::vector<std::string> AddTags(const std::vector<std::string>& names) {
        std::string json = "[";
        for (const std::string& name : names) {
            json += (json.size() > 1 ? "," : "") + std::string("{\"Tag Alias\":\"") + name +
                    "\",\"Tag Name\":\"" + name + "\",\"RW Flag\":\"RW\"}";
        }
        return link.Tags("/PLC1/EM Tags/Add Tags", json + "]");
    }
    void Poll() {
        ASSERT_EQ(
            std::vector<std::string>{"success!"},
            link.Messages(link.Invoke("/PLC1/EM Tags/Start Polling", R"j({"Interval(ms)":20})j")));
    }
    std::string Write(const std::string& alias, const std::string& value) {
        const auto messages =
            link.Tags("/PLC1/EM Tags/Write Tags",
                      R"({"Tag Alias":")" + alias + R"(","value":)" + value + "}");
        return messages.empty() ? std::string() : messages[0];
    }
    sdk::Variant Value(const std::string& alias) {
        return link.Value("/PLC1/EM Tags/Read Tags List/" + alias);
    }
    bool Shows(const std::string& alias, const std::string& json) {
        const std::string expected = sdk::json::to_json_string(sdk::json::from_json_string(json));
        return WaitUntil([&] { return sdk::json::to_json_string(Value(alias)) == expected; });
    }

    tb_device_test::LogCapture log{0};
    tb_device_test::SimPlc plc;
    tb_test::ActionLink link;
};

}  // namespace

// Members added one by one are read through one read of their structure, so a TIMER's ACC and
// DN come from the same moment: DN is set exactly when ACC has reached PRE. EN, a bit of the
// TIMER's hidden status word, restarts it through a masked write.
TEST_F(StructureTest, TimerAndCounterMembersMoveAndTheTimerIsDoneAtItsPreset) {
    ASSERT_EQ(std::vector<std::string>(5, "success!"),
              AddTags({"Timer1.ACC", "Timer1.DN", "Timer1.EN", "Timer1.PRE", "Count1.ACC"}));
    Poll();
    const auto acc = [&] {
        return Value("Timer1.ACC").is_number() ? Value("Timer1.ACC").as_int() : -1;
    };
    const auto done = [&] { return Value("Timer1.DN").is_bool() && Value("Timer1.DN").as_bool(); };
    EXPECT_TRUE(WaitUntil(
        [&] { return Value("Count1.ACC").is_number() && Value("Count1.ACC").as_int() >= 3; }));
    EXPECT_EQ("success!", Write("Timer1.EN", "false"));
    EXPECT_TRUE(WaitUntil([&] { return acc() == 0 && !done(); }));
    EXPECT_EQ("success!", Write("Timer1.EN", "true"));
    EXPECT_TRUE(WaitUntil([&] { return acc() > 0 && acc() < 2000 && !done(); }));
    EXPECT_TRUE(WaitUntil([&] { return done(); }));
    EXPECT_EQ(2000, acc());
    EXPECT_EQ(2000, Value("Timer1.PRE").as_int());
    EXPECT_TRUE(Value("Timer1.EN").as_bool());
}

TEST_F(StructureTest, StructuresReadAsObjectsAndWritesChangeOnlyWhatTheyName) {
    ASSERT_EQ(std::vector<std::string>(4, "success!"),
              AddTags({"Recipe1", "Label", "Recipe1.Ready", "Recipe1.Limits"}));
    Poll();
    EXPECT_TRUE(Shows("Recipe1", kRecipe));
    EXPECT_TRUE(Shows("Recipe1.Limits", R"({"High":9,"Low":-1})"));
    EXPECT_TRUE(Shows("Label", R"("Line 3")"));

    EXPECT_EQ("success!", Write("Recipe1", R"({"Limits":{"High":90},"Steps":[5],"Name":"B8"})"));
    EXPECT_TRUE(Shows("Recipe1", R"({"Done":false,"Limits":{"High":90,"Low":-1},"Name":"B8",)"
                                 R"("Ready":true,"Steps":[5,8,0],"Temp":1.5})"));
    // Refused with the member's name, and nothing written.
    for (const auto& [value, member] : {std::pair{R"({"Temp":2.5,"Spee":1})", "Spee"},
                                        std::pair{R"({"Limits":{"Low":"low"}})", "Low"}}) {
        EXPECT_NE(std::string::npos, Write("Recipe1", value).find(member)) << value;
    }
    EXPECT_EQ(std::string::npos,
              Write("Label", "\"" + std::string(33, 'x') + "\"").find("success"));
    EXPECT_EQ("success!", Write("Label", "\"" + std::string(32, 'y') + "\""));
    EXPECT_TRUE(Shows("Label", "\"" + std::string(32, 'y') + "\""));

    // A BOOL member is written through its host: its neighbour Done keeps its value.
    EXPECT_EQ("success!", Write("Recipe1.Ready", "false"));
    EXPECT_EQ("success!", Write("Recipe1", R"({"Done":true})"));
    EXPECT_EQ("success!", Write("Recipe1.Ready", "true"));
    EXPECT_TRUE(Shows("Recipe1", R"({"Done":true,"Limits":{"High":90,"Low":-1},"Name":"B8",)"
                                 R"("Ready":true,"Steps":[5,8,0],"Temp":1.5})"));
    EXPECT_TRUE(Shows("Recipe1.Ready", "true"));
}
