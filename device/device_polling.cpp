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
    if (retired_.load()) {
        message = errorText(tessel::TL_ERR_PLC_NOT_EXIST);
        return -1;
    }
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
    wakeSocket();
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
    int result = -2;
    if (auto cnxn = connection()) {
        std::lock_guard<std::mutex> pollingLock(pollingMutex_);
        result = RequestTags(*cnxn);
    } else {
        eiplog::Error("RequestTags", alias + ": EM CNXN or UCMM STATE not READY");
    }
    if (result == 0) {
        notifyStates(EM_CNXN_BUSY, UCMM_BUSY);
    } else if (emPollingStopped_.load() != 0) {
        notifyStates(EM_CNXN_READY, UCMM_READY);
    }
    return 1;
}

// Called with pollingMutex_ held, on the socket thread (the only one exchanging
// on the polling session).
int EipDevice::RequestTags(EipConnection& cnxn) {
    if (emPollingStopped_.load() != 0) {
        eiplog::Error("RequestTags", GetAlias() + ": polling stopped");
        return -1;
    }
    if (!cnxn.CheckStatesForPolling(ucmmState_.load(), emCnxnState_.load())) {
        eiplog::Error("RequestTags", GetAlias() + ": EM CNXN or UCMM STATE not READY");
        return -2;
    }
    requestSent_.store(steadyMicros());
    batchStart_ = nextIndex_;
    batchStale_ = false;
    if (cnxn.RequestEMTags(pollList_, pollCount_, nextIndex_) == 0) {
        DeviceStats::Add(stats_.requests);  // stats: request
        return 0;
    }
    eiplog::Error("RequestTags", GetAlias() + ": Request EM Tags fail.");
    return -1;
}

