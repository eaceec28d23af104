#include "broker_core.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <future>

#include "strata_sdk/logging.h"

namespace kestrel::strata_sdk::detail {
namespace {

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool valid_name(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos;
}

bool valid_specs(const std::vector<NodeSpec>& specs) {
    for (const auto& spec : specs) {
        if (!valid_name(spec.name) || !valid_specs(spec.children)) {
            return false;
        }
    }
    return true;
}

// One invocation's state, shared by its result stream (handler threads) and the
// pool task; `mutex_` guards the rows and the finished flag. The completion is
// posted to the dispatch thread after the lock is released.
class Invocation {
  public:
    using Clock = std::chrono::steady_clock;

    Invocation(std::weak_ptr<BrokerCore> core, NodePath path, std::vector<ActionColumn> columns,
               InvokeCallback done, std::chrono::milliseconds timeout)
        : core_(std::move(core)),
          path_(std::move(path)),
          done_(std::move(done)),
          deadline_(timeout.count() > 0 ? Clock::now() + timeout : Clock::time_point::max()) {
        result_.columns = std::move(columns);
    }

    void add_rows(const ActionResult& rows) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!finished_) {
            result_.rows.insert(result_.rows.end(), rows.rows().begin(), rows.rows().end());
        }
    }
    void finish() { finish_with({}, {}); }
    void fail(const std::string& why) {
        log_message_internal(LogLevel::error, "action " + path_.to_string() + " failed: " + why);
        finish_with(make_error_code(strata_errc::action_failed), why);
    }
    // Also true once the deadline passed: whoever asked has been answered.
    bool finished() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return finished_ || Clock::now() >= deadline_;
    }
    // Completes an invocation whose deadline passed before it ran.
    void time_out() {
        finish_with(make_error_code(strata_errc::timed_out),
                    "the action did not start before its deadline");
    }

  private:
    void finish_with(std::error_code ec, const std::string& why) {
        InvokeResult result;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (finished_) {
                return;
            }
            finished_ = true;
            result_.error = ec;
            result_.error_text = why;
            if (ec) {
                result_.rows.clear();
            }
            result = std::move(result_);
        }
        auto core = core_.lock();
        if (core && done_) {
            core->post([done = std::move(done_), result = std::move(result)] { done(result); });
        }
    }

    mutable std::mutex mutex_;
    std::weak_ptr<BrokerCore> core_;
    NodePath path_;
    InvokeCallback done_;
    InvokeResult result_;
    const Clock::time_point deadline_;
    bool finished_ = false;
};

// The stream a handler writes to. Its last reference going away completes the
// invocation, which is how actions that answer nothing finish.
class ResultStream : public IActionResultStream {
  public:
    explicit ResultStream(std::shared_ptr<Invocation> invocation)
        : invocation_(std::move(invocation)) {}
    ~ResultStream() override { invocation_->finish(); }

    void send(const ActionResult& result) override {
        invocation_->add_rows(result);
        if (result.completes_invocation()) {
            invocation_->finish();
        }
    }
    void close() override { invocation_->finish(); }
    bool is_closed() const override { return invocation_->finished(); }

  private:
    std::shared_ptr<Invocation> invocation_;
};

Variant action_description(const Action& action) {
    Variant params = Variant::new_array();
    for (const auto& p : action.params()) {
        Variant param = Variant::new_map();
        param["name"] = p.name();
        param["type"] = value_type_name(p.type());
        param["default"] = p.default_value();
        param["editor"] = p.editor() == Editor::None ? Variant() : Variant(editor_name(p.editor()));
        Variant choices;
        if (!p.choices().empty()) {
            choices = Variant::new_array();
            for (const auto& choice : p.choices()) {
                choices.as_array().push_back(choice);
            }
        }
        param["choices"] = choices;
        params.as_array().push_back(std::move(param));
    }
    Variant columns = Variant::new_array();
    for (const auto& c : action.columns()) {
        Variant column = Variant::new_map();
        column["name"] = c.name();
        column["type"] = value_type_name(c.type());
        column["editor"] =
            c.editor() == Editor::None ? Variant() : Variant(editor_name(c.editor()));
        columns.as_array().push_back(std::move(column));
    }
    Variant out = Variant::new_map();
    out["params"] = std::move(params);
    out["columns"] = std::move(columns);
    out["resultKind"] = action.result_kind() == ActionResultKind::Table ? "table" : "values";
    out["permission"] = permission_name(action.permission());
    return out;
}

}  // namespace

