#include "mqtt/mqtt_bridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "common/eip_log.h"
#include "mqtt/reconnect_backoff.h"
#include "strata_sdk/json.h"

namespace tbmqtt {
namespace {

namespace sdk = kestrel::strata_sdk;
using sparkplug::DataType;

constexpr const char* kLog = "MqttBridge";
constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kRebirthMetric = "Node Control/Rebirth";
constexpr const char* kBdSeqMetric = "bdSeq";
constexpr int kKeepAliveSeconds = 30;
// libmosquitto's loop wakes for socket traffic and for the keep-alive only.
constexpr int kLoopTimeoutMs = kKeepAliveSeconds * 1000 / 2;
constexpr int kCommandQos = 1;
constexpr int kWillQos = 1;
// Past this many bytes handed to libmosquitto and not yet written to the socket, changes wait
// in the model as latest values: room for a few births and many data messages, yet a broker
// that stops reading holds little of the link's memory.
constexpr size_t kMaxUnwrittenBytes = 1u << 20;
// Adding tags creates their nodes one by one: one birth for the whole burst.
constexpr std::chrono::milliseconds kBirthGather{50};
constexpr uint64_t kBdSeqModulo = 256;
constexpr uint64_t kSeqModulo = 256;
// A replay held for a device not born yet looks again after this.
constexpr std::chrono::milliseconds kReplayRetry{100};
// A replay waiting for its last batch to be written looks again after this.
constexpr std::chrono::milliseconds kReplayBusyRetry{1};
// The payload of a /set quoted in a refusal.
constexpr size_t kQuotedPayload = 80;
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

sparkplug::Metric NamedMetric(const char* name, DataType type, sdk::Variant value) {
    sparkplug::Metric m;
    m.name = name;
    m.timestamp = NowMs();
    m.datatype = type;
    m.value = std::move(value);
    return m;
}

std::string DeathPayload(uint64_t bdseq) {
    sparkplug::Payload death;
    death.timestamp = NowMs();
    death.metrics.push_back(NamedMetric(kBdSeqMetric, DataType::UInt64, sdk::Variant(bdseq)));
    return sparkplug::Encode(death);
}

const char* TopicType(EdgeModel::MessageKind kind) {
    switch (kind) {
        case EdgeModel::MessageKind::Birth:
            return "DBIRTH";
        case EdgeModel::MessageKind::Data:
            return "DDATA";
        case EdgeModel::MessageKind::Death:
            break;
    }
    return "DDEATH";
}

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

void MqttBridge::MosquittoDeleter::operator()(mosquitto* m) const {
    mosquitto_destroy(m);
}

MqttBridge::MqttBridge(sdk::Broker& broker, MqttOptions options)
    : broker_(broker), options_(std::move(options)), maxPacketBytes_(options_.maxPacketBytes) {}

MqttBridge::~MqttBridge() {
    Stop();
}

std::string MqttBridge::Topic(const char* type) const {
    return std::string(kNamespace) + "/" + options_.group + "/" + type + "/" + options_.node;
}

std::string MqttBridge::Topic(const char* type, const std::string& device) const {
    return Topic(type) + "/" + device;
}

bool MqttBridge::Start(std::string& error) {
    InitLibrary();
    const std::string client_id = "tagbridge-" + options_.group + "-" + options_.node;
    client_.reset(mosquitto_new(client_id.c_str(), true, this));
    if (!client_) {
        error = "MQTT: cannot create the client";
        return false;
    }
    mosquitto* m = client_.get();
    mosquitto_threaded_set(m, true);
    // MQTT 5 for the CONNACK's Maximum Packet Size.
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(
        m, [](mosquitto*, void* self, int rc, int, const mosquitto_property* properties) {
            static_cast<MqttBridge*>(self)->HandleConnect(rc, properties);
        });
    mosquitto_publish_callback_set(m, [](mosquitto*, void* self, int mid) {
        static_cast<MqttBridge*>(self)->HandleWritten(mid);
    });
    mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
        static_cast<MqttBridge*>(self)->HandleMessage(*msg);
    });
    BufferLimits limits;
    limits.maxBytes = options_.bufferMaxBytes;
    limits.maxAgeMs = options_.bufferMaxAgeMs;
    buffer_ = ChangeBuffer::Open(options_.dataDir, limits, error);
    if (!buffer_) {
        return false;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (!options_.user.empty()) {
        rc = mosquitto_username_pw_set(
            m, options_.user.c_str(),
            options_.password.empty() ? nullptr : options_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && options_.tls) {
        rc = mosquitto_tls_set(m, options_.ca_file.empty() ? nullptr : options_.ca_file.c_str(),
                               options_.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                               nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT: ") + mosquitto_strerror(rc);
        return false;
    }
    subscription_ = broker_.subscribe(sdk::NodePath(),
                                      [this](const sdk::TreeEvent& event) { OnTreeEvent(event); });
    publisher_ = std::thread([this] { PublisherLoop(); });
    network_ = std::thread([this] { NetworkLoop(); });
    eiplog::Info(kLog, "MQTT: publishing to " + options_.url + " as Sparkplug B edge node " +
                           options_.group + "/" + options_.node);
    return true;
}

void MqttBridge::Stop() {
    bool was_connected = false;
    uint64_t bdseq = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !client_) {
            return;
        }
        stopping_ = true;
        was_connected = connected_;
        bdseq = bdseq_;
    }
    if (!publisher_.joinable()) {
        return;  // Start() did not get as far as the threads
    }
    broker_.unsubscribe(subscription_);
    wake_.notify_all();
    publisher_.join();
    // A clean disconnect drops the will, so the death is said out loud first.
    if (was_connected) {
        PublishDeath(bdseq);
    }
    mosquitto_disconnect(client_.get());
    network_.join();
    // What is queued is written; the buffer itself stays for scrapes until the bridge goes.
    buffer_->Flush();
}

void MqttBridge::PublishDeath(uint64_t bdseq) {
    if (SparkplugOn()) {
        Publish(Topic("NDEATH"), DeathPayload(bdseq));
    }
    if (JsonOn()) {
        Publish(JsonStateTopic(options_.topicPrefix), kOffline, true);
    }
}

uint64_t MqttBridge::NextSeq() {
    seq_ = (seq_ + 1) % kSeqModulo;
    return seq_;
}

void MqttBridge::WriteMetrics(sdk::MetricsText& out) {
    if (!buffer_) {
        return;
    }
    const BufferStats s = buffer_->Stats();
    const struct {
        const char* name;
        const char* type;
        const char* help;
        double value;
    } families[] = {
        {"tagbridge_mqtt_buffered_changes", "gauge",
         "Value changes waiting in the store and forward buffer.", double(s.changes)},
        {"tagbridge_mqtt_buffered_bytes", "gauge", "Bytes of the buffered changes.",
         double(s.bytes)},
        {"tagbridge_mqtt_buffer_oldest_age_seconds", "gauge", "Age of the oldest buffered change.",
         s.oldestAgeSeconds},
        {"tagbridge_mqtt_buffer_dropped_changes_total", "counter",
         "Buffered changes dropped, oldest first, past the buffer's bounds.", double(s.dropped)},
        {"tagbridge_mqtt_replayed_changes_total", "counter",
         "Buffered changes published after a reconnect.", double(s.replayed)},
        {"tagbridge_mqtt_replay_changes_per_second", "gauge",
         "Buffered changes published per second over the last second of replay.",
         s.replayPerSecond},
    };
    for (const auto& f : families) {
        out.family(f.name, f.type, f.help);
        out.sample(f.name, f.value);
    }
    std::map<std::string, size_t> refused;
    size_t unwritten = 0;
    size_t limit = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refused = model_.RefusedBirths();
        unwritten = unwritten_.Bytes();
        limit = maxPacketBytes_;
    }
    out.family("tagbridge_mqtt_max_packet_bytes", "gauge",
               "Largest MQTT packet the broker takes: its CONNACK's, else --mqtt-max-packet.");
    out.sample("tagbridge_mqtt_max_packet_bytes", double(limit));
    out.family("tagbridge_mqtt_unwritten_bytes", "gauge",
               "Bytes handed to the MQTT client and not yet written to the socket.");
    out.sample("tagbridge_mqtt_unwritten_bytes", double(unwritten));
    out.family("tagbridge_mqtt_birth_refused_bytes", "gauge",
               "Size of a device's DBIRTH refused as over the packet limit; the device publishes "
               "nothing until its birth fits.");
    for (const auto& [device, bytes] : refused) {
        out.sample("tagbridge_mqtt_birth_refused_bytes", double(bytes), {{"device", device}});
    }
}

