// A device added through the registry and bound to the real node tree over an
// in-process broker link: polled values land on the "Read Tags List" nodes
// with the broker types of their tags, and the state nodes follow the device.

#include <gtest/gtest.h>

#include <memory>

#include "action/eip_action.h"
#include "device/eip_manager.h"
#include "device_test_support.h"
#include "eip/eip_connection.h"
#include "link/eip_globals.h"
#include "node/eip_node.h"
#include "node/node_test_support.h"
#include "strata_sdk/sdk.h"

namespace tb_device_test {
namespace {

namespace sdk = kestrel::strata_sdk;

class DeviceNodeTest : public node_test::NodeTreeFixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Started());
        NodeTreeFixture::SetUp();
    }

    // What the Add PLC action does once the registry accepted the PLC.
    EipDevice* AddPlc() {
        const _eipConnectInfo info = plc.Info("PLC1");
        EXPECT_EQ(0, manager_->AddPLC(info, false));
        EipDevice* device = manager_->GetPLC("PLC1").get();
        if (device == nullptr) {
            return nullptr;
        }
        device->SetCallbacks(EipAction::MakeDeviceCallbacks());
        EXPECT_EQ(0, EipNode::CreatePLCNode(sdk::NodePath("/"), info, device->GetProductInfo()));
        EXPECT_TRUE(WaitUntil([&] { return Node("/PLC1/EM Tags/Read Tags List").has_value(); }));
        return device;
    }
    void AddTag(EipDevice* device, const std::string& alias, const std::string& name) {
        std::string message;
        auto test = std::unique_ptr<EipConnection>(
            EipConnection::MakeTestConnection(device->GetConnectionInfo(), message));
        std::string tagAlias;
        ASSERT_EQ(0, device->AddTag(
                         test.get(),
                         Json("{\"Tag Alias\":\"" + alias + "\",\"Tag Name\":\"" + name + "\"}"), 1,
                         tagAlias, message, false))
            << message;
    }
    std::string ReadPath(const std::string& tag) { return "/PLC1/EM Tags/Read Tags List/" + tag; }
    bool ValueIs(const std::string& tag, const sdk::Variant& expected) {
        auto node = Node(ReadPath(tag));
        return node.has_value() && node->value == expected;
    }
    std::string StateText(const std::string& node) {
        auto info = Node("/PLC1/" + node);
        return info.has_value() && info->value.is_string() ? info->value.as_string()
                                                           : std::string();
    }

    // Info and error lines only: traces of every polled value are not needed.
    LogCapture log{0};
    SimPlc plc;
};

// A thousand tags take several requests a cycle; every value lands on its node and follows
// the PLC's changes.
TEST_F(DeviceNodeTest, AThousandPolledTagsArePublishedAndFollowThePlc) {
    constexpr int kTags = 1000;
    plc.DefineDints("D", kTags);
    EipDevice* device = AddPlc();
    ASSERT_NE(device, nullptr);
    for (int i = 0; i < kTags; ++i) {
        AddTag(device, "T" + std::to_string(i), "D" + std::to_string(i));
    }
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message));
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (int i = 0; i < kTags; ++i) {
                if (!ValueIs("T" + std::to_string(i), sdk::Variant(int64_t(1000 + i)))) {
                    return false;
                }
            }
            return true;
        },
        60s));
    EXPECT_EQ(sdk::ValueType::Number, Node(ReadPath("T0"))->type.value_or(sdk::ValueType::Dynamic));
    ASSERT_TRUE(plc.Tags().SetInt("D999", -5));
    EXPECT_TRUE(WaitUntil([&] { return ValueIs("T999", sdk::Variant(int64_t(-5))); }));
}

TEST_F(DeviceNodeTest, StateNodesFollowTheConnection) {
    plc.DefineDints("D", 1);
    EipDevice* device = AddPlc();
    ASSERT_NE(device, nullptr);
    AddTag(device, "T0", "D0");
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(1000, message));
    ASSERT_TRUE(WaitUntil([&] { return ValueIs("T0", sdk::Variant(int64_t(1000))); }));
    EXPECT_TRUE(WaitUntil(
        [&] { return StateText("coxnstate") == "READY" && StateText("ucmmstate") == "READY"; }));
    // Polling hides the configuration actions.
    EXPECT_TRUE(WaitUntil([&] { return Node("/PLC1/EM Tags/Stop Polling").has_value(); }));
    plc.Sim().Stop();
    EXPECT_TRUE(WaitUntil([&] { return StateText("coxnstate") == "NON-EXIST"; }));
    EXPECT_EQ("NON-EXIST", StateText("ucmmstate"));
    ASSERT_TRUE(plc.Sim().Restart());
    EXPECT_TRUE(WaitUntil([&] { return StateText("coxnstate") == "READY"; }));
    // Polling resumes by itself after the reconnect.
    ASSERT_TRUE(plc.Tags().SetInt("D0", 77));
    EXPECT_TRUE(WaitUntil([&] { return ValueIs("T0", sdk::Variant(int64_t(77))); }));
}

}  // namespace
}  // namespace tb_device_test