// Store writes of one change, in one transaction begun at the first write. A
// failed write keeps the tree change in memory, is logged, and is reported to
// the caller as store_failure.
class BrokerCore::StoreBatch {
  public:
    explicit StoreBatch(NodeStore& store) : store_(store) {}
    ~StoreBatch() {
        if (begun_) {
            store_.rollback();
        }
    }

    void put(StoredNode& node) {
        run([&](std::string& reason) { return store_.put(node, reason); });
    }
    void remove_subtree(const std::string& path) {
        run([&](std::string& reason) { return store_.remove_subtree(path, reason); });
    }
    void remove_one(const std::string& path) {
        run([&](std::string& reason) { return store_.remove_one(path, reason); });
    }
    std::error_code finish(const NodePath& what) {
        if (begun_ && !failed_) {
            failed_ = !store_.commit(reason_);
        }
        if (begun_ && failed_) {
            store_.rollback();
        }
        begun_ = false;
        if (!failed_) {
            return {};
        }
        log_message_internal(LogLevel::error, reason_ + "; change to " + what.to_string() +
                                                  " is kept in memory only");
        return make_error_code(strata_errc::store_failure);
    }

  private:
    template <typename Write>
    void run(Write write) {
        if (!store_.is_open() || failed_) {
            return;
        }
        if (!begun_) {
            if (!store_.begin(reason_)) {
                failed_ = true;
                return;
            }
            begun_ = true;
        }
        failed_ = !write(reason_);
    }

    NodeStore& store_;
    bool begun_ = false;
    bool failed_ = false;
    std::string reason_;
};

BrokerCore::BrokerCore(std::size_t history_points) : history_points_(history_points) {}

BrokerCore::~BrokerCore() {
    stop();
    join();
}

bool BrokerCore::open_store(const std::string& data_dir, std::string& reason) {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    return store_.open(data_dir, reason);
}

void BrokerCore::restore_stored_nodes() {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (!store_.is_open()) {
        return;
    }
    std::vector<StoredNode> rows;
    std::string reason;
    if (!store_.load_all(rows, reason)) {
        log_message_internal(LogLevel::error, reason + "; no stored node restored");
        return;
    }
    for (auto& row : rows) {
        NodePath path(row.path);
        TreeNode* parent = path.is_root() ? nullptr : find(path.get_parent_path());
        if (!parent) {
            log_message_internal(LogLevel::warn, "stored node " + row.path +
                                                     " not restored: its parent does not exist");
            continue;
        }
        auto& slot = parent->children[row.name];
        bool created = !slot;
        if (created) {
            slot = std::make_unique<TreeNode>();
            slot->name = row.name;
            parent->order.push_back(row.name);
        }
        TreeNode& node = *slot;
        node.display_name = row.display_name;
        node.kind = row.kind;
        node.type = row.type;
        for (auto& [key, value] : row.configs) {
            node.configs[key] = std::move(value);
        }
        node.serialization = SerializationMode::Stored;
        node.store_seq = row.seq;
        announce(snapshot(path, node), NodeCreationContext::Restored);
        emit({created ? TreeEvent::Kind::Created : TreeEvent::Kind::Updated, path, {}, 0});
    }
}

bool BrokerCore::post(std::function<void()> task) {
    return dispatch_.post(std::move(task));
}

