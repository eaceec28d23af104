#include "sim/plc_simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <limits>

#include "sim/forward_open.h"

namespace plcsim {

namespace {

// Event loop sizes: socket events taken per wait, pending accepts, first input buffer per client.
constexpr int kEventsPerWait = 64;
constexpr int kListenBacklog = 1024;
constexpr size_t kInitialInputBuffer = 4096;
// ListServices: the communications service, CIP over TCP (bit 5) and class 0/1 over UDP (bit 8).
constexpr uint16_t kCmdListServices = 0x0004;
constexpr uint16_t kCpfItemListIdentity = 0x000C;
constexpr uint16_t kCpfItemListServices = 0x0100;
constexpr uint16_t kServiceCapabilities = 0x0120;
constexpr char kServiceName[] = "Communications";
constexpr size_t kServiceNameSize = 16;
// Identity state of a controller that runs.
constexpr uint8_t kIdentityStateOperational = 0x03;
// Largest datagram plcsim reads (a ListIdentity request is a bare header).
constexpr size_t kMaxDatagram = 512;
// Largest encapsulation body the simulator accepts (the length field's range).
constexpr size_t kMaxBody = 0xFFFF;
// The body length field of an encapsulation header.
constexpr ByteWriter::Slot kEncapLengthSlot{2, 2};
// Large Forward Open: the same fields as a Forward Open with 32-bit network connection
// parameters.
constexpr uint8_t kSvcLargeForwardOpen = 0x5B;
// Pause between the two segments of a split reply when the fault gives none.
constexpr std::chrono::milliseconds kDefaultSplitPause{30};
// First session handle and O->T connection ID this controller hands out.
constexpr uint32_t kSessionHandleBase = 0x00020000;
constexpr uint32_t kConnectionIdBase = 0x7A3C0000;

}  // namespace

// A reply, or a part of one, waiting to leave: it is sent at `due`, in order after those before
// it; `closeAfter` closes the connection once it is out.
struct PlcSimulator::Outgoing {
    std::vector<uint8_t> bytes;
    size_t sent = 0;
    Clock::time_point due;
    bool closeAfter = false;
};

// One TCP client, touched only by the event loop thread.
struct PlcSimulator::Session {
    int fd = -1;
    uint32_t handle = 0;  // registered session handle, 0 before RegisterSession
    // Received bytes not handled yet: in[0, inUsed). Keeps its capacity between requests.
    std::vector<uint8_t> in = std::vector<uint8_t>(kInitialInputBuffer);
    size_t inUsed = 0;
    // Output that could not leave at once (delayed by a fault, or a full socket). While it is
    // not empty no further request of this client is handled, as a controller answers in turn.
    std::deque<Outgoing> out;
    uint32_t events = 0;  // epoll interest now registered
    bool registered = false;
    bool closed = false;
};

struct PlcSimulator::Header {
    uint16_t command = 0;
    uint16_t length = 0;
    uint32_t sessionHandle = 0;
    uint32_t status = 0;
    uint8_t senderContext[8] = {};
    uint32_t options = 0;

    static Header Parse(ByteView bytes) {
        Header header;
        ByteReader reader(bytes);
        header.command = reader.u16();
        header.length = reader.u16();
        header.sessionHandle = reader.u32();
        header.status = reader.u32();
        const ByteView context = reader.bytes(sizeof header.senderContext);
        std::copy(context.begin(), context.end(), header.senderContext);
        header.options = reader.u32();
        return header;
    }
};

PlcSimulator::PlcSimulator(SimConfig configuration)
    : config(std::move(configuration)),
      io(std::make_unique<IoProducer>(config.bindAddress, config.identity, config.ioGrantSockaddr)),
      replyBuffer(EIP_ENCAP_HEADER_SIZE + kMaxBody),
      routerBuffer(kMaxBody) {
    RegisterBuiltInObjects();
}

PlcSimulator::~PlcSimulator() {
    Stop();
}

void PlcSimulator::Log(const std::string& text) const {
    if (config.verbose) {
        std::cerr << "plcsim: " << text << std::endl;
    }
}

// ---- Lifecycle ---------------------------------------------------------------------------------

bool PlcSimulator::Start() {
    if (running.load()) {
        return true;
    }
    auto failStart = [this](const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex);
        lastStartError = why + ": " + std::strerror(errno);
        CloseLoopDescriptors();
        return false;
    };
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(boundPort != 0 ? boundPort : config.port);
    if (::inet_pton(AF_INET, config.bindAddress.c_str(), &address.sin_addr) != 1) {
        errno = EINVAL;
        return failStart("bind address " + config.bindAddress);
    }
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd < 0) {
        return failStart("socket");
    }
    const int yes = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return failStart("bind " + config.bindAddress + ":" + std::to_string(config.port));
    }
    if (::listen(listenFd, kListenBacklog) != 0) {
        return failStart("listen");
    }
    socklen_t size = sizeof address;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &size);
    boundPort = ntohs(address.sin_port);
    boundAddress = address;
    OpenUdp(address);
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd < 0 || wakeFd < 0) {
        return failStart("epoll");
    }
    for (int fd : {listenFd, udpFd, wakeFd}) {
        if (fd >= 0) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
        }
    }
    running.store(true);
    loopThread = std::thread([this] { EventLoop(); });
    Log("listening on " + config.bindAddress + ":" + std::to_string(boundPort) + ", slot " +
        std::to_string(config.slot));
    return true;
}

