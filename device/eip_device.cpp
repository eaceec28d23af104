// The session and its reconnect, the worker threads and the callbacks of a device.
#include "device/eip_device.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <memory>

#include "common/eip_log.h"
#include "device/device_support.h"
#include "device/io_listener.h"
#include "eip/eip_connection.h"
#include "tag/eip_tag.h"
#include "tag/protocol_handler.h"
#include "tag/protocol_handler_factory.h"

using namespace device_detail;

namespace {
constexpr uint16_t kExplicitConnectionRpiMs = 45000;
}  // namespace

// ===================================================================================== lifecycle

EipDevice::EipDevice()
    : callbacks_(std::make_shared<EipDeviceCallbacks>()),
      wakeFd_(MakeEventFd()),
      stopFd_(MakeEventFd()) {
    if (wakeFd_ < 0 || stopFd_ < 0) {
        eiplog::Error("EipDevice", "no event descriptor left: the device cannot be woken");
    }
    IoListenerHooks hooks;
    hooks.alias = [this] { return GetAlias(); };
    hooks.deliver = [this](const std::vector<IoValue>& values) { HandOverIOValues(values); };
    hooks.reopen = [this](const std::string& tagAlias, std::string& message) {
        return StartIOPollingTag(tagAlias, ioParam1_.load(), ioParam2_.load(), message);
    };
    ioListener_ = std::make_unique<IoListener>(std::move(hooks));
    StartQueueProcess();
}