void BrokerCore::stop() {
    pool_.stop();
    dispatch_.stop();
}

void BrokerCore::join() {
    pool_.join();
    dispatch_.join();
}

bool BrokerCore::wait_idle(std::chrono::milliseconds timeout) {
    return dispatch_.wait_idle(timeout);
}

TreeNode* BrokerCore::child(const TreeNode& parent, const std::string& name) {
    auto it = parent.children.find(name);
    return it == parent.children.end() ? nullptr : it->second.get();
}

TreeNode* BrokerCore::find(const NodePath& path) const {
    const TreeNode* node = &root_;
    for (const auto& name : path) {
        node = child(*node, name);
        if (!node) {
            return nullptr;
        }
    }
    return const_cast<TreeNode*>(node);
}

NodeInfo BrokerCore::snapshot(const NodePath& path, const TreeNode& node) {
    NodeInfo info;
    info.path = path;
    info.name = node.name;
    info.display_name = node.display_name;
    info.kind = node.kind;
    info.configs = node.configs;
    info.value = node.value;
    info.type = node.type;
    info.serialization = node.serialization;
    info.has_action = node.action != nullptr;
    info.children = node.order;
    return info;
}

void BrokerCore::announce(const NodeInfo& info, NodeCreationContext context) {
    std::lock_guard<std::mutex> lock(subs_mutex_);
    std::string text = info.path.to_string();
    for (const auto& [id, subscriber] : created_subscribers_) {
        if (std::regex_search(text, subscriber.pattern)) {
            post([sub = subscriber.subscription, info, context] {
                sub->deliver(info, context, std::error_code());
            });
        }
    }
}

bool BrokerCore::has_event_subscribers() const {
    return any_event_subscriber_.load(std::memory_order_acquire);
}

void BrokerCore::emit(TreeEvent event) {
    if (!has_event_subscribers()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(values_mutex_);
        open_values_.reset();
    }
    std::lock_guard<std::mutex> lock(subs_mutex_);
    for (const auto& [id, subscriber] : event_subscribers_) {
        if (event.path.is_within(subscriber.below)) {
            post([sub = subscriber.subscription, event] { sub->deliver(event); });
        }
    }
}

BrokerCore::ValueQueuing::ValueQueuing(BrokerCore& core, size_t expected)
    : core_(core), lock_(core.values_mutex_, std::defer_lock), expected_(expected) {
    if (core.has_event_subscribers()) {
        lock_.lock();
    }
}

BrokerCore::ValueQueuing::~ValueQueuing() {
    if (lock_.owns_lock()) {
        lock_.unlock();
    }
    if (opened_) {
        // `core_` outlives the task: its destructor stops and joins the dispatch thread.
        core_.post([&core = core_, batch = std::move(opened_)] { core.deliver_values(batch); });
    }
}

template <typename MakePath>
void BrokerCore::ValueQueuing::add(TreeNode& node, const MakePath& path, int64_t ts_ms) {
    // Every value change passes here, subscribed or not.
    core_.record_history(node, ts_ms);
    if (!lock_.owns_lock()) {
        return;
    }
    auto& open = core_.open_values_;
    if (!open) {
        open = std::make_shared<PendingValues>();
        open->id = ++core_.last_batch_id_;
        open->events.reserve(expected_);
        opened_ = open;
    }
    std::vector<TreeEvent>& events = open->events;
    if (node.pending_batch == open->id) {
        TreeEvent& pending = events[node.pending_index];
        pending.value = node.value;
        pending.ts_ms = ts_ms;
        ++core_.replaced_values_;
        return;
    }
    node.pending_batch = open->id;
    node.pending_index = events.size();
    events.push_back({TreeEvent::Kind::Value, path(), node.value, ts_ms});
}

void BrokerCore::record_history(TreeNode& node, int64_t ts_ms) {
    if (history_points_ == 0) {
        return;
    }
    if (!node.history) {
        node.history = std::make_shared<ValueHistory>(history_points_);
    }
    node.history->record(node.value, ts_ms);
}