// ListIdentity over UDP on the port of the TCP listener; plcsim works without it when that
// port is taken for UDP.
void PlcSimulator::OpenUdp(const sockaddr_in& address) {
    udpFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (udpFd >= 0 &&
        ::bind(udpFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Log("no ListIdentity over UDP: bind " + config.bindAddress + ":" +
            std::to_string(boundPort) + ": " + std::strerror(errno));
        ::close(udpFd);
        udpFd = -1;
    }
}

void PlcSimulator::CloseLoopDescriptors() {
    for (int* fd : {&listenFd, &udpFd, &epollFd, &wakeFd}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void PlcSimulator::Stop() {
    if (!running.exchange(false)) {
        return;
    }
    const uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof one) < 0) {
        Log(std::string("cannot wake the event loop: ") + std::strerror(errno));
    }
    if (loopThread.joinable()) {
        loopThread.join();
    }
    for (auto& entry : sessions) {
        ::close(entry.second->fd);
    }
    sessions.clear();
    delayedSessions.clear();
    clientCount.store(0);
    CloseLoopDescriptors();
    {
        std::lock_guard<std::mutex> lock(mutex);
        connections.clear();
        nextExpiryCheck.store(Clock::time_point::max());
    }
    Log("stopped");
}

bool PlcSimulator::Restart() {
    Stop();
    return Start();
}

std::string PlcSimulator::LastStartError() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lastStartError;
}

// ---- Observation and faults --------------------------------------------------------------------

void PlcSimulator::InjectFault(Fault fault) {
    std::lock_guard<std::mutex> lock(mutex);
    faults.push_back(std::move(fault));
    faultSeen.push_back(0);
    faultsArmed.store(true);
}

void PlcSimulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex);
    faults.clear();
    faultSeen.clear();
    faultsArmed.store(false);
}

void PlcSimulator::SetForwardOpenFault(ForwardOpenFault fault) {
    std::lock_guard<std::mutex> lock(mutex);
    forwardOpenFault = fault;
}

SimStats PlcSimulator::Stats() const {
    SimStats stats;
    stats.connectionsAccepted = counters.connectionsAccepted.load();
    stats.sessionsRegistered = counters.sessionsRegistered.load();
    stats.sessionsUnregistered = counters.sessionsUnregistered.load();
    stats.requests = counters.requests.load();
    stats.forwardOpens = counters.forwardOpens.load();
    stats.forwardCloses = counters.forwardCloses.load();
    stats.connectedRequests = counters.connectedRequests.load();
    stats.repliesSent = counters.repliesSent.load();
    return stats;
}

std::vector<CipConnection> PlcSimulator::Connections() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<CipConnection> result;
    for (const auto& entry : connections) {
        result.push_back(entry.second.info);
    }
    return result;
}

std::vector<std::string> PlcSimulator::ProtocolErrors() const {
    std::lock_guard<std::mutex> lock(mutex);
    return protocolErrors;
}

size_t PlcSimulator::ClientCount() const {
    return clientCount.load();
}

void PlcSimulator::NoteProtocolError(const std::string& what) {
    Log("refused: " + what);
    std::lock_guard<std::mutex> lock(mutex);
    protocolErrors.push_back(what);
}

// ---- Event loop --------------------------------------------------------------------------------

void PlcSimulator::EventLoop() {
    epoll_event events[kEventsPerWait];
    loopNow = Clock::now();
    while (running.load()) {
        const int ready = ::epoll_wait(epollFd, events, kEventsPerWait, WaitMilliseconds());
        loopNow = Clock::now();
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listenFd) {
                AcceptClients();
            } else if (fd == udpFd) {
                AnswerDatagrams();
            } else if (fd == wakeFd) {
                CloseRequestedSessions();
            } else {
                ServeClient(fd, events[i].events);
            }
        }
        RunTimers();
        ReapClosedSessions();
    }
}

int PlcSimulator::WaitMilliseconds() const {
    Clock::time_point next = Clock::time_point::max();
    for (int fd : delayedSessions) {
        const auto found = sessions.find(fd);
        if (found != sessions.end() && !found->second->out.empty()) {
            next = std::min(next, found->second->out.front().due);
        }
    }
    next = std::min(next, nextExpiryCheck.load());
    if (next == Clock::time_point::max()) {
        return -1;  // nothing timed: sleep until a socket has work
    }
    // loopNow is this turn's: the wait ends no earlier than the deadline.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - loopNow).count();
    return static_cast<int>(std::clamp<int64_t>(wait, 0, std::numeric_limits<int>::max()));
}

void PlcSimulator::RunTimers() {
    ExpireIdleConnections();
    if (delayedSessions.empty()) {
        return;
    }
    std::vector<int> due;
    due.swap(delayedSessions);
    for (int fd : due) {
        const auto found = sessions.find(fd);
        if (found != sessions.end() && !found->second->closed) {
            Flush(*found->second);
            ResumeIfIdle(*found->second);
        }
    }
}

void PlcSimulator::AcceptClients() {
    while (true) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                Log(std::string("accept: ") + std::strerror(errno));
            }
            return;
        }
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        auto session = std::make_unique<Session>();
        session->fd = fd;
        SetInterest(*session, EPOLLIN);
        sessions[fd] = std::move(session);
        clientCount.store(sessions.size());
        ++counters.connectionsAccepted;
    }
}

void PlcSimulator::SetInterest(Session& session, uint32_t events) {
    if (session.registered && session.events == events) {
        return;
    }
    epoll_event event{};
    event.events = events;
    event.data.fd = session.fd;
    ::epoll_ctl(epollFd, session.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, session.fd, &event);
    session.registered = true;
    session.events = events;
}

void PlcSimulator::ServeClient(int fd, uint32_t events) {
    const auto found = sessions.find(fd);
    if (found == sessions.end() || found->second->closed) {
        return;
    }
    Session& session = *found->second;
    if ((events & (EPOLLHUP | EPOLLERR)) != 0 && !session.out.empty()) {
        CloseSession(session);  // gone while a reply waited
        return;
    }
    if ((events & EPOLLOUT) != 0) {
        Flush(session);
        ResumeIfIdle(session);
    } else if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && session.out.empty()) {
        ReceiveAndHandle(session);
    }
}

// Reads what the client sent and handles every whole message, in order, until a reply has to
// wait (then the rest waits in the buffer).
void PlcSimulator::ReceiveAndHandle(Session& session) {
    if (session.inUsed == session.in.size()) {
        session.in.resize(session.in.size() * 2);
    }
    const ssize_t n = ::recv(session.fd, session.in.data() + session.inUsed,
                             session.in.size() - session.inUsed, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        CloseSession(session);
        return;
    }
    if (n > 0) {
        session.inUsed += static_cast<size_t>(n);
    }
    HandleBuffered(session);
}

