// The explicit-message polling of a device: the polling settings, the cycle over the poll list
// and the socket thread that sends the requests and reads the replies.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/device_stats.h"
#include "device/device_types.h"
#include "device/poll_list.h"
#include "device/session_lane.h"
#include "device/worker_thread.h"

class DeviceSession;
class EipConnection;
class EipTag;
class TagTable;
class ValuePublisher;
struct TagRequestSet;
struct TagReplySet;

// Threads and locks:
// - SDK threads start and stop polling (editing the poll list under its lock).
// - The socket thread blocks in poll() on the session's socket and wakeFd_ until a reply, the
//   next polling tick, the request time-out or a command is due; it sends, receives and decodes
//   without any lock, and takes the poll list's lock only to take the snapshot a cycle runs on.
//   cycle_, cycleBegin_, failingTags_ and awaitingReply_ are its own. Between two requests it runs
//   the work other threads hand to the session (lane_), and while the session carries nothing
//   it keeps the class-3 connection alive with a cheap request once per RPI. The values of a reply
//   go to the value queue; the last reply of a cycle it publishes itself when nothing waits in the
//   queue.
// - Flags, intervals and times are atomics. Nothing wakes on a fixed period.
class PollingCycle {
  public:
    PollingCycle(DeviceSession& session, TagTable& tags, PollList& pollList,
                 ValuePublisher& publisher, DeviceCallbacks& callbacks, PollingState& state,
                 DeviceStats& stats, const DeviceLife& life);
    ~PollingCycle();
    PollingCycle(const PollingCycle&) = delete;
    PollingCycle& operator=(const PollingCycle&) = delete;

    bool CanWake() const { return wakeFd_ >= 0; }
    int Start(int interval, std::string& message);
    int Stop(std::string& message);
    void SetState(uint16_t interval, bool notify);
    // A fresh session: the next tick starts a cycle from the first tag.
    void Restart();
    // Runs job on the polling session between two requests; nothing when no session takes it.
    std::optional<int> RunOnSession(SessionLane::Job job) { return lane_.Run(std::move(job)); }
    // The session is up: the socket thread runs (started when there is none) and looks again.
    void RunSocket();
    int StopSocket();

  private:
    // The tags a cycle runs on, taken from the poll list when it starts.
    struct CycleSnapshot {
        PollList::Entries tags;
        std::vector<EipTag*> view;  // the same tags, as the connection takes them
        uint64_t listVersion = 0;   // of the poll list the snapshot was taken from
        size_t next = 0;            // first tag of the next request; 0 once the list is done
        size_t batchStart = 0;      // first tag of the outstanding request
        // Decoded records of the latest reply; about 36 KB, made once and reused.
        std::unique_ptr<TagRequestSet> reply;
    };

    int Prepare(std::string& message);
    void Wake();
    void Abort(bool reconnect);
    void SocketLoop();
    bool PollingAllowed();
    bool SessionLost();
    int PollTimeoutMillis(uint64_t now);
    bool RequestOutstanding();
    void CheckRequestTimeout();
    // The pending work of other threads, then the keep-alive when due; only while no poll reply
    // is awaited.
    void ServeIdleSession(const std::shared_ptr<EipConnection>& plcConnection, uint64_t now);
    bool KeepAliveWanted() const;
    uint64_t KeepAlivePeriodMicros() const;
    // now: steady-clock microseconds of the polling tick.
    void StartCycle(uint64_t now);
    void TakeSnapshot();
    int RequestTags(EipConnection& plcConnection);
    void HandleResponse(const std::shared_ptr<EipConnection>& plcConnection);
    ValueBatch OnTagsDataProc(TagRequestSet& response, EipConnection& plcConnection);
    bool LayoutHolds(EipConnection& plcConnection, PolledTag& polled, const TagReplySet& item);
    bool AcceptReadReply(const std::string& alias, const TagInfo& info, const TagReplySet& item);
    void NotifyState(bool notify);

    DeviceSession& session_;
    TagTable& tags_;
    PollList& pollList_;
    ValuePublisher& publisher_;
    DeviceCallbacks& callbacks_;
    PollingState& state_;
    DeviceStats& stats_;
    const DeviceLife& life_;
    std::atomic<bool> cycleRestart_{true};
    std::atomic<uint64_t> lastCycleStart_{0};
    std::atomic<uint64_t> requestSent_{0};
    // Steady-clock microseconds of the last request on the class-3 connection.
    std::atomic<uint64_t> lastConnectedTraffic_{0};
    bool awaitingReply_ = false;
    uint64_t cycleBegin_ = 0;
    uint64_t requestTimeout_ = 7500;  // ms
    CycleSnapshot cycle_;
    std::set<std::string> failingTags_;  // aliases whose last read failed
    int wakeFd_ = -1;                    // eventfd: wakes the socket thread for a command
    SessionLane lane_;
    WorkerThread socketThread_;
};