std::optional<std::vector<HistorySeries>> BrokerCore::history(const NodePath& path,
                                                              int64_t since_ms) const {
    std::vector<std::pair<NodePath, std::shared_ptr<const ValueHistory>>> rings;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        const TreeNode* node = find(path);
        if (!node) {
            return std::nullopt;
        }
        if (node->history) {
            rings.emplace_back(path, node->history);
        } else {
            for (const auto& name : node->order) {
                const auto& child = node->children.at(name);
                if (child->history) {
                    rings.emplace_back(path / name, child->history);
                }
            }
        }
    }
    // Read with no lock held: polling never waits for a reader.
    std::vector<HistorySeries> series;
    series.reserve(rings.size());
    for (const auto& [ring_path, ring] : rings) {
        series.push_back({ring_path, ring->read(since_ms)});
    }
    return series;
}

void BrokerCore::deliver_values(const std::shared_ptr<PendingValues>& batch) {
    std::vector<TreeEvent> events;
    {
        std::lock_guard<std::mutex> lock(values_mutex_);
        if (open_values_ == batch) {
            open_values_.reset();
        }
        events.swap(batch->events);
    }
    std::vector<EventSubscriber> subscribers;
    {
        std::lock_guard<std::mutex> lock(subs_mutex_);
        for (const auto& [id, subscriber] : event_subscribers_) {
            subscribers.push_back(subscriber);
        }
    }
    for (const auto& subscriber : subscribers) {
        subscriber.subscription->deliver_each(
            events, [&](const TreeEvent& event) { return event.path.is_within(subscriber.below); });
    }
    log_replaced_values();
}

void BrokerCore::log_replaced_values() {
    uint64_t moved = 0;
    {
        std::lock_guard<std::mutex> lock(values_mutex_);
        auto now = std::chrono::steady_clock::now();
        if (replaced_values_ == replaced_logged_ ||
            now - replaced_logged_at_ < std::chrono::minutes(1)) {
            return;
        }
        moved = replaced_values_ - replaced_logged_;
        replaced_logged_ = replaced_values_;
        replaced_logged_at_ = now;
    }
    log_message_internal(LogLevel::warn,
                         std::to_string(moved) +
                             " pending value events were replaced by newer values of the same "
                             "node in the last minute: event subscribers are slower than the "
                             "values arrive");
}

uint64_t BrokerCore::replaced_values() const {
    std::lock_guard<std::mutex> lock(values_mutex_);
    return replaced_values_;
}

void BrokerCore::complete(const StatusCallback& cb, std::error_code ec) {
    if (cb) {
        post([cb, ec] { cb(ec); });
    }
}

void BrokerCore::persist(const NodePath& path, TreeNode& node, StoreBatch& batch) {
    StoredNode row;
    row.path = path.to_string();
    row.name = node.name;
    row.display_name = node.display_name;
    row.kind = node.kind;
    row.type = node.type;
    row.configs = node.configs;
    row.seq = node.store_seq;
    batch.put(row);
    node.store_seq = row.seq;
}

SubscriptionId BrokerCore::subscribe_node_created(const std::string& pattern,
                                                  NodeCreatedCallback cb) {
    CreatedSubscriber subscriber{
        std::regex(pattern, std::regex::ECMAScript),
        std::make_shared<Subscription<NodeCreatedCallback>>(std::move(cb))};
    SubscriptionId id = next_id_++;
    std::lock_guard<std::mutex> lock(subs_mutex_);
    created_subscribers_.emplace(id, std::move(subscriber));
    return id;
}

void BrokerCore::unsubscribe_node_created(SubscriptionId id) {
    std::shared_ptr<Subscription<NodeCreatedCallback>> subscription;
    {
        std::lock_guard<std::mutex> lock(subs_mutex_);
        auto it = created_subscribers_.find(id);
        if (it == created_subscribers_.end()) {
            return;
        }
        subscription = it->second.subscription;
        created_subscribers_.erase(it);
    }
    subscription->cancel();
}

