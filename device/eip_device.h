// One PLC: its explicit-message connection, its tags, its polling cycle, its
// I/O listening and the worker threads that drive them.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/eip_utils.h"
#include "strata_sdk/sdk.h"

class EipConnection;
class IoListener;
struct IoValue;
class EipTag;
class ProtocolHandler;
class PriorityQueue;
struct EIPC_TAG_REQUEST_STRUCT;
struct EIPC_TAG_REPLY_STRUCT;
struct QueueData;

// The device's only road to the node tree. Each callback receives the PLC
// alias first; an empty callback is skipped.
using EipTagNodeCallback = std::function<void(const std::string& alias, const _eipTagInfo& tag,
                                              std::vector<_eipSubTagInfo>* subtags)>;
using EipSubTagNodeCallback = std::function<void(const std::string& alias, const _eipTagInfo& tag,
                                                 const _eipSubTagInfo& subtag)>;
using EipStateCallback = std::function<void(const std::string& alias, unsigned char state)>;
using EipTagValueCallback = std::function<void(const std::string& alias, const _eipTagInfo& tag,
                                               const uint8_t* data, uint16_t len)>;
using EipSubTagValueCallback =
    std::function<void(const std::string& alias, const _eipTagInfo& tag,
                       const _eipSubTagInfo& subtag, const uint8_t* data, uint16_t len)>;
using EipActionToggleCallback = std::function<void(
    const std::string& alias, signed char emPollingStopped, unsigned short emInterval,
    signed char ioPollingStopped, unsigned short ioInterval, unsigned short ioUdpPort)>;
using EipProductInfoCallback =
    std::function<void(const std::string& alias, const _eipProductInfo& product)>;
using EipTagStatusCallback =
    std::function<void(const std::string& alias, const std::string& tagAlias, signed char kind,
                       const std::string& status)>;

// The twelve callbacks, in member order. Installed as one set by the Add PLC
// action and by the restore (bound to the EipNode functions of the same names).
struct EipDeviceCallbacks {
    EipTagNodeCallback tagNodeCreated;        // EipNode::CreateTagItemNode
    EipTagNodeCallback tagNodeRemoved;        // EipNode::RemoveTagItemNode
    EipSubTagNodeCallback subTagNodeCreated;  // EipNode::CreateSubTagItemNode
    EipSubTagNodeCallback subTagNodeRemoved;  // EipNode::RemoveSubTagItemNode
    EipStateCallback emCnxnState;             // EipNode::ChangeEMCnxnState
    EipStateCallback ucmmState;               // EipNode::ChangeUCMMState
    EipTagValueCallback emTagValue;           // EipNode::ChangeEMTagNodeValue
    EipTagValueCallback ioTagValue;           // EipNode::ChangeIOTagNodeValue
    EipSubTagValueCallback ioSubTagValue;     // EipNode::ChangeIOSubTagNodeValue
    EipActionToggleCallback actionToggle;     // EipNode::ToggleActionNodes
    EipProductInfoCallback productInfo;       // EipNode::ChangeProductInfo
    EipTagStatusCallback tagStatus;           // EipNode::UpdateTagStatusByAlias
};

// EM connection state values ("EM Coxn STATE").
enum : uint8_t {
    EM_CNXN_NON_EXIST = 0,
    EM_CNXN_BUSY = 1,
    EM_CNXN_READY = 2,
    EM_CNXN_NEED2SEND = 3
};
// UCMM state values ("UCMM STATE").
enum : uint8_t { UCMM_NON_EXIST = 0, UCMM_READY = 1, UCMM_BUSY = 2 };

