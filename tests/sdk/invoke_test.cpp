#include <gtest/gtest.h>

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
    EXPECT_EQ(link->http_port(), 0) << "no front without a listen address";
    ASSERT_EQ(r.columns.size(), 2u);
    EXPECT_EQ(r.columns[1].name(), "message");
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0], (std::vector<Variant>{true, "success!"}));
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(seen_path, "/plc1");
    EXPECT_EQ(seen_params.at("Interval(ms)").as_int(), 500);
}

TEST_F(InvokeTest, TableStreamDeliversEveryRowWhenClosedAndNoAnswerCompletesEmpty) {
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

    // A handler that answers nothing completes when it returns.
    add_action("Remove", Action(2, [](const std::shared_ptr<IActionResultStream>&, const NodePath&,
                                      const Variant&, const std::error_code&) {}));
    r = run("Remove");
    EXPECT_TRUE(r.ok()) << r.error_text;
    EXPECT_TRUE(r.rows.empty());
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