// Reads one reply, requests the cycle's next batch and hands the reply's values
// over in one batch.
void EipDevice::handleEMTagResponse(const std::shared_ptr<EipConnection>& cnxn) {
    // About 36 KB: kept off the socket thread's stack.
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    int received = 0;
    bool finished = false;
    bool notifyReady = false;
    ValueBatch values;
    {
        std::lock_guard<std::mutex> pollingLock(pollingMutex_);
        const EipConnection::TagLookup lookup = [this](uint16_t index) -> EipTag* {
            return index < pollList_.size() ? pollList_[index] : nullptr;
        };
        received = cnxn->RecvEMTags(*response, lookup);
        if (received >= 1) {
            values = OnTagsDataProc(response.get());
            emCnxnState_.store(EM_CNXN_READY);
            ucmmState_.store(UCMM_READY);
            if (nextIndex_ == 0) {
                finished = true;
            } else if (RequestTags(*cnxn) != 0) {
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
    handOver(std::move(values));
    if (finished) {
        stats_.AddCycle(steadyMicros() - cycleBegin_);  // stats: cycle
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
EipDevice::ValueBatch EipDevice::OnTagsDataProc(const EIPC_TAG_REQUEST_STRUCT* response) {
    ValueBatch values;
    if (emPollingStopped_.load() != 0 || pollList_.empty() || response->count == 0 || batchStale_) {
        return values;
    }
    const size_t items = std::min<size_t>(response->count, EIPC_TAG_REPLY_MAX);
    const bool trace = eiplog::TraceOn();
    const std::string alias = GetAlias();
    values.reserve(items);
    std::lock_guard<std::mutex> mapLock(tagMapMutex_);
    for (size_t i = 0; i < items && batchStart_ + i < pollList_.size(); ++i) {
        EipTag* tag = pollList_[batchStart_ + i];
        _eipTagInfo& info = tag->GetInfo();
        const bool exists = emTagMap_.count(info.alias) != 0;
        if (trace) {
            eiplog::Trace("OnTagsDataProc", alias + ": OnTagsDataProc : [" + info.alias +
                                                "], exists : " + (exists ? "true" : "false"));
        }
        const EIPC_TAG_REPLY_STRUCT& item = response->replies[i];
        if (!exists || !acceptReadReply(alias, info, item)) {
            continue;
        }
        info.dataLen = item.dataLength;
        values.push_back(PublishedValue{info, item.data});
        DeviceStats::Add(stats_.valuesPublished);  // stats: value
    }
    return values;
}

// A read the controller refused, or an empty value, is not published; the first
// failure of a tag and its recovery are logged.
bool EipDevice::acceptReadReply(const std::string& alias, const _eipTagInfo& info,
                                const EIPC_TAG_REPLY_STRUCT& item) {
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

// ================================================================================= socket thread

bool EipDevice::emPollingAllowed() {
    return emPollingStopped_.load() == 0 && (!emEnabled_.load() || emCnxnOpen_.load());
}

// The wait until the next polling tick or the request time-out, whichever is
// first; -1 (no time-out) when neither is due.
int EipDevice::pollTimeoutMillis(uint64_t now) {
    uint64_t due = UINT64_MAX;
    if (emPollingAllowed()) {
        due = lastCycleStart_.load() + uint64_t(emPollingInterval_.load()) * 1000;
    }
    if (emPollingStopped_.load() == 0 && requestOutstanding()) {
        due = std::min(due, requestSent_.load() + emRequestTimeout_ * 1000);
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
        if (sessionLost()) {
            eiplog::Error("SocketProcess", GetAlias() + ": EM connection lost.");
            abortEMPolling(true);
        }
        uint64_t now = steadyMicros();
        if (emPollingAllowed() &&
            now - lastCycleStart_.load() >= uint64_t(emPollingInterval_.load()) * 1000) {
            lastCycleStart_.store(now);
            startEMPollingCycle(now);
        }
        if (sessionLost()) {
            continue;
        }
        std::shared_ptr<EipConnection> cnxn = connection();
        const int tcpFd = cnxn != nullptr && (emCnxnOpen_.load() || !emEnabled_.load())
                              ? cnxn->GetSocketFd()
                              : -1;
        pollfd entries[2] = {{wakeFd_, POLLIN, 0}, {tcpFd, POLLIN, 0}};
        const int ready = ::poll(entries, tcpFd >= 0 ? 2 : 1, pollTimeoutMillis(steadyMicros()));
        if (entries[0].revents != 0) {
            drainEventFd(wakeFd_);
        }
        if (ready > 0 && tcpFd >= 0 && entries[1].revents != 0 && cnxn->GetSocketFd() == tcpFd) {
            handleEMTagResponse(cnxn);
        } else if (ready == 0) {
            checkRequestTimeout();
        }
    }
    eiplog::Info("SocketProcess", GetAlias() + ": Socket Thread exit.");
}

// A failed send closes the session's socket without a reply to wait for, so
// no time-out would ever notice it: the session is torn down and reconnected.
bool EipDevice::sessionLost() {
    auto cnxn = connection();
    const bool established =
        emEnabled_.load() ? emCnxnOpen_.load() : ucmmState_.load() != UCMM_NON_EXIST;
    return cnxn != nullptr && cnxn->GetSocketFd() < 0 && established;
}

bool EipDevice::requestOutstanding() {
    return emEnabled_.load() ? (emCnxnOpen_.load() && emCnxnState_.load() == EM_CNXN_BUSY)
                             : ucmmState_.load() == UCMM_BUSY;
}

void EipDevice::checkRequestTimeout() {
    if (emPollingStopped_.load() != 0 || !requestOutstanding() ||
        steadyMicros() - requestSent_.load() < emRequestTimeout_ * 1000) {
        return;
    }
    eiplog::Error("SocketProcess", GetAlias() + ": EM tag request timed out.");
    DeviceStats::Add(stats_.timeouts);  // stats: time-out
    abortEMPolling(true);
}

// ================================================================================== value hand-off

// One lock and at most one wake-up per reply, whatever its number of values.
void EipDevice::handOver(ValueBatch batch) {
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
        }
        if (batch.empty()) {
            continue;
        }
        // One callback set and alias per batch: the set is immutable once installed.
        const auto cb = callbacks();
        const std::string alias = GetAlias();
        for (const PublishedValue& value : batch) {
            dispatchValue(*cb, alias, value);
        }
        batch.clear();
    }
}

void EipDevice::dispatchValue(const EipDeviceCallbacks& cb, const std::string& alias,
                              const PublishedValue& value) {
    const _eipTagInfo& tag = value.tag;
    const uint8_t* data = value.data.data();
    const auto length = static_cast<uint16_t>(value.data.size());
    // A value that cannot be published (a callback that throws) must not end
    // the thread; the node tree already logs why.
    try {
        if (hasBit(tag.rwFlag, EIP_RW_FLAG_IO)) {
            if (!cb.ioTagValue) {
                return;
            }
            cb.ioTagValue(alias, tag, data, length);
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
                    cb.ioSubTagValue(alias, tag, subtag, data, length);
                }
            }
        } else if (hasBit(tag.rwFlag, EIP_RW_FLAG_READ) && cb.emTagValue) {
            if (eiplog::TraceOn()) {
                eiplog::Trace("QueueProcess", alias + ": Dequeue data : " + tag.alias);
            }
            cb.emTagValue(alias, tag, data, length);
        }
    } catch (const std::exception& e) {
        eiplog::Error("QueueProcess",
                      alias + ": value of " + tag.alias + " not published - " + e.what());
    }
}
