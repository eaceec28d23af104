#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "sdk/sdk_test_support.h"

using namespace kestrel::strata_sdk;

namespace {

// The link's two-value answer row: success flag and message.
struct TwoValueResult : ActionValuesResult {
    TwoValueResult(ActionResult::SuccessType, const Variant& value) {
        add_value(true);
        add_value(value);
    }
    TwoValueResult(ActionResult::ErrorType, const std::string& message) {
        add_value(false);
        add_value(message);
    }
};

class InvokeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link = sdk_test::make_link("");
        ASSERT_TRUE(link->non_blocking_run());
    }

    // Hangs an action named `name` on /plc1 (created on first use).
    void add_action(const std::string& name, Action action) {
        NodeBuilder plc(NodePath("/"));
        plc.make_node("plc1");
        plc.make_child(name).action(std::move(action));
        std::promise<std::error_code> done;
        link->responder()->create_node(plc, [&](const std::vector<NodeInfo>&,
                                                const std::error_code& ec) { done.set_value(ec); });
        ASSERT_FALSE(done.get_future().get());
    }

    InvokeResult run(const std::string& name, Variant params = Variant::new_map()) {
        return link->broker().invoke_and_wait(NodePath("/plc1") / name, std::move(params),
                                              std::chrono::seconds(20));
    }

    std::unique_ptr<Link> link;
};

TEST_F(InvokeTest, ValuesResultCompletesWithOneRowAndTheHandlerSeesParentPathAndParams) {
    std::mutex m;
    std::string seen_path;
    Variant seen_params;
    Action action(2, [&](const std::shared_ptr<IActionResultStream>& stream, const NodePath& path,
                         const Variant& params, const std::error_code& ec) {
        {
            std::lock_guard<std::mutex> lock(m);
            seen_path = path.to_string();
            seen_params = params;
        }
        EXPECT_FALSE(ec);
        stream->send(TwoValueResult(ActionResult::Success, "success!"));
        EXPECT_TRUE(stream->is_closed());
        stream->send(TwoValueResult(ActionResult::Error, "ignored after completion"));
    });
    action.add_column(ActionColumn("Success", ValueType::Bool))
        .add_column(ActionColumn("message", 4));
    add_action("Start Polling", std::move(action));

    Variant params;
    params["Interval(ms)"] = 500;
    InvokeResult r = run("Start Polling", params);
    ASSERT_TRUE(r.ok()) << r.error_text;
    ASSERT_EQ(r.columns.size(), 2u);
    EXPECT_EQ(r.columns[1].name(), "message");
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0], (std::vector<Variant>{true, "success!"}));
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(seen_path, "/plc1");
    EXPECT_EQ(seen_params.at("Interval(ms)").as_int(), 500);
}

TEST_F(InvokeTest, TableStreamDeliversEveryRowWhenClosed) {
    Action action(2, [](const std::shared_ptr<IActionResultStream>& stream, const NodePath&,
                        const Variant&, const std::error_code&) {
        ActionStreamResult table;
        for (const char* alias : {"t1", "t2", "t3"}) {
            table.add_value(alias).add_value("success!").next_row();
        }
        stream->send(table);
        EXPECT_FALSE(stream->is_closed());  // a table waits for close()
        ActionStreamResult more;
        more.add_value("t4").add_value("Tag does not exist.");  // row left open: still delivered
        stream->send(more);
        stream->close();
    });
    action.set_result_kind(ActionResultKind::Table);
    add_action("Add Tags", std::move(action));
    InvokeResult r = run("Add Tags");
    ASSERT_TRUE(r.ok()) << r.error_text;
    ASSERT_EQ(r.rows.size(), 4u);
    EXPECT_EQ(r.rows[2], (std::vector<Variant>{"t3", "success!"}));
    EXPECT_EQ(r.rows[3], (std::vector<Variant>{"t4", "Tag does not exist."}));
}

