#include "mqtt/mqtt_options.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

namespace tbmqtt {
namespace {

constexpr uint16_t kMqttPort = 1883;
constexpr uint16_t kMqttsPort = 8883;
// MQTT's remaining length holds at most 4 bytes of 7 bits.
constexpr uint64_t kMqttMaxPacketBytes = (1ull << 28) + 4;

struct OptionText {
    const char* key;
    const char* description;
};

constexpr OptionText kOptions[] = {
    {"mqtt-url",
     "publish to this MQTT broker as a Sparkplug B edge node: mqtt://HOST:PORT or "
     "mqtts://HOST:PORT (without it there is no MQTT)"},
    {"mqtt-group", "Sparkplug group ID (default Tagbridge)"},
    {"mqtt-node", "Sparkplug edge node ID (default the host name)"},
    {"mqtt-user", "user name for the MQTT broker"},
    {"mqtt-password-file", "file whose first line is the MQTT password"},
    {"mqtt-ca", "CA certificate file for mqtts:// (default the system's CAs)"},
    {"mqtt-buffer-mb",
     "store and forward: at most this many MB of changes kept while unpublished (default 256)"},
    {"mqtt-buffer-hours",
     "store and forward: changes older than this many hours are dropped (default 24)"},
    {"mqtt-primary-host",
     "Sparkplug primary host ID: births and data only while its STATE says online"},
    {"mqtt-format", "sparkplug, json or both (default sparkplug)"},
    {"mqtt-topic-prefix", "prefix of the JSON topics (default tagbridge/NODE)"},
    {"mqtt-max-packet",
     "largest MQTT packet in bytes when the broker does not say its own (default 262144)"},
};

struct FormatName {
    const char* name;
    MqttFormat format;
};

constexpr FormatName kFormats[] = {
    {"sparkplug", MqttFormat::Sparkplug},
    {"json", MqttFormat::Json},
    {"both", MqttFormat::Both},
};

bool ParsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 5) {
        return false;
    }
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

bool ParseUrl(const std::string& url, MqttOptions& out, std::string& error) {
    const std::string mqtt = "mqtt://";
    const std::string mqtts = "mqtts://";
    std::string rest;
    if (url.compare(0, mqtt.size(), mqtt) == 0) {
        rest = url.substr(mqtt.size());
        out.port = kMqttPort;
    } else if (url.compare(0, mqtts.size(), mqtts) == 0) {
        rest = url.substr(mqtts.size());
        out.port = kMqttsPort;
        out.tls = true;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    // "[v6 address]:port", "host:port" or "host".
    std::string port_text;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close != std::string::npos) {
            out.host = rest.substr(1, close - 1);
            if (close + 1 < rest.size() && rest[close + 1] == ':') {
                port_text = rest.substr(close + 2);
            } else if (close + 1 != rest.size()) {
                out.host.clear();
            }
        }
    } else {
        const auto colon = rest.rfind(':');
        out.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port_text = rest.substr(colon + 1);
        }
    }
    const bool port_ok = port_text.empty() || ParsePort(port_text, out.port);
    if (out.host.empty() || out.host.find_first_of("/@ ") != std::string::npos || !port_ok) {
        error = "--mqtt-url: expected mqtt://HOST:PORT or mqtts://HOST:PORT, got \"" + url + "\"";
        return false;
    }
    out.url = url;
    return true;
}

// Sparkplug IDs are topic levels: no level separator, no wildcard, not empty.
bool CheckId(const char* option, const std::string& id, std::string& error) {
    if (id.empty() || id.find_first_of("/+#") != std::string::npos) {
        error = std::string("--") + option + ": must be non-empty without '/', '+' or '#', got \"" +
                id + "\"";
        return false;
    }
    return true;
}

