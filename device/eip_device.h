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

#include "common/eip_tag_value.h"
#include "common/eip_utils.h"
#include "device/device_stats.h"
#include "strata_sdk/sdk.h"

class EipConnection;
class IoListener;
struct IoValue;
class EipTag;
class ProtocolHandler;
struct TagRequestSet;
struct TagReplySet;

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

// Threads and locks of a device (its code is split by seam: eip_device.cpp the session and
// reconnect, device_polling.cpp the polling cycle and value publishing, device_tags.cpp the tag
// registry and restore replay, device_io.cpp I/O listening):
// - SDK threads (actions, restore hand-over) call the public operations; any of them may hold
//   the device through a shared handle of the registry. Workers never hold a handle, so the
//   device is never destroyed on its own threads.
// - The socket thread blocks in poll() on the session's socket and wakeFd_ until a reply, the
//   next polling tick, the request time-out or a command is due; it sends, receives and decodes
//   without connectionMutex_. The queue thread blocks until a batch of values is handed over and
//   publishes it in one call to the node tree, so that publishing overlaps the next exchange;
//   the last reply of a cycle is published by the socket thread itself when nothing waits in
//   the queue (it has nothing else to do until the next tick).
//   The reconnect thread sleeps on wakeCv_ between its 1 s attempts. I/O listening (the UDP
//   socket, the I/O connections and their reopening) runs in ioListener_, which has its own
//   threads and lock and hands values over in batches too. Nothing wakes on a fixed period.
// - connectionMutex_ guards the connection_/handler_ pointers, alias_, connectInfo_ and
//   productInfo_; it is held only to copy or swap them, never across an exchange. The socket
//   thread is the only one exchanging on the polling session; a connect runs on a private
//   object installed when the sequence is over.
// - pollingMutex_ guards the poll list; the socket thread holds it only to take the snapshot a
//   cycle runs on (cycle_, its own), never across a send or a read. Tags are shared: a tag
//   removed or replaced while a cycle runs stays alive until the cycle lets go of it, and its
//   values are no longer published. tagMapMutex_ guards both tag maps and the tags' records.
//   Lock order: pollingMutex_, tagMapMutex_.
// - valueMutex_ guards pendingValues_ and queueBusy_; threadMutex_ the three thread handles (never
// held while
//   joining); persistMutex_ the persisted tag strings and subtags; callbackMutex_ the pointer to
//   the installed callback set, which is immutable: workers take a reference and call the
//   callbacks without any lock. failingTags_ and cycle_ belong to the socket thread.
// - stopFd_ turns readable once the device retires: every socket wait of its connects ends.
// - Flags, states, intervals and times are atomics.
class EipDevice {
  public:
    EipDevice();
    ~EipDevice();
    EipDevice(const EipDevice&) = delete;
    EipDevice& operator=(const EipDevice&) = delete;

    // ---- connection lifecycle ----
    // Stops the device for good: new work is refused, its workers end (a connect in flight is
    // cut short) and its session is closed. Called when the PLC is removed; idempotent.
    void Retire();
    bool IsRetired() const { return retired_.load(); }
    // The restore's hand-over: connects on the device's own reconnect worker (first attempt at
    // once, then once a second) and replays the stored tags once connected.
    void StartRestore();
    void SetConnectionInfo(const ConnectInfo& info);
    int CreateConnection();
    void DeleteConnection();
    int ConnectToPLC(const ConnectInfo& info, bool restore);
    int DisconnectFromPLC();
    bool IsConnected();
    void ChangeExplicitConnectionState(uint8_t state, bool notify);
    void ChangeUCMMState(uint8_t state, bool notify);

    int StartSocketProcess();
    int StartReconnectProcess();
    int StartQueueProcess();
    int StopSocketProcess();
    int StopReconnectProcess();
    int StopQueueProcess();
    void AbortExplicitPolling(bool reconnect);

