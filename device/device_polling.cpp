// The polling cycle of a device and the hand-off of its values to the node tree.
#include "device/eip_device.h"

#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <memory>

#include "common/eip_log.h"
#include "device/device_support.h"
#include "eip/eip_connection.h"
#include "tag/eip_tag.h"

using namespace device_detail;

// ================================================================================ polling cycle

int EipDevice::PrepareExplicitPolling(std::string& message) {
    std::lock_guard<std::mutex> pollingLock(pollingMutex_);
    std::lock_guard<std::mutex> mapLock(tagMapMutex_);
    pollList_.clear();
    ++pollListVersion_;
    for (const auto& entry : explicitTagMap_) {
        const TagInfo& info = entry.second->GetInfo();
        if (HasBit(info.rwFlag, kRwFlagRead)) {
            pollList_.push_back(std::make_shared<PolledTag>(
                PolledTag{entry.second, std::make_shared<const TagInfo>(info)}));
        }
    }
    if (pollList_.empty()) {
        message = errorText(link_error::kReadTagsNotExist);
        return -1;
    }
    return 0;
}

int EipDevice::StartExplicitPolling(int interval, std::string& message) {
    if (retired_.load()) {
        message = errorText(link_error::kPlcNotExist);
        return -1;
    }
    if (interval < 1 || interval > UINT16_MAX) {
        message = errorText(link_error::kIntervalRange);
        return -1;
    }
    if (PrepareExplicitPolling(message) != 0) {
        return -1;
    }
    // The first cycle starts (interval mod 1000) ms from now.
    lastCycleStart_.store(SteadyMicros() - uint64_t(interval / 1000) * 1000000);
    cycleRestart_.store(true);
    explicitPollingStopped_.store(0);
    SetExplicitPollingState(static_cast<uint16_t>(interval), true);
    WakeSocket();
    return 0;
}

int EipDevice::StopExplicitPolling(std::string& message) {
    (void)message;
    explicitPollingStopped_.store(1);
    SetExplicitPollingState(0, true);
    std::lock_guard<std::mutex> lock(pollingMutex_);
    pollList_.clear();
    ++pollListVersion_;
    return 0;
}

void EipDevice::SetExplicitPollingState(uint16_t interval, bool notify) {
    explicitPollingInterval_.store(interval);
    NotifyPollingState(notify);
}

void EipDevice::NotifyPollingState(bool notify) {
    if (!notify) {
        return;
    }
    auto cb = callbacks();
    if (cb->actionToggle) {
        cb->actionToggle(GetAlias(), explicitPollingStopped_.load(),
                         explicitPollingInterval_.load(), ioPollingStopped_.load(),
                         ioParam1_.load(), ioParam2_.load());
    }
}

int EipDevice::StartExplicitPollingCycle(uint64_t now) {
    if (!cycleRestart_.exchange(false)) {
        return 1;
    }
    cycleBegin_ = now;
    const std::string alias = GetAlias();
    eiplog::Info("startEMPollingCycle", alias + ": Send EM Polling request - " + WallClockText());
    TakeCycleSnapshot();
    int result = -2;
    if (auto plcConnection = connection()) {
        result = RequestTags(*plcConnection);
    } else {
        eiplog::Error("RequestTags", alias + ": EM CNXN or UCMM STATE not READY");
    }
    if (result == 0) {
        NotifyStates(kExplicitBusy, kUcmmBusy);
    } else if (explicitPollingStopped_.load() != 0) {
        NotifyStates(kExplicitReady, kUcmmReady);
    }
    return 1;
}

// The only moment the socket thread takes pollingMutex_: the cycle then runs on its own copy.
void EipDevice::TakeCycleSnapshot() {
    std::lock_guard<std::mutex> pollingLock(pollingMutex_);
    cycle_.tags = pollList_;
    cycle_.listVersion = pollListVersion_.load();
    cycle_.view.clear();
    for (const auto& polled : cycle_.tags) {
        cycle_.view.push_back(polled->tag.get());
    }
    cycle_.next = 0;
    cycle_.batchStart = 0;
}

// On the socket thread (the only one exchanging on the polling session), without any lock.
int EipDevice::RequestTags(EipConnection& plcConnection) {
    if (explicitPollingStopped_.load() != 0) {
        eiplog::Error("RequestTags", GetAlias() + ": polling stopped");
        return -1;
    }
    if (!plcConnection.CheckStatesForPolling(ucmmState_.load(), explicitConnectionState_.load())) {
        eiplog::Error("RequestTags", GetAlias() + ": EM CNXN or UCMM STATE not READY");
        return -2;
    }
    requestSent_.store(SteadyMicros());
    cycle_.batchStart = cycle_.next;
    if (plcConnection.RequestExplicitTags(cycle_.view, cycle_.view.size(), cycle_.next) == 0) {
        DeviceStats::Add(stats_.requests);  // stats: request
        return 0;
    }
    eiplog::Error("RequestTags", GetAlias() + ": Request EM Tags fail.");
    return -1;
}

