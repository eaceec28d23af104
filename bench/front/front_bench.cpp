// Event stream throughput of the HTTP front: many tags changing at a fixed interval,
// many SSE clients following them. The clients run in a child process so that the
// CPU figure is the link's own (broker, front and the value driver).
//
//   front_bench [--tags 1000] [--clients 50] [--interval-ms 100] [--seconds 10]
//               [--warmup 3] [--history-points 1000] [--serve]
//   (--serve: keep serving, print the console URL)
// Then the cost of the value history alone: the value path's CPU per million values with
// history off and on, and the heap that --tags tags x --history-points points hold.

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sdk/http_front.h"
#include "strata_sdk/sdk.h"

namespace sdk = kestrel::strata_sdk;
using Clock = std::chrono::steady_clock;

namespace {

struct Settings {
    int tags = 1000;
    int clients = 50;
    int interval_ms = 100;
    int seconds = 10;
    int warmup = 3;
    int history_points = 1000;
    bool serve = false;
};

Settings parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&](int& out) {
            if (i + 1 < argc)
                out = std::atoi(argv[++i]);
        };
        if (arg == "--tags")
            number(s.tags);
        else if (arg == "--clients")
            number(s.clients);
        else if (arg == "--interval-ms")
            number(s.interval_ms);
        else if (arg == "--seconds")
            number(s.seconds);
        else if (arg == "--warmup")
            number(s.warmup);
        else if (arg == "--history-points")
            number(s.history_points);
        else if (arg == "--serve")
            s.serve = true;
        else {
            std::fprintf(stderr, "front_bench: unknown option %s\n", arg.c_str());
            std::exit(1);
        }
    }
    return s;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string tag_name(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "Tag%04d", i);
    return name;
}

// Counts "event: value" across chunk boundaries.
class ValueCounter {
  public:
    void feed(const char* data, size_t length) {
        static const std::string marker = "event: value";
        carry_.append(data, length);
        size_t at = 0;
        while ((at = carry_.find(marker, at)) != std::string::npos) {
            count_.fetch_add(1, std::memory_order_relaxed);
            at += marker.size();
        }
        const size_t keep = std::min(carry_.size(), marker.size() - 1);
        carry_.erase(0, carry_.size() - keep);
    }
    uint64_t count() const { return count_.load(std::memory_order_relaxed); }

  private:
    std::string carry_;
    std::atomic<uint64_t> count_{0};
};

// --- child process: the SSE clients ---------------------------------------------

struct Report {
    uint64_t events;
    double at_seconds;
    int open_streams;
};

[[noreturn]] void run_clients(int port_fd, int report_fd, const Settings& s) {
    int port = 0;
    if (read(port_fd, &port, sizeof port) != sizeof port)
        _exit(2);
    std::vector<std::unique_ptr<ValueCounter>> counters;
    std::vector<std::unique_ptr<httplib::Client>> clients;
    std::vector<std::thread> threads;
    std::atomic<int> open{0};
    for (int i = 0; i < s.clients; ++i) {
        counters.push_back(std::make_unique<ValueCounter>());
        clients.push_back(std::make_unique<httplib::Client>("127.0.0.1", port));
        clients.back()->set_read_timeout(std::chrono::seconds(60));
    }
    for (int i = 0; i < s.clients; ++i) {
        threads.emplace_back([&, i] {
            ++open;
            clients[i]->Get("/api/events?path=%2Fbench", [&, i](const char* data, size_t length) {
                counters[i]->feed(data, length);
                return true;
            });
            --open;
        });
    }
    const auto start = Clock::now();
    auto send = [&](double at) {
        uint64_t total = 0;
        for (auto& c : counters)
            total += c->count();
        const Report r{total, at, open.load()};
        if (write(report_fd, &r, sizeof r) != sizeof r)
            _exit(3);
    };
    std::this_thread::sleep_until(start + std::chrono::seconds(s.warmup));
    send(std::chrono::duration<double>(Clock::now() - start).count());
    std::this_thread::sleep_until(start + std::chrono::seconds(s.warmup + s.seconds));
    send(std::chrono::duration<double>(Clock::now() - start).count());
    for (auto& c : clients)
        c->stop();
    for (auto& t : threads)
        t.join();
    _exit(0);
}

