// The tagbridge and plcsim programs as processes, configured and read through the HTTP front
// only: a token that refuses a request without it, adding a PLC and its tags, polling, and a
// restart that restores all of it from the store.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "support/programs.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;
using tb_test::WaitUntil;

// The counter tag of line1 shows a number and then another one.
bool CountMoves(tb_test::Tagbridge& link) {
    json first;
    return WaitUntil([&] { return (first = link.TagValue("line1", "Count")).is_number(); },
                     std::chrono::seconds(60)) &&
           WaitUntil([&] { return link.TagValue("line1", "Count") != first; });
}

TEST(HttpEndToEndTest, ConfiguredOverHttpWithATokenAndRestoredAfterARestart) {
    tb_test::TempDir dir;
    tb_test::PlcSim sim({"--tag", "Count:DINT@counter:1:100", "--tag", "Setpoint:DINT=5"});
    ASSERT_NE(sim.port(), 0);
    const std::vector<std::string> token = {"--token", "e2e-secret"};
    {
        tb_test::Tagbridge link(dir.file("data"), token);
        ASSERT_TRUE(link.ready()) << link.Output();
        int status = 0;
        link.Invoke("/addplc", {{"Alias", "line1"}, {"Host", "127.0.0.1"}, {"Port", sim.port()}},
                    &status);
        EXPECT_EQ(status, 401);
        link.SetToken("e2e-secret");
        EXPECT_EQ(link.Node("/").value()["children"], json::array({"addplc"}))
            << "the refused request added nothing";
        ASSERT_TRUE(
            link.AddPolledPlc("line1", sim.port(), tb_test::TagRows({"Count", "Setpoint"}), 100))
            << link.Output();
        ASSERT_TRUE(CountMoves(link)) << link.Output();
        link.process().Signal(SIGINT);
        const auto exit = link.process().Wait(std::chrono::seconds(30));
        ASSERT_TRUE(exit) << "tagbridge did not stop on SIGINT";
        EXPECT_TRUE(WIFEXITED(*exit) && WEXITSTATUS(*exit) == 0) << link.Output();
    }
    // Same data directory, nothing configured through HTTP this time.
    tb_test::Tagbridge link(dir.file("data"), token);
    link.SetToken("e2e-secret");
    ASSERT_TRUE(link.ready()) << link.Output();
    EXPECT_TRUE(CountMoves(link)) << link.Output();
    EXPECT_EQ(link.Node("/line1/EM Tags").value()["configs"]["$Polling Interval"], 100);
    EXPECT_EQ(link.TagValue("line1", "Setpoint"), 5);
}

}  // namespace
