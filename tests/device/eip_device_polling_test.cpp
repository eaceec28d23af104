// The PLC registry (adding, restoring, looking up and removing devices) and the polling cycle of
// one device against an in-process Logix controller: tags changing under a running cycle,
// time-outs and the states they bring, read errors, the session shared by writes and its removal.

#include <gtest/gtest.h>

#include <algorithm>

#include "device/device_test_support.h"

namespace tb_device_test {
namespace {

using plcsim::Fault;
using plcsim::FaultAction;

class DevicePollingTest : public DeviceFixture {
  protected:
    // A device polling DINT tags T0..T(n-1), read from D0..D(n-1), every `interval` ms.
    EipDevice* StartPolling(int count, int interval = 10) {
        EipDevice* device = AddPlc();
        plc.DefineDints("D", count);
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(0,
                      AddExplicitTag(device, "T" + std::to_string(i), "D" + std::to_string(i), "R"))
                << lastMessage;
        }
        std::string message;
        EXPECT_EQ(0, device->StartExplicitPolling(interval, message)) << message;
        return device;
    }
    bool AllValuesArrive(int count) {
        return WaitUntil([&] {
            for (int i = 0; i < count; ++i) {
                if (rec.Value("T" + std::to_string(i)) != Dint(1000 + i)) {
                    return false;
                }
            }
            return true;
        });
    }
    // Waits until `tag` has had `cycles` more values: every change made before is then seen.
    bool MoreCycles(const std::string& tag, size_t cycles) {
        const size_t from = rec.ValueCount(tag);
        return WaitUntil([&] { return rec.ValueCount(tag) >= from + cycles; });
    }
    static bool Notified(const std::vector<unsigned char>& states, unsigned char state) {
        return std::find(states.begin(), states.end(), state) != states.end();
    }
};

// Tags removed or replaced while cycles run: a removed tag is never published again, a
// replaced one is read under its new definition, and the other tags keep their values.
TEST_F(DevicePollingTest, TagsChangedWhilePollingArePolledAsTheyAreNow) {
    EipDevice* device = StartPolling(40);
    plc.Define("Other", "DINT", 4242);
    ASSERT_TRUE(AllValuesArrive(40));
    for (int i = 0; i < 40; i += 4) {
        ASSERT_EQ(0, device->RemoveTagFromMap("T" + std::to_string(i), 1, true));
    }
    ASSERT_EQ(0, EditTag(device, R"({"Tag Alias":"T5","Tag Name":"Other"})")) << lastMessage;
    // A cycle that started before the changes may still publish them once.
    ASSERT_TRUE(MoreCycles("T39", 2));
    std::map<std::string, size_t> removed;
    for (int i = 0; i < 40; i += 4) {
        removed["T" + std::to_string(i)] = rec.ValueCount("T" + std::to_string(i));
    }
    ASSERT_TRUE(MoreCycles("T39", 5));
    for (const auto& entry : removed) {
        EXPECT_EQ(entry.second, rec.ValueCount(entry.first)) << entry.first;
    }
    EXPECT_EQ(Dint(4242), rec.Value("T5"));
    for (int i = 1; i < 40; i += 2) {
        if (i != 5) {
            EXPECT_EQ(Dint(1000 + i), rec.Value("T" + std::to_string(i)));
        }
    }
}

TEST_F(DevicePollingTest, DroppedReplyTimesOutThenReconnectsAndPollingResumes) {
    EipDevice* device = StartPolling(1);
    ASSERT_TRUE(AllValuesArrive(1));
    Fault drop;
    drop.action = FaultAction::Drop;
    drop.command = 0x70;
    plc.Sim().InjectFault(drop);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("PLC1: EM tag request timed out."); }));
    EXPECT_EQ(1u, log.Count("EM tag request timed out."));
    EXPECT_TRUE(WaitUntil([&] { return Notified(rec.ExplicitStates(), kExplicitNonExist); }));
    EXPECT_TRUE(WaitUntil([&] { return Notified(rec.UCMMStates(), kUcmmNonExist); }));
    EXPECT_TRUE(MoreCycles("T0", 5));
    EXPECT_EQ(0, device->GetExplicitPollingStopped());
}

TEST_F(DevicePollingTest, ReadErrorOfOneTagDoesNotStopTheOthers) {
    StartPolling(3);
    ASSERT_TRUE(AllValuesArrive(3));
    ASSERT_TRUE(plc.Tags().Remove("D1"));
    ASSERT_TRUE(plc.Tags().SetInt("D2", 9));
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("T2") == Dint(9); }));
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("PLC1: T1 - read refused by the PLC"); }));
}

