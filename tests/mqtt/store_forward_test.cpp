// Store and forward in-process: the on-disk buffer keeps changes in order across a reopen,
// hands them out oldest first, and past its bounds drops the oldest and counts them; the JSON
// topics' names and payloads.

#include <gtest/gtest.h>

#include "mqtt/change_buffer.h"
#include "mqtt/json_topics.h"
#include "strata_sdk/json.h"
#include "support/temp_dir.h"

namespace {

using kestrel::strata_sdk::Variant;
using sparkplug::DataType;
using tbmqtt::BufferedChange;
using tbmqtt::ChangeBuffer;

const uint64_t kNow = uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());

std::unique_ptr<ChangeBuffer> Open(const std::string& dir, tbmqtt::BufferLimits limits = {}) {
    std::string error;
    auto buffer = ChangeBuffer::Open(dir, limits, error);
    EXPECT_TRUE(buffer) << error;
    return buffer;
}

void AppendCounter(ChangeBuffer& buffer, int from, int to, uint64_t ts) {
    for (int i = from; i < to; ++i) {
        buffer.Append({0, ts + uint64_t(i), i % 2 ? "line1" : "line2", "EM Tags/Count",
                       DataType::Int32, Variant(i)});
    }
}

TEST(ChangeBuffer, KeepsChangesInOrderAcrossAReopenUntilDelivered) {
    tb_test::TempDir dir;
    {
        auto buffer = Open(dir.path());
        AppendCounter(*buffer, 0, 100, kNow);
        buffer->Append({0, kNow + 100, "line2", "EM Tags/Text", DataType::String, Variant("a\"b")});
    }
    auto buffer = Open(dir.path());
    EXPECT_EQ(buffer->Stats().changes, 101u);
    AppendCounter(*buffer, 101, 150, kNow);
    std::vector<BufferedChange> all;
    for (auto batch = buffer->ReadOldest(40); !batch.empty(); batch = buffer->ReadOldest(40)) {
        buffer->Remove(batch);
        all.insert(all.end(), batch.begin(), batch.end());
    }
    ASSERT_EQ(all.size(), 150u);
    for (int i = 0; i < 150; ++i) {
        const BufferedChange& c = all[size_t(i)];
        const bool text = i == 100;
        EXPECT_EQ(c.tsMs, kNow + uint64_t(i));
        EXPECT_EQ(c.value, text ? Variant("a\"b") : Variant(i));
        EXPECT_EQ(c.type, text ? DataType::String : DataType::Int32);
        EXPECT_EQ(c.plc, i % 2 ? "line1" : "line2");
        EXPECT_EQ(c.metric, text ? "EM Tags/Text" : "EM Tags/Count");
    }
    const tbmqtt::BufferStats stats = buffer->Stats();
    EXPECT_EQ(stats.changes, 0u);
    EXPECT_EQ(stats.replayed, 150u);
}

TEST(ChangeBuffer, PastEitherBoundTheOldestChangesGoFirstAndAreCounted) {
    tb_test::TempDir dir;
    tbmqtt::BufferLimits limits;
    limits.maxBytes = 20000;
    auto buffer = Open(dir.path() + "/bytes", limits);
    AppendCounter(*buffer, 0, 5000, kNow);
    buffer->Flush();
    tbmqtt::BufferStats stats = buffer->Stats();
    EXPECT_LE(stats.bytes, limits.maxBytes);
    EXPECT_EQ(stats.changes + stats.dropped, 5000u);
    auto oldest = buffer->ReadOldest(stats.changes);
    ASSERT_TRUE(!oldest.empty() && oldest.size() == stats.changes);
    EXPECT_EQ(oldest.front().value, Variant(int(stats.dropped))) << "the newest are kept";
    EXPECT_EQ(oldest.back().value, Variant(4999));

    limits = {};
    limits.maxAgeMs = 3600 * 1000;
    buffer = Open(dir.path() + "/age", limits);
    AppendCounter(*buffer, 0, 10, kNow - 2 * limits.maxAgeMs);
    AppendCounter(*buffer, 10, 20, kNow);
    buffer->Flush();
    stats = buffer->Stats();
    EXPECT_EQ(stats.changes, 10u);
    EXPECT_EQ(stats.dropped, 10u);
    EXPECT_EQ(buffer->ReadOldest(1).at(0).value, Variant(10));
}

TEST(JsonTopics, NamesPayloadsAndSetTopics) {
    const std::string prefix = "tagbridge/edge1";
    EXPECT_EQ(tbmqtt::JsonValueTopic(prefix, "line1", "IO Tags/in1/sub"),
              prefix + "/line1/in1/sub");
    EXPECT_EQ(kestrel::strata_sdk::json::from_json_string(
                  tbmqtt::JsonValuePayload(Variant(), 1700000000000, true)),
              kestrel::strata_sdk::json::from_json_string(
                  R"({"value": null, "ts": 1700000000000, "quality": "bad", "historical": true})"));

    const auto set = tbmqtt::ParseJsonSetTopic(prefix, prefix + "/line1/Setpoint/set");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->deviceId, "line1");
    EXPECT_EQ(set->metric, "EM Tags/Setpoint");
    for (const std::string& other :
         {prefix + "/line1/Setpoint", prefix + "/line1/set", prefix + "/line1/a/b/set",
          std::string("other/line1/Setpoint/set")}) {
        EXPECT_FALSE(tbmqtt::ParseJsonSetTopic(prefix, other)) << other;
    }
}

}  // namespace
