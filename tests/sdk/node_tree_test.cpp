#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "sdk/sdk_test_support.h"

using namespace kestrel::strata_sdk;
using sdk_test::WaitUntil;

namespace {

class NodeTreeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link = sdk_test::make_link("");  // memory only
        ASSERT_TRUE(link->non_blocking_run());
        responder = link->responder();
    }

    // Runs create_node and waits for its completion.
    std::pair<std::vector<NodeInfo>, std::error_code> create(const NodeBuilder& builder) {
        std::promise<std::pair<std::vector<NodeInfo>, std::error_code>> done;
        responder->create_node(builder,
                               [&](const std::vector<NodeInfo>& nodes, const std::error_code& ec) {
                                   done.set_value({nodes, ec});
                               });
        return wait(done);
    }
    std::error_code status(const std::function<void(StatusCallback)>& op) {
        std::promise<std::error_code> done;
        op([&](const std::error_code& ec) { done.set_value(ec); });
        return wait(done);
    }
    NodeInfo node(const NodePath& path) {
        std::promise<std::pair<NodeInfo, std::error_code>> done;
        responder->get_node(path, [&](const NodeInfo& info, const std::error_code& ec) {
            done.set_value({info, ec});
        });
        auto [info, ec] = wait(done);
        EXPECT_FALSE(ec) << path.to_string() << ": " << ec.message();
        return info;
    }
    std::pair<Variant, std::error_code> config(const NodePath& path, const std::string& key) {
        std::promise<std::pair<Variant, std::error_code>> done;
        responder->get_config(path, key, [&](const Variant& v, const std::error_code& ec) {
            done.set_value({v, ec});
        });
        return wait(done);
    }
    template <typename T>
    T wait(std::promise<T>& p) {
        auto f = p.get_future();
        EXPECT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        return f.get();
    }

    std::unique_ptr<Link> link;
    std::shared_ptr<Responder> responder;
};

TEST_F(NodeTreeTest, CompletionRunsOnAnotherThreadWithoutTheTreeLock) {
    std::promise<void> done;
    std::thread::id callback_thread;
    bool exists_inside = false;
    NodeBuilder b(NodePath("/"));
    b.make_node("plc1", "node").display_name("plc1");
    responder->create_node(b, [&](const std::vector<NodeInfo>&, const std::error_code&) {
        callback_thread = std::this_thread::get_id();
        // Would deadlock if the callback ran under the tree's lock.
        exists_inside = responder->node_exists(NodePath("/plc1"));
        done.set_value();
    });
    // The change itself is applied at once.
    EXPECT_TRUE(responder->node_exists(NodePath("/plc1")));
    wait(done);
    EXPECT_NE(callback_thread, std::this_thread::get_id());
    EXPECT_TRUE(exists_inside);
}

TEST_F(NodeTreeTest, CreateOnAnExistingPathMergesConfigsKeepsChildrenAndAnnouncesAgain) {
    std::mutex m;
    std::vector<std::pair<std::string, NodeCreationContext>> announced;
    responder->subscribe_node_created(
        "^/.+", [&](const NodeInfo& info, NodeCreationContext ctx, const std::error_code&) {
            std::lock_guard<std::mutex> lock(m);
            announced.emplace_back(info.path.to_string(), ctx);
        });
    NodeBuilder first(NodePath("/"));
    first.make_node("plc1", "node").config("$host", "a").config("$port", 44818u).value(1);
    first.make_child("EM Tags", "node");
    ASSERT_FALSE(create(first).second);
    EXPECT_EQ(node(NodePath("/plc1")).display_name, "plc1");  // defaults to the name

    NodeBuilder again(NodePath("/"));
    again.make_node("plc1", "node").display_name("again").config("$host", "b").config("$slot", 0);
    auto [nodes, ec] = create(again);
    ASSERT_FALSE(ec);
    // $port and the value were not given again: kept.
    NodeInfo plc = node(NodePath("/plc1"));
    EXPECT_EQ(std::make_tuple(plc.display_name, plc.configs.at("$host").as_string(),
                              plc.configs.at("$port").as_uint(), plc.configs.at("$slot").as_int(),
                              plc.value.as_int(), plc.children),
              std::make_tuple("again", "b", 44818u, 0, 1, std::vector<std::string>{"EM Tags"}));

    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(m);
        return announced.size() == 3;
    }));
    std::lock_guard<std::mutex> lock(m);
    const auto created = NodeCreationContext::Created;
    EXPECT_EQ(announced, (std::vector<std::pair<std::string, NodeCreationContext>>{
                             {"/plc1", created}, {"/plc1/EM Tags", created}, {"/plc1", created}}));
}

