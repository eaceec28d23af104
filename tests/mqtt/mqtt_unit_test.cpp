// The MQTT side in-process: Sparkplug B payloads (every published data type survives encoding
// and decoding, values that do not fit their type go out as null, hostile bytes are refused),
// the edge node model (what the node tree of a PLC turns into: births, data by exception,
// deaths, rebirths, and which metrics a DCMD may write), and the MQTT options through the
// link's option parser, the command line and --config.

#include <gtest/gtest.h>

#include <fstream>

#include "mqtt/edge_model.h"
#include "mqtt/mqtt_options.h"
#include "mqtt/reconnect_backoff.h"
#include "mqtt/sparkplug.h"
#include "sdk/sdk_test_support.h"
#include "strata_sdk/json.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using sdk::NodePath;
using sdk::Variant;
using sdk::json::from_json_string;
using sparkplug::DataType;
using tbmqtt::EdgeModel;
using Kind = EdgeModel::MessageKind;

sparkplug::Payload OneMetric(DataType type, Variant value) {
    sparkplug::Payload p;
    p.timestamp = 1700000000000;
    p.seq = 255;
    sparkplug::Metric m;
    m.name = "EM Tags/x";
    m.alias = 7;
    m.timestamp = 1700000000001;
    m.datatype = type;
    m.value = std::move(value);
    p.metrics.push_back(std::move(m));
    return p;
}

std::optional<sparkplug::Payload> Decode(const std::string& bytes, std::string& error) {
    return sparkplug::Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), error);
}

std::optional<sparkplug::Payload> RoundTrip(const sparkplug::Payload& p) {
    std::string error;
    auto out = Decode(sparkplug::Encode(p), error);
    EXPECT_TRUE(out) << error;
    return out;
}

// Every published type survives a round trip; a value that does not fit its type goes out as null.
TEST(SparkplugCodec, EveryPublishedTypeSurvivesARoundTripOrIsSentAsNull) {
    const struct {
        DataType type;
        const char* json;
        bool fits = true;
    } cases[] = {
        {DataType::Int8, "-128"},
        {DataType::Int16, "-2"},
        {DataType::Int32, "-2147483648"},
        {DataType::UInt32, "4294967295"},
        {DataType::Int64, "-5"},
        {DataType::UInt64, "18446744073709551615"},
        {DataType::Float, "0.5"},
        {DataType::Double, "-1e300"},
        {DataType::Boolean, "true"},
        {DataType::String, "\"h\\u00e9llo\""},
        {DataType::Bytes, "\"0x00FF10\""},
        {DataType::Int8Array, "[-1, 0, 127]"},
        {DataType::Int16Array, "[-32768, 1, 32767]"},
        {DataType::Int32Array, "[-1, 65536]"},
        {DataType::UInt16Array, "[65535, 0]"},
        {DataType::Int64Array, "[-9223372036854775808, 9007199254740993]"},
        {DataType::UInt64Array, "[18446744073709551615, 0]"},
        {DataType::DoubleArray, "[0.1, -1e300]"},
        {DataType::FloatArray, "[1.5, -2.25]"},
        {DataType::BooleanArray, "[true, false, false, true, true, false, false, false, true]"},
        {DataType::StringArray, "[\"AB\", \"\", \"C\"]"},
        {DataType::Int16Array, "[]"},
        {DataType::Int32, "null"},
        {DataType::Int8, "128", false},
        {DataType::Int16, "\"12\"", false},
        {DataType::UInt32, "-1", false},
        {DataType::Boolean, "1", false},
        {DataType::Int8Array, "[1, 300]", false},
        {DataType::BooleanArray, "[true, 1]", false},
        {DataType::Bytes, "\"0x0\"", false},
        {DataType::Bytes, "\"0xZZ\"", false},
        {DataType::Float, "\"\"", false},
        {DataType::StringArray, "\"AB\"", false},
    };
    for (const auto& c : cases) {
        const Variant value = from_json_string(c.json);
        const auto out = RoundTrip(OneMetric(c.type, value));
        ASSERT_TRUE(out) << c.json;
        ASSERT_EQ(out->metrics.size(), 1u);
        const auto& m = out->metrics[0];
        EXPECT_EQ(m.value, c.fits ? value : Variant()) << c.json;
        EXPECT_EQ(m.datatype, c.type) << c.json;
        EXPECT_EQ(m.name, std::optional<std::string>("EM Tags/x"));
        EXPECT_EQ(m.alias, std::optional<uint64_t>(7));
        EXPECT_EQ(m.timestamp, std::optional<uint64_t>(1700000000001));
        EXPECT_EQ(out->seq, std::optional<uint64_t>(255));
    }
}