TEST_F(InvokeTest, HandlerThatAnswersNothingCompletesWhenItReturns) {
    std::atomic<bool> ran{false};
    add_action("Remove", Action(2, [&](const std::shared_ptr<IActionResultStream>&, const NodePath&,
                                       const Variant&, const std::error_code&) { ran = true; }));
    InvokeResult r = run("Remove");
    EXPECT_TRUE(r.ok()) << r.error_text;
    EXPECT_TRUE(r.rows.empty());
    EXPECT_TRUE(ran);
}

TEST_F(InvokeTest, StreamKeptByTheHandlerCompletesWhenLaterClosed) {
    std::promise<std::shared_ptr<IActionResultStream>> handed_over;
    add_action("Slow", Action(2, [&](const std::shared_ptr<IActionResultStream>& stream,
                                     const NodePath&, const Variant&, const std::error_code&) {
                   handed_over.set_value(stream);  // answered later by another thread
               }));
    std::promise<InvokeResult> result;
    ASSERT_FALSE(link->broker().invoke(NodePath("/plc1/Slow"), Variant::new_map(),
                                       [&](const InvokeResult& r) { result.set_value(r); }));
    auto stream = handed_over.get_future().get();
    auto future = result.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    stream->send(TwoValueResult(ActionResult::Error, "PLC is not connected."));
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    InvokeResult r = future.get();
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][1].as_string(), "PLC is not connected.");
}

TEST_F(InvokeTest, ExceptionEscapingAHandlerBecomesAnErrorReply) {
    add_action("Bad", Action(2, [](const std::shared_ptr<IActionResultStream>&, const NodePath&,
                                   const Variant& params, const std::error_code&) {
                   (void)params.as_map();  // parameters that are not a map: 9013 "not a map"
               }));
    InvokeResult r = run("Bad", Variant("not a map"));
    EXPECT_EQ(r.error, make_error_code(strata_errc::action_failed));
    EXPECT_EQ(r.error_text, "not a map");
    EXPECT_TRUE(r.rows.empty());
    // The pool survives: a second invocation runs too.
    EXPECT_EQ(run("Bad", Variant(1)).error_text, "not a map");
}

TEST_F(InvokeTest, UnknownPathOrNodeWithoutActionIsRefusedAtOnce) {
    NodeBuilder b(NodePath("/"));
    b.make_node("plain");
    std::promise<void> created;
    link->responder()->create_node(
        b, [&](const std::vector<NodeInfo>&, const std::error_code&) { created.set_value(); });
    created.get_future().get();
    bool called = false;
    EXPECT_EQ(link->broker().invoke(NodePath("/missing"), {},
                                    [&](const InvokeResult&) { called = true; }),
              make_error_code(strata_errc::node_not_found));
    EXPECT_EQ(
        link->broker().invoke(NodePath("/plain"), {}, [&](const InvokeResult&) { called = true; }),
        make_error_code(strata_errc::no_action));
    EXPECT_TRUE(link->broker().wait_idle());
    EXPECT_FALSE(called);
}

TEST_F(InvokeTest, ASlowActionDoesNotBlockCompletions) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    add_action("Block",
               Action(2, [released](const std::shared_ptr<IActionResultStream>&, const NodePath&,
                                    const Variant&, const std::error_code&) { released.wait(); }));
    std::promise<InvokeResult> blocked;
    ASSERT_FALSE(link->broker().invoke(NodePath("/plc1/Block"), {},
                                       [&](const InvokeResult& r) { blocked.set_value(r); }));
    // While the handler waits, node operations still complete.
    std::promise<std::error_code> set;
    link->responder()->set_value(NodePath("/plc1"), 1,
                                 [&](const std::error_code& ec) { set.set_value(ec); });
    auto set_done = set.get_future();
    EXPECT_EQ(set_done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    release.set_value();
    EXPECT_EQ(blocked.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

}  // namespace