// ---- tree -------------------------------------------------------------------------------------

void MqttBridge::OnTreeEvent(const sdk::TreeEvent& event) {
    std::optional<sdk::NodeInfo> info;
    if (event.kind == sdk::TreeEvent::Kind::Created ||
        event.kind == sdk::TreeEvent::Kind::Updated) {
        info = broker_.node_info(event.path);
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        switch (event.kind) {
            case sdk::TreeEvent::Kind::Value: {
                const auto change = model_.OnValue(event.path, event.value, event.ts_ms);
                if (change && !live_ && buffer_) {
                    const uint64_t ts = event.ts_ms > 0 ? uint64_t(event.ts_ms) : NowMs();
                    buffer_->Append(
                        {0, ts, change->plc, change->metric, change->type, event.value});
                }
                break;
            }
            case sdk::TreeEvent::Kind::Removed:
                model_.OnRemoved(event.path);
                break;
            default:
                model_.OnNode(event.path, info);
                break;
        }
        wake = Publishing() && model_.HasWork();
    }
    if (wake) {
        wake_.notify_one();
    }
}

// ---- network thread ---------------------------------------------------------------------------

// One will per connection: the NDEATH, or for JSON alone PREFIX/$state "offline".
void MqttBridge::SetWill(uint64_t bdseq) {
    if (!SparkplugOn()) {
        const std::string topic = JsonStateTopic(options_.topicPrefix);
        mosquitto_will_set(client_.get(), topic.c_str(), static_cast<int>(std::strlen(kOffline)),
                           kOffline, kWillQos, true);
        return;
    }
    const std::string payload = DeathPayload(bdseq);
    mosquitto_will_set(client_.get(), Topic("NDEATH").c_str(), static_cast<int>(payload.size()),
                       payload.data(), kWillQos, false);
}

