#pragma once
// What the edge node publishes, learnt from the node tree: one Sparkplug device per PLC,
// one metric per polled tag ("EM Tags/<tag>"; a structure one per member, "EM Tags/<tag>/<member>")
// and per I/O subtag ("IO Tags/<tag>/<subtag>"),
// with the latest value of each, and which births, deaths and data are due.
//
// Memory is bounded by the tree: each metric keeps only its latest value; what the broker
// misses meanwhile is kept on disk by the bridge (ChangeBuffer), from the changes OnValue reports.
//
// Threads: none of its own and no lock; MqttBridge guards it with its mutex.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mqtt/sparkplug.h"
#include "strata_sdk/node.h"
#include "strata_sdk/node_path.h"
#include "strata_sdk/variant.h"

namespace tbmqtt {

// The Sparkplug data type for a tag's "InnerType" and its current value (scalar or array,
// string or hexadecimal text for structures).
sparkplug::DataType MetricType(const std::string& inner_type,
                               const kestrel::strata_sdk::Variant& value);

// Sparkplug device ID of a PLC node name: the escaped name, with the topic wildcards escaped too.
std::string DeviceId(const std::string& plc_node_name);

class EdgeModel {
  public:
    enum class MessageKind { Birth, Data, Death };
    struct Message {
        MessageKind kind;
        std::string device;  // Sparkplug device ID
        std::vector<sparkplug::Metric> metrics;
        std::string plc;                 // PLC node name
        std::vector<std::string> names;  // metric names, one per metric
        bool replacesBirth = false;      // a birth while the host holds one of this session
    };
    // A value change that a DDATA would carry.
    struct Change {
        std::string plc;
        std::string metric;
        sparkplug::DataType type;
    };
    struct WriteTarget {
        kestrel::strata_sdk::NodePath action;  // the tag's "Write Data" node
        std::string metric;
    };

    // A node was created or updated; `info` is its snapshot (nothing when already gone).
    void OnNode(const kestrel::strata_sdk::NodePath& path,
                const std::optional<kestrel::strata_sdk::NodeInfo>& info);
    // The change, when the value of a metric of an online PLC changed.
    std::optional<Change> OnValue(const kestrel::strata_sdk::NodePath& path,
                                  const kestrel::strata_sdk::Variant& value, int64_t ts_ms);
    void OnRemoved(const kestrel::strata_sdk::NodePath& path);

    // Every device is to be born again (a new MQTT session or a rebirth request).
    void RebirthAll();
    bool HasWork() const { return !pending_.empty() || !gone_.empty(); }
    // True when some pending work is a birth (worth gathering a burst of tree changes for).
    bool BirthPending() const;
    // The messages due now, in order, each device's births and deaths before its data;
    // afterwards nothing is pending.
    std::vector<Message> TakeMessages(uint64_t now_ms);

    // The target of a write to `metric` (by name or alias) of `device`, or nothing with the
    // reason in `why` (no such metric, read-only, or a data type other than its birth's).
    std::optional<WriteTarget> FindWritable(const std::string& device,
                                            const sparkplug::Metric& metric,
                                            std::string& why) const;

    // The birth of `plc` taken last did not go out (over the broker's packet limit, `bytes`):
    // the device is not born, so it publishes no data, and tries again when its tags change,
    // it reconnects or a rebirth comes. True when it was not refused before.
    bool RefuseBirth(const std::string& plc, size_t bytes);
    // The birth of `plc` taken last went out.
    void BirthPublished(const std::string& plc);
    bool BirthRefused(const std::string& plc) const;
    // Device ID and birth size of every device whose birth is refused.
    std::map<std::string, size_t> RefusedBirths() const;

    size_t MetricCount() const;
    // The alias of `metric` of `plc` while that device is born; nothing otherwise.
    std::optional<uint64_t> BornAlias(const std::string& plc, const std::string& metric) const;

  private:
    struct MetricState {
        uint64_t alias = 0;
        std::string inner_type;
        kestrel::strata_sdk::NodePath value_node;  // empty: the tag is write-only
        kestrel::strata_sdk::NodePath write_node;  // empty: not writable
        kestrel::strata_sdk::Variant value;
        int64_t ts_ms = 0;
        sparkplug::DataType born_type = sparkplug::DataType::Unknown;
    };
    struct Device {
        std::string id;
        bool online = false;
        bool born = false;
        bool birth_due = false;
        std::map<std::string, MetricState> metrics;  // by metric name
        std::set<std::string> dirty;
        size_t refusedBirthBytes = 0;  // 0: its last birth was not refused
    };
    struct Place;

    static Place Classify(const kestrel::strata_sdk::NodePath& path);
    uint64_t AliasOf(const std::string& plc, const std::string& metric);
    MetricState& Upsert(const std::string& plc, Device& device, const std::string& metric);
    void SetOnline(const std::string& plc, Device& device, bool online);
    void Touch(const std::string& plc) { pending_.insert(plc); }
    sparkplug::Metric Describe(const std::string& name, const MetricState& m, bool birth,
                               uint64_t now_ms) const;
    void Birth(const std::string& plc, Device& device, uint64_t now_ms, std::vector<Message>& out);
    void Append(const std::string& name, const MetricState& m,
                const kestrel::strata_sdk::Variant& value, bool birth, uint64_t now_ms,
                Message& out);

    std::map<std::string, Device> devices_;  // by PLC node name
    std::set<std::string> pending_;          // PLC node names with work due
    std::vector<std::string> gone_;          // device IDs of removed PLCs that were born
    // One alias per (PLC node name, metric name) across the edge node, for the process
    // lifetime: stable across rebirths, never given to another metric.
    std::map<std::pair<std::string, std::string>, uint64_t> aliases_;
    uint64_t nextAlias_ = 1;
};

}  // namespace tbmqtt
