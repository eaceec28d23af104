// The recent values of a node: its ring, and the broker's answer for a node or a folder.

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "sdk/sdk_test_support.h"
#include "sdk/src/value_history.h"

using namespace kestrel::strata_sdk;
using kestrel::strata_sdk::detail::ValueHistory;

namespace {

constexpr int64_t kAll = std::numeric_limits<int64_t>::min();

std::vector<int64_t> times_of(const std::vector<HistoryPoint>& points) {
    std::vector<int64_t> times;
    for (const auto& point : points)
        times.push_back(point.ts_ms);
    return times;
}

TEST(ValueHistoryTest, KeepsTheLastPointsNewerThanSinceOldestFirst) {
    struct Row {
        std::size_t capacity;
        int64_t writes;
        int64_t since;
        std::vector<int64_t> times;
    };
    const Row rows[] = {
        {4, 3, kAll, {1, 2, 3}}, {4, 10, kAll, {7, 8, 9, 10}},  // wrapped around twice
        {4, 10, 8, {9, 10}},     {4, 10, 10, {}},
        {0, 3, kAll, {}},  // history off
    };
    for (const auto& row : rows) {
        ValueHistory ring(row.capacity);
        for (int64_t ts = 1; ts <= row.writes; ++ts)
            ring.record(Variant(ts * 10), ts);
        const auto points = ring.read(row.since);
        EXPECT_EQ(times_of(points), row.times) << row.capacity << " " << row.writes;
        for (const auto& point : points)
            EXPECT_EQ(point.value, Variant(point.ts_ms * 10));
    }
}

TEST(ValueHistoryTest, EveryKindComesBackAndTextIsCutAtItsBound) {
    const std::string cut(ValueHistory::kTextBytes, 'x');
    Variant structure = Variant::new_map();
    structure["a"] = 1;
    structure["b"] = Variant(Variant::ArrayType{true, Variant(), "q\""});
    const std::pair<Variant, Variant> rows[] = {
        {Variant(), Variant()},
        {true, true},
        {int64_t{-5}, int64_t{-5}},
        {UINT64_MAX, UINT64_MAX},
        {2.5, 2.5},
        {"short", "short"},
        {cut + "yz", cut + "\u2026"},
        {std::string(ValueHistory::kTextBytes - 1, 'x') + "\u00e9",
         std::string(ValueHistory::kTextBytes - 1, 'x') + "\u2026"},
        {structure, R"({"a":1,"b":[true,null,"q\""]})"},
    };
    ValueHistory ring(std::size(rows));
    for (const auto& [given, kept] : rows)
        ring.record(given, 1);
    const auto points = ring.read(kAll);
    ASSERT_EQ(points.size(), std::size(rows));
    for (std::size_t i = 0; i < points.size(); ++i)
        EXPECT_EQ(points[i].value, rows[i].second) << i;
}

TEST(BrokerHistoryTest, ANodeAnswersItsPointsAFolderEachChildsAndOffAnswersNone) {
    for (const std::size_t points : {std::size_t{3}, std::size_t{0}}) {
        auto owned = tb_test::MakeLink("", [&](LinkOptions& o) { o.set_history_points(points); });
        Link& link = *owned;
        ASSERT_TRUE(link.non_blocking_run());
        NodeBuilder tree("/");
        tree.make_node("f").make_child("a").value(1).make_node("b").make_node("sub").make_child(
            "c");
        link.responder()->create_node(tree);
        for (int i = 2; i <= 5; ++i)
            link.responder()->set_values(NodePath("/f"), {{"a", i}, {"b", std::to_string(i)}});
        ASSERT_TRUE(link.broker().wait_idle());

        EXPECT_FALSE(link.broker().history(NodePath("/nope"), kAll));
        const auto node = link.broker().history(NodePath("/f/a"), kAll);
        const auto folder = link.broker().history(NodePath("/f"), kAll);
        ASSERT_TRUE(node && folder);
        if (points == 0) {
            EXPECT_TRUE(node->empty());
            EXPECT_TRUE(folder->empty());
        } else {
            ASSERT_EQ(node->size(), 1u);
            EXPECT_EQ((*node)[0].points.size(), 3u);
            EXPECT_EQ((*node)[0].points.back().value, Variant(5));
            ASSERT_EQ(folder->size(), 2u);  // a and b; the folder "sub" has no values
            EXPECT_EQ((*folder)[0].path.to_string(), "/f/a");
            EXPECT_EQ((*folder)[1].path.to_string(), "/f/b");
            EXPECT_EQ((*folder)[1].points.back().value, Variant("5"));
        }
        link.stop();
        link.join();
    }
}

}  // namespace
