// This process's own figures: CPU time, thread count and resident memory.
#pragma once

#include <sys/resource.h>

#include <fstream>
#include <string>

namespace tb_bench {

inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A "Name:  value" line of /proc/self/status as a number; 0 when absent.
inline long ProcStatus(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            return std::stol(line.substr(name.size() + 1));
        }
    }
    return 0;
}

inline long ThreadCount() {
    return ProcStatus("Threads");
}

inline double RssMegabytes() {
    return double(ProcStatus("VmRSS")) / 1024.0;
}

}  // namespace tb_bench
