// The I/O listening of a device: each I/O tag's class-1 connection on a session of its own,
// handed to the IoListener, which receives, answers and reopens them apart from polling.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/device_stats.h"
#include "device/device_types.h"

class DeviceSession;
class IoListener;
class IoSockets;
class TagTable;
class ValuePublisher;
struct IoValue;

// Threads and locks: SDK threads start and stop listening; the listener's receiving thread
// hands values over and its retry thread reopens connections through StartTag. The listener
// has its own threads and lock (io_listener.h); this class holds no lock of its own: the
// settings are atomics of PollingState, the tag records are copied under the tag table's lock.
class IoPolling {
  public:
    IoPolling(DeviceSession& session, TagTable& tags, ValuePublisher& publisher,
              DeviceCallbacks& callbacks, PollingState& state, DeviceStats& stats,
              const DeviceLife& life, std::shared_ptr<IoSockets> sockets);
    ~IoPolling();
    IoPolling(const IoPolling&) = delete;
    IoPolling& operator=(const IoPolling&) = delete;

    // Starts listening to every I/O tag; the number of tags started.
    int Start(int interval, uint16_t udpPort, std::string& message);
    int StartTag(const std::string& tagAlias, int interval, uint16_t udpPort, std::string& message);
    int Stop(std::string& message);
    void SetState(uint16_t ioParam1, uint16_t ioParam2, bool notify);
    // Ends listening without touching the settings (the device retires).
    void EndListening();

  private:
    void HandOver(const std::vector<IoValue>& values);

    DeviceSession& session_;
    TagTable& tags_;
    ValuePublisher& publisher_;
    DeviceCallbacks& callbacks_;
    PollingState& state_;
    DeviceStats& stats_;
    const DeviceLife& life_;
    std::unique_ptr<IoListener> listener_;
};