void PlcSimulator::HandleBuffered(Session& session) {
    size_t at = 0;
    while (!session.closed && session.out.empty() && session.inUsed - at >= EIP_ENCAP_HEADER_SIZE) {
        const Header header =
            Header::Parse(ByteView{session.in.data() + at, EIP_ENCAP_HEADER_SIZE});
        const size_t whole = EIP_ENCAP_HEADER_SIZE + header.length;
        if (session.inUsed - at < whole) {
            if (session.in.size() < whole) {
                session.in.resize(whole);
            }
            break;
        }
        ++counters.requests;
        const ByteView body{session.in.data() + at + EIP_ENCAP_HEADER_SIZE, header.length};
        at += whole;
        if (HandleMessage(session, header, body) == Next::Close) {
            Enqueue(session, Outgoing{{}, 0, loopNow, true});
        }
    }
    std::memmove(session.in.data(), session.in.data() + at, session.inUsed - at);
    session.inUsed -= at;
}

// Once all output is out the client's buffered requests are handled, and it is heard again.
void PlcSimulator::ResumeIfIdle(Session& session) {
    if (!session.closed && session.out.empty()) {
        SetInterest(session, EPOLLIN);
        HandleBuffered(session);
    }
}

void PlcSimulator::SendNow(Session& session, ByteView message) {
    size_t sent = 0;
    if (session.out.empty()) {
        const ssize_t n = ::send(session.fd, message.data, message.size, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            CloseSession(session);
            return;
        }
        sent = n > 0 ? static_cast<size_t>(n) : 0;
        if (sent == message.size) {
            ++counters.repliesSent;
            return;
        }
    }
    Enqueue(session, Outgoing{std::vector<uint8_t>(message.begin() + sent, message.end()), 0,
                              loopNow, false});
}

void PlcSimulator::Enqueue(Session& session, Outgoing outgoing) {
    session.out.push_back(std::move(outgoing));
    Flush(session);
}

// Sends what is due; stops at the first part that must wait for its time (no interest in the
// socket meanwhile) or for room in the socket (interest in room).
void PlcSimulator::Flush(Session& session) {
    while (!session.out.empty() && !session.closed) {
        Outgoing& next = session.out.front();
        if (next.due > loopNow) {
            delayedSessions.push_back(session.fd);
            SetInterest(session, 0);
            return;
        }
        if (!SendSome(session, next)) {
            return;
        }
        if (next.sent < next.bytes.size()) {
            SetInterest(session, EPOLLOUT);
            return;
        }
        const bool close = next.closeAfter;
        session.out.pop_front();
        if (close) {
            CloseSession(session);
            return;
        }
        ++counters.repliesSent;
    }
}

// False when the connection broke (the session is closed then).
bool PlcSimulator::SendSome(Session& session, Outgoing& outgoing) {
    while (outgoing.sent < outgoing.bytes.size()) {
        const ssize_t n = ::send(session.fd, outgoing.bytes.data() + outgoing.sent,
                                 outgoing.bytes.size() - outgoing.sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        if (n <= 0 && errno != EINTR) {
            CloseSession(session);
            return false;
        }
        outgoing.sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return true;
}

void PlcSimulator::CloseSession(Session& session) {
    if (session.closed) {
        return;
    }
    session.closed = true;
    DropConnectionsOfSession(session.handle);
    ::epoll_ctl(epollFd, EPOLL_CTL_DEL, session.fd, nullptr);
    closedSessions.push_back(session.fd);
}

void PlcSimulator::ReapClosedSessions() {
    for (int fd : closedSessions) {
        ::close(fd);
        sessions.erase(fd);
    }
    if (!closedSessions.empty()) {
        clientCount.store(sessions.size());
        closedSessions.clear();
    }
}

void PlcSimulator::ExpireIdleConnections() {
    const auto now = loopNow;
    if (now < nextExpiryCheck.load()) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    auto next = Clock::time_point::max();
    for (auto it = connections.begin(); it != connections.end();) {
        const auto deadline = it->second.lastActivity + it->second.timeout;
        if (now > deadline) {
            Log("connection " + std::to_string(it->first) + " timed out");
            it = connections.erase(it);
        } else {
            next = std::min(next, deadline + std::chrono::milliseconds(1));
            ++it;
        }
    }
    nextExpiryCheck.store(next);
}

// The sessions belong to the event loop: it is asked to close this one and woken.
void PlcSimulator::CloseSession(uint32_t sessionHandle) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closeRequests.push_back(sessionHandle);
    }
    const uint64_t one = 1;
    if (wakeFd < 0 || ::write(wakeFd, &one, sizeof one) < 0) {
        Log("cannot ask the event loop to close session " + std::to_string(sessionHandle));
    }
}

void PlcSimulator::CloseRequestedSessions() {
    uint64_t count = 0;
    (void)!::read(wakeFd, &count, sizeof count);
    std::vector<uint32_t> handles;
    {
        std::lock_guard<std::mutex> lock(mutex);
        handles.swap(closeRequests);
    }
    for (const auto& entry : sessions) {
        if (std::find(handles.begin(), handles.end(), entry.second->handle) != handles.end()) {
            CloseSession(*entry.second);
        }
    }
}