SubscriptionId BrokerCore::subscribe_events(const NodePath& below, TreeEventCallback cb) {
    SubscriptionId id = next_id_++;
    std::lock_guard<std::mutex> lock(subs_mutex_);
    event_subscribers_.emplace(
        id,
        EventSubscriber{below, std::make_shared<Subscription<TreeEventCallback>>(std::move(cb))});
    any_event_subscriber_.store(true, std::memory_order_release);
    return id;
}

void BrokerCore::unsubscribe_events(SubscriptionId id) {
    std::shared_ptr<Subscription<TreeEventCallback>> subscription;
    {
        std::lock_guard<std::mutex> lock(subs_mutex_);
        auto it = event_subscribers_.find(id);
        if (it == event_subscribers_.end()) {
            return;
        }
        subscription = it->second.subscription;
        event_subscribers_.erase(it);
        any_event_subscriber_.store(!event_subscribers_.empty(), std::memory_order_release);
    }
    subscription->cancel();
}

void BrokerCore::apply_spec(TreeNode& parent, const NodePath& parent_path, const NodeSpec& spec,
                            StoreBatch& batch, std::vector<NodeInfo>& touched) {
    NodePath path = parent_path / spec.name;
    auto& slot = parent.children[spec.name];
    bool created = !slot;
    if (created) {
        slot = std::make_unique<TreeNode>();
        slot->name = spec.name;
        slot->display_name = spec.name;
        parent.order.push_back(spec.name);
    }
    TreeNode& node = *slot;
    if (spec.display_name) {
        node.display_name = *spec.display_name;
    }
    if (spec.kind) {
        node.kind = *spec.kind;
    }
    if (spec.type) {
        node.type = spec.type;
    }
    for (const auto& [key, value] : spec.configs) {
        node.configs[key] = value;
    }
    if (spec.value) {
        node.value = *spec.value;
    }
    if (spec.action) {
        node.action = spec.action;
    }
    bool was_stored = node.serialization == SerializationMode::Stored;
    if (spec.serialization) {
        node.serialization = *spec.serialization;
    }
    if (node.serialization == SerializationMode::Stored) {
        persist(path, node, batch);
    } else if (was_stored) {
        batch.remove_one(path.to_string());
        node.store_seq = 0;
    }
    touched.push_back(snapshot(path, node));
    emit({created ? TreeEvent::Kind::Created : TreeEvent::Kind::Updated, path, {}, 0});
    if (spec.value) {
        ValueQueuing(*this).add(
            node, [&path] { return path; }, now_ms());
    }
    for (const auto& child : spec.children) {
        apply_spec(node, path, child, batch, touched);
    }
}

void BrokerCore::create_node(const NodeBuilder& builder, CreateNodeCallback cb) {
    auto fail = [&](strata_errc code) {
        if (cb) {
            post([cb, ec = make_error_code(code)] { cb({}, ec); });
        }
    };
    if (builder.nodes().empty()) {
        return fail(strata_errc::invalid_builder);
    }
    if (!valid_specs(builder.nodes())) {
        return fail(strata_errc::invalid_node_name);
    }
    std::lock_guard<std::mutex> lock(tree_mutex_);
    TreeNode* parent = find(builder.parent());
    if (!parent) {
        return fail(strata_errc::parent_not_found);
    }
    StoreBatch batch(store_);
    std::vector<NodeInfo> touched;
    std::vector<NodeInfo> top_level;
    for (const auto& spec : builder.nodes()) {
        size_t first = touched.size();
        apply_spec(*parent, builder.parent(), spec, batch, touched);
        top_level.push_back(touched[first]);
    }
    std::error_code ec = batch.finish(builder.parent() / builder.nodes().front().name);
    for (const auto& info : touched) {
        announce(info, NodeCreationContext::Created);
    }
    if (cb) {
        post([cb, top_level = std::move(top_level), ec] { cb(top_level, ec); });
    }
}

