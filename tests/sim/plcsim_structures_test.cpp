// plcsim holds structured data as a Logix controller does: TIMER, COUNTER and user structures
// with their templates (BOOL members as bits of hidden hosts), whole-structure reads and writes
// with the structure handle, member paths, custom strings; pinned as request and reply bytes
// laid out as 1756-PM020 describes them. Timers run and counters count.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/logix_services.h"
#include "support/hex.h"

using tb_test::Hex;

namespace {

using Bytes = std::vector<uint8_t>;

class PlcsimStructuresTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        const plcsim::LogixTypeDefinition types[] = {
            {"LIMITS", {{"Low", "INT"}, {"High", "INT"}}, 0},
            {"RECIPE",
             {{"Ready", "BOOL"},
              {"Done", "BOOL"},
              {"Temp", "REAL"},
              {"Steps", "DINT", 2},
              {"Limits", "LIMITS"},
              {"Label", "STRING32"}},
             0}};
        for (const auto& type : types) {
            ASSERT_TRUE(plc.Tags().DefineType(type, error)) << error;
        }
        plc.DefineTag({"Timer1", "TIMER", {}, {{"PRE", 500}}, {}});
        plc.DefineTag({"Count1", "COUNTER", {}, {{"PRE", 10}}, {}});
        plc.DefineTag({"Label", "STRING32", {}, "Line 3", {}});
        plc.DefineTag({"Recipe1",
                       "RECIPE",
                       {},
                       {{"Ready", true},
                        {"Temp", 1.5},
                        {"Steps", {7, 8}},
                        {"Limits", {{"Low", -1}, {"High", 9}}},
                        {"Label", "ab"}},
                       {}});
    }
    Bytes Execute(const Bytes& request) {
        return plc.Sim().Router().Execute(ByteView{request.data(), request.size()}, nullptr, 1);
    }
    plcsim::LogixController plc{plcsim::SimConfig{}};
};

}  // namespace

TEST_F(PlcsimStructuresTest, TemplatesAndStructureRepliesAreTheControllersByteForByte) {
    const struct {
        const char* request;
        const char* reply;
    } rows[] = {
        // TIMER's template: attributes 4, 5, 2, 1, then its definition (77 bytes, 25 words).
        {"03 03 206C 2500 830F 0400 0400 0500 0200 0100",
         "83000000 0400 0400 0000 19000000 0500 0000 0C000000 0200 0000 0600 0100 0000 830F"},
        {"4C 03 206C 2500 830F 00000000 4D00",
         "CC000000 0000C400 00000000 0000C400 04000000 0000C400 08000000 1F00C100 00000000"
         " 1E00C100 00000000 1D00C100 00000000 'TIMER;n' 00 'CTL' 00 'PRE' 00 'ACC' 00 'EN' 00"
         " 'TT' 00 'DN' 00"},
        // RECIPE: a hidden SINT host before its two BOOLs (bits 0 and 1), a DINT[2], a nested
        // structure and a custom string, 56 bytes.
        {"4C 03 206C 2500 B809 00000000 FF00",
         "CC000000 0000C200 00000000 0000C100 00000000 0100C100 00000000 0000CA00 04000000"
         " 0200C420 08000000 0000E48C 10000000 00003783 14000000 'RECIPE;n' 00"
         " 'ZZZZZZZZZZRECIPE0' 00 'Ready' 00 'Done' 00 'Temp' 00 'Steps' 00 'Limits' 00"
         " 'Label' 00"},
        // Whole structures answer with their handle; members as their own type.
        {"4C 04 9106 'Timer1' 0100", "CC000000 A002 830F 00000000 F4010000 00000000"},
        {"4C 07 9106 'Timer1' 9103 'PRE' 00 0100", "CC000000 C400 F4010000"},
        {"4C 04 9105 'Label' 00 0100",
         "CC000000 A002 3703 06000000 'Line 3' "
         "0000000000000000000000000000000000000000000000000000"},
        {"4C 05 9107 'Recipe1' 00 0100",
         "CC000000 A002 B849 01000000 0000C03F 07000000 08000000 FFFF0900 02000000 'ab'"
         " 000000000000000000000000000000000000000000000000000000000000"},
        // Every fragment of a fragmented read carries the handle.
        {"52 05 9107 'Recipe1' 00 0100 34000000", "D2000000 A002 B849 00000000"},
        // A BOOL member written alone sets its bit of the host; a whole write needs the handle.
        {"4D 06 9106 'Count1' 9102 'OV' C100 0100 01", "CD000000"},
        {"4C 04 9106 'Count1' 0100", "CC000000 A002 820F 00000010 0A000000 00000000"},
        {"4D 04 9106 'Count1' A002 830F 0100 00000000 0A000000 0A000000", "CD00FF01 0721"},
        {"4D 04 9106 'Count1' A002 820F 0100 00000000 0A000000 0A000000", "CD000000"},
        {"4C 06 9106 'Count1' 9102 'DN' 0100", "CC000000 C100 01"},
        {"4C 06 9106 'Count1' 9102 'XX' 0100", "CC000500"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Execute(Hex(row.request)), Hex(row.reply)) << row.request;
    }
}

