// The device engine driven through the SDK as users drive it: polled values land on the "Read Tags
// List" nodes and the state nodes follow the device; a removed PLC answers every action still
// running on it, a slow write does not hold up polling, and a PLC that never answers holds up
// nothing but its own Add PLC.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "action/eip_action.h"
#include "action/link_errors.h"
#include "device/device_test_support.h"
#include "device/eip_manager.h"
#include "strata_sdk/sdk.h"
#include "support/action_link.h"

namespace sdk = kestrel::strata_sdk;
using tb_device_test::SimPlc;
using tb_device_test::WaitUntil;
using namespace std::chrono_literals;

namespace {

// One invocation started without waiting; its answers are counted as they arrive.
class PendingInvoke {
  public:
    bool Answered() const { return answers_.load() > 0; }
    int Answers() const { return answers_.load(); }
    sdk::InvokeResult Result() {
        std::lock_guard<std::mutex> lock(mutex_);
        return result_;
    }
    sdk::InvokeCallback Callback() {
        return [this](const sdk::InvokeResult& result) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                result_ = result;
            }
            ++answers_;
        };
    }

  private:
    std::mutex mutex_;
    sdk::InvokeResult result_;
    std::atomic<int> answers_{0};
};

class DeviceEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Started());
        plc.DefineDints("D", 1000);
        ASSERT_TRUE(link.Ready());
    }

    // Tags D<first> .. D<first + count - 1>.
    static std::string DintsJson(int count, const std::string& rw = "R", int first = 0) {
        std::string json = "[";
        for (int i = first; i < first + count; ++i) {
            json += (i == first ? "" : ",");
            json += "{\"Tag Alias\":\"D" + std::to_string(i) + "\",\"Tag Name\":\"D" +
                    std::to_string(i) + "\",\"RW Flag\":\"" + rw + "\"}";
        }
        return json + "]";
    }
    static sdk::Variant TagsJson(const std::string& tags) {
        sdk::Variant params = sdk::Variant::new_map();
        params["Tags(json)"] = tags;
        return params;
    }

    // Invokes without waiting; `pending` counts the answers.
    void Start(PendingInvoke& pending, const std::string& path, const sdk::Variant& params) {
        ASSERT_FALSE(link.Link().broker().invoke(sdk::NodePath(path), params, pending.Callback()));
    }
    void Start(PendingInvoke& pending, const std::string& path, const std::string& json) {
        Start(pending, path, sdk::json::from_json_string(json));
    }
    void AddPlc(const std::string& alias) {
        ASSERT_EQ("success!", link.AddPlc(alias, plc.Sim().Port()));
    }
    void AddTags(const std::string& alias, int count, const std::string& rw) {
        EXPECT_EQ(std::vector<std::string>(count, "success!"),
                  link.Tags("/" + alias + "/EM Tags/Add Tags", DintsJson(count, rw)));
    }
    sdk::Variant TagValue(const std::string& alias, const std::string& tag) {
        return link.Value("/" + alias + "/EM Tags/Read Tags List/" + tag);
    }
    std::string StateText(const std::string& node) {
        const sdk::Variant value = link.Value("/PLC1/" + node);
        return value.is_string() ? value.as_string() : std::string();
    }

    tb_device_test::LogCapture log{0};
    SimPlc plc;
    tb_test::ActionLink link;
};

// Remove PLC while an Add Tags of 200 tags, a Write Tags and a Start Polling run on the same PLC:
// each of them answers once, either done or with the reason that the PLC went away, and (under
// ASan) nothing touches the device after it is freed.
TEST_F(DeviceEngineTest, RemovePlcWhileActionsRunAnswersEachOnce) {
    AddPlc("PLC1");
    AddTags("PLC1", 1, "RW");
    PendingInvoke add, write, poll;
    Start(add, "/PLC1/EM Tags/Add Tags", TagsJson(DintsJson(200, "R", 1)));
    Start(write, "/PLC1/EM Tags/Write Tags", TagsJson(R"({"Tag Alias":"D0","value":5})"));
    Start(poll, "/PLC1/EM Tags/Start Polling", std::string(R"js({"Interval(ms)":10})js"));
    link.Invoke("/PLC1/Remove");
    ASSERT_TRUE(WaitUntil([&] { return add.Answered() && write.Answered() && poll.Answered(); }));
    EXPECT_EQ(nullptr, link.Registry().GetPLC("PLC1"));
    const std::string gone = link_error::Message(link_error::kPlcNotExist);
    for (PendingInvoke* pending : {&add, &write, &poll}) {
        EXPECT_EQ(1, pending->Answers());
        const auto result = pending->Result();
        EXPECT_TRUE(result.ok()) << result.error_text;
        for (const std::string& message : link.Messages(result)) {
            EXPECT_TRUE(message == "success!" || message == gone) << message;
        }
    }
    ASSERT_TRUE(link.Link().broker().wait_idle());
}