TEST(SparkplugCodec, ArraysArePackedLittleEndianWithBooleansMsbFirst) {
    // Decoding what the encoder wrote proves only symmetry; the layout is pinned here.
    const auto bytes_of = [](DataType type, const char* json) {
        std::string encoded = sparkplug::Encode(OneMetric(type, from_json_string(json)));
        return encoded;
    };
    EXPECT_NE(bytes_of(DataType::Int16Array, "[1, -2]").find(std::string("\x01\x00\xFE\xFF", 4)),
              std::string::npos);
    // 9 booleans: count 9, then 1001 1000 and 1000 0000.
    EXPECT_NE(
        bytes_of(DataType::BooleanArray, "[true,false,false,true,true,false,false,false,true]")
            .find(std::string("\x09\x00\x00\x00\x98\x80", 6)),
        std::string::npos);
    EXPECT_NE(bytes_of(DataType::StringArray, "[\"AB\",\"C\"]").find(std::string("AB\0C\0", 5)),
              std::string::npos);
}

TEST(SparkplugCodec, HostileBytesAreRefusedWithAReason) {
    const std::string truncated =
        sparkplug::Encode(OneMetric(DataType::String, "hello")).substr(0, 12);
    // Metric with datatype Int16Array (4 = 23) and bytes_value of 3 bytes.
    const std::string odd_array("\x12\x08\x20\x17\x82\x01\x03\x01\x02\x03", 10);
    const std::string bad_bool_count("\x12\x0a\x20\x20\x82\x01\x05\xff\x00\x00\x00\x01", 12);
    const std::string string_array_unterminated("\x12\x07\x20\x21\x82\x01\x02\x41\x42", 9);
    const std::string type_mismatch("\x12\x05\x20\x03\x7a\x01\x41", 7);  // Int32 as text
    const std::string not_protobuf("\xff\xff\xff\xff\xff", 5);
    for (const std::string& bytes : {truncated, odd_array, bad_bool_count,
                                     string_array_unterminated, type_mismatch, not_protobuf}) {
        std::string error;
        EXPECT_FALSE(Decode(bytes, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(SparkplugCodec, MetricWithoutDataTypeKeepsItsFieldValue) {
    // int_value 0xFFFFFFFF without a data type: read as signed 32 bits.
    const std::string bytes("\x12\x09\x0a\x01x\x50\xff\xff\xff\xff\x0f", 11);
    std::string error;
    const auto out = Decode(bytes, error);
    ASSERT_TRUE(out) << error;
    EXPECT_EQ(out->metrics.at(0).value, Variant(-1));
}

// ---- edge node model -------------------------------------------------------------------------

sdk::NodeInfo Info(const std::map<std::string, Variant>& configs, Variant value = Variant()) {
    sdk::NodeInfo info;
    info.configs = configs;
    info.value = std::move(value);
    return info;
}

sdk::NodeInfo Tag(const char* inner) {
    return Info({{"$$$isit", "tag"}, {"InnerType", inner}});
}

class EdgeModelTest : public ::testing::Test {
  protected:
    // PLC "line1" with tags speed (DINT, RW), level (REAL, R_) and I/O tag in1 with subtag sub.
    void SetUp() override {
        model.OnNode("/line1", Info({{"$$$isit", "plc"}}));
        model.OnNode("/line1/coxnstate", Info({}, "NON-EXIST"));
        model.OnNode("/line1/EM Tags/Read Tags List/speed", Tag("DINT"));
        model.OnNode("/line1/EM Tags/Write Tags List/speed", Tag("DINT"));
        model.OnNode("/line1/EM Tags/Read Tags List/level", Tag("REAL"));
        model.OnNode("/line1/IO Tags/in1", Tag("SINT"));
        model.OnNode("/line1/IO Tags/in1/sub", Info({{"$$$isit", "subtag"}, {"InnerType", "INT"}}));
        model.OnNode("/line1/IO Tags/in1/Add Subtag", Info({}));
    }
    std::vector<EdgeModel::Message> Take() { return model.TakeMessages(1000); }
    static std::vector<std::string> Names(const EdgeModel::Message& m) {
        std::vector<std::string> names;
        for (const auto& metric : m.metrics) {
            names.push_back(metric.name.value_or("#" + std::to_string(metric.alias.value_or(0))));
        }
        return names;
    }
    void Online() { model.OnValue("/line1/coxnstate", "READY", 5); }
    EdgeModel model;
};

TEST_F(EdgeModelTest, APlcIsBornWhenConnectedWithEveryTagAsATypedMetric) {
    EXPECT_TRUE(Take().empty()) << "nothing is published for a PLC that is not connected";
    model.OnValue("/line1/EM Tags/Read Tags List/speed", 12, 7);
    Online();
    const auto out = Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::Birth);
    EXPECT_EQ(out[0].device, "line1");
    EXPECT_EQ(Names(out[0]),
              (std::vector<std::string>{"EM Tags/level", "EM Tags/speed", "IO Tags/in1/sub"}));
    EXPECT_EQ(out[0].metrics[0].datatype, DataType::Float);
    EXPECT_TRUE(out[0].metrics[0].value.is_null());
    EXPECT_EQ(out[0].metrics[1].datatype, DataType::Int32);
    EXPECT_EQ(out[0].metrics[1].value, Variant(12));
    EXPECT_EQ(out[0].metrics[1].timestamp, std::optional<uint64_t>(7));
    EXPECT_EQ(out[0].metrics[2].datatype, DataType::Int16);
}

TEST_F(EdgeModelTest, ChangesOfTheTagSetOrOfAValueShapeBringANewBirth) {
    Online();
    Take();
    // A value whose shape no longer fits the born type (a scalar tag now read as an array).
    model.OnValue("/line1/EM Tags/Read Tags List/speed", Variant(Variant::ArrayType{1, 2}), 30);
    auto out = Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::Birth);
    EXPECT_EQ(out[0].metrics.at(1).datatype, DataType::Int32Array);
    // A removed tag leaves the next birth; a removed PLC dies.
    model.OnRemoved("/line1/EM Tags/Read Tags List/level");
    out = Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Names(out[0]), (std::vector<std::string>{"EM Tags/speed", "IO Tags/in1/sub"}));
    model.OnRemoved("/line1");
    out = Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::Death);
    EXPECT_EQ(model.MetricCount(), 0u);
}

