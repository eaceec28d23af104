#pragma once
// The MQTT side's options: --mqtt-url, --mqtt-group, --mqtt-node, --mqtt-user,
// --mqtt-password-file, --mqtt-ca, --mqtt-buffer-mb, --mqtt-buffer-hours, --mqtt-primary-host,
// --mqtt-format, --mqtt-topic-prefix, --mqtt-max-packet (also as keys of --config).

#include <cstdint>
#include <optional>
#include <string>

#include "strata_sdk/link_options.h"

namespace tbmqtt {

enum class MqttFormat { Sparkplug, Json, Both };

struct MqttOptions {
    std::string host;
    uint16_t port = 1883;
    bool tls = false;
    std::string group = "Tagbridge";
    std::string node;  // the host name when not given
    std::string user;
    std::string password;  // first line of the password file
    std::string ca_file;
    std::string url;      // as given, for log lines
    std::string dataDir;  // the link's; holds the store and forward buffer
    uint64_t bufferMaxBytes = 256ull << 20;
    uint64_t bufferMaxAgeMs = 24ull * 3600 * 1000;
    std::string primaryHost;  // empty: births need no host
    MqttFormat format = MqttFormat::Sparkplug;
    std::string topicPrefix;  // of the JSON topics; tagbridge/NODE when not given
    // The largest MQTT packet the broker takes when its CONNACK does not say.
    uint64_t maxPacketBytes = 256ull << 10;
};

// Registers the options with the link's parser.
void AddMqttOptions(kestrel::strata_sdk::LinkOptions& options);

// The MQTT settings from parsed link options: nothing (and `error` empty) without
// --mqtt-url; nothing with a one-line reason in `error` when a value is unusable (a URL that
// is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT], a group or node ID holding '/', '+' or
// '#', an unreadable password file, a packet limit that is not a byte count MQTT allows).
std::optional<MqttOptions> MqttOptionsFrom(const kestrel::strata_sdk::LinkOptions& options,
                                           std::string& error);

}  // namespace tbmqtt
