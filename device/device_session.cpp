#include "device/device_session.h"

#include <unistd.h>

#include "common/eip_log.h"
#include "device/device_support.h"
#include "eip/eip_connection.h"
#include "tag/protocol_handler.h"
#include "tag/protocol_handler_factory.h"

using namespace device_detail;

DeviceSession::DeviceSession(DeviceCallbacks& callbacks, DeviceStats& stats, const DeviceLife& life)
    : callbacks_(callbacks),
      stats_(stats),
      life_(life),
      stopFd_(MakeEventFd()),
      reconnectThread_(
          {"Reconnect Thread", [this] { return Alias(); }, [this] { ReconnectLoop(); }, nullptr},
          life.shuttingDown) {}

DeviceSession::~DeviceSession() {
    if (stopFd_ >= 0) {
        ::close(stopFd_);
    }
}

void DeviceSession::SetHooks(Hooks hooks) {
    hooks_ = std::move(hooks);
}

void DeviceSession::SignalStop() {
    SignalEventFd(stopFd_);
}

void DeviceSession::DrainStop() {
    DrainEventFd(stopFd_);
}

void DeviceSession::SetConnectionInfo(const ConnectInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    connectInfo_ = info;
    alias_ = info.alias;
}

std::string DeviceSession::Alias() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return alias_;
}

ConnectInfo DeviceSession::ConnectionInfo() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectInfo_;
}

ProductInfo DeviceSession::GetProductInfo() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return productInfo_;
}

std::shared_ptr<EipConnection> DeviceSession::Connection() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection_;
}

// Makes the connection and handler objects of the configured family without
// installing them; logs and returns -1 on failure. Their socket waits end when
// the device retires.
int DeviceSession::MakeConnectionObjects(const ConnectInfo& info,
                                         std::shared_ptr<EipConnection>& plcConnection,
                                         std::shared_ptr<ProtocolHandler>& handler) const {
    plcConnection.reset(EipConnection::Create(info.family, &info));
    if (plcConnection == nullptr) {
        eiplog::Error("createConnection", info.alias + ": Failed to create connection instance");
        return -1;
    }
    plcConnection->SetAbortFd(stopFd_);
    handler.reset(ProtocolHandlerFactory::Create(info.family));
    if (handler == nullptr) {
        eiplog::Error("createConnection",
                      info.alias + ": Failed to create protocol handler instance");
        plcConnection.reset();
        return -1;
    }
    return 0;
}

// Replaces the connection and handler; the old ones go when their last user
// (the socket thread in an exchange) lets go. Called with mutex_ held.
void DeviceSession::InstallConnectionLocked(std::shared_ptr<EipConnection> plcConnection,
                                            std::shared_ptr<ProtocolHandler> handler) {
    explicitEnabled_.store(plcConnection != nullptr && plcConnection->IsExplicitEnabled());
    connection_ = std::move(plcConnection);
    handler_ = std::move(handler);
    explicitConnectionOpen_.store(false);
}

void DeviceSession::Drop() {
    std::lock_guard<std::mutex> lock(mutex_);
    InstallConnectionLocked(nullptr, nullptr);
}

bool DeviceSession::SocketOpen() {
    auto plcConnection = Connection();
    return plcConnection != nullptr && plcConnection->GetSocketFd() >= 0;
}

// Connect, register, identity, Forward Open on a connection that no other
// thread sees yet. 0, or the failing step's result (logged).
int DeviceSession::ConnectSequence(const std::string& alias, EipConnection* plcConnection,
                                   const ConnectInfo& info, uint16_t rpiMillis,
                                   ProductInfo& product, bool& explicitOpen) {
    explicitOpen = false;
    if (plcConnection->Connect(info.host, info.port, EipConnection::kConnectTimeoutSeconds) != 0) {
        eiplog::Error("ConnectToPLC", alias + ": Connect to PLC failed.");
        return -1;
    }
    if (plcConnection->RegisterSession(EipConnection::kConnectTimeoutSeconds) != 0) {
        eiplog::Error("ConnectToPLC", alias + ": Register session to PLC failed.");
        return -1;
    }
    if (plcConnection->ReadPLCProductInfo(info.slot, product) != 0) {
        eiplog::Error("ConnectToPLC", alias + ": Read product info failed.");
        return -1;
    }
    eiplog::Info("ConnectToPLC", alias + ": --- <GetAttrAll> ----------");
    eiplog::Info("ConnectToPLC", alias + ": Product Name : " + product.productName);
    eiplog::Info("ConnectToPLC", alias + ": Vendor ID : 0x" + hex(product.vendorId, 1));
    eiplog::Info("ConnectToPLC", alias + ": Device Type : 0x" + hex(product.deviceType, 1));
    eiplog::Info("ConnectToPLC", alias + ": Product Code : 0x" + hex(product.productCode, 1));
    eiplog::Info("ConnectToPLC",
                 eiplog::Text(alias, ": Revision : ", unsigned(product.majorRevision), ".",
                              unsigned(product.minorRevision)));
    eiplog::Info("ConnectToPLC", alias + ": ---------------------------");
    if (plcConnection->IsExplicitEnabled()) {
        const int result = plcConnection->OpenExplicitConnection(rpiMillis);
        if (result != 0) {
            eiplog::Error("ConnectToPLC", alias + ": Open EM Connection fail.");
            return result;
        }
        eiplog::Info("ConnectToPLC", alias + ": success to open em connection");
        explicitOpen = true;
    }
    return 0;
}

