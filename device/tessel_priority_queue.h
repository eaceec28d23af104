#pragma once

// Bounded multi-level FIFO carrying received tag values from a device's socket thread (producer)
// to its queue thread (consumer). Lower level numbers leave first; one level leaves in arrival
// order; when the queue is over its maximum, the oldest record of the arriving record's level is
// dropped, so an overloaded consumer never blocks the socket thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "common/eip_utils.h"

// One received value. Records are handed over by pointer: the value is copied once, into data.
struct QueueData {
    static constexpr size_t kDataCapacity = 256;

    uint16_t priority = 0;  // level; 0 leaves first; must be below the queue's level count
    _eipTagInfo tagInfo;  // copy of the tag's configuration; tagInfo.dataLen is this value's length
    uint8_t data[kDataCapacity] = {};
    uint16_t dataLen = 0;  // valid bytes in data

    // Copies the value bytes. A value longer than kDataCapacity is refused (false) and the record
    // is left empty, so a value is never silently cut.
    bool SetData(const uint8_t* bytes, size_t length);
};

// Threads: any number of producers call Enqueue, any number of consumers call Dequeue; in this
// program there is one of each per device. mutex_ guards levels_ and is held only for O(1) work.
// count_ and topLevel_ are atomics so the consumer can test for records without the lock;
// topLevel_ is only written under mutex_. SetMaxSize and SetPriorityCount configure the queue
// before it is shared and are not meant to race with Enqueue/Dequeue.
class PriorityQueue {
  public:
    PriorityQueue() = default;
    ~PriorityQueue();
    PriorityQueue(const PriorityQueue&) = delete;
    PriorityQueue& operator=(const PriorityQueue&) = delete;

    void SetMaxSize(uint32_t max);
    // Frees every held record and creates n empty levels.
    void SetPriorityCount(uint16_t n);

    // Takes ownership of the record and returns the count after the operation. A record the
    // queue cannot hold stays with the caller: without levels the result is 1 (SetPriorityCount
    // was never called), with a priority at or above the level count (or a null record) it is 0.
    int Enqueue(QueueData* record);

    // The first record by level, or null; ownership passes to the caller. With timeout 0 it never
    // blocks (it returns null when the producer holds the lock at that instant); otherwise it
    // waits up to timeout microseconds for a record.
    QueueData* Dequeue(uint32_t timeout);

    // Removes and frees every record.
    void Clear();

    uint32_t GetCount() const { return count_.load(std::memory_order_acquire); }
    uint32_t GetMaxSize() const { return maxSize_; }
    uint16_t GetPriorityCount() const { return levelCount_; }
    // Records dropped because the queue was over its maximum, since construction.
    uint64_t GetDroppedCount() const { return dropped_.load(std::memory_order_relaxed); }

    // A new zero-initialised record, or null when memory is short.
    static QueueData* NewData();
    // Frees a record; null is ignored.
    static void DeleteData(QueueData* record);

  private:
    QueueData* TakeFirstLocked();
    void ClearLocked();

    std::vector<std::deque<QueueData*>> levels_;
    uint32_t maxSize_ = 0;
    std::atomic<uint32_t> count_{0};
    uint16_t levelCount_ = 0;
    std::atomic<uint16_t> topLevel_{0};  // lowest level that may hold a record
    std::atomic<uint64_t> dropped_{0};
    std::mutex mutex_;
    std::condition_variable recordArrived_;
};
