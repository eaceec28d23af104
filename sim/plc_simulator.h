#pragma once

// plcsim: a simulated EtherNet/IP controller for tests, benchmarks and demos.
//
// It serves the encapsulation protocol over TCP (ListIdentity, ListServices, RegisterSession,
// UnRegisterSession, SendRRData, SendUnitData; many sessions at once) and ListIdentity over UDP
// on the same port, the Identity object (Get Attributes All, directly and
// through an Unconnected Send routed to its backplane slot) and the Connection Manager (class-3
// Forward Open / Forward Close, granting its own O->T connection IDs; a connection that carries
// no request for 4 RPIs (times the time-out multiplier) is closed, as a controller does). Other
// objects (Logix tags, PCCC) plug into Router() (see sim/message_router.h). A class-1 Forward Open
// (three items, the last a Sockaddr Info item) goes to the I/O producer (sim/io_producer.h),
// which streams the produced tag over UDP until the session ends or the consumer falls silent.
//
// It is strict: a request that a controller would refuse is refused with the controller's
// status, and every refusal of malformed bytes is also recorded in ProtocolErrors() so that a
// test can assert that the client sent well-formed bytes.
//
// Fault injection (InjectFault) acts on the encapsulation replies the simulator sends: drop,
// delay, split into two TCP segments, close the connection, answer with another connection ID or
// sequence count, or rewrite the bytes; counted from the moment the fault is armed, optionally
// only among replies of one encapsulation command.
//
// Threads: Start() spawns one event loop thread (epoll) that accepts clients, reads their
// requests, runs the router's handlers, sends replies (delayed ones when their time comes),
// answers ListIdentity datagrams and expires idle connections; an idle client costs nothing,
// the loop sleeps until a socket has work or a timer is due. The sessions, their buffers and
// queued replies belong to that thread alone. `mutex` guards the connection table, the fault
// list, the session close requests, the Forward Open fault, the statistics, the protocol error
// list and the writes of the next expiry time, for the tests' and owner's calls from other
// threads; it is never held while a handler of the router runs or while a socket is written.
// The statistics, the fault flag and the next expiry time are atomics the loop reads without it.
// Start / Stop / Restart are called from the owner's thread only.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/io_producer.h"
#include "sim/message_router.h"

namespace plcsim {

// Every connected message starts with its 16-bit sequence count, counted in the connection size.
constexpr size_t kSequenceCountSize = 2;

// Identity object attributes (Get Attributes All reply order).
struct IdentityConfig {
    uint16_t vendorId = 1;       // Rockwell Automation
    uint16_t deviceType = 0x0E;  // programmable logic controller
    uint16_t productCode = 0x0036;
    uint8_t majorRevision = 20;
    uint8_t minorRevision = 11;
    uint16_t status = 0x3060;
    uint32_t serialNumber = 0x00C0FFEE;
    std::string productName = "1756-L61/B LOGIX5561";
};

struct SimConfig {
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 44818;  // 0: an ephemeral port (see PlcSimulator::Port)
    int slot = 0;           // backplane slot of the controller
    IdentityConfig identity;
    bool verbose = false;  // log every request and refusal to standard error
    // Largest connection size granted (bytes, both directions); a controller grants up to 511
    // on a Forward Open and up to 4002 on a Large Forward Open. Above it a request is refused
    // with 0x01 / 0x0109 and this size.
    uint16_t maxConnectionSize = 4002;
    // Older firmware: answer the Large Forward Open with "service not supported".
    bool largeForwardOpen = true;
    // Some adapters: connected replies carry the O->T connection ID instead of the T->O one.
    bool replyWithOtConnectionId = false;
    // A class-1 grant names the UDP port the tag is produced from (a T->O Sockaddr Info item
    // in the Forward Open reply), as some controllers do.
    bool ioGrantSockaddr = false;
};

enum class FaultAction {
    Drop,                // send nothing
    Delay,               // send after `delay`
    Split,               // send in two TCP segments, `splitAt` bytes first, `delay` between them
    Close,               // close the TCP connection instead of answering
    CloseMidReply,       // send the first `splitAt` bytes (0: half), then close
    WrongConnectionId,   // SendUnitData reply carrying another T->O connection ID
    WrongSequenceCount,  // SendUnitData reply carrying another sequence count
    Mutate,              // `mutate` rewrites the whole encapsulation reply
};

struct Fault {
    FaultAction action = FaultAction::Drop;
    // The reply it acts on: 1 is the next matching reply after arming.
    int nth = 1;
    // How many consecutive matching replies from the nth on (0: every one from then on).
    int count = 1;
    // Only replies to this encapsulation command (0: any command).
    uint16_t command = 0;
    std::chrono::milliseconds delay{0};
    size_t splitAt = 0;  // 0: half of the reply
    std::function<void(std::vector<uint8_t>&)> mutate;
};

// How the next Forward Opens are answered.
struct ForwardOpenFault {
    // Refuse with this general / additional status (0: do not refuse).
    uint8_t refuseGeneralStatus = 0;
    uint16_t refuseExtStatus = 0;
    // Echo another triad value than the client sent.
    std::optional<uint16_t> echoVendorId;
    std::optional<uint16_t> echoConnectionSerial;
    std::optional<uint32_t> echoOriginatorSerial;
};

struct SimStats {
    uint64_t connectionsAccepted = 0;
    uint64_t sessionsRegistered = 0;
    uint64_t sessionsUnregistered = 0;
    uint64_t requests = 0;  // encapsulation requests received
    uint64_t forwardOpens = 0;
    uint64_t forwardCloses = 0;
    uint64_t connectedRequests = 0;
    uint64_t repliesSent = 0;
};

class PlcSimulator {
  public:
    explicit PlcSimulator(SimConfig config);
    ~PlcSimulator();
    PlcSimulator(const PlcSimulator&) = delete;
    PlcSimulator& operator=(const PlcSimulator&) = delete;

