// MqttBridge's store and forward and its primary host: changes that could not go out wait in
// the buffer and are replayed, flagged historical with their own time stamps, once births
// have gone out; with a primary host the births wait for its STATE to say online.

#include <mosquitto.h>

#include "common/eip_log.h"
#include "mqtt/mqtt_bridge.h"
#include "strata_sdk/json.h"

namespace tbmqtt {
namespace {

namespace sdk = kestrel::strata_sdk;

constexpr const char* kLog = "MqttBridge";
constexpr const char* kNamespace = "spBv1.0";
// Changes per replayed DDATA; the publisher sends live messages between two of them.
constexpr size_t kReplayBatch = 512;
// A device not born yet (its PLC still connecting) holds the replay this long; after that its
// changes go out by metric name.
constexpr auto kReplayHold = std::chrono::seconds(10);

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

std::string MqttBridge::HostStateTopic() const {
    return std::string(kNamespace) + "/STATE/" + options_.primaryHost;
}

void MqttBridge::BufferUnsent(const EdgeModel::Message& message) {
    for (size_t i = 0; i < message.metrics.size() && i < message.names.size(); ++i) {
        const sparkplug::Metric& m = message.metrics[i];
        buffer_->Append(
            {0, m.timestamp.value_or(NowMs()), message.plc, message.names[i], m.datatype, m.value});
    }
}

MqttBridge::Replay MqttBridge::ReplayBatch(std::chrono::steady_clock::time_point liveSince) {
    // The next batch once the last one is on the wire: a slow link to the broker never piles the
    // buffer up in memory, and live messages never queue behind more than one batch.
    if (mosquitto_want_write(client_.get())) {
        return Replay::Busy;
    }
    std::vector<BufferedChange> batch = buffer_->ReadOldest(kReplayBatch);
    if (batch.empty()) {
        return Replay::Done;
    }
    std::vector<std::optional<uint64_t>> aliases;
    std::vector<BufferedChange> unborn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!live_) {
            return Replay::Held;  // the session ended meanwhile
        }
        for (auto c = batch.begin(); c != batch.end();) {
            if (model_.BirthRefused(c->plc)) {
                unborn.push_back(std::move(*c));
                c = batch.erase(c);
                continue;
            }
            aliases.push_back(model_.BornAlias(c->plc, c->metric));
            ++c;
        }
    }
    // A host refuses data of a device it holds no birth of: the changes of a device whose birth
    // is over the packet limit go nowhere.
    if (!unborn.empty()) {
        buffer_->Remove(unborn);
        if (batch.empty()) {
            return Replay::More;
        }
    }
    const bool holding = std::chrono::steady_clock::now() - liveSince < kReplayHold;
    size_t ready = 0;
    while (ready < batch.size() && (aliases[ready] || !holding)) {
        ++ready;
    }
    batch.resize(ready);
    const size_t sent = PublishHistorical(batch, aliases);
    batch.resize(sent);
    buffer_->Remove(batch);
    return sent == 0 || sent < aliases.size() ? Replay::Held : Replay::More;
}

// One DDATA per run of changes of one PLC; the count of changes handed to libmosquitto.
size_t MqttBridge::PublishHistorical(const std::vector<BufferedChange>& batch,
                                     const std::vector<std::optional<uint64_t>>& aliases) {
    size_t done = 0;
    while (done < batch.size()) {
        size_t end = done;
        while (end < batch.size() && batch[end].plc == batch[done].plc) {
            ++end;
        }
        const std::string device = DeviceId(batch[done].plc);
        bool sent = true;
        if (SparkplugOn()) {
            sparkplug::Payload payload;
            payload.timestamp = NowMs();
            payload.seq = NextSeq();
            for (size_t i = done; i < end; ++i) {
                sparkplug::Metric m;
                if (aliases[i]) {
                    m.alias = aliases[i];
                } else {
                    m.name = batch[i].metric;
                }
                m.timestamp = batch[i].tsMs;
                m.datatype = batch[i].type;
                m.value = batch[i].value;
                m.historical = true;
                payload.metrics.push_back(std::move(m));
            }
            sent = Publish(Topic("DDATA", device), sparkplug::Encode(payload));
        }
        for (size_t i = done; sent && JsonOn() && i < end; ++i) {
            sent = Publish(JsonValueTopic(options_.topicPrefix, device, batch[i].metric),
                           JsonValuePayload(batch[i].value, batch[i].tsMs, true));
        }
        if (!sent) {
            break;
        }
        done = end;
    }
    return done;
}

void MqttBridge::HandleHostState(const mosquitto_message& message) {
    const std::string text(static_cast<const char*>(message.payload),
                           static_cast<size_t>(std::max(message.payloadlen, 0)));
    const std::string what = "MQTT: STATE of primary host " + options_.primaryHost;
    sdk::Variant state;
    try {
        state = sdk::json::from_json_string(text);
    } catch (const std::exception& e) {
        eiplog::Error(kLog, what + " ignored: " + e.what());
        return;
    }
    const sdk::Variant::MapType fields = state.is_map() ? state.as_map() : sdk::Variant::MapType();
    const auto online = fields.find("online");
    if (online == fields.end() || !online->second.is_bool()) {
        eiplog::Error(kLog, what + " ignored: it holds no \"online\" true or false");
        return;
    }
    const auto stamp = fields.find("timestamp");
    const uint64_t ts =
        stamp != fields.end() && stamp->second.is_number() ? stamp->second.as_uint() : 0;
    bool came = false;
    bool left = false;
    uint64_t bdseq = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ts < hostStateTs_) {
            return;  // older than the state already seen
        }
        hostStateTs_ = ts;
        if (online->second.as_bool() && !hostOnline_) {
            hostOnline_ = true;
            node_birth_due_ = true;
            model_.RebirthAll();
            came = true;
        } else if (!online->second.as_bool() && hostOnline_) {
            hostOnline_ = false;
            live_ = false;
            hostLeft_ = true;
            bdseq = bdseq_;
            left = true;
        }
    }
    if (came) {
        eiplog::Info(kLog, what + ": online, publishing");
        wake_.notify_all();
    }
    if (left) {
        // The session ends with its death; the next one waits for the host to be back.
        eiplog::Info(kLog, what + ": offline, buffering until it is back");
        PublishDeath(bdseq);
        mosquitto_disconnect(client_.get());
    }
}

}  // namespace tbmqtt
