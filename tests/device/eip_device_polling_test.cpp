// Connection lifecycle, worker threads and the polling cycle of one device
// against an in-process Logix controller.

#include <gtest/gtest.h>

#include <algorithm>

#include "device_fixture.h"

namespace tb_device_test {
namespace {

using plcsim::Fault;
using plcsim::FaultAction;

class DevicePollingTest : public DeviceFixture {
  protected:
    // Adds DINT tags T0..T(n-1) reading plc tags D0..D(n-1).
    void AddDintTags(EipDevice* device, int count) {
        plc.DefineDints("D", count);
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(0, AddEMTag(device, "T" + std::to_string(i), "D" + std::to_string(i), "R"))
                << lastMessage;
        }
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
};

TEST_F(DevicePollingTest, ConnectedDeviceIsUpWithReadyStates) {
    EipDevice* device = AddPlc();
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->IsCnxnUp());
    EXPECT_EQ(EM_CNXN_READY, device->GetEMCnxnState());
    EXPECT_EQ(UCMM_READY, device->GetUCMMState());
    EXPECT_EQ("1756-L61/B LOGIX5561", device->GetProductInfo().productName);
    EXPECT_EQ(1u, plc.Sim().Connections().size());
}

TEST_F(DevicePollingTest, PollsOneTagAndFollowsItsChanges) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 1);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    ASSERT_TRUE(AllValuesArrive(1));
    ASSERT_TRUE(plc.Tags().SetInt("D0", -5));
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("T0") == Dint(-5); }));
    EXPECT_TRUE(plc.Sim().ProtocolErrors().empty());
}

TEST_F(DevicePollingTest, PollsFortyTagsInOneRequestOfTheLargeConnection) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 40);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(1000, message));
    ASSERT_TRUE(AllValuesArrive(40));
    EXPECT_GE(plc.Sim().Stats().connectedRequests, 1u);
    EXPECT_EQ(1u, rec.ValueCount("T39"));
    EXPECT_TRUE(plc.Sim().ProtocolErrors().empty());
}

TEST_F(DevicePollingTest, PollsAThousandTags) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 1000);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    EXPECT_TRUE(AllValuesArrive(1000));
}

TEST_F(DevicePollingTest, StatesAreBusyWhileARequestIsOutstandingAndReadyAfterTheCycle) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 1);
    Fault delay;
    delay.action = FaultAction::Delay;
    delay.command = 0x70;
    delay.delay = std::chrono::milliseconds(1500);
    plc.Sim().InjectFault(delay);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(1000, message));
    ASSERT_TRUE(WaitUntil([&] { return device->GetEMCnxnState() == EM_CNXN_BUSY; }));
    EXPECT_EQ(UCMM_BUSY, device->GetUCMMState());
    ASSERT_TRUE(WaitUntil([&] { return rec.ValueCount("T0") >= 1; }));
    // The notifications follow the state itself: wait for the recorded READY of both.
    ASSERT_TRUE(WaitUntil([&] {
        const auto em = rec.EMStates();
        const auto ucmm = rec.UCMMStates();
        return !em.empty() && em.back() == EM_CNXN_READY && !ucmm.empty() &&
               ucmm.back() == UCMM_READY;
    }));
    // Notified: BUSY at the cycle start, READY at its end (EM 1 then 2, UCMM 2 then 1).
    auto em = rec.EMStates();
    auto ucmm = rec.UCMMStates();
    auto busy = std::find(em.begin(), em.end(), EM_CNXN_BUSY);
    ASSERT_NE(busy, em.end());
    EXPECT_NE(std::find(busy, em.end(), EM_CNXN_READY), em.end());
    auto ucmmBusy = std::find(ucmm.begin(), ucmm.end(), UCMM_BUSY);
    ASSERT_NE(ucmmBusy, ucmm.end());
    EXPECT_NE(std::find(ucmmBusy, ucmm.end(), UCMM_READY), ucmm.end());
}

TEST_F(DevicePollingTest, StopAndStartRebuildTheListAndToggleTheActions) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 2);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    EXPECT_EQ(0, device->GetEMPollingStopped());
    EXPECT_EQ(10, device->GetEMPollingInterval());
    ASSERT_TRUE(AllValuesArrive(2));
    EXPECT_EQ(0, device->StopEMPolling(message));
    EXPECT_EQ(1, device->GetEMPollingStopped());
    auto toggles = rec.Toggles();
    ASSERT_GE(toggles.size(), 2u);
    EXPECT_EQ(std::make_pair(static_cast<signed char>(0), static_cast<unsigned short>(10)),
              toggles[toggles.size() - 2]);
    EXPECT_EQ(std::make_pair(static_cast<signed char>(1), static_cast<unsigned short>(0)),
              toggles.back());
    ASSERT_EQ(0, device->RemoveTagFromMap("T1", 1, true));
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    // Values queued before the removal may still arrive; none after a few new cycles.
    const size_t t0 = rec.ValueCount("T0");
    ASSERT_TRUE(WaitUntil([&] { return rec.ValueCount("T0") > t0 + 2; }));
    const size_t before = rec.ValueCount("T1");
    const size_t t0Later = rec.ValueCount("T0");
    ASSERT_TRUE(WaitUntil([&] { return rec.ValueCount("T0") > t0Later + 5; }));
    EXPECT_EQ(before, rec.ValueCount("T1"));
}

