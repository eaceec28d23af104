#include "mqtt/edge_model.h"

#include <utility>

namespace tbmqtt {
namespace {

namespace sdk = kestrel::strata_sdk;
using sdk::NodePath;
using sdk::Variant;
using sparkplug::DataType;

constexpr const char* kOffline = "NON-EXIST";

std::string ConfigText(const sdk::NodeInfo& info, const std::string& key) {
    auto it = info.configs.find(key);
    return it != info.configs.end() && it->second.is_string() ? it->second.as_string()
                                                              : std::string();
}

bool IsOnlineState(const Variant& value) {
    return value.is_string() && value.as_string() != kOffline;
}

// An array of structures: published member by member like one structure.
bool IsStructures(const Variant& value) {
    return value.is_array() && !value.as_array().empty() && value.as_array()[0].is_map();
}

// The type of a structure member's metric, from its decoded value.
DataType MemberType(const Variant& value) {
    const Variant* first =
        value.is_array() && !value.as_array().empty() ? &value.as_array()[0] : &value;
    const bool array = value.is_array();
    if (first->is_bool()) {
        return array ? DataType::BooleanArray : DataType::Boolean;
    }
    if (first->is_int() || first->is_uint()) {
        return array ? DataType::Int64Array : DataType::Int64;
    }
    if (first->is_double()) {
        return array ? DataType::DoubleArray : DataType::Double;
    }
    return array ? DataType::StringArray : DataType::String;
}

}  // namespace

DataType MetricType(const std::string& inner_type, const Variant& value) {
    struct Scalar {
        const char* inner;
        DataType scalar;
        DataType array;
    };
    static const Scalar kTypes[] = {
        {"BOOL", DataType::Boolean, DataType::BooleanArray},
        {"SINT", DataType::Int8, DataType::Int8Array},
        {"INT", DataType::Int16, DataType::Int16Array},
        {"DINT", DataType::Int32, DataType::Int32Array},
        {"LINT", DataType::Int64, DataType::Int64Array},
        {"USINT", DataType::UInt8, DataType::UInt8Array},
        {"UINT", DataType::UInt16, DataType::UInt16Array},
        {"UDINT", DataType::UInt32, DataType::UInt32Array},
        {"ULINT", DataType::UInt64, DataType::UInt64Array},
        {"BITARRAY", DataType::UInt32, DataType::UInt32Array},
        {"REAL", DataType::Float, DataType::FloatArray},
        {"LREAL", DataType::Double, DataType::DoubleArray},
        {"STRING", DataType::String, DataType::StringArray},
        {"STRING2", DataType::String, DataType::StringArray},
        {"SHORT STRING", DataType::String, DataType::StringArray},
    };
    const bool array = value.is_array();
    for (const Scalar& t : kTypes) {
        if (inner_type == t.inner) {
            return array ? t.array : t.scalar;
        }
    }
    // Structures and the rest: string records read as text, anything else is raw bytes
    // shown as hexadecimal text.
    if (array) {
        return DataType::StringArray;
    }
    const bool text = value.is_string() && !value.as_string().empty() &&
                      value.as_string().compare(0, 2, "0x") != 0;
    return text ? DataType::String : DataType::Bytes;
}

std::string DeviceId(const std::string& plc_node_name) {
    std::string id;
    for (char c : plc_node_name) {
        if (c == '+') {
            id += "%2B";
        } else if (c == '#') {
            id += "%23";
        } else {
            id.push_back(c);
        }
    }
    return id;
}

// Where a node sits in a PLC's subtree, and the metric it feeds.
struct EdgeModel::Place {
    enum class Kind { Other, Plc, State, ReadTag, WriteTag, Subtag };
    Kind kind = Kind::Other;
    std::string plc;
    std::string metric;
};

EdgeModel::Place EdgeModel::Classify(const NodePath& path) {
    const auto& c = path.components();
    Place place;
    if (c.empty()) {
        return place;
    }
    place.plc = c[0];
    if (c.size() == 1) {
        place.kind = Place::Kind::Plc;
    } else if (c.size() == 2 && c[1] == "coxnstate") {
        place.kind = Place::Kind::State;
    } else if (c.size() == 4 && c[1] == "EM Tags" &&
               (c[2] == "Read Tags List" || c[2] == "Write Tags List")) {
        place.kind = c[2] == "Read Tags List" ? Place::Kind::ReadTag : Place::Kind::WriteTag;
        place.metric = "EM Tags/" + sdk::string_unescape(c[3]);
    } else if (c.size() == 4 && c[1] == "IO Tags") {
        place.kind = Place::Kind::Subtag;
        place.metric = "IO Tags/" + sdk::string_unescape(c[2]) + "/" + sdk::string_unescape(c[3]);
    }
    return place;
}

uint64_t EdgeModel::AliasOf(const std::string& plc, const std::string& metric) {
    auto alias = aliases_.emplace(std::make_pair(plc, metric), nextAlias_);
    if (alias.second) {
        ++nextAlias_;
    }
    return alias.first->second;
}

EdgeModel::MetricState& EdgeModel::Upsert(const std::string& plc, Device& device,
                                          const std::string& metric) {
    auto found = device.metrics.find(metric);
    if (found != device.metrics.end()) {
        return found->second;
    }
    MetricState& state = device.metrics[metric];
    state.alias = AliasOf(plc, metric);
    device.birth_due = true;
    return state;
}

void EdgeModel::SetOnline(const std::string& plc, Device& device, bool online) {
    if (device.online == online) {
        return;
    }
    device.online = online;
    device.birth_due = online;
    Touch(plc);
}

void EdgeModel::OnNode(const NodePath& path, const std::optional<sdk::NodeInfo>& info) {
    if (!info) {
        return;
    }
    const Place place = Classify(path);
    if (place.kind == Place::Kind::Plc) {
        if (ConfigText(*info, "$$$isit") == "plc" && devices_.count(place.plc) == 0) {
            devices_[place.plc].id = DeviceId(place.plc);
        }
        return;
    }
    auto device = devices_.find(place.plc);
    if (device == devices_.end()) {
        return;
    }
    Device& d = device->second;
    if (place.kind == Place::Kind::State) {
        SetOnline(place.plc, d, IsOnlineState(info->value));
        return;
    }
    const char* marker = place.kind == Place::Kind::Subtag ? "subtag" : "tag";
    if (place.kind == Place::Kind::Other || ConfigText(*info, "$$$isit") != marker) {
        return;
    }
    MetricState& m = Upsert(place.plc, d, place.metric);
    const std::string inner = ConfigText(*info, "InnerType");
    if (inner != m.inner_type) {
        m.inner_type = inner;
        d.birth_due = true;
    }
    if (place.kind == Place::Kind::WriteTag) {
        m.write_node = path / "Write Data";
    } else {
        m.value_node = path;
        if (!info->value.is_null()) {
            m.value = info->value;
        }
    }
    if (d.birth_due) {
        Touch(place.plc);
    }
}

std::optional<EdgeModel::Change> EdgeModel::OnValue(const NodePath& path, const Variant& value,
                                                    int64_t ts_ms) {
    const Place place = Classify(path);
    auto device = devices_.find(place.plc);
    if (device == devices_.end()) {
        return std::nullopt;
    }
    Device& d = device->second;
    if (place.kind == Place::Kind::State) {
        SetOnline(place.plc, d, IsOnlineState(value));
        return std::nullopt;
    }
    auto metric = d.metrics.find(place.metric);
    // Polling sets every value on every cycle; only changes are published.
    if (metric == d.metrics.end() || metric->second.value_node != path ||
        metric->second.value == value) {
        return std::nullopt;
    }
    MetricState& m = metric->second;
    m.value = value;
    m.ts_ms = ts_ms;
    if (!d.online) {
        return std::nullopt;
    }
    if (d.born) {
        d.dirty.insert(place.metric);
        Touch(place.plc);
    }
    const sparkplug::DataType type = d.born ? m.born_type : MetricType(m.inner_type, m.value);
    return Change{place.plc, place.metric, type};
}

void EdgeModel::OnRemoved(const NodePath& path) {
    auto device = devices_.find(path.get_base());
    if (device == devices_.end()) {
        return;
    }
    Device& d = device->second;
    if (path.size() == 1) {
        if (d.born) {
            gone_.push_back(d.id);
        }
        pending_.erase(device->first);
        devices_.erase(device);
        return;
    }
    if (NodePath("/" + device->first + "/coxnstate").is_within(path)) {
        SetOnline(device->first, d, false);
    }
    for (auto it = d.metrics.begin(); it != d.metrics.end();) {
        MetricState& m = it->second;
        const bool value_gone = !m.value_node.is_root() && m.value_node.is_within(path);
        const bool write_gone = !m.write_node.is_root() && m.write_node.is_within(path);
        if (value_gone) {
            m.value_node = NodePath();
            m.value = Variant();
        }
        if (write_gone) {
            m.write_node = NodePath();
        }
        if (value_gone || write_gone) {
            d.birth_due = true;
            Touch(device->first);
        }
        if (m.value_node.is_root() && m.write_node.is_root()) {
            d.dirty.erase(it->first);
            it = d.metrics.erase(it);
        } else {
            ++it;
        }
    }
}

void EdgeModel::RebirthAll() {
    gone_.clear();
    for (auto& [plc, d] : devices_) {
        d.born = false;
        d.dirty.clear();
        Touch(plc);
    }
}

bool EdgeModel::BirthPending() const {
    for (const std::string& plc : pending_) {
        auto d = devices_.find(plc);
        if (d != devices_.end() && d->second.online && (!d->second.born || d->second.birth_due)) {
            return true;
        }
    }
    return false;
}

sparkplug::Metric EdgeModel::Describe(const std::string& name, const MetricState& m, bool birth,
                                      uint64_t now_ms) const {
    sparkplug::Metric metric;
    if (birth) {
        metric.name = name;
    }
    metric.alias = m.alias;
    metric.timestamp = m.ts_ms > 0 ? static_cast<uint64_t>(m.ts_ms) : now_ms;
    metric.datatype = m.born_type;
    metric.value = m.value;
    return metric;
}

// A structure's value (an object) goes out as one metric per member, "EM Tags/Tag/Member" and
// deeper for nested members ("Tag/Items[2]/X" for an array of structures), each with its own
// alias (unique across the edge node, as every metric's) and a type from the member's value.
void EdgeModel::Append(const std::string& name, const MetricState& m, const Variant& value,
                       bool birth, uint64_t now_ms, Message& out) {
    if (value.is_map()) {
        for (const auto& [key, member] : value.as_map()) {
            Append(name + "/" + key, m, member, birth, now_ms, out);
        }
        return;
    }
    if (IsStructures(value)) {
        for (size_t i = 0; i < value.as_array().size(); ++i) {
            Append(name + "[" + std::to_string(i) + "]", m, value.as_array()[i], birth, now_ms,
                   out);
        }
        return;
    }
    if (&value == &m.value) {
        out.metrics.push_back(Describe(name, m, birth, now_ms));
        out.names.push_back(name);
        return;
    }
    MetricState member = m;
    member.alias = AliasOf(out.plc, name);
    member.value = value;
    member.born_type = MemberType(value);
    out.metrics.push_back(Describe(name, member, birth, now_ms));
    out.names.push_back(name);
}

void EdgeModel::Birth(const std::string& plc, Device& d, uint64_t now_ms,
                      std::vector<Message>& out) {
    Message birth{MessageKind::Birth, d.id, {}, plc, {}, d.born};
    for (auto& [name, m] : d.metrics) {
        m.born_type = MetricType(m.inner_type, m.value);
        Append(name, m, m.value, true, now_ms, birth);
    }
    out.push_back(std::move(birth));
    d.born = true;
    d.birth_due = false;
    d.dirty.clear();
}

std::vector<EdgeModel::Message> EdgeModel::TakeMessages(uint64_t now_ms) {
    std::vector<Message> out;
    for (std::string& id : gone_) {
        out.push_back({MessageKind::Death, std::move(id), {}, {}, {}});
    }
    gone_.clear();
    for (const std::string& plc : pending_) {
        auto found = devices_.find(plc);
        if (found == devices_.end()) {
            continue;
        }
        Device& d = found->second;
        if (!d.online) {
            if (d.born) {
                out.push_back({MessageKind::Death, d.id, {}, plc, {}});
            }
            d.born = false;
            d.dirty.clear();
            continue;
        }
        bool retype = false;
        for (const std::string& name : d.dirty) {
            const MetricState& m = d.metrics.at(name);
            retype = retype || MetricType(m.inner_type, m.value) != m.born_type;
        }
        if (!d.born || d.birth_due || retype) {
            Birth(plc, d, now_ms, out);
            continue;
        }
        Message data{MessageKind::Data, d.id, {}, plc, {}};
        for (const std::string& name : d.dirty) {
            const MetricState& m = d.metrics.at(name);
            Append(name, m, m.value, false, now_ms, data);
        }
        d.dirty.clear();
        if (!data.metrics.empty()) {
            out.push_back(std::move(data));
        }
    }
    pending_.clear();
    return out;
}

std::optional<EdgeModel::WriteTarget> EdgeModel::FindWritable(const std::string& device,
                                                              const sparkplug::Metric& metric,
                                                              std::string& why) const {
    const std::string label =
        metric.name ? "\"" + *metric.name + "\""
                    : "alias " + (metric.alias ? std::to_string(*metric.alias) : std::string("?"));
    for (const auto& [plc, d] : devices_) {
        if (d.id != device) {
            continue;
        }
        for (const auto& [name, m] : d.metrics) {
            const bool match = metric.name ? *metric.name == name : metric.alias == m.alias;
            if (!match) {
                continue;
            }
            if (m.write_node.is_root()) {
                why = "metric " + label + " of device " + device + " is read-only";
                return std::nullopt;
            }
            // A host writes with the type it was told in the birth; another type is a mistake
            // that the tag's conversion must not turn into some number.
            if (metric.datatype != sparkplug::DataType::Unknown && metric.datatype != m.born_type) {
                why = "metric " + label + " of device " + device + " is of data type " +
                      std::to_string(static_cast<uint32_t>(m.born_type)) + ", not " +
                      std::to_string(static_cast<uint32_t>(metric.datatype));
                return std::nullopt;
            }
            return WriteTarget{m.write_node, name};
        }
        why = "device " + device + " has no metric " + label;
        return std::nullopt;
    }
    why = "no device " + device;
    return std::nullopt;
}

bool EdgeModel::RefuseBirth(const std::string& plc, size_t bytes) {
    auto found = devices_.find(plc);
    if (found == devices_.end()) {
        return false;
    }
    Device& d = found->second;
    d.born = false;
    d.dirty.clear();
    // Values that changed since do not try the same birth again; a change of the tags does.
    if (!d.birth_due) {
        pending_.erase(plc);
    }
    return std::exchange(d.refusedBirthBytes, bytes) == 0;
}

void EdgeModel::BirthPublished(const std::string& plc) {
    auto found = devices_.find(plc);
    if (found != devices_.end()) {
        found->second.refusedBirthBytes = 0;
    }
}

bool EdgeModel::BirthRefused(const std::string& plc) const {
    auto found = devices_.find(plc);
    return found != devices_.end() && found->second.refusedBirthBytes > 0;
}

std::map<std::string, size_t> EdgeModel::RefusedBirths() const {
    std::map<std::string, size_t> out;
    for (const auto& [plc, d] : devices_) {
        if (d.refusedBirthBytes > 0) {
            out[d.id] = d.refusedBirthBytes;
        }
    }
    return out;
}

size_t EdgeModel::MetricCount() const {
    size_t n = 0;
    for (const auto& [plc, d] : devices_) {
        n += d.metrics.size();
    }
    return n;
}

}  // namespace tbmqtt

namespace tbmqtt {

std::optional<uint64_t> EdgeModel::BornAlias(const std::string& plc,
                                             const std::string& metric) const {
    auto d = devices_.find(plc);
    if (d == devices_.end() || !d->second.born) {
        return std::nullopt;
    }
    auto m = d->second.metrics.find(metric);
    return m == d->second.metrics.end() ? std::nullopt : std::optional<uint64_t>(m->second.alias);
}

}  // namespace tbmqtt
