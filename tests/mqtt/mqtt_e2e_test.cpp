// End to end on a real broker: Debian's mosquitto on a free loopback port, plcsim as the PLC,
// tagbridge publishing as a Sparkplug B edge node, and a subscriber of the test's own.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <set>
#include <tuple>

#include "independent_decoder.h"
#include "mqtt_test_support.h"
#include "strata_sdk/json.h"

namespace {

using nlohmann::json;
using sparkplug::DataType;
using tb_test::Occurrences;
using tb_test::Of;
using tb_test::SparkplugMessage;
using tb_test::WaitUntil;
using Variant = kestrel::strata_sdk::Variant;

uint64_t BdSeq(const SparkplugMessage& m) {
    const auto* metric = m.Find("bdSeq");
    return metric && metric->value.is_number() ? metric->value.as_uint() : UINT64_MAX;
}

// The metric of a DDATA with this alias, if it carries one.
const sparkplug::Metric* ByAlias(const SparkplugMessage& m, uint64_t alias) {
    for (const auto& metric : m.payload->metrics) {
        if (metric.alias == alias) {
            return &metric;
        }
    }
    return nullptr;
}

class MqttEndToEnd : public tb_test::MqttEndToEndFixture {
  protected:
    void SetUp() override {
        MqttEndToEndFixture::SetUp();
        sim_ = StartSim({});
        ASSERT_NE(sim_->port(), 0);
    }

