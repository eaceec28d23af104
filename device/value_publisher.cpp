#include "device/value_publisher.h"

#include "common/eip_log.h"
#include "device/device_session.h"
#include "device/device_support.h"
#include "device/tag_table.h"

using namespace device_detail;

ValuePublisher::ValuePublisher(DeviceSession& session, TagTable& tags, DeviceCallbacks& callbacks,
                               const DeviceLife& life)
    : session_(session),
      tags_(tags),
      callbacks_(callbacks),
      queueThread_({"Queue Thread", [this] { return session_.Alias(); }, [this] { QueueLoop(); },
                    [this] { Wake(); }},
                   life.shuttingDown) {}

int ValuePublisher::Start() {
    return queueThread_.Restart();
}

int ValuePublisher::Stop() {
    return queueThread_.Stop();
}

void ValuePublisher::Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.notify_all();
}

void ValuePublisher::HandOver(ValueBatch batch) {
    if (batch.empty()) {
        return;
    }
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wasEmpty = pending_.empty();
        if (wasEmpty) {
            pending_ = std::move(batch);
        } else {
            pending_.insert(pending_.end(), std::make_move_iterator(batch.begin()),
                            std::make_move_iterator(batch.end()));
        }
    }
    if (wasEmpty) {
        ready_.notify_one();
    }
}

void ValuePublisher::QueueLoop() {
    ValueBatch batch;
    while (queueThread_.Running()) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return !pending_.empty() || !queueThread_.Running(); });
            batch.swap(pending_);
            busy_ = !batch.empty();
        }
        if (batch.empty()) {
            continue;
        }
        // One callback set and alias per batch: the set is immutable once installed.
        Publish(*callbacks_.Get(), session_.Alias(), batch);
        batch.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = false;
    }
}

// At a cycle's end the socket thread waits for nothing but the next tick: when no earlier value
// waits for the queue thread, it publishes the cycle's last reply itself, which spares a cycle of
// one request (a small PLC's) the hand-off. With earlier values pending it hands over behind
// them, so that a tag's values never overtake each other.
bool ValuePublisher::PublishIfIdle(ValueBatch& batch) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pending_.empty() || busy_) {
            return false;
        }
    }
    if (!batch.empty()) {
        Publish(*callbacks_.Get(), session_.Alias(), batch);
    }
    return true;
}

// The EM values go to the node tree in runs of one call each; an I/O value between them keeps
// its place.
void ValuePublisher::Publish(const EipDeviceCallbacks& cb, const std::string& alias,
                             ValueBatch& batch) {
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

void ValuePublisher::DispatchIOValue(const EipDeviceCallbacks& cb, const std::string& alias,
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
        const std::vector<SubTagInfo> subtags = tags_.IoSubTags(tag.alias);
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
