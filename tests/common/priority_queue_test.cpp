#include "device/tessel_priority_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A record whose tag alias and first data byte identify it.
QueueData* Record(uint16_t priority, const std::string& alias, uint8_t marker = 0) {
    QueueData* d = PriorityQueue::NewData();
    d->priority = priority;
    d->tagInfo.alias = alias;
    d->SetData(&marker, 1);
    return d;
}

// Dequeues one record and returns its alias ("" for none), freeing it.
std::string Take(PriorityQueue& q) {
    std::unique_ptr<QueueData, void (*)(QueueData*)> d(q.Dequeue(0), PriorityQueue::DeleteData);
    return d ? d->tagInfo.alias : std::string();
}

PriorityQueue& Configured(PriorityQueue& q, uint32_t max, uint16_t levels) {
    q.SetMaxSize(max);
    q.SetPriorityCount(levels);
    return q;
}

TEST(QueueData, NewDataIsZeroInitialised) {
    std::unique_ptr<QueueData, void (*)(QueueData*)> d(PriorityQueue::NewData(),
                                                       PriorityQueue::DeleteData);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->priority, 0);
    EXPECT_EQ(d->dataLen, 0);
    EXPECT_TRUE(d->tagInfo.alias.empty());
    for (uint8_t b : d->data) {
        ASSERT_EQ(b, 0);
    }
}

TEST(QueueData, SetDataRefusesValuesLongerThanTheRecord) {
    QueueData d;
    std::vector<uint8_t> fits(QueueData::kDataCapacity, 0xAB);
    EXPECT_TRUE(d.SetData(fits.data(), fits.size()));
    EXPECT_EQ(d.dataLen, QueueData::kDataCapacity);
    EXPECT_EQ(d.data[QueueData::kDataCapacity - 1], 0xAB);

    std::vector<uint8_t> tooLong(QueueData::kDataCapacity + 1, 0xCD);
    EXPECT_FALSE(d.SetData(tooLong.data(), tooLong.size()));
    EXPECT_EQ(d.dataLen, 0);
}

TEST(QueueData, DeleteDataIgnoresNull) {
    PriorityQueue::DeleteData(nullptr);
}

TEST(PriorityQueue, OverflowDropsTheOldestRecordOfTheLevel) {
    PriorityQueue q;
    Configured(q, 3, 10);
    EXPECT_EQ(q.Enqueue(Record(0, "a")), 1);
    EXPECT_EQ(q.Enqueue(Record(0, "b")), 2);
    EXPECT_EQ(q.Enqueue(Record(0, "c")), 3);
    EXPECT_EQ(q.Enqueue(Record(0, "d")), 3);
    EXPECT_EQ(q.GetCount(), 3u);
    EXPECT_EQ(q.GetDroppedCount(), 1u);
    EXPECT_EQ(Take(q), "b");
    EXPECT_EQ(Take(q), "c");
    EXPECT_EQ(Take(q), "d");
    EXPECT_EQ(Take(q), "");
    EXPECT_EQ(q.GetCount(), 0u);
}

TEST(PriorityQueue, OverflowDropsFromTheArrivingLevelOnly) {
    PriorityQueue q;
    Configured(q, 2, 4);
    q.Enqueue(Record(0, "urgent"));
    q.Enqueue(Record(3, "old"));
    q.Enqueue(Record(3, "new"));  // over the maximum: the old level-3 value goes
    EXPECT_EQ(Take(q), "urgent");
    EXPECT_EQ(Take(q), "new");
    EXPECT_EQ(Take(q), "");
}

TEST(PriorityQueue, MaximumZeroDropsEveryRecordWithoutLeaking) {
    PriorityQueue q;
    Configured(q, 0, 2);
    EXPECT_EQ(q.Enqueue(Record(1, "gone")), 0);
    EXPECT_EQ(q.GetCount(), 0u);
    EXPECT_EQ(Take(q), "");
}

TEST(PriorityQueue, LowerLevelLeavesFirst) {
    PriorityQueue q;
    Configured(q, 100, 10);
    q.Enqueue(Record(5, "five-1"));
    q.Enqueue(Record(5, "five-2"));
    q.Enqueue(Record(2, "two"));
    q.Enqueue(Record(9, "nine"));
    q.Enqueue(Record(0, "zero"));
    EXPECT_EQ(Take(q), "zero");
    EXPECT_EQ(Take(q), "two");
    EXPECT_EQ(Take(q), "five-1");
    EXPECT_EQ(Take(q), "five-2");
    EXPECT_EQ(Take(q), "nine");
}

TEST(PriorityQueue, DequeueFindsRecordsAboveAnEmptiedLevelInOneCall) {
    PriorityQueue q;
    Configured(q, 100, 10);
    q.Enqueue(Record(1, "one"));
    q.Enqueue(Record(7, "seven"));
    EXPECT_EQ(Take(q), "one");
    // Level 1 is now empty; the next call must not return a spurious null.
    EXPECT_EQ(Take(q), "seven");
    q.Enqueue(Record(4, "four"));
    q.Enqueue(Record(3, "three"));
    EXPECT_EQ(Take(q), "three");
    EXPECT_EQ(Take(q), "four");
}

TEST(PriorityQueue, DequeueOnEmptyQueueReturnsNull) {
    PriorityQueue q;
    Configured(q, 10, 3);
    EXPECT_EQ(q.Dequeue(0), nullptr);
    EXPECT_EQ(q.GetCount(), 0u);
}