    static std::unique_ptr<tb_test::PlcSim> StartSim(std::vector<std::string> extra) {
        std::vector<std::string> args{"--tag", "Count:DINT@counter:1:100",
                                      "--tag", "Level:REAL@ramp:0:100:0.5:100",
                                      "--tag", "Setpoint:DINT=5",
                                      "--tag", "Buffer:INT[4]=1,2,3,4",
                                      "--tag", "Flag:BOOL=1",
                                      "--tag", "Message:STRING=hello"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<tb_test::PlcSim>(args);
    }

    // A DBIRTH of `device` from edge1 with `metrics` metrics, at or after `from`.
    std::optional<SparkplugMessage> WaitBirth(const std::string& device, size_t metrics,
                                              size_t from = 0) {
        return sub_->WaitFor(
            [&](const SparkplugMessage& m) {
                return Of("DBIRTH", "edge1", device)(m) && m.payload->metrics.size() == metrics;
            },
            from);
    }
    // Waits for a DDATA of line1 from edge1 after `from` with `alias` at `least` or more.
    bool WaitAtLeast(uint64_t alias, int64_t least, size_t from) {
        return sub_
            ->WaitIndex(
                [&](const SparkplugMessage& m) {
                    const auto* c = Of("DDATA", "edge1", "line1")(m) ? ByAlias(m, alias) : nullptr;
                    return c && c->value.as_int() >= least;
                },
                from)
            .has_value();
    }

    // A link publishing PLC "line1" (every sim tag; Level read-only) polled every 100 ms.
    std::unique_ptr<tb_test::Tagbridge> StartPolledLink(const std::string& node, int sim_port) {
        auto link = StartLink(node);
        json tags = tb_test::TagRows({"Count", "Setpoint", "Flag", "Message"});
        tags.push_back({{"Tag Alias", "Level"}, {"Tag Name", "Level"}, {"RW Flag", "R_"}});
        tags.push_back({{"Tag Alias", "Buffer"}, {"Tag Name", "Buffer[0~3]"}});
        EXPECT_TRUE(link->AddPolledPlc("line1", sim_port, tags, 100))
            << link->Output() << sub_->Summary();
        return link;
    }

    // The first DBIRTH of line1 from `node` at or after `from` whose values have been read.
    // A device birth after the first poll. The string record's type follows its value (text or
    // raw bytes), so the births before its first value are followed by another.
    std::optional<size_t> WaitReadBirth(const std::string& node, size_t from = 0) {
        return sub_->WaitIndex(
            [&](const SparkplugMessage& m) {
                const auto* count = m.Find("EM Tags/Count");
                const auto* buffer = m.Find("EM Tags/Buffer");
                const auto* message = m.Find("EM Tags/Message");
                return Of("DBIRTH", node, "line1")(m) && count && !count->value.is_null() &&
                       buffer && buffer->value.is_array() && message && !message->value.is_null();
            },
            from);
    }

    void Command(const std::string& topic, const std::string& bytes) {
        sub_->Publish(std::string("spBv1.0/") + kGroup + "/" + topic, bytes);
    }

    // Waits for a DDATA of line1 from `node` after `from` carrying `value` for `alias`.
    bool WaitData(const std::string& node, uint64_t alias, const Variant& value, size_t from) {
        return sub_
            ->WaitIndex(
                [&](const SparkplugMessage& m) {
                    const auto* metric =
                        Of("DDATA", node, "line1")(m) ? ByAlias(m, alias) : nullptr;
                    return metric && metric->value == value;
                },
                from)
            .has_value();
    }

    std::unique_ptr<tb_test::PlcSim> sim_;
};

TEST_F(MqttEndToEnd, BirthsCarryEveryTagTypedDataFollowsByExceptionAndRebirthRepeatsThem) {
    auto link = StartPolledLink("edge1", sim_->port());
    const auto nbirth = sub_->WaitFor(Of("NBIRTH", "edge1"));
    ASSERT_TRUE(nbirth) << link->Output() << sub_->Summary();
    EXPECT_EQ(nbirth->payload->seq, std::optional<uint64_t>(0));
    ASSERT_TRUE(nbirth->Find("bdSeq"));
    EXPECT_EQ(nbirth->Find("bdSeq")->datatype, DataType::UInt64);
    ASSERT_TRUE(nbirth->Find("Node Control/Rebirth"));
    EXPECT_EQ(nbirth->Find("Node Control/Rebirth")->value, Variant(false));

    const auto birth_at = WaitReadBirth("edge1");
    ASSERT_TRUE(birth_at) << link->Output() << sub_->Summary();
    const SparkplugMessage birth = sub_->Messages()[*birth_at];
    const struct {
        const char* name;
        DataType type;
        const char* json;  // expected value; empty: changes by itself
    } metrics[] = {
        {"EM Tags/Count", DataType::Int32, ""},
        {"EM Tags/Level", DataType::Float, ""},
        {"EM Tags/Setpoint", DataType::Int32, "5"},
        {"EM Tags/Buffer", DataType::Int16Array, "[1,2,3,4]"},
        {"EM Tags/Flag", DataType::Boolean, "true"},
        {"EM Tags/Message", DataType::String, "\"hello\""},
    };
    ASSERT_EQ(birth.payload->metrics.size(), std::size(metrics));
    std::set<uint64_t> aliases;
    for (const auto& expected : metrics) {
        SCOPED_TRACE(expected.name);
        const auto* m = birth.Find(expected.name);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->datatype, expected.type);
        ASSERT_TRUE(m->alias && m->timestamp);
        aliases.insert(*m->alias);
        if (*expected.json) {
            // A value not read yet when the birth went out comes with the data after it.
            const Variant want = kestrel::strata_sdk::json::from_json_string(expected.json);
            EXPECT_TRUE(m->value == want ||
                        (m->value.is_null() && WaitData("edge1", *m->alias, want, *birth_at)))
                << kestrel::strata_sdk::json::to_json_string(m->value);
        }
    }
    EXPECT_EQ(aliases.size(), std::size(metrics)) << "every metric has its own alias";

