#include "mqtt/change_buffer.h"

#include <filesystem>

#include "common/eip_log.h"
#include "strata_sdk/json.h"

namespace tbmqtt {
namespace {

namespace sdk = kestrel::strata_sdk;
using Clock = std::chrono::steady_clock;

constexpr const char* kLog = "MqttBridge";
constexpr auto kFlushEvery = std::chrono::milliseconds(200);
constexpr size_t kFlushRows = 8192;
constexpr size_t kTrimChunk = 4096;
// The ids, time stamp and type of a row, besides its value text.
constexpr int64_t kRowOverhead = 16;
constexpr auto kDropReportEvery = std::chrono::minutes(1);
constexpr auto kReplayWindow = std::chrono::seconds(1);

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS metrics (id INTEGER PRIMARY KEY, plc TEXT NOT NULL,"
    " name TEXT NOT NULL, UNIQUE (plc, name));"
    "CREATE TABLE IF NOT EXISTS changes (id INTEGER PRIMARY KEY, metric INTEGER NOT NULL,"
    " ts INTEGER NOT NULL, type INTEGER NOT NULL, value TEXT NOT NULL);";

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

std::string ColumnText(sqlite3_stmt* s, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(s, column)))
                : std::string();
}

sdk::Variant ParseValue(const std::string& text) {
    try {
        return sdk::json::from_json_string(text);
    } catch (const std::exception&) {
        return sdk::Variant();  // a damaged row still says that the metric changed
    }
}

}  // namespace

std::unique_ptr<ChangeBuffer> ChangeBuffer::Open(const std::string& dataDir, BufferLimits limits,
                                                 std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    const std::string file = (std::filesystem::path(dataDir) / kFileName).string();
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::unique_ptr<ChangeBuffer> buffer(new ChangeBuffer(raw, file, limits));
    if (rc != SQLITE_OK || !buffer->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") ||
        !buffer->Exec(kSchema) ||
        !(buffer->insert_ = buffer->Prepare("INSERT INTO changes (metric, ts, type, value) "
                                            "VALUES (?, ?, ?, ?)")) ||
        !(buffer->insertMetric_ =
              buffer->Prepare("INSERT INTO metrics (plc, name) VALUES (?, ?)")) ||
        !(buffer->oldest_ = buffer->Prepare("SELECT id, metric, ts, type, value FROM changes "
                                            "WHERE id >= ? ORDER BY id LIMIT ?"))) {
        error = "MQTT: store and forward buffer " + file +
                " cannot be used: " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        return nullptr;
    }
    buffer->LoadFigures();
    buffer->writer_ = std::thread([b = buffer.get()] { b->WriterLoop(); });
    return buffer;
}

ChangeBuffer::ChangeBuffer(sqlite3* db, std::string file, BufferLimits limits)
    : file_(std::move(file)), limits_(limits), db_(db), windowStart_(Clock::now()) {}

ChangeBuffer::~ChangeBuffer() {
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    Flush();
    // Statements before the connection.
    insert_.reset();
    insertMetric_.reset();
    oldest_.reset();
}

ChangeBuffer::Statement ChangeBuffer::Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db_.get(), sql, -1, &s, nullptr);
    return Statement(s);
}

bool ChangeBuffer::Exec(const char* sql) {
    return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void ChangeBuffer::Fail(const std::string& what) {
    if (!failed_) {
        eiplog::Error(kLog, "MQTT: store and forward buffer " + file_ + ": " + what +
                                " failed: " + sqlite3_errmsg(db_.get()));
    }
    failed_ = true;
}

void ChangeBuffer::LoadFigures() {
    Statement metrics = Prepare("SELECT id, plc, name FROM metrics");
    while (metrics && sqlite3_step(metrics.get()) == SQLITE_ROW) {
        const int64_t id = sqlite3_column_int64(metrics.get(), 0);
        auto names = std::make_pair(ColumnText(metrics.get(), 1), ColumnText(metrics.get(), 2));
        metricIds_[names] = id;
        metricNames_[id] = std::move(names);
    }
    Statement figures = Prepare(
        "SELECT COUNT(*), COALESCE(SUM(length(value)), 0), COALESCE(MIN(id), 1) FROM "
        "changes");
    if (figures && sqlite3_step(figures.get()) == SQLITE_ROW) {
        changes_ = static_cast<uint64_t>(sqlite3_column_int64(figures.get(), 0));
        bytes_ =
            static_cast<uint64_t>(sqlite3_column_int64(figures.get(), 1)) + changes_ * kRowOverhead;
        firstId_ = sqlite3_column_int64(figures.get(), 2);
    }
    Statement oldest = Prepare("SELECT ts FROM changes ORDER BY id LIMIT 1");
    if (oldest && sqlite3_step(oldest.get()) == SQLITE_ROW) {
        oldestTsMs_ = static_cast<uint64_t>(sqlite3_column_int64(oldest.get(), 0));
    }
    if (changes_ > 0) {
        eiplog::Info(kLog, "MQTT: " + std::to_string(changes_) +
                               " buffered changes from before are sent once published again");
    }
}

int64_t ChangeBuffer::MetricId(const std::string& plc, const std::string& metric) {
    auto key = std::make_pair(plc, metric);
    auto found = metricIds_.find(key);
    if (found != metricIds_.end()) {
        return found->second;
    }
    sqlite3_stmt* s = insertMetric_.get();
    sqlite3_bind_text(s, 1, plc.data(), static_cast<int>(plc.size()), SQLITE_STATIC);
    sqlite3_bind_text(s, 2, metric.data(), static_cast<int>(metric.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) {
        return 0;
    }
    const int64_t id = sqlite3_last_insert_rowid(db_.get());
    metricIds_[key] = id;
    metricNames_[id] = std::move(key);
    return id;
}

void ChangeBuffer::Append(BufferedChange change) {
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        queue_.push_back(std::move(change));
        full = queue_.size() >= kFlushRows;
    }
    if (full) {
        wake_.notify_one();
    }
}

void ChangeBuffer::Flush() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    FlushLocked();
}

