// Per-PLC figures for monitoring, counted by the device's workers and read by
// GET /metrics.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// A copy of one device's figures at one moment.
struct DeviceStatsSnapshot {
    std::string alias;  // filled by the registry, which knows it without the device's lock
    bool connected = false;
    double lastCycleSeconds = 0;
    double meanCycleSeconds = 0;
    uint64_t requests = 0;
    uint64_t timeouts = 0;
    uint64_t reconnects = 0;
    uint64_t valuesPublished = 0;
    uint64_t tagsFailing = 0;
    uint64_t ioForged = 0;
    uint64_t ioForeign = 0;
    uint64_t ioStale = 0;
};

// Threads: the device's socket, reconnect and queue workers count; any thread
// takes a snapshot. Relaxed atomics: each figure is exact on its own, a snapshot
// need not be one instant across figures.
struct DeviceStats {
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> timeouts{0};
    std::atomic<uint64_t> reconnects{0};
    std::atomic<uint64_t> valuesPublished{0};
    std::atomic<uint64_t> tagsFailing{0};
    // I/O datagrams refused: naming no connection, from another address, or not newer.
    std::atomic<uint64_t> ioForged{0};
    std::atomic<uint64_t> ioForeign{0};
    std::atomic<uint64_t> ioStale{0};
    std::atomic<uint64_t> cycles{0};
    std::atomic<uint64_t> cycleMicrosTotal{0};
    std::atomic<uint64_t> lastCycleMicros{0};

    static void Add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
        counter.fetch_add(n, std::memory_order_relaxed);
    }

    // One whole polling cycle over every tag took `micros`.
    void AddCycle(uint64_t micros) {
        lastCycleMicros.store(micros, std::memory_order_relaxed);
        Add(cycleMicrosTotal, micros);
        Add(cycles);
    }

    DeviceStatsSnapshot Snapshot(bool connected) const {
        const auto get = [](const std::atomic<uint64_t>& a) {
            return a.load(std::memory_order_relaxed);
        };
        DeviceStatsSnapshot s;
        s.connected = connected;
        s.lastCycleSeconds = static_cast<double>(get(lastCycleMicros)) / 1e6;
        const uint64_t n = get(cycles);
        s.meanCycleSeconds = n ? static_cast<double>(get(cycleMicrosTotal)) / 1e6 / n : 0;
        s.requests = get(requests);
        s.timeouts = get(timeouts);
        s.reconnects = get(reconnects);
        s.valuesPublished = get(valuesPublished);
        s.tagsFailing = get(tagsFailing);
        s.ioForged = get(ioForged);
        s.ioForeign = get(ioForeign);
        s.ioStale = get(ioStale);
        return s;
    }
};
