#pragma once
// For the MQTT tests: a mosquitto broker of the test's own on a free loopback port, a
// Sparkplug subscriber that records and decodes everything below spBv1.0/, and the end-to-end
// fixture wiring both to tagbridge edge nodes.

#include <gtest/gtest.h>
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "mqtt/sparkplug.h"
#include "strata_sdk/json.h"
#include "support/child_process.h"
#include "support/free_port.h"
#include "support/programs.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace tb_test {

// Debian's mosquitto with a configuration of the test's own: loopback only, no persistence,
// and `extra` lines.
class MosquittoBroker {
  public:
    explicit MosquittoBroker(const std::string& dir, int port = UnusedPort(SOCK_STREAM),
                             const std::string& extra = "")
        : port_(port), config_(dir + "/mosquitto-" + std::to_string(port) + ".conf") {
        std::ofstream(config_) << "listener " << port_ << " 127.0.0.1\n"
                               << extra << "allow_anonymous true\npersistence false\n"
                               << "log_dest stderr\nlog_type error\nlog_type warning\n"
                               << "log_type notice\nlog_type information\n";
        Start();
    }
    void Start() {
        process_ = std::make_unique<ChildProcess>("/usr/sbin/mosquitto",
                                                  std::vector<std::string>{"-c", config_});
        ready_ = process_->WaitForOutput("running", std::chrono::seconds(30));
    }
    void Kill() {
        process_->Signal(SIGKILL);
        process_->Wait();
    }
    // SIGSTOP: the broker stops reading, its connections stay open.
    void Signal(int sig) { process_->Signal(sig); }
    bool ready() const { return ready_; }
    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string Output() { return process_->Output(); }

  private:
    int port_;
    std::string config_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// One message below spBv1.0/: "spBv1.0/GROUP/TYPE/NODE[/DEVICE]" and its payload.
struct SparkplugMessage {
    std::string topic;
    std::string bytes;
    std::string type, node, device;
    std::optional<sparkplug::Payload> payload;  // nothing when it did not decode

    const sparkplug::Metric* Find(const std::string& name) const {
        if (payload) {
            for (const auto& m : payload->metrics) {
                if (m.name == name) {
                    return &m;
                }
            }
        }
        return nullptr;
    }
};

// Subscribes to `filter` (spBv1.0/#) and keeps every message, Sparkplug ones decoded with the
// link's own decoder.
class SparkplugSubscriber {
  public:
    explicit SparkplugSubscriber(int port, std::string filter = "spBv1.0/#")
        : filter_(std::move(filter)) {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client_,
                                       [](mosquitto*, void* self, const mosquitto_message* m) {
                                           static_cast<SparkplugSubscriber*>(self)->Add(*m);
                                       });
        mosquitto_connect_callback_set(client_, [](mosquitto* c, void* self, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(c, nullptr,
                                    static_cast<SparkplugSubscriber*>(self)->filter_.c_str(), 1);
            }
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<SparkplugSubscriber*>(self)->subscribed_ = true;
        });
        mosquitto_disconnect_callback_set(client_, [](mosquitto*, void* self, int) {
            static_cast<SparkplugSubscriber*>(self)->subscribed_ = false;
        });
        mosquitto_reconnect_delay_set(client_, 1, 2, false);
        mosquitto_connect(client_, "127.0.0.1", port, 30);
        mosquitto_loop_start(client_);
    }
    ~SparkplugSubscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }

    bool WaitSubscribed() {
        return WaitUntil([&] { return subscribed_.load(); });
    }
    std::vector<SparkplugMessage> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    using Predicate = std::function<bool(const SparkplugMessage&)>;
    std::vector<SparkplugMessage> Matching(const Predicate& f) {
        std::vector<SparkplugMessage> out = Messages();
        out.erase(std::remove_if(out.begin(), out.end(), std::not_fn(f)), out.end());
        return out;
    }
    // The index of the first message from `from` on that satisfies `f`.
    std::optional<size_t> WaitIndex(const Predicate& f, size_t from = 0,
                                    std::chrono::milliseconds limit = std::chrono::seconds(90)) {
        std::optional<size_t> found;
        WaitUntil(
            [&] {
                auto all = Messages();
                for (size_t i = from; i < all.size(); ++i) {
                    if (f(all[i])) {
                        found = i;
                        return true;
                    }
                }
                return false;
            },
            limit);
        return found;
    }
    std::optional<SparkplugMessage> WaitFor(const Predicate& f, size_t from = 0) {
        const auto index = WaitIndex(f, from);
        return index ? std::optional<SparkplugMessage>(Messages()[*index]) : std::nullopt;
    }
    // One line per message received (topic and metrics with values), for failure messages.
    std::string Summary() {
        std::string out;
        for (const auto& m : Messages()) {
            out += m.topic + ":";
            if (m.payload) {
                for (const auto& metric : m.payload->metrics) {
                    out += " " +
                           metric.name.value_or("#" + std::to_string(metric.alias.value_or(0))) +
                           "=" + kestrel::strata_sdk::json::to_json_string(metric.value);
                }
            }
            out += "\n";
        }
        return out;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }
    void Publish(const std::string& topic, const std::string& bytes, bool retain = false) {
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(bytes.size()),
                          bytes.data(), 1, retain);
    }

  private:
    void Add(const mosquitto_message& m) {
        SparkplugMessage message;
        message.topic = m.topic;
        std::istringstream levels(message.topic);
        std::string namespace_level, group;
        std::getline(levels, namespace_level, '/');
        std::getline(levels, group, '/');
        std::getline(levels, message.type, '/');
        std::getline(levels, message.node, '/');
        std::getline(levels, message.device, '/');
        message.bytes.assign(static_cast<const char*>(m.payload),
                             static_cast<size_t>(m.payloadlen));
        std::string error;
        message.payload = sparkplug::Decode(reinterpret_cast<const uint8_t*>(message.bytes.data()),
                                            message.bytes.size(), error);
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(message));
    }

    const std::string filter_;
    mosquitto* client_ = nullptr;
    std::atomic<bool> subscribed_{false};
    std::mutex mutex_;
    std::vector<SparkplugMessage> messages_;
};

