#include "device/tessel_priority_queue.h"

#include <chrono>
#include <new>

bool QueueData::SetData(const uint8_t* bytes, size_t length) {
    if (length > kDataCapacity || (bytes == nullptr && length != 0)) {
        dataLen = 0;
        return false;
    }
    eip_ByteMove(data, bytes, static_cast<uint32_t>(length));
    dataLen = static_cast<uint16_t>(length);
    return true;
}

PriorityQueue::~PriorityQueue() {
    Clear();
}

void PriorityQueue::SetMaxSize(uint32_t max) {
    maxSize_ = max;
}

void PriorityQueue::SetPriorityCount(uint16_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
    levels_.assign(n, std::deque<QueueData*>());
    levelCount_ = n;
    topLevel_.store(n, std::memory_order_relaxed);
}

int PriorityQueue::Enqueue(QueueData* record) {
    if (record == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (levels_.empty()) {
        return 1;
    }
    const uint16_t level = record->priority;
    if (level >= levelCount_) {
        return 0;
    }
    std::deque<QueueData*>& fifo = levels_[level];
    fifo.push_back(record);
    uint32_t count = count_.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (count > maxSize_) {
        // Over the limit: the stalest value of this level is the one nobody will miss.
        DeleteData(fifo.front());
        fifo.pop_front();
        count = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
    // The record itself may have been the one dropped (maximum 0): only its level is used here.
    if (!fifo.empty() && level < topLevel_.load(std::memory_order_relaxed)) {
        topLevel_.store(level, std::memory_order_relaxed);
    }
    recordArrived_.notify_one();
    return static_cast<int>(count);
}

QueueData* PriorityQueue::Dequeue(uint32_t timeout) {
    if (timeout == 0) {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        return lock.owns_lock() ? TakeFirstLocked() : nullptr;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    recordArrived_.wait_for(lock, std::chrono::microseconds(timeout),
                            [this] { return count_.load(std::memory_order_relaxed) > 0; });
    return TakeFirstLocked();
}

QueueData* PriorityQueue::TakeFirstLocked() {
    for (uint16_t level = topLevel_.load(std::memory_order_relaxed); level < levelCount_; ++level) {
        std::deque<QueueData*>& fifo = levels_[level];
        if (fifo.empty()) {
            continue;
        }
        QueueData* record = fifo.front();
        fifo.pop_front();
        count_.fetch_sub(1, std::memory_order_acq_rel);
        topLevel_.store(level, std::memory_order_relaxed);
        return record;
    }
    topLevel_.store(levelCount_, std::memory_order_relaxed);
    return nullptr;
}

void PriorityQueue::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
}

void PriorityQueue::ClearLocked() {
    for (std::deque<QueueData*>& fifo : levels_) {
        for (QueueData* record : fifo) {
            DeleteData(record);
        }
        fifo.clear();
    }
    count_.store(0, std::memory_order_release);
    topLevel_.store(levelCount_, std::memory_order_relaxed);
}

QueueData* PriorityQueue::NewData() {
    return new (std::nothrow) QueueData();
}

void PriorityQueue::DeleteData(QueueData* record) {
    delete record;
}
