#pragma once

// The UDP sockets of class-1 I/O, one per local port, shared by every PLC listening on that port:
// a datagram goes to the PLC whose connection it names (by connection ID), so two PLCs can both
// listen on 2222. IoSockets hands out the socket of a port, binding it for the first listener;
// the socket closes when its last holder lets it go.
//
// Threads and locks:
// - Listeners (action threads, the restore, their retry threads) Acquire a socket, Attach and
//   Detach themselves. IoSockets::mutex_ guards its port map; it is held while a port is bound,
//   never while a socket closes (a port closing is waited for on closed_).
// - Each socket's receiving thread blocks in poll() on the socket and a wake-up eventfd. For one
//   batch of datagrams it hands each to the attached listener it belongs to (Take), then lets
//   every listener that took one deliver its values (Flush). It alone uses the receive buffers
//   and the stray-datagram log.
// - IoSocket::mutex_ guards listeners_ and the round counters; listeners are called without it.
//   Detach waits for the round in progress, so a listener is never called after Detach returns.

#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_codec.h"
#include "eip/eip_io_connection.h"

// Logs a kind of refused datagram at most once a minute, saying how many it kept quiet since (a
// flood of forged datagrams must not flood the log). Used by one thread at a time.
class RefusalLog {
  public:
    void Write(const char* operation, const std::string& line);

  private:
    std::chrono::steady_clock::time_point logged_{};
    uint64_t unlogged_ = 0;
};

// What a socket needs of a listener; called on the socket's receiving thread.
class IoDatagramSink {
  public:
    virtual ~IoDatagramSink() = default;
    // Whether the datagram came from this sink's PLC, and whether it names one of its
    // connections.
    virtual bool IsFromPlc(const in_addr& address) const = 0;
    virtual bool Names(uint32_t connectionId) const = 0;
    // One datagram of this PLC's (or naming one of its connections), as ParseIODatagram left it;
    // its bytes stay valid until Flush. Answers on udpFd.
    virtual void Take(int udpFd, IoDatagramStatus status, const IoDatagram& datagram, size_t length,
                      const sockaddr_in& sender) = 0;
    // Delivers the values taken since the last Flush.
    virtual void Flush() = 0;
};

class IoSocket {
  public:
    IoSocket(int fd, uint16_t port);
    ~IoSocket();
    IoSocket(const IoSocket&) = delete;
    IoSocket& operator=(const IoSocket&) = delete;

    uint16_t Port() const { return port_; }
    void Attach(IoDatagramSink& sink);
    void Detach(IoDatagramSink& sink);

  private:
    void ReceiveLoop();
    void ReceiveBatch();
    // The sink a datagram belongs to: the one it names a connection of and that it came from,
    // else the one it names, else the one of the PLC it came from; null for none.
    static IoDatagramSink* Owner(const std::vector<IoDatagramSink*>& sinks, IoDatagramStatus status,
                                 const IoDatagram& datagram, const sockaddr_in& sender);

    const int fd_;
    const uint16_t port_;
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::condition_variable roundEnded_;
    std::vector<IoDatagramSink*> sinks_;
    bool stopping_ = false;
    bool dispatching_ = false;
    uint64_t rounds_ = 0;  // rounds of dispatch started
    std::thread thread_;
    std::vector<std::vector<uint8_t>> buffers_;  // receiving thread only
    RefusalLog strayLog_;                        // receiving thread only
};

// Held by shared_ptr (make_shared): a closing socket finds its way back through a weak handle.
class IoSockets : public std::enable_shared_from_this<IoSockets> {
  public:
    // The socket of udpPort, bound on every local address (multicast towards host) when no one
    // holds it; null when it cannot be bound (logged with the port and the reason).
    std::shared_ptr<IoSocket> Acquire(const std::string& host, uint16_t udpPort);

  private:
    void Forget(uint16_t udpPort);

    std::mutex mutex_;
    std::condition_variable closed_;
    // A port stays here, expired, while its socket closes.
    std::map<uint16_t, std::weak_ptr<IoSocket>> sockets_;
};