TEST_F(PlcsimStructuresTest, BitMemberMaskedOnItsHostLeavesItsNeighbours) {
    // Set Done (bit 1) with Read-Modify-Write on the hidden host; Ready (bit 0) stays.
    EXPECT_EQ(Execute(Hex("4E 0F 9107 'Recipe1' 00 9111 'ZZZZZZZZZZRECIPE0' 00 0100 02 FF")),
              Hex("CE000000"));
    EXPECT_EQ(plc.Tags().GetInt("Recipe1.Ready"), 1);
    EXPECT_EQ(plc.Tags().GetInt("Recipe1.Done"), 1);
    // Reset Ready through its own path: a one-byte mask on its bit alone.
    EXPECT_EQ(Execute(Hex("4E 09 9107 'Recipe1' 00 9105 'Ready' 00 0100 00 FE")), Hex("CE000000"));
    EXPECT_EQ(plc.Tags().GetBytes("Recipe1.ZZZZZZZZZZRECIPE0"), Hex("02"));
}

TEST_F(PlcsimStructuresTest, TimerRunsWhileEnabledAndCounterCounts) {
    plc.DefineTag({"Slow", "TIMER", {}, {{"PRE", 100000}, {"EN", true}}, {}});
    plc.DefineTag({"Quick", "TIMER", {}, {{"PRE", 20}, {"EN", true}}, {}});
    plcsim::LogixTagDefinition count{"Pulses", "COUNTER", {}, {{"PRE", 3}}, {}};
    count.animation = {plcsim::LogixAnimation::Kind::Counter, 1, 0, 0, 5};
    plc.DefineTag(count);
    const int64_t first = *plc.Tags().GetInt("Slow.ACC");
    while (plc.Tags().GetInt("Slow.ACC") == first || plc.Tags().GetInt("Quick.DN") != 1 ||
           plc.Tags().GetInt("Pulses.DN") != 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(plc.Tags().GetInt("Slow.TT"), 1);
    EXPECT_EQ(plc.Tags().GetInt("Quick.ACC"), 20);  // stops at PRE
    EXPECT_EQ(plc.Tags().GetInt("Quick.TT"), 0);
    EXPECT_GE(*plc.Tags().GetInt("Pulses.ACC"), 3);
    ASSERT_TRUE(plc.Tags().SetInt("Quick.EN", 0));  // the rung goes false: reset
    EXPECT_EQ(plc.Tags().GetBytes("Quick"), Hex("00000000 14000000 00000000"));
    // A restarting timer, once done, times again.
    plcsim::LogixTagDefinition again{"Again", "TIMER", {}, {{"PRE", 50}, {"EN", true}}, {}};
    again.animation.kind = plcsim::LogixAnimation::Kind::Counter;
    plc.DefineTag(again);
    while (plc.Tags().GetInt("Again.DN") != 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    while (plc.Tags().GetInt("Again.TT") != 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LT(*plc.Tags().GetInt("Again.ACC"), 50);
}
