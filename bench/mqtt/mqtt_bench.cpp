// mqtt_bench: values from a simulated Logix controller through tagbridge (a child process)
// and Debian's mosquitto to a Sparkplug subscriber in this process.
//
// The controller runs in this process with N DINT counters changing every 10 ms and a probe
// tag that the bench sets itself; tagbridge polls them every 10 ms. Prints:
//   - values per second reaching the subscriber (metrics in DDATA messages);
//   - latency from setting the probe in the controller to its DDATA at the subscriber
//     (median and 99th percentile; includes up to one polling interval);
//   - tagbridge's CPU (from /proc, robust on a loaded machine) per second and per value,
//     without and with MQTT, on the same workload;
//   - store and forward: the same workload with the broker away, the link's CPU per million
//     buffered changes (all of it, and beyond the run without MQTT), the disk bytes per
//     change, and the rate at which the buffer is replayed once the broker is back.
//
// Usage: mqtt_bench [seconds per run (default 5)] [N (default 200)]

#include <mosquitto.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "mqtt/mqtt_test_support.h"
#include "mqtt/sparkplug.h"
#include "sim/logix_services.h"
#include "support/programs.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kProbe = "EM Tags/Probe";
constexpr int kIntervalMs = 10;
constexpr auto kProbeEvery = std::chrono::milliseconds(20);

// utime + stime of a process, in seconds.
double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::atof(field.c_str());
        }
    }
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// Counts DDATA values and times the probe's changes.
class Subscriber {
  public:
    explicit Subscriber(int port) {
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client_,
                                       [](mosquitto*, void* self, const mosquitto_message* m) {
                                           static_cast<Subscriber*>(self)->OnMessage(*m);
                                       });
        mosquitto_connect(client_, "127.0.0.1", port, 30);
        mosquitto_subscribe(client_, nullptr, "spBv1.0/#", 0);
        mosquitto_loop_start(client_);
    }
    ~Subscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    void Sent(int64_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_[value] = Clock::now();
    }
    uint64_t Values() {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }
    bool Born() {
        std::lock_guard<std::mutex> lock(mutex_);
        return probe_alias_ != 0;
    }
    std::vector<double> TakeLatencies() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(latencies_ms_);
    }
    uint64_t Historical() {
        std::lock_guard<std::mutex> lock(mutex_);
        return historical_;
    }
    // Historical values per second from the first to the last one received.
    double ReplayRate() {
        std::lock_guard<std::mutex> lock(mutex_);
        const double seconds =
            std::chrono::duration<double>(last_historical_ - first_historical_).count();
        return seconds > 0 ? double(historical_) / seconds : 0;
    }

  private:
    void OnMessage(const mosquitto_message& m) {
        std::string error;
        const auto payload = sparkplug::Decode(static_cast<const uint8_t*>(m.payload),
                                               static_cast<size_t>(m.payloadlen), error);
        if (!payload) {
            return;
        }
        const auto now = Clock::now();
        const std::string topic = m.topic;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& metric : payload->metrics) {
            if (topic.find("/DBIRTH/") != std::string::npos && metric.name == std::string(kProbe)) {
                probe_alias_ = metric.alias.value_or(0);
            }
            if (topic.find("/DDATA/") == std::string::npos) {
                continue;
            }
            ++values_;
            if (metric.historical) {
                if (historical_++ == 0) {
                    first_historical_ = now;
                }
                last_historical_ = now;
            }
            if (metric.alias == probe_alias_ && metric.value.is_int()) {
                auto sent = sent_.find(metric.value.as_int());
                if (sent != sent_.end()) {
                    latencies_ms_.push_back(
                        std::chrono::duration<double, std::milli>(now - sent->second).count());
                    sent_.erase(sent);
                }
            }
        }
    }

    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    uint64_t values_ = 0;
    uint64_t probe_alias_ = 0;
    uint64_t historical_ = 0;
    Clock::time_point first_historical_;
    Clock::time_point last_historical_;
    std::map<int64_t, Clock::time_point> sent_;
    std::vector<double> latencies_ms_;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * double(v.size())))];
}