// A DCMD / NCMD payload with one named metric.
inline std::string CommandPayload(const std::string& name, sparkplug::DataType type,
                                  kestrel::strata_sdk::Variant value) {
    sparkplug::Payload p;
    p.timestamp = 1;
    sparkplug::Metric m;
    m.name = name;
    m.datatype = type;
    m.value = std::move(value);
    p.metrics.push_back(std::move(m));
    return sparkplug::Encode(p);
}

// How often `what` occurs in `text` (lines of a program's output).
inline size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) {
        ++n;
    }
    return n;
}

// Messages of `type` from edge node `node`, and of `device` when one is given.
inline SparkplugSubscriber::Predicate Of(const std::string& type, const std::string& node,
                                         const std::string& device = "") {
    return [=](const SparkplugMessage& m) {
        return m.payload && m.type == type && m.node == node &&
               (device.empty() || m.device == device);
    };
}

// A broker of the test's own (with the lines of `brokerConfig_`), a subscriber to spBv1.0/#, and
// tagbridge links started as edge nodes of group "Plant", each on a data directory of its own.
class MqttEndToEndFixture : public ::testing::Test {
  protected:
    static constexpr const char* kGroup = "Plant";

    void SetUp() override {
        broker_ =
            std::make_unique<MosquittoBroker>(dir_.path(), UnusedPort(SOCK_STREAM), brokerConfig_);
        ASSERT_TRUE(broker_->ready()) << broker_->Output();
        sub_ = Subscribe();
    }

    std::unique_ptr<SparkplugSubscriber> Subscribe(const std::string& filter = "spBv1.0/#") {
        auto sub = std::make_unique<SparkplugSubscriber>(broker_->port(), filter);
        EXPECT_TRUE(sub->WaitSubscribed());
        return sub;
    }

    std::unique_ptr<Tagbridge> StartLink(const std::string& node,
                                         std::vector<std::string> extra = {}) {
        extra.insert(extra.end(),
                     {"--mqtt-url", broker_->url(), "--mqtt-group", kGroup, "--mqtt-node", node});
        auto link = std::make_unique<Tagbridge>(dir_.file(node), extra);
        EXPECT_TRUE(link->ready()) << link->Output() << sub_->Summary();
        return link;
    }

    TempDir dir_;
    std::string brokerConfig_;
    std::unique_ptr<MosquittoBroker> broker_;
    std::unique_ptr<SparkplugSubscriber> sub_;
};

}  // namespace tb_test
