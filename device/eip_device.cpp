#include "device/eip_device.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <new>

#include "action/tesselLink_error_code.h"
#include "common/eip_log.h"
#include "device/io_listener.h"
#include "device/tessel_priority_queue.h"
#include "eip/eip_connection.h"
#include "eip/eip_io_connection.h"
#include "strata_sdk/json.h"
#include "tag/eip_tag.h"
#include "tag/protocol_handler.h"
#include "tag/protocol_handler_factory.h"
#include "tag/tag_parameter_parser.h"
#include "tag/taginfo_validator.h"

using kestrel::strata_sdk::NodePath;
using kestrel::strata_sdk::Variant;

namespace {

constexpr uint32_t kQueueMaxSize = 100000;
constexpr uint16_t kQueuePriorityCount = 10;
constexpr uint16_t kEMConnectionRpiMs = 45000;
constexpr uint64_t kRetryPeriodMicros = 1000000;
constexpr long kSelectTimeoutMicros = 1000;
constexpr useconds_t kSocketPassPauseMicros = 10;
constexpr std::chrono::milliseconds kQueueIdlePause{1};
constexpr int8_t kKindEM = 1;
constexpr int8_t kKindIO = 2;

uint64_t steadyMicros() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string errorText(int code) {
    return tessel::tesselLink_error_category().message(code);
}

bool hasBit(uint8_t flags, uint8_t bit) {
    return (flags & bit) != 0;
}

// "2026/12/06 18:40:12.123456" of the wall clock.
std::string wallClockText() {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm local {};
    localtime_r(&tv.tv_sec, &local);
    char date[32] = {};
    strftime(date, sizeof date, "%Y/%m/%d %H:%M:%S", &local);
    char micros[16] = {};
    std::snprintf(micros, sizeof micros, ".%06ld", static_cast<long>(tv.tv_usec));
    return std::string(date) + micros;
}

std::string hex(unsigned value, int width) {
    char text[16] = {};
    std::snprintf(text, sizeof text, "%0*X", width, value);
    return text;
}

// Appends the "failed subtags" list of an add, edit or remove to the message.
void appendFailedSubTags(std::string& message, const std::vector<std::string>& failed) {
    for (size_t i = 0; i < failed.size(); ++i) {
        message += (i == 0 ? ", but failed subtags - \"" : ", \"");
        message += failed[i];
        message += "\"";
    }
}

// Reads a trimmed string member of a map; empty when absent or not a string.
std::string trimmedString(const Variant::MapType& map, const char* key) {
    auto it = map.find(key);
    if (it == map.end() || !it->second.is_string()) {
        return std::string();
    }
    std::string text = it->second.as_string();
    Tessel_TrimString(text);
    return text;
}

}  // namespace

// ===================================================================================== lifecycle

EipDevice::EipDevice() : callbacks_(std::make_shared<EipDeviceCallbacks>()) {
    IoListenerHooks hooks;
    hooks.alias = [this] { return GetAlias(); };
    hooks.deliver = [this](const std::vector<IoValue>& batch) { enqueueIOValues(batch); };
    hooks.reopen = [this](const std::string& tagAlias, std::string& message) {
        return StartIOPollingTag(tagAlias, ioParam1_.load(), ioParam2_.load(), message);
    };
    hooks.maxValueLength = QueueData::kDataCapacity;
    ioListener_ = std::make_unique<IoListener>(std::move(hooks));
    valueQueue_ = new (std::nothrow) PriorityQueue();
    if (valueQueue_ != nullptr) {
        valueQueue_->SetMaxSize(kQueueMaxSize);
        valueQueue_->SetPriorityCount(kQueuePriorityCount);
    }
    StartQueueProcess();
}

EipDevice::~EipDevice() {
    // From here on no worker may start another one (the reconnect thread could
    // otherwise bring the socket thread back after it was stopped).
    shuttingDown_.store(true);
    ioListener_->Stop();
    StopSocketProcess();
    StopReconnectProcess();
    StopQueueProcess();
    DisconnectFromPLC();
    // Tag nodes stay in the tree: a removed PLC's subtree goes with its node,
    // and at shut-down the stored tree is the configuration.
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        auto remaining = std::make_shared<EipDeviceCallbacks>(*callbacks_);
        remaining->tagNodeRemoved = nullptr;
        callbacks_ = remaining;
    }
    ResetTag(kKindEM);
    ResetTag(kKindIO);
    if (valueQueue_ != nullptr) {
        valueQueue_->Clear();
        delete valueQueue_;
        valueQueue_ = nullptr;
    }
    deleteConnection();
}

void EipDevice::SetConnectionInfo(const _eipConnectInfo& info) {
    std::lock_guard<std::mutex> lock(cnxnMutex_);
    connectInfo_.alias = info.alias;
    connectInfo_.host = info.host;
    connectInfo_.port = info.port;
    connectInfo_.slot = info.slot;
    connectInfo_.family = info.family;
    alias_ = info.alias;
}

std::string EipDevice::GetAlias() const {
    std::lock_guard<std::mutex> lock(cnxnMutex_);
    return alias_;
}

_eipConnectInfo EipDevice::GetConnectionInfo() const {
    std::lock_guard<std::mutex> lock(cnxnMutex_);
    return connectInfo_;
}

_eipProductInfo EipDevice::GetProductInfo() const {
    std::lock_guard<std::mutex> lock(cnxnMutex_);
    return productInfo_;
}

// Makes the connection and handler objects of the configured family without
// installing them; logs and returns -1 on failure.
int EipDevice::makeConnectionObjects(const _eipConnectInfo& info, EipConnection*& cnxn,
                                     ProtocolHandler*& handler) {
    cnxn = EipConnection::Create(info.family, &info);
    if (cnxn == nullptr) {
        eiplog::Error("createConnection", info.alias + ": Failed to create connection instance");
        return -1;
    }
    handler = ProtocolHandlerFactory::Create(info.family);
    if (handler == nullptr) {
        eiplog::Error("createConnection",
                      info.alias + ": Failed to create protocol handler instance");
        delete cnxn;
        cnxn = nullptr;
        return -1;
    }
    return 0;
}

// Replaces the connection and handler; the old ones are deleted. Called with
// cnxnMutex_ held.
void EipDevice::installConnectionLocked(EipConnection* cnxn, ProtocolHandler* handler) {
    delete connection_;
    delete handler_;
    connection_ = cnxn;
    handler_ = handler;
    emCnxnOpen_.store(false);
    emEnabled_.store(cnxn != nullptr && cnxn->IsEMEnabled());
}

int EipDevice::createConnection() {
    const _eipConnectInfo info = GetConnectionInfo();
    EipConnection* cnxn = nullptr;
    ProtocolHandler* handler = nullptr;
    const int result = makeConnectionObjects(info, cnxn, handler);
    std::lock_guard<std::mutex> lock(cnxnMutex_);
    installConnectionLocked(cnxn, handler);
    return result;
}

void EipDevice::deleteConnection() {
    std::lock_guard<std::mutex> lock(cnxnMutex_);
    installConnectionLocked(nullptr, nullptr);
}

bool EipDevice::tcpSocketOpen() {
    std::lock_guard<std::mutex> lock(cnxnMutex_);
    return connection_ != nullptr && connection_->GetSocketFd() >= 0;
}