bool MqttBridge::WaitBackoff(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, delay, [this] { return stopping_; });
}

void MqttBridge::NetworkLoop() {
    ReconnectBackoff backoff;
    bool reported = false;  // one log line per outage, not one per attempt
    for (;;) {
        uint64_t bdseq = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                return;
            }
            bdseq = bdseq_;
        }
        SetWill(bdseq);
        if (mqtt311Only_) {
            mosquitto_int_option(client_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        }
        int rc = mosquitto_connect_async(client_.get(), options_.host.c_str(), options_.port,
                                         kKeepAliveSeconds);
        while (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop(client_.get(), kLoopTimeoutMs, 1);
        }
        bool was_connected = false;
        bool host_left = false;
        std::chrono::milliseconds uptime{0};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            was_connected = std::exchange(connected_, false);
            if (was_connected) {
                uptime = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - connectedAt_);
            }
            unwritten_.Reset();
            live_ = false;
            host_left = std::exchange(hostLeft_, false);
            bdseq_ = (bdseq_ + 1) % kBdSeqModulo;
            if (stopping_) {
                return;
            }
        }
        if (host_left) {
            backoff.Reset();
        } else if (was_connected) {
            eiplog::Error(kLog, "MQTT: connection to " + options_.url +
                                    " lost; reconnecting: " + mosquitto_strerror(rc));
            reported = true;
        } else if (!reported) {
            eiplog::Error(kLog, "MQTT: cannot connect to " + options_.url +
                                    "; retrying: " + mosquitto_strerror(rc));
            reported = true;
        }
        if (!WaitBackoff(backoff.Next(uptime))) {
            return;
        }
    }
}

void MqttBridge::HandleConnect(int rc, const mosquitto_property* properties) {
    const bool mqtt5 = !mqtt311Only_;
    if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && mqtt5) {
        eiplog::Info(kLog, "MQTT: " + options_.url + " does not take MQTT 5; using MQTT 3.1.1");
        mqtt311Only_ = true;
    }
    if (rc != 0) {
        eiplog::Error(kLog,
                      "MQTT: " + options_.url + " refused the connection: " +
                          (mqtt5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc)));
        mosquitto_disconnect(client_.get());
        return;
    }
    uint32_t brokerLimit = 0;
    const bool limited = mosquitto_property_read_int32(properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                                       &brokerLimit, false) &&
                         brokerLimit > 0;
    const size_t limit = limited ? brokerLimit : options_.maxPacketBytes;
    if (SparkplugOn()) {
        mosquitto_subscribe(client_.get(), nullptr, Topic("NCMD").c_str(), kCommandQos);
        mosquitto_subscribe(client_.get(), nullptr, Topic("DCMD", "+").c_str(), kCommandQos);
    }
    if (JsonOn()) {
        mosquitto_subscribe(client_.get(), nullptr, JsonSetFilter(options_.topicPrefix).c_str(),
                            kCommandQos);
    }
    if (!options_.primaryHost.empty()) {
        mosquitto_subscribe(client_.get(), nullptr, HostStateTopic().c_str(), kCommandQos);
    }
    uint64_t bdseq = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = true;
        connectedAt_ = std::chrono::steady_clock::now();
        mqtt5_ = mqtt5;
        maxPacketBytes_ = limit;
        hostOnline_ = false;
        node_birth_due_ = true;
        model_.RebirthAll();
        bdseq = bdseq_;
    }
    wake_.notify_all();
    const std::string waiting =
        options_.primaryHost.empty()
            ? ""
            : "; waiting for primary host " + options_.primaryHost + " to be online";
    eiplog::Info(kLog, "MQTT: connected to " + options_.url + " (bdSeq " + std::to_string(bdseq) +
                           ")" + waiting);
    eiplog::Info(kLog, "MQTT: packets up to " + std::to_string(limit) +
                           (limited ? " bytes, the broker's limit" : " bytes (--mqtt-max-packet)"));
}

