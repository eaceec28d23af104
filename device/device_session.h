// The session of a device: its explicit-message connection, the connect sequence, the connection
// and UCMM states, and the reconnect worker that brings a lost session back.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/eip_utils.h"
#include "device/device_stats.h"
#include "device/device_types.h"
#include "device/worker_thread.h"

class EipConnection;
class ProtocolHandler;

// Threads and locks:
// - SDK threads (actions, the restore) connect, disconnect and read the views; the reconnect
//   worker connects once a second until a session is up, sleeping in between; the socket thread
//   reads the connection and the states and tears a lost session down.
// - mutex_ guards connection_, handler_, alias_, connectInfo_ and productInfo_; it is held only
//   to copy or swap them, never across an exchange or a callback, and no other lock is taken
//   under it (it comes last in every lock order). A connect runs on a private connection object
//   installed when the sequence is over.
// - stopFd_ turns readable once the device retires: every socket wait of its connects ends.
// - Flags and states are atomics.
class DeviceSession {
  public:
    struct Hooks {
        std::function<void()> fresh;        // a session came up: the next cycle starts anew
        std::function<void()> established;  // its READY states were shown
    };

    DeviceSession(DeviceCallbacks& callbacks, DeviceStats& stats, const DeviceLife& life);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    void SetHooks(Hooks hooks);
    void SetConnectionInfo(const ConnectInfo& info);
    std::string Alias() const;
    ConnectInfo ConnectionInfo() const;
    ProductInfo GetProductInfo() const;
    std::shared_ptr<EipConnection> Connection() const;
    // The descriptor that ends the socket waits of a connect once the device retires.
    int StopFd() const { return stopFd_; }
    void SignalStop();
    void DrainStop();

    int Connect(const ConnectInfo& info, bool restore);
    int Disconnect();
    // Drops the connection objects without a word to the PLC.
    void Drop();
    bool IsUp();
    bool SocketOpen();

    void ChangeExplicitConnectionState(uint8_t state, bool notify);
    void ChangeUCMMState(uint8_t state, bool notify);
    void NotifyStates(uint8_t em, uint8_t ucmm);
    uint8_t ExplicitConnectionState() const { return explicitConnectionState_.load(); }
    uint8_t UCMMState() const { return ucmmState_.load(); }
    bool ExplicitEnabled() const { return explicitEnabled_.load(); }
    bool ExplicitOpen() const { return explicitConnectionOpen_.load(); }
    bool NeverConnected() const { return neverConnected_.load(); }
    // RPI of the class-3 connection, in ms; the controller drops it after four without traffic.
    uint16_t ExplicitConnectionRpi() const { return explicitRpiMillis_.load(); }
    // Takes effect at the next Forward Open (tests shorten it to see the connection expire).
    void SetExplicitConnectionRpi(uint16_t milliseconds) { explicitRpiMillis_.store(milliseconds); }

    // The restore's hand-over: the first attempt at once, then once a second.
    void StartRestore();
    int StartReconnect();
    int StopReconnect();

  private:
    int MakeConnectionObjects(const ConnectInfo& info,
                              std::shared_ptr<EipConnection>& plcConnection,
                              std::shared_ptr<ProtocolHandler>& handler) const;
    static int ConnectSequence(const std::string& alias, EipConnection* plcConnection,
                               const ConnectInfo& info, uint16_t rpiMillis, ProductInfo& product,
                               bool& explicitOpen);
    void InstallConnectionLocked(std::shared_ptr<EipConnection> plcConnection,
                                 std::shared_ptr<ProtocolHandler> handler);
    void ReconnectLoop();

    DeviceCallbacks& callbacks_;
    DeviceStats& stats_;
    const DeviceLife& life_;
    Hooks hooks_;
    mutable std::mutex mutex_;
    std::string alias_;
    ConnectInfo connectInfo_;
    ProductInfo productInfo_;
    std::shared_ptr<EipConnection> connection_;
    std::shared_ptr<ProtocolHandler> handler_;
    std::atomic<bool> neverConnected_{true};
    std::atomic<bool> explicitEnabled_{false};
    std::atomic<bool> explicitConnectionOpen_{false};
    std::atomic<uint8_t> explicitConnectionState_{kExplicitNonExist};
    std::atomic<uint8_t> ucmmState_{kUcmmNonExist};
    std::atomic<bool> reconnectAtOnce_{false};
    std::atomic<uint16_t> explicitRpiMillis_{45000};
    int stopFd_ = -1;
    WorkerThread reconnectThread_;
};
