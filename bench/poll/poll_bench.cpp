// poll_bench: the link's device polling N DINT tags from a simulated Logix
// controller on loopback at the smallest interval (10 ms), with values
// published to the node tree of an in-process broker link.
//
// The controller runs in a child process so that getrusage of this process is
// the link's own CPU time. Prints, per N: tags per second, requests per second,
// requests per polling cycle, mean cycle time and the link's CPU seconds per
// million published values.
//
// A last run polls 1000 mixed tags: every elementary type, bits of a DINT (two per DINT, which
// share its read) and BOOL array elements, and prints its requests per cycle too. The last two
// poll 100 structures of ten members: read whole, then as their 1000 members added one by one
// (which share the read of their structure).
//
// Usage: poll_bench [seconds per run (default 5)] [N ...] (default 100 1000 5000)
// Every N runs twice: with the value history off and with 1000 points per tag.
// With TB_BENCH_EVENTS=1 in the environment, a subscriber (as an open console's event stream)
// receives every value event of the tree, so that their cost is in the figures too.

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "action/eip_action.h"
#include "bench/support/bench_link.h"
#include "bench/support/child_controller.h"
#include "device/eip_device.h"
#include "device/eip_manager.h"
#include "eip/eip_connection.h"
#include "node/eip_node.h"
#include "strata_sdk/sdk.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using Clock = std::chrono::steady_clock;

using namespace tb_bench;

// ---- measurements on the link side -------------------------------------------------------------

std::atomic<uint64_t> g_published{0};

// Counts the values of each reply, then publishes them as the node tree does.
EipTagValuesCallback Counted(EipTagValuesCallback publish) {
    return [publish](const std::string& alias, const std::vector<EipTagValue>& values) {
        g_published.fetch_add(values.size(), std::memory_order_relaxed);
        publish(alias, values);
    };
}

// Sums the cycle durations of the "EM Polling time = x.xxms" lines.
struct CycleLog {
    std::mutex mutex;
    double totalMs = 0;
    uint64_t cycles = 0;
    bool counting = false;

    void Line(const std::string& line) {
        static const std::string marker = ": EM Polling time = ";
        const size_t at = line.find(marker);
        if (at == std::string::npos) {
            return;
        }
        const double ms = std::atof(line.c_str() + at + marker.size());
        std::lock_guard<std::mutex> lock(mutex);
        if (counting) {
            totalMs += ms;
            ++cycles;
        }
    }
    void Start() {
        std::lock_guard<std::mutex> lock(mutex);
        counting = true;
        totalMs = 0;
        cycles = 0;
    }
};

// What the controller holds and the tag names the link polls.
struct Workload {
    std::string label;
    std::function<void(plcsim::LogixController&)> define;
    std::vector<std::string> names;
};

Workload DintWorkload(int count) {
    Workload w{"N=" + std::to_string(count),
               [count](plcsim::LogixController& controller) {
                   bench::DefineCountingDints(controller, count, 10);
               },
               {}};
    for (int i = 0; i < count; ++i) {
        w.names.push_back("D" + std::to_string(i));
    }
    return w;
}

// Groups of ten tags: LINT, USINT, UINT, UDINT, ULINT, LREAL, two bits of one DINT, two
// elements of a BOOL[64] in different words.
Workload MixedWorkload(int groups) {
    static const char* const kTypes[] = {"LINT", "USINT", "UINT", "UDINT", "ULINT", "LREAL"};
    Workload w{"mixed " + std::to_string(groups * 10),
               [groups](plcsim::LogixController& c) {
                   for (int g = 0; g < groups; ++g) {
                       const std::string n = std::to_string(g);
                       for (const char* type : kTypes) {
                           plcsim::LogixTagDefinition tag;
                           tag.name = std::string(type) + n;
                           tag.type = type;
                           c.DefineTag(tag);
                       }
                       plcsim::LogixTagDefinition bits;
                       bits.name = "S" + n;
                       bits.type = "DINT";
                       bits.animation.kind = plcsim::LogixAnimation::Kind::Counter;
                       bits.animation.periodMs = 10;
                       c.DefineTag(bits);
                       plcsim::LogixTagDefinition flags;
                       flags.name = "F" + n;
                       flags.type = "BOOL";
                       flags.dims = {64};
                       c.DefineTag(flags);
                   }
               },
               {}};
    for (int g = 0; g < groups; ++g) {
        const std::string n = std::to_string(g);
        for (const char* type : kTypes) {
            w.names.push_back(type + n);
        }
        for (const char* name : {"S#.3", "S#.9", "F#[5]", "F#[40]"}) {
            std::string tagName = name;
            tagName.replace(tagName.find('#'), 1, n);
            w.names.push_back(tagName);
        }
    }
    return w;
}