void BrokerCore::remove_node(const NodePath& path, StatusCallback cb) {
    if (path.is_root()) {
        return complete(cb, make_error_code(strata_errc::invalid_node_name));
    }
    std::lock_guard<std::mutex> lock(tree_mutex_);
    TreeNode* parent = find(path.get_parent_path());
    if (!parent || parent->children.count(path.get_name()) == 0) {
        return complete(cb, make_error_code(strata_errc::node_not_found));
    }
    auto it = parent->children.find(path.get_name());
    std::unique_ptr<TreeNode> removed = std::move(it->second);
    parent->children.erase(it);
    auto& order = parent->order;
    order.erase(std::find(order.begin(), order.end(), path.get_name()));
    StoreBatch batch(store_);
    batch.remove_subtree(path.to_string());
    std::error_code ec = batch.finish(path);
    emit({TreeEvent::Kind::Removed, path, {}, 0});
    complete(cb, ec);
}

void BrokerCore::update_node(const NodeUpdater& updater, StatusCallback cb) {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    TreeNode* node = find(updater.path());
    if (!node || updater.path().is_root()) {
        return complete(cb, make_error_code(strata_errc::node_not_found));
    }
    for (const auto& [key, value] : updater.configs()) {
        node->configs[key] = value;
    }
    if (updater.get_type()) {
        node->type = updater.get_type();
    }
    if (updater.get_display_name()) {
        node->display_name = *updater.get_display_name();
    }
    StoreBatch batch(store_);
    if (node->serialization == SerializationMode::Stored) {
        persist(updater.path(), *node, batch);
    }
    std::error_code ec = batch.finish(updater.path());
    emit({TreeEvent::Kind::Updated, updater.path(), {}, 0});
    complete(cb, ec);
}

std::error_code BrokerCore::apply_value(ValueQueuing& queuing, const NodePath& path, Variant value,
                                        int64_t ts_ms) {
    TreeNode* node = find(path);
    if (!node || path.is_root()) {
        return make_error_code(strata_errc::node_not_found);
    }
    node->value = std::move(value);
    queuing.add(
        *node, [&path] { return path; }, ts_ms);
    return {};
}

void BrokerCore::set_value(const NodePath& path, Variant value, StatusCallback cb) {
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        ValueQueuing queuing(*this);
        complete(cb, apply_value(queuing, path, std::move(value), now_ms()));
    }
    log_replaced_values();
}

void BrokerCore::set_values(std::vector<std::pair<NodePath, Variant>> values, StatusCallback cb) {
    std::error_code first_error;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        ValueQueuing queuing(*this, values.size());
        int64_t ts = now_ms();
        for (auto& [path, value] : values) {
            std::error_code ec = apply_value(queuing, path, std::move(value), ts);
            if (ec && !first_error) {
                first_error = ec;
            }
        }
    }
    complete(cb, first_error);
    log_replaced_values();
}

void BrokerCore::set_child_values(const NodePath& parent,
                                  std::vector<std::pair<std::string, Variant>> values,
                                  StatusCallback cb) {
    std::error_code missing;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        ValueQueuing queuing(*this, values.size());
        const int64_t ts = now_ms();
        TreeNode* parent_node = find(parent);
        if (!parent_node && !values.empty()) {
            missing = make_error_code(strata_errc::node_not_found);
            values.clear();
        }
        // Values usually come in the children's order: the next sibling is tried before a search.
        auto& children = parent_node ? parent_node->children : root_.children;
        auto next = children.end();
        for (auto& [name, value] : values) {
            auto it = next != children.end() && next->first == name ? next : children.find(name);
            if (it == children.end()) {
                missing = make_error_code(strata_errc::node_not_found);
                continue;
            }
            next = std::next(it);
            TreeNode& node = *it->second;
            node.value = std::move(value);
            queuing.add(
                node, [&parent, &name = name] { return parent / name; }, ts);
        }
    }
    complete(cb, missing);
    log_replaced_values();
}

