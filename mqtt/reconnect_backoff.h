#pragma once
// The wait before the next connection attempt to the broker: 0.5 s doubling to 30 s, back to
// 0.5 s only after a session that stayed up 30 s. A broker that takes the connection and drops
// it at once (a packet it refuses, a full session table) is then tried ever more slowly, not
// every 0.5 s.
//
// Threads: one owner (MqttBridge's network thread).

#include <algorithm>
#include <chrono>

namespace tbmqtt {

class ReconnectBackoff {
  public:
    static constexpr std::chrono::milliseconds kFirst{500};
    static constexpr std::chrono::milliseconds kMax{30000};
    static constexpr std::chrono::milliseconds kStableSession{30000};

    // The wait after a session that stayed up `uptime` (zero: the attempt did not connect).
    std::chrono::milliseconds Next(std::chrono::milliseconds uptime) {
        if (uptime >= kStableSession) {
            next_ = kFirst;
        }
        const std::chrono::milliseconds wait = next_;
        next_ = std::min(next_ * 2, kMax);
        return wait;
    }
    // A reconnect the link chose (not a failure) starts from the shortest wait.
    void Reset() { next_ = kFirst; }

  private:
    std::chrono::milliseconds next_ = kFirst;
};

}  // namespace tbmqtt