EipDevice::~EipDevice() {
    Retire();
    // Tag nodes stay in the tree: a removed PLC's subtree goes with its node,
    // and at shut-down the stored tree is the configuration.
    ResetTag(kKindExplicit);
    ResetTag(kKindIO);
    DeleteConnection();
    for (int fd : {wakeFd_, stopFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void EipDevice::Retire() {
    if (retired_.exchange(true)) {
        return;
    }
    // From here on no worker may start another one (the reconnect thread could
    // otherwise bring the socket thread back after it was stopped), and a
    // connect in flight ends at its next socket wait.
    shuttingDown_.store(true);
    SignalEventFd(stopFd_);
    StopSocketProcess();
    StopReconnectProcess();
    StopQueueProcess();
    // The sessions' own closes are still sent; a reopen of an I/O connection is refused now.
    DrainEventFd(stopFd_);
    ioListener_->Stop();
    DisconnectFromPLC();
    // Only the states still reach the node tree: a removed PLC's nodes go with it.
    std::lock_guard<std::mutex> lock(callbackMutex_);
    auto remaining = std::make_shared<EipDeviceCallbacks>();
    remaining->explicitConnectionState = callbacks_->explicitConnectionState;
    remaining->ucmmState = callbacks_->ucmmState;
    callbacks_ = remaining;
}

void EipDevice::StartRestore() {
    if (retired_.load()) {
        return;
    }
    reconnectAtOnce_.store(true);
    StartReconnectProcess();
}

void EipDevice::SetConnectionInfo(const ConnectInfo& info) {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    connectInfo_.alias = info.alias;
    connectInfo_.host = info.host;
    connectInfo_.port = info.port;
    connectInfo_.slot = info.slot;
    connectInfo_.family = info.family;
    alias_ = info.alias;
}

std::string EipDevice::GetAlias() const {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    return alias_;
}

ConnectInfo EipDevice::GetConnectionInfo() const {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    return connectInfo_;
}

ProductInfo EipDevice::GetProductInfo() const {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    return productInfo_;
}

std::shared_ptr<EipConnection> EipDevice::connection() const {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    return connection_;
}

// Makes the connection and handler objects of the configured family without
// installing them; logs and returns -1 on failure. Their socket waits end when
// the device retires.
int EipDevice::MakeConnectionObjects(const ConnectInfo& info,
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
// (the socket thread in an exchange) lets go. Called with connectionMutex_ held.
void EipDevice::InstallConnectionLocked(std::shared_ptr<EipConnection> plcConnection,
                                        std::shared_ptr<ProtocolHandler> handler) {
    explicitEnabled_.store(plcConnection != nullptr && plcConnection->IsExplicitEnabled());
    connection_ = std::move(plcConnection);
    handler_ = std::move(handler);
    explicitConnectionOpen_.store(false);
}

int EipDevice::CreateConnection() {
    const ConnectInfo info = GetConnectionInfo();
    std::shared_ptr<EipConnection> plcConnection;
    std::shared_ptr<ProtocolHandler> handler;
    const int result = MakeConnectionObjects(info, plcConnection, handler);
    std::lock_guard<std::mutex> lock(connectionMutex_);
    InstallConnectionLocked(std::move(plcConnection), std::move(handler));
    return result;
}

void EipDevice::DeleteConnection() {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    InstallConnectionLocked(nullptr, nullptr);
}

bool EipDevice::TcpSocketOpen() {
    auto plcConnection = connection();
    return plcConnection != nullptr && plcConnection->GetSocketFd() >= 0;
}

// Connect, register, identity, Forward Open on a connection that no other
// thread sees yet. 0, or the failing step's result (logged).
int EipDevice::ConnectSequence(const std::string& alias, EipConnection* plcConnection,
                               const ConnectInfo& info, ProductInfo& product, bool& explicitOpen) {
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
        const int result = plcConnection->OpenExplicitConnection(kExplicitConnectionRpiMs);
        if (result != 0) {
            eiplog::Error("ConnectToPLC", alias + ": Open EM Connection fail.");
            return result;
        }
        eiplog::Info("ConnectToPLC", alias + ": success to open em connection");
        explicitOpen = true;
    }
    return 0;
}

int EipDevice::ConnectToPLC(const ConnectInfo& info, bool restore) {
    eiplog::Info("ConnectToPLC", GetAlias() + ": Try to connect PLC - " + info.host);
    if (retired_.load()) {
        return -1;
    }
    int result = 0;
    if (auto current = connection(); current != nullptr && current->GetSocketFd() >= 0) {
        eiplog::Error("ConnectToPLC", GetAlias() + ": Already connected!");
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
            result = ConnectSequence(info.alias, plcConnection.get(), info, product, explicitOpen);
            if (result != 0) {
                plcConnection->Disconnect();
            }
        }
        {
            std::lock_guard<std::mutex> lock(connectionMutex_);
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
            cycleRestart_.store(true);
            if (explicitOpen) {
                ChangeExplicitConnectionState(kExplicitReady, true);
            }
            ChangeUCMMState(kUcmmReady, true);
            StartWorkerIfNone(Worker::Socket);
            WakeSocket();
            CreatePersistenceTag();
            return 0;
        }
    }
    if (restore && !WorkerExists(Worker::Reconnect)) {
        StartReconnectProcess();
        return 0;
    }
    return result;
}

int EipDevice::DisconnectFromPLC() {
    const std::shared_ptr<EipConnection> plcConnection = connection();
    if (plcConnection != nullptr) {
        if (explicitEnabled_.load() && explicitConnectionOpen_.load()) {
            plcConnection->CloseExplicitConnection();
        }
        explicitConnectionOpen_.store(false);
        eiplog::Info("DisconnectFromPLC",
                     eiplog::Text(GetAlias(), ": close socket=", plcConnection->GetSocketFd()));
        plcConnection->Disconnect();
    } else {
        explicitConnectionOpen_.store(false);
    }
    ChangeExplicitConnectionState(kExplicitNonExist, true);
    ChangeUCMMState(kUcmmNonExist, true);
    eiplog::Info("DisconnectFromPLC", GetAlias() + ": Close em connection");
    return 0;
}

// Atomics only: unlike IsConnected() and GetAlias(), never waits for an exchange.
DeviceStatsSnapshot EipDevice::GetStats() const {
    return stats_.Snapshot(ucmmState_.load() != kUcmmNonExist);
}

bool EipDevice::IsConnected() {
    std::shared_ptr<ProtocolHandler> handler;
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        handler = handler_;
    }
    return handler != nullptr &&
           handler->IsConnectionUp(ucmmState_.load(), explicitConnectionState_.load());
}

void EipDevice::ChangeExplicitConnectionState(uint8_t state, bool notify) {
    explicitConnectionState_.store(state);
    if (notify) {
        auto cb = callbacks();
        if (cb->explicitConnectionState) {
            cb->explicitConnectionState(GetAlias(), state);
        }
    }
}

void EipDevice::ChangeUCMMState(uint8_t state, bool notify) {
    ucmmState_.store(state);
    if (notify) {
        auto cb = callbacks();
        if (cb->ucmmState) {
            cb->ucmmState(GetAlias(), state);
        }
    }
}

void EipDevice::NotifyStates(uint8_t em, uint8_t ucmm) {
    ChangeExplicitConnectionState(em, true);
    ChangeUCMMState(ucmm, true);
}

void EipDevice::AbortExplicitPolling(bool reconnect) {
    cycleRestart_.store(true);
    DisconnectFromPLC();
    if (reconnect) {
        StartReconnectProcess();
    }
}

void EipDevice::SetCallbacks(const EipDeviceCallbacks& callbacks) {
    auto installed = std::make_shared<const EipDeviceCallbacks>(callbacks);
    std::lock_guard<std::mutex> lock(callbackMutex_);
    if (!retired_.load()) {
        callbacks_ = std::move(installed);
    }
}

EipDeviceCallbacks EipDevice::GetCallbacks() const {
    return *callbacks();
}

std::shared_ptr<const EipDeviceCallbacks> EipDevice::callbacks() const {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    return callbacks_;
}

// ======================================================================================= workers

EipDevice::WorkerThread& EipDevice::worker(Worker w) {
    switch (w) {
        case Worker::Socket:
            return socketThread_;
        case Worker::Reconnect:
            return reconnectThread_;
        case Worker::Queue:
            break;
    }
    return queueThread_;
}

const char* EipDevice::WorkerName(Worker w) {
    switch (w) {
        case Worker::Socket:
            return "Socket Thread";
        case Worker::Reconnect:
            return "Reconnect Thread";
        case Worker::Queue:
            break;
    }
    return "Queue Thread";
}

// Socket lines carry no alias; reconnect and queue lines do.
std::string EipDevice::WorkerLogLine(Worker w, const char* what) {
    std::string line = std::string(WorkerName(w)) + " " + what;
    if (w == Worker::Reconnect || w == Worker::Queue) {
        line = GetAlias() + ": " + line;
    }
    return line;
}

bool EipDevice::WorkerExists(Worker w) {
    std::lock_guard<std::mutex> lock(threadMutex_);
    return worker(w).thread != nullptr;
}

void EipDevice::LaunchWorkerLocked(Worker w) {
    WorkerThread& slot = worker(w);
    slot.running.store(true);
    slot.thread = std::make_unique<std::thread>([this, w] { RunWorker(w); });
    eiplog::Info("StartProcess", WorkerLogLine(w, "start."));
}

// Takes the worker's thread out (under threadMutex_), stops and joins it
// without holding the lock. A worker never joins itself: asked from its own
// thread, it is only told to carry on.
void EipDevice::JoinWorker(Worker w) {
    std::unique_ptr<std::thread> old;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        WorkerThread& slot = worker(w);
        if (slot.thread != nullptr && slot.thread->get_id() == std::this_thread::get_id()) {
            return;
        }
        slot.running.store(false);
        old = std::move(slot.thread);
    }
    WakeWorkers();
    if (old != nullptr && old->joinable()) {
        old->join();
    }
}