TEST_F(EdgeModelTest, OnlyWritableMetricsAreWriteTargets) {
    const auto target = [&](const std::string& device, std::optional<std::string> name,
                            std::optional<uint64_t> alias, DataType type = DataType::Unknown) {
        sparkplug::Metric m;
        m.name = std::move(name);
        m.alias = alias;
        m.datatype = type;
        std::string why;
        auto t = model.FindWritable(device, m, why);
        EXPECT_EQ(t.has_value(), why.empty()) << why;
        return t;
    };
    Online();
    const auto birth = Take();
    const auto by_name = target("line1", "EM Tags/speed", std::nullopt);
    ASSERT_TRUE(by_name);
    EXPECT_EQ(by_name->action, NodePath("/line1/EM Tags/Write Tags List/speed/Write Data"));
    EXPECT_TRUE(target("line1", std::nullopt, birth.at(0).metrics.at(1).alias));
    EXPECT_TRUE(target("line1", "EM Tags/speed", std::nullopt, DataType::Int32));
    EXPECT_FALSE(target("line1", "EM Tags/speed", std::nullopt, DataType::String))
        << "a data type other than the birth's";
    EXPECT_FALSE(target("line1", "EM Tags/level", std::nullopt)) << "read-only";
    EXPECT_FALSE(target("line1", "IO Tags/in1/sub", std::nullopt)) << "I/O data is read-only";
    EXPECT_FALSE(target("line1", "EM Tags/nope", std::nullopt));
    EXPECT_FALSE(target("line2", "EM Tags/speed", std::nullopt));
}

