// Store and forward, the primary host and the JSON topics end to end: Debian's mosquitto, plcsim
// with a counter moving every 250 ms, tagbridge polling it every 20 ms (so that it sees every
// value even on a loaded machine), subscribers of the test's own.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "independent_decoder.h"
#include "mqtt_test_support.h"

namespace {

using nlohmann::json;
using tb_test::Of;
using tb_test::SparkplugMessage;
using tb_test::WaitUntil;

// A counter value seen by a host, and how it came.
struct Seen {
    int64_t value;
    uint64_t ts;
    bool historical;
};

class StoreForwardEndToEnd : public tb_test::MqttEndToEndFixture {
  protected:
    void SetUp() override {
        MqttEndToEndFixture::SetUp();
        sim_ = std::make_unique<tb_test::PlcSim>(std::vector<std::string>{
            "--tag", "Count:DINT@counter:1:250", "--tag", "Setpoint:DINT=5"});
    }

    // A link of edge node `node`; a new one adds and polls PLC line1.
    std::unique_ptr<tb_test::Tagbridge> StartLink(const std::string& node,
                                                  std::vector<std::string> extra = {},
                                                  bool add_plc = true) {
        auto link = MqttEndToEndFixture::StartLink(node, std::move(extra));
        if (add_plc) {
            EXPECT_TRUE(link->AddPolledPlc("line1", sim_->port(),
                                           tb_test::TagRows({"Count", "Setpoint"}), 20))
                << link->Output();
        }
        return link;
    }

    static int64_t Count(tb_test::Tagbridge& link) {
        const json value = link.TagValue("line1", "Count");
        return value.is_number() ? value.get<int64_t>() : -1;
    }

    // Every Count value a host saw from `node`: births' values, then each DDATA metric.
    static std::vector<Seen> Counts(tb_test::SparkplugSubscriber& sub, const std::string& node,
                                    bool with_births = true) {
        std::vector<Seen> out;
        std::optional<uint64_t> alias;
        for (const auto& m : sub.Messages()) {
            if (!m.payload || m.node != node) {
                continue;
            }
            if (const auto* birth = m.type == "DBIRTH" ? m.Find("EM Tags/Count") : nullptr) {
                alias = birth->alias;
                if (with_births && !birth->value.is_null()) {
                    out.push_back({birth->value.as_int(), birth->timestamp.value_or(0), false});
                }
            }
            for (const auto& metric : m.payload->metrics) {
                if (m.type == "DDATA" && metric.alias && metric.alias == alias) {
                    out.push_back(
                        {metric.value.as_int(), metric.timestamp.value_or(0), metric.historical});
                }
            }
        }
        return out;
    }

