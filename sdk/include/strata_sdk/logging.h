#pragma once
// The SDK's log. Lines go to standard error (or the --log-file) with a timestamp.

#include <functional>
#include <string>

namespace kestrel::strata_sdk {

enum class LogLevel : int {
    fatal = 0,
    critical = 1,
    error = 2,
    warn = 3,
    info = 4,
    debug = 5,
    trace = 6,
};

// Link debug levels: -1 none, 0 info and errors, 1..3 more detail and traces.
enum class DebugLevel : int {
    none = -1,
    info = 0,
    detail = 1,
    verbose = 2,
    trace = 3,
};

// True when `level` is at or below the configured --log level (default info).
bool will_log(LogLevel level) noexcept;
bool will_log(int level) noexcept;
// Writes "<timestamp> [<level word>] <text>" when will_log(level).
void log_message_internal(LogLevel level, const std::string& text);

// True when `level` is at or below the configured --debug level (default 0).
bool will_debug_log(DebugLevel level) noexcept;
bool will_debug_log(int level) noexcept;
// Writes "<timestamp> link<text>"; the link composes text as ": INFO - main: ...".
void log_debug_message(const std::string& text);

// Configuration (applied by Link from its options; tests set it directly).
void set_log_level(LogLevel level) noexcept;
LogLevel log_level() noexcept;
void set_debug_level(int level) noexcept;
int debug_level() noexcept;
// Appends lines to `path` instead of standard error; false (and stderr kept) when
// the file cannot be opened. An empty path returns to standard error.
bool set_log_file(const std::string& path);
// Hands every finished line (without newline) to `sink` instead of the file;
// an empty function restores the file/stderr output.
void set_log_sink(std::function<void(const std::string& line)> sink);

// "fatal", "critical", "error", "warn", "info", "debug", "trace".
const char* log_level_name(LogLevel level) noexcept;
// Parses one of the names above; false when the text is none of them.
bool parse_log_level(const std::string& text, LogLevel& out) noexcept;

}  // namespace kestrel::strata_sdk
