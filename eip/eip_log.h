#pragma once

// Debug log lines of the EtherNet/IP client and the protocol families, in the link's format:
//   info / error: ": INFO - <operation>: <message>"   (written when will_debug_log(0) allows)
//   trace:        ": <operation> - <message>"          (written when will_debug_log(3) allows)
// Lines go to the SDK's log (kestrel::strata_sdk::log_debug_message); tests capture them with the
// SDK's set_log_sink.

#include <sstream>
#include <string>

namespace eiplog {

enum class Level { Info, Error, Trace };

void Info(const char* operation, const std::string& message);
void Error(const char* operation, const std::string& message);
void Trace(const char* operation, const std::string& message);

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
