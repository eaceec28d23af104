#pragma once
// Node descriptions: NodeInfo (what the tree reports), NodeBuilder (create_node)
// and NodeUpdater (update_node).

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "strata_sdk/action.h"
#include "strata_sdk/node_path.h"
#include "strata_sdk/types.h"
#include "strata_sdk/variant.h"

namespace kestrel::strata_sdk {

// A snapshot of one node.
struct NodeInfo {
    NodePath path;
    std::string name;  // escaped name (last path component)
    std::string display_name;
    std::string kind;  // kind text given to make_node ("node"), may be empty
    std::map<std::string, Variant> configs;
    Variant value;
    std::optional<ValueType> type;  // empty when no type was set
    SerializationMode serialization = SerializationMode::None;
    bool has_action = false;
    std::vector<std::string> children;  // names, in creation order
};

// One node to create; fields left empty are "not given" (matters when the node
// already exists: only given fields replace the existing ones, configs merge).
struct NodeSpec {
    std::string name;
    std::optional<std::string> display_name;
    std::optional<std::string> kind;
    std::map<std::string, Variant> configs;
    std::optional<Variant> value;
    std::optional<ValueType> type;
    std::optional<SerializationMode> serialization;
    std::shared_ptr<const Action> action;
    std::vector<NodeSpec> children;
};

// Builds one or more sibling nodes under a parent path, each possibly with
// nested children:
//   NodeBuilder b(plcPath);
//   b.make_node("productname").display_name("Product Name").type(4).value("x");
//   b.make_node("coxnstate").display_name("EM Coxn STATE").type(4).value("NON-EXIST");
// make_child() adds a child to the current node and makes it current; make_node()
// adds a sibling of the current node; end_child() makes the parent current again.
// Setters apply to the current node; calling one before make_node throws std::logic_error.
class NodeBuilder {
  public:
    NodeBuilder();  // parent: the root
    explicit NodeBuilder(NodePath parent);

    NodeBuilder& make_node(const std::string& name);
    NodeBuilder& make_node(const std::string& name, const std::string& kind);
    NodeBuilder& make_child(const std::string& name);
    NodeBuilder& make_child(const std::string& name, const std::string& kind);
    NodeBuilder& end_child();

    NodeBuilder& display_name(const std::string& text);
    NodeBuilder& kind(const std::string& text);
    NodeBuilder& config(const std::string& key, Variant value);
    NodeBuilder& value(Variant value);
    NodeBuilder& type(ValueType type);
    NodeBuilder& type(int type);
    NodeBuilder& serializable(SerializationMode mode);
    NodeBuilder& serializable(int mode);
    NodeBuilder& action(Action action);
    NodeBuilder& action(std::shared_ptr<const Action> action);

    const NodePath& parent() const noexcept { return parent_; }
    const std::vector<NodeSpec>& nodes() const noexcept { return nodes_; }

  private:
    NodeSpec& current();
    NodeSpec& add(std::vector<NodeSpec>& list, const std::string& name,
                  std::optional<std::string> kind);

    NodePath parent_;
    std::vector<NodeSpec> nodes_;
    // Indices from nodes_ down to the current node.
    std::vector<size_t> cursor_;
};

// Changes to an existing node: configs are merged, type and display name replaced.
class NodeUpdater {
  public:
    explicit NodeUpdater(NodePath path);

    NodeUpdater& config(const std::string& key, Variant value);
    NodeUpdater& type(ValueType type);
    NodeUpdater& type(int type);
    NodeUpdater& display_name(const std::string& text);

    const NodePath& path() const noexcept { return path_; }
    const std::map<std::string, Variant>& configs() const noexcept { return configs_; }
    const std::optional<ValueType>& get_type() const noexcept { return type_; }
    const std::optional<std::string>& get_display_name() const noexcept { return display_name_; }

  private:
    NodePath path_;
    std::map<std::string, Variant> configs_;
    std::optional<ValueType> type_;
    std::optional<std::string> display_name_;
};

}  // namespace kestrel::strata_sdk