// ---- publisher thread -------------------------------------------------------------------------

MqttBridge::PacketSize MqttBridge::SizeOf(const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    return {PublishPacketBytes(topic.size(), payload.size(), mqtt5_), maxPacketBytes_};
}

bool MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain) {
    const PacketSize size = SizeOf(topic, payload);
    uint64_t session = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session = unwritten_.Session();
    }
    // The broker would drop the connection for it, and for it again after every reconnect.
    if (!size.Fits()) {
        eiplog::Error(kLog, "MQTT: " + topic + " not published: " + std::to_string(size.bytes) +
                                " bytes, over the packet limit of " + std::to_string(size.limit) +
                                " bytes");
        return false;
    }
    int mid = 0;
    const int rc = mosquitto_publish(client_.get(), &mid, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), 0, retain);
    // Not connected: the births after the reconnect carry the latest values, the buffer the
    // changes.
    if (rc != MOSQ_ERR_SUCCESS) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    unwritten_.Handed(session, mid, size.bytes);
    return true;
}

bool MqttBridge::Draining() const {
    return unwritten_.Bytes() <= kMaxUnwrittenBytes;
}

void MqttBridge::HandleWritten(int mid) {
    bool drained = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool was = Draining();
        unwritten_.Written(mid);
        drained = !was && Draining();
    }
    if (drained) {
        wake_.notify_all();
    }
}

void MqttBridge::PublisherLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::chrono::milliseconds replay_wait{0};  // 0: the replay waits for nothing but work
    for (;;) {
        const auto live_work = [this] {
            return stopping_ ||
                   (Publishing() && Draining() && (node_birth_due_ || model_.HasWork()));
        };
        if (replay_wait.count() > 0) {
            wake_.wait_for(lock, replay_wait, live_work);
        } else {
            wake_.wait(lock,
                       [&] { return live_work() || (Publishing() && Draining() && replayDue_); });
        }
        if (!stopping_ && (node_birth_due_ || model_.BirthPending())) {
            wake_.wait_for(lock, kBirthGather, [this] { return stopping_; });
        }
        if (stopping_) {
            return;
        }
        if (!Publishing() || !Draining()) {
            // The next session's births come first; or the socket drains before more is taken.
            replay_wait = {};
            continue;
        }
        const bool node_birth = std::exchange(node_birth_due_, false);
        std::vector<EdgeModel::Message> messages = model_.TakeMessages(NowMs());
        if (node_birth) {
            // From here on changes go out live; what came before waits in the buffer.
            live_ = true;
            liveSince_ = std::chrono::steady_clock::now();
            replayDue_ = true;
        }
        // The births go out before any of the replay.
        const bool replay = replayDue_ && !node_birth;
        const auto live_since = liveSince_;
        const uint64_t bdseq = bdseq_;
        lock.unlock();
        PublishDue(node_birth, std::move(messages), bdseq);
        const Replay result = replay ? ReplayBatch(live_since) : Replay::More;
        lock.lock();
        replay_wait = result == Replay::Held   ? kReplayRetry
                      : result == Replay::Busy ? kReplayBusyRetry
                                               : std::chrono::milliseconds{};
        if (result == Replay::Done) {
            replayDue_ = false;
        }
    }
}