void PlcSimulator::DropConnectionsOfSession(uint32_t sessionHandle) {
    io->DropSession(sessionHandle);
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = connections.begin(); it != connections.end();) {
        if (it->second.info.sessionHandle == sessionHandle) {
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

// ---- Encapsulation -----------------------------------------------------------------------------

PlcSimulator::Next PlcSimulator::HandleMessage(Session& session, const Header& header,
                                               ByteView body) {
    if (header.options != 0) {
        // An encapsulation receiver discards a message with non-zero options.
        NoteProtocolError("encapsulation options not zero");
        return Next::Continue;
    }
    if (header.status != EIP_ENCAP_STATUS_SUCCESS) {
        NoteProtocolError("encapsulation request status not zero");
        return Reply(session, header, EIP_ENCAP_STATUS_INCORRECT_DATA, {});
    }
    switch (header.command) {
        case EIP_CMD_LIST_IDENTITY:
        case kCmdListServices:
            if (!body.empty()) {
                NoteProtocolError("List command with a body of " + std::to_string(body.size) +
                                  " bytes");
                return Reply(session, header, EIP_ENCAP_STATUS_INVALID_LENGTH, {});
            }
            return ReplyList(session, header);
        case EIP_CMD_REGISTER_SESSION:
            return HandleRegisterSession(session, header, body);
        case EIP_CMD_UNREGISTER_SESSION:
            if (session.handle == 0 || header.sessionHandle != session.handle) {
                NoteProtocolError("UnRegisterSession of an unknown session");
            } else {
                ++counters.sessionsUnregistered;
            }
            return Next::Close;  // the target closes the TCP connection, without reply
        case EIP_CMD_SEND_RR_DATA:
        case EIP_CMD_SEND_UNIT_DATA:
            if (session.handle == 0 || header.sessionHandle != session.handle) {
                NoteProtocolError("request with an invalid session handle");
                return Reply(session, header, EIP_ENCAP_STATUS_INVALID_SESSION, {});
            }
            return header.command == EIP_CMD_SEND_RR_DATA
                       ? HandleSendRRData(session, header, body)
                       : HandleSendUnitData(session, header, body);
        default:
            NoteProtocolError("unsupported encapsulation command " +
                              std::to_string(header.command));
            return Reply(session, header, EIP_ENCAP_STATUS_INVALID_COMMAND, {});
    }
}

// RegisterSession reply: the request header with our session handle and the request's body
// (protocol version 1, option flags 0).
PlcSimulator::Next PlcSimulator::HandleRegisterSession(Session& session, const Header& header,
                                                       ByteView body) {
    ByteReader reader(body);
    const uint16_t version = reader.u16();
    const uint16_t flags = reader.u16();
    if (!reader.ok() || !reader.at_end()) {
        NoteProtocolError("RegisterSession body of " + std::to_string(body.size) + " bytes");
        return Reply(session, header, EIP_ENCAP_STATUS_INVALID_LENGTH, {});
    }
    if (version != EIP_PROTOCOL_VERSION || flags != 0) {
        NoteProtocolError("RegisterSession version " + std::to_string(version) + " flags " +
                          std::to_string(flags));
        return Reply(session, header, EIP_ENCAP_STATUS_UNSUPPORTED_PROTOCOL, body);
    }
    if (header.sessionHandle != 0 || session.handle != 0) {
        NoteProtocolError("RegisterSession on a registered connection or with a handle");
        return Reply(session, header, EIP_ENCAP_STATUS_INCORRECT_DATA, body);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        session.handle = kSessionHandleBase + ++nextSessionHandle;
        ++counters.sessionsRegistered;
    }
    Header replyHeader = header;
    replyHeader.sessionHandle = session.handle;
    return Reply(session, replyHeader, EIP_ENCAP_STATUS_SUCCESS, body);
}

// Encapsulation reply:
// | off | size | field                                      |
// |   0 |    2 | command of the request                      |
// |   2 |    2 | body length                                |
// |   4 |    4 | session handle                             |
// |   8 |    4 | status                                     |
// |  12 |    8 | sender context of the request              |
// |  20 |    4 | options 0                                  |
// |  24 |    n | body                                       |
void PlcSimulator::StartReply(ByteWriter& writer, const Header& header, uint32_t status) {
    writer.u16(header.command)
        .u16(0)  // patched once the body is written
        .u32(header.sessionHandle)
        .u32(status)
        .bytes(header.senderContext, sizeof header.senderContext)
        .u32(0);
}

ByteWriter PlcSimulator::StartReply(const Header& header, uint32_t status) {
    ByteWriter writer(replyBuffer.data(), replyBuffer.size());
    StartReply(writer, header, status);
    return writer;
}

PlcSimulator::Next PlcSimulator::ReplyList(Session& session, const Header& header) {
    const std::vector<uint8_t> body = ListBody(header.command);
    return Reply(session, header, EIP_ENCAP_STATUS_SUCCESS, ByteView{body.data(), body.size()});
}

PlcSimulator::Next PlcSimulator::Reply(Session& session, const Header& header, uint32_t status,
                                       ByteView body) {
    ByteWriter reply = StartReply(header, status);
    reply.bytes(body);
    return SendReply(session, header.command, reply);
}

PlcSimulator::Next PlcSimulator::SendReply(Session& session, uint16_t command, ByteWriter& reply) {
    reply.patch_u16(kEncapLengthSlot, static_cast<uint16_t>(reply.size() - EIP_ENCAP_HEADER_SIZE));
    if (!reply.ok()) {
        // Every reply is built within one encapsulation message; this is a fault of ours.
        NoteProtocolError("reply to command " + std::to_string(command) +
                          " larger than an encapsulation message, not sent");
        return Next::Continue;
    }
    if (!faultsArmed.load()) {
        SendNow(session, reply.view());
        return Next::Continue;
    }
    return SendThroughFaults(session, command, reply.to_vector());
}

namespace {

// Reads the CPF of a request body: interface handle 0, any timeout, exactly two items of the
// given types; the second item's bytes come back in `payload`, the first's in `address`.
bool ReadTwoItems(ByteView body, uint16_t addressType, uint16_t dataType, ByteView& address,
                  ByteView& payload, std::string& why) {
    ByteReader reader(body);
    const uint32_t interfaceHandle = reader.u32();
    reader.u16();  // timeout
    const uint16_t itemCount = reader.u16();
    const uint16_t firstType = reader.u16();
    address = reader.bytes(reader.u16());
    const uint16_t secondType = reader.u16();
    payload = reader.bytes(reader.u16());
    if (!reader.ok()) {
        why = "CPF shorter than its items";
    } else if (!reader.at_end()) {
        why = "CPF longer than its items";
    } else if (interfaceHandle != 0) {
        why = "CPF interface handle not zero";
    } else if (itemCount != 2) {
        why = "CPF item count " + std::to_string(itemCount);
    } else if (firstType != addressType || secondType != dataType) {
        why = "CPF item types " + std::to_string(firstType) + ", " + std::to_string(secondType);
    } else {
        return true;
    }
    return false;
}

}  // namespace

// SendRRData reply body: interface handle 0, timeout 0, two items: null address, unconnected
// data holding the Message Router reply; a class-1 grant may add a T->O Sockaddr Info item.
PlcSimulator::Next PlcSimulator::HandleSendRRData(Session& session, const Header& header,
                                                  ByteView body) {
    std::vector<uint8_t> ioReply;
    std::vector<uint8_t> sockaddrItem;
    const bool ioOpen = io->ForwardOpen(body, session.handle, ioReply, sockaddrItem);
    ByteWriter reply = StartReply(header, EIP_ENCAP_STATUS_SUCCESS);
    reply.u32(0).u16(0).u16(sockaddrItem.empty() ? 2 : 3);
    reply.u16(CPF_ITEM_NULL_ADDRESS).u16(0).u16(CPF_ITEM_UNCONNECTED_DATA);
    const ByteWriter::Slot length = reply.reserve_u16();
    if (ioOpen) {
        reply.bytes(ioReply);
    } else {
        ByteView address;
        ByteView request;
        std::string why;
        if (!ReadTwoItems(body, CPF_ITEM_NULL_ADDRESS, CPF_ITEM_UNCONNECTED_DATA, address, request,
                          why) ||
            !address.empty()) {
            NoteProtocolError("SendRRData: " + (why.empty() ? "null address item not empty" : why));
            return Reply(session, header, EIP_ENCAP_STATUS_INCORRECT_DATA, {});
        }
        ExecuteUnconnected(request, session.handle, reply);
    }
    reply.patch_length_from(length);
    reply.bytes(sockaddrItem);
    return SendReply(session, header.command, reply);
}

// SendUnitData reply body: interface handle 0, timeout 0, connected address item with the
// T->O connection ID, connected data item: the request's sequence count, then the reply.
PlcSimulator::Next PlcSimulator::HandleSendUnitData(Session& session, const Header& header,
                                                    ByteView body) {
    ByteView address;
    ByteView payload;
    std::string why;
    if (!ReadTwoItems(body, CPF_ITEM_CONNECTED_ADDRESS, CPF_ITEM_CONNECTED_DATA, address, payload,
                      why) ||
        address.size != 4 || payload.size < 2) {
        NoteProtocolError("SendUnitData: " + (why.empty() ? "item lengths" : why));
        return Next::Continue;  // connected traffic that cannot be matched is dropped
    }
    const uint32_t otId = ByteReader(address).u32();
    ByteReader payloadReader(payload);
    const uint16_t sequence = payloadReader.u16();
    const ByteView request = payloadReader.rest();

    CipConnection connection;
    ByteWriter routed(routerBuffer.data(), routerBuffer.size());
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = connections.find(otId);
        if (found == connections.end() || found->second.info.sessionHandle != session.handle) {
            protocolErrors.push_back("SendUnitData on unknown connection " + std::to_string(otId));
            return Next::Continue;
        }
        found->second.lastActivity = loopNow;
        connection = found->second.info;
        if (found->second.hasLastReply && found->second.lastSequence == sequence) {
            routed.bytes(found->second.lastReply);  // a repeated request: answer again, run once
        }
    }
    ++counters.connectedRequests;
    if (routed.size() == 0) {
        router.Execute(request, &connection, session.handle, routed);
        if (!routed.ok() || routed.size() + kSequenceCountSize > connection.toConnectionSize) {
            // What does not fit the connection is not sent: the service answers it as partial.
            routed = ByteWriter(routerBuffer.data(), routerBuffer.size());
            MessageRouter::EncodeStatus(request.at(0),
                                        CipReplyStatus::Of(CIP_STATUS_PARTIAL_TRANSFER), routed);
        }
        std::lock_guard<std::mutex> lock(mutex);
        auto found = connections.find(otId);
        if (found != connections.end()) {
            found->second.hasLastReply = true;
            found->second.lastSequence = sequence;
            found->second.lastReply.assign(routed.view().begin(), routed.view().end());
        }
    }
    ByteWriter reply = StartReply(header, EIP_ENCAP_STATUS_SUCCESS);
    reply.u32(0).u16(0).u16(2).u16(CPF_ITEM_CONNECTED_ADDRESS).u16(4);
    reply.u32(config.replyWithOtConnectionId ? connection.otConnectionId
                                             : connection.toConnectionId);
    reply.u16(CPF_ITEM_CONNECTED_DATA).u16(static_cast<uint16_t>(routed.size() + 2));
    reply.u16(sequence).bytes(routed.view());
    return SendReply(session, header.command, reply);
}

PlcSimulator::Next PlcSimulator::SendThroughFaults(Session& session, uint16_t command,
                                                   std::vector<uint8_t> message) {
    std::optional<Fault> fault;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (size_t i = 0; i < faults.size() && !fault; ++i) {
            const Fault& candidate = faults[i];
            if (candidate.command != 0 && candidate.command != command) {
                continue;
            }
            const int seen = ++faultSeen[i];
            if (seen >= candidate.nth &&
                (candidate.count == 0 || seen < candidate.nth + candidate.count)) {
                fault = candidate;
            }
        }
    }
    auto due = loopNow;
    std::chrono::milliseconds pause{0};
    size_t firstSegment = message.size();
    if (fault) {
        const bool connected =
            command == EIP_CMD_SEND_UNIT_DATA && message.size() >= EIP_UNIT_DATA_FRONT_SIZE;
        switch (fault->action) {
            case FaultAction::Drop:
                Log("fault: reply dropped");
                return Next::Continue;
            case FaultAction::Close:
                Log("fault: connection closed instead of a reply");
                return Next::Close;
            case FaultAction::Delay:
                due += fault->delay;
                break;
            case FaultAction::CloseMidReply:
                Log("fault: connection closed in the middle of a reply");
                message.resize(fault->splitAt != 0 ? std::min(fault->splitAt, message.size())
                                                   : message.size() / 2);
                Enqueue(session, Outgoing{std::move(message), 0, due, true});
                return Next::Continue;
            case FaultAction::Split:
                firstSegment = fault->splitAt != 0 ? std::min(fault->splitAt, message.size())
                                                   : message.size() / 2;
                pause = fault->delay.count() != 0 ? fault->delay : kDefaultSplitPause;
                break;
            case FaultAction::WrongConnectionId:
                if (connected) {
                    PutLittleEndian32(GetLittleEndian32(&message[36]) + 1, &message[36]);
                }
                break;
            case FaultAction::WrongSequenceCount:
                if (connected) {
                    const size_t at = EIP_UNIT_DATA_ITEM_START;
                    PutLittleEndian16(static_cast<uint16_t>(GetLittleEndian16(&message[at]) + 1),
                                      &message[at]);
                }
                break;
            case FaultAction::Mutate:
                if (fault->mutate) {
                    fault->mutate(message);
                }
                break;
        }
    }
    if (firstSegment < message.size()) {
        std::vector<uint8_t> rest(message.begin() + firstSegment, message.end());
        message.resize(firstSegment);
        session.out.push_back(Outgoing{std::move(message), 0, due, false});
        session.out.push_back(Outgoing{std::move(rest), 0, due + pause, false});
        Flush(session);
        return Next::Continue;
    }
    Enqueue(session, Outgoing{std::move(message), 0, due, false});
    return Next::Continue;
}

