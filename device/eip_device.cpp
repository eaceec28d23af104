#include "device/eip_device.h"

#include "common/eip_log.h"
#include "device/device_support.h"

using namespace device_detail;

EipDevice::EipDevice()
    : session_(callbacks_, stats_, life_),
      tags_(session_, pollList_, callbacks_, life_),
      publisher_(session_, tags_, callbacks_, life_),
      polling_(session_, tags_, pollList_, publisher_, callbacks_, pollingState_, stats_, life_),
      io_(session_, tags_, publisher_, callbacks_, pollingState_, stats_, life_) {
    if (!polling_.CanWake() || session_.StopFd() < 0) {
        eiplog::Error("EipDevice", "no event descriptor left: the device cannot be woken");
    }
    session_.SetHooks({[this] { polling_.Restart(); },
                       [this] {
                           polling_.RunSocket();
                           CreatePersistenceTag();
                       }});
    publisher_.Start();
}

EipDevice::~EipDevice() {
    Retire();
    // Tag nodes stay in the tree: a removed PLC's subtree goes with its node,
    // and at shut-down the stored tree is the configuration.
    ResetTag(kKindExplicit);
    ResetTag(kKindIO);
    session_.Drop();
}

void EipDevice::Retire() {
    if (life_.retired.exchange(true)) {
        return;
    }
    // From here on no worker may start another one (the reconnect thread could
    // otherwise bring the socket thread back after it was stopped), and a
    // connect in flight ends at its next socket wait.
    life_.shuttingDown.store(true);
    // The socket thread ends first and on its own: an exchange it has under way finishes (within
    // its time-out) instead of being cut short, so the session is still there for the Forward
    // Close below whatever the polling was doing.
    polling_.StopSocket();
    session_.SignalStop();
    session_.StopReconnect();
    publisher_.Stop();
    // The sessions' own closes are still sent; a reopen of an I/O connection is refused now.
    session_.DrainStop();
    io_.EndListening();
    session_.Disconnect();
    callbacks_.KeepStatesOnly();
}

int EipDevice::WriteOnSession(const SessionLane::Job& job, std::string& message) {
    const std::optional<int> result = polling_.RunOnSession(job);
    if (!result) {
        message = errorText(life_.retired.load() ? link_error::kPlcNotExist
                                                 : link_error::kPlcNotConnected);
        return -1;
    }
    return *result;
}

int EipDevice::WriteTag(const kestrel::strata_sdk::Variant& tagObject, int8_t kind,
                        std::string& tagAlias, std::string& message) {
    return WriteOnSession(
        [&](EipConnection& plcConnection) {
            return tags_.WriteTag(&plcConnection, tagObject, kind, tagAlias, message);
        },
        message);
}

int EipDevice::WriteTagByAlias(const std::string& tagAlias,
                               const kestrel::strata_sdk::Variant& value, int8_t kind,
                               std::string& message) {
    return WriteOnSession(
        [&](EipConnection& plcConnection) {
            return tags_.WriteTagByAlias(&plcConnection, tagAlias, value, kind, message);
        },
        message);
}

void EipDevice::NotifyPollingState() {
    pollingState_.Notify(*callbacks_.Get(), session_.Alias());
}

void EipDevice::CreatePersistenceTag() {
    const bool never = session_.NeverConnected();
    const size_t count = tags_.PersistedTagCount();
    eiplog::Info("CreatePersistenceTag", "Create previous tags count - " + std::to_string(count) +
                                             (never ? " but not excute" : ""));
    const std::string alias = session_.Alias();
    auto cb = callbacks_.Get();
    if (cb->productInfo) {
        cb->productInfo(alias, session_.GetProductInfo());
    }
    NotifyPollingState();
    if (never) {
        return;
    }
    if (!tags_.ReplayPersistedTags(*cb)) {
        // No test connection: the stored entries wait for the next session.
        session_.Disconnect();
        session_.StartReconnect();
        return;
    }
    std::string message;
    if (pollingState_.explicitInterval.load() != 0 && pollingState_.explicitStopped.load() != 0) {
        polling_.Start(pollingState_.explicitInterval.load(), message);
    }
    if (pollingState_.ioParam1.load() != 0 && pollingState_.ioStopped.load() != 0) {
        io_.Start(pollingState_.ioParam1.load(), pollingState_.ioParam2.load(), message);
    }
    session_.NotifyStates(session_.ExplicitConnectionState(), session_.UCMMState());
}