TEST(MetricType, FollowsTheInnerTypeAndTheValueShape) {
    const struct {
        const char* inner;
        const char* json;
        DataType type;
    } cases[] = {
        {"BOOL", "true", DataType::Boolean},
        {"BOOL", "[true]", DataType::BooleanArray},
        {"SINT", "1", DataType::Int8},
        {"SINT", "[1]", DataType::Int8Array},
        {"INT", "1", DataType::Int16},
        {"INT", "[1,2]", DataType::Int16Array},
        {"DINT", "null", DataType::Int32},
        {"DINT", "[1]", DataType::Int32Array},
        {"REAL", "1.5", DataType::Float},
        {"REAL", "[1.5]", DataType::FloatArray},
        {"STRING", "\"a\"", DataType::String},
        {"STRING2", "[\"a\"]", DataType::StringArray},
        {"SHORT STRING", "\"a\"", DataType::String},
        {"STRUCTURE", "\"0x0102\"", DataType::Bytes},
        {"STRUCTURE", "\"text\"", DataType::String},
        {"STRUCTURE", "[\"a\",\"b\"]", DataType::StringArray},
        {"BITARRAY", "null", DataType::UInt32},
        {"LINT", "-9223372036854775808", DataType::Int64},
        {"ULINT", "[18446744073709551615]", DataType::UInt64Array},
        {"LREAL", "[0.5]", DataType::DoubleArray},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tbmqtt::MetricType(c.inner, from_json_string(c.json)), c.type)
            << c.inner << " " << c.json;
    }
}

TEST(ReconnectBackoff, DoublesUntilASessionStayedUpThirtySeconds) {
    tbmqtt::ReconnectBackoff backoff;
    std::vector<int64_t> waits;
    for (int64_t uptime : {0, 0, 1000, 0, 29999, 30000, 0}) {
        waits.push_back(backoff.Next(std::chrono::milliseconds(uptime)).count());
    }
    EXPECT_EQ(waits, (std::vector<int64_t>{500, 1000, 2000, 4000, 8000, 500, 1000}));
}

TEST(DeviceId, EscapesTopicWildcards) {
    EXPECT_EQ(tbmqtt::DeviceId("a+b#c"), "a%2Bb%23c");
}

// ---- options ---------------------------------------------------------------------------------

struct Parsed {
    std::optional<tbmqtt::MqttOptions> mqtt;
    std::string error;
};

Parsed Parse(std::vector<std::string> args) {
    args.insert(args.begin(),
                {"--data-dir", ::testing::TempDir() + "/mqtt-opts", "--listen", "127.0.0.1:0"});
    sdk_test::Parsed p = sdk_test::parse(args, tbmqtt::AddMqttOptions);
    Parsed out{std::nullopt, p.err};
    if (p.outcome == sdk::LinkOptions::ParseOutcome::Run) {
        out.mqtt = tbmqtt::MqttOptionsFrom(p.options, out.error);
    }
    return out;
}

TEST(MqttOptions, UrlsGiveHostPortAndTls) {
    const struct {
        const char* url;
        const char* host;
        uint16_t port;
        bool tls;
    } cases[] = {
        {"mqtt://broker.local:1884", "broker.local", 1884, false},
        {"mqtt://10.0.0.5", "10.0.0.5", 1883, false},
        {"mqtts://broker:8884/", "broker", 8884, true},
        {"mqtts://[::1]", "::1", 8883, true},
        {"mqtt://[::1]:1999", "::1", 1999, false},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse({"--mqtt-url", c.url});
        ASSERT_TRUE(p.mqtt) << c.url << ": " << p.error;
        EXPECT_EQ(p.mqtt->host, c.host);
        EXPECT_EQ(p.mqtt->port, c.port);
        EXPECT_EQ(p.mqtt->tls, c.tls);
        EXPECT_EQ(p.mqtt->group, "Tagbridge");
        EXPECT_FALSE(p.mqtt->node.empty()) << "the host name by default";
    }
}