// --- parent process: the link ---------------------------------------------------

void build_tree(sdk::Link& link, int tags) {
    auto responder = link.responder();
    sdk::NodeBuilder plc("/");
    plc.make_node("bench", "node")
        .display_name("bench")
        .config("$$$isit", "plc")
        .config("$host", "127.0.0.1");
    responder->create_node(plc);
    sdk::NodeBuilder folder("/bench");
    folder.make_node("EM Tags", "node")
        .config("$$$isit", "emtags")
        .config("$Polling Interval", 100);
    responder->create_node(folder);
    sdk::NodeBuilder list("/bench/EM Tags");
    list.make_node("Read Tags List", "node");
    responder->create_node(list);
    sdk::NodeBuilder items("/bench/EM Tags/Read Tags List");
    for (int i = 0; i < tags; ++i) {
        items.make_node(tag_name(i), "node")
            .display_name(tag_name(i))
            .type(i % 2 ? sdk::ValueType::Int : sdk::ValueType::Number)
            .config("$status", "OK")
            .config("$$$isit", "tag")
            .value(0);
    }
    responder->create_node(items);
    link.broker().wait_idle();
}

std::vector<sdk::NodePath> tag_paths(int tags) {
    std::vector<sdk::NodePath> paths;
    for (int i = 0; i < tags; ++i)
        paths.emplace_back("/bench/EM Tags/Read Tags List/" + tag_name(i));
    return paths;
}

// One change of every tag: odd ones count, even ones swing.
void set_all(sdk::Responder& responder, const std::vector<sdk::NodePath>& paths, int64_t tick) {
    for (size_t i = 0; i < paths.size(); ++i) {
        if (i % 2)
            responder.set_value(paths[i], sdk::Variant(tick + static_cast<int64_t>(i)));
        else
            responder.set_value(paths[i], sdk::Variant(std::sin(tick * 0.1 + i) * 100.0));
    }
}

// Sets every tag once per interval until `stop`, counting the changes made.
void drive_values(sdk::Link& link, const Settings& s, const std::atomic<bool>& stop,
                  std::atomic<uint64_t>& changes) {
    auto responder = link.responder();
    const auto paths = tag_paths(s.tags);
    auto next = Clock::now();
    for (int64_t tick = 1; !stop; ++tick) {
        set_all(*responder, paths, tick);
        changes.fetch_add(static_cast<uint64_t>(s.tags), std::memory_order_relaxed);
        next += std::chrono::milliseconds(s.interval_ms);
        std::this_thread::sleep_until(next);
    }
}

sdk::LinkOptions link_options(size_t history_points) {
    sdk::LinkOptions options("Tagbridge");
    options.set_data_dir("").set_log_level(sdk::LogLevel::warn).set_history_points(history_points);
    return options;
}

struct HistoryCost {
    double cpu_per_million;  // seconds
    double heap_bytes;       // held by the link once every ring is full
};

// The value path alone, as fast as it goes: every tag set `rounds` times, no front.
HistoryCost value_path_cost(size_t history_points, int tags, int rounds) {
    const size_t heap_before = mallinfo2().uordblks;
    sdk::Link link(link_options(history_points), sdk::LinkType::Responder, "1.4.6");
    if (!link.non_blocking_run())
        std::exit(1);
    build_tree(link, tags);
    const auto paths = tag_paths(tags);
    auto responder = link.responder();
    // Rounds that fill every ring first: measured is the steady state a running link is in.
    for (int64_t tick = 1; tick <= rounds; ++tick)
        set_all(*responder, paths, tick);
    link.broker().wait_idle();
    const double cpu_before = cpu_seconds();
    for (int64_t tick = rounds + 1; tick <= 2 * rounds; ++tick)
        set_all(*responder, paths, tick);
    link.broker().wait_idle();
    const double cpu = cpu_seconds() - cpu_before;
    const double heap = static_cast<double>(mallinfo2().uordblks - heap_before);
    link.stop();
    link.join();
    return {cpu / (double(tags) * rounds / 1e6), heap};
}

