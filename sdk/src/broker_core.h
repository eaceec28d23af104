#pragma once
// The embedded broker: node tree, subscriptions, action invocations, node store.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "action_pool.h"
#include "node_store.h"
#include "strata_sdk/broker.h"
#include "strata_sdk/node.h"
#include "strata_sdk/responder.h"
#include "value_history.h"
#include "work_queue.h"

namespace kestrel::strata_sdk::detail {

struct TreeNode {
    std::string name;
    std::string display_name;
    std::string kind;
    std::map<std::string, Variant> configs;
    Variant value;
    std::optional<ValueType> type;
    SerializationMode serialization = SerializationMode::None;
    std::shared_ptr<const Action> action;
    std::vector<std::string> order;  // child names in creation order
    std::map<std::string, std::unique_ptr<TreeNode>> children;
    int64_t store_seq = 0;  // row order in the store, 0 before the first write
    // The node's recent values, made at its first value when history is on.
    std::shared_ptr<ValueHistory> history;
    // The open value batch holding this node's pending event, and the event's index in it.
    uint64_t pending_batch = 0;
    size_t pending_index = 0;
};

// A subscriber's callback with a guard: delivery and cancel() exclude each other,
// so once cancel() returns the callback is neither running nor called again.
template <typename Callback>
class Subscription {
  public:
    explicit Subscription(Callback cb) : callback_(std::move(cb)) {}
    template <typename... Args>
    void deliver(const Args&... args) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (active_) {
            callback_(args...);
        }
    }
    // Delivers every item `wanted` accepts, in order, taking the guard once.
    template <typename Items, typename Wanted>
    void deliver_each(const Items& items, const Wanted& wanted) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        for (const auto& item : items) {
            if (active_ && wanted(item)) {
                callback_(item);
            }
        }
    }
    void cancel() {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        active_ = false;
    }

  private:
    std::recursive_mutex mutex_;
    bool active_ = true;
    Callback callback_;
};

// Value events not yet delivered, the latest per node, in the order each node
// first changed. A node finds its pending event through its own pending_batch and
// pending_index, so that replacing a value needs no look-up.
struct PendingValues {
    uint64_t id = 0;  // never 0 for a batch, so a node that never had a value matches none
    std::vector<TreeEvent> events;
};

// Threads: callers of every public operation (link threads, device threads, the
// HTTP front); `dispatch_` (one thread) runs completions, announcements, events
// and the link lifecycle; `pool_` runs action handlers.
// Locks: `tree_mutex_` guards `root_` and `store_` (every tree change and its
// store write happen under it, so the store sees changes in tree order);
// `subs_mutex_` guards the subscriber lists and is taken inside `tree_mutex_`
// when a change is announced; `values_mutex_` guards the open value batch and the
// replaced-value log state, taken inside `tree_mutex_` by writers and alone by the
// dispatch thread. A node's history ring is written under `tree_mutex_` and read with
// no lock (see ValueHistory). Announcements and completions are only queued under these
// locks; they run later on the dispatch thread with no lock held.
// Value events are bounded: a node's pending value is replaced by its newer one
// (counted, logged at most once a minute). A tree event closes the open batch, so
// values never overtake the tree events around them.
// Threads the action pool may grow to: one per top-level node with an action running, and
// those that jump the queue; beyond, actions wait their turn.
constexpr std::size_t kMaxActionThreads = 256;

class BrokerCore : public std::enable_shared_from_this<BrokerCore> {
  public:
    // `history_points`: values kept per value node, 0 for none.
    explicit BrokerCore(std::size_t history_points);
    ~BrokerCore();

    // Lifecycle (Link).
    bool open_store(const std::string& data_dir, std::string& reason);
    // Re-creates every stored node (parents first) and queues its announcement
    // with context Restored. Runs on the dispatch thread.
    void restore_stored_nodes();
    bool post(std::function<void()> task);
    void stop();
    void join();
    bool wait_idle(std::chrono::milliseconds timeout);

    // Responder.
    SubscriptionId subscribe_node_created(const std::string& pattern, NodeCreatedCallback cb);
    void unsubscribe_node_created(SubscriptionId id);
    void create_node(const NodeBuilder& builder, CreateNodeCallback cb);
    void remove_node(const NodePath& path, StatusCallback cb);
    void update_node(const NodeUpdater& updater, StatusCallback cb);
    void set_value(const NodePath& path, Variant value, StatusCallback cb);
    void set_values(std::vector<std::pair<NodePath, Variant>> values, StatusCallback cb);
    void set_child_values(const NodePath& parent,
                          std::vector<std::pair<std::string, Variant>> values, StatusCallback cb);
    bool node_exists(const NodePath& path) const;
    void get_config(const NodePath& path, const std::string& key, GetConfigCallback cb);
    void get_node(const NodePath& path, GetNodeCallback cb);