    // ---- read-only views for actions and the node tree ----
    std::string GetAlias() const;
    ConnectInfo GetConnectionInfo() const;
    ProductInfo GetProductInfo() const;
    uint8_t GetExplicitConnectionState() const { return explicitConnectionState_.load(); }
    uint8_t GetUCMMState() const { return ucmmState_.load(); }
    int8_t GetExplicitPollingStopped() const { return explicitPollingStopped_.load(); }
    uint16_t GetExplicitPollingInterval() const { return explicitPollingInterval_.load(); }
    int8_t GetIOPollingStopped() const { return ioPollingStopped_.load(); }
    uint16_t GetIOParam1() const { return ioParam1_.load(); }
    uint16_t GetIOParam2() const { return ioParam2_.load(); }
    bool IsNeverConnected() const { return neverConnected_.load(); }
    // Figures for monitoring, without the alias; never waits for a PLC.
    DeviceStatsSnapshot GetStats() const;

    // ---- callbacks ----
    void SetCallbacks(const EipDeviceCallbacks& callbacks);
    EipDeviceCallbacks GetCallbacks() const;

    // ---- explicit-message polling ----
    int PrepareExplicitPolling(std::string& message);
    int StartExplicitPolling(int interval, std::string& message);
    int StopExplicitPolling(std::string& message);
    void SetExplicitPollingState(uint16_t interval, bool notify);
    // now: steady-clock microseconds of the polling tick.
    int StartExplicitPollingCycle(uint64_t now);

    std::shared_ptr<EipTag> FindTagByAlias(const std::string& alias, int8_t kind);
    // Copies of the tag records of a kind, in alias order, whose RW flag has
    // any bit of rwMask (0 selects all).
    std::vector<TagInfo> ListTagInfos(int8_t kind, uint8_t rwMask = 0);

    // ---- I/O listening ----
    int StartIOPolling(int interval, uint16_t udpPort, std::string& message);
    int StartIOPollingTag(const std::string& tagAlias, int interval, uint16_t udpPort,
                          std::string& message);
    int StopIOPolling(std::string& message);
    void SetIOPollingState(uint16_t ioParam1, uint16_t ioParam2, bool notify);

    // ---- tag operations ----
    int AddTag(EipConnection* testConnection, const kestrel::strata_sdk::Variant& tagObject,
               int8_t kind, std::string& tagAlias, std::string& message, bool restore);
    int EditTag(EipConnection* testConnection, const kestrel::strata_sdk::Variant& tagObject,
                int8_t kind, std::string& tagAlias, std::string& message);
    int RemoveTag(const kestrel::strata_sdk::Variant& tagObject, int8_t kind, std::string& tagAlias,
                  std::string& message);
    int WriteTag(EipConnection* testConnection, const kestrel::strata_sdk::Variant& tagObject,
                 int8_t kind, std::string& tagAlias, std::string& message);
    int WriteTagByAlias(EipConnection* plcConnection, const std::string& tagAlias,
                        const kestrel::strata_sdk::Variant& value, int8_t kind,
                        std::string& message);
    int ResetTag(int8_t kind);
    int AddTagToMap(std::shared_ptr<EipTag> tag, int8_t kind, std::vector<SubTagInfo>* subtags);
    int RemoveTagFromMap(const std::string& tagAlias, int8_t kind, bool notify);
    std::shared_ptr<EipTag> CreateTag(const TagInfo& info, std::string& message);
    std::shared_ptr<EipTag> CreateCheckedTag(EipConnection* testConnection, const TagInfo& info,
                                             int failCode, bool allowMissing, int& result,
                                             std::string& message);
    int TestAndUpdateTag(EipConnection* plcConnection, EipTag* tag, std::string& message);
    int ValidateTagInfoOnAddTag(int8_t kind, const TagInfo& info);
    int ValidateTagInfoOnEditTag(int8_t kind, const TagInfo& info);
    bool IsTagAliasExist(const std::string& tagAlias, int8_t kind);
    bool IsTagNameExist(const std::string& tagName, int8_t kind, const std::string& ignoreAlias);
    int AddSubTag(const std::string& tagAlias, const SubTagInfo& subtag, bool notify);
    int EditSubTag(const std::string& tagAlias, const std::string& oldSubTagAlias,
                   const SubTagInfo& subtag, bool notify);
    int RemoveSubTag(const std::string& tagAlias, const std::string& subTagAlias, bool notify);
    int ImportSubTags(const std::string& tagAlias, const kestrel::strata_sdk::Variant& subtags,
                      std::string& message);