void MqttBridge::PublishDue(bool node_birth, std::vector<EdgeModel::Message> messages,
                            uint64_t bdseq) {
    if (node_birth) {
        seq_ = 0;
        sparkplug::Payload birth;
        birth.timestamp = NowMs();
        birth.seq = seq_;
        birth.metrics.push_back(NamedMetric(kBdSeqMetric, DataType::UInt64, sdk::Variant(bdseq)));
        birth.metrics.push_back(
            NamedMetric(kRebirthMetric, DataType::Boolean, sdk::Variant(false)));
        if (SparkplugOn()) {
            Publish(Topic("NBIRTH"), sparkplug::Encode(birth));
        }
        if (JsonOn()) {
            Publish(JsonStateTopic(options_.topicPrefix), kOnline, true);
        }
    }
    for (EdgeModel::Message& message : messages) {
        const std::string topic = Topic(TopicType(message.kind), message.device);
        const bool data = message.kind == EdgeModel::MessageKind::Data;
        const std::string payload =
            SparkplugOn() && !data ? EncodeNext(message.metrics) : std::string();
        if (message.kind == EdgeModel::MessageKind::Birth && !AdmitBirth(message, topic, payload)) {
            continue;
        }
        if (JsonOn()) {
            PublishJson(message);
        }
        if (!SparkplugOn()) {
            continue;
        }
        bool sent = true;
        if (data) {
            sent = PublishData(topic, message.metrics);
        } else {
            NextSeq();
            sent = Publish(topic, payload);
        }
        if (!sent && data) {
            BufferUnsent(message);
        }
    }
}

std::string MqttBridge::EncodeNext(const std::vector<sparkplug::Metric>& metrics) const {
    sparkplug::Payload payload;
    payload.timestamp = NowMs();
    payload.seq = (seq_ + 1) % kSeqModulo;
    payload.metrics = metrics;
    return sparkplug::Encode(payload);
}

bool MqttBridge::AdmitBirth(const EdgeModel::Message& message, const std::string& topic,
                            const std::string& payload) {
    const PacketSize size = SizeOf(topic, payload);
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (size.Fits()) {
            model_.BirthPublished(message.plc);
            return true;
        }
        first = model_.RefuseBirth(message.plc, size.bytes);
    }
    if (first) {
        eiplog::Error(kLog, "MQTT: DBIRTH of device " + message.device +
                                " not published: " + std::to_string(size.bytes) +
                                " bytes, over the packet limit of " + std::to_string(size.limit) +
                                " bytes; the device publishes nothing until its birth fits");
    }
    if (message.replacesBirth && SparkplugOn()) {
        const std::string death = EncodeNext({});
        NextSeq();
        Publish(Topic("DDEATH", message.device), death);
    }
    return false;
}

bool MqttBridge::PublishData(const std::string& topic,
                             const std::vector<sparkplug::Metric>& metrics) {
    const std::string payload = EncodeNext(metrics);
    if (!SizeOf(topic, payload).Fits()) {
        if (metrics.size() == 1) {
            Publish(topic, payload);  // refused with a log line: one value never fits
            return true;
        }
        const auto half = metrics.begin() + static_cast<std::ptrdiff_t>(metrics.size() / 2);
        const bool first = PublishData(topic, {metrics.begin(), half});
        return PublishData(topic, {half, metrics.end()}) && first;
    }
    NextSeq();
    return Publish(topic, payload);
}

void MqttBridge::PublishJson(const EdgeModel::Message& message) {
    const std::string& prefix = options_.topicPrefix;
    if (message.kind == EdgeModel::MessageKind::Death) {
        Publish(JsonStateTopic(prefix, message.device), kOffline, true);
        return;
    }
    if (message.kind == EdgeModel::MessageKind::Birth) {
        Publish(JsonStateTopic(prefix, message.device), kOnline, true);
    }
    bool sent = true;
    for (size_t i = 0; i < message.metrics.size() && i < message.names.size(); ++i) {
        const sparkplug::Metric& m = message.metrics[i];
        sent = Publish(JsonValueTopic(prefix, message.device, message.names[i]),
                       JsonValuePayload(m.value, m.timestamp.value_or(NowMs()), false), true) &&
               sent;
    }
    // With Sparkplug too, its DDATA says whether the changes need the buffer.
    if (!sent && !SparkplugOn() && message.kind == EdgeModel::MessageKind::Data) {
        BufferUnsent(message);
    }
}

// ---- commands (network thread) ----------------------------------------------------------------

