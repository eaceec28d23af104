#pragma once

// The link's log lines, one format for every subsystem:
//   info / error: ": INFO - <operation>: <message>" / ": ERROR - <operation>: <message>"
//                 (written when will_debug_log(0) allows)
//   trace:        ": <operation> - <message>"  (written when will_debug_log(3) allows)
//   link error:   "(<code>): <code's message> - <text>" at a log level (when will_log allows)
// Lines go to the SDK's log; tests capture them with the SDK's set_log_sink. Device lines begin
// the message with the PLC alias and ": ".

#include <sstream>
#include <string>
#include <system_error>

#include "strata_sdk/logging.h"

namespace eiplog {

enum class Level { Info, Error, Trace };

void Info(const char* operation, const std::string& message);
void Error(const char* operation, const std::string& message);
// Traces are composed only when they will be written: test TraceOn() before building the text.
bool TraceOn();
void Trace(const char* operation, const std::string& message);

// "(<code>): <message of the link error code> - <text>".
void LinkError(kestrel::strata_sdk::LogLevel level, int code, const std::string& text);
// "(<value>): <ec.message()> - <text>", for errors of the SDK or the system.
void LinkError(kestrel::strata_sdk::LogLevel level, const std::error_code& ec,
               const std::string& text);

// The composed line, as it reaches the log.
std::string Compose(Level level, const char* operation, const std::string& message);

// Concatenates streamable values into one message: Text("Socket FD = ", fd).
template <typename... Parts>
std::string Text(const Parts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

}  // namespace eiplog