    // ---- persistence and export ----
    void AddPersistenceTagStr(const kestrel::strata_sdk::NodePath& path, const std::string& text);
    void AddPersistenceSubTagStr(const kestrel::strata_sdk::NodePath& path,
                                 const SubTagInfo& subtag);
    void CreatePersistenceTag();
    int ExportTags(int8_t kind, std::string& text);
    int ExportSubTags(const std::string& tagAlias, std::string& text);

  private:
    enum class Worker { Socket, Reconnect, Queue };
    struct WorkerThread {
        std::unique_ptr<std::thread> thread;
        std::atomic<bool> running{false};
    };
    using ValueBatch = std::vector<EipTagValue>;
    using TagMap = std::map<std::string, std::shared_ptr<EipTag>>;
    // A tag of the poll list and the record its values carry, made once and renewed by the
    // socket thread when the PLC reports another size.
    struct PolledTag {
        std::shared_ptr<EipTag> tag;
        std::shared_ptr<const TagInfo> record;
    };
    // The tags a cycle runs on, taken from the poll list when it starts; socket thread only.
    struct PollCycle {
        std::vector<std::shared_ptr<PolledTag>> tags;
        std::vector<EipTag*> view;  // the same tags, as the connection takes them
        uint64_t listVersion = 0;   // of the poll list the snapshot was taken from
        size_t next = 0;            // first tag of the next request; 0 once the list is done
        size_t batchStart = 0;      // first tag of the outstanding request
        // Decoded records of the latest reply; about 36 KB, made once and reused.
        std::unique_ptr<TagRequestSet> reply;
    };

    // Connection objects and the connect sequence.
    int MakeConnectionObjects(const ConnectInfo& info,
                              std::shared_ptr<EipConnection>& plcConnection,
                              std::shared_ptr<ProtocolHandler>& handler) const;
    static int ConnectSequence(const std::string& alias, EipConnection* plcConnection,
                               const ConnectInfo& info, ProductInfo& product, bool& explicitOpen);
    void InstallConnectionLocked(std::shared_ptr<EipConnection> plcConnection,
                                 std::shared_ptr<ProtocolHandler> handler);
    std::shared_ptr<EipConnection> connection() const;
    bool TcpSocketOpen();

    // Worker threads.
    WorkerThread& worker(Worker w);
    static const char* WorkerName(Worker w);
    std::string WorkerLogLine(Worker w, const char* what);
    bool WorkerExists(Worker w);
    void LaunchWorkerLocked(Worker w);
    void JoinWorker(Worker w);
    int RestartWorker(Worker w);
    int StartWorkerIfNone(Worker w);
    int StopWorker(Worker w);
    void WakeWorkers();
    void WakeSocket();
    // Sleeps up to `micros`, waking early when the worker is stopped; false
    // when it was stopped.
    bool SleepWhileRunning(Worker w, uint64_t micros);
    void RunWorker(Worker w);
    void SocketProcess();
    void ReconnectProcess();
    void QueueProcess();
    void DispatchIOValue(const EipDeviceCallbacks& cb, const std::string& alias,
                         const EipTagValue& value);
    // One lock and at most one wake-up of the queue thread per batch, whatever its size.
    void HandOver(ValueBatch batch);
    bool PublishIfQueueIdle(ValueBatch& batch);
    void publish(const EipDeviceCallbacks& cb, const std::string& alias, ValueBatch& batch);

    // Polling.
    bool ExplicitPollingAllowed();
    bool SessionLost();
    int PollTimeoutMillis(uint64_t now);
    bool RequestOutstanding();
    void CheckRequestTimeout();
    int RequestTags(EipConnection& plcConnection);
    void TakeCycleSnapshot();
    void HandleExplicitTagResponse(const std::shared_ptr<EipConnection>& plcConnection);
    ValueBatch OnTagsDataProc(TagRequestSet& response);
    bool StillMapped(const EipTag& tag);
    bool AcceptReadReply(const std::string& alias, const TagInfo& info, const TagReplySet& item);
    void ReplacePolledTagLocked(const EipTag* tag, std::shared_ptr<EipTag> replacement);
    void NotifyStates(uint8_t em, uint8_t ucmm);
    void NotifyPollingState(bool notify);
    void HandOverIOValues(const std::vector<IoValue>& values);
    std::shared_ptr<const EipDeviceCallbacks> callbacks() const;
    TagMap& GetMapTag(int8_t kind);

