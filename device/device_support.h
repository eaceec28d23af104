// Small helpers shared by the device's source files (not part of its interface).
#pragma once

#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "action/link_errors.h"

namespace device_detail {

constexpr int8_t kKindExplicit = 1;
constexpr int8_t kKindIO = 2;
// The reconnect period.
constexpr uint64_t kRetryPeriodMicros = 1000000;

inline uint64_t SteadyMicros() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

inline std::string errorText(int code) {
    return link_error::GetCategory().message(code);
}

inline bool HasBit(uint8_t flags, uint8_t bit) {
    return (flags & bit) != 0;
}

inline std::string hex(unsigned value, int width) {
    char text[16] = {};
    std::snprintf(text, sizeof text, "%0*X", width, value);
    return text;
}

// "2026/12/06 18:40:12.123456" of the wall clock.
inline std::string WallClockText() {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm local {};
    localtime_r(&tv.tv_sec, &local);
    char date[32] = {};
    strftime(date, sizeof date, "%Y/%m/%d %H:%M:%S", &local);
    char micros[16] = {};
    std::snprintf(micros, sizeof micros, ".%06ld", static_cast<long>(tv.tv_usec));
    return std::string(date) + micros;
}

// An eventfd that never blocks its reader or writer; -1 when the system has none left.
inline int MakeEventFd() {
    return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

inline void SignalEventFd(int fd) {
    if (fd >= 0) {
        const uint64_t one = 1;
        (void)!::write(fd, &one, sizeof one);
    }
}

inline void DrainEventFd(int fd) {
    uint64_t count = 0;
    if (fd >= 0) {
        (void)!::read(fd, &count, sizeof count);
    }
}

}  // namespace device_detail