// A positive number, fractions allowed; `out` keeps its default when `text` is empty.
bool ParsePositive(const char* option, const std::string& text, double scale, uint64_t& out,
                   std::string& error) {
    if (text.empty()) {
        return true;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(value > 0) || value * scale > 1e18) {
        error = std::string("--") + option + ": expected a positive number, got \"" + text + "\"";
        return false;
    }
    out = static_cast<uint64_t>(value * scale);
    return true;
}

bool ParseFormat(const std::string& text, MqttFormat& out, std::string& error) {
    if (text.empty()) {
        return true;
    }
    for (const FormatName& f : kFormats) {
        if (text == f.name) {
            out = f.format;
            return true;
        }
    }
    error = "--mqtt-format: expected sparkplug, json or both, got \"" + text + "\"";
    return false;
}

bool CheckMaxPacket(uint64_t bytes, std::string& error) {
    if (bytes == 0 || bytes > kMqttMaxPacketBytes) {
        error = "--mqtt-max-packet: expected 1 to " + std::to_string(kMqttMaxPacketBytes) +
                " bytes, got " + std::to_string(bytes);
        return false;
    }
    return true;
}

// Topic levels without wildcards, none of them empty.
bool CheckPrefix(const std::string& prefix, std::string& error) {
    if (prefix.empty() || prefix.find_first_of("+#") != std::string::npos ||
        prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos) {
        error =
            "--mqtt-topic-prefix: must be topic levels without '+', '#' or empty levels, got \"" +
            prefix + "\"";
        return false;
    }
    return true;
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "tagbridge";
    }
    return name;
}

bool ReadPassword(const std::string& file, std::string& password, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "--mqtt-password-file: cannot read " + file;
        return false;
    }
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return true;
}

}  // namespace

void AddMqttOptions(kestrel::strata_sdk::LinkOptions& options) {
    for (const OptionText& option : kOptions) {
        options.add_extra_option(option.key, option.description);
    }
}

std::optional<MqttOptions> MqttOptionsFrom(const kestrel::strata_sdk::LinkOptions& options,
                                           std::string& error) {
    error.clear();
    const std::string url = options.extra_option("mqtt-url");
    if (url.empty()) {
        return std::nullopt;
    }
    MqttOptions out;
    const std::string group = options.extra_option("mqtt-group");
    const std::string node = options.extra_option("mqtt-node");
    const std::string password_file = options.extra_option("mqtt-password-file");
    out.group = group.empty() ? out.group : group;
    out.node = node.empty() ? HostName() : node;
    out.user = options.extra_option("mqtt-user");
    out.ca_file = options.extra_option("mqtt-ca");
    out.dataDir = options.data_dir();
    out.primaryHost = options.extra_option("mqtt-primary-host");
    const std::string prefix = options.extra_option("mqtt-topic-prefix");
    out.topicPrefix = prefix.empty() ? "tagbridge/" + out.node : prefix;
    constexpr double kMegabyte = 1 << 20;
    constexpr double kHourMs = 3600.0 * 1000;
    if (!ParseUrl(url, out, error) || !CheckId("mqtt-group", out.group, error) ||
        !CheckId("mqtt-node", out.node, error) ||
        (!out.primaryHost.empty() && !CheckId("mqtt-primary-host", out.primaryHost, error)) ||
        !ParsePositive("mqtt-buffer-mb", options.extra_option("mqtt-buffer-mb"), kMegabyte,
                       out.bufferMaxBytes, error) ||
        !ParsePositive("mqtt-buffer-hours", options.extra_option("mqtt-buffer-hours"), kHourMs,
                       out.bufferMaxAgeMs, error) ||
        !ParsePositive("mqtt-max-packet", options.extra_option("mqtt-max-packet"), 1,
                       out.maxPacketBytes, error) ||
        !CheckMaxPacket(out.maxPacketBytes, error) ||
        !ParseFormat(options.extra_option("mqtt-format"), out.format, error) ||
        !CheckPrefix(out.topicPrefix, error) ||
        (!password_file.empty() && !ReadPassword(password_file, out.password, error))) {
        return std::nullopt;
    }
    return out;
}

}  // namespace tbmqtt