// Reads one reply, requests the cycle's next batch and hands the reply's values
// over in one batch. No lock is held across the read or the send.
void EipDevice::HandleExplicitTagResponse(const std::shared_ptr<EipConnection>& plcConnection) {
    if (!cycle_.reply) {
        cycle_.reply = std::make_unique<TagRequestSet>();
    }
    TagRequestSet& response = *cycle_.reply;
    const EipConnection::TagLookup lookup = [this](uint16_t index) -> EipTag* {
        return index < cycle_.view.size() ? cycle_.view[index] : nullptr;
    };
    const int received = plcConnection->RecvExplicitTags(response, lookup);
    if (received < 1) {
        eiplog::Error("handleEMTagResponse",
                      eiplog::Text(GetAlias(), ": TCP socket close. - ", received));
        AbortExplicitPolling(true);
        return;
    }
    ValueBatch values = OnTagsDataProc(response);
    explicitConnectionState_.store(kExplicitReady);
    ucmmState_.store(kUcmmReady);
    const bool finished = cycle_.next == 0;
    bool notifyReady = false;
    if (!finished) {
        if (RequestTags(*plcConnection) != 0) {
            cycleRestart_.store(true);
            notifyReady = explicitPollingStopped_.load() != 0;
        } else {
            explicitConnectionState_.store(kExplicitBusy);
            ucmmState_.store(kUcmmBusy);
        }
    }
    const uint64_t cycleMicros = SteadyMicros() - cycleBegin_;
    if (!finished || !PublishIfQueueIdle(values)) {
        HandOver(std::move(values));
    }
    if (finished) {
        stats_.AddCycle(cycleMicros);  // stats: cycle
        char text[32] = {};
        std::snprintf(text, sizeof text, "%.2f", static_cast<float>(cycleMicros) / 1000.0f);
        eiplog::Info("handleEMTagResponse", GetAlias() + ": EM Polling time = " + text + "ms");
        NotifyStates(kExplicitReady, kUcmmReady);
        cycleRestart_.store(true);
    } else if (notifyReady) {
        NotifyStates(kExplicitReady, kUcmmReady);
    }
}

// The values of a reply; each item belongs to the cycle's tag at the batch's start + i. The
// bytes move out of the reply.
EipDevice::ValueBatch EipDevice::OnTagsDataProc(TagRequestSet& response) {
    ValueBatch values;
    if (explicitPollingStopped_.load() != 0 || cycle_.tags.empty() || response.count == 0) {
        return values;
    }
    const size_t items = std::min<size_t>(response.count, kMaxTagReplies);
    const bool trace = eiplog::TraceOn();
    // Every tag of the snapshot is still in the map unless the poll list changed since.
    const bool listChanged = pollListVersion_.load() != cycle_.listVersion;
    const std::string alias = GetAlias();
    values.reserve(items);
    for (size_t i = 0; i < items && cycle_.batchStart + i < cycle_.tags.size(); ++i) {
        PolledTag& polled = *cycle_.tags[cycle_.batchStart + i];
        const bool exists = !listChanged || StillMapped(*polled.tag);
        if (trace) {
            eiplog::Trace("OnTagsDataProc", alias + ": OnTagsDataProc : [" + polled.record->alias +
                                                "], exists : " + (exists ? "true" : "false"));
        }
        TagReplySet& item = response.replies[i];
        if (!exists || !AcceptReadReply(alias, *polled.record, item)) {
            continue;
        }
        if (polled.record->dataLen != item.dataLength) {
            // The tag learns its size from the PLC.
            std::lock_guard<std::mutex> mapLock(tagMapMutex_);
            TagInfo& info = polled.tag->GetInfo();
            info.dataLen = item.dataLength;
            polled.record = std::make_shared<const TagInfo>(info);
        }
        values.push_back(EipTagValue{polled.record, std::move(item.data)});
        DeviceStats::Add(stats_.valuesPublished);  // stats: value
    }
    return values;
}

bool EipDevice::StillMapped(const EipTag& tag) {
    std::lock_guard<std::mutex> mapLock(tagMapMutex_);
    auto it = explicitTagMap_.find(tag.GetInfo().alias);
    return it != explicitTagMap_.end() && it->second.get() == &tag;
}

