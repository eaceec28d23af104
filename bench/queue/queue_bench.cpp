// Throughput of the device value queue: records per second through PriorityQueue, alone and
// with one producer thread and one consumer thread as a device runs them.

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "device/tessel_priority_queue.h"

namespace {

constexpr uint32_t kDeviceMaxSize = 100000;
constexpr uint16_t kDeviceLevels = 10;

QueueData* MakeRecord(int i) {
    QueueData* d = PriorityQueue::NewData();
    d->tagInfo.alias = "Line1_Tank_Level";
    d->tagInfo.dataLen = 4;
    const uint8_t value[4] = {static_cast<uint8_t>(i), 0, 0, 0};
    d->SetData(value, sizeof value);
    return d;
}

// One thread: enqueue then dequeue, the cost of one hand-over without contention.
void BM_EnqueueDequeueOneThread(benchmark::State& state) {
    PriorityQueue q;
    q.SetMaxSize(kDeviceMaxSize);
    q.SetPriorityCount(kDeviceLevels);
    int i = 0;
    for (auto _ : state) {
        q.Enqueue(MakeRecord(i++));
        PriorityQueue::DeleteData(q.Dequeue(0));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnqueueDequeueOneThread);

// One producer thread and one consumer thread; each iteration moves a batch of records.
// Argument 0: the consumer polls with Dequeue(0) as the device's queue thread does.
// Argument 1: the consumer waits in Dequeue(1000) for records.
void BM_ProducerConsumer(benchmark::State& state) {
    constexpr int kBatch = 50000;
    const bool waiting = state.range(0) == 1;
    PriorityQueue q;
    q.SetMaxSize(kDeviceMaxSize);
    q.SetPriorityCount(kDeviceLevels);
    int64_t received = 0;
    for (auto _ : state) {
        std::thread producer([&q] {
            for (int i = 0; i < kBatch; ++i) {
                q.Enqueue(MakeRecord(i));
            }
        });
        int got = 0;
        while (got < kBatch) {
            QueueData* d = q.Dequeue(waiting ? 1000 : 0);
            if (d != nullptr) {
                ++got;
                PriorityQueue::DeleteData(d);
            } else if (!waiting) {
                std::this_thread::yield();
            }
        }
        producer.join();
        received += got;
    }
    state.SetItemsProcessed(received);
    state.counters["dropped"] = static_cast<double>(q.GetDroppedCount());
}
BENCHMARK(BM_ProducerConsumer)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