    // Binds and starts accepting. False (with the reason in LastStartError) when the port
    // cannot be bound. A restart keeps the port that was bound first.
    bool Start();
    // Closes the listener and every client connection and forgets all sessions and
    // connections, as a controller that loses power.
    void Stop();
    bool Restart();
    bool IsRunning() const { return running.load(); }
    // The bound port (the ephemeral one when configured with 0).
    uint16_t Port() const { return boundPort; }
    const SimConfig& Config() const { return config; }
    std::string LastStartError() const;

    // Objects are added here before or after Start.
    MessageRouter& Router() { return router; }
    // Class-1 I/O: the producer of implicit data (its tag source, faults and connections).
    IoProducer& Io() { return *io; }
    // Closes the TCP connection of the session with that handle, as a controller that drops it.
    void CloseSession(uint32_t sessionHandle);

    void InjectFault(Fault fault);
    void ClearFaults();
    void SetForwardOpenFault(ForwardOpenFault fault);

    SimStats Stats() const;
    // Open class-3 connections.
    std::vector<CipConnection> Connections() const;
    // Every request refused for its bytes, with the reason; empty when the client was clean.
    std::vector<std::string> ProtocolErrors() const;
    // Number of TCP clients connected now.
    size_t ClientCount() const;

    // Records a refusal of malformed bytes (handlers of plugged-in objects may use it too).
    void NoteProtocolError(const std::string& what);
    // Encoded Identity Get Attributes All reply data of the configured identity.
    std::vector<uint8_t> IdentityAttributes() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Session;
    struct Outgoing;
    // A class-3 connection and the last reply it got, resent when the client repeats a
    // sequence count (a retransmission must not execute the request twice).
    struct ConnectionState {
        CipConnection info;
        bool hasLastReply = false;
        uint16_t lastSequence = 0;
        std::vector<uint8_t> lastReply;  // the Message Router reply bytes
        // The controller closes a connection that carried no request for this long
        // (O->T RPI x 4 << time-out multiplier).
        std::chrono::microseconds timeout{0};
        Clock::time_point lastActivity;
    };

    // What a session does after handling one message.
    enum class Next { Continue, Close };
    struct Header;

