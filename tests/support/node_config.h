#pragma once
// A setting ("$..." config) of a node as the broker holds it.

#include <string>

#include "strata_sdk/sdk.h"

namespace tb_test {

// Null when the node or the setting does not exist.
inline kestrel::strata_sdk::Variant NodeConfig(kestrel::strata_sdk::Broker& broker,
                                               const kestrel::strata_sdk::NodePath& path,
                                               const std::string& key) {
    const auto node = broker.node_info(path);
    if (!node) {
        return {};
    }
    const auto it = node->configs.find(key);
    return it == node->configs.end() ? kestrel::strata_sdk::Variant() : it->second;
}

}  // namespace tb_test