// A refused builder creates nothing, not even the nodes before the bad one.
TEST_F(NodeTreeTest, MissingParentsInvalidNamesAndEmptyBuildersAreRefused) {
    NodeBuilder orphan(NodePath("/nothere"));
    orphan.make_node("child");
    NodeBuilder slash(NodePath("/"));
    slash.make_node("a/b");
    NodeBuilder empty_child(NodePath("/"));
    empty_child.make_node("ok").make_child("");
    const std::pair<NodeBuilder*, strata_errc> cases[] = {
        {&orphan, strata_errc::parent_not_found},
        {&slash, strata_errc::invalid_node_name},
        {&empty_child, strata_errc::invalid_node_name},
    };
    for (const auto& [builder, error] : cases) {
        auto [nodes, ec] = create(*builder);
        EXPECT_EQ(ec, make_error_code(error));
        EXPECT_TRUE(nodes.empty());
    }
    EXPECT_TRUE(node(NodePath("/")).children.empty());
    EXPECT_EQ(create(NodeBuilder(NodePath("/"))).second,
              make_error_code(strata_errc::invalid_builder));
    NodeBuilder no_node;
    EXPECT_THROW(no_node.display_name("x"), std::logic_error);
}

TEST_F(NodeTreeTest, UpdateSetValueGetConfigAndRemove) {
    NodeBuilder b(NodePath("/"));
    b.make_node("plc1").make_child("EM Tags").config("$Polling Interval", 0).make_child("t1");
    ASSERT_FALSE(create(b).second);
    NodePath em("/plc1/EM Tags");

    EXPECT_FALSE(status([&](StatusCallback cb) {
        responder->update_node(NodeUpdater(em).config("$Polling Interval", 500u).type(1), cb);
    }));
    auto [interval, ec] = config(em, "$Polling Interval");
    EXPECT_FALSE(ec);
    EXPECT_EQ(interval.as_uint(), 500u);
    EXPECT_EQ(node(em).type, ValueType::Number);
    auto [absent, ec_absent] = config(em, "$nothing");
    EXPECT_FALSE(ec_absent);
    EXPECT_TRUE(absent.is_null());
    EXPECT_EQ(config(NodePath("/nope"), "$x").second, make_error_code(strata_errc::node_not_found));

    EXPECT_FALSE(status([&](StatusCallback cb) { responder->set_value(em / "t1", 3.5, cb); }));
    EXPECT_DOUBLE_EQ(node(em / "t1").value.as_double(), 3.5);
    EXPECT_EQ(status([&](StatusCallback cb) { responder->set_value(NodePath("/nope"), 1, cb); }),
              make_error_code(strata_errc::node_not_found));
    EXPECT_EQ(status([&](StatusCallback cb) {
                  responder->update_node(NodeUpdater(NodePath("/nope")), cb);
              }),
              make_error_code(strata_errc::node_not_found));

    EXPECT_FALSE(status([&](StatusCallback cb) { responder->remove_node(NodePath("/plc1"), cb); }));
    EXPECT_FALSE(responder->node_exists(em / "t1"));
    EXPECT_FALSE(responder->node_exists(NodePath("/plc1")));
    EXPECT_TRUE(node(NodePath("/")).children.empty());
    EXPECT_EQ(status([&](StatusCallback cb) { responder->remove_node(NodePath("/plc1"), cb); }),
              make_error_code(strata_errc::node_not_found));
}

TEST_F(NodeTreeTest, SubscriptionPatternSelectsPaths) {
    std::atomic<int> tags{0};
    std::atomic<int> all{0};
    responder->subscribe_node_created("/Read Tags List/", [&](const NodeInfo&, NodeCreationContext,
                                                              const std::error_code&) { ++tags; });
    SubscriptionId id = responder->subscribe_node_created(
        "^/.+", [&](const NodeInfo&, NodeCreationContext, const std::error_code&) { ++all; });
    NodeBuilder b(NodePath("/"));
    b.make_node("plc1").make_child("Read Tags List").make_child("t1").end_child().make_child("t2");
    ASSERT_FALSE(create(b).second);
    ASSERT_TRUE(WaitUntil([&] { return all == 4 && tags == 2; }));
    responder->unsubscribe_node_created(id);
    NodeBuilder more(NodePath("/"));
    more.make_node("plc2");
    ASSERT_FALSE(create(more).second);
    EXPECT_TRUE(link->broker().wait_idle());
    EXPECT_EQ(all, 4);
}

