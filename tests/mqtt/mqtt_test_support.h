#pragma once
// For the MQTT tests: a mosquitto broker of the test's own on a free loopback port, a
// Sparkplug subscriber that records and decodes everything below spBv1.0/, and the
// tagbridge and plcsim programs driven over HTTP.

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "front/front_test_support.h"
#include "mqtt/sparkplug.h"
#include "strata_sdk/json.h"
#include "support/child_process.h"
#include "support/wait_until.h"

namespace tb_test {

// A port nobody listens on right now (bound to port 0 once, then released).
inline int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

// The first group of `pattern` once the program has printed a match.
inline std::optional<std::string> WaitForMatch(ChildProcess& process, const std::string& pattern) {
    const std::regex re(pattern);
    std::smatch match;
    std::string text;
    const bool found = WaitUntil(
        [&] {
            text = process.Output();
            return std::regex_search(text, match, re);
        },
        std::chrono::seconds(60));
    return found ? std::optional<std::string>(match[1].str()) : std::nullopt;
}

// Debian's mosquitto with a configuration of the test's own: loopback only, no persistence.
class MosquittoBroker {
  public:
    explicit MosquittoBroker(const std::string& dir, int port = FreeLoopbackPort())
        : port_(port), config_(dir + "/mosquitto-" + std::to_string(port) + ".conf") {
        std::ofstream(config_) << "listener " << port_ << " 127.0.0.1\n"
                               << "allow_anonymous true\npersistence false\n"
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

struct SparkplugMessage {
    std::string topic;
    std::string bytes;
    std::optional<sparkplug::Payload> payload;  // nothing when it did not decode

    // "spBv1.0/G/TYPE/NODE[/DEVICE]" split at '/'.
    std::vector<std::string> Levels() const {
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t slash; (slash = topic.find('/', start)) != std::string::npos;
             start = slash + 1) {
            out.push_back(topic.substr(start, slash - start));
        }
        out.push_back(topic.substr(start));
        return out;
    }
    std::string Type() const { return Levels().size() > 2 ? Levels()[2] : ""; }
    std::string Node() const { return Levels().size() > 3 ? Levels()[3] : ""; }
    std::string Device() const { return Levels().size() > 4 ? Levels()[4] : ""; }
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

// Subscribes to spBv1.0/# and keeps every message, decoded with the link's own decoder.
class SparkplugSubscriber {
  public:
    explicit SparkplugSubscriber(int port) {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client_,
                                       [](mosquitto*, void* self, const mosquitto_message* m) {
                                           static_cast<SparkplugSubscriber*>(self)->Add(*m);
                                       });
        mosquitto_connect_callback_set(client_, [](mosquitto* c, void*, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(c, nullptr, "spBv1.0/#", 1);
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
    std::vector<SparkplugMessage> Matching(const std::function<bool(const SparkplugMessage&)>& f) {
        std::vector<SparkplugMessage> out;
        for (auto& m : Messages()) {
            if (f(m)) {
                out.push_back(std::move(m));
            }
        }
        return out;
    }
    using Predicate = std::function<bool(const SparkplugMessage&)>;
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
    void Publish(const std::string& topic, const std::string& bytes) {
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(bytes.size()),
                          bytes.data(), 1, false);
    }

  private:
    void Add(const mosquitto_message& m) {
        SparkplugMessage message;
        message.topic = m.topic;
        message.bytes.assign(static_cast<const char*>(m.payload),
                             static_cast<size_t>(m.payloadlen));
        std::string error;
        message.payload = sparkplug::Decode(reinterpret_cast<const uint8_t*>(message.bytes.data()),
                                            message.bytes.size(), error);
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(message));
    }

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

// "Add Tags" rows of tags whose alias is their name.
inline nlohmann::json TagRows(const std::vector<std::string>& names) {
    nlohmann::json rows = nlohmann::json::array();
    for (const auto& n : names) {
        rows.push_back({{"Tag Alias", n}, {"Tag Name", n}});
    }
    return rows;
}

// One tagbridge process and its HTTP API.
class Tagbridge {
  public:
    Tagbridge(const std::string& data_dir, std::vector<std::string> extra) {
        std::vector<std::string> args{"--listen", "127.0.0.1:0", "--data-dir", data_dir};
        args.insert(args.end(), extra.begin(), extra.end());
        process_ = std::make_unique<ChildProcess>(TB_TAGBRIDGE_BIN, args);
        const auto port =
            WaitForMatch(*process_, R"(HTTP front listening on http://127\.0\.0\.1:([0-9]+))");
        http_port_ = port ? std::stoi(*port) : 0;
    }
    bool ready() const { return http_port_ != 0; }
    ChildProcess& process() { return *process_; }
    std::string Output() { return process_->Output(); }

    nlohmann::json Invoke(const std::string& path, const nlohmann::json& params) {
        httplib::Client c("127.0.0.1", http_port_);
        c.set_read_timeout(std::chrono::seconds(90));
        auto result = c.Post(("/api/invoke?path=" + url_encode(path)).c_str(), params.dump(),
                             "application/json");
        return result ? nlohmann::json::parse(result->body, nullptr, false)
                      : nlohmann::json{{"error", "no answer"}};
    }
    std::optional<nlohmann::json> Node(const std::string& path) {
        httplib::Client c("127.0.0.1", http_port_);
        auto result = c.Get(("/api/node?path=" + url_encode(path)).c_str());
        if (!result || result->status != 200) {
            return std::nullopt;
        }
        return nlohmann::json::parse(result->body);
    }
    // Adds a Logix PLC on plcsim's port with the tags ("Add Tags" rows) and polls them.
    bool AddPolledPlc(const std::string& alias, int sim_port, const nlohmann::json& tags,
                      int interval_ms) {
        const nlohmann::json added = Invoke("/addplc", {{"Alias", alias},
                                                        {"Host", "127.0.0.1"},
                                                        {"Port", sim_port},
                                                        {"Slot", 0},
                                                        {"Protocol Family", "CIP/EIP"}});
        const std::string em = "/" + alias + "/EM Tags";
        if (added["rows"] != nlohmann::json::parse(R"([[true, "success!"]])") ||
            !WaitUntil([&] { return Node(em + "/Add Tags").has_value(); })) {
            return false;
        }
        const nlohmann::json rows = Invoke(em + "/Add Tags", {{"Tags(json)", tags.dump()}})["rows"];
        if (rows.size() != tags.size()) {
            return false;
        }
        const nlohmann::json started =
            Invoke(em + "/Start Polling", {{"Interval(ms)", interval_ms}});
        return started["rows"] == nlohmann::json::parse(R"([[true, "success!"]])");
    }

  private:
    std::unique_ptr<ChildProcess> process_;
    int http_port_ = 0;
};

// plcsim on an ephemeral port with the given arguments.
class PlcSim {
  public:
    explicit PlcSim(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", "0"});
        process_ = std::make_unique<ChildProcess>(TB_PLCSIM_BIN, args);
        const auto port = WaitForMatch(*process_, R"(listening on [0-9.]+:([0-9]+))");
        port_ = port ? std::stoi(*port) : 0;
    }
    int port() const { return port_; }
    ChildProcess& process() { return *process_; }

  private:
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// A fresh directory under /tmp, removed with the object.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/tagbridge-mqtt-XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace tb_test
