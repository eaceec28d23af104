// fleet_bench: K PLCs connected to simulated Logix controllers on loopback, first idle (polling
// stopped), then each polling 10 DINT tags every 1000 ms. Values are counted, not published to
// a node tree, so the figures are the device engine's own.
//
// The controllers run in child processes (one per 100 PLCs), so getrusage of this process is
// the engine's CPU time. Prints, per K and phase: the CPU share of one core, the thread count,
// the resident memory and (polling) the values received per second.
//
// Usage: fleet_bench [seconds per phase (default 10)] [K ...] (default 10 100 1000)

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/child_controller.h"
#include "bench/support/self_usage.h"
#include "device/eip_device.h"
#include "device/eip_manager.h"
#include "eip/eip_connection.h"
#include "strata_sdk/json.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using namespace tb_bench;
using Clock = std::chrono::steady_clock;

constexpr int kPlcsPerController = 100;
constexpr int kTagsPerPlc = 10;
constexpr int kIntervalMs = 1000;

std::atomic<uint64_t> g_values{0};

// Each PLC holds a socket and two event descriptors, and adding tags opens a test connection.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool AddTags(EipDevice& device) {
    std::string message;
    std::unique_ptr<EipConnection> test(
        EipConnection::MakeTestConnection(device.GetConnectionInfo(), message));
    for (int i = 0; i < kTagsPerPlc; ++i) {
        std::string alias;
        const auto object = sdk::json::from_json_string("{\"Tag Alias\":\"T" + std::to_string(i) +
                                                        "\",\"Tag Name\":\"D" + std::to_string(i) +
                                                        "\",\"RW Flag\":\"R\"}");
        if (device.AddTag(test.get(), object, 1, alias, message, false) != 0) {
            std::fprintf(stderr, "adding T%d failed: %s\n", i, message.c_str());
            return false;
        }
    }
    return true;
}

// Connects K PLCs spread over the controllers, each with its ten tags.
bool AddFleet(EipManager& manager, const std::vector<Child>& controllers, int count) {
    EipDeviceCallbacks callbacks;
    callbacks.explicitTagValues = [](const std::string&, const std::vector<EipTagValue>& values) {
        g_values.fetch_add(values.size(), std::memory_order_relaxed);
    };
    for (int i = 0; i < count; ++i) {
        ConnectInfo info;
        info.alias = "PLC" + std::to_string(i);
        info.host = "127.0.0.1";
        info.port = controllers[size_t(i / kPlcsPerController)].port;
        EipDeviceHandle device;
        if (manager.AddPLC(info, false) != 0 || !(device = manager.GetPLC(info.alias)) ||
            !AddTags(*device)) {
            std::fprintf(stderr, "%s could not be set up\n", info.alias.c_str());
            return false;
        }
        device->SetCallbacks(callbacks);
    }
    return true;
}

bool StartPolling(EipManager& manager) {
    for (const std::string& alias : manager.GetAliases()) {
        std::string message;
        if (manager.GetPLC(alias)->StartExplicitPolling(kIntervalMs, message) != 0) {
            std::fprintf(stderr, "%s: polling did not start (%s)\n", alias.c_str(),
                         message.c_str());
            return false;
        }
    }
    return true;
}

void Measure(int count, const char* phase, double seconds) {
    const uint64_t values0 = g_values.load();
    const double cpu0 = CpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu0;
    std::printf("K=%-5d %-8s CPU=%7.2f %% of a core  threads=%5ld  RSS=%7.1f MB  values/s=%8.0f\n",
                count, phase, 100.0 * cpu / elapsed, ThreadCount(), RssMegabytes(),
                double(g_values.load() - values0) / elapsed);
    std::fflush(stdout);
}

bool RunFleet(int count, double seconds) {
    std::vector<Child> controllers;
    for (int i = 0; i < (count + kPlcsPerController - 1) / kPlcsPerController; ++i) {
        controllers.push_back(StartController(kTagsPerPlc));
        if (controllers.back().port == 0) {
            std::fprintf(stderr, "controller did not start\n");
            return false;
        }
    }
    bool ok = false;
    {
        EipManager manager;
        if (AddFleet(manager, controllers, count)) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            Measure(count, "idle", seconds);
            ok = StartPolling(manager);
            if (ok) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2 * kIntervalMs));
                Measure(count, "polling", seconds);
            }
        }
    }
    for (Child& controller : controllers) {
        StopController(controller);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    RaiseDescriptorLimit();
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    std::vector<int> counts;
    for (int i = 2; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts = {10, 100, 1000};
    }
    std::printf("fleet_bench: %d DINT tags per PLC at %d ms, %.0f s per phase\n", kTagsPerPlc,
                kIntervalMs, seconds);
    bool ok = true;
    for (int count : counts) {
        ok = RunFleet(count, seconds) && ok;
    }
    return ok ? 0 : 1;
}
