#include "device/tessel_priority_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Held = std::unique_ptr<QueueData, void (*)(QueueData*)>;

// A record whose tag alias identifies it.
QueueData* Record(uint16_t priority, const std::string& alias) {
    QueueData* d = PriorityQueue::NewData();
    d->priority = priority;
    d->tagInfo.alias = alias;
    return d;
}

// Dequeues every record and returns their aliases in order, freeing them.
std::vector<std::string> Drain(PriorityQueue& q) {
    std::vector<std::string> out;
    while (Held d{q.Dequeue(0), PriorityQueue::DeleteData}) {
        out.push_back(d->tagInfo.alias);
    }
    return out;
}

using Names = std::vector<std::string>;

TEST(QueueData, SetDataRefusesValuesLongerThanTheRecord) {
    QueueData d;
    std::vector<uint8_t> fits(QueueData::kDataCapacity, 0xAB);
    EXPECT_TRUE(d.SetData(fits.data(), fits.size()));
    EXPECT_EQ(d.dataLen, QueueData::kDataCapacity);
    EXPECT_EQ(d.data[QueueData::kDataCapacity - 1], 0xAB);
    fits.push_back(0xCD);
    EXPECT_FALSE(d.SetData(fits.data(), fits.size()));
    EXPECT_EQ(d.dataLen, 0);
    PriorityQueue::DeleteData(nullptr);
}

TEST(PriorityQueue, LowerLevelLeavesFirstAndOverflowDropsTheOldestOfTheArrivingLevel) {
    struct Case {
        uint32_t max;
        std::vector<std::pair<uint16_t, std::string>> in;
        Names out;
        uint64_t dropped;
    };
    const Case cases[] = {
        {3, {{0, "a"}, {0, "b"}, {0, "c"}, {0, "d"}}, {"b", "c", "d"}, 1},
        {2, {{0, "urgent"}, {3, "old"}, {3, "new"}}, {"urgent", "new"}, 1},
        {0, {{1, "gone"}}, {}, 1},
        {100,
         {{5, "five-1"}, {5, "five-2"}, {2, "two"}, {9, "nine"}, {0, "zero"}},
         {"zero", "two", "five-1", "five-2", "nine"},
         0},
    };
    for (const auto& c : cases) {
        PriorityQueue q;
        q.SetMaxSize(c.max);
        q.SetPriorityCount(10);
        for (const auto& [level, alias] : c.in) {
            q.Enqueue(Record(level, alias));
        }
        EXPECT_EQ(q.GetCount(), c.out.size());
        EXPECT_EQ(q.GetDroppedCount(), c.dropped);
        EXPECT_EQ(Drain(q), c.out);
        EXPECT_EQ(q.GetCount(), 0u);
    }
}

TEST(PriorityQueue, DequeueFindsRecordsAboveAnEmptiedLevelInOneCall) {
    PriorityQueue q;
    q.SetMaxSize(100);
    q.SetPriorityCount(10);
    q.Enqueue(Record(1, "one"));
    q.Enqueue(Record(7, "seven"));
    Held first{q.Dequeue(0), PriorityQueue::DeleteData};
    // Level 1 is now empty; the next call must not return a spurious null.
    Held second{q.Dequeue(0), PriorityQueue::DeleteData};
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second->tagInfo.alias, "seven");
}

TEST(PriorityQueue, RecordsItCannotHoldStayWithTheCallerAndHeldOnesAreFreed) {
    PriorityQueue noLevels;
    noLevels.SetMaxSize(10);
    Held mine{Record(0, "mine"), PriorityQueue::DeleteData};
    EXPECT_EQ(noLevels.Enqueue(mine.get()), 1);
    EXPECT_EQ(noLevels.GetCount(), 0u);
    PriorityQueue q;
    q.SetMaxSize(10);
    q.SetPriorityCount(2);
    Held bad{Record(2, "bad"), PriorityQueue::DeleteData};
    EXPECT_EQ(q.Enqueue(bad.get()), 0);
    EXPECT_EQ(q.Enqueue(nullptr), 0);
    EXPECT_EQ(q.GetCount(), 0u);
    // Clear, a new level count and the destructor free what is held (the sanitizer build
    // reports leaks); the queue stays usable.
    q.Enqueue(Record(1, "x"));
    q.Clear();
    q.Enqueue(Record(1, "y"));
    q.SetPriorityCount(4);
    EXPECT_EQ(q.GetCount(), 0u);
    q.Enqueue(Record(3, "after"));
    EXPECT_EQ(Drain(q), Names{"after"});
    q.Enqueue(Record(0, "freed by the destructor"));
}

TEST(PriorityQueue, DequeueWithTimeoutWaitsForAProducerOrGivesNull) {
    PriorityQueue q;
    q.SetMaxSize(10);
    q.SetPriorityCount(1);
    EXPECT_EQ(q.Dequeue(1000), nullptr);
    std::thread producer([&q] { q.Enqueue(Record(0, "late")); });
    // Generous: the wait ends when the record arrives, long before the limit.
    Held d{q.Dequeue(30'000'000), PriorityQueue::DeleteData};
    producer.join();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->tagInfo.alias, "late");
}

TEST(PriorityQueue, ProducerAndConsumerThreadsKeepOrderAndLoseNothing) {
    constexpr int kRecords = 20000;
    PriorityQueue q;
    q.SetMaxSize(100000);
    q.SetPriorityCount(10);
    std::thread producer([&] {
        for (int i = 0; i < kRecords; ++i) {
            QueueData* d = PriorityQueue::NewData();
            d->tagInfo.dataLen = i;
            q.Enqueue(d);
        }
    });
    std::vector<int> received;
    while (received.size() < static_cast<size_t>(kRecords)) {
        Held d{q.Dequeue(30'000'000), PriorityQueue::DeleteData};
        ASSERT_NE(d, nullptr) << "after " << received.size();
        received.push_back(d->tagInfo.dataLen);
    }
    producer.join();
    for (int i = 0; i < kRecords; ++i) {
        ASSERT_EQ(received[i], i);
    }
    EXPECT_EQ(q.GetDroppedCount(), 0u);
}

}  // namespace
