// The small types a device's pieces share: the callbacks to the node tree, the connection
// states, the polling settings and the device's life flags.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/eip_tag_value.h"
#include "common/eip_utils.h"

// The device's only road to the node tree. Each callback receives the PLC
// alias first; an empty callback is skipped.
using EipTagNodeCallback = std::function<void(const std::string& alias, const TagInfo& tag,
                                              std::vector<SubTagInfo>* subtags)>;
using EipSubTagNodeCallback =
    std::function<void(const std::string& alias, const TagInfo& tag, const SubTagInfo& subtag)>;
using EipStateCallback = std::function<void(const std::string& alias, unsigned char state)>;
using EipTagValueCallback = std::function<void(const std::string& alias, const TagInfo& tag,
                                               const uint8_t* data, uint16_t len)>;
// The values of one reply, in poll-list order.
using EipTagValuesCallback =
    std::function<void(const std::string& alias, const std::vector<EipTagValue>& values)>;
using EipSubTagValueCallback =
    std::function<void(const std::string& alias, const TagInfo& tag, const SubTagInfo& subtag,
                       const uint8_t* data, uint16_t len)>;
using EipActionToggleCallback = std::function<void(
    const std::string& alias, signed char explicitPollingStopped, unsigned short explicitInterval,
    signed char ioPollingStopped, unsigned short ioInterval, unsigned short ioUdpPort)>;
using EipProductInfoCallback =
    std::function<void(const std::string& alias, const ProductInfo& product)>;
using EipTagStatusCallback =
    std::function<void(const std::string& alias, const std::string& tagAlias, signed char kind,
                       const std::string& status)>;

// The twelve callbacks, in member order. Installed as one set by the Add PLC
// action and by the restore (bound to the EipNode functions of the same names).
struct EipDeviceCallbacks {
    EipTagNodeCallback tagNodeCreated;         // EipNode::CreateTagItemNode
    EipTagNodeCallback tagNodeRemoved;         // EipNode::RemoveTagItemNode
    EipSubTagNodeCallback subTagNodeCreated;   // EipNode::CreateSubTagItemNode
    EipSubTagNodeCallback subTagNodeRemoved;   // EipNode::RemoveSubTagItemNode
    EipStateCallback explicitConnectionState;  // EipNode::ChangeExplicitConnectionState
    EipStateCallback ucmmState;                // EipNode::ChangeUCMMState
    EipTagValuesCallback explicitTagValues;    // EipNode::ChangeExplicitTagNodeValues
    EipTagValueCallback ioTagValue;            // EipNode::ChangeIOTagNodeValue
    EipSubTagValueCallback ioSubTagValue;      // EipNode::ChangeIOSubTagNodeValue
    EipActionToggleCallback actionToggle;      // EipNode::ToggleActionNodes
    EipProductInfoCallback productInfo;        // EipNode::ChangeProductInfo
    EipTagStatusCallback tagStatus;            // EipNode::UpdateTagStatusByAlias
};

// EM connection state values ("EM Coxn STATE").
enum : uint8_t {
    kExplicitNonExist = 0,
    kExplicitBusy = 1,
    kExplicitReady = 2,
    kExplicitNeedToSend = 3
};
// UCMM state values ("UCMM STATE").
enum : uint8_t { kUcmmNonExist = 0, kUcmmReady = 1, kUcmmBusy = 2 };

// The values of one hand-over to the node tree.
using ValueBatch = std::vector<EipTagValue>;

// The installed callback set. Threads: SDK threads install it; every worker takes a reference
// and calls the callbacks without any lock. mutex_ guards the pointer only: the set it points
// to is immutable.
class DeviceCallbacks {
  public:
    std::shared_ptr<const EipDeviceCallbacks> Get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return set_;
    }

    // Refused once the device retired; checked under the lock, so a retire never loses sight
    // of a set installed meanwhile.
    void Install(const EipDeviceCallbacks& callbacks, const std::atomic<bool>& retired) {
        auto installed = std::make_shared<const EipDeviceCallbacks>(callbacks);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!retired.load()) {
            set_ = std::move(installed);
        }
    }

    // Only the states still reach the node tree: a removed PLC's nodes go with it.
    void KeepStatesOnly() {
        std::lock_guard<std::mutex> lock(mutex_);
        auto remaining = std::make_shared<EipDeviceCallbacks>();
        remaining->explicitConnectionState = set_->explicitConnectionState;
        remaining->ucmmState = set_->ucmmState;
        set_ = remaining;
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const EipDeviceCallbacks> set_ = std::make_shared<EipDeviceCallbacks>();
};

// The polling settings the action nodes show. Atomics: set by action threads and the restore,
// read by the socket thread.
struct PollingState {
    std::atomic<int8_t> explicitStopped{1};
    std::atomic<uint16_t> explicitInterval{0};
    std::atomic<int8_t> ioStopped{1};
    std::atomic<uint16_t> ioParam1{0};
    std::atomic<uint16_t> ioParam2{0};

    // Shows the settings on the action nodes; called without any lock.
    void Notify(const EipDeviceCallbacks& cb, const std::string& alias) const {
        if (cb.actionToggle) {
            cb.actionToggle(alias, explicitStopped.load(), explicitInterval.load(),
                            ioStopped.load(), ioParam1.load(), ioParam2.load());
        }
    }
};

// Set once each, by the device's Retire: retired refuses new work, shuttingDown refuses new
// workers.
struct DeviceLife {
    std::atomic<bool> retired{false};
    std::atomic<bool> shuttingDown{false};
};