// Connect, register, identity, Forward Open on a connection that no other
// thread sees yet. 0, or the failing step's result (logged).
int EipDevice::connectSequence(const std::string& alias, EipConnection* cnxn,
                               const _eipConnectInfo& info, _eipProductInfo& product,
                               bool& emOpen) {
    emOpen = false;
    if (cnxn->Connect(info.host, info.port, EipConnection::kConnectTimeoutSeconds) != 0) {
        eiplog::Error("ConnectToPLC", alias + ": Connect to PLC failed.");
        return -1;
    }
    if (cnxn->RegiSession(EipConnection::kConnectTimeoutSeconds) != 0) {
        eiplog::Error("ConnectToPLC", alias + ": Register session to PLC failed.");
        return -1;
    }
    if (cnxn->ReadPLCProductInfo(info.slot, product) != 0) {
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
    if (cnxn->IsEMEnabled()) {
        const int result = cnxn->OpenEMConnection(kEMConnectionRpiMs);
        if (result != 0) {
            eiplog::Error("ConnectToPLC", alias + ": Open EM Connection fail.");
            return result;
        }
        eiplog::Info("ConnectToPLC", alias + ": success to open em connection");
        emOpen = true;
    }
    return 0;
}

int EipDevice::ConnectToPLC(const _eipConnectInfo& info, bool restore) {
    eiplog::Info("ConnectToPLC", GetAlias() + ": Try to connect PLC - " + info.host);
    int result = 0;
    bool alreadyConnected = false;
    {
        std::lock_guard<std::mutex> lock(cnxnMutex_);
        if (connection_ != nullptr && connection_->GetSocketFd() >= 0) {
            eiplog::Error("ConnectToPLC", alias_ + ": Already connected!");
            connection_->Disconnect();
            emCnxnOpen_.store(false);
            alreadyConnected = true;
            result = -1;
        }
    }
    if (!alreadyConnected) {
        SetConnectionInfo(info);
        // The connection is built and opened privately and installed only once
        // the sequence is over, so the socket thread never sees a half-open one.
        EipConnection* cnxn = nullptr;
        ProtocolHandler* handler = nullptr;
        _eipProductInfo product = GetProductInfo();
        bool emOpen = false;
        result = makeConnectionObjects(info, cnxn, handler);
        if (result == 0) {
            result = connectSequence(info.alias, cnxn, info, product, emOpen);
            if (result != 0) {
                cnxn->Disconnect();
            }
        }
        {
            std::lock_guard<std::mutex> lock(cnxnMutex_);
            installConnectionLocked(cnxn, handler);
            if (result == 0) {
                productInfo_ = product;
                emCnxnOpen_.store(emOpen);
            }
        }
        if (result == 0) {
            // A fresh session has no request outstanding.
            cycleRestart_.store(true);
            if (emOpen) {
                ChangeEMCnxnState(EM_CNXN_READY, true);
            }
            ChangeUCMMState(UCMM_READY, true);
            startWorkerIfNone(Worker::Socket);
            neverConnected_.store(false);
            CreatePersistenceTag();
            return 0;
        }
    }
    if (restore && !workerExists(Worker::Reconnect)) {
        StartReconnectProcess();
        return 0;
    }
    return result;
}

int EipDevice::DisconnectFromPLC() {
    {
        std::lock_guard<std::mutex> lock(cnxnMutex_);
        if (connection_ != nullptr) {
            if (emEnabled_.load() && emCnxnOpen_.load()) {
                connection_->CloseEMConnection();
            }
            emCnxnOpen_.store(false);
            eiplog::Info("DisconnectFromPLC",
                         eiplog::Text(alias_, ": close socket=", connection_->GetSocketFd()));
            connection_->Disconnect();
        } else {
            emCnxnOpen_.store(false);
        }
    }
    ChangeEMCnxnState(EM_CNXN_NON_EXIST, true);
    ChangeUCMMState(UCMM_NON_EXIST, true);
    eiplog::Info("DisconnectFromPLC", GetAlias() + ": Close em connection");
    return 0;
}

bool EipDevice::IsCnxnUp() {
    std::lock_guard<std::mutex> lock(cnxnMutex_);
    return handler_ != nullptr && handler_->IsConnectionUp(ucmmState_.load(), emCnxnState_.load());
}

void EipDevice::ChangeEMCnxnState(uint8_t state, bool notify) {
    emCnxnState_.store(state);
    if (notify) {
        auto cb = callbacks();
        if (cb->emCnxnState) {
            cb->emCnxnState(GetAlias(), state);
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

void EipDevice::notifyStates(uint8_t em, uint8_t ucmm) {
    ChangeEMCnxnState(em, true);
    ChangeUCMMState(ucmm, true);
}

void EipDevice::abortEMPolling(bool reconnect) {
    cycleRestart_.store(true);
    DisconnectFromPLC();
    if (reconnect) {
        StartReconnectProcess();
    }
}

void EipDevice::SetCallbacks(const EipDeviceCallbacks& callbacks) {
    auto installed = std::make_shared<const EipDeviceCallbacks>(callbacks);
    std::lock_guard<std::mutex> lock(callbackMutex_);
    callbacks_ = std::move(installed);
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

const char* EipDevice::workerName(Worker w) {
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
std::string EipDevice::workerLogLine(Worker w, const char* what) {
    std::string line = std::string(workerName(w)) + " " + what;
    if (w == Worker::Reconnect || w == Worker::Queue) {
        line = GetAlias() + ": " + line;
    }
    return line;
}

bool EipDevice::workerExists(Worker w) {
    std::lock_guard<std::mutex> lock(threadMutex_);
    return worker(w).thread != nullptr;
}

void EipDevice::launchWorkerLocked(Worker w) {
    WorkerThread& slot = worker(w);
    slot.running.store(true);
    slot.thread = std::make_unique<std::thread>([this, w] { runWorker(w); });
    eiplog::Info("StartProcess", workerLogLine(w, "start."));
}

// Takes the worker's thread out (under threadMutex_), stops and joins it
// without holding the lock. A worker never joins itself: asked from its own
// thread, it is only told to carry on.
void EipDevice::joinWorker(Worker w) {
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
    wakeWorkers();
    if (old != nullptr && old->joinable()) {
        old->join();
    }
}

int EipDevice::restartWorker(Worker w) {
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        WorkerThread& slot = worker(w);
        if (slot.thread != nullptr && slot.thread->get_id() == std::this_thread::get_id()) {
            slot.running.store(true);
            return 0;
        }
    }
    joinWorker(w);
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (!shuttingDown_.load() && worker(w).thread == nullptr) {
        launchWorkerLocked(w);
    }
    return 0;
}

int EipDevice::startWorkerIfNone(Worker w) {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (!shuttingDown_.load() && worker(w).thread == nullptr) {
        launchWorkerLocked(w);
    }
    return 0;
}

int EipDevice::stopWorker(Worker w) {
    joinWorker(w);
    eiplog::Info("StopProcess", workerLogLine(w, "stop."));
    return 0;
}

void EipDevice::wakeWorkers() {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    wakeCv_.notify_all();
}

bool EipDevice::sleepWhileRunning(Worker w, uint64_t micros) {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    wakeCv_.wait_for(lock, std::chrono::microseconds(micros),
                     [&] { return !worker(w).running.load(); });
    return worker(w).running.load();
}

void EipDevice::runWorker(Worker w) {
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
    return restartWorker(Worker::Socket);
}
int EipDevice::StartReconnectProcess() {
    return restartWorker(Worker::Reconnect);
}
int EipDevice::StartQueueProcess() {
    return restartWorker(Worker::Queue);
}
int EipDevice::StopSocketProcess() {
    return stopWorker(Worker::Socket);
}
int EipDevice::StopReconnectProcess() {
    return stopWorker(Worker::Reconnect);
}
int EipDevice::StopQueueProcess() {
    return stopWorker(Worker::Queue);
}

bool EipDevice::emPollingAllowed() {
    return emPollingStopped_.load() == 0 && (!emEnabled_.load() || emCnxnOpen_.load());
}

void EipDevice::SocketProcess() {
    eiplog::Info("SocketProcess", GetAlias() + ": Socket Thread enter.");
    StopReconnectProcess();
    cycleRestart_.store(true);
    while (socketThread_.running.load()) {
        if (sessionLost()) {
            eiplog::Error("SocketProcess", GetAlias() + ": EM connection lost.");
            abortEMPolling(true);
        }
        if (emPollingAllowed()) {
            const uint64_t now = steadyMicros();
            if (now - lastCycleStart_.load() >= uint64_t(emPollingInterval_.load()) * 1000) {
                lastCycleStart_.store(now);
                startEMPollingCycle(now);
            }
        }
        fd_set readSet;
        FD_ZERO(&readSet);
        int maxFd = -1;
        auto watch = [&](int fd) {
            if (fd >= 0 && fd < FD_SETSIZE) {
                FD_SET(fd, &readSet);
                maxFd = std::max(maxFd, fd);
            }
        };
        int tcpFd = -1;
        {
            std::lock_guard<std::mutex> lock(cnxnMutex_);
            if (connection_ != nullptr && (emCnxnOpen_.load() || !emEnabled_.load())) {
                tcpFd = connection_->GetSocketFd();
            }
        }
        watch(tcpFd);
        struct timeval timeout {
            0, kSelectTimeoutMicros
        };
        const int ready = select(maxFd + 1, &readSet, nullptr, nullptr, &timeout);
        if (ready < 1) {
            checkRequestTimeout();
        } else {
            if (tcpFd >= 0 && FD_ISSET(tcpFd, &readSet)) {
                handleEMTagResponse(tcpFd);
            }
        }
        usleep(kSocketPassPauseMicros);
    }
    eiplog::Info("SocketProcess", GetAlias() + ": Socket Thread exit.");
}

// A failed send closes the session's socket without a reply to wait for, so
// no time-out would ever notice it: the session is torn down and reconnected.
bool EipDevice::sessionLost() {
    std::lock_guard<std::mutex> lock(cnxnMutex_);
    const bool established =
        emEnabled_.load() ? emCnxnOpen_.load() : ucmmState_.load() != UCMM_NON_EXIST;
    return connection_ != nullptr && connection_->GetSocketFd() < 0 && established;
}

void EipDevice::checkRequestTimeout() {
    if (emPollingStopped_.load() != 0) {
        return;
    }
    const bool outstanding = emEnabled_.load()
                                 ? (emCnxnOpen_.load() && emCnxnState_.load() == EM_CNXN_BUSY)
                                 : ucmmState_.load() == UCMM_BUSY;
    if (!outstanding || steadyMicros() - requestSent_.load() < emRequestTimeout_ * 1000) {
        return;
    }
    eiplog::Error("SocketProcess", GetAlias() + ": EM tag request timed out.");
    abortEMPolling(true);
}

void EipDevice::ReconnectProcess() {
    eiplog::Info("ReconnectProcess", GetAlias() + ": Reconnect Thread enter.");
    uint64_t lastAttempt = steadyMicros();
    // Leaves only once a session is up: a connect that succeeds and is torn
    // down again by its own tag replay keeps the thread trying.
    while (reconnectThread_.running.load() && !tcpSocketOpen()) {
        const uint64_t elapsed = steadyMicros() - lastAttempt;
        if (elapsed < kRetryPeriodMicros &&
            !sleepWhileRunning(Worker::Reconnect, kRetryPeriodMicros - elapsed)) {
            break;
        }
        lastAttempt = steadyMicros();
        ConnectToPLC(GetConnectionInfo(), true);
    }
    eiplog::Info("ReconnectProcess", GetAlias() + ": Reconnect Thread exit.");
}

void EipDevice::QueueProcess() {
    while (queueThread_.running.load()) {
        if (valueQueue_ != nullptr && valueQueue_->GetCount() > 0) {
            // One callback set and alias per batch: the set is immutable once installed.
            const auto cb = callbacks();
            const std::string alias = GetAlias();
            while (valueQueue_->GetCount() > 0 && queueThread_.running.load()) {
                QueueData* record = valueQueue_->Dequeue(0);
                if (record != nullptr) {
                    dispatchValue(*cb, alias, *record);
                    PriorityQueue::DeleteData(record);
                }
            }
        }
        std::this_thread::sleep_for(kQueueIdlePause);
    }
}

void EipDevice::dispatchValue(const EipDeviceCallbacks& cb, const std::string& alias,
                              const QueueData& record) {
    const _eipTagInfo& tag = record.tagInfo;
    // A value that cannot be published (a callback that throws) must not end
    // the thread; the node tree already logs why.
    try {
        if (hasBit(tag.rwFlag, EIP_RW_FLAG_IO)) {
            if (!cb.ioTagValue) {
                return;
            }
            cb.ioTagValue(alias, tag, record.data, record.dataLen);
            std::vector<_eipSubTagInfo> subtags;
            {
                std::lock_guard<std::mutex> lock(tagMapMutex_);
                auto it = ioTagMap_.find(tag.alias);
                if (it != ioTagMap_.end()) {
                    subtags = it->second->GetSubTags();
                }
            }
            if (cb.ioSubTagValue) {
                for (const auto& subtag : subtags) {
                    cb.ioSubTagValue(alias, tag, subtag, record.data, record.dataLen);
                }
            }
        } else if (hasBit(tag.rwFlag, EIP_RW_FLAG_READ) && cb.emTagValue) {
            if (eiplog::TraceOn()) {
                eiplog::Trace("QueueProcess", alias + ": Dequeue data : " + tag.alias);
            }
            cb.emTagValue(alias, tag, record.data, record.dataLen);
        }
    } catch (const std::exception& e) {
        eiplog::Error("QueueProcess",
                      alias + ": value of " + tag.alias + " not published - " + e.what());
    }
}

// ================================================================================ polling cycle

std::map<std::string, EipTag*>& EipDevice::GetMapTag(int8_t kind) {
    return kind == kKindEM ? emTagMap_ : ioTagMap_;
}

EipTag* EipDevice::FindTagByAlias(const std::string& tagAlias, int8_t kind) {
    std::lock_guard<std::mutex> lock(tagMapMutex_);
    auto& map = GetMapTag(kind);
    auto it = map.find(tagAlias);
    return it == map.end() ? nullptr : it->second;
}

std::vector<_eipTagInfo> EipDevice::ListTagInfos(int8_t kind, uint8_t rwMask) {
    std::vector<_eipTagInfo> infos;
    std::lock_guard<std::mutex> lock(tagMapMutex_);
    for (const auto& entry : GetMapTag(kind)) {
        if (rwMask == 0 || hasBit(entry.second->GetInfo().rwFlag, rwMask)) {
            infos.push_back(entry.second->GetInfo());
        }
    }
    return infos;
}

int EipDevice::PrepareEMPolling(std::string& message) {
    std::lock_guard<std::mutex> pollingLock(pollingMutex_);
    std::lock_guard<std::mutex> mapLock(tagMapMutex_);
    pollList_.clear();
    pollCount_ = 0;
    nextIndex_ = 0;
    // A reply still on its way belongs to the previous list.
    batchStale_ = true;
    for (const auto& entry : emTagMap_) {
        if (hasBit(entry.second->GetInfo().rwFlag, EIP_RW_FLAG_READ)) {
            pollList_.push_back(entry.second);
        }
    }
    if (pollList_.empty()) {
        message = errorText(tessel::TL_ERR_READ_TAGS_NOT_EXIST);
        return -1;
    }
    pollCount_ = static_cast<uint32_t>(pollList_.size());
    return 0;
}

int EipDevice::StartEMPolling(int interval, std::string& message) {
    if (interval < 1 || interval > UINT16_MAX) {
        message = errorText(tessel::TL_ERR_INTERVAL_RANGE);
        return -1;
    }
    if (PrepareEMPolling(message) != 0) {
        return -1;
    }
    // The first cycle starts (interval mod 1000) ms from now.
    lastCycleStart_.store(steadyMicros() - uint64_t(interval / 1000) * 1000000);
    cycleRestart_.store(true);
    emPollingStopped_.store(0);
    SetEMPollingState(static_cast<uint16_t>(interval), true);
    return 0;
}

int EipDevice::StopEMPolling(std::string& message) {
    (void)message;
    emPollingStopped_.store(1);
    SetEMPollingState(0, true);
    std::lock_guard<std::mutex> lock(pollingMutex_);
    pollList_.clear();
    return 0;
}

void EipDevice::SetEMPollingState(uint16_t interval, bool notify) {
    emPollingInterval_.store(interval);
    notifyPollingState(notify);
}

void EipDevice::notifyPollingState(bool notify) {
    if (!notify) {
        return;
    }
    auto cb = callbacks();
    if (cb->actionToggle) {
        cb->actionToggle(GetAlias(), emPollingStopped_.load(), emPollingInterval_.load(),
                         ioPollingStopped_.load(), ioParam1_.load(), ioParam2_.load());
    }
}

int EipDevice::startEMPollingCycle(uint64_t now) {
    if (!cycleRestart_.exchange(false)) {
        return 1;
    }
    cycleBegin_ = now;
    const std::string alias = GetAlias();
    eiplog::Info("startEMPollingCycle", alias + ": Send EM Polling request - " + wallClockText());
    int result = 0;
    {
        std::lock_guard<std::mutex> cnxnLock(cnxnMutex_);
        std::lock_guard<std::mutex> pollingLock(pollingMutex_);
        result = RequestTags();
    }
    if (result == 0) {
        notifyStates(EM_CNXN_BUSY, UCMM_BUSY);
    } else if (emPollingStopped_.load() != 0) {
        notifyStates(EM_CNXN_READY, UCMM_READY);
    }
    return 1;
}

// Called with cnxnMutex_ and pollingMutex_ held.
int EipDevice::RequestTags() {
    if (emPollingStopped_.load() != 0) {
        eiplog::Error("RequestTags", alias_ + ": polling stopped");
        return -1;
    }
    if (connection_ == nullptr ||
        !connection_->CheckStatesForPolling(ucmmState_.load(), emCnxnState_.load())) {
        eiplog::Error("RequestTags", alias_ + ": EM CNXN or UCMM STATE not READY");
        return -2;
    }
    requestSent_.store(steadyMicros());
    batchStart_ = nextIndex_;
    batchStale_ = false;
    if (connection_->RequestEMTags(pollList_, pollCount_, nextIndex_) == 0) {
        return 0;
    }
    eiplog::Error("RequestTags", alias_ + ": Request EM Tags fail.");
    return -1;
}

void EipDevice::handleEMTagResponse(int tcpFd) {
    // About 36 KB: kept off the socket thread's stack frame of every pass.
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    std::memset(response.get(), 0, sizeof(EIPC_TAG_REQUEST_STRUCT));
    int received = 0;
    bool finished = false;
    bool notifyReady = false;
    {
        std::lock_guard<std::mutex> cnxnLock(cnxnMutex_);
        if (connection_ == nullptr || connection_->GetSocketFd() != tcpFd) {
            return;  // the session was replaced while select waited
        }
        std::lock_guard<std::mutex> pollingLock(pollingMutex_);
        const EipConnection::TagLookup lookup = [this](uint16_t index) -> EipTag* {
            return index < pollList_.size() ? pollList_[index] : nullptr;
        };
        received = connection_->RecvEMTags(*response, lookup);
        if (received >= 1) {
            OnTagsDataProc(response.get());
            emCnxnState_.store(EM_CNXN_READY);
            ucmmState_.store(UCMM_READY);
            if (nextIndex_ == 0) {
                finished = true;
            } else if (RequestTags() != 0) {
                cycleRestart_.store(true);
                notifyReady = emPollingStopped_.load() != 0;
            } else {
                emCnxnState_.store(EM_CNXN_BUSY);
                ucmmState_.store(UCMM_BUSY);
            }
        }
    }
    if (received < 1) {
        eiplog::Error("handleEMTagResponse",
                      eiplog::Text(GetAlias(), ": TCP socket close. - ", received));
        abortEMPolling(true);
        return;
    }
    if (finished) {
        char text[32] = {};
        std::snprintf(text, sizeof text, "%.2f",
                      static_cast<float>(steadyMicros() - cycleBegin_) / 1000.0f);
        eiplog::Info("handleEMTagResponse", GetAlias() + ": EM Polling time = " + text + "ms");
        notifyStates(EM_CNXN_READY, UCMM_READY);
        cycleRestart_.store(true);
    } else if (notifyReady) {
        notifyStates(EM_CNXN_READY, UCMM_READY);
    }
}

// Called with pollingMutex_ held: every poll-list pointer is a live tag.
void EipDevice::OnTagsDataProc(const EIPC_TAG_REQUEST_STRUCT* response) {
    if (emPollingStopped_.load() != 0 || pollList_.empty() || response->count == 0 || batchStale_) {
        return;
    }
    const size_t items = std::min<size_t>(response->count, EIPC_TAG_REPLY_MAX);
    const bool trace = eiplog::TraceOn();
    std::lock_guard<std::mutex> mapLock(tagMapMutex_);
    for (size_t i = 0; i < items && batchStart_ + i < pollList_.size(); ++i) {
        EipTag* tag = pollList_[batchStart_ + i];
        _eipTagInfo& info = tag->GetInfo();
        const bool exists = emTagMap_.count(info.alias) != 0;
        if (trace) {
            eiplog::Trace("OnTagsDataProc", alias_ + ": OnTagsDataProc : [" + info.alias +
                                                "], exists : " + (exists ? "true" : "false"));
        }
        const EIPC_TAG_REPLY_STRUCT& item = response->replies[i];
        if (!exists || !acceptReadReply(info, item)) {
            continue;
        }
        if (item.dataLength != info.dataLen) {
            info.dataLen = item.dataLength;
        }
        enqueueValue(info, item.data, item.dataLength);
    }
}

// One value into the queue at priority 0, carrying its own length in its tag
// record.
void EipDevice::enqueueValue(const _eipTagInfo& info, const uint8_t* data, size_t length) {
    QueueData* record = PriorityQueue::NewData();
    if (record == nullptr) {
        return;
    }
    record->priority = 0;
    record->tagInfo = info;
    record->tagInfo.dataLen = static_cast<int32_t>(length);
    if (!record->SetData(data, length) || valueQueue_ == nullptr ||
        valueQueue_->Enqueue(record) < 1) {
        PriorityQueue::DeleteData(record);
    }
}

// A read the controller refused, or a value larger than a queue record, is not
// published; the first failure of a tag and its recovery are logged.
bool EipDevice::acceptReadReply(const _eipTagInfo& info, const EIPC_TAG_REPLY_STRUCT& item) {
    std::string problem;
    if (item.generalStatus != 0) {
        problem = eiplog::Text("read refused by the PLC (status 0x", hex(item.generalStatus, 2),
                               ", 0x", hex(item.extStatus, 4), ")");
    } else if (item.dataLength == 0 || item.dataLength > QueueData::kDataCapacity) {
        problem = eiplog::Text("value of ", item.dataLength, " bytes not published (1 to ",
                               QueueData::kDataCapacity, " bytes)");
    }
    const bool failedBefore = failingTags_.count(info.alias) != 0;
    if (problem.empty()) {
        if (failedBefore) {
            failingTags_.erase(info.alias);
            eiplog::Info("OnTagsDataProc", alias_ + ": " + info.alias + " is read again");
        }
        return true;
    }
    if (!failedBefore) {
        failingTags_.insert(info.alias);
        eiplog::Error("OnTagsDataProc", alias_ + ": " + info.alias + " - " + problem);
    }
    return false;
}

// Takes a tag out of the poll list (or puts its replacement in its place).
// Called with pollingMutex_ held. When the tag belongs to the outstanding
// request, that request's reply no longer lines up with the list and is dropped.
void EipDevice::forgetPolledTagLocked(EipTag* tag, EipTag* replacement) {
    auto it = std::find(pollList_.begin(), pollList_.end(), tag);
    if (it == pollList_.end()) {
        return;
    }
    const size_t index = static_cast<size_t>(it - pollList_.begin());
    const size_t batchEnd = nextIndex_ == 0 ? pollList_.size() : nextIndex_;
    if (index >= batchStart_ && index < batchEnd) {
        batchStale_ = true;
    }
    if (replacement != nullptr) {
        *it = replacement;
        return;
    }
    pollList_.erase(it);
    pollCount_ = static_cast<uint32_t>(pollList_.size());
    if (index < batchStart_) {
        --batchStart_;
    }
    if (index < nextIndex_) {
        --nextIndex_;
    }
    if (nextIndex_ >= pollList_.size()) {
        nextIndex_ = 0;
    }
}

// ==================================================================================== I/O tags

int EipDevice::StartIOPolling(int interval, uint16_t udpPort, std::string& message) {
    int started = 0;
    for (const auto& info : ListTagInfos(kKindIO, EIP_RW_FLAG_IO)) {
        if (StartIOPollingTag(info.alias, interval, udpPort, message) == 0) {
            ++started;
        }
    }
    return started;
}

// Opens the tag's class-1 connection on a session of its own and hands it to
// the listener; the first one also opens the UDP socket and marks listening
// as running.
int EipDevice::StartIOPollingTag(const std::string& tagAlias, int interval, uint16_t udpPort,
                                 std::string& message) {
    _eipTagInfo info;
    {
        std::lock_guard<std::mutex> lock(tagMapMutex_);
        auto it = ioTagMap_.find(tagAlias);
        if (it == ioTagMap_.end()) {
            message = errorText(tessel::TL_ERR_TAG_NOT_EXIST);
            return -1;
        }
        info = it->second->GetInfo();
    }
    const _eipConnectInfo connectInfo = GetConnectionInfo();
    std::unique_ptr<EipConnection> session(EipConnection::MakeTestConnection(connectInfo, message));
    if (session == nullptr) {
        if (message.empty()) {
            message = errorText(tessel::TL_ERR_START_LISTENING);
        }
        return -1;
    }
    auto connection = std::make_unique<EipIoConnection>(std::move(session));
    bool opened = false;
    if (interval < 0 || interval > 0xFFFF ||
        connection->OpenIOConnection(info, GetProductInfo(), static_cast<uint16_t>(interval),
                                     udpPort) != 0 ||
        ioListener_->OpenSocket(connectInfo.host, udpPort, opened) < 0 ||
        !ioListener_->Add(info, std::move(connection))) {
        message = errorText(tessel::TL_ERR_START_LISTENING);
        return -1;
    }
    if (opened) {
        ioPollingStopped_.store(0);
        SetIOPollingState(static_cast<uint16_t>(interval), udpPort, true);
    }
    return 0;
}

int EipDevice::StopIOPolling(std::string& message) {
    (void)message;
    ioListener_->Stop();
    ioPollingStopped_.store(1);
    SetIOPollingState(0, 0, true);
    return 0;
}

void EipDevice::enqueueIOValues(const std::vector<IoValue>& batch) {
    for (const IoValue& value : batch) {
        enqueueValue(*value.tag, value.data.data, value.data.size);
    }
}

void EipDevice::SetIOPollingState(uint16_t ioParam1, uint16_t ioParam2, bool notify) {
    ioParam1_.store(ioParam1);
    ioParam2_.store(ioParam2);
    notifyPollingState(notify);
}

// ============================================================================= tag operations

std::unique_ptr<ProtocolHandler> EipDevice::familyHandler() {
    return std::unique_ptr<ProtocolHandler>(
        ProtocolHandlerFactory::Create(GetConnectionInfo().family));
}

int EipDevice::fail(int code, std::string& message) {
    message = errorText(code);
    return code;
}

// The alias a remove or write request names; a PCCC tag may be named by its
// file address alone.
std::string EipDevice::requestedTagAlias(const Variant::MapType& map) const {
    std::string alias = trimmedString(map, "Tag Alias");
    if (alias.empty() && GetConnectionInfo().family == EIP_PROTOCOL_FAMILY_PCCC) {
        alias = trimmedString(map, "Tag Name");
    }
    return alias;
}

int EipDevice::AddTag(EipConnection* testCnxn, const Variant& tagObject, int8_t kind,
                      std::string& tagAlias, std::string& message, bool restore) {
    tagAlias = "Unknown";
    message.clear();
    auto handler = familyHandler();
    if (handler == nullptr) {
        return fail(tessel::TL_ERR_ADD_TAG, message);
    }
    TagParameterParser parser(kind, Variant(tagObject));
    int result = parser.ParseForAdd(*handler);
    if (result != 0) {
        return fail(result, message);
    }
    parser.FillMissingWithDefaults();
    _eipTagInfo& info = parser.GetInfo();
    handler->PreProcessTagInfo(info);
    if (!info.alias.empty()) {
        tagAlias = info.alias;
    }
    result = validateTagInfoOnAddTag(kind, info);
    if (result != 0) {
        return fail(result, message);
    }
    EipTag* tag =
        createCheckedTag(testCnxn, info, tessel::TL_ERR_ADD_TAG, restore, result, message);
    if (tag == nullptr) {
        return result;
    }
    return doAddTag(kind, tag, parser.GetSubtags(), message);
}

int EipDevice::validateTagInfoOnAddTag(int8_t kind, const _eipTagInfo& info) {
    int result = TagInfoValidator(kind).Validate(info);
    if (result != 0) {
        return result;
    }
    if (IsTagAliasExist(info.alias, kind)) {
        return tessel::TL_ERR_TAG_ALIAS_EXISTS;
    }
    if (IsTagNameExist(info.tagName, kind, info.alias)) {
        return tessel::TL_ERR_TAG_NAME_EXISTS;
    }
    auto handler = familyHandler();
    return handler == nullptr ? tessel::TL_ERR_ADD_TAG : handler->ValidateTagInfoOnAdd(info);
}

int EipDevice::validateTagInfoOnEditTag(int8_t kind, const _eipTagInfo& info) {
    int result = TagInfoValidator(kind).Validate(info);
    if (result != 0) {
        return result;
    }
    auto handler = familyHandler();
    return handler == nullptr ? tessel::TL_ERR_EDIT_TAG : handler->ValidateTagInfoOnEdit(info);
}

// The tag of info, built and checked against the PLC through testCnxn; null with `result` set
// when either fails (failCode when building fails without a message). A tag the PLC does not
// have is kept when allowMissing (restoring a stored configuration).
EipTag* EipDevice::createCheckedTag(EipConnection* testCnxn, const _eipTagInfo& info, int failCode,
                                    bool allowMissing, int& result, std::string& message) {
    EipTag* tag = createTag(info, message);
    if (tag == nullptr) {
        result = message.empty() ? fail(failCode, message) : tessel::TL_ERR_INVALID_TAG_NAME;
        return nullptr;
    }
    result = testAndUpdateTag(testCnxn, tag, message);
    if (result != 0 && !(allowMissing && result == -tessel::TL_ERR_TAG_NOT_FOUND_IN_PLC)) {
        delete tag;
        return nullptr;
    }
    return tag;
}

EipTag* EipDevice::createTag(const _eipTagInfo& info, std::string& message) {
    EipTag* tag = EipTag::Create(GetConnectionInfo().family);
    if (tag == nullptr) {
        eiplog::Error("createTag", GetAlias() + ": Create tag fail - " + info.alias);
        return nullptr;
    }
    tag->SetInfo(info);
    if (tag->ParsingTagName() < 0) {
        message = errorText(tessel::TL_ERR_INVALID_TAG_NAME);
        delete tag;
        return nullptr;
    }
    return tag;
}

int EipDevice::testAndUpdateTag(EipConnection* cnxn, EipTag* tag, std::string& message) {
    _eipTagInfo& info = tag->GetInfo();
    if (hasBit(info.rwFlag, EIP_RW_FLAG_IO)) {
        info.innerType = EIP_INNER_TYPE_SINT;
        return 0;
    }
    tag->SetTested(false);
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    std::memset(response.get(), 0, sizeof(EIPC_TAG_REQUEST_STRUCT));
    // A read the controller answers without an item, or with an error status
    // for the item, is a tag the PLC does not know either.
    if (cnxn == nullptr || cnxn->TestEMTag(tag, *response) != 0 || response->count < 1 ||
        response->replies[0].generalStatus != 0) {
        message = errorText(tessel::TL_ERR_TAG_NOT_FOUND_IN_PLC);
        return -tessel::TL_ERR_TAG_NOT_FOUND_IN_PLC;
    }
    const EIPC_TAG_REPLY_STRUCT& item = response->replies[0];
    const int32_t type = item.dataType;
    const int32_t supported = EipTag::SupportInnerType(type);
    if (supported != 0) {
        message = errorText(supported) + "(type=0x" + hex(static_cast<unsigned>(type), 4) + ")";
        return -1;
    }
    if (type == EIP_INNER_TYPE_STRUCTURE && item.structHandle != EIP_STRING_STRUCT_HANDLE) {
        info.rwFlag = static_cast<uint8_t>(info.rwFlag & ~EIP_RW_FLAG_WRITE);
        message = errorText(tessel::TL_ERR_STRUCT_RAW_ONLY);
    }
    info.innerType = type;
    info.structHandle = item.structHandle;
    info.dataLen = item.dataLength;
    tag->SetTested(true);
    return 0;
}

// Gives an I/O tag its "Data" subtag covering the whole data.
void EipDevice::addDataSubTag(EipTag* tag, std::vector<_eipSubTagInfo>& added) {
    const _eipTagInfo& info = tag->GetInfo();
    if (hasBit(info.rwFlag, EIP_RW_FLAG_IO)) {
        const _eipSubTagInfo data{EIP_SUBTAG_DATA_ALIAS, 0, EIP_INNER_TYPE_SINT, info.dataLen};
        if (tag->AddSubTag(data) == 0) {
            added.push_back(data);
        }
    }
}

// Adds the subtags of a "Subtags" list to the tag; failures are listed in the
// message.
void EipDevice::addListedSubTags(EipTag* tag, const std::vector<Variant>& subtagList,
                                 std::vector<_eipSubTagInfo>& added, std::string& message) {
    std::vector<std::string> failed;
    for (const Variant& element : subtagList) {
        if (!element.is_map()) {
            continue;
        }
        _eipSubTagInfo subtag;
        int fields = 0;
        EipTag::JsonToSubTagInfo(element, subtag, fields);
        if (fields == EIP_SUBTAG_FIELDS_ALL && !subtag.alias.empty() &&
            tag->AddSubTag(subtag) == 0) {
            added.push_back(subtag);
        } else {
            failed.push_back(subtag.alias);
        }
    }
    appendFailedSubTags(message, failed);
}

int EipDevice::doAddTag(int8_t kind, EipTag* tag, const std::vector<Variant>& subtagList,
                        std::string& message) {
    std::vector<_eipSubTagInfo> subtags;
    if (!IsTagAliasExist(tag->GetInfo().alias, kind)) {
        addDataSubTag(tag, subtags);
        addListedSubTags(tag, subtagList, subtags, message);
    }
    if (AddTagToMap(tag, kind, &subtags) != 0) {
        return fail(tessel::TL_ERR_ADD_TAG, message);
    }
    return 0;
}

int EipDevice::AddTagToMap(EipTag* tag, int8_t kind, std::vector<_eipSubTagInfo>* subtags) {
    const _eipTagInfo info = tag->GetInfo();
    const std::string alias = GetAlias();
    {
        std::lock_guard<std::mutex> lock(tagMapMutex_);
        auto& map = GetMapTag(kind);
        if (map.count(info.alias) != 0) {
            eiplog::Error("AddTagToMap", alias + ": Tag is already exist - " + info.alias);
            delete tag;
            return -1;
        }
        if (eiplog::TraceOn()) {
            eiplog::Trace("AddTagToMap",
                          "Add a tag : name=\"" + info.tagName + "\", alias=\"" + info.alias +
                              "\", elementCnt=\"" + std::to_string(info.elementCount) +
                              "\", inner type=\"" + EipTag::InnerTypeToStr(info.innerType) + "\"");
        }
        map.emplace(info.alias, tag);
    }
    auto cb = callbacks();
    if (cb->tagNodeCreated) {
        cb->tagNodeCreated(alias, info, subtags);
    }
    return 0;
}

int EipDevice::RemoveTagFromMap(const std::string& tagAlias, int8_t kind, bool notify) {
    EipTag* tag = nullptr;
    {
        std::lock_guard<std::mutex> pollingLock(pollingMutex_);
        std::lock_guard<std::mutex> mapLock(tagMapMutex_);
        auto& map = GetMapTag(kind);
        auto it = map.find(tagAlias);
        if (it == map.end()) {
            eiplog::Info("RemoveTagFromMap", alias_ + ": Tag alias is not exist - " + tagAlias);
            return -1;
        }
        tag = it->second;
        forgetPolledTagLocked(tag, nullptr);
        map.erase(it);
    }
    const _eipTagInfo info = tag->GetInfo();
    std::vector<_eipSubTagInfo> subtags = tag->GetSubTags();
    delete tag;
    auto cb = callbacks();
    if (notify && cb->tagNodeRemoved) {
        cb->tagNodeRemoved(GetAlias(), info, &subtags);
    }
    return 0;
}

int EipDevice::ResetTag(int8_t kind) {
    for (;;) {
        std::string first;
        {
            std::lock_guard<std::mutex> lock(tagMapMutex_);
            auto& map = GetMapTag(kind);
            if (map.empty()) {
                return 0;
            }
            first = map.begin()->first;
        }
        const int result = RemoveTagFromMap(first, kind, true);
        if (result != 0) {
            eiplog::Info("ResetTag", "fail to remove tag from map");
            return result;
        }
    }
}

bool EipDevice::IsTagAliasExist(const std::string& tagAlias, int8_t kind) {
    return FindTagByAlias(tagAlias, kind) != nullptr;
}

bool EipDevice::IsTagNameExist(const std::string& tagName, int8_t kind,
                               const std::string& ignoreAlias) {
    std::lock_guard<std::mutex> lock(tagMapMutex_);
    for (const auto& entry : GetMapTag(kind)) {
        if (entry.first != ignoreAlias && entry.second->GetInfo().tagName == tagName) {
            return true;
        }
    }
    return false;
}

int EipDevice::RemoveTag(const Variant& tagObject, int8_t kind, std::string& tagAlias,
                         std::string& message) {
    tagAlias = "Unknown";
    message.clear();
    if (!tagObject.is_map()) {
        return fail(tessel::TL_ERR_INVALID_JSON, message);
    }
    const auto& map = tagObject.as_map();
    const std::string alias = requestedTagAlias(map);
    if (alias.empty()) {
        return fail(tessel::TL_ERR_TAG_ALIAS_NOT_INSERTED, message);
    }
    tagAlias = alias;
    auto subtags = map.find("Subtags");
    if (subtags == map.end() || !subtags->second.is_array()) {
        if (RemoveTagFromMap(alias, kind, true) != 0) {
            return fail(tessel::TL_ERR_REMOVE_TAG, message);
        }
        return 0;
    }
    std::vector<std::string> failed;
    for (const Variant& element : subtags->second.as_array()) {
        std::string subAlias;
        if (element.is_string()) {
            subAlias = element.as_string();
            Tessel_TrimString(subAlias);
        } else if (element.is_map()) {
            _eipSubTagInfo subtag;
            int fields = 0;
            subAlias = EipTag::JsonToSubTagInfo(element, subtag, fields);
        }
        if (subAlias.empty() || RemoveSubTag(alias, subAlias, true) != 0) {
            failed.push_back(subAlias);
        }
    }
    appendFailedSubTags(message, failed);
    return 0;
}

int EipDevice::EditTag(EipConnection* testCnxn, const Variant& tagObject, int8_t kind,
                       std::string& tagAlias, std::string& message) {
    tagAlias = "Unknown";
    message.clear();
    auto handler = familyHandler();
    if (handler == nullptr) {
        return fail(tessel::TL_ERR_EDIT_TAG, message);
    }
    TagParameterParser parser(kind, Variant(tagObject));
    int result = parser.ParseForEdit(*handler);
    if (result != 0) {
        return fail(result, message);
    }
    _eipTagInfo& info = parser.GetInfo();
    _eipTagInfo& extra = parser.GetExtra();
    handler->PreProcessTagInfo(info);
    if (info.alias.empty()) {
        return fail(tessel::TL_ERR_TAG_ALIAS_NOT_INSERTED, message);
    }
    const std::string oldAlias = info.alias;
    tagAlias = oldAlias;
    _eipTagInfo old;
    {
        std::lock_guard<std::mutex> lock(tagMapMutex_);
        auto& map = GetMapTag(kind);
        auto it = map.find(oldAlias);
        if (it == map.end()) {
            return fail(tessel::TL_ERR_TAG_NOT_EXIST, message);
        }
        old = it->second->GetInfo();
    }
    result = handler->PostProcessTagInfoOnEdit(info, extra, old);
    if (result != 0) {
        return fail(result, message);
    }
    const std::string newAlias = extra.alias;
    if (!newAlias.empty() && newAlias != oldAlias && IsTagAliasExist(newAlias, kind)) {
        return fail(tessel::TL_ERR_NEW_TAG_ALIAS_EXISTS, message);
    }
    if (!info.tagName.empty() && info.tagName != old.tagName &&
        IsTagNameExist(info.tagName, kind, oldAlias)) {
        return fail(tessel::TL_ERR_TAG_NAME_EXISTS, message);
    }
    parser.CopyMissingFrom(old);
    if (!newAlias.empty()) {
        info.alias = newAlias;
    }
    result = validateTagInfoOnEditTag(kind, info);
    if (result != 0) {
        return fail(result, message);
    }
    EipTag* tag = createCheckedTag(testCnxn, info, tessel::TL_ERR_EDIT_TAG, false, result, message);
    if (tag == nullptr) {
        return result;
    }
    return doEditTag(kind, oldAlias, tag, parser.GetSubtags(), message);
}

// Replaces the tag under oldAlias by newTag in one step under the locks; the
// poll list gets the new tag in the old one's place (or loses it when the new
// tag is not read). An I/O tag keeps the subtags that still fit its data.
int EipDevice::doEditTag(int8_t kind, const std::string& oldAlias, EipTag* newTag,
                         const std::vector<Variant>& subtagList, std::string& message) {
    const _eipTagInfo info = newTag->GetInfo();
    std::vector<_eipSubTagInfo> keptSubTags;
    if (EipTag* current = FindTagByAlias(oldAlias, kind)) {
        keptSubTags = current->GetSubTags();
    }
    std::vector<_eipSubTagInfo> subtags;
    addDataSubTag(newTag, subtags);
    std::vector<std::string> dropped;
    for (const auto& subtag : keptSubTags) {
        if (subtag.alias == EIP_SUBTAG_DATA_ALIAS) {
            continue;
        }
        if (newTag->AddSubTag(subtag) == 0) {
            subtags.push_back(subtag);
        } else {
            dropped.push_back(subtag.alias);
        }
    }
    appendFailedSubTags(message, dropped);
    addListedSubTags(newTag, subtagList, subtags, message);

    EipTag* oldTag = nullptr;
    {
        std::lock_guard<std::mutex> pollingLock(pollingMutex_);
        std::lock_guard<std::mutex> mapLock(tagMapMutex_);
        auto& map = GetMapTag(kind);
        auto it = map.find(oldAlias);
        if (it == map.end()) {
            delete newTag;
            return fail(tessel::TL_ERR_REMOVE_TAG, message);
        }
        if (info.alias != oldAlias && map.count(info.alias) != 0) {
            delete newTag;
            return fail(tessel::TL_ERR_ADD_TAG, message);
        }
        oldTag = it->second;
        forgetPolledTagLocked(oldTag, hasBit(info.rwFlag, EIP_RW_FLAG_READ) ? newTag : nullptr);
        map.erase(it);
        map.emplace(info.alias, newTag);
    }
    const _eipTagInfo oldInfo = oldTag->GetInfo();
    std::vector<_eipSubTagInfo> oldSubTags = oldTag->GetSubTags();
    delete oldTag;
    auto cb = callbacks();
    const std::string alias = GetAlias();
    if (cb->tagNodeRemoved) {
        cb->tagNodeRemoved(alias, oldInfo, &oldSubTags);
    }
    if (cb->tagNodeCreated) {
        cb->tagNodeCreated(alias, info, &subtags);
    }
    return 0;
}

int EipDevice::WriteTag(EipConnection* testCnxn, const Variant& tagObject, int8_t kind,
                        std::string& tagAlias, std::string& message) {
    tagAlias = "Unknown";
    message.clear();
    if (!tagObject.is_map()) {
        return fail(tessel::TL_ERR_INVALID_JSON, message);
    }
    const auto& map = tagObject.as_map();
    const std::string alias = requestedTagAlias(map);
    if (!alias.empty()) {
        tagAlias = alias;
    }
    auto value = map.find("value");
    if (value == map.end()) {
        return fail(tessel::TL_ERR_INVALID_JSON, message);
    }
    return WriteTagByAlias(testCnxn, alias, value->second, kind, message);
}

int EipDevice::WriteTagByAlias(EipConnection* cnxn, const std::string& tagAlias,
                               const Variant& value, int8_t kind, std::string& message) {
    message.clear();
    if (tagAlias.empty()) {
        return fail(tessel::TL_ERR_TAG_ALIAS_NOT_INSERTED, message);
    }
    // The tag stays locked for the write: its encoded address is used in place.
    std::lock_guard<std::mutex> lock(tagMapMutex_);
    auto& map = GetMapTag(kind);
    auto it = map.find(tagAlias);
    if (it == map.end()) {
        return fail(tessel::TL_ERR_TAG_NOT_EXIST, message);
    }
    const EipTag* tag = it->second;
    if (!hasBit(tag->GetInfo().rwFlag, EIP_RW_FLAG_WRITE)) {
        return fail(tessel::TL_ERR_TAG_NOT_WRITEABLE, message);
    }
    uint8_t bytes[QueueData::kDataCapacity] = {};
    const int32_t length = tag->ConvertVexa2Raw(value, bytes, sizeof bytes);
    if (length <= 0) {
        return fail(tessel::TL_ERR_INVALID_VALUE, message);
    }
    if (cnxn == nullptr || cnxn->WriteDataToTag(tag->GetInfo(), tag->GetTagData(), bytes,
                                                static_cast<uint16_t>(length)) != 0) {
        return fail(tessel::TL_ERR_WRITE_TAG, message);
    }
    return 0;
}

// ======================================================================================= subtags

// Runs fn on the I/O tag under the tag-map lock; logs and returns false when
// the tag does not exist.
template <typename Fn>
bool EipDevice::withIOTag(const char* operation, const std::string& tagAlias, Fn fn) {
    std::lock_guard<std::mutex> lock(tagMapMutex_);
    auto it = ioTagMap_.find(tagAlias);
    if (it == ioTagMap_.end()) {
        eiplog::Error(operation, alias_ + ": Tag alias does not exist - " + tagAlias);
        return false;
    }
    fn(*it->second);
    return true;
}

int EipDevice::AddSubTag(const std::string& tagAlias, const _eipSubTagInfo& subtag, bool notify) {
    int result = -1;
    _eipTagInfo info;
    withIOTag("AddSubTag", tagAlias, [&](EipTag& tag) {
        result = tag.AddSubTag(subtag);
        info = tag.GetInfo();
    });
    auto cb = callbacks();
    if (result == 0 && notify && cb->subTagNodeCreated) {
        cb->subTagNodeCreated(GetAlias(), info, subtag);
    }
    return result;
}

int EipDevice::EditSubTag(const std::string& tagAlias, const std::string& oldSubTagAlias,
                          const _eipSubTagInfo& subtag, bool notify) {
    int result = -1;
    _eipTagInfo info;
    _eipSubTagInfo old;
    withIOTag("EditSubTag", tagAlias, [&](EipTag& tag) {
        old = tag.GetSubTagInfo(oldSubTagAlias);
        result = tag.EditSubTag(oldSubTagAlias, subtag);
        info = tag.GetInfo();
    });
    // "Data" is fixed: the edit succeeds without changing anything.
    if (result != 0 || !notify || oldSubTagAlias == EIP_SUBTAG_DATA_ALIAS) {
        return result;
    }
    auto cb = callbacks();
    const std::string alias = GetAlias();
    if (cb->subTagNodeRemoved) {
        cb->subTagNodeRemoved(alias, info, old);
    }
    if (cb->subTagNodeCreated) {
        cb->subTagNodeCreated(alias, info, subtag);
    }
    return 0;
}

int EipDevice::RemoveSubTag(const std::string& tagAlias, const std::string& subTagAlias,
                            bool notify) {
    int result = -1;
    _eipTagInfo info;
    _eipSubTagInfo old;
    withIOTag("RemoveSubTag", tagAlias, [&](EipTag& tag) {
        old = tag.GetSubTagInfo(subTagAlias);
        result = tag.RemoveSubTag(subTagAlias);
        info = tag.GetInfo();
    });
    auto cb = callbacks();
    if (result == 0 && notify && subTagAlias != EIP_SUBTAG_DATA_ALIAS && cb->subTagNodeRemoved) {
        cb->subTagNodeRemoved(GetAlias(), info, old);
    }
    return result;
}

int EipDevice::ImportSubTags(const std::string& tagAlias, const Variant& subtags,
                             std::string& message) {
    message.clear();
    if (!subtags.is_array()) {
        return fail(tessel::TL_ERR_INVALID_JSON, message);
    }
    bool failed = false;
    for (const Variant& element : subtags.as_array()) {
        _eipSubTagInfo subtag;
        int fields = 0;
        EipTag::JsonToSubTagInfo(element, subtag, fields);
        if (subtag.alias.empty() || AddSubTag(tagAlias, subtag, true) != 0) {
            failed = true;
        }
    }
    return failed ? fail(tessel::TL_ERR_IMPORT_SUBTAG, message) : 0;
}

// ================================================================================== persistence

void EipDevice::AddPersistenceTagStr(const NodePath& path, const std::string& text) {
    std::lock_guard<std::mutex> lock(persistMutex_);
    persistedTagStrings_.emplace(path, text);
}

void EipDevice::AddPersistenceSubTagStr(const NodePath& path, const _eipSubTagInfo& subtag) {
    std::lock_guard<std::mutex> lock(persistMutex_);
    persistedSubTags_.emplace(path, subtag);
}

void EipDevice::CreatePersistenceTag() {
    const bool never = neverConnected_.load();
    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(persistMutex_);
        count = persistedTagStrings_.size();
    }
    eiplog::Info("CreatePersistenceTag", "Create previous tags count - " + std::to_string(count) +
                                             (never ? " but not excute" : ""));
    const std::string alias = GetAlias();
    auto cb = callbacks();
    if (cb->productInfo) {
        cb->productInfo(alias, GetProductInfo());
    }
    notifyPollingState(true);
    if (never) {
        return;
    }
    if (!replayPersistedTags(*cb)) {
        return;
    }
    std::string message;
    if (emPollingInterval_.load() != 0 && emPollingStopped_.load() != 0) {
        StartEMPolling(emPollingInterval_.load(), message);
    }
    if (ioParam1_.load() != 0 && ioPollingStopped_.load() != 0) {
        StartIOPolling(ioParam1_.load(), ioParam2_.load(), message);
    }
    notifyStates(emCnxnState_.load(), ucmmState_.load());
}

// Replays the stored tags and subtags; false (entries kept for the next
// connection, reconnect started) when no test connection can be made.
bool EipDevice::replayPersistedTags(const EipDeviceCallbacks& cb) {
    std::map<NodePath, std::string> tagStrings;
    std::map<NodePath, _eipSubTagInfo> subtags;
    {
        std::lock_guard<std::mutex> lock(persistMutex_);
        tagStrings.swap(persistedTagStrings_);
        subtags.swap(persistedSubTags_);
    }
    if (tagStrings.empty() && subtags.empty()) {
        return true;
    }
    EipConnection* test = nullptr;
    if (!tagStrings.empty()) {
        std::string message;
        test = EipConnection::MakeTestConnection(GetConnectionInfo(), message);
        if (test == nullptr) {
            {
                std::lock_guard<std::mutex> lock(persistMutex_);
                persistedTagStrings_.insert(tagStrings.begin(), tagStrings.end());
                persistedSubTags_.insert(subtags.begin(), subtags.end());
            }
            DisconnectFromPLC();
            StartReconnectProcess();
            return false;
        }
    }
    for (const auto& entry : tagStrings) {
        replayPersistedTag(cb, test, entry.first, entry.second);
    }
    for (const auto& entry : subtags) {
        if (entry.second.alias != EIP_SUBTAG_DATA_ALIAS) {
            AddSubTag(
                kestrel::strata_sdk::string_unescape(entry.first.get_parent_path().get_name()),
                entry.second, true);
        }
    }
    delete test;
    return true;
}

void EipDevice::replayPersistedTag(const EipDeviceCallbacks& cb, EipConnection* test,
                                   const NodePath& path, const std::string& text) {
    const std::string tagAlias = kestrel::strata_sdk::string_unescape(path.get_name());
    const int8_t kind =
        path.get_parent_path().get_parent_path().get_name() == "EM Tags" ? kKindEM : kKindIO;
    if (IsTagAliasExist(tagAlias, kind)) {
        return;
    }
    Variant object;
    try {
        object = kestrel::strata_sdk::json::from_json_string(text);
    } catch (const std::exception&) {
        eiplog::Error("CreatePersistenceTag", "Failed to parse persistence tag: " + text);
        return;
    }
    std::string addedAlias;
    std::string message;
    const int result = AddTag(test, object, kind, addedAlias, message, true);
    if (result != 0) {
        eiplog::Info("CreatePersistenceTag", "error - " + message);
    }
    // A tag kept untested, or added with a remark, shows why on its node.
    if ((result != 0 || !message.empty()) && cb.tagStatus) {
        cb.tagStatus(GetAlias(), tagAlias, kind, message);
    }
}

int EipDevice::ExportTags(int8_t kind, std::string& text) {
    std::lock_guard<std::mutex> lock(tagMapMutex_);
    const auto& map = GetMapTag(kind);
    if (map.empty()) {
        text = errorText(tessel::TL_ERR_TAG_NOT_EXIST);
        return -1;
    }
    text = "[";
    bool first = true;
    for (const auto& entry : map) {
        const _eipTagInfo& info = entry.second->GetInfo();
        if (!first) {
            text += ",\n";
        }
        first = false;
        text += "{\"Tag Alias\":\"" + info.alias + "\", \"Tag Name\":\"" + info.tagName +
                "\", \"OutputType\":\"" + EipTag::OutputTypeToStr(info.outputType) +
                "\", \"RW Flag\":\"" + EipTag::RWFlagToStr(info.rwFlag) +
                "\", \"DataLen\":" + std::to_string(info.dataLen) + ", \"Description\":\"" +
                info.description + "\"";
        std::string subtags;
        if (entry.second->ExportSubTags(subtags) > 0) {
            text += "\\n,\"Subtags\":" + subtags;
        }
        text += "}";
    }
    text += "]";
    return 0;
}

int EipDevice::ExportSubTags(const std::string& tagAlias, std::string& text) {
    int written = -1;
    const bool found = withIOTag("ExportSubTags", tagAlias,
                                 [&](EipTag& tag) { written = tag.ExportSubTags(text); });
    if (!found) {
        text = errorText(tessel::TL_ERR_TAG_NOT_EXIST);
        return -1;
    }
    if (written <= 0) {
        text = errorText(tessel::TL_ERR_SUBTAGS_NOT_EXIST);
        return -1;
    }
    return 0;
}
