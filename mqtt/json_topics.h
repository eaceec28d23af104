#pragma once
// Plain JSON topics beside (or instead of) Sparkplug B, for consumers that read JSON:
//
//   PREFIX/$state              "online" / "offline", retained; "offline" is the will
//   PREFIX/PLC/$state          "online" while the PLC is connected, else "offline", retained
//   PREFIX/PLC/TAG             {"value": V, "ts": MS, "quality": "good"|"bad"}, retained,
//                              published by exception; an I/O subtag is PREFIX/PLC/TAG/SUBTAG
//   PREFIX/PLC/TAG             replayed changes: the same with "historical": true, not retained
//   PREFIX/PLC/TAG/set         a JSON value written to the tag (subscribed)
//
// PLC and TAG are the node names with '+' and '#' escaped as in Sparkplug device IDs.

#include <cstdint>
#include <optional>
#include <string>

#include "strata_sdk/variant.h"

namespace tbmqtt {

// The topic of a metric ("EM Tags/TAG" or "IO Tags/TAG/SUBTAG") of the device `deviceId`.
std::string JsonValueTopic(const std::string& prefix, const std::string& deviceId,
                           const std::string& metric);
// PREFIX/PLC/$state, or PREFIX/$state for an empty `deviceId`.
std::string JsonStateTopic(const std::string& prefix, const std::string& deviceId = "");
// The filter of every /set topic.
std::string JsonSetFilter(const std::string& prefix);

std::string JsonValuePayload(const kestrel::strata_sdk::Variant& value, uint64_t tsMs,
                             bool historical);

struct JsonSet {
    std::string deviceId;
    std::string metric;  // "EM Tags/TAG"
};
// The target of a PREFIX/PLC/TAG/set topic; nothing for any other topic.
std::optional<JsonSet> ParseJsonSetTopic(const std::string& prefix, const std::string& topic);

}  // namespace tbmqtt