TEST_F(DevicePollingTest, StartWithOnlyWriteOnlyTagsFails) {
    EipDevice* device = AddPlc();
    plc.Define("W0", "DINT", 0);
    ASSERT_EQ(0, AddEMTag(device, "W0", "W0", "_W")) << lastMessage;
    std::string message;
    EXPECT_EQ(-1, device->StartEMPolling(1000, message));
    EXPECT_EQ("Read Tags does not exist.", message);
    EXPECT_EQ(1, device->GetEMPollingStopped());
}

TEST_F(DevicePollingTest, DroppedReplyTimesOutThenReconnectsAndPollingResumes) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 1);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    ASSERT_TRUE(AllValuesArrive(1));
    Fault drop;
    drop.action = FaultAction::Drop;
    drop.command = 0x70;
    plc.Sim().InjectFault(drop);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("PLC1: EM tag request timed out."); }));
    EXPECT_EQ(1u, log.Count("EM tag request timed out."));
    auto notified = [&](const std::vector<unsigned char>& states, unsigned char state) {
        return std::find(states.begin(), states.end(), state) != states.end();
    };
    EXPECT_TRUE(WaitUntil([&] { return notified(rec.EMStates(), EM_CNXN_NON_EXIST); }));
    EXPECT_TRUE(WaitUntil([&] { return notified(rec.UCMMStates(), UCMM_NON_EXIST); }));
    const size_t before = rec.ValueCount("T0");
    EXPECT_TRUE(WaitUntil([&] { return rec.ValueCount("T0") > before + 5; }));
    EXPECT_TRUE(log.Contains("PLC1: Reconnect Thread start."));
    EXPECT_EQ(0, device->GetEMPollingStopped());
}

TEST_F(DevicePollingTest, RestartedControllerIsReconnectedAndPollingResumes) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 3);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    ASSERT_TRUE(AllValuesArrive(3));
    plc.Sim().Stop();
    ASSERT_TRUE(WaitUntil([&] { return device->GetEMCnxnState() == EM_CNXN_NON_EXIST; }));
    EXPECT_FALSE(device->IsCnxnUp());
    ASSERT_TRUE(plc.Sim().Restart());
    const auto back = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return device->IsCnxnUp(); }));
    const auto reconnectMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - back)
                                 .count();
    RecordProperty("reconnect_ms", static_cast<int>(reconnectMs));
    ASSERT_TRUE(plc.Tags().SetInt("D2", 77));
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("T2") == Dint(77); }));
}

TEST_F(DevicePollingTest, RemovingAPollingPlcJoinsItsThreadsAndClosesTheSession) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 40);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    ASSERT_TRUE(AllValuesArrive(40));
    EXPECT_EQ(0, manager.RemovePLC("PLC1"));
    EXPECT_EQ(nullptr, manager.GetPLC("PLC1"));
    EXPECT_TRUE(log.Contains("Socket Thread stop."));
    EXPECT_TRUE(log.Contains("PLC1: Queue Thread stop."));
    EXPECT_TRUE(WaitUntil([&] { return plc.Sim().ClientCount() == 0; }));
    // Tag nodes stay: the PLC's subtree goes with its node.
    EXPECT_TRUE(rec.Removed().empty());
    const size_t values = rec.TotalValues();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(values, rec.TotalValues());
}

TEST_F(DevicePollingTest, RemovingTagsWhilePollingNeverPublishesThemAgain) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 40);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    ASSERT_TRUE(AllValuesArrive(40));
    for (int i = 0; i < 40; i += 2) {
        ASSERT_EQ(0, device->RemoveTagFromMap("T" + std::to_string(i), 1, true));
    }
    // Values queued before a removal may still arrive; none after a few new cycles.
    const size_t settled = rec.ValueCount("T39");
    ASSERT_TRUE(WaitUntil([&] { return rec.ValueCount("T39") > settled + 2; }));
    std::map<std::string, size_t> counts;
    for (int i = 0; i < 40; i += 2) {
        counts["T" + std::to_string(i)] = rec.ValueCount("T" + std::to_string(i));
    }
    const size_t t39 = rec.ValueCount("T39");
    ASSERT_TRUE(WaitUntil([&] { return rec.ValueCount("T39") > t39 + 5; }));
    for (const auto& entry : counts) {
        EXPECT_EQ(entry.second, rec.ValueCount(entry.first)) << entry.first;
    }
    for (int i = 1; i < 40; i += 2) {
        EXPECT_EQ(Dint(1000 + i), rec.Value("T" + std::to_string(i)));
    }
}

TEST_F(DevicePollingTest, ReplacingATagWhilePollingPollsTheNewDefinition) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 20);
    plc.Define("Other", "DINT", 4242);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    ASSERT_TRUE(AllValuesArrive(20));
    ASSERT_EQ(0, EditTag(device, R"({"Tag Alias":"T5","Tag Name":"Other"})")) << lastMessage;
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("T5") == Dint(4242); }));
    const size_t t19 = rec.ValueCount("T19");
    ASSERT_TRUE(WaitUntil([&] { return rec.ValueCount("T19") > t19 + 5; }));
    EXPECT_EQ(Dint(4242), rec.Value("T5"));
    EXPECT_EQ(Dint(1006), rec.Value("T6"));
}

TEST_F(DevicePollingTest, ReadErrorOfOneTagDoesNotStopTheOthers) {
    EipDevice* device = AddPlc();
    AddDintTags(device, 3);
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    ASSERT_TRUE(AllValuesArrive(3));
    ASSERT_TRUE(plc.Tags().Remove("D1"));
    ASSERT_TRUE(plc.Tags().SetInt("D2", 9));
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("T2") == Dint(9); }));
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("PLC1: T1 - read refused by the PLC"); }));
}

}  // namespace
}  // namespace tb_device_test