// A read the controller refused, or an empty value, is not published; the first
// failure of a tag and its recovery are logged.
bool EipDevice::AcceptReadReply(const std::string& alias, const TagInfo& info,
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

// Puts a tag's replacement in its place in the poll list, or takes the tag out when there is
// none. Called with pollingMutex_ and tagMapMutex_ held. A cycle running on the old tag goes on
// with it but no longer publishes its values.
void EipDevice::ReplacePolledTagLocked(const EipTag* tag, std::shared_ptr<EipTag> replacement) {
    auto it = std::find_if(pollList_.begin(), pollList_.end(),
                           [tag](const auto& polled) { return polled->tag.get() == tag; });
    if (it == pollList_.end()) {
        return;
    }
    ++pollListVersion_;
    if (replacement == nullptr) {
        pollList_.erase(it);
        return;
    }
    auto record = std::make_shared<const TagInfo>(replacement->GetInfo());
    *it = std::make_shared<PolledTag>(PolledTag{std::move(replacement), std::move(record)});
}

// ================================================================================= socket thread

bool EipDevice::ExplicitPollingAllowed() {
    return explicitPollingStopped_.load() == 0 &&
           (!explicitEnabled_.load() || explicitConnectionOpen_.load());
}

// The wait until the next polling tick or the request time-out, whichever is
// first; -1 (no time-out) when neither is due.
int EipDevice::PollTimeoutMillis(uint64_t now) {
    uint64_t due = UINT64_MAX;
    if (ExplicitPollingAllowed()) {
        due = lastCycleStart_.load() + uint64_t(explicitPollingInterval_.load()) * 1000;
    }
    if (explicitPollingStopped_.load() == 0 && RequestOutstanding()) {
        due = std::min(due, requestSent_.load() + explicitRequestTimeout_ * 1000);
    }
    if (due == UINT64_MAX) {
        return -1;
    }
    // Rounded up, so that the wait never ends just before the moment it waits for.
    return due <= now ? 0
                      : static_cast<int>(std::min<uint64_t>((due - now + 999) / 1000, INT32_MAX));
}

void EipDevice::SocketProcess() {
    eiplog::Info("SocketProcess", GetAlias() + ": Socket Thread enter.");
    StopReconnectProcess();
    cycleRestart_.store(true);
    while (socketThread_.running.load()) {
        if (SessionLost()) {
            eiplog::Error("SocketProcess", GetAlias() + ": EM connection lost.");
            AbortExplicitPolling(true);
        }
        uint64_t now = SteadyMicros();
        if (ExplicitPollingAllowed() &&
            now - lastCycleStart_.load() >= uint64_t(explicitPollingInterval_.load()) * 1000) {
            lastCycleStart_.store(now);
            StartExplicitPollingCycle(now);
        }
        if (SessionLost()) {
            continue;
        }
        std::shared_ptr<EipConnection> plcConnection = connection();
        const int tcpFd =
            plcConnection != nullptr && (explicitConnectionOpen_.load() || !explicitEnabled_.load())
                ? plcConnection->GetSocketFd()
                : -1;
        pollfd entries[2] = {{wakeFd_, POLLIN, 0}, {tcpFd, POLLIN, 0}};
        const int ready = ::poll(entries, tcpFd >= 0 ? 2 : 1, PollTimeoutMillis(SteadyMicros()));
        if (entries[0].revents != 0) {
            DrainEventFd(wakeFd_);
        }
        if (ready > 0 && tcpFd >= 0 && entries[1].revents != 0 &&
            plcConnection->GetSocketFd() == tcpFd) {
            HandleExplicitTagResponse(plcConnection);
        } else if (ready == 0) {
            CheckRequestTimeout();
        }
    }
    eiplog::Info("SocketProcess", GetAlias() + ": Socket Thread exit.");
}

// A failed send closes the session's socket without a reply to wait for, so
// no time-out would ever notice it: the session is torn down and reconnected.
bool EipDevice::SessionLost() {
    auto plcConnection = connection();
    const bool established = explicitEnabled_.load() ? explicitConnectionOpen_.load()
                                                     : ucmmState_.load() != kUcmmNonExist;
    return plcConnection != nullptr && plcConnection->GetSocketFd() < 0 && established;
}

bool EipDevice::RequestOutstanding() {
    return explicitEnabled_.load() ? (explicitConnectionOpen_.load() &&
                                      explicitConnectionState_.load() == kExplicitBusy)
                                   : ucmmState_.load() == kUcmmBusy;
}

void EipDevice::CheckRequestTimeout() {
    if (explicitPollingStopped_.load() != 0 || !RequestOutstanding() ||
        SteadyMicros() - requestSent_.load() < explicitRequestTimeout_ * 1000) {
        return;
    }
    eiplog::Error("SocketProcess", GetAlias() + ": EM tag request timed out.");
    DeviceStats::Add(stats_.timeouts);  // stats: time-out
    AbortExplicitPolling(true);
}

// ================================================================================== value hand-off

void EipDevice::HandOver(ValueBatch batch) {
    if (batch.empty()) {
        return;
    }
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(valueMutex_);
        wasEmpty = pendingValues_.empty();
        if (wasEmpty) {
            pendingValues_ = std::move(batch);
        } else {
            pendingValues_.insert(pendingValues_.end(), std::make_move_iterator(batch.begin()),
                                  std::make_move_iterator(batch.end()));
        }
    }
    if (wasEmpty) {
        valueReady_.notify_one();
    }
}