bool BrokerCore::node_exists(const NodePath& path) const {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    return find(path) != nullptr;
}

void BrokerCore::get_config(const NodePath& path, const std::string& key, GetConfigCallback cb) {
    Variant value;
    std::error_code ec;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        const TreeNode* node = find(path);
        if (!node) {
            ec = make_error_code(strata_errc::node_not_found);
        } else if (auto it = node->configs.find(key); it != node->configs.end()) {
            value = it->second;
        }
    }
    if (cb) {
        post([cb, value = std::move(value), ec] { cb(value, ec); });
    }
}

void BrokerCore::get_node(const NodePath& path, GetNodeCallback cb) {
    std::optional<NodeInfo> info = node_info(path);
    std::error_code ec;
    if (!info) {
        info.emplace();
        info->path = path;
        ec = make_error_code(strata_errc::node_not_found);
    }
    if (cb) {
        post([cb, info = std::move(*info), ec] { cb(info, ec); });
    }
}

std::optional<NodeInfo> BrokerCore::node_info(const NodePath& path) const {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    const TreeNode* node = find(path);
    if (!node) {
        return std::nullopt;
    }
    return snapshot(path, *node);
}

std::optional<Variant> BrokerCore::describe(const NodePath& path) const {
    std::shared_ptr<const Action> action;
    std::optional<NodeInfo> info;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        const TreeNode* node = find(path);
        if (!node) {
            return std::nullopt;
        }
        info = snapshot(path, *node);
        action = node->action;
    }
    Variant out = Variant::new_map();
    out["path"] = info->path.to_string();
    out["name"] = info->name;
    out["displayName"] = info->display_name;
    out["kind"] = info->kind;
    out["configs"] = Variant(Variant::MapType(info->configs.begin(), info->configs.end()));
    out["value"] = info->value;
    out["valueType"] = info->type ? Variant(value_type_name(*info->type)) : Variant();
    out["action"] = action ? action_description(*action) : Variant();
    Variant children = Variant::new_array();
    for (const auto& name : info->children) {
        children.as_array().push_back(name);
    }
    out["children"] = std::move(children);
    return out;
}

std::error_code BrokerCore::invoke(const NodePath& action_path, Variant params, InvokeCallback done,
                                   std::chrono::milliseconds timeout) {
    std::shared_ptr<const Action> action;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        const TreeNode* node = find(action_path);
        if (!node) {
            return make_error_code(strata_errc::node_not_found);
        }
        action = node->action;
    }
    if (!action) {
        return make_error_code(strata_errc::no_action);
    }
    auto invocation = std::make_shared<Invocation>(weak_from_this(), action_path, action->columns(),
                                                   std::move(done), timeout);
    // Actions run in order per top-level node (a PLC of the link), so that a stalled one holds
    // only its own node's queue.
    const std::string key = action->jumps_queue() || action_path.is_root()
                                ? std::string()
                                : action_path.components().front();
    bool queued = pool_.post(key, [invocation, action, action_path, params = std::move(params)] {
        if (invocation->finished()) {
            return invocation->time_out();
        }
        auto stream = std::make_shared<ResultStream>(invocation);
        try {
            if (!action->handler()) {
                throw std::logic_error("the action has no handler");
            }
            action->handler()(stream, action_path.get_parent_path(), params, std::error_code());
        } catch (const std::exception& e) {
            invocation->fail(e.what());
        } catch (...) {
            invocation->fail("unknown exception");
        }
    });
    return queued ? std::error_code() : make_error_code(strata_errc::not_running);
}

}  // namespace kestrel::strata_sdk::detail