    void OpenUdp(const sockaddr_in& address);
    void CloseLoopDescriptors();
    void EventLoop();
    // Milliseconds until the next delayed reply or connection expiry; -1 when none is due.
    int WaitMilliseconds() const;
    void RunTimers();
    void AcceptClients();
    void AnswerDatagrams();
    void ServeClient(int fd, uint32_t events);
    void SetInterest(Session& session, uint32_t events);
    void ReceiveAndHandle(Session& session);
    void HandleBuffered(Session& session);
    void ResumeIfIdle(Session& session);
    void Enqueue(Session& session, Outgoing outgoing);
    // Sends a reply straight from the loop's buffer when nothing waits before it; what cannot
    // leave at once is queued.
    void SendNow(Session& session, ByteView message);
    void Flush(Session& session);
    bool SendSome(Session& session, Outgoing& outgoing);
    void CloseSession(Session& session);
    // Closes the sessions other threads asked CloseSession(handle) for; drains wakeFd.
    void CloseRequestedSessions();
    void ReapClosedSessions();
    void ExpireIdleConnections();
    Next HandleMessage(Session& session, const Header& header, ByteView body);
    Next HandleRegisterSession(Session& session, const Header& header, ByteView body);
    Next HandleSendRRData(Session& session, const Header& header, ByteView body);
    Next HandleSendUnitData(Session& session, const Header& header, ByteView body);
    // ListIdentity and ListServices reply bodies (also answered without a session).
    std::vector<uint8_t> ListIdentityBody() const;
    static std::vector<uint8_t> ListServicesBody();
    std::vector<uint8_t> ListBody(uint16_t command) const;
    Next ReplyList(Session& session, const Header& header);
    // Writes the encapsulation header of a reply; the body follows, the length is patched by
    // SendReply.
    static void StartReply(ByteWriter& writer, const Header& header, uint32_t status);
    // A writer over the event loop's reply buffer with the header written.
    ByteWriter StartReply(const Header& header, uint32_t status);
    Next Reply(Session& session, const Header& header, uint32_t status, ByteView body);
    // Patches the length and sends the reply through the armed faults.
    Next SendReply(Session& session, uint16_t command, ByteWriter& reply);
    Next SendThroughFaults(Session& session, uint16_t command, std::vector<uint8_t> message);
    // An unconnected request: an Unconnected Send is unwrapped and routed to the slot, anything
    // else goes straight to the router. The reply is appended to `out`.
    void ExecuteUnconnected(ByteView request, uint32_t sessionHandle, ByteWriter& out);

    void RegisterBuiltInObjects();
    CipReply IdentityService(const CipRequest& request) const;
    CipReply ConnectionManagerService(const CipRequest& request);
    // Forward Open (0x54) and Large Forward Open (0x5B): one parse, two field widths.
    CipReply ForwardOpen(const CipRequest& request, bool large);
    CipReply ForwardClose(const CipRequest& request);
    // Checks a class-3 connection path: backplane port 1 to our slot, then the Message Router.
    // CIP_STATUS_SUCCESS or the additional status of general status 0x01.
    uint16_t CheckConnectionPath(ByteView path) const;
    void DropConnectionsOfSession(uint32_t sessionHandle);
    void Log(const std::string& text) const;

    SimConfig config;
    MessageRouter router;
    std::unique_ptr<IoProducer> io;
    uint16_t boundPort = 0;
    sockaddr_in boundAddress{};
    int listenFd = -1;
    int udpFd = -1;
    int epollFd = -1;
    int wakeFd = -1;  // written by Stop to end the loop's wait, and by CloseSession(handle)
    std::atomic<bool> running{false};
    std::thread loopThread;
    std::atomic<size_t> clientCount{0};

    // Event loop thread only.
    std::unordered_map<int, std::unique_ptr<Session>> sessions;  // by socket
    std::vector<int> delayedSessions;   // sockets whose next reply waits for its time
    std::vector<int> closedSessions;    // closed during this turn, freed at its end
    Clock::time_point loopNow;          // read once per wake-up
    std::vector<uint8_t> replyBuffer;   // the reply being built (one encapsulation message)
    std::vector<uint8_t> routerBuffer;  // the Message Router reply of a connected request

    // SimStats, counted without the lock.
    struct Counters {
        std::atomic<uint64_t> connectionsAccepted{0};
        std::atomic<uint64_t> sessionsRegistered{0};
        std::atomic<uint64_t> sessionsUnregistered{0};
        std::atomic<uint64_t> requests{0};
        std::atomic<uint64_t> forwardOpens{0};
        std::atomic<uint64_t> forwardCloses{0};
        std::atomic<uint64_t> connectedRequests{0};
        std::atomic<uint64_t> repliesSent{0};
    };
    Counters counters;
    // Whether any fault is armed: replies skip the fault list (and its lock) when none is.
    std::atomic<bool> faultsArmed{false};
    // Written under `mutex`, read by the event loop without it.
    std::atomic<Clock::time_point> nextExpiryCheck{Clock::time_point::max()};

    mutable std::mutex mutex;
    std::map<uint32_t, ConnectionState> connections;  // by O->T connection ID
    std::vector<Fault> faults;
    std::vector<int> faultSeen;  // matching replies seen per fault since arming
    ForwardOpenFault forwardOpenFault;
    std::vector<std::string> protocolErrors;
    std::vector<uint32_t> closeRequests;  // session handles the event loop is to close
    std::string lastStartError;
    uint32_t nextSessionHandle = 0;
    uint32_t nextConnectionId = 0;
};

}  // namespace plcsim