// Removing a polling PLC joins its threads and closes its session; a registry that goes away
// stops every device still in it.
TEST_F(DevicePollingTest, RemovingAPollingPlcJoinsItsThreadsAndClosesTheSession) {
    StartPolling(40);
    ASSERT_TRUE(AllValuesArrive(40));
    auto registry = std::make_unique<EipManager>();
    ASSERT_EQ(0, registry->AddPLC(plc.Info("A"), false));
    ASSERT_EQ(0, registry->AddPLC(plc.Info("B"), false));
    EXPECT_TRUE(WaitUntil([&] { return plc.Sim().ClientCount() == 3; }));
    EXPECT_EQ(0, manager.RemovePLC("PLC1"));
    EXPECT_EQ(nullptr, manager.GetPLC("PLC1"));
    EXPECT_TRUE(WaitUntil([&] { return plc.Sim().ClientCount() == 2; }));
    // Tag nodes stay: the PLC's subtree goes with its node.
    EXPECT_TRUE(rec.Events("removed").empty());
    registry.reset();
    EXPECT_TRUE(WaitUntil([&] { return plc.Sim().ClientCount() == 0; }));
}

// The session's class-3 connection, its keep-alive and the writes that share it.
TEST_F(DevicePollingTest, AnIdleConnectionOutlivesTheControllersTimeOut) {
    EipDevice* device = AddPlc();
    plc.DefineDints("D", 1);
    ASSERT_EQ(0, AddExplicitTag(device, "T0", "D0", "R")) << lastMessage;
    // The controller drops the connection after 4 RPIs of silence: 200 ms from the reconnect on.
    device->SetExplicitConnectionRpi(50);
    plc.Sim().CloseSession(plc.Sim().Connections().at(0).sessionHandle);
    ASSERT_TRUE(WaitUntil([&] {
        const std::vector<unsigned char> states = rec.ExplicitStates();
        return plc.Sim().Stats().forwardOpens == 2 && states.back() == kExplicitReady;
    }));
    const size_t statesBefore = rec.ExplicitStates().size();
    std::this_thread::sleep_for(1s);
    std::string message;
    ASSERT_EQ(0, device->StartExplicitPolling(10, message)) << message;
    ASSERT_TRUE(AllValuesArrive(1));
    const std::vector<unsigned char> states = rec.ExplicitStates();
    EXPECT_FALSE(Notified({states.begin() + statesBefore, states.end()}, kExplicitNonExist));
    EXPECT_EQ(1u, plc.Sim().Connections().size());
    EXPECT_TRUE(plc.Sim().ProtocolErrors().empty());
}

TEST_F(DevicePollingTest, WritesShareTheSessionOfAPollingPlc) {
    EipDevice* device = StartPolling(1);
    plc.Define("W", "DINT", 0);
    ASSERT_EQ(0, AddExplicitTag(device, "W", "W")) << lastMessage;
    ASSERT_TRUE(AllValuesArrive(1));
    const uint64_t sessionsBefore = plc.Sim().Stats().sessionsRegistered;
    for (int i = 1; i <= 200; ++i) {
        ASSERT_EQ(0, WriteTag(device, R"({"Tag Alias":"W","value":)" + std::to_string(i) + "}"))
            << lastMessage;
    }
    EXPECT_EQ(200, plc.Tags().GetInt("W").value_or(0));
    EXPECT_LE(plc.Sim().Stats().sessionsRegistered - sessionsBefore, 1u);
    EXPECT_TRUE(MoreCycles("T0", 2));
}

// A reply that arrives in two pieces keeps a request under way most of the time; the removal
// still closes the connection with a Forward Close.
TEST_F(DevicePollingTest, RemovingAPlcMidPollSendsTheForwardClose) {
    StartPolling(1);
    ASSERT_TRUE(AllValuesArrive(1));
    Fault split;
    split.action = FaultAction::Split;
    split.command = 0x70;
    split.count = 0;
    split.delay = 300ms;
    plc.Sim().InjectFault(split);
    std::this_thread::sleep_for(450ms);
    EXPECT_EQ(0, manager.RemovePLC("PLC1"));
    EXPECT_EQ(1u, plc.Sim().Stats().forwardCloses);
    EXPECT_TRUE(plc.Sim().Connections().empty());
}

// ---- Registry ----------------------------------------------------------------------------------

using ManagerTest = DeviceFixture;

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
    EXPECT_FALSE(placeholder->IsConnected());
    ASSERT_TRUE(plc.Sim().Restart());
    EXPECT_TRUE(WaitUntil([&] { return placeholder->IsConnected(); }));
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

}  // namespace
}  // namespace tb_device_test