int EipDevice::RestartWorker(Worker w) {
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        WorkerThread& slot = worker(w);
        if (slot.thread != nullptr && slot.thread->get_id() == std::this_thread::get_id()) {
            slot.running.store(true);
            return 0;
        }
    }
    JoinWorker(w);
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (!shuttingDown_.load() && worker(w).thread == nullptr) {
        LaunchWorkerLocked(w);
    }
    return 0;
}

int EipDevice::StartWorkerIfNone(Worker w) {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (!shuttingDown_.load() && worker(w).thread == nullptr) {
        LaunchWorkerLocked(w);
    }
    return 0;
}

int EipDevice::StopWorker(Worker w) {
    JoinWorker(w);
    eiplog::Info("StopProcess", WorkerLogLine(w, "stop."));
    return 0;
}

// Every worker re-reads its running flag: the sleepers on wakeCv_, the queue
// thread on valueReady_, the socket thread through wakeFd_.
void EipDevice::WakeWorkers() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        wakeCv_.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(valueMutex_);
        valueReady_.notify_all();
    }
    WakeSocket();
}

void EipDevice::WakeSocket() {
    SignalEventFd(wakeFd_);
}

bool EipDevice::SleepWhileRunning(Worker w, uint64_t micros) {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    wakeCv_.wait_for(lock, std::chrono::microseconds(micros),
                     [&] { return !worker(w).running.load(); });
    return worker(w).running.load();
}

void EipDevice::RunWorker(Worker w) {
    switch (w) {
        case Worker::Socket:
            SocketProcess();
            break;
        case Worker::Reconnect:
            ReconnectProcess();
            break;
        case Worker::Queue:
            QueueProcess();
            break;
    }
}

int EipDevice::StartSocketProcess() {
    return RestartWorker(Worker::Socket);
}
int EipDevice::StartReconnectProcess() {
    return RestartWorker(Worker::Reconnect);
}
int EipDevice::StartQueueProcess() {
    return RestartWorker(Worker::Queue);
}
int EipDevice::StopSocketProcess() {
    return StopWorker(Worker::Socket);
}
int EipDevice::StopReconnectProcess() {
    return StopWorker(Worker::Reconnect);
}
int EipDevice::StopQueueProcess() {
    return StopWorker(Worker::Queue);
}

void EipDevice::ReconnectProcess() {
    eiplog::Info("ReconnectProcess", GetAlias() + ": Reconnect Thread enter.");
    // The restore's first attempt is at once; later ones keep the period.
    uint64_t lastAttempt =
        SteadyMicros() - (reconnectAtOnce_.exchange(false) ? kRetryPeriodMicros : 0);
    // Leaves only once a session is up: a connect that succeeds and is torn
    // down again by its own tag replay keeps the thread trying.
    while (reconnectThread_.running.load() && !TcpSocketOpen()) {
        const uint64_t elapsed = SteadyMicros() - lastAttempt;
        if (elapsed < kRetryPeriodMicros &&
            !SleepWhileRunning(Worker::Reconnect, kRetryPeriodMicros - elapsed)) {
            break;
        }
        lastAttempt = SteadyMicros();
        if (ConnectToPLC(GetConnectionInfo(), true) == 0) {
            DeviceStats::Add(stats_.reconnects);  // stats: reconnect
        }
    }
    eiplog::Info("ReconnectProcess", GetAlias() + ": Reconnect Thread exit.");
}