// ---- ListIdentity and ListServices ----------------------------------------------------------

// ListIdentity reply body:
// | size | field                                                    |
// |    2 | item count 1                                             |
// |    2 | item type 0x0C, 2 | item length                          |
// |    2 | encapsulation protocol version                           |
// |   16 | socket address, big-endian: family 2, port, address, 0s  |
// |    n | identity: as Get Attributes All (vendor ... product name) |
// |    1 | state                                                    |
std::vector<uint8_t> PlcSimulator::ListIdentityBody() const {
    ByteWriter writer;
    writer.u16(1).u16(kCpfItemListIdentity);
    const auto length = writer.reserve_u16();
    writer.u16(EIP_PROTOCOL_VERSION)
        .u16_be(AF_INET)
        .u16_be(boundPort)
        .u32_be(ntohl(boundAddress.sin_addr.s_addr))
        .zeros(8)
        .bytes(IdentityAttributes())
        .u8(kIdentityStateOperational);
    writer.patch_length_from(length);
    return writer.to_vector();
}

std::vector<uint8_t> PlcSimulator::ListBody(uint16_t command) const {
    return command == EIP_CMD_LIST_IDENTITY ? ListIdentityBody() : ListServicesBody();
}

// ListServices reply body: item count 1; item type 0x100, length 20, version, capability
// flags, service name (16 bytes, NUL padded).
std::vector<uint8_t> PlcSimulator::ListServicesBody() {
    ByteWriter writer;
    writer.u16(1).u16(kCpfItemListServices).u16(4 + kServiceNameSize);
    writer.u16(EIP_PROTOCOL_VERSION).u16(kServiceCapabilities);
    writer.bytes(kServiceName, sizeof kServiceName - 1)
        .zeros(kServiceNameSize - (sizeof kServiceName - 1));
    return writer.to_vector();
}