// Threads and locks of a device:
// - SDK threads (actions, restore) call the public operations.
// - The socket thread waits on the session's socket, runs the polling ticks,
//   the request time-out and the replies; the reconnect thread reconnects once
//   a second after a failure; the queue thread hands received values to the
//   node tree. I/O listening (the UDP socket, the I/O connections and their
//   reopening) runs in ioListener_, which has its own threads and lock and
//   hands values to the value queue.
// - cnxnMutex_ guards connection_, handler_, alias_, connectInfo_,
//   productInfo_ and every exchange on the session. Connecting is done on a
//   private connection object that is installed when the sequence is over, so
//   the lock is never held across a connect or a callback.
// - pollingMutex_ guards the poll list, its indices and failingTags_;
//   tagMapMutex_ guards both tag maps and the tags' records. Lock order:
//   cnxnMutex_, pollingMutex_, tagMapMutex_. A tag leaves the poll list under
//   pollingMutex_ before it is deleted, so a poll-list pointer is valid while
//   pollingMutex_ is held.
// - threadMutex_ the three thread handles (never held while joining); persistMutex_ the
//   persisted tag strings and subtags; callbackMutex_ the pointer to the
//   installed callback set, which is immutable: workers take a reference and
//   call the callbacks without any lock.
// - Flags, states, intervals and times are atomics.
class EipDevice {
  public:
    EipDevice();
    ~EipDevice();
    EipDevice(const EipDevice&) = delete;
    EipDevice& operator=(const EipDevice&) = delete;

    // ---- connection lifecycle ----
    void SetConnectionInfo(const _eipConnectInfo& info);
    int createConnection();
    void deleteConnection();
    int ConnectToPLC(const _eipConnectInfo& info, bool restore);
    int DisconnectFromPLC();
    bool IsCnxnUp();
    void ChangeEMCnxnState(uint8_t state, bool notify);
    void ChangeUCMMState(uint8_t state, bool notify);

    int StartSocketProcess();
    int StartReconnectProcess();
    int StartQueueProcess();
    int StopSocketProcess();
    int StopReconnectProcess();
    int StopQueueProcess();
    void abortEMPolling(bool reconnect);

    // ---- read-only views for actions and the node tree ----
    std::string GetAlias() const;
    _eipConnectInfo GetConnectionInfo() const;
    _eipProductInfo GetProductInfo() const;
    uint8_t GetEMCnxnState() const { return emCnxnState_.load(); }
    uint8_t GetUCMMState() const { return ucmmState_.load(); }
    int8_t GetEMPollingStopped() const { return emPollingStopped_.load(); }
    uint16_t GetEMPollingInterval() const { return emPollingInterval_.load(); }
    int8_t GetIOPollingStopped() const { return ioPollingStopped_.load(); }
    uint16_t GetIOParam1() const { return ioParam1_.load(); }
    uint16_t GetIOParam2() const { return ioParam2_.load(); }
    bool IsNeverConnected() const { return neverConnected_.load(); }

    // ---- callbacks ----
    void SetCallbacks(const EipDeviceCallbacks& callbacks);
    EipDeviceCallbacks GetCallbacks() const;

    // ---- explicit-message polling ----
    int PrepareEMPolling(std::string& message);
    int StartEMPolling(int interval, std::string& message);
    int StopEMPolling(std::string& message);
    void SetEMPollingState(uint16_t interval, bool notify);
    // now: steady-clock microseconds of the polling tick.
    int startEMPollingCycle(uint64_t now);

    // The kind's map (1: EM tags, other: I/O tags). The caller must hold the
    // tag-map lock (LockTagMap) while it uses the reference.
    std::map<std::string, EipTag*>& GetMapTag(int8_t kind);
    std::unique_lock<std::mutex> LockTagMap() { return std::unique_lock<std::mutex>(tagMapMutex_); }
    // Borrowed pointer; valid until the tag is removed or replaced.
    EipTag* FindTagByAlias(const std::string& alias, int8_t kind);
    // Copies of the tag records of a kind, in alias order, whose RW flag has
    // any bit of rwMask (0 selects all).
    std::vector<_eipTagInfo> ListTagInfos(int8_t kind, uint8_t rwMask = 0);

    // ---- I/O listening ----
    int StartIOPolling(int interval, uint16_t udpPort, std::string& message);
    int StartIOPollingTag(const std::string& tagAlias, int interval, uint16_t udpPort,
                          std::string& message);
    int StopIOPolling(std::string& message);
    void SetIOPollingState(uint16_t ioParam1, uint16_t ioParam2, bool notify);

