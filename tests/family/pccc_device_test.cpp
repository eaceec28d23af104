// A PLC5 added through the registry: identity, tags added by data-table address (each one test
// read against the simulated PLC5), polling, a write read back and a refused address.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "action/tesselLink_error_code.h"
#include "device/device_test_support.h"
#include "device/eip_manager.h"
#include "eip/eip_connection.h"
#include "sim/pccc_services.h"

namespace {

using namespace tb_device_test;

class PcccDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Sim().Start()) << plc.Sim().LastStartError();
        _eipConnectInfo info;
        info.alias = "PLC5";
        info.host = "127.0.0.1";
        info.port = plc.Sim().Port();
        info.family = EIP_PROTOCOL_FAMILY_PCCC;
        ASSERT_EQ(0, manager.AddPLC(info, false));
        device = manager.GetPLC("PLC5").get();
        ASSERT_NE(device, nullptr);
        device->SetCallbacks(rec.Callbacks());
    }
    void TearDown() override { EXPECT_TRUE(plc.Sim().ProtocolErrors().empty()); }

    static plcsim::SimConfig Config() {
        plcsim::SimConfig config;
        config.port = 0;
        config.identity.productName = "PLC-5/40E";
        return config;
    }
    std::unique_ptr<EipConnection> TestConnection() {
        std::string message;
        return std::unique_ptr<EipConnection>(
            EipConnection::MakeTestConnection(device->GetConnectionInfo(), message));
    }
    int AddTag(const std::string& alias, const std::string& address) {
        auto test = TestConnection();
        return device->AddTag(test.get(),
                              Json("{\"Tag Alias\":\"" + alias + "\",\"Tag Name\":\"" + address +
                                   "\",\"PLC5Address\":\"" + address + "\",\"RW Flag\":\"RW\"}"),
                              1, lastAlias, lastMessage, false);
    }
    int Write(const std::string& json) {
        auto test = TestConnection();
        return device->WriteTag(test.get(), Json(json), 1, lastAlias, lastMessage);
    }

    LogCapture log;
    plcsim::PcccController plc{Config()};
    Recorder rec;
    EipManager manager;
    EipDevice* device = nullptr;
    std::string lastAlias;
    std::string lastMessage;
};

TEST_F(PcccDeviceTest, Plc5IsConnectedWithoutAClass3Connection) {
    EXPECT_TRUE(device->IsCnxnUp());
    EXPECT_EQ("PLC-5/40E", device->GetProductInfo().productName);
    EXPECT_TRUE(plc.Sim().Connections().empty());
}

TEST_F(PcccDeviceTest, PollsEachFileTypeAndFollowsChanges) {
    ASSERT_TRUE(plc.Table().SetInt(7, 0, 42));
    ASSERT_TRUE(plc.Table().SetDint(9, 1, -7));
    ASSERT_TRUE(plc.Table().SetReal(8, 2, 1.5f));
    ASSERT_TRUE(plc.Table().SetInt(3, 0, 0x0020));
    const std::pair<const char*, const char*> tags[] = {{"Count", "N7:0"},
                                                        {"Total", "L9:1"},
                                                        {"Level", "F8:2"},
                                                        {"Run", "B3:0/5"},
                                                        {"Text", "ST10:1"}};
    for (const auto& [alias, address] : tags) {
        ASSERT_EQ(0, AddTag(alias, address)) << lastMessage;
    }
    std::string message;
    ASSERT_EQ(0, device->StartEMPolling(10, message)) << message;
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("Count") == std::vector<uint8_t>{42, 0}; }));
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("Total") == Dint(-7); }));
    EXPECT_TRUE(WaitUntil([&] {
        return rec.Value("Level") == std::vector<uint8_t>{0, 0, 0xC0, 0x3F};
    }));
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("Run") == std::vector<uint8_t>{1, 0}; }));
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("Text").size() == 84; }));
    ASSERT_TRUE(plc.Table().SetInt(7, 0, 300));
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("Count") == std::vector<uint8_t>{0x2C, 0x01}; }));
}

TEST_F(PcccDeviceTest, WrittenValuesReachThePlc) {
    ASSERT_EQ(0, AddTag("Setpoint", "N7:4")) << lastMessage;
    ASSERT_EQ(0, Write(R"({"Tag Alias":"Setpoint","value":1234})")) << lastMessage;
    EXPECT_EQ(plc.Table().GetInt(7, 4), 1234);
    ASSERT_EQ(0, AddTag("Level", "F8:7")) << lastMessage;
    ASSERT_EQ(0, Write(R"({"Tag Alias":"Level","value":-3.25})")) << lastMessage;
    EXPECT_EQ(plc.Table().GetReal(8, 7), -3.25f);
    ASSERT_EQ(0, AddTag("Total", "L9:0")) << lastMessage;
    ASSERT_EQ(0, Write(R"({"Tag Alias":"Total","value":2147483647})")) << lastMessage;
    EXPECT_EQ(plc.Table().GetDint(9, 0), 0x7FFFFFFF);
    // A bit write changes only that bit.
    ASSERT_TRUE(plc.Table().SetInt(3, 1, static_cast<int16_t>(0xFFF0)));
    ASSERT_EQ(0, AddTag("Run", "B3:1/3")) << lastMessage;
    ASSERT_EQ(0, Write(R"({"Tag Alias":"Run","value":1})")) << lastMessage;
    EXPECT_EQ(plc.Table().GetInt(3, 1), static_cast<int16_t>(0xFFF8));
    ASSERT_EQ(0, Write(R"({"Tag Alias":"Run","value":0})")) << lastMessage;
    EXPECT_EQ(plc.Table().GetInt(3, 1), static_cast<int16_t>(0xFFF0));
}

TEST_F(PcccDeviceTest, AddressThePlcDoesNotHoldIsNotAdded) {
    // The test read of the address is refused by the PLC: past the end of N7, a file that does
    // not exist, a file of another type.
    for (const char* address : {"N7:64", "N20:0", "F7:0"}) {
        EXPECT_EQ(-tessel::TL_ERR_TAG_NOT_FOUND_IN_PLC, AddTag(address, address)) << lastMessage;
    }
    EXPECT_EQ(0, AddTag("Present", "N7:63")) << lastMessage;
}

}  // namespace
