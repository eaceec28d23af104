// A simulated Logix controller in a child process, so that getrusage of the benchmark is the
// link's own CPU time. Its DINT tags D0 .. D(n-1) count up every 10 ms; the child reports the
// number of connected requests it served.
#pragma once

#include <cstdint>

#include "bench/support/controller_child.h"

namespace tb_bench {

using Child = bench::ControllerChild;

inline Child StartController(int tagCount) {
    return bench::StartControllerChild(
        [tagCount](plcsim::LogixController& controller) {
            bench::DefineCountingDints(controller, tagCount, 10);
        },
        [](plcsim::LogixController& controller) {
            return bench::Counters{controller.Sim().Stats().connectedRequests, 0};
        });
}

inline uint64_t ControllerRequests(const Child& child) {
    return bench::ReadCounters(child)[0];
}

inline void StopController(Child& child) {
    bench::StopControllerChild(child);
}

}  // namespace tb_bench
