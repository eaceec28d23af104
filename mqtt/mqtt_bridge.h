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
//
// Threads:
//   - the broker's dispatch thread delivers tree events; they update `model_` under `mutex_`
//     and wake the publisher: polling never waits for MQTT.
//   - `network_` connects, runs libmosquitto's loop (reads, writes, keep-alive, the
//     callbacks on_connect / on_disconnect / on_message) and reconnects with backoff. It never
//     holds `mutex_` across a connect or a network exchange.
//   - `publisher_` waits on `wake_` for due work, takes the messages from `model_` under
//     `mutex_`, then encodes and hands them to libmosquitto with no lock held; it alone owns
//     the message sequence number.
// `mutex_` guards model_, connected_, node_birth_due_, bdseq_ and stopping_.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "mqtt/edge_model.h"
#include "mqtt/mqtt_options.h"
#include "strata_sdk/broker.h"

struct mosquitto;
struct mosquitto_message;

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

  private:
    void OnTreeEvent(const kestrel::strata_sdk::TreeEvent& event);
    void NetworkLoop();
    void PublisherLoop();
    void PublishDue(bool node_birth, std::vector<EdgeModel::Message> messages, uint64_t bdseq);
    bool Publish(const std::string& topic, const std::string& payload);
    void SetWill(uint64_t bdseq);
    // False when Stop() came first.
    bool WaitBackoff(std::chrono::milliseconds delay);

    void HandleConnect(int rc);
    void HandleDisconnect();
    void HandleMessage(const mosquitto_message& message);
    void HandleNodeCommand(const sparkplug::Payload& payload);
    void HandleDeviceCommand(const std::string& device, const sparkplug::Payload& payload);

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

    uint64_t seq_ = 0;  // publisher thread only

    std::thread network_;
    std::thread publisher_;
};

}  // namespace tbmqtt