TEST(PriorityQueue, DequeueWithTimeoutWaitsForAProducer) {
    PriorityQueue q;
    Configured(q, 10, 1);
    std::thread producer([&q] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.Enqueue(Record(0, "late"));
    });
    // Generous: the wait ends when the record arrives, long before the limit.
    std::unique_ptr<QueueData, void (*)(QueueData*)> d(q.Dequeue(30'000'000),
                                                       PriorityQueue::DeleteData);
    producer.join();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->tagInfo.alias, "late");
}

TEST(PriorityQueue, DequeueWithTimeoutGivesNullWhenNothingArrives) {
    PriorityQueue q;
    Configured(q, 10, 1);
    EXPECT_EQ(q.Dequeue(1000), nullptr);
}

TEST(PriorityQueue, ClearEmptiesEveryLevel) {
    PriorityQueue q;
    Configured(q, 100, 3);
    for (uint16_t level = 0; level < 3; ++level) {
        q.Enqueue(Record(level, "x"));
        q.Enqueue(Record(level, "y"));
    }
    EXPECT_EQ(q.GetCount(), 6u);
    q.Clear();
    EXPECT_EQ(q.GetCount(), 0u);
    EXPECT_EQ(q.Dequeue(0), nullptr);
    // The queue stays usable after Clear.
    q.Enqueue(Record(2, "after"));
    EXPECT_EQ(Take(q), "after");
}

TEST(PriorityQueue, EnqueueWithoutLevelsLeavesTheRecordWithTheCaller) {
    PriorityQueue q;
    q.SetMaxSize(10);
    std::unique_ptr<QueueData, void (*)(QueueData*)> d(Record(0, "mine"),
                                                       PriorityQueue::DeleteData);
    EXPECT_EQ(q.Enqueue(d.get()), 1);
    EXPECT_EQ(q.GetCount(), 0u);
    EXPECT_EQ(q.Dequeue(0), nullptr);
    EXPECT_EQ(d->tagInfo.alias, "mine");  // still ours, freed by the unique_ptr
}

TEST(PriorityQueue, EnqueueWithLevelOutOfRangeLeavesTheRecordWithTheCaller) {
    PriorityQueue q;
    Configured(q, 10, 2);
    std::unique_ptr<QueueData, void (*)(QueueData*)> d(Record(2, "bad"), PriorityQueue::DeleteData);
    EXPECT_EQ(q.Enqueue(d.get()), 0);
    EXPECT_EQ(q.GetCount(), 0u);
    EXPECT_EQ(q.Enqueue(nullptr), 0);
}

TEST(PriorityQueue, SetPriorityCountFreesHeldRecords) {
    PriorityQueue q;
    Configured(q, 10, 4);
    q.Enqueue(Record(3, "old"));
    q.SetPriorityCount(2);
    EXPECT_EQ(q.GetCount(), 0u);
    EXPECT_EQ(q.GetPriorityCount(), 2);
    EXPECT_EQ(q.Dequeue(0), nullptr);
}

TEST(PriorityQueue, DestructorFreesHeldRecords) {
    // Leaks would be reported by the address sanitizer build.
    PriorityQueue q;
    Configured(q, 10, 2);
    q.Enqueue(Record(0, "a"));
    q.Enqueue(Record(1, "b"));
}

TEST(PriorityQueue, ProducerAndConsumerThreadsKeepOrderAndLoseNothing) {
    constexpr int kRecords = 20000;
    PriorityQueue q;
    Configured(q, 100000, 10);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < kRecords; ++i) {
            QueueData* d = PriorityQueue::NewData();
            d->tagInfo.dataLen = i;
            q.Enqueue(d);
        }
        done = true;
    });
    std::vector<int> received;
    received.reserve(kRecords);
    // Consumer loop as a device's queue thread runs it: drain while records are held, then pause.
    while (!done || q.GetCount() > 0) {
        while (q.GetCount() > 0) {
            if (QueueData* d = q.Dequeue(0)) {
                received.push_back(d->tagInfo.dataLen);
                PriorityQueue::DeleteData(d);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    producer.join();
    ASSERT_EQ(received.size(), static_cast<size_t>(kRecords));
    for (int i = 0; i < kRecords; ++i) {
        ASSERT_EQ(received[i], i);
    }
    EXPECT_EQ(q.GetDroppedCount(), 0u);
}

TEST(PriorityQueue, OverloadedConsumerLosesOnlyOldValues) {
    constexpr int kRecords = 5000;
    constexpr uint32_t kMax = 100;
    PriorityQueue q;
    Configured(q, kMax, 1);
    for (int i = 0; i < kRecords; ++i) {
        QueueData* d = PriorityQueue::NewData();
        d->tagInfo.dataLen = i;
        q.Enqueue(d);
    }
    EXPECT_EQ(q.GetCount(), kMax);
    EXPECT_EQ(q.GetDroppedCount(), static_cast<uint64_t>(kRecords - kMax));
    for (int i = kRecords - static_cast<int>(kMax); i < kRecords; ++i) {
        std::unique_ptr<QueueData, void (*)(QueueData*)> d(q.Dequeue(0), PriorityQueue::DeleteData);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->tagInfo.dataLen, i);
    }
}

}  // namespace
