#pragma once
// Helpers of the device engine tests: a recorder of everything a device tells the node tree,
// and a fixture wiring a registry, the loopback controller (support/sim_plc.h) and a recorder.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/eip_utils.h"
#include "device/eip_device.h"
#include "device/eip_manager.h"
#include "eip/eip_connection.h"
#include "strata_sdk/sdk.h"
#include "support/log_capture.h"
#include "support/sim_plc.h"
#include "support/wait_until.h"

namespace tb_device_test {

using namespace std::chrono_literals;

using tb_test::LogCapture;
using tb_test::SimPlc;
using tb_test::WaitUntil;

inline std::vector<uint8_t> Dint(int32_t value) {
    std::vector<uint8_t> bytes(4);
    PutLittleEndian32(static_cast<uint32_t>(value), bytes.data());
    return bytes;
}

// Everything a device reports through its callbacks, thread-safe; readers get copies. Node
// events are lists of aliases by kind: "created", "removed", "subCreated", "subRemoved".
class Recorder {
    template <typename Fn>
    auto Locked(Fn fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fn();
    }
    template <typename T>
    T Copy(const T& member) {
        return Locked([&] { return member; });
    }
    void Add(const char* kind, const std::string& alias) {
        Locked([&] { events_[kind].push_back(alias); });
    }

  public:
    EipDeviceCallbacks Callbacks() {
        EipDeviceCallbacks cb;
        cb.tagNodeCreated = [this](const std::string&, const TagInfo& tag,
                                   std::vector<SubTagInfo>* subs) {
            Add("created", tag.alias);
            Locked([&] { createdSubTags_[tag.alias] = subs ? *subs : std::vector<SubTagInfo>{}; });
        };
        cb.tagNodeRemoved = [this](const std::string&, const TagInfo& tag,
                                   std::vector<SubTagInfo>*) { Add("removed", tag.alias); };
        cb.subTagNodeCreated = [this](const std::string&, const TagInfo&, const SubTagInfo& sub) {
            Add("subCreated", sub.alias);
        };
        cb.subTagNodeRemoved = [this](const std::string&, const TagInfo&, const SubTagInfo& sub) {
            Add("subRemoved", sub.alias);
        };
        cb.explicitConnectionState = [this](const std::string&, unsigned char state) {
            Locked([&] { explicitStates_.push_back(state); });
        };
        cb.ucmmState = [this](const std::string&, unsigned char state) {
            Locked([&] { ucmmStates_.push_back(state); });
        };
        cb.explicitTagValues = [this](const std::string&, const std::vector<EipTagValue>& values) {
            Locked([&] {
                for (const EipTagValue& value : values) {
                    values_[value.tag->alias] = value.data;
                    ++valueCounts_[value.tag->alias];
                }
            });
        };
        cb.tagStatus = [this](const std::string&, const std::string& tagAlias, signed char,
                              const std::string& status) {
            Locked([&] { statuses_[tagAlias] = status; });
        };
        return cb;
    }

    std::vector<std::string> Events(const std::string& kind) { return Copy(events_)[kind]; }
    std::vector<uint8_t> Value(const std::string& tag) { return Copy(values_)[tag]; }
    size_t ValueCount(const std::string& tag) { return Copy(valueCounts_)[tag]; }
    std::vector<unsigned char> ExplicitStates() { return Copy(explicitStates_); }
    std::vector<unsigned char> UCMMStates() { return Copy(ucmmStates_); }
    std::vector<SubTagInfo> CreatedSubTags(const std::string& tag) {
        return Copy(createdSubTags_)[tag];
    }
    std::string Status(const std::string& tag) { return Copy(statuses_)[tag]; }

  private:
    std::mutex mutex_;
    std::map<std::string, std::vector<std::string>> events_;
    std::map<std::string, std::vector<SubTagInfo>> createdSubTags_;
    std::vector<unsigned char> explicitStates_, ucmmStates_;
    std::map<std::string, std::vector<uint8_t>> values_;
    std::map<std::string, size_t> valueCounts_;
    std::map<std::string, std::string> statuses_;
};

inline kestrel::strata_sdk::Variant Json(const std::string& text) {
    return kestrel::strata_sdk::json::from_json_string(text);
}

// A registry, a simulated controller and a recorder wired together.
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
    int AddExplicitTag(EipDevice* device, const std::string& alias, const std::string& name,
                       const std::string& rw = "RW") {
        return AddTag(device, "{\"Tag Alias\":\"" + alias + "\",\"Tag Name\":\"" + name +
                                  "\",\"RW Flag\":\"" + rw + "\"}");
    }
    int EditTag(EipDevice* device, const std::string& json, int8_t kind = 1) {
        auto test = TestConnection(device);
        return device->EditTag(test.get(), Json(json), kind, lastAlias, lastMessage);
    }
    // Writes travel on the PLC's own session: wait until the PLC has one.
    int WriteTag(EipDevice* device, const std::string& json) {
        EXPECT_TRUE(WaitUntil([device] { return device->IsConnected(); }));
        return device->WriteTag(Json(json), 1, lastAlias, lastMessage);
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
