#include "device/polling_cycle.h"

#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <memory>

#include "common/eip_log.h"
#include "device/device_session.h"
#include "device/device_support.h"
#include "device/tag_table.h"
#include "device/value_publisher.h"
#include "eip/eip_connection.h"
#include "family/logix_structure_cache.h"
#include "tag/eip_tag.h"

using namespace device_detail;

PollingCycle::PollingCycle(DeviceSession& session, TagTable& tags, PollList& pollList,
                           ValuePublisher& publisher, DeviceCallbacks& callbacks,
                           PollingState& state, DeviceStats& stats, const DeviceLife& life)
    : session_(session),
      tags_(tags),
      pollList_(pollList),
      publisher_(publisher),
      callbacks_(callbacks),
      state_(state),
      stats_(stats),
      life_(life),
      wakeFd_(MakeEventFd()),
      lane_([this] { Wake(); }),
      socketThread_({"Socket Thread", nullptr, [this] { SocketLoop(); }, [this] { Wake(); }},
                    life.shuttingDown) {}

PollingCycle::~PollingCycle() {
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void PollingCycle::Wake() {
    SignalEventFd(wakeFd_);
}

void PollingCycle::RunSocket() {
    socketThread_.StartIfNone();
    Wake();
}

void PollingCycle::Restart() {
    lastConnectedTraffic_.store(SteadyMicros());
    cycleRestart_.store(true);
}

int PollingCycle::StopSocket() {
    return socketThread_.Stop();
}

void PollingCycle::Abort(bool reconnect) {
    cycleRestart_.store(true);
    awaitingReply_ = false;
    session_.Disconnect();
    if (reconnect) {
        session_.StartReconnect();
    }
}

// ================================================================================ polling cycle

int PollingCycle::Prepare(std::string& message) {
    auto pollListEditor = pollList_.Edit();
    pollListEditor.Reset(tags_.ReadTags());
    if (pollListEditor.Empty()) {
        message = errorText(link_error::kReadTagsNotExist);
        return -1;
    }
    return 0;
}

int PollingCycle::Start(int interval, std::string& message) {
    if (life_.retired.load()) {
        message = errorText(link_error::kPlcNotExist);
        return -1;
    }
    if (interval < 1 || interval > UINT16_MAX) {
        message = errorText(link_error::kIntervalRange);
        return -1;
    }
    if (Prepare(message) != 0) {
        return -1;
    }
    // The first cycle starts (interval mod 1000) ms from now.
    lastCycleStart_.store(SteadyMicros() - uint64_t(interval / 1000) * 1000000);
    cycleRestart_.store(true);
    state_.explicitStopped.store(0);
    SetState(static_cast<uint16_t>(interval), true);
    Wake();
    return 0;
}

int PollingCycle::Stop(std::string& message) {
    (void)message;
    state_.explicitStopped.store(1);
    SetState(0, true);
    pollList_.Edit().Clear();
    return 0;
}

void PollingCycle::SetState(uint16_t interval, bool notify) {
    state_.explicitInterval.store(interval);
    if (notify) {
        state_.Notify(*callbacks_.Get(), session_.Alias());
    }
}

void PollingCycle::StartCycle(uint64_t now) {
    if (!cycleRestart_.exchange(false)) {
        return;
    }
    cycleBegin_ = now;
    const std::string alias = session_.Alias();
    eiplog::Info("startEMPollingCycle", alias + ": Send EM Polling request - " + WallClockText());
    TakeSnapshot();
    int result = -2;
    if (auto plcConnection = session_.Connection()) {
        result = RequestTags(*plcConnection);
    } else {
        eiplog::Error("RequestTags", alias + ": EM CNXN or UCMM STATE not READY");
    }
    if (result == 0) {
        session_.NotifyStates(kExplicitBusy, kUcmmBusy);
    } else if (state_.explicitStopped.load() != 0) {
        session_.NotifyStates(kExplicitReady, kUcmmReady);
    }
}

// The only moment the socket thread takes the poll list's lock: the cycle then runs on its own
// copy.
void PollingCycle::TakeSnapshot() {
    cycle_.listVersion = pollList_.Snapshot(cycle_.tags);
    cycle_.view.clear();
    for (const auto& polled : cycle_.tags) {
        cycle_.view.push_back(polled->tag.get());
    }
    cycle_.next = 0;
    cycle_.batchStart = 0;
}

// On the socket thread (the only one exchanging on the polling session), without any lock.
int PollingCycle::RequestTags(EipConnection& plcConnection) {
    if (state_.explicitStopped.load() != 0) {
        eiplog::Error("RequestTags", session_.Alias() + ": polling stopped");
        return -1;
    }
    if (!plcConnection.CheckStatesForPolling(session_.UCMMState(),
                                             session_.ExplicitConnectionState())) {
        eiplog::Error("RequestTags", session_.Alias() + ": EM CNXN or UCMM STATE not READY");
        return -2;
    }
    requestSent_.store(SteadyMicros());
    cycle_.batchStart = cycle_.next;
    if (plcConnection.RequestExplicitTags(cycle_.view, cycle_.view.size(), cycle_.next) == 0) {
        DeviceStats::Add(stats_.requests);  // stats: request
        awaitingReply_ = true;
        lastConnectedTraffic_.store(requestSent_.load());
        return 0;
    }
    eiplog::Error("RequestTags", session_.Alias() + ": Request EM Tags fail.");
    return -1;
}

// Reads one reply, requests the cycle's next batch and hands the reply's values
// over in one batch. No lock is held across the read or the send.
void PollingCycle::HandleResponse(const std::shared_ptr<EipConnection>& plcConnection) {
    if (!cycle_.reply) {
        cycle_.reply = std::make_unique<TagRequestSet>();
    }
    TagRequestSet& response = *cycle_.reply;
    const EipConnection::TagLookup lookup = [this](uint16_t index) -> EipTag* {
        return index < cycle_.view.size() ? cycle_.view[index] : nullptr;
    };
    const int received = plcConnection->RecvExplicitTags(response, lookup);
    awaitingReply_ = false;
    if (received < 1) {
        eiplog::Error("HandleResponse",
                      eiplog::Text(session_.Alias(), ": TCP socket close. - ", received));
        Abort(true);
        return;
    }
    ValueBatch values = OnTagsDataProc(response, *plcConnection);
    session_.ChangeExplicitConnectionState(kExplicitReady, false);
    session_.ChangeUCMMState(kUcmmReady, false);
    const bool finished = cycle_.next == 0;
    bool notifyReady = false;
    if (!finished) {
        lane_.RunPending(plcConnection.get());
        if (RequestTags(*plcConnection) != 0) {
            cycleRestart_.store(true);
            notifyReady = state_.explicitStopped.load() != 0;
        } else {
            session_.ChangeExplicitConnectionState(kExplicitBusy, false);
            session_.ChangeUCMMState(kUcmmBusy, false);
        }
    }
    const uint64_t cycleMicros = SteadyMicros() - cycleBegin_;
    if (!finished || !publisher_.PublishIfIdle(values)) {
        publisher_.HandOver(std::move(values));
    }
    if (finished) {
        stats_.AddCycle(cycleMicros);  // stats: cycle
        char text[32] = {};
        std::snprintf(text, sizeof text, "%.2f", static_cast<float>(cycleMicros) / 1000.0f);
        eiplog::Info("HandleResponse", session_.Alias() + ": EM Polling time = " + text + "ms");
        session_.NotifyStates(kExplicitReady, kUcmmReady);
        cycleRestart_.store(true);
    } else if (notifyReady) {
        session_.NotifyStates(kExplicitReady, kUcmmReady);
    }
}

// The values of a reply; each item belongs to the cycle's tag at the batch's start + i. The
// bytes move out of the reply.
ValueBatch PollingCycle::OnTagsDataProc(TagRequestSet& response, EipConnection& plcConnection) {
    ValueBatch values;
    if (state_.explicitStopped.load() != 0 || cycle_.tags.empty() || response.count == 0) {
        return values;
    }
    const size_t items = std::min<size_t>(response.count, kMaxTagReplies);
    const bool trace = eiplog::TraceOn();
    // Every tag of the snapshot is still in the map unless the poll list changed since.
    const bool listChanged = pollList_.Version() != cycle_.listVersion;
    const std::string alias = session_.Alias();
    values.reserve(items);
    for (size_t i = 0; i < items && cycle_.batchStart + i < cycle_.tags.size(); ++i) {
        PolledTag& polled = *cycle_.tags[cycle_.batchStart + i];
        const bool exists = !listChanged || tags_.StillMapped(*polled.tag);
        if (trace) {
            eiplog::Trace("OnTagsDataProc", alias + ": OnTagsDataProc : [" + polled.record->alias +
                                                "], exists : " + (exists ? "true" : "false"));
        }
        TagReplySet& item = response.replies[i];
        if (!exists || (item.generalStatus == 0 && !LayoutHolds(plcConnection, polled, item)) ||
            !AcceptReadReply(alias, *polled.record, item)) {
            continue;
        }
        if (polled.record->dataLen != item.dataLength) {
            tags_.LearnDataLength(polled, item.dataLength);
        }
        values.push_back(EipTagValue{polled.record, std::move(item.data)});
        DeviceStats::Add(stats_.valuesPublished);  // stats: value
    }
    return values;
}

// A structure whose reply carries another handle than its template's was changed in the
// controller's tag database: its layout is learned again before a value of it is published.
bool PollingCycle::LayoutHolds(EipConnection& plcConnection, PolledTag& polled,
                               const TagReplySet& item) {
    const LogixStructureInfo* structure = polled.record->structure.get();
    const bool ownChanged = structure != nullptr && structure->type &&
                            item.structHandle != structure->type->top->handle;
    if (!ownChanged && !item.layoutChanged) {
        return true;
    }
    if (tags_.RelearnStructure(plcConnection, polled)) {
        eiplog::Info("OnTagsDataProc", session_.Alias() + ": " + polled.record->alias +
                                           " - structure layout changed in the PLC, read again");
        // A member's value comes with the next read, cut by the new layout.
        return ownChanged;
    }
    eiplog::Error("OnTagsDataProc", session_.Alias() + ": " + polled.record->alias +
                                        " - structure layout changed in the PLC and not read "
                                        "again; value not published");
    return false;
}

// A read the controller refused, or an empty value, is not published; the first
// failure of a tag and its recovery are logged.
bool PollingCycle::AcceptReadReply(const std::string& alias, const TagInfo& info,
                                   const TagReplySet& item) {
    std::string problem;
    if (item.generalStatus != 0) {
        problem = eiplog::Text("read refused by the PLC (status 0x", hex(item.generalStatus, 2),
                               ", 0x", hex(item.extStatus, 4), ")");
    } else if (item.dataLength == 0) {
        problem = "empty value not published";
    }
    const bool failedBefore = failingTags_.count(info.alias) != 0;
    stats_.tagsFailing.store(
        failingTags_.size() + (problem.empty() ? 0 : 1) - (failedBefore ? 1 : 0),
        std::memory_order_relaxed);  // stats: failing tags
    if (problem.empty()) {
        if (failedBefore) {
            failingTags_.erase(info.alias);
            eiplog::Info("OnTagsDataProc", alias + ": " + info.alias + " is read again");
        }
        return true;
    }
    if (!failedBefore) {
        failingTags_.insert(info.alias);
        eiplog::Error("OnTagsDataProc", alias + ": " + info.alias + " - " + problem);
    }
    return false;
}

// ================================================================================= socket thread

bool PollingCycle::PollingAllowed() {
    return state_.explicitStopped.load() == 0 &&
           (!session_.ExplicitEnabled() || session_.ExplicitOpen());
}

// The wait until the next polling tick or the request time-out, whichever is
// first; -1 (no time-out) when neither is due.
int PollingCycle::PollTimeoutMillis(uint64_t now) {
    uint64_t due = UINT64_MAX;
    if (PollingAllowed()) {
        due = lastCycleStart_.load() + uint64_t(state_.explicitInterval.load()) * 1000;
    }
    if (state_.explicitStopped.load() == 0 && RequestOutstanding()) {
        due = std::min(due, requestSent_.load() + requestTimeout_ * 1000);
    }
    if (KeepAliveWanted()) {
        due = std::min(due, lastConnectedTraffic_.load() + KeepAlivePeriodMicros());
    }
    if (due == UINT64_MAX) {
        return -1;
    }
    // Rounded up, so that the wait never ends just before the moment it waits for.
    return due <= now ? 0
                      : static_cast<int>(std::min<uint64_t>((due - now + 999) / 1000, INT32_MAX));
}

void PollingCycle::SocketLoop() {
    eiplog::Info("SocketProcess", session_.Alias() + ": Socket Thread enter.");
    session_.StopReconnect();
    cycleRestart_.store(true);
    lane_.Open();
    while (socketThread_.Running()) {
        if (SessionLost()) {
            eiplog::Error("SocketProcess", session_.Alias() + ": EM connection lost.");
            Abort(true);
        }
        if (!awaitingReply_) {
            ServeIdleSession(session_.Connection(), SteadyMicros());
        }
        uint64_t now = SteadyMicros();
        if (PollingAllowed() &&
            now - lastCycleStart_.load() >= uint64_t(state_.explicitInterval.load()) * 1000) {
            lastCycleStart_.store(now);
            StartCycle(now);
        }
        if (SessionLost()) {
            continue;
        }
        std::shared_ptr<EipConnection> plcConnection = session_.Connection();
        const int tcpFd =
            plcConnection != nullptr && (session_.ExplicitOpen() || !session_.ExplicitEnabled())
                ? plcConnection->GetSocketFd()
                : -1;
        pollfd entries[2] = {{wakeFd_, POLLIN, 0}, {tcpFd, POLLIN, 0}};
        const int ready = ::poll(entries, tcpFd >= 0 ? 2 : 1, PollTimeoutMillis(SteadyMicros()));
        if (entries[0].revents != 0) {
            DrainEventFd(wakeFd_);
        }
        if (ready > 0 && tcpFd >= 0 && entries[1].revents != 0 &&
            plcConnection->GetSocketFd() == tcpFd) {
            HandleResponse(plcConnection);
        } else if (ready == 0) {
            CheckRequestTimeout();
        }
    }
    lane_.Close();
    eiplog::Info("SocketProcess", session_.Alias() + ": Socket Thread exit.");
}

// The controller drops a class-3 connection that carries nothing for four RPIs: an idle one
// gets a request once per RPI, so that Start Polling and writes after any pause work at once.
bool PollingCycle::KeepAliveWanted() const {
    return !awaitingReply_ && session_.ExplicitEnabled() && session_.ExplicitOpen();
}

uint64_t PollingCycle::KeepAlivePeriodMicros() const {
    return uint64_t(session_.ExplicitConnectionRpi()) * 1000;
}

void PollingCycle::ServeIdleSession(const std::shared_ptr<EipConnection>& plcConnection,
                                    uint64_t now) {
    lane_.RunPending(plcConnection.get());
    if (plcConnection == nullptr || !KeepAliveWanted() ||
        now - lastConnectedTraffic_.load() < KeepAlivePeriodMicros()) {
        return;
    }
    lastConnectedTraffic_.store(now);
    if (plcConnection->KeepAlive() != 0) {
        eiplog::Error("SocketProcess", session_.Alias() + ": EM connection keep-alive failed.");
        Abort(true);
    }
}

// A failed send closes the session's socket without a reply to wait for, so
// no time-out would ever notice it: the session is torn down and reconnected.
bool PollingCycle::SessionLost() {
    auto plcConnection = session_.Connection();
    const bool established = session_.ExplicitEnabled() ? session_.ExplicitOpen()
                                                        : session_.UCMMState() != kUcmmNonExist;
    return plcConnection != nullptr && plcConnection->GetSocketFd() < 0 && established;
}

bool PollingCycle::RequestOutstanding() {
    return session_.ExplicitEnabled()
               ? (session_.ExplicitOpen() && session_.ExplicitConnectionState() == kExplicitBusy)
               : session_.UCMMState() == kUcmmBusy;
}

void PollingCycle::CheckRequestTimeout() {
    if (state_.explicitStopped.load() != 0 || !RequestOutstanding() ||
        SteadyMicros() - requestSent_.load() < requestTimeout_ * 1000) {
        return;
    }
    eiplog::Error("SocketProcess", session_.Alias() + ": EM tag request timed out.");
    DeviceStats::Add(stats_.timeouts);  // stats: time-out
    Abort(true);
}
