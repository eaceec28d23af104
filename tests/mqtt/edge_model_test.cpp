// The edge node model: what the node tree of a PLC turns into (births, data by exception,
// deaths, rebirths) and which metrics a DCMD may write.

#include <gtest/gtest.h>

#include "mqtt/edge_model.h"
#include "strata_sdk/json.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using sdk::NodePath;
using sdk::Variant;
using sparkplug::DataType;
using tbmqtt::EdgeModel;
using Kind = EdgeModel::MessageKind;

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

TEST_F(EdgeModelTest, DataGoesOutByExceptionWithAliasesOnly) {
    Online();
    const auto birth = Take();
    const uint64_t speed_alias = birth.at(0).metrics.at(1).alias.value();
    model.OnValue("/line1/EM Tags/Read Tags List/speed", 1, 10);
    model.OnValue("/line1/EM Tags/Read Tags List/speed", 2, 11);
    auto out = Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::Data);
    ASSERT_EQ(out[0].metrics.size(), 1u) << "only the latest value of a metric is kept";
    EXPECT_FALSE(out[0].metrics[0].name);
    EXPECT_EQ(out[0].metrics[0].alias, speed_alias);
    EXPECT_EQ(out[0].metrics[0].value, Variant(2));
    model.OnValue("/line1/EM Tags/Read Tags List/speed", 2, 12);
    EXPECT_TRUE(Take().empty()) << "an unchanged value is not published again";
}

TEST_F(EdgeModelTest, LostConnectionDiesAndReturnBringsABirthWithTheLatestValues) {
    Online();
    Take();
    model.OnValue("/line1/coxnstate", "NON-EXIST", 20);
    model.OnValue("/line1/EM Tags/Read Tags List/speed", 9, 21);
    auto out = Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::Death);
    Online();
    out = Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, Kind::Birth);
    EXPECT_EQ(out[0].metrics.at(1).value, Variant(9));
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
        {"BITARRAY", "null", DataType::Bytes},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tbmqtt::MetricType(c.inner, sdk::json::from_json_string(c.json)), c.type)
            << c.inner << " " << c.json;
    }
}

TEST(DeviceId, EscapesTopicWildcards) {
    EXPECT_EQ(tbmqtt::DeviceId("a+b#c"), "a%2Bb%23c");
}

}  // namespace
