#pragma once
// A simulated Logix controller in a child process, so that getrusage of the benchmark process is
// the link's own CPU time. The parent asks the child for two counters of its choice.
// Parent -> child: 'r' asks for the counters, 'q' ends it.
// Child -> parent: the bound port (uint16), then two uint64 per 'r'.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "sim/logix_services.h"

namespace bench {

using Counters = std::array<uint64_t, 2>;

struct ControllerChild {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
    uint16_t port = 0;
};

// DINT tags D0 .. D(n-1) holding their index and counting up every periodMs.
inline void DefineCountingDints(plcsim::LogixController& controller, int count, uint32_t periodMs) {
    for (int i = 0; i < count; ++i) {
        plcsim::LogixTagDefinition tag;
        tag.name = "D" + std::to_string(i);
        tag.type = "DINT";
        tag.value = i;
        tag.animation.kind = plcsim::LogixAnimation::Kind::Counter;
        tag.animation.periodMs = periodMs;
        controller.DefineTag(tag);
    }
}

// The command line of a benchmark: [seconds per run] [N ...].
struct RunArgs {
    double seconds = 5;
    std::vector<int> counts;
};

inline RunArgs ParseRunArgs(int argc, char** argv, std::vector<int> defaultCounts) {
    RunArgs args;
    if (argc > 1) {
        args.seconds = std::atof(argv[1]);
    }
    for (int i = 2; i < argc; ++i) {
        args.counts.push_back(std::atoi(argv[i]));
    }
    const bool countsOk =
        std::all_of(args.counts.begin(), args.counts.end(), [](int count) { return count > 0; });
    if (!(args.seconds > 0) || !countsOk) {
        std::fprintf(stderr, "usage: %s [SECONDS [COUNT...]]\n", argv[0]);
        std::exit(2);
    }
    if (args.counts.empty()) {
        args.counts = std::move(defaultCounts);
    }
    return args;
}

inline bool ReadAll(int fd, void* data, size_t size) {
    auto* bytes = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, bytes, size);
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

[[noreturn]] inline void RunControllerChild(
    const std::function<void(plcsim::LogixController&)>& define,
    const std::function<Counters(plcsim::LogixController&)>& counters, int commands, int replies) {
    plcsim::SimConfig config;
    config.port = 0;
    plcsim::LogixController controller(config);
    define(controller);
    if (!controller.Sim().Start()) {
        _exit(2);
    }
    const uint16_t port = controller.Sim().Port();
    if (write(replies, &port, sizeof port) != sizeof port) {
        _exit(3);
    }
    char command = 0;
    while (read(commands, &command, 1) == 1 && command == 'r') {
        const Counters values = counters(controller);
        if (write(replies, values.data(), sizeof values) != sizeof values) {
            break;
        }
    }
    controller.Sim().Stop();
    _exit(0);
}

// Forks the controller, defined by `define`; port 0 when it did not start.
inline ControllerChild StartControllerChild(
    const std::function<void(plcsim::LogixController&)>& define,
    const std::function<Counters(plcsim::LogixController&)>& counters) {
    int down[2];
    int up[2];
    ControllerChild child;
    if (pipe(down) != 0 || pipe(up) != 0) {
        return child;
    }
    child.pid = fork();
    if (child.pid == 0) {
        close(down[1]);
        close(up[0]);
        RunControllerChild(define, counters, down[0], up[1]);
    }
    close(down[0]);
    close(up[1]);
    child.toChild = down[1];
    child.fromChild = up[0];
    if (!ReadAll(child.fromChild, &child.port, sizeof child.port)) {
        child.port = 0;
    }
    return child;
}

inline Counters ReadCounters(const ControllerChild& child) {
    Counters values{};
    const char command = 'r';
    if (write(child.toChild, &command, 1) != 1 ||
        !ReadAll(child.fromChild, values.data(), sizeof values)) {
        return Counters{};
    }
    return values;
}

inline void StopControllerChild(ControllerChild& child) {
    const char command = 'q';
    if (write(child.toChild, &command, 1) != 1) {
        kill(child.pid, SIGTERM);
    }
    close(child.toChild);
    close(child.fromChild);
    waitpid(child.pid, nullptr, 0);
}

}  // namespace bench