void ChangeBuffer::FlushLocked() {
    std::vector<BufferedChange> changes;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        changes.swap(queue_);
    }
    if (!changes.empty()) {
        WriteLocked(changes);
    }
    TrimLocked(NowMs());
}

void ChangeBuffer::WriteLocked(std::vector<BufferedChange>& changes) {
    if (!Exec("BEGIN")) {
        Fail("starting a write");
        dropped_ += changes.size();
        return;
    }
    sqlite3_stmt* s = insert_.get();
    std::string text;
    for (const BufferedChange& c : changes) {
        const int64_t metric = MetricId(c.plc, c.metric);
        if (metric == 0) {
            Fail("naming a metric");
            ++dropped_;
            continue;
        }
        text = sdk::json::to_json_string(c.value);
        sqlite3_bind_int64(s, 1, metric);
        sqlite3_bind_int64(s, 2, static_cast<int64_t>(c.tsMs));
        sqlite3_bind_int64(s, 3, static_cast<int64_t>(c.type));
        sqlite3_bind_text(s, 4, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) {
            Fail("writing a change");
            ++dropped_;
            continue;
        }
        if (changes_ == 0) {
            oldestTsMs_ = c.tsMs;
            firstId_ = sqlite3_last_insert_rowid(db_.get());
        }
        ++changes_;
        bytes_ += text.size() + kRowOverhead;
    }
    if (!Exec("COMMIT")) {
        Fail("committing a write");
        Exec("ROLLBACK");
        LoadFigures();
    }
}

// The oldest rows go first until the buffer is within both bounds again.
void ChangeBuffer::TrimLocked(uint64_t nowMs) {
    const uint64_t cutoff = nowMs > limits_.maxAgeMs ? nowMs - limits_.maxAgeMs : 0;
    const auto over = [&] {
        return bytes_ > limits_.maxBytes || (changes_ > 0 && oldestTsMs_ < cutoff);
    };
    if (!over()) {
        return;
    }
    Statement rows = Prepare(
        "SELECT id, length(value), ts FROM changes WHERE id >= ? ORDER BY id "
        "LIMIT ?");
    while (over() && rows) {
        sqlite3_bind_int64(rows.get(), 1, firstId_);
        sqlite3_bind_int64(rows.get(), 2, static_cast<int64_t>(kTrimChunk));
        uint64_t bytes = bytes_;
        int64_t through = 0;
        size_t n = 0;
        while (sqlite3_step(rows.get()) == SQLITE_ROW) {
            const uint64_t ts = static_cast<uint64_t>(sqlite3_column_int64(rows.get(), 2));
            if (bytes <= limits_.maxBytes && ts >= cutoff) {
                break;
            }
            through = sqlite3_column_int64(rows.get(), 0);
            bytes -= static_cast<uint64_t>(sqlite3_column_int64(rows.get(), 1)) + kRowOverhead;
            ++n;
        }
        sqlite3_reset(rows.get());
        if (n == 0) {
            break;
        }
        dropped_ += n;
        droppedUnreported_ += n;
        DeleteThrough(through);
    }
}