// ListIdentity (and ListServices) datagrams, answered to their sender; anything else is
// ignored, as a device's UDP encapsulation port does.
void PlcSimulator::AnswerDatagrams() {
    uint8_t datagram[kMaxDatagram];
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    ssize_t n = 0;
    while ((n = ::recvfrom(udpFd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from),
                           &fromSize)) >= 0) {
        const Header header = Header::Parse(ByteView{datagram, static_cast<size_t>(n)});
        if (static_cast<size_t>(n) != EIP_ENCAP_HEADER_SIZE ||
            (header.command != EIP_CMD_LIST_IDENTITY && header.command != kCmdListServices)) {
            NoteProtocolError("UDP datagram of " + std::to_string(n) + " bytes, command " +
                              std::to_string(header.command));
            continue;
        }
        ByteWriter reply = StartReply(header, EIP_ENCAP_STATUS_SUCCESS);
        reply.bytes(ListBody(header.command));
        reply.patch_u16(kEncapLengthSlot,
                        static_cast<uint16_t>(reply.size() - EIP_ENCAP_HEADER_SIZE));
        ::sendto(udpFd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                 fromSize);
        fromSize = sizeof from;
    }
}

// ---- Unconnected Send --------------------------------------------------------------------------

// Unconnected Send request data (after service 0x52 and the Connection Manager path):
// | size | field                                              |
// |    1 | priority / time tick                               |
// |    1 | time-out ticks                                     |
// |    2 | embedded message length n                          |
// |    n | embedded Message Router request (+1 pad if n odd)  |
// |    1 | route path size (words)                            |
// |    1 | reserved                                           |
// |  2*w | route path: port segment 0x01, slot                |
// On success the reply is the embedded request's own reply; a routing failure answers the
// Unconnected Send itself with general status 0x01 and the remaining path size.
void PlcSimulator::ExecuteUnconnected(ByteView request, uint32_t sessionHandle, ByteWriter& out) {
    uint8_t service = 0;
    ByteView path;
    ByteView data;
    LogicalPath target;
    if (!MessageRouter::DecodeRequest(request, service, path, data) ||
        service != CIP_SVC_UNCONNECTED_SEND || !ParseLogicalPath(path, target) ||
        target.classId != CIP_CLASS_CONNECTION_MANAGER) {
        router.Execute(request, nullptr, sessionHandle, out);
        return;
    }
    ByteReader reader(data);
    reader.u8();  // priority / time tick
    reader.u8();  // time-out ticks
    const uint16_t embeddedLength = reader.u16();
    const ByteView embedded = reader.bytes(embeddedLength);
    if (embeddedLength % 2 != 0) {
        reader.u8();  // pad byte
    }
    const uint8_t routeWords = reader.u8();
    reader.u8();  // reserved
    const ByteView route = reader.bytes(static_cast<size_t>(routeWords) * 2);
    if (!reader.ok() || !reader.at_end() || embeddedLength == 0) {
        NoteProtocolError("Unconnected Send of " + std::to_string(data.size) +
                          " bytes does not match its lengths");
        MessageRouter::EncodeStatus(service, CipReplyStatus::Of(CIP_STATUS_NOT_ENOUGH_DATA), out);
        return;
    }
    const uint16_t routeStatus = CheckConnectionPath(route);
    // The route ends at the controller: only the port segment, nothing after it.
    if (route.size != 2 || routeStatus != CIP_STATUS_SUCCESS) {
        const uint16_t ext = route.size != 2 && routeStatus == CIP_STATUS_SUCCESS
                                 ? CIP_EXT_INVALID_SEGMENT
                                 : routeStatus;
        Log("Unconnected Send routing error " + std::to_string(ext));
        MessageRouter::EncodeReply(
            service, CipReply::Error(CIP_STATUS_CONNECTION_FAILURE, {ext}, {routeWords}), out);
        return;
    }
    router.Execute(embedded, nullptr, sessionHandle, out);
}