    // ---- tag operations ----
    int AddTag(EipConnection* testCnxn, const kestrel::strata_sdk::Variant& tagObject, int8_t kind,
               std::string& tagAlias, std::string& message, bool restore);
    int EditTag(EipConnection* testCnxn, const kestrel::strata_sdk::Variant& tagObject, int8_t kind,
                std::string& tagAlias, std::string& message);
    int RemoveTag(const kestrel::strata_sdk::Variant& tagObject, int8_t kind, std::string& tagAlias,
                  std::string& message);
    int WriteTag(EipConnection* testCnxn, const kestrel::strata_sdk::Variant& tagObject,
                 int8_t kind, std::string& tagAlias, std::string& message);
    int WriteTagByAlias(EipConnection* cnxn, const std::string& tagAlias,
                        const kestrel::strata_sdk::Variant& value, int8_t kind,
                        std::string& message);
    int ResetTag(int8_t kind);
    int AddTagToMap(EipTag* tag, int8_t kind, std::vector<_eipSubTagInfo>* subtags);
    int RemoveTagFromMap(const std::string& tagAlias, int8_t kind, bool notify);
    EipTag* createTag(const _eipTagInfo& info, std::string& message);
    EipTag* createCheckedTag(EipConnection* testCnxn, const _eipTagInfo& info, int failCode,
                             bool allowMissing, int& result, std::string& message);
    int testAndUpdateTag(EipConnection* cnxn, EipTag* tag, std::string& message);
    int validateTagInfoOnAddTag(int8_t kind, const _eipTagInfo& info);
    int validateTagInfoOnEditTag(int8_t kind, const _eipTagInfo& info);
    bool IsTagAliasExist(const std::string& tagAlias, int8_t kind);
    bool IsTagNameExist(const std::string& tagName, int8_t kind, const std::string& ignoreAlias);
    int AddSubTag(const std::string& tagAlias, const _eipSubTagInfo& subtag, bool notify);
    int EditSubTag(const std::string& tagAlias, const std::string& oldSubTagAlias,
                   const _eipSubTagInfo& subtag, bool notify);
    int RemoveSubTag(const std::string& tagAlias, const std::string& subTagAlias, bool notify);
    int ImportSubTags(const std::string& tagAlias, const kestrel::strata_sdk::Variant& subtags,
                      std::string& message);

    // ---- persistence and export ----
    void AddPersistenceTagStr(const kestrel::strata_sdk::NodePath& path, const std::string& text);
    void AddPersistenceSubTagStr(const kestrel::strata_sdk::NodePath& path,
                                 const _eipSubTagInfo& subtag);
    void CreatePersistenceTag();
    int ExportTags(int8_t kind, std::string& text);
    int ExportSubTags(const std::string& tagAlias, std::string& text);

  private:
    enum class Worker { Socket, Reconnect, Queue };
    struct WorkerThread {
        std::unique_ptr<std::thread> thread;
        std::atomic<bool> running{false};
    };

    // Connection objects and the connect sequence.
    static int makeConnectionObjects(const _eipConnectInfo& info, EipConnection*& cnxn,
                                     ProtocolHandler*& handler);
    static int connectSequence(const std::string& alias, EipConnection* cnxn,
                               const _eipConnectInfo& info, _eipProductInfo& product, bool& emOpen);
    void installConnectionLocked(EipConnection* cnxn, ProtocolHandler* handler);
    bool tcpSocketOpen();

    // Worker threads.
    WorkerThread& worker(Worker w);
    static const char* workerName(Worker w);
    std::string workerLogLine(Worker w, const char* what);
    bool workerExists(Worker w);
    void launchWorkerLocked(Worker w);
    void joinWorker(Worker w);
    int restartWorker(Worker w);
    int startWorkerIfNone(Worker w);
    int stopWorker(Worker w);
    void wakeWorkers();
    // Sleeps up to `micros`, waking early when the worker is stopped; false
    // when it was stopped.
    bool sleepWhileRunning(Worker w, uint64_t micros);
    void runWorker(Worker w);
    void SocketProcess();
    void ReconnectProcess();
    void QueueProcess();
    void dispatchValue(const EipDeviceCallbacks& cb, const std::string& alias,
                       const QueueData& record);