void ChangeBuffer::DeleteThrough(int64_t id) {
    Statement figures = Prepare(
        "SELECT COUNT(*), COALESCE(SUM(length(value)), 0) FROM changes WHERE id BETWEEN ? AND ?");
    Statement remove = Prepare("DELETE FROM changes WHERE id <= ?");
    if (!figures || !remove) {
        Fail("removing changes");
        return;
    }
    sqlite3_bind_int64(figures.get(), 1, firstId_);
    sqlite3_bind_int64(figures.get(), 2, id);
    if (sqlite3_step(figures.get()) != SQLITE_ROW) {
        Fail("removing changes");
        return;
    }
    const uint64_t n = static_cast<uint64_t>(sqlite3_column_int64(figures.get(), 0));
    const uint64_t bytes =
        static_cast<uint64_t>(sqlite3_column_int64(figures.get(), 1)) + n * kRowOverhead;
    sqlite3_bind_int64(remove.get(), 1, id);
    if (sqlite3_step(remove.get()) != SQLITE_DONE) {
        Fail("removing changes");
        return;
    }
    changes_ -= std::min(changes_, n);
    bytes_ -= std::min(bytes_, bytes);
    firstId_ = id + 1;
    Statement oldest = Prepare("SELECT ts FROM changes ORDER BY id LIMIT 1");
    oldestTsMs_ = oldest && sqlite3_step(oldest.get()) == SQLITE_ROW
                      ? static_cast<uint64_t>(sqlite3_column_int64(oldest.get(), 0))
                      : 0;
}

std::vector<BufferedChange> ChangeBuffer::ReadOldest(size_t max) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    FlushLocked();
    std::vector<BufferedChange> out;
    sqlite3_stmt* s = oldest_.get();
    sqlite3_bind_int64(s, 1, firstId_);
    sqlite3_bind_int64(s, 2, static_cast<int64_t>(max));
    while (sqlite3_step(s) == SQLITE_ROW) {
        BufferedChange c;
        c.id = sqlite3_column_int64(s, 0);
        auto names = metricNames_.find(sqlite3_column_int64(s, 1));
        if (names != metricNames_.end()) {
            c.plc = names->second.first;
            c.metric = names->second.second;
        }
        c.tsMs = static_cast<uint64_t>(sqlite3_column_int64(s, 2));
        c.type = static_cast<sparkplug::DataType>(sqlite3_column_int64(s, 3));
        c.value = ParseValue(ColumnText(s, 4));
        out.push_back(std::move(c));
    }
    sqlite3_reset(s);
    return out;
}

void ChangeBuffer::Remove(const std::vector<BufferedChange>& delivered) {
    if (delivered.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(dbMutex_);
    if (delivered.back().id >= firstId_) {
        DeleteThrough(delivered.back().id);
    }
    replayed_ += delivered.size();
    windowReplayed_ += delivered.size();
    const auto now = Clock::now();
    const std::chrono::duration<double> elapsed = now - windowStart_;
    if (elapsed >= kReplayWindow) {
        replayPerSecond_ = double(windowReplayed_) / elapsed.count();
        windowReplayed_ = 0;
        windowStart_ = now;
    }
}

BufferStats ChangeBuffer::Stats() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    BufferStats stats;
    stats.changes = changes_;
    stats.bytes = bytes_;
    const uint64_t now = NowMs();
    stats.oldestAgeSeconds =
        changes_ > 0 && oldestTsMs_ < now ? double(now - oldestTsMs_) / 1000.0 : 0.0;
    stats.dropped = dropped_;
    stats.replayed = replayed_;
    // A replay that stopped a while ago runs at no rate.
    stats.replayPerSecond = Clock::now() - windowStart_ > 2 * kReplayWindow ? 0 : replayPerSecond_;
    {
        std::lock_guard<std::mutex> queueLock(queueMutex_);
        stats.changes += queue_.size();
    }
    return stats;
}

void ChangeBuffer::WriterLoop() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            wake_.wait_for(lock, kFlushEvery,
                           [this] { return stopping_ || queue_.size() >= kFlushRows; });
            if (stopping_) {
                return;
            }
        }
        uint64_t report = 0;
        {
            std::lock_guard<std::mutex> lock(dbMutex_);
            FlushLocked();
            const auto now = Clock::now();
            if (droppedUnreported_ > 0 && now - lastDropReport_ >= kDropReportEvery) {
                report = std::exchange(droppedUnreported_, 0);
                lastDropReport_ = now;
            }
        }
        if (report > 0) {
            eiplog::Error(kLog, "MQTT: store and forward buffer past its bounds (" +
                                    std::to_string(limits_.maxBytes >> 20) + " MB, " +
                                    std::to_string(limits_.maxAgeMs / 3600000) +
                                    " h): dropped the " + std::to_string(report) +
                                    " oldest changes");
        }
    }
}

}  // namespace tbmqtt