// A route or connection path starts with the port segment to our slot; a connection path then
// names the Message Router (class 2, instance 1). Returns 0 or the additional status.
uint16_t PlcSimulator::CheckConnectionPath(ByteView path) const {
    ByteReader reader(path);
    const uint8_t port = reader.u8();
    const uint8_t link = reader.u8();
    if (!reader.ok() || (port & CIP_SEG_PORT_MASK) != CIP_SEG_PORT ||
        (port & CIP_SEG_PORT_EXTENDED_LINK) != 0) {
        return CIP_EXT_INVALID_SEGMENT;
    }
    if ((port & 0x0F) != CIP_PORT_BACKPLANE) {
        return CIP_EXT_INVALID_PORT;
    }
    if (link != static_cast<uint8_t>(config.slot)) {
        return CIP_EXT_INVALID_LINK_ADDRESS;
    }
    if (reader.at_end()) {
        return CIP_STATUS_SUCCESS;
    }
    LogicalPath target;
    if (!ParseLogicalPath(reader.rest(), target) || target.classId != CIP_CLASS_MESSAGE_ROUTER ||
        !target.hasInstance || target.instanceId != 1 || target.hasAttribute) {
        return CIP_EXT_INVALID_SEGMENT;
    }
    return CIP_STATUS_SUCCESS;
}

// ---- Built-in objects --------------------------------------------------------------------------

void PlcSimulator::RegisterBuiltInObjects() {
    router.RegisterClass(CIP_CLASS_IDENTITY,
                         [this](const CipRequest& request) { return IdentityService(request); });
    router.RegisterClass(CIP_CLASS_CONNECTION_MANAGER, [this](const CipRequest& request) {
        return ConnectionManagerService(request);
    });
}

// Identity Get Attributes All reply data:
// | size | field                                  |
// |    2 | vendor ID                              |
// |    2 | device type                            |
// |    2 | product code                           |
// |    2 | revision: major, minor                 |
// |    2 | status                                 |
// |    4 | serial number                          |
// |  1+n | product name (SHORT_STRING)            |
std::vector<uint8_t> PlcSimulator::IdentityAttributes() const {
    const IdentityConfig& id = config.identity;
    const std::string name = id.productName.substr(0, 32);
    ByteWriter writer;
    writer.u16(id.vendorId)
        .u16(id.deviceType)
        .u16(id.productCode)
        .u8(id.majorRevision)
        .u8(id.minorRevision)
        .u16(id.status)
        .u32(id.serialNumber)
        .u8(static_cast<uint8_t>(name.size()))
        .bytes(name);
    return writer.to_vector();
}

