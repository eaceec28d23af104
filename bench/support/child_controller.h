// A simulated Logix controller in a child process, so that getrusage of the benchmark is the
// link's own CPU time. Its DINT tags D0 .. D(n-1) count up every 10 ms.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "sim/logix_services.h"

namespace tb_bench {

// Parent -> child: 'r' asks for the number of connected requests served so far, 'q' ends it.
// Child -> parent: the bound port (uint16), then one uint64 per 'r'.

struct Child {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
    uint16_t port = 0;
};

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

[[noreturn]] inline void RunController(int tagCount, int commands, int replies) {
    plcsim::SimConfig config;
    config.port = 0;
    plcsim::LogixController controller(config);
    for (int i = 0; i < tagCount; ++i) {
        plcsim::LogixTagDefinition tag;
        tag.name = "D" + std::to_string(i);
        tag.type = "DINT";
        tag.value = i;
        tag.animation.kind = plcsim::LogixAnimation::Kind::Counter;
        tag.animation.periodMs = 10;
        controller.DefineTag(tag);
    }
    if (!controller.Sim().Start()) {
        _exit(2);
    }
    const uint16_t port = controller.Sim().Port();
    if (write(replies, &port, sizeof port) != sizeof port) {
        _exit(3);
    }
    char command = 0;
    while (read(commands, &command, 1) == 1 && command == 'r') {
        const uint64_t requests = controller.Sim().Stats().connectedRequests;
        if (write(replies, &requests, sizeof requests) != sizeof requests) {
            break;
        }
    }
    controller.Sim().Stop();
    _exit(0);
}

inline Child StartController(int tagCount) {
    int down[2];
    int up[2];
    Child child;
    if (pipe(down) != 0 || pipe(up) != 0) {
        return child;
    }
    child.pid = fork();
    if (child.pid == 0) {
        close(down[1]);
        close(up[0]);
        RunController(tagCount, down[0], up[1]);
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

inline uint64_t ControllerRequests(const Child& child) {
    uint64_t requests = 0;
    const char command = 'r';
    if (write(child.toChild, &command, 1) != 1 ||
        !ReadAll(child.fromChild, &requests, sizeof requests)) {
        return 0;
    }
    return requests;
}

inline void StopController(Child& child) {
    const char command = 'q';
    if (write(child.toChild, &command, 1) != 1) {
        kill(child.pid, SIGTERM);
    }
    close(child.toChild);
    close(child.fromChild);
    waitpid(child.pid, nullptr, 0);
}

}  // namespace tb_bench