void MqttBridge::HandleMessage(const mosquitto_message& message) {
    const std::string topic = message.topic ? message.topic : "";
    if (!options_.primaryHost.empty() && topic == HostStateTopic()) {
        HandleHostState(message);
        return;
    }
    if (JsonOn()) {
        if (const auto set = ParseJsonSetTopic(options_.topicPrefix, topic)) {
            HandleJsonSet(*set, message);
            return;
        }
    }
    const std::string dcmd = Topic("DCMD") + "/";
    const bool node_command = topic == Topic("NCMD");
    if (!node_command && topic.compare(0, dcmd.size(), dcmd) != 0) {
        return;
    }
    std::string error;
    const auto payload =
        sparkplug::Decode(static_cast<const uint8_t*>(message.payload),
                          static_cast<size_t>(std::max(message.payloadlen, 0)), error);
    if (!payload) {
        eiplog::Error(kLog, "MQTT: " + topic + " ignored: " + error);
        return;
    }
    if (node_command) {
        HandleNodeCommand(*payload);
    } else {
        HandleDeviceCommand(topic.substr(dcmd.size()), *payload);
    }
}

void MqttBridge::HandleNodeCommand(const sparkplug::Payload& payload) {
    for (const sparkplug::Metric& m : payload.metrics) {
        if (m.name == std::string(kRebirthMetric) && m.value.is_bool() && m.value.as_bool()) {
            eiplog::Info(kLog, "MQTT: rebirth requested");
            {
                std::lock_guard<std::mutex> lock(mutex_);
                node_birth_due_ = true;
                model_.RebirthAll();
            }
            wake_.notify_all();
            return;
        }
    }
    eiplog::Error(kLog,
                  "MQTT: NCMD ignored: it holds no \"" + std::string(kRebirthMetric) + "\" = true");
}

void MqttBridge::HandleDeviceCommand(const std::string& device, const sparkplug::Payload& payload) {
    for (const sparkplug::Metric& metric : payload.metrics) {
        std::string why;
        std::optional<EdgeModel::WriteTarget> target;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            target = model_.FindWritable(device, metric, why);
        }
        if (target && metric.value.is_null()) {
            why = "metric \"" + target->metric + "\" of device " + device + " has no value";
            target.reset();
        }
        if (!target) {
            eiplog::Error(kLog, "MQTT: DCMD write refused: " + why);
            continue;
        }
        Write(*target, metric.value, "\"" + target->metric + "\" of device " + device, "DCMD");
    }
}

void MqttBridge::HandleJsonSet(const JsonSet& set, const mosquitto_message& message) {
    const std::string topic = message.topic;
    const std::string text(static_cast<const char*>(message.payload),
                           static_cast<size_t>(std::max(message.payloadlen, 0)));
    sdk::Variant value;
    std::string why;
    try {
        value = sdk::json::from_json_string(text);
    } catch (const std::exception& e) {
        why = e.what();
    }
    if (why.empty() && (value.is_null() || value.is_map())) {
        why =
            "expected a JSON number, bool, string or array, got " + text.substr(0, kQuotedPayload);
    }
    std::optional<EdgeModel::WriteTarget> target;
    if (why.empty()) {
        sparkplug::Metric metric;
        metric.name = set.metric;
        std::lock_guard<std::mutex> lock(mutex_);
        target = model_.FindWritable(set.deviceId, metric, why);
    }
    if (!target) {
        eiplog::Error(kLog, "MQTT: " + topic + " refused: " + why);
        return;
    }
    Write(*target, value, "\"" + target->metric + "\" of device " + set.deviceId, topic);
}

void MqttBridge::Write(const EdgeModel::WriteTarget& target, const sdk::Variant& value,
                       const std::string& what, const std::string& via) {
    sdk::Variant params = sdk::Variant::new_map();
    params["Value"] = sdk::json::to_json_string(value);
    auto done = [what, via](const sdk::InvokeResult& result) {
        const bool answered = result.ok() && !result.rows.empty() && result.rows[0].size() >= 2;
        const bool success = answered && result.rows[0][0].is_bool() && result.rows[0][0].as_bool();
        if (success) {
            eiplog::Info(kLog, "MQTT: " + via + " wrote " + what);
            return;
        }
        const std::string reason =
            !result.ok() ? result.error_text
                         : (answered ? sdk::json::to_json_string(result.rows[0][1]) : "no answer");
        eiplog::Error(kLog, "MQTT: " + via + " write of " + what + " refused: " + reason);
    };
    const std::error_code ec = broker_.invoke(target.action, std::move(params), done);
    if (ec) {
        eiplog::Error(kLog, "MQTT: " + via + " write of " + what + " refused: " + ec.message());
    }
}

}  // namespace tbmqtt
