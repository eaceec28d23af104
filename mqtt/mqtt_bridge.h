#pragma once
// The MQTT side of the link: publishes the PLCs and tags of the node tree to an MQTT broker
// as a Sparkplug B edge node, and turns DCMD writes into "Write Data" invocations.
//
//   spBv1.0/GROUP/NBIRTH/NODE         bdSeq, "Node Control/Rebirth"
//   spBv1.0/GROUP/NDEATH/NODE         the will, with the bdSeq of its session
//   spBv1.0/GROUP/DBIRTH/NODE/PLC     every metric of a connected PLC, with name and alias
//   spBv1.0/GROUP/DDATA/NODE/PLC      changed values by alias
//   spBv1.0/GROUP/DDEATH/NODE/PLC     the PLC's connection is lost or the PLC removed
//   spBv1.0/GROUP/NCMD/NODE           "Node Control/Rebirth" = true: births again
//   spBv1.0/GROUP/DCMD/NODE/PLC       writes to writable tags
//   spBv1.0/STATE/HOST                the primary host's state (--mqtt-primary-host)
// and, with --mqtt-format json or both, the plain JSON topics of json_topics.h.
//
// Store and forward: until the births of a session are taken (no broker, or the primary host
// offline), every change a DDATA would carry goes to `buffer_`; after the births the publisher
// replays it in batches between the live messages (store_forward.cpp).
//
// Threads:
//   - the broker's dispatch thread delivers tree events; they update `model_` under `mutex_`
//     and wake the publisher: polling never waits for MQTT.
//   - `network_` connects, runs libmosquitto's loop (reads, writes, keep-alive, the
//     callbacks on_connect / on_disconnect / on_message) and reconnects with backoff. It never
//     holds `mutex_` across a connect or a network exchange.
//   - `publisher_` waits on `wake_` for due work, takes the messages from `model_` under
//     `mutex_`, then encodes and hands them to libmosquitto with no lock held; it alone owns
//     the message sequence number and reads the buffer for the replay.
// `mutex_` guards model_, connected_, node_birth_due_, bdseq_, stopping_, live_, hostOnline_,
// hostStateTs_, hostLeft_, replayDue_, liveSince_, unwritten_, maxPacketBytes_, mqtt5_ and
// connectedAt_. `buffer_` has its own locks (taken after `mutex_`, never before).
// libmosquitto calls on_connect and on_publish holding a lock of its own, which they take
// `mutex_` under; nothing calls libmosquitto holding `mutex_`.
//
// Flow: once more than kMaxUnwrittenBytes wait unwritten in libmosquitto (a broker that stopped
// reading), the publisher takes nothing more from `model_`, which keeps the latest value of
// each metric meanwhile, until libmosquitto has written them out.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "mqtt/change_buffer.h"
#include "mqtt/edge_model.h"
#include "mqtt/json_topics.h"
#include "mqtt/mqtt_options.h"
#include "mqtt/publish_flow.h"
#include "strata_sdk/broker.h"
#include "strata_sdk/metrics.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace tbmqtt {

class MqttBridge {
  public:
    MqttBridge(kestrel::strata_sdk::Broker& broker, MqttOptions options);
    ~MqttBridge();
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Follows the tree from now on and starts connecting. Start before the link runs so that
    // every node, restored ones included, is seen as it is created. False with a reason when
    // the MQTT client cannot be set up.
    bool Start(std::string& error);
    // Publishes NDEATH, disconnects and ends the threads.
    void Stop();
    // The store and forward figures of GET /metrics.
    void WriteMetrics(kestrel::strata_sdk::MetricsText& out);

