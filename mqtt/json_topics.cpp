#include "mqtt/json_topics.h"

#include "strata_sdk/json.h"

namespace tbmqtt {
namespace {

namespace sdk = kestrel::strata_sdk;

constexpr const char* kPolledPrefix = "EM Tags/";
constexpr const char* kIoPrefix = "IO Tags/";
constexpr const char* kSetSuffix = "/set";

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// Topic wildcards in a level name are escaped as in Sparkplug device IDs.
std::string EscapeLevels(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '+') {
            out += "%2B";
        } else if (c == '#') {
            out += "%23";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::string JsonValueTopic(const std::string& prefix, const std::string& deviceId,
                           const std::string& metric) {
    std::string tag = metric;
    for (const char* group : {kPolledPrefix, kIoPrefix}) {
        if (StartsWith(metric, group)) {
            tag = metric.substr(std::string(group).size());
            break;
        }
    }
    return prefix + "/" + deviceId + "/" + EscapeLevels(tag);
}

std::string JsonStateTopic(const std::string& prefix, const std::string& deviceId) {
    return deviceId.empty() ? prefix + "/$state" : prefix + "/" + deviceId + "/$state";
}

std::string JsonSetFilter(const std::string& prefix) {
    return prefix + "/+/+" + kSetSuffix;
}

std::string JsonValuePayload(const sdk::Variant& value, uint64_t tsMs, bool historical) {
    sdk::Variant payload = sdk::Variant::new_map();
    payload["value"] = value;
    payload["ts"] = tsMs;
    payload["quality"] = value.is_null() ? "bad" : "good";
    if (historical) {
        payload["historical"] = true;
    }
    return sdk::json::to_json_string(payload);
}

std::optional<JsonSet> ParseJsonSetTopic(const std::string& prefix, const std::string& topic) {
    const std::string start = prefix + "/";
    const std::string suffix = kSetSuffix;
    if (!StartsWith(topic, start) || topic.size() < start.size() + suffix.size() ||
        topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    const std::string levels =
        topic.substr(start.size(), topic.size() - start.size() - suffix.size());
    const size_t slash = levels.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == levels.size() ||
        levels.find('/', slash + 1) != std::string::npos) {
        return std::nullopt;
    }
    return JsonSet{levels.substr(0, slash), kPolledPrefix + levels.substr(slash + 1)};
}

}  // namespace tbmqtt