TEST_F(NodeTreeTest, EventsBelowAPathArriveInOrderAndValuesNeverOvertakeTreeEvents) {
    std::mutex m;
    std::vector<TreeEvent> events;
    SubscriptionId id = link->broker().subscribe(NodePath("/plc1"), [&](const TreeEvent& e) {
        std::lock_guard<std::mutex> lock(m);
        events.push_back(e);
    });
    // Everything below queues up behind a busy dispatch thread.
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    responder->get_config(NodePath("/"), "$x",
                          [gate](const Variant&, const std::error_code&) { gate.wait(); });
    NodeBuilder b(NodePath("/"));
    b.make_node("plc1").make_child("v");
    NodeBuilder other(NodePath("/"));
    other.make_node("plc10");  // shares the prefix text, not the path
    responder->create_node(b);
    responder->create_node(other);
    responder->set_value(NodePath("/plc1/v"), "old");
    responder->set_value(NodePath("/plc1/v"), "hello");  // replaces "old"
    responder->update_node(NodeUpdater(NodePath("/plc1")).config("$x", 1));
    responder->remove_node(NodePath("/plc1/v"));
    NodeBuilder again(NodePath("/plc1"));
    again.make_node("v");
    responder->create_node(again);
    responder->set_value(NodePath("/plc1/v"), "again");
    release.set_value();
    ASSERT_TRUE(link->broker().wait_idle());
    link->broker().unsubscribe(id);
    responder->set_value(NodePath("/plc1"), 1);
    EXPECT_TRUE(link->broker().wait_idle());
    std::lock_guard<std::mutex> lock(m);
    using K = TreeEvent::Kind;
    std::vector<std::tuple<K, std::string, std::string>> expected = {
        {K::Created, "/plc1", ""},     {K::Created, "/plc1/v", ""}, {K::Value, "/plc1/v", "hello"},
        {K::Updated, "/plc1", ""},     {K::Removed, "/plc1/v", ""}, {K::Created, "/plc1/v", ""},
        {K::Value, "/plc1/v", "again"}};
    ASSERT_EQ(events.size(), expected.size());
    for (size_t i = 0; i < events.size(); ++i) {
        auto [kind, path, value] = expected[i];
        EXPECT_EQ(events[i].kind, kind) << i;
        EXPECT_EQ(events[i].path.to_string(), path) << i;
        if (kind == K::Value) {
            EXPECT_EQ(events[i].value.as_string(), value);
            EXPECT_GT(events[i].ts_ms, 1600000000000);
        }
    }
    EXPECT_EQ(link->broker().replaced_values(), 1u);
}

TEST_F(NodeTreeTest, ASlowSubscriberGetsTheLatestValuePerNodeAndReplacedOnesAreCounted) {
    constexpr int kNodes = 10;
    constexpr int kRounds = 5000;
    NodeBuilder b(NodePath("/"));
    b.make_node("plc1");
    std::vector<NodePath> paths;
    for (int i = 0; i < kNodes; ++i) {
        b.make_child("t" + std::to_string(i)).end_child();
        paths.push_back(NodePath("/plc1/t" + std::to_string(i)));
    }
    ASSERT_FALSE(create(b).second);
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::mutex m;
    std::map<std::string, int64_t> latest;
    size_t delivered = 0;
    link->broker().subscribe(NodePath("/plc1"), [&](const TreeEvent& e) {
        gate.wait();
        std::lock_guard<std::mutex> lock(m);
        ++delivered;
        latest[e.path.to_string()] = e.value.as_int();
    });
    responder->get_config(NodePath("/"), "$x",
                          [gate](const Variant&, const std::error_code&) { gate.wait(); });
    for (int round = 0; round < kRounds - 1; ++round) {
        for (const auto& path : paths) {
            responder->set_value(path, round);
        }
    }
    std::vector<std::pair<NodePath, Variant>> last;
    for (const auto& path : paths) {
        last.emplace_back(path, kRounds - 1);
    }
    last.emplace_back(NodePath("/plc1/missing"), 0);
    std::promise<std::error_code> batch_done;
    responder->set_values(std::move(last),
                          [&](const std::error_code& ec) { batch_done.set_value(ec); });
    release.set_value();
    EXPECT_EQ(wait(batch_done), make_error_code(strata_errc::node_not_found));
    ASSERT_TRUE(link->broker().wait_idle());
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(delivered, size_t(kNodes));  // one pending event per node, never one per change
    EXPECT_EQ(link->broker().replaced_values(), uint64_t(kNodes) * (kRounds - 1));
    for (const auto& path : paths) {
        EXPECT_EQ(latest[path.to_string()], kRounds - 1) << path.to_string();
        EXPECT_EQ(node(path).value.as_int(), kRounds - 1);
    }
}

using InvokeTest = NodeTreeTest;

TEST_F(InvokeTest, ASlowActionDoesNotBlockCompletions) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    NodeBuilder b(NodePath("/"));
    b.make_node("plc1").make_child("Block").action(
        Action(2, [released](const std::shared_ptr<IActionResultStream>&, const NodePath&,
                             const Variant&, const std::error_code&) { released.wait(); }));
    ASSERT_FALSE(create(b).second);
    std::promise<InvokeResult> blocked;
    ASSERT_FALSE(link->broker().invoke(NodePath("/plc1/Block"), {},
                                       [&](const InvokeResult& r) { blocked.set_value(r); }));
    // While the handler waits, node operations still complete.
    EXPECT_FALSE(
        status([&](StatusCallback cb) { responder->set_value(NodePath("/plc1"), 1, cb); }));
    release.set_value();
    EXPECT_TRUE(wait(blocked).ok());
}

TEST_F(NodeTreeTest, ACallbackThatThrowsDoesNotStopLaterCallbacks) {
    NodeBuilder b(NodePath("/"));
    b.make_node("x").config("$$$isit", 5);
    responder->create_node(b);
    // The link reads a marker as a string; a number makes as_string throw 9013.
    responder->get_config(NodePath("/x"), "$$$isit",
                          [](const Variant& v, const std::error_code&) { (void)v.as_string(); });
    auto [value, ec] = config(NodePath("/x"), "$$$isit");
    EXPECT_FALSE(ec);
    EXPECT_EQ(value.as_int(), 5);
}

}  // namespace
