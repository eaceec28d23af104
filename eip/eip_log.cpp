#include "eip/eip_log.h"

#include "strata_sdk/logging.h"

namespace eiplog {

namespace sdk = kestrel::strata_sdk;

namespace {

constexpr int kInfoDebugLevel = 0;
constexpr int kTraceDebugLevel = 3;

void Write(Level level, const char* operation, const std::string& message) {
    const int needed = level == Level::Trace ? kTraceDebugLevel : kInfoDebugLevel;
    if (sdk::will_debug_log(needed)) {
        sdk::log_debug_message(Compose(level, operation, message));
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

void Trace(const char* operation, const std::string& message) {
    Write(Level::Trace, operation, message);
}

}  // namespace eiplog
