#include "strata_sdk/logging.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace kestrel::strata_sdk {
namespace {

// Levels are read on every log call from any thread, so they are atomics; the
// output (file handle or test sink) is guarded by `sink_mutex`.
std::atomic<int> g_log_level{static_cast<int>(LogLevel::info)};
std::atomic<int> g_debug_level{0};
std::mutex sink_mutex;
FILE* g_log_file = nullptr;  // null: standard error
std::function<void(const std::string&)> g_sink;

const char* const kLevelNames[] = {"fatal", "critical", "error", "warn", "info", "debug", "trace"};

std::string timestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t secs = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&secs, &local);
    char text[32];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
    return text;
}

void write_line(const std::string& line) {
    std::lock_guard<std::mutex> lock(sink_mutex);
    if (g_sink) {
        g_sink(line);
        return;
    }
    FILE* out = g_log_file ? g_log_file : stderr;
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

}  // namespace

bool will_log(LogLevel level) noexcept {
    return will_log(static_cast<int>(level));
}
bool will_log(int level) noexcept {
    return level <= g_log_level.load(std::memory_order_relaxed);
}

void log_message_internal(LogLevel level, const std::string& text) {
    if (will_log(level)) {
        write_line(timestamp() + " [" + log_level_name(level) + "] " + text);
    }
}

bool will_debug_log(DebugLevel level) noexcept {
    return will_debug_log(static_cast<int>(level));
}
bool will_debug_log(int level) noexcept {
    return level >= 0 && level <= g_debug_level.load(std::memory_order_relaxed);
}

void log_debug_message(const std::string& text) {
    write_line(timestamp() + " link" + text);
}

void set_log_level(LogLevel level) noexcept {
    g_log_level.store(static_cast<int>(level), std::memory_order_relaxed);
}
LogLevel log_level() noexcept {
    return static_cast<LogLevel>(g_log_level.load());
}
void set_debug_level(int level) noexcept {
    g_debug_level.store(level, std::memory_order_relaxed);
}
int debug_level() noexcept {
    return g_debug_level.load();
}

bool set_log_file(const std::string& path) {
    FILE* file = nullptr;
    if (!path.empty()) {
        file = std::fopen(path.c_str(), "a");
        if (!file) {
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(sink_mutex);
    if (g_log_file) {
        std::fclose(g_log_file);
    }
    g_log_file = file;
    return true;
}

void set_log_sink(std::function<void(const std::string& line)> sink) {
    std::lock_guard<std::mutex> lock(sink_mutex);
    g_sink = std::move(sink);
}

const char* log_level_name(LogLevel level) noexcept {
    auto index = static_cast<int>(level);
    return index >= 0 && index <= 6 ? kLevelNames[index] : "unknown";
}

bool parse_log_level(const std::string& text, LogLevel& out) noexcept {
    for (int i = 0; i <= 6; ++i) {
        if (text == kLevelNames[i]) {
            out = static_cast<LogLevel>(i);
            return true;
        }
    }
    return false;
}

}  // namespace kestrel::strata_sdk