int DeviceSession::Connect(const ConnectInfo& info, bool restore) {
    eiplog::Info("ConnectToPLC", Alias() + ": Try to connect PLC - " + info.host);
    if (life_.retired.load()) {
        return -1;
    }
    int result = 0;
    if (auto current = Connection(); current != nullptr && current->GetSocketFd() >= 0) {
        eiplog::Error("ConnectToPLC", Alias() + ": Already connected!");
        current->Disconnect();
        explicitConnectionOpen_.store(false);
        result = -1;
    } else {
        SetConnectionInfo(info);
        // The connection is built and opened privately and installed only once
        // the sequence is over, so the socket thread never sees a half-open one.
        std::shared_ptr<EipConnection> plcConnection;
        std::shared_ptr<ProtocolHandler> handler;
        ProductInfo product = GetProductInfo();
        bool explicitOpen = false;
        result = MakeConnectionObjects(info, plcConnection, handler);
        if (result == 0) {
            result = ConnectSequence(info.alias, plcConnection.get(), info,
                                     explicitRpiMillis_.load(), product, explicitOpen);
            if (result != 0) {
                plcConnection->Disconnect();
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            InstallConnectionLocked(std::move(plcConnection), std::move(handler));
            if (result == 0) {
                productInfo_ = product;
                explicitConnectionOpen_.store(explicitOpen);
            }
        }
        if (result == 0) {
            // A fresh session has no request outstanding; it counts as connected
            // before its READY states are published.
            neverConnected_.store(false);
            hooks_.fresh();
            if (explicitOpen) {
                ChangeExplicitConnectionState(kExplicitReady, true);
            }
            ChangeUCMMState(kUcmmReady, true);
            hooks_.established();
            return 0;
        }
    }
    if (restore && !reconnectThread_.Exists()) {
        StartReconnect();
        return 0;
    }
    return result;
}

int DeviceSession::Disconnect() {
    const std::shared_ptr<EipConnection> plcConnection = Connection();
    if (plcConnection != nullptr) {
        // A session whose socket a failed exchange closed has nothing left to carry the
        // Forward Close: the controller ends the connection by its own time-out.
        if (explicitEnabled_.load() && explicitConnectionOpen_.load() &&
            plcConnection->GetSocketFd() >= 0) {
            plcConnection->CloseExplicitConnection();
        }
        explicitConnectionOpen_.store(false);
        eiplog::Info("DisconnectFromPLC",
                     eiplog::Text(Alias(), ": close socket=", plcConnection->GetSocketFd()));
        plcConnection->Disconnect();
    } else {
        explicitConnectionOpen_.store(false);
    }
    ChangeExplicitConnectionState(kExplicitNonExist, true);
    ChangeUCMMState(kUcmmNonExist, true);
    eiplog::Info("DisconnectFromPLC", Alias() + ": Close em connection");
    return 0;
}

bool DeviceSession::IsUp() {
    std::shared_ptr<ProtocolHandler> handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = handler_;
    }
    return handler != nullptr &&
           handler->IsConnectionUp(ucmmState_.load(), explicitConnectionState_.load());
}

void DeviceSession::ChangeExplicitConnectionState(uint8_t state, bool notify) {
    explicitConnectionState_.store(state);
    if (notify) {
        auto cb = callbacks_.Get();
        if (cb->explicitConnectionState) {
            cb->explicitConnectionState(Alias(), state);
        }
    }
}

void DeviceSession::ChangeUCMMState(uint8_t state, bool notify) {
    ucmmState_.store(state);
    if (notify) {
        auto cb = callbacks_.Get();
        if (cb->ucmmState) {
            cb->ucmmState(Alias(), state);
        }
    }
}

void DeviceSession::NotifyStates(uint8_t em, uint8_t ucmm) {
    ChangeExplicitConnectionState(em, true);
    ChangeUCMMState(ucmm, true);
}

void DeviceSession::StartRestore() {
    if (life_.retired.load()) {
        return;
    }
    reconnectAtOnce_.store(true);
    StartReconnect();
}

int DeviceSession::StartReconnect() {
    return reconnectThread_.Restart();
}

int DeviceSession::StopReconnect() {
    return reconnectThread_.Stop();
}

void DeviceSession::ReconnectLoop() {
    eiplog::Info("ReconnectProcess", Alias() + ": Reconnect Thread enter.");
    // The restore's first attempt is at once; later ones keep the period.
    uint64_t lastAttempt =
        SteadyMicros() - (reconnectAtOnce_.exchange(false) ? kRetryPeriodMicros : 0);
    // Leaves only once a session is up: a connect that succeeds and is torn
    // down again by its own tag replay keeps the thread trying.
    while (reconnectThread_.Running() && !SocketOpen()) {
        const uint64_t elapsed = SteadyMicros() - lastAttempt;
        if (elapsed < kRetryPeriodMicros &&
            !reconnectThread_.SleepWhileRunning(kRetryPeriodMicros - elapsed)) {
            break;
        }
        lastAttempt = SteadyMicros();
        if (Connect(ConnectionInfo(), true) == 0) {
            DeviceStats::Add(stats_.reconnects);  // stats: reconnect
        }
    }
    eiplog::Info("ReconnectProcess", Alias() + ": Reconnect Thread exit.");
}
