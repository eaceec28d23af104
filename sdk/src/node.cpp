#include "strata_sdk/node.h"

#include <stdexcept>

namespace kestrel::strata_sdk {

NodeBuilder::NodeBuilder() = default;
NodeBuilder::NodeBuilder(NodePath parent) : parent_(std::move(parent)) {}

NodeSpec& NodeBuilder::current() {
    if (cursor_.empty()) {
        throw std::logic_error("NodeBuilder: make_node must come before the node's settings");
    }
    NodeSpec* node = &nodes_[cursor_.front()];
    for (size_t depth = 1; depth < cursor_.size(); ++depth) {
        node = &node->children[cursor_[depth]];
    }
    return *node;
}

NodeSpec& NodeBuilder::add(std::vector<NodeSpec>& list, const std::string& name,
                           std::optional<std::string> kind) {
    NodeSpec spec;
    spec.name = name;
    spec.kind = std::move(kind);
    list.push_back(std::move(spec));
    return list.back();
}

NodeBuilder& NodeBuilder::make_node(const std::string& name) {
    // A new sibling at the level of the current node (top level at first).
    if (cursor_.size() <= 1) {
        add(nodes_, name, std::nullopt);
        cursor_.assign(1, nodes_.size() - 1);
    } else {
        cursor_.pop_back();
        NodeSpec& parent = current();
        add(parent.children, name, std::nullopt);
        cursor_.push_back(parent.children.size() - 1);
    }
    return *this;
}

NodeBuilder& NodeBuilder::make_node(const std::string& name, const std::string& kind) {
    make_node(name);
    current().kind = kind;
    return *this;
}

NodeBuilder& NodeBuilder::make_child(const std::string& name) {
    NodeSpec& parent = current();
    add(parent.children, name, std::nullopt);
    cursor_.push_back(parent.children.size() - 1);
    return *this;
}

NodeBuilder& NodeBuilder::make_child(const std::string& name, const std::string& kind) {
    make_child(name);
    current().kind = kind;
    return *this;
}

NodeBuilder& NodeBuilder::end_child() {
    if (cursor_.size() <= 1) {
        throw std::logic_error("NodeBuilder: end_child without make_child");
    }
    cursor_.pop_back();
    return *this;
}

NodeBuilder& NodeBuilder::display_name(const std::string& text) {
    current().display_name = text;
    return *this;
}

NodeBuilder& NodeBuilder::kind(const std::string& text) {
    current().kind = text;
    return *this;
}

NodeBuilder& NodeBuilder::config(const std::string& key, Variant value) {
    current().configs[key] = std::move(value);
    return *this;
}

NodeBuilder& NodeBuilder::value(Variant value) {
    current().value = std::move(value);
    return *this;
}

NodeBuilder& NodeBuilder::type(ValueType type) {
    current().type = type;
    return *this;
}

NodeBuilder& NodeBuilder::type(int type) {
    return this->type(static_cast<ValueType>(type));
}

NodeBuilder& NodeBuilder::serializable(SerializationMode mode) {
    current().serialization = mode;
    return *this;
}

NodeBuilder& NodeBuilder::serializable(int mode) {
    return serializable(static_cast<SerializationMode>(mode));
}

NodeBuilder& NodeBuilder::action(Action action) {
    return this->action(std::make_shared<const Action>(std::move(action)));
}

NodeBuilder& NodeBuilder::action(std::shared_ptr<const Action> action) {
    current().action = std::move(action);
    return *this;
}

NodeUpdater::NodeUpdater(NodePath path) : path_(std::move(path)) {}

NodeUpdater& NodeUpdater::config(const std::string& key, Variant value) {
    configs_[key] = std::move(value);
    return *this;
}

NodeUpdater& NodeUpdater::type(ValueType type) {
    type_ = type;
    return *this;
}

NodeUpdater& NodeUpdater::type(int type) {
    return this->type(static_cast<ValueType>(type));
}

NodeUpdater& NodeUpdater::display_name(const std::string& text) {
    display_name_ = text;
    return *this;
}

}  // namespace kestrel::strata_sdk
