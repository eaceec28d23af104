#pragma once
// A registry, a simulated controller and a recorder wired together.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "device/eip_device.h"
#include "device/eip_manager.h"
#include "device_test_support.h"
#include "eip/eip_connection.h"
#include "tag/eip_tag.h"

namespace tb_device_test {

class DeviceFixture : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(plc.Started()); }

    // Adds the PLC through the registry and installs the recorder's callbacks.
    EipDevice* AddPlc(const std::string& alias = "PLC1") {
        EXPECT_EQ(0, manager.AddPLC(plc.Info(alias), false));
        EipDevice* device = manager.GetPLC(alias).get();
        if (device != nullptr) {
            device->SetCallbacks(rec.Callbacks());
        }
        return device;
    }

    std::unique_ptr<EipConnection> TestConnection(EipDevice* device) {
        std::string message;
        return std::unique_ptr<EipConnection>(
            EipConnection::MakeTestConnection(device->GetConnectionInfo(), message));
    }

    // Add Tags with one JSON object; returns the result, fills alias and message.
    int AddTag(EipDevice* device, const std::string& json, int8_t kind = 1) {
        auto test = TestConnection(device);
        lastAlias.clear();
        lastMessage.clear();
        return device->AddTag(test.get(), Json(json), kind, lastAlias, lastMessage, false);
    }
    int AddEMTag(EipDevice* device, const std::string& alias, const std::string& name,
                 const std::string& rw = "RW") {
        return AddTag(device, "{\"Tag Alias\":\"" + alias + "\",\"Tag Name\":\"" + name +
                                  "\",\"RW Flag\":\"" + rw + "\"}");
    }
    int EditTag(EipDevice* device, const std::string& json, int8_t kind = 1) {
        auto test = TestConnection(device);
        return device->EditTag(test.get(), Json(json), kind, lastAlias, lastMessage);
    }
    int WriteTag(EipDevice* device, const std::string& json) {
        auto test = TestConnection(device);
        return device->WriteTag(test.get(), Json(json), 1, lastAlias, lastMessage);
    }

    // Declared first: destroyed last, after every device is gone.
    // Info and error lines only: traces of every polled value are not needed.
    LogCapture log{0};
    SimPlc plc;
    Recorder rec;
    EipManager manager;
    std::string lastAlias;
    std::string lastMessage;
};

}  // namespace tb_device_test