    std::unique_ptr<tb_test::PlcSim> sim_;
};

// The broker is away 30 s; half way the link is killed and started again. The host sees each
// counter value once: live up to the outage, then the buffered ones flagged historical with their
// own time stamps (those from before the kill included), then live again. Only values from the
// kill until the restarted link polls again are missing.
TEST_F(StoreForwardEndToEnd, BrokerOutageAndLinkKillLoseNoBufferedChange) {
    auto link = StartLink("edge1");
    ASSERT_TRUE(WaitUntil([&] { return Counts(*sub_, "edge1").size() >= 5; }))
        << link->Output() << sub_->Summary();
    // Right after a value, so that none is on its way when the broker goes.
    const size_t seen = Counts(*sub_, "edge1").size();
    ASSERT_TRUE(WaitUntil([&] { return Counts(*sub_, "edge1").size() > seen; }));
    broker_->Kill();
    const std::vector<Seen> before = Counts(*sub_, "edge1");
    const int64_t last_live = before.back().value;

    ASSERT_TRUE(WaitUntil([&] { return Count(*link) >= last_live + 60; }));
    const int64_t flushed = Count(*link);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // written to disk meanwhile
    link->process().Signal(SIGKILL);
    link->process().Wait();
    link = StartLink("edge1", {}, false);  // the PLC and its polling come back from the store
    ASSERT_TRUE(WaitUntil([&] { return Count(*link) >= flushed + 60; })) << link->Output();

    broker_->Start();
    ASSERT_TRUE(broker_->ready()) << broker_->Output();
    sub_ = Subscribe();
    const auto nbirth = sub_->WaitFor(Of("NBIRTH", "edge1"));
    ASSERT_TRUE(nbirth) << link->Output() << sub_->Summary();
    // The birth carries the latest value, which is also the last buffered change.
    std::optional<int64_t> born;
    ASSERT_TRUE(WaitUntil([&] {
        const auto counts = Counts(*sub_, "edge1");
        born = counts.empty() ? std::nullopt : std::optional<int64_t>(counts.front().value);
        return born && std::any_of(counts.begin(), counts.end(),
                                   [&](const Seen& s) { return s.historical && s.value == *born; });
    })) << link->Output()
        << sub_->Summary();
    ASSERT_TRUE(WaitUntil([&] { return Counts(*sub_, "edge1").back().value >= *born + 10; }));

    const std::vector<Seen> after = Counts(*sub_, "edge1", false);
    std::vector<Seen> historical, live;
    for (const Seen& s : after) {
        (s.historical ? historical : live).push_back(s);
    }
    ASSERT_FALSE(historical.empty());
    EXPECT_EQ(historical.front().value, last_live + 1) << "nothing lost, nothing twice";
    EXPECT_EQ(historical.back().value, *born);
    for (size_t i = 1; i < historical.size(); ++i) {
        EXPECT_GT(historical[i].ts, historical[i - 1].ts) << "own, increasing time stamps";
        EXPECT_GT(historical[i].value, historical[i - 1].value);
        if (historical[i].value != historical[i - 1].value + 1) {
            // The link is down, then starting again (on a loaded machine its first polls may
            // come later than the counter moves).
            EXPECT_GE(historical[i - 1].value, flushed) << "only from the kill on";
        }
    }
    EXPECT_LT(historical.back().ts, *nbirth->payload->timestamp);
    ASSERT_FALSE(live.empty());
    EXPECT_EQ(live.front().value, *born + 1);
    for (size_t i = 1; i < live.size(); ++i) {
        EXPECT_EQ(live[i].value, live[i - 1].value + 1);
    }
    tb_test::ExpectAnIndependentDecoderReadsAlike(sub_->Messages(), dir_.path(), historical.size());
}

// Births wait for the primary host's STATE to say online; what changed meanwhile follows them,
// but a buffer of some 27 changes has dropped the oldest and said so.
TEST_F(StoreForwardEndToEnd, PrimaryHostOfflineHoldsTheBirthsUntilItIsOnlineInAFullBuffer) {
    const std::string state = "spBv1.0/STATE/scada";
    sub_->Publish(state, R"({"online": false, "timestamp": 1})", true);
    auto link = StartLink("edge1", {"--mqtt-primary-host", "scada", "--mqtt-buffer-mb", "0.0005"});
    ASSERT_TRUE(WaitUntil([&] { return Count(*link) >= 0; })) << link->Output();
    const int64_t first = Count(*link);
    ASSERT_TRUE(WaitUntil([&] { return Count(*link) >= first + 40; }));

    sub_->Publish(state, R"({"online": true, "timestamp": 2})", true);
    const auto online = sub_->WaitIndex([&](const SparkplugMessage& m) {
        return m.topic == state && m.bytes.find("true") != std::string::npos;
    });
    const auto nbirth = sub_->WaitIndex(Of("NBIRTH", "edge1"));
    ASSERT_TRUE(online && nbirth) << link->Output() << sub_->Summary();
    EXPECT_GT(*nbirth, *online) << "no birth before the host is online";
    ASSERT_TRUE(WaitUntil([&] {
        const auto counts = Counts(*sub_, "edge1");
        return std::count_if(counts.begin(), counts.end(),
                             [&](const Seen& s) { return s.historical; }) >= 20;
    })) << sub_->Summary();
    const auto counts = Counts(*sub_, "edge1");
    EXPECT_GT(std::find_if(counts.begin(), counts.end(), [](const Seen& s) { return s.historical; })
                  ->value,
              first + 5);
    EXPECT_NE(link->Output().find("oldest changes"), std::string::npos);

    const size_t from = sub_->Count();
    sub_->Publish(state, R"({"online": false, "timestamp": 3})", true);
    EXPECT_TRUE(sub_->WaitIndex(Of("NDEATH", "edge1"), from)) << link->Output();
}

// Values by exception on retained JSON topics, a write through /set, a refused malformed /set,
// and the will.
TEST_F(StoreForwardEndToEnd, JsonTopicsCarryValuesTakeWritesAndLeaveTheWill) {
    const std::string prefix = "tagbridge/edge1";
    auto json_sub = Subscribe(prefix + "/#");
    auto link = StartLink("edge1", {"--mqtt-format", "json"});
    const auto value_of = [&](const std::string& tag, const json& want) {
        return json_sub->WaitIndex([&](const SparkplugMessage& m) {
            if (m.topic != prefix + "/line1/" + tag) {
                return false;
            }
            const json payload = json::parse(m.bytes, nullptr, false);
            return payload.is_object() && payload["quality"] == "good" &&
                   payload["ts"].is_number() && (want.is_null() || payload["value"] == want);
        });
    };
    ASSERT_TRUE(value_of("Count", nullptr)) << link->Output() << json_sub->Summary();
    ASSERT_TRUE(json_sub->WaitIndex([&](const SparkplugMessage& m) {
        return m.topic == prefix + "/line1/$state" && m.bytes == "online";
    }));

    json_sub->Publish(prefix + "/line1/Setpoint/set", "42");
    EXPECT_TRUE(value_of("Setpoint", 42)) << link->Output() << json_sub->Summary();

    const auto errors = [&] { return tb_test::Occurrences(link->Output(), "/set refused"); };
    json_sub->Publish(prefix + "/line1/Setpoint/set", "{not json");
    json_sub->Publish(prefix + "/line1/Setpoint/set", R"({"value": 7})");
    EXPECT_TRUE(WaitUntil([&] { return errors() == 2; })) << link->Output();
    const size_t from = json_sub->Count();
    ASSERT_TRUE(json_sub->WaitIndex(
        [&](const SparkplugMessage& m) { return m.topic == prefix + "/line1/Count"; }, from));
    EXPECT_EQ(link->TagValue("line1", "Setpoint"), 42) << "nothing written";

    link->process().Signal(SIGKILL);
    EXPECT_TRUE(json_sub->WaitIndex([&](const SparkplugMessage& m) {
        return m.topic == prefix + "/$state" && m.bytes == "offline";
    })) << json_sub->Summary();
}

}  // namespace