struct RunResult {
    double cpu_per_second = 0;
    double values_per_second = 0;
    std::vector<double> latencies;
};

nlohmann::json CounterRows(int tags) {
    nlohmann::json rows = nlohmann::json::array();
    for (int i = 0; i < tags; ++i) {
        rows.push_back({{"Tag Alias", "T" + std::to_string(i)},
                        {"Tag Name", "D" + std::to_string(i)},
                        {"RW Flag", "R_"}});
    }
    rows.push_back({{"Tag Alias", "Probe"}, {"Tag Name", "Probe"}, {"RW Flag", "R_"}});
    return rows;
}

uint64_t FileBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    return in ? uint64_t(in.tellg()) : 0;
}

// Rows in the link's buffer file, read beside the link (WAL lets readers in).
uint64_t BufferedRows(const std::string& file) {
    sqlite3* db = nullptr;
    uint64_t rows = 0;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM changes", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            rows = uint64_t(sqlite3_column_int64(s, 0));
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return rows;
}

struct BufferResult {
    double cpu_seconds = 0;
    uint64_t changes = 0;  // buffered while the CPU was measured
    uint64_t disk_bytes = 0;
    uint64_t replayed = 0;
    double replay_per_second = 0;
};

// The broker away for `seconds` while the link buffers, then back: the buffer replayed.
bool RunStoreForward(const std::string& dir, tb_test::MosquittoBroker& broker,
                     plcsim::LogixController& controller, int tags, double seconds,
                     BufferResult& out) {
    broker.Kill();
    const std::string data = dir + "/buffering";
    tb_test::Tagbridge link(
        data, {"--debug", "-1", "--mqtt-url", broker.url(), "--mqtt-node", "buffering"});
    if (!link.ready() ||
        !link.AddPolledPlc("PLC1", controller.Sim().Port(), CounterRows(tags), kIntervalMs)) {
        std::fprintf(stderr, "set-up failed:\n%s\n", link.Output().c_str());
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // warm-up
    const pid_t pid = link.process().pid();
    const std::string file = data + "/mqtt-buffer.db";
    const uint64_t rows0 = BufferedRows(file);
    const double cpu0 = ProcessCpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    out.cpu_seconds = ProcessCpuSeconds(pid) - cpu0;
    const uint64_t rows = BufferedRows(file);
    out.changes = rows - rows0;
    out.disk_bytes = FileBytes(file) + FileBytes(file + "-wal");
    const double bytes_per_row = rows > 0 ? double(out.disk_bytes) / double(rows) : 0;
    broker.Start();
    Subscriber sub(broker.port());
    // The link finds the broker again within its backoff; the replay is over once the count
    // of historical values stays put.
    uint64_t last = 0;
    tb_test::WaitUntil(
        [&] {
            const uint64_t now = sub.Historical();
            const bool settled = now > 0 && now == last;
            last = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            return settled;
        },
        std::chrono::seconds(120));
    out.replayed = sub.Historical();
    out.replay_per_second = sub.ReplayRate();
    out.disk_bytes = uint64_t(bytes_per_row * double(out.changes));
    return out.changes > 0 && out.replayed > 0;
}

bool Run(bool with_mqtt, const std::string& dir, tb_test::MosquittoBroker& broker,
         plcsim::LogixController& controller, int tags, double seconds, RunResult& out) {
    std::vector<std::string> args{"--debug", "-1"};
    if (with_mqtt) {
        args.insert(args.end(), {"--mqtt-url", broker.url(), "--mqtt-node", "bench"});
    }
    tb_test::Tagbridge link(dir + (with_mqtt ? "/with" : "/without"), args);
    std::unique_ptr<Subscriber> sub =
        with_mqtt ? std::make_unique<Subscriber>(broker.port()) : nullptr;
    if (!link.ready() ||
        !link.AddPolledPlc("PLC1", controller.Sim().Port(), CounterRows(tags), kIntervalMs) ||
        (sub && !tb_test::WaitUntil([&] { return sub->Born(); }))) {
        std::fprintf(stderr, "set-up failed:\n%s\n", link.Output().c_str());
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // warm-up
    const pid_t pid = link.process().pid();
    const double cpu0 = ProcessCpuSeconds(pid);
    const uint64_t values0 = sub ? sub->Values() : 0;
    if (sub) {
        sub->TakeLatencies();
    }
    const auto start = Clock::now();
    int64_t probe = 1000000;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        ++probe;
        if (sub) {
            sub->Sent(probe);
        }
        controller.Tags().SetInt("Probe", probe);
        std::this_thread::sleep_for(kProbeEvery);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    out.cpu_per_second = (ProcessCpuSeconds(pid) - cpu0) / elapsed;
    if (sub) {
        out.values_per_second = double(sub->Values() - values0) / elapsed;
        out.latencies = sub->TakeLatencies();
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5;
    const int tags = argc > 2 ? std::atoi(argv[2]) : 200;
    mosquitto_lib_init();
    tb_test::TempDir dir;
    tb_test::MosquittoBroker broker(dir.path());
    if (!broker.ready()) {
        std::fprintf(stderr, "mosquitto did not start:\n%s\n", broker.Output().c_str());
        return 1;
    }
    plcsim::SimConfig config;
    config.port = 0;
    plcsim::LogixController controller(config);
    for (int i = 0; i < tags; ++i) {
        plcsim::LogixTagDefinition tag;
        tag.name = "D" + std::to_string(i);
        tag.type = "DINT";
        tag.value = i;
        tag.animation.kind = plcsim::LogixAnimation::Kind::Counter;
        tag.animation.periodMs = kIntervalMs;
        controller.DefineTag(tag);
    }
    plcsim::LogixTagDefinition probe;
    probe.name = "Probe";
    probe.type = "DINT";
    probe.value = 0;
    controller.DefineTag(probe);
    if (!controller.Sim().Start()) {
        std::fprintf(stderr, "controller did not start\n");
        return 1;
    }
    std::printf(
        "mqtt_bench: %d DINT counters (10 ms) + a probe, polled every %d ms, %.0f s per run\n",
        tags, kIntervalMs, seconds);
    RunResult without;
    RunResult with;
    BufferResult buffered;
    const bool ok = Run(false, dir.path(), broker, controller, tags, seconds, without) &&
                    Run(true, dir.path(), broker, controller, tags, seconds, with) &&
                    RunStoreForward(dir.path(), broker, controller, tags, seconds, buffered);
    controller.Sim().Stop();
    if (!ok) {
        return 1;
    }
    const double per_value = with.values_per_second > 0 ? 1e6 / with.values_per_second : 0;
    std::printf("values/s at the subscriber:        %10.0f\n", with.values_per_second);
    std::printf("PLC change -> MQTT latency:        median %.2f ms, p99 %.2f ms (%zu samples)\n",
                Percentile(with.latencies, 0.5), Percentile(with.latencies, 0.99),
                with.latencies.size());
    std::printf("link CPU without MQTT:             %6.3f s/s, %6.2f us per value\n",
                without.cpu_per_second, without.cpu_per_second * per_value);
    std::printf("link CPU with MQTT:                %6.3f s/s, %6.2f us per value\n",
                with.cpu_per_second, with.cpu_per_second * per_value);
    std::printf(
        "(per value: CPU seconds over the values per second published, the same "
        "workload in both runs)\n");
    const double millions = double(buffered.changes) / 1e6;
    std::printf("store and forward, broker away: %llu changes buffered in %.0f s, %llu replayed\n",
                static_cast<unsigned long long>(buffered.changes), seconds,
                static_cast<unsigned long long>(buffered.replayed));
    std::printf(
        "link CPU per million buffered:     %6.2f s (%6.2f s beyond the run without MQTT)\n",
        buffered.cpu_seconds / millions,
        (buffered.cpu_seconds - without.cpu_per_second * seconds) / millions);
    std::printf("disk bytes per buffered change:    %6.1f\n",
                double(buffered.disk_bytes) / double(buffered.changes));
    std::printf("replay rate:                       %10.0f changes/s\n",
                buffered.replay_per_second);
    return 0;
}
