#include "tag/tag_log.h"

#include "action/tesselLink_error_code.h"

namespace sdk = kestrel::strata_sdk;

namespace tag_log {

namespace {

void Write(const char* level, const char* operation, const std::string& message) {
    if (sdk::will_debug_log(sdk::DebugLevel::info)) {
        sdk::log_debug_message(std::string(": ") + level + " - " + operation + ": " + message);
    }
}

}  // namespace

void Info(const char* operation, const std::string& message) {
    Write("INFO", operation, message);
}

void Error(const char* operation, const std::string& message) {
    Write("ERROR", operation, message);
}

bool TraceOn() {
    return sdk::will_debug_log(sdk::DebugLevel::trace);
}

void Trace(const char* operation, const std::string& message) {
    if (TraceOn()) {
        sdk::log_debug_message(std::string(": ") + operation + " - " + message);
    }
}

void LinkError(sdk::LogLevel level, int code, const std::string& text) {
    if (sdk::will_log(level)) {
        sdk::log_message_internal(level, "(" + std::to_string(code) + "): " +
                                             tessel::tesselLink_error_message(code) + " - " + text);
    }
}

}  // namespace tag_log
