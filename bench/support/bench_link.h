#pragma once
// An in-process broker link with one PLC "PLC1" registered and its node, as the Add PLC action
// leaves it, for the benchmarks that measure the link end to end.

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "action/eip_action.h"
#include "bench/support/self_usage.h"
#include "device/eip_device.h"
#include "device/eip_manager.h"
#include "link/link_context.h"
#include "node/eip_node.h"
#include "strata_sdk/sdk.h"

namespace bench {

using tb_bench::CpuSeconds;

class BenchLink {
  public:
    // Starts the link and adds PLC1 at 127.0.0.1:port with the node tree's callbacks, which
    // `adjust` may change (to count values), keeping `historyPoints` recent values per tag.
    // Device() is null when the PLC could not be added.
    BenchLink(uint16_t port, const std::function<void(EipDeviceCallbacks&)>& adjust,
              size_t historyPoints = kestrel::strata_sdk::LinkOptions::kDefaultHistoryPoints)
        : dataDir_(
              (std::filesystem::temp_directory_path() / ("tb-bench-" + std::to_string(getpid())))
                  .string()) {
        namespace sdk = kestrel::strata_sdk;
        std::filesystem::remove_all(dataDir_);
        sdk::LinkOptions options("Tagbridge");
        options.set_data_dir(dataDir_);
        options.set_listen("127.0.0.1", 0);
        options.set_history_points(historyPoints);
        link_ = std::make_unique<sdk::Link>(std::move(options), sdk::LinkType::Responder, "1.4.6");
        link_->non_blocking_run();
        link_->broker().wait_idle();
        context_ = std::make_unique<LinkContext>(*link_, registry_);
        ConnectInfo info;
        info.alias = "PLC1";
        info.host = "127.0.0.1";
        info.port = port;
        if (registry_.AddPLC(info, false) != 0) {
            return;
        }
        device_ = registry_.GetPLC("PLC1");
        EipDeviceCallbacks callbacks = EipAction(*context_).MakeDeviceCallbacks();
        adjust(callbacks);
        device_->SetCallbacks(callbacks);
        EipNode(*context_).CreatePLCNode(sdk::NodePath("/"), info, device_->GetProductInfo());
        WaitIdle();
    }

    ~BenchLink() {
        device_.reset();
        registry_.RemoveAll();
        WaitIdle();
        link_->stop();
        link_->join();
        link_.reset();
        std::filesystem::remove_all(dataDir_);
    }

    BenchLink(const BenchLink&) = delete;
    BenchLink& operator=(const BenchLink&) = delete;

    EipDevice* Device() const { return device_.get(); }
    void WaitIdle() { link_->broker().wait_idle(); }
    kestrel::strata_sdk::Broker& Broker() { return link_->broker(); }

  private:
    std::string dataDir_;
    EipManager registry_;
    std::unique_ptr<kestrel::strata_sdk::Link> link_;
    std::unique_ptr<LinkContext> context_;
    EipDeviceHandle device_;
};

}  // namespace bench
