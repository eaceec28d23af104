// The value queue of a device: hands the values of the polling cycle and of I/O listening to
// the node tree, each batch in one call, on a thread of its own.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "device/device_stats.h"
#include "device/device_types.h"
#include "device/worker_thread.h"

class DeviceSession;
class TagTable;

// Threads and locks: the socket thread and the I/O receiving thread hand batches over; the
// queue thread blocks until one is there and publishes it, so that publishing overlaps the next
// exchange. At a cycle's end the socket thread may publish itself (PublishIfIdle). mutex_
// guards pending_ and busy_ and is never held while publishing; the callbacks run without any
// lock.
class ValuePublisher {
  public:
    ValuePublisher(DeviceSession& session, TagTable& tags, DeviceCallbacks& callbacks,
                   const DeviceLife& life);
    ValuePublisher(const ValuePublisher&) = delete;
    ValuePublisher& operator=(const ValuePublisher&) = delete;

    int Start();
    int Stop();
    // One lock and at most one wake-up of the queue thread per batch, whatever its size.
    void HandOver(ValueBatch batch);
    // Publishes the batch on the calling thread when nothing waits for the queue thread; false
    // (the batch untouched) otherwise.
    bool PublishIfIdle(ValueBatch& batch);

  private:
    void QueueLoop();
    void Wake();
    void Publish(const EipDeviceCallbacks& cb, const std::string& alias, ValueBatch& batch);
    void DispatchIOValue(const EipDeviceCallbacks& cb, const std::string& alias,
                         const EipTagValue& value);

    DeviceSession& session_;
    TagTable& tags_;
    DeviceCallbacks& callbacks_;
    std::mutex mutex_;
    std::condition_variable ready_;
    ValueBatch pending_;
    bool busy_ = false;  // the queue thread is publishing a batch
    WorkerThread queueThread_;
};