    // Polling.
    bool emPollingAllowed();
    bool sessionLost();
    void checkRequestTimeout();
    int RequestTags();
    void handleEMTagResponse(int tcpFd);
    void OnTagsDataProc(const EIPC_TAG_REQUEST_STRUCT* response);
    bool acceptReadReply(const _eipTagInfo& info, const EIPC_TAG_REPLY_STRUCT& item);
    void forgetPolledTagLocked(EipTag* tag, EipTag* replacement);
    void notifyStates(uint8_t em, uint8_t ucmm);
    void notifyPollingState(bool notify);
    void enqueueValue(const _eipTagInfo& info, const uint8_t* data, size_t length);
    void enqueueIOValues(const std::vector<IoValue>& batch);
    std::shared_ptr<const EipDeviceCallbacks> callbacks() const;

    // Tags.
    std::unique_ptr<ProtocolHandler> familyHandler();
    static int fail(int code, std::string& message);
    std::string requestedTagAlias(const kestrel::strata_sdk::Variant::MapType& map) const;
    void addDataSubTag(EipTag* tag, std::vector<_eipSubTagInfo>& added);
    void addListedSubTags(EipTag* tag, const std::vector<kestrel::strata_sdk::Variant>& subtagList,
                          std::vector<_eipSubTagInfo>& added, std::string& message);
    int doAddTag(int8_t kind, EipTag* tag,
                 const std::vector<kestrel::strata_sdk::Variant>& subtagList, std::string& message);
    int doEditTag(int8_t kind, const std::string& oldAlias, EipTag* newTag,
                  const std::vector<kestrel::strata_sdk::Variant>& subtagList,
                  std::string& message);
    template <typename Fn>
    bool withIOTag(const char* operation, const std::string& tagAlias, Fn fn);
    bool replayPersistedTags(const EipDeviceCallbacks& cb);
    void replayPersistedTag(const EipDeviceCallbacks& cb, EipConnection* test,
                            const kestrel::strata_sdk::NodePath& path, const std::string& text);

    // Members in the order of the device's data model.
    std::string alias_;
    _eipConnectInfo connectInfo_;
    _eipProductInfo productInfo_;
    EipConnection* connection_ = nullptr;
    std::atomic<bool> neverConnected_{true};
    std::atomic<bool> emCnxnOpen_{false};
    std::atomic<bool> cycleRestart_{true};
    std::mutex tagMapMutex_;
    std::map<std::string, EipTag*> emTagMap_;
    std::map<std::string, EipTag*> ioTagMap_;
    std::atomic<uint8_t> emCnxnState_{EM_CNXN_NON_EXIST};
    std::atomic<uint8_t> ucmmState_{UCMM_NON_EXIST};
    PriorityQueue* valueQueue_ = nullptr;
    std::atomic<int8_t> emPollingStopped_{1};
    std::atomic<uint16_t> emPollingInterval_{0};
    std::atomic<uint64_t> lastCycleStart_{0};
    uint64_t cycleBegin_ = 0;
    uint64_t emRequestTimeout_ = 7500;
    std::atomic<uint64_t> requestSent_{0};
    std::mutex pollingMutex_;
    std::vector<EipTag*> pollList_;
    uint32_t pollCount_ = 0;
    size_t nextIndex_ = 0;
    size_t batchStart_ = 0;
    // Set when a tag of the outstanding request left the poll list: the reply
    // no longer lines up with the list and is dropped.
    bool batchStale_ = false;
    std::atomic<int8_t> ioPollingStopped_{1};
    std::atomic<uint16_t> ioParam1_{0};
    std::atomic<uint16_t> ioParam2_{0};
    std::unique_ptr<IoListener> ioListener_;
    WorkerThread socketThread_;
    WorkerThread reconnectThread_;
    WorkerThread queueThread_;
    std::shared_ptr<const EipDeviceCallbacks> callbacks_;
    std::map<kestrel::strata_sdk::NodePath, std::string> persistedTagStrings_;
    std::map<kestrel::strata_sdk::NodePath, _eipSubTagInfo> persistedSubTags_;
    ProtocolHandler* handler_ = nullptr;

    // Not part of the data model: locks and bookkeeping named in the class comment.
    std::atomic<bool> emEnabled_{false};
    std::atomic<bool> shuttingDown_{false};
    std::set<std::string> failingTags_;  // aliases whose last read failed; pollingMutex_
    mutable std::mutex cnxnMutex_;
    mutable std::mutex callbackMutex_;
    std::mutex threadMutex_;
    std::mutex persistMutex_;
    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
};