CipReply PlcSimulator::IdentityService(const CipRequest& request) const {
    LogicalPath path;
    if (!ParseLogicalPath(request.path, path) || path.hasAttribute) {
        return CipReply::Error(CIP_STATUS_PATH_SEGMENT_ERROR);
    }
    if (!path.hasInstance || path.instanceId != 1) {
        return CipReply::Error(CIP_STATUS_OBJECT_DOES_NOT_EXIST);
    }
    if (request.service != CIP_SVC_GET_ATTRIBUTES_ALL) {
        return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    if (!request.data.empty()) {
        return CipReply::Error(CIP_STATUS_TOO_MUCH_DATA);
    }
    return CipReply::Success(IdentityAttributes());
}

CipReply PlcSimulator::ConnectionManagerService(const CipRequest& request) {
    LogicalPath path;
    if (!ParseLogicalPath(request.path, path) || path.hasAttribute) {
        return CipReply::Error(CIP_STATUS_PATH_SEGMENT_ERROR);
    }
    if (!path.hasInstance || path.instanceId != 1) {
        return CipReply::Error(CIP_STATUS_OBJECT_DOES_NOT_EXIST);
    }
    switch (request.service) {
        case CIP_SVC_FORWARD_OPEN:
        case kSvcLargeForwardOpen:
            return ForwardOpen(request, request.service == kSvcLargeForwardOpen);
        case CIP_SVC_FORWARD_CLOSE:
            return ForwardClose(request);
        default:
            // An Unconnected Send reaching the router here was not addressed to us.
            return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
}

namespace {

// Connection sizes a controller grants on each service.
constexpr uint16_t kMaxForwardOpenSize = 511;
constexpr uint16_t kMaxLargeForwardOpenSize = 4002;

}  // namespace

// Reply data: O->T ID, T->O ID, triad, O->T API, T->O API, application reply size, reserved.
// A refusal carries the triad, remaining path size 0 and reserved; a refused size also names
// the largest size granted as a second additional status word.
CipReply PlcSimulator::ForwardOpen(const CipRequest& request, bool large) {
    if (large && !config.largeForwardOpen) {
        return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    ForwardOpenRequest open;
    const ByteReader reader = ReadForwardOpen(request.data, large, open);
    if (!reader.ok()) {
        NoteProtocolError("Forward Open shorter than its fields");
        return CipReply::Error(CIP_STATUS_NOT_ENOUGH_DATA);
    }
    if (!reader.at_end()) {
        NoteProtocolError("Forward Open longer than its connection path");
        return CipReply::Error(CIP_STATUS_TOO_MUCH_DATA);
    }
    const std::vector<uint8_t> triad = TriadReply(open.serial, open.vendor, open.originatorSerial);
    auto refuse = [&](std::vector<uint16_t> ext, const std::string& why) {
        Log("Forward Open refused (" + std::to_string(ext.front()) + "): " + why);
        return CipReply::Error(CIP_STATUS_CONNECTION_FAILURE, std::move(ext), triad);
    };
    const uint16_t largestSize =
        std::min(config.maxConnectionSize, large ? kMaxLargeForwardOpenSize : kMaxForwardOpenSize);
    std::unique_lock<std::mutex> lock(mutex);
    ++counters.forwardOpens;
    const ForwardOpenFault fault = forwardOpenFault;
    if (fault.refuseGeneralStatus != 0) {
        lock.unlock();
        return CipReply::Error(fault.refuseGeneralStatus, {fault.refuseExtStatus}, triad);
    }
    if ((open.transport & CIP_TRANSPORT_CLASS_MASK) != 3) {
        return refuse({CIP_EXT_TRANSPORT_NOT_SUPPORTED}, "transport class not 3");
    }
    if (!open.pointToPoint) {
        return refuse({CIP_EXT_INVALID_CONNECTION_TYPE}, "not point-to-point");
    }
    if (open.otSize == 0 || open.toSize == 0) {
        return refuse({CIP_EXT_INVALID_CONNECTION_SIZE}, "connection size 0");
    }
    if (open.otSize > largestSize || open.toSize > largestSize) {
        return refuse({CIP_EXT_INVALID_CONNECTION_SIZE, largestSize},
                      "connection size above " + std::to_string(largestSize));
    }
    if (open.otRpi == 0 || open.toRpi == 0) {
        return refuse({CIP_EXT_RPI_NOT_SUPPORTED}, "RPI of 0");
    }
    const uint16_t pathStatus = CheckConnectionPath(open.path);
    if (pathStatus != CIP_STATUS_SUCCESS || open.path.size == 2) {
        return refuse({pathStatus != CIP_STATUS_SUCCESS ? pathStatus : CIP_EXT_INVALID_SEGMENT},
                      "connection path");
    }
    for (const auto& entry : connections) {
        const CipConnection& other = entry.second.info;
        if (other.connectionSerial == open.serial && other.originatorVendorId == open.vendor &&
            other.originatorSerial == open.originatorSerial) {
            return refuse({CIP_EXT_CONNECTION_IN_USE}, "triad already open");
        }
    }
    ConnectionState state;
    state.info.otConnectionId = kConnectionIdBase + ++nextConnectionId;
    state.info.toConnectionId = open.toId;
    state.info.connectionSerial = open.serial;
    state.info.originatorVendorId = open.vendor;
    state.info.originatorSerial = open.originatorSerial;
    state.info.otRpiMicroseconds = open.otRpi;
    state.info.toRpiMicroseconds = open.toRpi;
    state.info.otConnectionSize = open.otSize;
    state.info.toConnectionSize = open.toSize;
    state.info.sessionHandle = request.sessionHandle;
    state.timeout = std::chrono::microseconds(static_cast<uint64_t>(open.otRpi) * 4
                                              << std::min<uint8_t>(open.timeoutMultiplier, 7));
    state.lastActivity = Clock::now();
    connections[state.info.otConnectionId] = state;
    nextExpiryCheck.store(std::min(nextExpiryCheck.load(), state.lastActivity + state.timeout));
    lock.unlock();

    Log("Forward Open granted O->T " + std::to_string(state.info.otConnectionId) + ", " +
        std::to_string(open.toSize) + " bytes");
    return CipReply::Success(GrantReply(
        state.info.otConnectionId, open.toId, fault.echoConnectionSerial.value_or(open.serial),
        fault.echoVendorId.value_or(open.vendor),
        fault.echoOriginatorSerial.value_or(open.originatorSerial), open.otRpi, open.toRpi));
}

// Forward Close request data: priority / tick, time-out ticks, triad, connection path size
// (words), reserved, connection path. Reply data: triad, application reply size 0, reserved.
CipReply PlcSimulator::ForwardClose(const CipRequest& request) {
    ByteReader reader(request.data);
    reader.u8();
    reader.u8();
    const uint16_t serial = reader.u16();
    const uint16_t vendor = reader.u16();
    const uint32_t originatorSerial = reader.u32();
    const uint8_t pathWords = reader.u8();
    reader.u8();  // reserved
    const ByteView path = reader.bytes(static_cast<size_t>(pathWords) * 2);
    if (!reader.ok() || !reader.at_end()) {
        NoteProtocolError("Forward Close does not match its connection path size");
        return CipReply::Error(reader.ok() ? CIP_STATUS_TOO_MUCH_DATA : CIP_STATUS_NOT_ENOUGH_DATA);
    }
    const std::vector<uint8_t> triad = TriadReply(serial, vendor, originatorSerial);
    const uint16_t pathStatus = CheckConnectionPath(path);
    if (pathStatus != CIP_STATUS_SUCCESS) {
        return CipReply::Error(CIP_STATUS_CONNECTION_FAILURE, {pathStatus}, triad);
    }
    std::lock_guard<std::mutex> lock(mutex);
    ++counters.forwardCloses;
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        const CipConnection& open = it->second.info;
        if (open.connectionSerial == serial && open.originatorVendorId == vendor &&
            open.originatorSerial == originatorSerial) {
            connections.erase(it);
            return CipReply::Success(triad);
        }
    }
    return CipReply::Error(CIP_STATUS_CONNECTION_FAILURE, {CIP_EXT_CONNECTION_NOT_FOUND}, triad);
}

}  // namespace plcsim