  private:
    void OnTreeEvent(const kestrel::strata_sdk::TreeEvent& event);
    void NetworkLoop();
    void PublisherLoop();
    void PublishDue(bool node_birth, std::vector<EdgeModel::Message> messages, uint64_t bdseq);
    // True when the birth may go out; a DBIRTH over the broker's packet limit does not: the
    // device stays unborn (and says its death if the host held a birth of it).
    bool AdmitBirth(const EdgeModel::Message& message, const std::string& topic,
                    const std::string& payload);
    // A DDATA over the broker's packet limit goes out as several.
    bool PublishData(const std::string& topic, const std::vector<sparkplug::Metric>& metrics);
    // A device message with the next sequence number; NextSeq() takes it once it goes out.
    std::string EncodeNext(const std::vector<sparkplug::Metric>& metrics) const;
    struct PacketSize {
        size_t bytes;
        size_t limit;
        bool Fits() const { return bytes <= limit; }
    };
    PacketSize SizeOf(const std::string& topic, const std::string& payload);
    bool Publish(const std::string& topic, const std::string& payload, bool retain = false);
    // libmosquitto wrote a publish to the socket.
    void HandleWritten(int mid);
    // Little enough waits unwritten for more to be handed to libmosquitto.
    bool Draining() const;
    bool SparkplugOn() const { return options_.format != MqttFormat::Json; }
    bool JsonOn() const { return options_.format != MqttFormat::Sparkplug; }
    // Connected, and the primary host (if any) online: births and data may go out.
    bool Publishing() const { return connected_ && (options_.primaryHost.empty() || hostOnline_); }
    void PublishJson(const EdgeModel::Message& message);
    // A DDATA that could not be handed over: its changes wait in the buffer.
    void BufferUnsent(const EdgeModel::Message& message);
    // Held: a device is not born yet or the session ended; Busy: the last batch is still
    // being written.
    enum class Replay { Done, More, Held, Busy };
    Replay ReplayBatch(std::chrono::steady_clock::time_point liveSince);
    size_t PublishHistorical(const std::vector<BufferedChange>& batch,
                             const std::vector<std::optional<uint64_t>>& aliases);
    void SetWill(uint64_t bdseq);
    // NDEATH and PREFIX/$state "offline", as the format has them.
    void PublishDeath(uint64_t bdseq);
    uint64_t NextSeq();
    std::string HostStateTopic() const;
    // False when Stop() came first.
    bool WaitBackoff(std::chrono::milliseconds delay);

    void HandleConnect(int rc, const mqtt5__property* properties);
    void HandleDisconnect();
    void HandleMessage(const mosquitto_message& message);
    void HandleNodeCommand(const sparkplug::Payload& payload);
    void HandleDeviceCommand(const std::string& device, const sparkplug::Payload& payload);
    void HandleHostState(const mosquitto_message& message);
    void HandleJsonSet(const JsonSet& set, const mosquitto_message& message);
    // Invokes the tag's "Write Data"; `via` names the command in log lines.
    void Write(const EdgeModel::WriteTarget& target, const kestrel::strata_sdk::Variant& value,
               const std::string& what, const std::string& via);

    std::string Topic(const char* type) const;
    std::string Topic(const char* type, const std::string& device) const;

    kestrel::strata_sdk::Broker& broker_;
    const MqttOptions options_;
    struct MosquittoDeleter {
        void operator()(mosquitto* m) const;
    };
    std::unique_ptr<mosquitto, MosquittoDeleter> client_;
    kestrel::strata_sdk::SubscriptionId subscription_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    EdgeModel model_;
    bool connected_ = false;
    bool node_birth_due_ = false;
    bool stopping_ = false;
    uint64_t bdseq_ = 0;
    bool live_ = false;
    bool hostOnline_ = false;
    uint64_t hostStateTs_ = 0;
    bool hostLeft_ = false;
    bool replayDue_ = false;
    std::chrono::steady_clock::time_point liveSince_;
    UnwrittenPublishes unwritten_;
    size_t maxPacketBytes_;
    bool mqtt5_ = true;
    std::chrono::steady_clock::time_point connectedAt_;
    bool mqtt311Only_ = false;  // network thread only: the broker refused MQTT 5

    std::unique_ptr<ChangeBuffer> buffer_;
    uint64_t seq_ = 0;  // publisher thread only

    std::thread network_;
    std::thread publisher_;
};

}  // namespace tbmqtt
