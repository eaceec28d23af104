#pragma once
// Store and forward: the value changes the MQTT side could not publish, kept on disk until the
// broker (and the primary host) take them again. One SQLite file in the data directory
// (WAL, synchronous NORMAL), one row per change; the metric names are stored once each.
//
//   changes(id INTEGER PRIMARY KEY, metric INTEGER, ts INTEGER, type INTEGER, value TEXT)
//   metrics(id INTEGER PRIMARY KEY, plc TEXT, name TEXT, UNIQUE(plc, name))
//
// Row ids grow with arrival, which is the changes' time order; every removal takes the oldest
// rows, so the rows left are always one id range.
//
// Threads: Append() is called by the tree-event thread and only queues under queueMutex_. The
// writer thread (writer_) takes the queue every kFlushEvery (or once it is large) and writes it
// in one transaction, then trims to the bounds. The publisher calls ReadOldest(), Remove() and
// Stats() (a scrape thread too). dbMutex_ guards the connection and every figure; queueMutex_
// guards queue_ and stopping_; dbMutex_ is taken before queueMutex_, never the reverse.

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mqtt/sparkplug.h"
#include "strata_sdk/variant.h"

namespace tbmqtt {

struct BufferedChange {
    int64_t id = 0;  // set once stored
    uint64_t tsMs = 0;
    std::string plc;     // PLC node name
    std::string metric;  // metric name
    sparkplug::DataType type = sparkplug::DataType::Unknown;
    kestrel::strata_sdk::Variant value;
};

struct BufferLimits {
    uint64_t maxBytes = 256ull << 20;
    uint64_t maxAgeMs = 24ull * 3600 * 1000;
};

struct BufferStats {
    uint64_t changes = 0;
    uint64_t bytes = 0;
    double oldestAgeSeconds = 0;
    uint64_t dropped = 0;
    uint64_t replayed = 0;
    double replayPerSecond = 0;  // over the last second of replay
};

class ChangeBuffer {
  public:
    static constexpr const char* kFileName = "mqtt-buffer.db";

    // The buffer in `dataDir`, with what a previous run left in it; nothing with the reason in
    // `error` when the file cannot be opened or created.
    static std::unique_ptr<ChangeBuffer> Open(const std::string& dataDir, BufferLimits limits,
                                              std::string& error);
    ~ChangeBuffer();
    ChangeBuffer(const ChangeBuffer&) = delete;
    ChangeBuffer& operator=(const ChangeBuffer&) = delete;

    void Append(BufferedChange change);
    // Writes what is queued now (the writer does it on its own every kFlushEvery).
    void Flush();
    // Up to `max` of the oldest changes, queued ones included, oldest first.
    std::vector<BufferedChange> ReadOldest(size_t max);
    // The changes of a ReadOldest() are delivered: gone from the buffer.
    void Remove(const std::vector<BufferedChange>& delivered);
    BufferStats Stats();

  private:
    struct Row {
        int64_t id;
        int64_t size;
        uint64_t tsMs;
    };
    ChangeBuffer(sqlite3* db, std::string file, BufferLimits limits);
    bool Exec(const char* sql);
    void Fail(const std::string& what);
    void LoadFigures();
    int64_t MetricId(const std::string& plc, const std::string& metric);
    void WriteLocked(std::vector<BufferedChange>& changes);
    void FlushLocked();
    void TrimLocked(uint64_t nowMs);
    void DeleteThrough(int64_t id);
    void WriterLoop();

    struct DbDeleter {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    struct StatementDeleter {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };
    using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;
    Statement Prepare(const char* sql);

    const std::string file_;
    const BufferLimits limits_;

    std::mutex dbMutex_;
    std::unique_ptr<sqlite3, DbDeleter> db_;
    Statement insert_;
    Statement insertMetric_;
    Statement oldest_;
    std::map<std::pair<std::string, std::string>, int64_t> metricIds_;
    std::map<int64_t, std::pair<std::string, std::string>> metricNames_;
    uint64_t changes_ = 0;
    uint64_t bytes_ = 0;
    int64_t firstId_ = 1;  // every row below is gone
    uint64_t oldestTsMs_ = 0;
    uint64_t dropped_ = 0;
    uint64_t droppedUnreported_ = 0;
    std::chrono::steady_clock::time_point lastDropReport_;
    uint64_t replayed_ = 0;
    uint64_t windowReplayed_ = 0;
    std::chrono::steady_clock::time_point windowStart_;
    double replayPerSecond_ = 0;
    bool failed_ = false;  // one log line for a broken file, not one per batch

    std::mutex queueMutex_;
    std::condition_variable wake_;
    std::vector<BufferedChange> queue_;
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace tbmqtt
