// One PLC: a thin device over its pieces — the session and its reconnect (device_session.h),
// the tag table (tag_table.h), the polling cycle (polling_cycle.h), the value queue
// (value_publisher.h) and I/O listening (io_polling.h, io_listener.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/eip_utils.h"
#include "device/device_session.h"
#include "device/device_stats.h"
#include "device/device_types.h"
#include "device/io_polling.h"
#include "device/poll_list.h"
#include "device/polling_cycle.h"
#include "device/tag_table.h"
#include "device/value_publisher.h"
#include "strata_sdk/sdk.h"

class EipConnection;
class EipTag;

// Threads and locks of a device:
// - SDK threads (actions, restore hand-over) call the public operations; any of them may hold
//   the device through a shared handle of the registry. Workers never hold a handle, so the
//   device is never destroyed on its own threads.
// - Each piece owns its threads and locks and says so in its class comment: the reconnect
//   worker (session), the socket thread (polling cycle), the queue thread (value queue), the
//   receiving and retry threads (I/O listener). The device itself holds no lock: its pieces
//   share only the callback set (DeviceCallbacks, its own lock), the polling settings
//   (PollingState, atomics), the figures (DeviceStats, atomics) and the life flags (atomics).
// - Lock order across pieces: the poll list, the tag table, the session. The value queue's,
//   the callback set's and each worker's lock are taken alone. No callback runs under a lock.
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
    bool IsRetired() const { return life_.retired.load(); }
    // The restore's hand-over: connects on the device's own reconnect worker (first attempt at
    // once, then once a second) and replays the stored tags once connected.
    void StartRestore() { session_.StartRestore(); }
    void SetConnectionInfo(const ConnectInfo& info) { session_.SetConnectionInfo(info); }
    int ConnectToPLC(const ConnectInfo& info, bool restore) {
        return session_.Connect(info, restore);
    }
    int DisconnectFromPLC() { return session_.Disconnect(); }
    bool IsConnected() { return session_.IsUp(); }
    void ChangeExplicitConnectionState(uint8_t state, bool notify) {
        session_.ChangeExplicitConnectionState(state, notify);
    }
    void ChangeUCMMState(uint8_t state, bool notify) { session_.ChangeUCMMState(state, notify); }
    // RPI of the class-3 connection from the next connect on (45 s by default); while nothing is
    // polled, the connection carries a keep-alive once per RPI.
    void SetExplicitConnectionRpi(uint16_t milliseconds) {
        session_.SetExplicitConnectionRpi(milliseconds);
    }

    // ---- read-only views for actions and the node tree ----
    std::string GetAlias() const { return session_.Alias(); }
    ConnectInfo GetConnectionInfo() const { return session_.ConnectionInfo(); }
    ProductInfo GetProductInfo() const { return session_.GetProductInfo(); }
    uint8_t GetExplicitConnectionState() const { return session_.ExplicitConnectionState(); }
    uint8_t GetUCMMState() const { return session_.UCMMState(); }
    int8_t GetExplicitPollingStopped() const { return pollingState_.explicitStopped.load(); }
    uint16_t GetExplicitPollingInterval() const { return pollingState_.explicitInterval.load(); }
    int8_t GetIOPollingStopped() const { return pollingState_.ioStopped.load(); }
    uint16_t GetIOParam1() const { return pollingState_.ioParam1.load(); }
    uint16_t GetIOParam2() const { return pollingState_.ioParam2.load(); }
    bool IsNeverConnected() const { return session_.NeverConnected(); }
    // Figures for monitoring, without the alias; atomics only, never waits for a PLC.
    DeviceStatsSnapshot GetStats() const {
        return stats_.Snapshot(session_.UCMMState() != kUcmmNonExist);
    }

    // ---- callbacks ----
    void SetCallbacks(const EipDeviceCallbacks& callbacks) {
        callbacks_.Install(callbacks, life_.retired);
    }
    EipDeviceCallbacks GetCallbacks() const { return *callbacks_.Get(); }

    // ---- explicit-message polling ----
    int StartExplicitPolling(int interval, std::string& message) {
        return polling_.Start(interval, message);
    }
    int StopExplicitPolling(std::string& message) { return polling_.Stop(message); }
    void SetExplicitPollingState(uint16_t interval, bool notify) {
        polling_.SetState(interval, notify);
    }

    // ---- I/O listening ----
    int StartIOPolling(int interval, uint16_t udpPort, std::string& message) {
        return io_.Start(interval, udpPort, message);
    }
    int StartIOPollingTag(const std::string& tagAlias, int interval, uint16_t udpPort,
                          std::string& message) {
        return io_.StartTag(tagAlias, interval, udpPort, message);
    }
    int StopIOPolling(std::string& message) { return io_.Stop(message); }
    void SetIOPollingState(uint16_t ioParam1, uint16_t ioParam2, bool notify) {
        io_.SetState(ioParam1, ioParam2, notify);
    }

    // ---- tag operations ----
    std::shared_ptr<EipTag> FindTagByAlias(const std::string& alias, int8_t kind) {
        return tags_.FindTagByAlias(alias, kind);
    }
    // Copies of the tag records of a kind, in alias order, whose RW flag has
    // any bit of rwMask (0 selects all).
    std::vector<TagInfo> ListTagInfos(int8_t kind, uint8_t rwMask = 0) {
        return tags_.ListTagInfos(kind, rwMask);
    }
    int AddTag(EipConnection* testConnection, const kestrel::strata_sdk::Variant& tagObject,
               int8_t kind, std::string& tagAlias, std::string& message, bool restore) {
        return tags_.AddTag(testConnection, tagObject, kind, tagAlias, message, restore);
    }
    int EditTag(EipConnection* testConnection, const kestrel::strata_sdk::Variant& tagObject,
                int8_t kind, std::string& tagAlias, std::string& message) {
        return tags_.EditTag(testConnection, tagObject, kind, tagAlias, message);
    }
    int RemoveTag(const kestrel::strata_sdk::Variant& tagObject, int8_t kind, std::string& tagAlias,
                  std::string& message) {
        return tags_.RemoveTag(tagObject, kind, tagAlias, message);
    }
    // Writes go over the PLC's own session, between two poll requests: a write never opens a
    // session of its own. Refused with "PLC not connected" while the session is down.
    int WriteTag(const kestrel::strata_sdk::Variant& tagObject, int8_t kind, std::string& tagAlias,
                 std::string& message);
    int WriteTagByAlias(const std::string& tagAlias, const kestrel::strata_sdk::Variant& value,
                        int8_t kind, std::string& message);
    int ResetTag(int8_t kind) { return tags_.ResetTag(kind); }
    int RemoveTagFromMap(const std::string& tagAlias, int8_t kind, bool notify) {
        return tags_.RemoveTagFromMap(tagAlias, kind, notify);
    }
    int AddSubTag(const std::string& tagAlias, const SubTagInfo& subtag, bool notify) {
        return tags_.AddSubTag(tagAlias, subtag, notify);
    }
    int EditSubTag(const std::string& tagAlias, const std::string& oldSubTagAlias,
                   const SubTagInfo& subtag, bool notify) {
        return tags_.EditSubTag(tagAlias, oldSubTagAlias, subtag, notify);
    }
    int RemoveSubTag(const std::string& tagAlias, const std::string& subTagAlias, bool notify) {
        return tags_.RemoveSubTag(tagAlias, subTagAlias, notify);
    }
    int ImportSubTags(const std::string& tagAlias, const kestrel::strata_sdk::Variant& subtags,
                      std::string& message) {
        return tags_.ImportSubTags(tagAlias, subtags, message);
    }

    // ---- persistence and export ----
    void AddPersistenceTagStr(const kestrel::strata_sdk::NodePath& path, const std::string& text) {
        tags_.AddPersistenceTagStr(path, text);
    }
    void AddPersistenceSubTagStr(const kestrel::strata_sdk::NodePath& path,
                                 const SubTagInfo& subtag) {
        tags_.AddPersistenceSubTagStr(path, subtag);
    }
    // Shows the product and the polling settings, then (once connected) replays the stored tags
    // and resumes the stored polling.
    void CreatePersistenceTag();
    int ExportTags(int8_t kind, std::string& text) { return tags_.ExportTags(kind, text); }
    int ExportSubTags(const std::string& tagAlias, std::string& text) {
        return tags_.ExportSubTags(tagAlias, text);
    }

  private:
    void NotifyPollingState();
    // Runs a write on the session; the message says why when no session took it.
    int WriteOnSession(const SessionLane::Job& job, std::string& message);

    // The shared state first: the pieces hold references to it and to the pieces before them.
    DeviceLife life_;
    DeviceCallbacks callbacks_;
    DeviceStats stats_;  // counted at the points marked "stats:"
    PollingState pollingState_;
    DeviceSession session_;
    PollList pollList_;
    TagTable tags_;
    ValuePublisher publisher_;
    PollingCycle polling_;
    IoPolling io_;
};
