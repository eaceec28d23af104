#pragma once
// The embedded broker's own interface, for the HTTP front and for tests: run an
// action by path, describe a node, follow changes below a path.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "strata_sdk/action.h"
#include "strata_sdk/node.h"
#include "strata_sdk/node_path.h"
#include "strata_sdk/responder.h"
#include "strata_sdk/variant.h"

namespace kestrel::strata_sdk {

// Outcome of one invocation. On success `error` is empty and columns/rows hold
// what the handler sent (an action's own failure is a row, as its handler wrote
// it). When the handler threw, `error` is action_failed and `error_text` says why.
struct InvokeResult {
    std::error_code error;
    std::string error_text;
    std::vector<ActionColumn> columns;
    std::vector<std::vector<Variant>> rows;

    bool ok() const noexcept { return !error; }
};
using InvokeCallback = std::function<void(const InvokeResult& result)>;

struct TreeEvent {
    enum class Kind { Value, Created, Updated, Removed };
    Kind kind;
    NodePath path;
    Variant value;      // Value events only
    int64_t ts_ms = 0;  // Value events: milliseconds since the Unix epoch
};
using TreeEventCallback = std::function<void(const TreeEvent& event)>;

// One recorded value of a node.
struct HistoryPoint {
    int64_t ts_ms = 0;  // milliseconds since the Unix epoch
    Variant value;
};

// The recorded values of one node, oldest first.
struct HistorySeries {
    NodePath path;
    std::vector<HistoryPoint> points;
};

// "value", "created", "updated", "removed".
const char* tree_event_kind_name(TreeEvent::Kind kind) noexcept;

class Broker {
  public:
    explicit Broker(std::shared_ptr<detail::BrokerCore> core);

    // The node as a map: {"path", "name", "displayName", "kind", "configs",
    // "value", "valueType" (name or null), "action": null or {"params": [{"name",
    // "type", "default", "editor", "choices"}], "columns": [{"name", "type",
    // "editor"}], "resultKind": "values" | "table", "permission"}, "children": [names]}.
    // Empty when there is no node at `path`.
    std::optional<Variant> describe(const NodePath& path) const;
    std::optional<NodeInfo> node_info(const NodePath& path) const;

    // Runs the action of the node at `action_path` on the action pool with `params`
    // handed over as given; the handler sees the path of the node's parent. `done`
    // runs on the dispatch thread once the invocation completes. Returns
    // node_not_found / no_action / not_running at once (and never calls `done`).
    // A non-zero `timeout` closes the handler's result stream once it passed (the handler
    // stops its remaining work); one still queued then completes with timed_out unrun.
    std::error_code invoke(const NodePath& action_path, Variant params, InvokeCallback done,
                           std::chrono::milliseconds timeout = std::chrono::milliseconds::zero());
    // Blocking form for tests and tools; never call it from an SDK callback.
    // A timeout answers error timed_out.
    InvokeResult invoke_and_wait(const NodePath& action_path, Variant params,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(60));

    // Events for `below` and every node under it, delivered on the dispatch thread
    // in the order the changes were applied. When subscribers fall behind, a node's
    // value event not yet delivered is replaced by its newer value (tree events are
    // never replaced nor dropped).
    SubscriptionId subscribe(const NodePath& below, TreeEventCallback callback);
    void unsubscribe(SubscriptionId id);
    // The recent values of the node at `path` with a time stamp after `since_ms`: the node's own
    // when it has values, otherwise those of each child that has (a folder), in creation order.
    // Empty when there is no node at `path`. Takes the tree lock only to find the nodes.
    std::optional<std::vector<HistorySeries>> history(const NodePath& path, int64_t since_ms) const;
    // Values kept per node (LinkOptions::history_points); 0 when history is off.
    std::size_t history_points() const;

    // Value events replaced by a newer value of the same node since start.
    uint64_t replaced_values() const;

    // Waits until every callback queued so far on the dispatch thread has run
    // (tests; never from an SDK callback). False on timeout.
    bool wait_idle(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    std::shared_ptr<detail::BrokerCore> core_;
};

}  // namespace kestrel::strata_sdk