    // Broker.
    std::optional<NodeInfo> node_info(const NodePath& path) const;
    std::optional<Variant> describe(const NodePath& path) const;
    std::error_code invoke(const NodePath& action_path, Variant params, InvokeCallback done,
                           std::chrono::milliseconds timeout);
    SubscriptionId subscribe_events(const NodePath& below, TreeEventCallback cb);
    void unsubscribe_events(SubscriptionId id);
    uint64_t replaced_values() const;
    std::optional<std::vector<HistorySeries>> history(const NodePath& path, int64_t since_ms) const;
    std::size_t history_points() const noexcept { return history_points_; }

  private:
    struct CreatedSubscriber {
        std::regex pattern;
        std::shared_ptr<Subscription<NodeCreatedCallback>> subscription;
    };
    struct EventSubscriber {
        NodePath below;
        std::shared_ptr<Subscription<TreeEventCallback>> subscription;
    };
    class StoreBatch;

    TreeNode* find(const NodePath& path) const;
    static TreeNode* child(const TreeNode& parent, const std::string& name);
    static NodeInfo snapshot(const NodePath& path, const TreeNode& node);
    // Creates or merges one spec (and its children) below `parent`; fills `created`
    // with the snapshot of every node touched, in creation order.
    void apply_spec(TreeNode& parent, const NodePath& parent_path, const NodeSpec& spec,
                    StoreBatch& batch, std::vector<NodeInfo>& touched);
    void persist(const NodePath& path, TreeNode& node, StoreBatch& batch);
    void announce(const NodeInfo& info, NodeCreationContext context);
    void emit(TreeEvent event);
    // Queues the value events of one change under tree_mutex_, holding values_mutex_ once for
    // all of them: a node's new value joins the open batch, replacing a pending value of the
    // same node. A batch it opened is posted for delivery when it ends, after the lock is gone,
    // so the dispatch thread never wakes to wait for the rest of the change.
    class ValueQueuing {
      public:
        // `expected`: the number of values the change sets, room made for at once.
        explicit ValueQueuing(BrokerCore& core, size_t expected = 1);
        ~ValueQueuing();
        ValueQueuing(const ValueQueuing&) = delete;
        ValueQueuing& operator=(const ValueQueuing&) = delete;
        // `path` is made only when the node has no pending event yet.
        template <typename MakePath>
        void add(TreeNode& node, const MakePath& path, int64_t ts_ms);

      private:
        BrokerCore& core_;
        std::unique_lock<std::mutex> lock_;
        std::shared_ptr<PendingValues> opened_;
        size_t expected_;
    };
    void deliver_values(const std::shared_ptr<PendingValues>& batch);
    // Logs the replaced count when it moved and a minute has passed since the last line; called
    // with no lock held after values are set or delivered (never from a timer).
    void log_replaced_values();
    std::error_code apply_value(ValueQueuing& queuing, const NodePath& path, Variant value,
                                int64_t ts_ms);
    // Adds the node's new value to its history (under tree_mutex_, no allocation after the first).
    void record_history(TreeNode& node, int64_t ts_ms);
    bool has_event_subscribers() const;
    void complete(const StatusCallback& cb, std::error_code ec);

    const std::size_t history_points_;
    mutable std::mutex tree_mutex_;
    TreeNode root_;
    NodeStore store_;

    mutable std::mutex subs_mutex_;
    std::map<SubscriptionId, CreatedSubscriber> created_subscribers_;
    std::map<SubscriptionId, EventSubscriber> event_subscribers_;
    std::atomic<bool> any_event_subscriber_{false};
    std::atomic<SubscriptionId> next_id_{1};

    mutable std::mutex values_mutex_;
    std::shared_ptr<PendingValues> open_values_;
    uint64_t last_batch_id_ = 0;
    uint64_t replaced_values_ = 0;
    uint64_t replaced_logged_ = 0;
    std::chrono::steady_clock::time_point replaced_logged_at_ = std::chrono::steady_clock::now();

    WorkQueue dispatch_{"strata dispatch", 1};
    ActionPool pool_{"strata actions", kMaxActionThreads};
};

}  // namespace kestrel::strata_sdk::detail
