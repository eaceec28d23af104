#pragma once
// A broker link wired as the process wires it (registry, context, EipLink, its initialised and
// connected handlers), running until destroyed; and a stored node tree written before a link
// restores it.

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "device/eip_manager.h"
#include "link/eip_link.h"
#include "link/link_context.h"
#include "strata_sdk/sdk.h"
#include "support/test_link.h"

namespace tb_device_test {

// A node as the link stores it: kept in the store, marked with "$$$isit" when `marker` is given.
inline kestrel::strata_sdk::NodeBuilder StoredNode(const kestrel::strata_sdk::NodePath& parent,
                                                   const std::string& name,
                                                   const std::string& marker) {
    kestrel::strata_sdk::NodeBuilder builder(parent);
    builder.make_node(name).serializable(kestrel::strata_sdk::SerializationMode::Stored);
    if (!marker.empty()) {
        builder.config("$$$isit", marker);
    }
    return builder;
}

// Writes the nodes into the store of `dataDir` through a link of its own, stopped afterwards;
// false when the link did not connect or a node was not stored.
inline bool StoreNodes(const std::string& dataDir,
                       const std::vector<kestrel::strata_sdk::NodeBuilder>& builders) {
    namespace sdk = kestrel::strata_sdk;
    constexpr auto kLimit = std::chrono::seconds(60);
    auto owned = tb_test::MakeLink(dataDir);
    sdk::Link& link = *owned;
    std::promise<void> connected;
    link.set_on_connected_handler([&](const std::error_code&) { connected.set_value(); });
    bool stored = link.non_blocking_run() &&
                  connected.get_future().wait_for(kLimit) == std::future_status::ready;
    for (size_t i = 0; stored && i < builders.size(); ++i) {
        std::promise<std::error_code> done;
        auto result = done.get_future();
        link.responder()->create_node(
            builders[i], [&](const std::vector<sdk::NodeInfo>&, const std::error_code& ec) {
                done.set_value(ec);
            });
        stored = result.wait_for(kLimit) == std::future_status::ready && !result.get();
    }
    link.stop();
    link.join();
    return stored;
}

class RunningLink {
  public:
    // dataDir "" keeps nothing; onConnected runs first in the connected handler. Without
    // `restore` the link does not replay the stored nodes: they stay pending for the test.
    explicit RunningLink(const std::string& dataDir, std::function<void()> onConnected = nullptr,
                         bool restore = true) {
        link_ = tb_test::MakeLink(dataDir);
        context_ = std::make_unique<LinkContext>(*link_, registry_);
        eipLink_ = std::make_unique<EipLink>(*context_);
        link_->set_on_initialized_handler(
            [this](const std::string& name, const std::error_code& ec) {
                eipLink_->initialize(name, ec);
            });
        link_->set_on_connected_handler([this, onConnected, restore](const std::error_code& ec) {
            if (onConnected) {
                onConnected();
            }
            if (restore) {
                eipLink_->connected(ec);
            }
        });
        running_ = link_->non_blocking_run();
    }
    ~RunningLink() {
        link_->stop();
        link_->join();
        registry_.RemoveAll();
        eipLink_.reset();
    }
    RunningLink(const RunningLink&) = delete;
    RunningLink& operator=(const RunningLink&) = delete;

    bool Running() const { return running_; }
    kestrel::strata_sdk::Link& Link() { return *link_; }
    EipManager& Registry() { return registry_; }
    LinkContext& Context() { return *context_; }
    EipLink& Eip() { return *eipLink_; }

  private:
    EipManager registry_;
    std::unique_ptr<kestrel::strata_sdk::Link> link_;
    std::unique_ptr<LinkContext> context_;
    std::unique_ptr<EipLink> eipLink_;
    bool running_ = false;
};

}  // namespace tb_device_test
