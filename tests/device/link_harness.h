#pragma once
// A broker link wired as the process wires it (registry, EipLink, its initialised and connected
// handlers), running until destroyed.

#include <functional>
#include <memory>
#include <string>

#include "device/eip_manager.h"
#include "link/eip_globals.h"
#include "link/eip_link.h"
#include "strata_sdk/sdk.h"

namespace tb_device_test {

class RunningLink {
  public:
    // dataDir "" keeps nothing; onConnected runs first in the connected handler.
    explicit RunningLink(const std::string& dataDir, std::function<void()> onConnected = nullptr) {
        kestrel::strata_sdk::LinkOptions options("Tagbridge");
        options.set_data_dir(dataDir);
        link_ = std::make_unique<kestrel::strata_sdk::Link>(
            std::move(options), kestrel::strata_sdk::LinkType::Responder, "1.4.6");
        g_link = link_.get();
        g_eipManager = new EipManager;
        eipLink_ = std::make_unique<EipLink>(*link_);
        link_->set_on_initialized_handler(
            [this](const std::string& name, const std::error_code& ec) {
                eipLink_->initialize(name, ec);
            });
        link_->set_on_connected_handler([this, onConnected](const std::error_code& ec) {
            if (onConnected) {
                onConnected();
            }
            eipLink_->connected(ec);
        });
        running_ = link_->non_blocking_run();
    }
    ~RunningLink() {
        link_->stop();
        link_->join();
        delete g_eipManager;
        g_eipManager = nullptr;
        eipLink_.reset();
        g_link = nullptr;
    }
    RunningLink(const RunningLink&) = delete;
    RunningLink& operator=(const RunningLink&) = delete;

    bool Running() const { return running_; }
    kestrel::strata_sdk::Link& Link() { return *link_; }

  private:
    std::unique_ptr<kestrel::strata_sdk::Link> link_;
    std::unique_ptr<EipLink> eipLink_;
    bool running_ = false;
};

}  // namespace tb_device_test