TEST(MqttOptions, BadValuesAreRefusedWithTheOptionNamed) {
    const std::vector<std::vector<std::string>> cases = {
        {"--mqtt-url", "http://broker:1883"},
        {"--mqtt-url", "mqtt://broker:0"},
        {"--mqtt-url", "mqtt://broker:99999"},
        {"--mqtt-url", "mqtt://:1883"},
        {"--mqtt-url", "mqtt://user@broker"},
        {"--mqtt-url", "mqtt://b", "--mqtt-group", "a/b"},
        {"--mqtt-url", "mqtt://b", "--mqtt-node", "n+1"},
        {"--mqtt-url", "mqtt://b", "--mqtt-password-file", "/nonexistent/pw"},
        {"--mqtt-url", "mqtt://b", "--mqtt-buffer-mb", "0"},
        {"--mqtt-url", "mqtt://b", "--mqtt-buffer-hours", "1h"},
        {"--mqtt-url", "mqtt://b", "--mqtt-format", "xml"},
        {"--mqtt-url", "mqtt://b", "--mqtt-topic-prefix", "plant/+/x"},
        {"--mqtt-url", "mqtt://b", "--mqtt-topic-prefix", "plant/"},
        {"--mqtt-url", "mqtt://b", "--mqtt-primary-host", "scada#1"},
        {"--mqtt-url", "mqtt://b", "--mqtt-max-packet", "0"},
    };
    for (const auto& args : cases) {
        const Parsed p = Parse(args);
        EXPECT_FALSE(p.mqtt) << args.back();
        EXPECT_NE(p.error.find("--mqtt-"), std::string::npos) << p.error;
    }
    EXPECT_FALSE(Parse({}).mqtt) << "without --mqtt-url there is no MQTT";
    EXPECT_TRUE(Parse({}).error.empty());
}

TEST(MqttOptions, ConfigFileGivesTheSameKeysAndTheCommandLineWins) {
    const std::string dir = ::testing::TempDir();
    std::ofstream(dir + "/mqtt-pw") << "s3cret\nignored\n";
    std::ofstream(dir + "/mqtt.json") << "{\"mqtt-url\": \"mqtt://127.0.0.1:1999\", "
                                         "\"mqtt-group\": \"Plant\", \"mqtt-node\": \"line1\", "
                                         "\"mqtt-user\": \"tb\", \"mqtt-password-file\": \""
                                      << dir << "/mqtt-pw\"}";
    const Parsed p = Parse({"--config", dir + "/mqtt.json", "--mqtt-node", "line2"});
    ASSERT_TRUE(p.mqtt) << p.error;
    EXPECT_EQ(p.mqtt->port, 1999);
    EXPECT_EQ(p.mqtt->group, "Plant");
    EXPECT_EQ(p.mqtt->node, "line2");
    EXPECT_EQ(p.mqtt->user, "tb");
    EXPECT_EQ(p.mqtt->password, "s3cret");
}

}  // namespace

// A structure is one metric per member, each with its own alias, the same in birth and data.
TEST_F(EdgeModelTest, AStructureIsPublishedAsOneMetricPerMember) {
    model.OnNode("/line1/EM Tags/Read Tags List/rec", Tag("STRUCTURE"));
    const Variant rec = sdk::json::from_json_string(
        R"({"On":true,"Temp":1.5,"Lim":{"Hi":9},"Steps":[1,2],"Items":[{"N":"a"}]})");
    model.OnValue("/line1/EM Tags/Read Tags List/rec", rec, 7);
    Online();
    const auto birth = Take().at(0);
    const std::vector<std::string> members{"EM Tags/rec/Items[0]/N", "EM Tags/rec/Lim/Hi",
                                           "EM Tags/rec/On", "EM Tags/rec/Steps",
                                           "EM Tags/rec/Temp"};
    EXPECT_EQ(std::vector<std::string>(birth.names.begin() + 1, birth.names.begin() + 6), members);
    const DataType types[] = {DataType::String, DataType::Int64, DataType::Boolean,
                              DataType::Int64Array, DataType::Double};
    for (size_t i = 0; i < members.size(); ++i) {
        EXPECT_EQ(birth.metrics[i + 1].datatype, types[i]) << members[i];
    }
    model.OnValue("/line1/EM Tags/Read Tags List/rec",
                  sdk::json::from_json_string(R"({"On":false,"Temp":1.5,"Lim":{"Hi":9},)"
                                              R"("Steps":[1,2],"Items":[{"N":"a"}]})"),
                  8);
    const auto data = Take().at(0);
    EXPECT_EQ(data.kind, Kind::Data);
    EXPECT_EQ(data.names, members);
    for (size_t i = 0; i < members.size(); ++i) {
        EXPECT_EQ(data.metrics[i].alias, birth.metrics[i + 1].alias) << members[i];
    }
    EXPECT_EQ(data.metrics[2].value, Variant(false));
}