    // Count changes every poll; Setpoint never does, so it is never sent again.
    const uint64_t count = *birth.Find("EM Tags/Count")->alias;
    const uint64_t setpoint = *birth.Find("EM Tags/Setpoint")->alias;
    ASSERT_TRUE(WaitUntil([&] {
        return sub_->Matching([&](const SparkplugMessage& m) {
                       return Of("DDATA", "edge1", "line1")(m) && ByAlias(m, count);
                   })
                   .size() >= 5;
    }));
    int64_t last = INT64_MIN;
    bool setpoint_known = !birth.Find("EM Tags/Setpoint")->value.is_null();
    const auto all = sub_->Messages();
    for (size_t i = *birth_at + 1; i < all.size(); ++i) {
        const SparkplugMessage& m = all[i];
        if (!Of("DDATA", "edge1", "line1")(m)) {
            continue;
        }
        if (ByAlias(m, setpoint)) {
            EXPECT_FALSE(setpoint_known) << "an unchanged value is not sent again";
            setpoint_known = true;
        }
        for (const auto& metric : m.payload->metrics) {
            EXPECT_FALSE(metric.name) << "data goes by alias";
            EXPECT_TRUE(metric.timestamp);
        }
        if (const auto* c = ByAlias(m, count)) {
            EXPECT_GT(c->value.as_int(), last);
            last = c->value.as_int();
        }
    }
    // One sequence from the NBIRTH on: 0, 1, 2, ... for every message of the edge node.
    uint64_t expected_seq = 0;
    for (const auto& m : sub_->Matching([](const SparkplugMessage& m) {
             return m.payload && m.node == "edge1" && m.payload->seq;
         })) {
        EXPECT_EQ(*m.payload->seq, expected_seq) << m.topic;
        expected_seq = (expected_seq + 1) % 256;
    }

