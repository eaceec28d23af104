#include "common/eip_log.h"

#include "action/link_errors.h"

namespace eiplog {

namespace sdk = kestrel::strata_sdk;

namespace {

void Write(Level level, const char* operation, const std::string& message) {
    const sdk::DebugLevel needed =
        level == Level::Trace ? sdk::DebugLevel::trace : sdk::DebugLevel::info;
    if (sdk::will_debug_log(needed)) {
        sdk::log_debug_message(Compose(level, operation, message));
    }
}

void WriteLinkError(sdk::LogLevel level, int value, const std::string& message,
                    const std::string& text) {
    if (sdk::will_log(level)) {
        sdk::log_message_internal(level,
                                  "(" + std::to_string(value) + "): " + message + " - " + text);
    }
}

}  // namespace

std::string Compose(Level level, const char* operation, const std::string& message) {
    switch (level) {
        case Level::Info:
            return ": INFO - " + std::string(operation) + ": " + message;
        case Level::Error:
            return ": ERROR - " + std::string(operation) + ": " + message;
        case Level::Trace:
            break;
    }
    return ": " + std::string(operation) + " - " + message;
}

void Info(const char* operation, const std::string& message) {
    Write(Level::Info, operation, message);
}

void Error(const char* operation, const std::string& message) {
    Write(Level::Error, operation, message);
}

bool TraceOn() {
    return sdk::will_debug_log(sdk::DebugLevel::trace);
}

void Trace(const char* operation, const std::string& message) {
    Write(Level::Trace, operation, message);
}

void LinkError(sdk::LogLevel level, int code, const std::string& text) {
    WriteLinkError(level, code, link_error::Message(code), text);
}

void LinkError(sdk::LogLevel level, const std::error_code& ec, const std::string& text) {
    WriteLinkError(level, ec.value(), ec.message(), text);
}

}  // namespace eiplog