void EipDevice::QueueProcess() {
    ValueBatch batch;
    while (queueThread_.running.load()) {
        {
            std::unique_lock<std::mutex> lock(valueMutex_);
            valueReady_.wait(
                lock, [this] { return !pendingValues_.empty() || !queueThread_.running.load(); });
            batch.swap(pendingValues_);
            queueBusy_ = !batch.empty();
        }
        if (batch.empty()) {
            continue;
        }
        // One callback set and alias per batch: the set is immutable once installed.
        publish(*callbacks(), GetAlias(), batch);
        batch.clear();
        std::lock_guard<std::mutex> lock(valueMutex_);
        queueBusy_ = false;
    }
}

// At a cycle's end the socket thread waits for nothing but the next tick: when no earlier value
// waits for the queue thread, it publishes the cycle's last reply itself, which spares a cycle of
// one request (a small PLC's) the hand-off. With earlier values pending it hands over behind
// them, so that a tag's values never overtake each other.
bool EipDevice::PublishIfQueueIdle(ValueBatch& batch) {
    {
        std::lock_guard<std::mutex> lock(valueMutex_);
        if (!pendingValues_.empty() || queueBusy_) {
            return false;
        }
    }
    if (!batch.empty()) {
        publish(*callbacks(), GetAlias(), batch);
    }
    return true;
}

// The EM values go to the node tree in runs of one call each; an I/O value between them keeps
// its place.
void EipDevice::publish(const EipDeviceCallbacks& cb, const std::string& alias, ValueBatch& batch) {
    ValueBatch run;
    auto flushRun = [&] {
        if (run.empty()) {
            return;
        }
        if (eiplog::TraceOn()) {
            for (const EipTagValue& value : run) {
                eiplog::Trace("QueueProcess", alias + ": Dequeue data : " + value.tag->alias);
            }
        }
        // Values that cannot be published (a callback that throws) must not end the thread;
        // the node tree already logs why.
        try {
            cb.explicitTagValues(alias, run);
        } catch (const std::exception& e) {
            eiplog::Error("QueueProcess", alias + ": values not published - " + e.what());
        }
        run.clear();
    };
    for (EipTagValue& value : batch) {
        const uint8_t flags = value.tag->rwFlag;
        if (HasBit(flags, kRwFlagIo)) {
            flushRun();
            DispatchIOValue(cb, alias, value);
        } else if (HasBit(flags, kRwFlagRead) && cb.explicitTagValues) {
            run.push_back(std::move(value));
        }
    }
    flushRun();
}

void EipDevice::DispatchIOValue(const EipDeviceCallbacks& cb, const std::string& alias,
                                const EipTagValue& value) {
    const TagInfo& tag = *value.tag;
    const uint8_t* data = value.data.data();
    const auto length = static_cast<uint16_t>(value.data.size());
    if (!cb.ioTagValue) {
        return;
    }
    // A value that cannot be published (a callback that throws) must not end
    // the thread; the node tree already logs why.
    try {
        cb.ioTagValue(alias, tag, data, length);
        std::vector<SubTagInfo> subtags;
        {
            std::lock_guard<std::mutex> lock(tagMapMutex_);
            auto it = ioTagMap_.find(tag.alias);
            if (it != ioTagMap_.end()) {
                subtags = it->second->GetSubTags();
            }
        }
        if (cb.ioSubTagValue) {
            for (const auto& subtag : subtags) {
                cb.ioSubTagValue(alias, tag, subtag, data, length);
            }
        }
    } catch (const std::exception& e) {
        eiplog::Error("QueueProcess",
                      alias + ": value of " + tag.alias + " not published - " + e.what());
    }
}