    // A rebirth request repeats the births under the same bdSeq, the sequence from 0.
    const size_t from = sub_->Count();
    Command("NCMD/edge1", tb_test::CommandPayload("Node Control/Rebirth", DataType::Boolean, true));
    const auto reborn = sub_->WaitIndex(Of("NBIRTH", "edge1"), from);
    ASSERT_TRUE(reborn) << link->Output() << sub_->Summary();
    EXPECT_EQ(BdSeq(sub_->Messages()[*reborn]), BdSeq(*nbirth));
    EXPECT_EQ(sub_->Messages()[*reborn].payload->seq, std::optional<uint64_t>(0));
    EXPECT_TRUE(sub_->WaitIndex(Of("DBIRTH", "edge1", "line1"), *reborn));
    // One device birth and one data message are enough for the independent decoder.
    const auto ddata = sub_->WaitFor(Of("DDATA", "edge1", "line1"), *birth_at);
    ASSERT_TRUE(ddata);
    tb_test::ExpectAnIndependentDecoderReadsAlike({birth, *ddata}, dir_.path(), 3);
}

// A second link on the same broker is an edge node of its own, written apart. Two processes on
// one machine present the same Forward Open originator to a PLC, so it gets a PLC of its own.
TEST_F(MqttEndToEnd, DcmdWritesReachThePlcAndBadCommandsChangeNothing) {
    auto sim2 = StartSim({});
    auto link = StartPolledLink("edge1", sim_->port());
    auto two = StartPolledLink("edge2", sim2->port());
    const auto birth_at = WaitReadBirth("edge1");
    const auto birth2 = WaitReadBirth("edge2");
    ASSERT_TRUE(birth_at && birth2) << link->Output() << two->Output() << sub_->Summary();
    const uint64_t setpoint = *sub_->Messages()[*birth_at].Find("EM Tags/Setpoint")->alias;
    const std::string dcmd = "DCMD/edge1/line1";

    size_t from = sub_->Count();
    Command(dcmd, tb_test::CommandPayload("EM Tags/Setpoint", DataType::Int32, 42));
    EXPECT_TRUE(WaitData("edge1", setpoint, Variant(42), from))
        << link->Output() << sub_->Summary();

    // By alias, as hosts write after a birth.
    sparkplug::Payload by_alias;
    by_alias.metrics.push_back(
        {std::nullopt, setpoint, std::nullopt, DataType::Int32, Variant(43)});
    from = sub_->Count();
    Command(dcmd, sparkplug::Encode(by_alias));
    EXPECT_TRUE(WaitData("edge1", setpoint, Variant(43), from))
        << link->Output() << sub_->Summary();

    const uint64_t setpoint2 = *sub_->Messages()[*birth2].Find("EM Tags/Setpoint")->alias;
    from = sub_->Count();
    Command("DCMD/edge2/line1", tb_test::CommandPayload("EM Tags/Setpoint", DataType::Int32, 22));
    EXPECT_TRUE(WaitData("edge2", setpoint2, Variant(22), from)) << sub_->Summary();

    // Each bad command gets one error line and writes nothing.
    const std::string error = "ERROR - ";
    const size_t before = Occurrences(link->Output(), error);
    Command(dcmd, std::string("\xff\xff\xff", 3));
    Command(dcmd, tb_test::CommandPayload("EM Tags/Nope", DataType::Int32, 1));
    Command(dcmd, tb_test::CommandPayload("EM Tags/Level", DataType::Float, 1.5));
    Command(dcmd, tb_test::CommandPayload("EM Tags/Setpoint", DataType::String, "not a number"));
    EXPECT_TRUE(WaitUntil([&] { return Occurrences(link->Output(), error) == before + 4; }))
        << link->Output() << sub_->Summary();
    // The refusal reaches nothing: Setpoint keeps 43 through further polls.
    from = sub_->Count();
    ASSERT_TRUE(sub_->WaitIndex(Of("DDATA", "edge1", "line1"), from));
    EXPECT_EQ(link->TagValue("line1", "Setpoint"), 43);
    EXPECT_EQ(two->TagValue("line1", "Setpoint"), 22);
    EXPECT_EQ(Occurrences(link->Output(), error), before + 4);
}

// Killed, the broker publishes the will; stopped, the link says its death itself.
TEST_F(MqttEndToEnd, KilledOrStoppedLinkLeavesNdeathWithTheBirthsBdSeq) {
    for (const int sig : {SIGKILL, SIGINT}) {
        const std::string node = "edge" + std::to_string(sig);
        auto link = StartLink(node);
        const auto nbirth = sub_->WaitFor(Of("NBIRTH", node));
        ASSERT_TRUE(nbirth) << link->Output() << sub_->Summary();
        link->process().Signal(sig);
        const auto ndeath = sub_->WaitFor(Of("NDEATH", node));
        ASSERT_TRUE(ndeath) << broker_->Output() << link->Output();
        EXPECT_EQ(BdSeq(*ndeath), BdSeq(*nbirth));
        const auto status = link->process().Wait();
        ASSERT_TRUE(status);
        EXPECT_EQ(WIFEXITED(*status) && WEXITSTATUS(*status) == 0, sig == SIGINT) << link->Output();
    }
}

TEST_F(MqttEndToEnd, PlcOutageBringsDdeathAndItsReturnANewDbirth) {
    // The controller stops for 3 s every 10 s, as a power loss would.
    auto sim = StartSim({"--outage", "6000:3000:10000"});
    auto link = StartPolledLink("edge1", sim->port());
    const auto born = WaitReadBirth("edge1");
    ASSERT_TRUE(born) << link->Output() << sub_->Summary();
    const auto death = sub_->WaitIndex(Of("DDEATH", "edge1", "line1"), *born);
    ASSERT_TRUE(death) << link->Output() << sub_->Summary();
    EXPECT_FALSE(sub_->Messages()[*death].payload->metrics.size());
    EXPECT_TRUE(WaitReadBirth("edge1", *death)) << link->Output() << sub_->Summary();
}

TEST_F(MqttEndToEnd, BrokerRestartBlocksNoPollingAndBringsFreshBirths) {
    auto link = StartPolledLink("edge1", sim_->port());
    ASSERT_TRUE(WaitReadBirth("edge1")) << link->Output() << sub_->Summary();
    const uint64_t bdseq = BdSeq(*sub_->WaitFor(Of("NBIRTH", "edge1")));
    const auto count = [&] {
        const json value = link->TagValue("line1", "Count");
        return value.is_number() ? value.get<int64_t>() : -1;
    };
    sub_.reset();
    broker_->Kill();
    const int64_t at_kill = count();
    // Long enough for the link to back off to seconds between attempts, so that a fresh
    // subscriber is in before the link reconnects.
    EXPECT_TRUE(WaitUntil([&] { return count() >= at_kill + 30; })) << "polling goes on";
    broker_->Start();
    ASSERT_TRUE(broker_->ready()) << broker_->Output();
    sub_ = Subscribe();
    const auto nbirth = sub_->WaitIndex(Of("NBIRTH", "edge1"));
    ASSERT_TRUE(nbirth) << link->Output() << sub_->Summary();
    EXPECT_NE(BdSeq(sub_->Messages()[*nbirth]), bdseq) << "a new session, a new bdSeq";
    const auto dbirth = WaitReadBirth("edge1", *nbirth);
    ASSERT_TRUE(dbirth) << link->Output() << sub_->Summary();
    EXPECT_GE(sub_->Messages()[*dbirth].Find("EM Tags/Count")->value.as_int(), at_kill + 30)
        << "the birth carries the latest value";
}

// Aliases are unique across the edge node, whatever the PLC, and a rebirth keeps them.
TEST_F(MqttEndToEnd, AliasesAreUniqueAcrossPlcsAndKeptByARebirth) {
    auto sim2 = StartSim({});
    auto link = StartPolledLink("edge1", sim_->port());
    ASSERT_TRUE(
        link->AddPolledPlc("line2", sim2->port(), tb_test::TagRows({"Count", "Flag"}), 100));
    std::vector<std::map<std::string, uint64_t>> rounds;
    for (size_t from = 0; rounds.size() < 2; from = sub_->Count()) {
        if (!rounds.empty()) {
            Command("NCMD/edge1",
                    tb_test::CommandPayload("Node Control/Rebirth", DataType::Boolean, true));
        }
        const auto one = WaitBirth("line1", 6, from);
        const auto two = WaitBirth("line2", 2, from);
        ASSERT_TRUE(one && two) << link->Output() << sub_->Summary();
        rounds.emplace_back();
        for (const auto* birth : {&*one, &*two}) {
            for (const auto& m : birth->payload->metrics) {
                rounds.back()[birth->device + "/" + *m.name] = *m.alias;
            }
        }
    }
    std::set<uint64_t> unique;
    for (const auto& [name, alias] : rounds[0]) {
        EXPECT_TRUE(unique.insert(alias).second) << name << " repeats alias " << alias;
    }
    EXPECT_EQ(rounds[1], rounds[0]);
}

struct MqttSmallPackets : MqttEndToEnd {
    MqttSmallPackets() { brokerConfig_ = "max_packet_size 204800\n"; }
};

// A PLC whose birth is over the broker's packet limit (mosquitto's, told in its CONNACK) is held
// back alone: the edge node stays connected and the small PLC goes on publishing.
TEST_F(MqttSmallPackets, BirthOverTheBrokerLimitHoldsBackItsPlcAlone) {
    tb_test::PlcSim big({"--tag-series", "Big:DINT:10000"});
    json rows = json::array();
    for (int i = 0; i < 10000; ++i) {
        rows.push_back(
            {{"Tag Alias", "Big" + std::to_string(i)}, {"Tag Name", "Big" + std::to_string(i)}});
    }
    auto link = StartPolledLink("edge1", sim_->port());
    const auto line1 = WaitBirth("line1", 6);
    ASSERT_TRUE(line1 && link->AddPolledPlc("big", big.port(), rows, 1000)) << link->Output();
    std::string metrics;
    ASSERT_TRUE(WaitUntil(
        [&] {
            metrics = link->Metrics();
            return metrics.find("birth_refused_bytes{device=\"big\"}") != std::string::npos;
        },
        std::chrono::seconds(90)))
        << link->Output() << metrics;
    EXPECT_NE(metrics.find("tagbridge_mqtt_max_packet_bytes 204800"), std::string::npos);
    const int64_t count = link->TagValue("line1", "Count").get<int64_t>();
    ASSERT_TRUE(WaitAtLeast(*line1->Find("EM Tags/Count")->alias, count + 20, 0)) << link->Output();
    EXPECT_EQ(sub_->Matching(Of("NBIRTH", "edge1")).size(), 1u) << link->Output();
    EXPECT_TRUE(sub_->Matching(Of("NDEATH", "edge1")).empty());
    // After its last death (it was born small while its tags were being added) the big PLC
    // says nothing.
    const auto all = sub_->Messages();
    const auto death = std::find_if(all.rbegin(), all.rend(), Of("DDEATH", "edge1", "big"));
    EXPECT_EQ(std::count_if(all.rbegin(), death,
                            [](const SparkplugMessage& m) { return m.device == "big"; }),
              0);
}

// A broker that stops reading (stopped, not disconnected) holds little of the link's memory:
// changes wait as latest values until it reads again, then go out.
TEST_F(MqttEndToEnd, StalledBrokerKeepsTheLinkMemoryBoundedAndCatchesUp) {
    std::vector<std::string> waves;  // 16 DINT[500], each changing every 10 ms
    json tags = tb_test::TagRows({"Count"});
    for (int i = 0; i < 16; ++i) {
        const std::string name = "Wave" + std::to_string(i);
        waves.insert(waves.end(), {"--tag", name + ":DINT[500]@counter:1:10"});
        tags.push_back({{"Tag Alias", name}, {"Tag Name", name + "[0~499]"}});
    }
    auto sim = StartSim(waves);
    // Without ASan's quarantine and the value history the figure is what MQTT holds.
    ::setenv("ASAN_OPTIONS", "quarantine_size_mb=0", 1);
    auto link = StartLink("edge1", {"--history-points", "0"});
    ::unsetenv("ASAN_OPTIONS");
    const auto birth =
        link->AddPolledPlc("line1", sim->port(), tags, 10) ? WaitBirth("line1", 17) : std::nullopt;
    const uint64_t alias = birth ? *birth->Find("EM Tags/Count")->alias : 0;
    ASSERT_TRUE(birth && WaitAtLeast(alias, 0, 0)) << link->Output();
    const auto count = [&] { return link->TagValue("line1", "Count").get<int64_t>(); };
    const auto rss = [&] {
        long pages = 0;
        std::ifstream("/proc/" + std::to_string(link->process().pid()) + "/statm") >> pages >>
            pages;
        return pages * (sysconf(_SC_PAGESIZE) >> 10);  // kB
    };
    const long before = rss();
    broker_->Signal(SIGSTOP);
    // 20 s of changes (Count goes up every 100 ms) for a broker that reads nothing. The link's
    // allocator settles in the first half; the second half shows what keeps growing.
    const int64_t stalled_at = count();
    long halfway = 0, peak = before;
    WaitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const int64_t now = count();
            peak = std::max(peak, rss());
            halfway = halfway == 0 && now >= stalled_at + 100 ? peak : halfway;
            return now >= stalled_at + 200;
        },
        std::chrono::seconds(60));
    const size_t from = sub_->Count();
    broker_->Signal(SIGCONT);
    std::printf(
        "[ figure ] broker stopped for 20 s of 16 DINT[500] polled every 10 ms: link RSS "
        "%ld MB before, %ld MB halfway, peak %ld MB\n",
        before >> 10, halfway >> 10, peak >> 10);
    EXPECT_LT(peak - halfway, 16L << 10) << "KiB grown in the second half";
    EXPECT_TRUE(WaitAtLeast(alias, stalled_at + 200, from)) << link->Output();
}

}  // namespace
