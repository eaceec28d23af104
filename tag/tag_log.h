#pragma once

// Log lines of the tag model, in the link's format:
//   info / error: ": INFO - <operation>: <message>"  (written when will_debug_log(0) allows)
//   trace:        ": <operation> - <message>"         (written when will_debug_log(3) allows)
//   link error:   "(<code>): <code's message> - <text>" at a log level (when will_log allows)

#include <string>

#include "strata_sdk/logging.h"

namespace tag_log {

void Info(const char* operation, const std::string& message);
void Error(const char* operation, const std::string& message);
// Traces are composed only when they will be written: callers test TraceOn() first.
bool TraceOn();
void Trace(const char* operation, const std::string& message);
void LinkError(kestrel::strata_sdk::LogLevel level, int code, const std::string& text);

}  // namespace tag_log
