#pragma once
// The responder: node-tree operations the link performs.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "strata_sdk/node.h"
#include "strata_sdk/node_path.h"
#include "strata_sdk/types.h"
#include "strata_sdk/variant.h"

namespace kestrel::strata_sdk {

namespace detail {
class BrokerCore;
}

using NodeCreatedCallback = std::function<void(const NodeInfo& info, NodeCreationContext context,
                                               const std::error_code& ec)>;
using CreateNodeCallback =
    std::function<void(const std::vector<NodeInfo>& nodes, const std::error_code& ec)>;
using StatusCallback = std::function<void(const std::error_code& ec)>;
using GetConfigCallback = std::function<void(const Variant& value, const std::error_code& ec)>;
using GetNodeCallback = std::function<void(const NodeInfo& info, const std::error_code& ec)>;
using SubscriptionId = uint64_t;

// Every change is applied at once, under the tree's lock; callbacks run later on
// the SDK's dispatch thread, never on the caller's stack and never under a lock.
// Empty callbacks are allowed. Errors use strata_error_category().
class Responder {
  public:
    explicit Responder(std::shared_ptr<detail::BrokerCore> core);

    // `callback` is called for every node created, created again or restored whose
    // path matches the ECMAScript regular expression `path_pattern` (searched in
    // the path text, e.g. "^/.+"). Throws std::regex_error on a bad pattern.
    SubscriptionId subscribe_node_created(const std::string& path_pattern,
                                          NodeCreatedCallback callback);
    void unsubscribe_node_created(SubscriptionId id);

    // Creates the builder's nodes (and their children) under its parent. A node that
    // already exists is updated in place: display name, kind and type set when
    // given, configs merged, value and action replaced when given, children kept;
    // it is announced again with context Created. The callback gets one NodeInfo
    // per top-level node of the builder. A missing parent fails with parent_not_found.
    void create_node(const NodeBuilder& builder, CreateNodeCallback callback = {});
    // Removes the node and its whole subtree (also from the store).
    void remove_node(const NodePath& path, StatusCallback callback = {});
    void update_node(const NodeUpdater& updater, StatusCallback callback = {});
    // Subscribers get the node's latest value; when they fall behind, a value not yet
    // delivered is replaced by the newer one of the same node.
    void set_value(const NodePath& path, Variant value, StatusCallback callback = {});
    // Several values under one lock with one hand-off to the dispatch thread. Every
    // value whose node exists is set; the callback gets node_not_found when any was
    // missing.
    void set_values(std::vector<std::pair<NodePath, Variant>> values, StatusCallback callback = {});
    // The same for children of one node, named as in the tree (escaped): the parent is found
    // once, each child by its name.
    void set_values(const NodePath& parent, std::vector<std::pair<std::string, Variant>> values,
                    StatusCallback callback = {});

    bool node_exists(const NodePath& path) const;
    // Null value (and no error) when the node has no such config.
    void get_config(const NodePath& path, const std::string& key, GetConfigCallback callback);
    void get_node(const NodePath& path, GetNodeCallback callback);

  private:
    std::shared_ptr<detail::BrokerCore> core_;
};

}  // namespace kestrel::strata_sdk
