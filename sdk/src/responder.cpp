// Thin front doors onto the broker core: the link's Responder and the Broker
// interface of the HTTP front and the tests.
#include <future>

#include "broker_core.h"
#include "strata_sdk/broker.h"
#include "strata_sdk/responder.h"

namespace kestrel::strata_sdk {

Responder::Responder(std::shared_ptr<detail::BrokerCore> core) : core_(std::move(core)) {}

SubscriptionId Responder::subscribe_node_created(const std::string& path_pattern,
                                                 NodeCreatedCallback callback) {
    return core_->subscribe_node_created(path_pattern, std::move(callback));
}

void Responder::unsubscribe_node_created(SubscriptionId id) {
    core_->unsubscribe_node_created(id);
}

void Responder::create_node(const NodeBuilder& builder, CreateNodeCallback callback) {
    core_->create_node(builder, std::move(callback));
}

void Responder::remove_node(const NodePath& path, StatusCallback callback) {
    core_->remove_node(path, std::move(callback));
}

void Responder::update_node(const NodeUpdater& updater, StatusCallback callback) {
    core_->update_node(updater, std::move(callback));
}

void Responder::set_value(const NodePath& path, Variant value, StatusCallback callback) {
    core_->set_value(path, std::move(value), std::move(callback));
}

void Responder::set_values(std::vector<std::pair<NodePath, Variant>> values,
                           StatusCallback callback) {
    core_->set_values(std::move(values), std::move(callback));
}

void Responder::set_values(const NodePath& parent,
                           std::vector<std::pair<std::string, Variant>> values,
                           StatusCallback callback) {
    core_->set_child_values(parent, std::move(values), std::move(callback));
}

bool Responder::node_exists(const NodePath& path) const {
    return core_->node_exists(path);
}

void Responder::get_config(const NodePath& path, const std::string& key,
                           GetConfigCallback callback) {
    core_->get_config(path, key, std::move(callback));
}

void Responder::get_node(const NodePath& path, GetNodeCallback callback) {
    core_->get_node(path, std::move(callback));
}

Broker::Broker(std::shared_ptr<detail::BrokerCore> core) : core_(std::move(core)) {}

std::optional<Variant> Broker::describe(const NodePath& path) const {
    return core_->describe(path);
}

std::optional<NodeInfo> Broker::node_info(const NodePath& path) const {
    return core_->node_info(path);
}

std::error_code Broker::invoke(const NodePath& action_path, Variant params, InvokeCallback done,
                               std::chrono::milliseconds timeout) {
    return core_->invoke(action_path, std::move(params), std::move(done), timeout);
}

InvokeResult Broker::invoke_and_wait(const NodePath& action_path, Variant params,
                                     std::chrono::milliseconds timeout) {
    auto promise = std::make_shared<std::promise<InvokeResult>>();
    std::future<InvokeResult> future = promise->get_future();
    InvokeResult result;
    result.error = invoke(
        action_path, std::move(params), [promise](const InvokeResult& r) { promise->set_value(r); },
        timeout);
    if (result.error) {
        result.error_text = result.error.message();
        return result;
    }
    if (future.wait_for(timeout) != std::future_status::ready) {
        result.error = make_error_code(strata_errc::timed_out);
        result.error_text = "the action did not complete in time";
        return result;
    }
    return future.get();
}

SubscriptionId Broker::subscribe(const NodePath& below, TreeEventCallback callback) {
    return core_->subscribe_events(below, std::move(callback));
}

void Broker::unsubscribe(SubscriptionId id) {
    core_->unsubscribe_events(id);
}

std::optional<std::vector<HistorySeries>> Broker::history(const NodePath& path,
                                                          int64_t since_ms) const {
    return core_->history(path, since_ms);
}

std::size_t Broker::history_points() const {
    return core_->history_points();
}

uint64_t Broker::replaced_values() const {
    return core_->replaced_values();
}

bool Broker::wait_idle(std::chrono::milliseconds timeout) {
    return core_->wait_idle(timeout);
}

}  // namespace kestrel::strata_sdk