    // Tags.
    std::unique_ptr<ProtocolHandler> FamilyHandler();
    std::unique_ptr<ProtocolHandler> BeginTagRequest(int failCode, std::string& tagAlias,
                                                     std::string& message, int& result);
    static int fail(int code, std::string& message);
    std::string RequestedTagAlias(const kestrel::strata_sdk::Variant::MapType& map) const;
    void AddDataSubTag(EipTag& tag, std::vector<SubTagInfo>& added);
    void AddListedSubTags(EipTag& tag, const std::vector<kestrel::strata_sdk::Variant>& subtagList,
                          std::vector<SubTagInfo>& added, std::string& message);
    int DoAddTag(int8_t kind, std::shared_ptr<EipTag> tag,
                 const std::vector<kestrel::strata_sdk::Variant>& subtagList, std::string& message);
    int DoEditTag(int8_t kind, const std::string& oldAlias, std::shared_ptr<EipTag> newTag,
                  const std::vector<kestrel::strata_sdk::Variant>& subtagList,
                  std::string& message);
    template <typename Fn>
    bool WithIOTag(const char* operation, const std::string& tagAlias, Fn fn);
    bool ReplayPersistedTags(const EipDeviceCallbacks& cb);
    void ReplayPersistedTag(const EipDeviceCallbacks& cb, EipConnection* test,
                            const kestrel::strata_sdk::NodePath& path, const std::string& text);

    // Members in the order of the device's data model.
    std::string alias_;
    ConnectInfo connectInfo_;
    ProductInfo productInfo_;
    std::shared_ptr<EipConnection> connection_;
    std::atomic<bool> neverConnected_{true};
    std::atomic<bool> explicitConnectionOpen_{false};
    std::atomic<bool> cycleRestart_{true};
    std::mutex tagMapMutex_;
    TagMap explicitTagMap_;
    TagMap ioTagMap_;
    std::atomic<uint8_t> explicitConnectionState_{kExplicitNonExist};
    std::atomic<uint8_t> ucmmState_{kUcmmNonExist};
    std::atomic<int8_t> explicitPollingStopped_{1};
    std::atomic<uint16_t> explicitPollingInterval_{0};
    std::atomic<uint64_t> lastCycleStart_{0};
    uint64_t cycleBegin_ = 0;
    uint64_t explicitRequestTimeout_ = 7500;
    std::atomic<uint64_t> requestSent_{0};
    std::mutex pollingMutex_;
    std::vector<std::shared_ptr<PolledTag>> pollList_;
    // Moves whenever the poll list is rebuilt or loses or replaces a tag.
    std::atomic<uint64_t> pollListVersion_{0};
    PollCycle cycle_;
    std::atomic<int8_t> ioPollingStopped_{1};
    std::atomic<uint16_t> ioParam1_{0};
    std::atomic<uint16_t> ioParam2_{0};
    std::unique_ptr<IoListener> ioListener_;
    WorkerThread socketThread_;
    WorkerThread reconnectThread_;
    WorkerThread queueThread_;
    std::shared_ptr<const EipDeviceCallbacks> callbacks_;
    std::map<kestrel::strata_sdk::NodePath, std::string> persistedTagStrings_;
    std::map<kestrel::strata_sdk::NodePath, SubTagInfo> persistedSubTags_;
    std::shared_ptr<ProtocolHandler> handler_;

    // Not part of the data model: locks and bookkeeping named in the class comment.
    std::atomic<bool> explicitEnabled_{false};
    std::atomic<bool> shuttingDown_{false};
    std::atomic<bool> retired_{false};
    std::atomic<bool> reconnectAtOnce_{false};
    int wakeFd_ = -1;                    // eventfd: wakes the socket thread for a command
    int stopFd_ = -1;                    // eventfd: readable once the device retires
    std::set<std::string> failingTags_;  // aliases whose last read failed; socket thread
    mutable std::mutex connectionMutex_;
    mutable std::mutex callbackMutex_;
    std::mutex valueMutex_;
    std::condition_variable valueReady_;
    ValueBatch pendingValues_;
    bool queueBusy_ = false;  // the queue thread is publishing a batch; valueMutex_
    std::mutex threadMutex_;
    std::mutex persistMutex_;
    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    DeviceStats stats_;  // counted at the points marked "stats:"
};