// 100 structures S0..S99 of a user type of ten members (DINT, REAL and INT, ...): polled whole
// (one object each) or as their 1000 members added one by one.
Workload StructureWorkload(int count, bool whole) {
    static const char* const kTypes[] = {"DINT", "REAL", "INT",  "DINT",  "REAL",
                                         "DINT", "SINT", "DINT", "LREAL", "DINT"};
    Workload w{
        whole ? "structures " + std::to_string(count) : "members " + std::to_string(count * 10),
        [count](plcsim::LogixController& c) {
            plcsim::LogixTypeDefinition type{"STATION", {}, 0};
            for (size_t m = 0; m < std::size(kTypes); ++m) {
                type.members.push_back({"M" + std::to_string(m), kTypes[m], 0});
            }
            std::string error;
            c.Tags().DefineType(type, error);
            for (int i = 0; i < count; ++i) {
                plcsim::LogixTagDefinition tag;
                tag.name = "S" + std::to_string(i);
                tag.type = "STATION";
                c.DefineTag(tag);
            }
        },
        {}};
    for (int i = 0; i < count; ++i) {
        for (size_t m = 0; m < (whole ? 1 : std::size(kTypes)); ++m) {
            w.names.push_back("S" + std::to_string(i) +
                              (whole ? std::string() : ".M" + std::to_string(m)));
        }
    }
    return w;
}

bool AddTags(EipDevice* device, const std::vector<std::string>& names) {
    std::string message;
    std::unique_ptr<EipConnection> test(
        EipConnection::MakeTestConnection(device->GetConnectionInfo(), message));
    for (size_t i = 0; i < names.size(); ++i) {
        std::string alias;
        const auto object =
            sdk::json::from_json_string("{\"Tag Alias\":\"T" + std::to_string(i) +
                                        "\",\"Tag Name\":\"" + names[i] + "\",\"RW Flag\":\"R\"}");
        if (device->AddTag(test.get(), object, 1, alias, message, false) != 0) {
            std::fprintf(stderr, "adding %s failed: %s\n", names[i].c_str(), message.c_str());
            return false;
        }
    }
    return true;
}

bool RunOnce(const Workload& workload, size_t historyPoints, double seconds, CycleLog& cycleLog) {
    bench::ControllerChild child =
        bench::StartControllerChild(workload.define, [](plcsim::LogixController& controller) {
            return bench::Counters{controller.Sim().Stats().connectedRequests, 0};
        });
    if (child.port == 0) {
        std::fprintf(stderr, "controller did not start\n");
        return false;
    }
    auto link = std::make_unique<bench::BenchLink>(
        child.port,
        [](EipDeviceCallbacks& callbacks) {
            callbacks.explicitTagValues = Counted(callbacks.explicitTagValues);
        },
        historyPoints);
    EipDevice* device = link->Device();
    std::optional<sdk::SubscriptionId> events;
    if (const char* wanted = std::getenv("TB_BENCH_EVENTS"); wanted && *wanted == '1') {
        events = link->Broker().subscribe(sdk::NodePath("/"), [](const sdk::TreeEvent&) {});
    }
    bool ok = device != nullptr && AddTags(device, workload.names);
    link->WaitIdle();
    std::string message;
    if (ok && device->StartExplicitPolling(10, message) == 0) {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // warm-up: every tag seen once
        const uint64_t published0 = g_published.load();
        const uint64_t requests0 = ControllerRequests(child);
        const double cpu0 = bench::CpuSeconds();
        cycleLog.Start();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = bench::CpuSeconds() - cpu0;
        const uint64_t published = g_published.load() - published0;
        const uint64_t requests = ControllerRequests(child) - requests0;
        double meanCycle = 0;
        uint64_t cycles = 0;
        {
            std::lock_guard<std::mutex> lock(cycleLog.mutex);
            cycles = cycleLog.cycles;
            meanCycle = cycles ? cycleLog.totalMs / double(cycles) : 0;
            cycleLog.counting = false;
        }
        std::printf(
            "%-10s history=%-4zu tags/s=%10.0f  requests/s=%8.0f  requests/cycle=%6.1f  "
            "cycles=%6llu  mean cycle=%8.2f ms  link CPU=%6.2f s per million values\n",
            workload.label.c_str(), historyPoints, double(published) / elapsed,
            double(requests) / elapsed, cycles ? double(requests) / double(cycles) : 0.0,
            static_cast<unsigned long long>(cycles), meanCycle,
            published ? cpu / (double(published) / 1e6) : 0.0);
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "%s: polling did not start (%s)\n", workload.label.c_str(),
                     message.c_str());
        ok = false;
    }
    if (events) {
        link->Broker().unsubscribe(*events);
    }
    link.reset();
    bench::StopControllerChild(child);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bench::RunArgs args = bench::ParseRunArgs(argc, argv, {100, 1000, 5000});
    // The link's own INFO lines (two per cycle) are composed as in production
    // and handed to a sink that reads the cycle times instead of a file.
    CycleLog cycleLog;
    sdk::set_debug_level(0);
    sdk::set_log_sink([&cycleLog](const std::string& line) { cycleLog.Line(line); });
    std::printf(
        "poll_bench: DINT tags polled at 10 ms from a controller on loopback, %.0f s per run%s\n",
        args.seconds, std::getenv("TB_BENCH_EVENTS") ? ", every value event subscribed" : "");
    bool ok = true;
    // Each N with the value history off, then on (the link's default).
    for (int count : args.counts) {
        for (size_t historyPoints : {size_t{0}, size_t{1000}}) {
            ok = RunOnce(DintWorkload(count), historyPoints, args.seconds, cycleLog) && ok;
        }
    }
    ok = RunOnce(MixedWorkload(100), 1000, args.seconds, cycleLog) && ok;
    for (bool whole : {true, false}) {
        ok = RunOnce(StructureWorkload(100, whole), 1000, args.seconds, cycleLog) && ok;
    }
    sdk::set_log_sink(nullptr);
    return ok ? 0 : 1;
}