// Off and on in turn, the best of three each: other work on the machine only ever adds.
void print_history_cost(const Settings& s) {
    const int rounds = std::max(s.history_points, 1000);  // every ring full
    HistoryCost off{1e9, 0};
    HistoryCost on{1e9, 0};
    for (int run = 0; run < 3; ++run) {
        const HistoryCost without = value_path_cost(0, s.tags, rounds);
        const HistoryCost with =
            value_path_cost(static_cast<size_t>(s.history_points), s.tags, rounds);
        off = {std::min(off.cpu_per_million, without.cpu_per_million), without.heap_bytes};
        on = {std::min(on.cpu_per_million, with.cpu_per_million), with.heap_bytes};
    }
    std::printf(
        "history: value path CPU per million values: off %.3f s, %d points %.3f s (%+.1f%%)\n",
        off.cpu_per_million, s.history_points, on.cpu_per_million,
        100.0 * (on.cpu_per_million / off.cpu_per_million - 1.0));
    std::printf(
        "history: memory of %d tags x %d points: %.1f MB (heap with history minus without)\n",
        s.tags, s.history_points, (on.heap_bytes - off.heap_bytes) / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    const Settings s = parse(argc, argv);
    int port_pipe[2];
    int report_pipe[2];
    if (pipe(port_pipe) != 0 || pipe(report_pipe) != 0)
        return 1;
    pid_t child = -1;
    if (!s.serve) {
        child = fork();
        if (child == 0)
            run_clients(port_pipe[0], report_pipe[1], s);
    }

    sdk::LinkOptions options = link_options(static_cast<size_t>(s.history_points));
    options.set_listen("127.0.0.1", 0);
    sdk::Link link(std::move(options), sdk::LinkType::Responder, "1.4.6");
    if (!link.non_blocking_run())
        return 1;
    build_tree(link, s.tags);
    sdk::HttpFrontOptions front_options;
    front_options.host = "127.0.0.1";
    front_options.port = 0;
    front_options.max_event_clients = static_cast<size_t>(std::max(s.clients, 1)) + 8;
    sdk::HttpFront front(link.broker(), front_options);
    std::string error;
    if (!front.start(error)) {
        std::fprintf(stderr, "front_bench: %s\n", error.c_str());
        return 1;
    }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> changes{0};
    std::thread driver([&] { drive_values(link, s, stop, changes); });
    if (s.serve) {
        std::printf("front_bench: console at %s/ (Ctrl-C to end)\n", front.url().c_str());
        std::fflush(stdout);
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }

    const int port = front.port();
    if (write(port_pipe[1], &port, sizeof port) != sizeof port)
        return 1;
    Report warm{}, end{};
    if (read(report_pipe[0], &warm, sizeof warm) != sizeof warm)
        return 1;
    const double cpu_warm = cpu_seconds();
    const auto wall_warm = Clock::now();
    const uint64_t changes_warm = changes.load();
    if (read(report_pipe[0], &end, sizeof end) != sizeof end)
        return 1;
    const double cpu_end = cpu_seconds();
    const double wall = std::chrono::duration<double>(Clock::now() - wall_warm).count();
    const double produced = (changes.load() - changes_warm) / wall;
    stop = true;
    driver.join();
    int status = 0;
    waitpid(child, &status, 0);
    front.stop();
    link.stop();
    link.join();

    const double seconds = end.at_seconds - warm.at_seconds;
    const double delivered = (end.events - warm.events) / seconds;
    std::printf("front_bench: %d tags every %d ms, %d SSE clients, %.1f s measured\n", s.tags,
                s.interval_ms, s.clients, seconds);
    std::printf("  value changes made: %.0f /s (%.0f asked for)\n", produced,
                s.tags * 1000.0 / s.interval_ms);
    std::printf(
        "  events delivered: %.0f /s in total, %.0f /s per client (%.1f%% of the changes)\n",
        delivered, delivered / s.clients, 100.0 * delivered / (produced * s.clients));
    std::printf("  streams still open at the end: %d of %d\n", end.open_streams, s.clients);
    std::printf(
        "  link CPU: %.1f%% of one core (%.2f s CPU in %.2f s), %.2f s per million values "
        "(history %d points)\n",
        100.0 * (cpu_end - cpu_warm) / wall, cpu_end - cpu_warm, wall,
        (cpu_end - cpu_warm) / (produced * wall / 1e6), s.history_points);
    print_history_cost(s);
    return 0;
}
