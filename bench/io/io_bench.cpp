// io_bench: the link listening to N I/O tags (8 bytes each, a DINT subtag besides "Data")
// produced by a simulated Logix controller on loopback at an RPI of 10 ms, with values published
// to the node tree of an in-process broker link.
//
// The controller runs in a child process so that getrusage of this process is the link's own
// CPU time. Prints, per N: datagrams per second the controller sent, datagrams per second the
// link received, analysed and answered (replies the controller matched), values published per
// second, and the link's CPU microseconds per datagram.
//
// Usage: io_bench [seconds per run (default 5)] [N ...] (default 1 10 100)

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_link.h"
#include "bench/support/controller_child.h"
#include "eip/eip_connection.h"
#include "support/free_port.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using Clock = std::chrono::steady_clock;

constexpr int kRpiMs = 10;

std::atomic<uint64_t> g_published{0};

// Counts each I/O value, then publishes it as the node tree does.
EipTagValueCallback Counted(EipTagValueCallback publish) {
    return
        [publish](const std::string& alias, const TagInfo& tag, const uint8_t* data, uint16_t len) {
            g_published.fetch_add(1, std::memory_order_relaxed);
            publish(alias, tag, data, len);
        };
}

bench::ControllerChild StartController(int tagCount) {
    return bench::StartControllerChild(
        [tagCount](plcsim::LogixController& controller) {
            bench::DefineCountingDints(controller, tagCount, kRpiMs);
        },
        [](plcsim::LogixController& controller) {
            bench::Counters totals{};
            for (const auto& view : controller.Sim().Io().Connections()) {
                totals[0] += view.datagramsSent;
                totals[1] += view.repliesGood;
            }
            return totals;
        });
}

bool AddIOTags(EipDevice* device, int count) {
    std::string message;
    for (int i = 0; i < count; ++i) {
        std::string alias;
        const auto object = sdk::json::from_json_string("{\"Tag Alias\":\"T" + std::to_string(i) +
                                                        "\",\"Tag Name\":\"D" + std::to_string(i) +
                                                        "\",\"DataLen\":8}");
        SubTagInfo value;
        value.alias = "v";
        value.innerType = kInnerTypeDint;
        value.dataLen = 4;
        if (device->AddTag(nullptr, object, 2, alias, message, false) != 0 ||
            device->AddSubTag(alias, value, true) != 0) {
            std::fprintf(stderr, "adding T%d failed: %s\n", i, message.c_str());
            return false;
        }
    }
    return true;
}

bool RunOnce(int tagCount, double seconds) {
    bench::ControllerChild child = StartController(tagCount);
    if (child.port == 0) {
        std::fprintf(stderr, "controller did not start\n");
        return false;
    }
    auto link = std::make_unique<bench::BenchLink>(child.port, [](EipDeviceCallbacks& callbacks) {
        callbacks.ioTagValue = Counted(callbacks.ioTagValue);
    });
    EipDevice* device = link->Device();
    bool ok = device != nullptr && AddIOTags(device, tagCount);
    link->WaitIdle();
    std::string message;
    if (ok &&
        device->StartIOPolling(kRpiMs, tb_test::UnusedPort(SOCK_DGRAM), message) == tagCount) {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // warm-up
        const uint64_t published0 = g_published.load();
        const bench::Counters counters0 = bench::ReadCounters(child);
        const double cpu0 = bench::CpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = bench::CpuSeconds() - cpu0;
        const uint64_t published = g_published.load() - published0;
        const bench::Counters counters = bench::ReadCounters(child);
        const double sent = double(counters[0] - counters0[0]);
        const double answered = double(counters[1] - counters0[1]);
        std::printf(
            "N=%-4d sent/s=%8.0f  answered/s=%8.0f  published/s=%8.0f  "
            "link CPU=%7.1f us per datagram (%.1f%% of a core)\n",
            tagCount, sent / elapsed, answered / elapsed, double(published) / elapsed,
            answered > 0 ? cpu * 1e6 / answered : 0.0, 100.0 * cpu / elapsed);
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "N=%d: listening did not start (%s)\n", tagCount, message.c_str());
        ok = false;
    }
    link.reset();
    bench::StopControllerChild(child);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bench::RunArgs args = bench::ParseRunArgs(argc, argv, {1, 10, 100});
    sdk::set_debug_level(-1);
    std::printf(
        "io_bench: I/O tags of 8 bytes produced at an RPI of %d ms on loopback, %.0f s "
        "per run\n",
        kRpiMs, args.seconds);
    bool ok = true;
    for (int count : args.counts) {
        ok = RunOnce(count, args.seconds) && ok;
    }
    return ok ? 0 : 1;
}