// An Add PLC to an address that never answers waits out its time-outs alone: an action on
// another PLC answers while it is still pending.
TEST_F(DeviceEngineTest, SilentAddPlcDoesNotHoldUpOtherPlcs) {
    AddPlc("PLC1");
    SimPlc silent;
    ASSERT_TRUE(silent.Started());
    silent.Silence();
    PendingInvoke addSilent;
    Start(addSilent, "/addplc",
          R"({"Alias":"Silent","Host":"127.0.0.1","Port":)" + std::to_string(silent.Sim().Port()) +
              "}");
    ASSERT_TRUE(WaitUntil([&] { return silent.ConnectionsAccepted() > 0; }));
    link.Invoke("/PLC1/EM Tags/Export Tags");  // answered, ok
    EXPECT_FALSE(addSilent.Answered()) << "the other PLC's action waited for the silent connect";
    ASSERT_TRUE(WaitUntil([&] { return addSilent.Answered(); }));
    EXPECT_EQ(nullptr, link.Registry().GetPLC("Silent"));
}

// ---- Values and states on the node tree ---------------------------------------------------------

using DeviceNodeTest = DeviceEngineTest;

// A thousand tags take several requests a cycle; every value lands on its node with the broker
// type of its tag and follows the PLC's changes.
TEST_F(DeviceNodeTest, AThousandPolledTagsArePublishedAndFollowThePlc) {
    constexpr int kTags = 1000;
    AddPlc("PLC1");
    AddTags("PLC1", kTags, "R");
    ASSERT_EQ("success!", link.StartPolling("PLC1", 10));
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (int i = 0; i < kTags; ++i) {
                if (TagValue("PLC1", "D" + std::to_string(i)) != sdk::Variant(int64_t(1000 + i))) {
                    return false;
                }
            }
            return true;
        },
        60s));
    const auto node =
        link.Link().broker().node_info(sdk::NodePath("/PLC1/EM Tags/Read Tags List/D0"));
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(sdk::ValueType::Number, node->type.value_or(sdk::ValueType::Dynamic));
    ASSERT_TRUE(plc.Tags().SetInt("D999", -5));
    EXPECT_TRUE(WaitUntil([&] { return TagValue("PLC1", "D999") == sdk::Variant(int64_t(-5)); }));
}

// The state nodes read READY while polling runs and NON-EXIST while the PLC is gone; polling
// resumes by itself after the reconnect.
TEST_F(DeviceNodeTest, StateNodesFollowTheConnection) {
    AddPlc("PLC1");
    AddTags("PLC1", 1, "R");
    ASSERT_EQ("success!", link.StartPolling("PLC1", 1000));
    ASSERT_TRUE(WaitUntil([&] { return TagValue("PLC1", "D0") == sdk::Variant(int64_t(1000)); }));
    EXPECT_TRUE(WaitUntil(
        [&] { return StateText("coxnstate") == "READY" && StateText("ucmmstate") == "READY"; }));
    // Polling hides the configuration actions.
    EXPECT_TRUE(WaitUntil([&] { return link.Exists("/PLC1/EM Tags/Stop Polling"); }));
    plc.Sim().Stop();
    // The two state nodes change one after the other: each is waited for.
    EXPECT_TRUE(WaitUntil([&] { return StateText("coxnstate") == "NON-EXIST"; }));
    EXPECT_TRUE(WaitUntil([&] { return StateText("ucmmstate") == "NON-EXIST"; }));
    ASSERT_TRUE(plc.Sim().Restart());
    EXPECT_TRUE(WaitUntil([&] { return StateText("coxnstate") == "READY"; }));
    EXPECT_TRUE(WaitUntil([&] { return StateText("ucmmstate") == "READY"; }));
    ASSERT_TRUE(plc.Tags().SetInt("D0", 77));
    EXPECT_TRUE(WaitUntil([&] { return TagValue("PLC1", "D0") == sdk::Variant(int64_t(77)); }));
}

}  // namespace
