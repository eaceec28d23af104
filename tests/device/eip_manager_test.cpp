// The PLC registry: adding, restoring, looking up and removing devices.

#include <gtest/gtest.h>

#include "device_fixture.h"

namespace tb_device_test {
namespace {

using ManagerTest = DeviceFixture;

TEST_F(ManagerTest, SecondAddOfAnAliasIsRefusedAndTheFirstKeepsRunning) {
    EipDevice* first = AddPlc("PLC1");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(-1, manager.AddPLC(plc.Info("PLC1"), false));
    EXPECT_TRUE(log.Contains("Alias is already exist - PLC1"));
    EXPECT_EQ(first, manager.GetPLC("PLC1").get());
    EXPECT_TRUE(first->IsCnxnUp());
}

TEST_F(ManagerTest, UnreachablePlcLeavesNoEntry) {
    _eipConnectInfo info = plc.Info("Dead");
    info.port = ClosedPort();
    EXPECT_NE(0, manager.AddPLC(info, false));
    EXPECT_EQ(nullptr, manager.GetPLC("Dead"));
    EXPECT_TRUE(manager.GetAliases().empty());
}

TEST_F(ManagerTest, RestoreReusesThePlaceholderAndKeepsRetryingUntilThePlcAnswers) {
    ASSERT_EQ(0, manager.AddPLCTemp("PLC1"));
    EXPECT_EQ(-1, manager.AddPLCTemp("PLC1"));
    EipDevice* placeholder = manager.GetPLC("PLC1").get();
    ASSERT_NE(placeholder, nullptr);
    EXPECT_TRUE(placeholder->IsNeverConnected());
    placeholder->SetCallbacks(rec.Callbacks());
    plc.Sim().Stop();
    // The restore only registers the settings; the device's own engine connects.
    EXPECT_EQ(0, manager.AddPLC(plc.Info("PLC1"), true));
    EXPECT_EQ(placeholder, manager.GetPLC("PLC1").get());
    placeholder->StartRestore();
    EXPECT_FALSE(placeholder->IsCnxnUp());
    ASSERT_TRUE(plc.Sim().Restart());
    EXPECT_TRUE(WaitUntil([&] { return placeholder->IsCnxnUp(); }));
    EXPECT_FALSE(placeholder->IsNeverConnected());
    EXPECT_EQ((std::vector<std::string>{"PLC1"}), manager.GetAliases());
}

TEST_F(ManagerTest, AliasesAreCaseSensitiveAndInByteOrder) {
    ASSERT_EQ(0, manager.AddPLCTemp("PLC2"));
    ASSERT_EQ(0, manager.AddPLCTemp("PLC10"));
    ASSERT_EQ(0, manager.AddPLCTemp("plc1"));
    EXPECT_EQ((std::vector<std::string>{"PLC10", "PLC2", "plc1"}), manager.GetAliases());
    EXPECT_EQ(-1, manager.RemovePLC("PLC1"));
    EXPECT_EQ(nullptr, manager.GetPLC("PLC1"));
    EXPECT_EQ(0, manager.RemovePLC("PLC2"));
    EXPECT_EQ((std::vector<std::string>{"PLC10", "plc1"}), manager.GetAliases());
}

TEST_F(ManagerTest, RegistryDestructionStopsEveryDevice) {
    auto registry = std::make_unique<EipManager>();
    ASSERT_EQ(0, registry->AddPLC(plc.Info("A"), false));
    ASSERT_EQ(0, registry->AddPLC(plc.Info("B"), false));
    EXPECT_TRUE(WaitUntil([&] { return plc.Sim().ClientCount() == 2; }));
    registry.reset();
    EXPECT_TRUE(WaitUntil([&] { return plc.Sim().ClientCount() == 0; }));
}

}  // namespace
}  // namespace tb_device_test
