#include "sim/plc_simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace plcsim {

namespace {

// How often blocked loops look at the running flag.
constexpr int kPollSliceMs = 50;
// Largest encapsulation body the simulator accepts (the length field's range).
constexpr size_t kMaxBody = 0xFFFF;
// Connection size limit of a (small) Forward Open on this controller.
constexpr uint16_t kMaxConnectionSize = 504;
// Pause between the two segments of a split reply when the fault gives none.
constexpr std::chrono::milliseconds kDefaultSplitPause{30};
// First session handle and O->T connection ID this controller hands out.
constexpr uint32_t kSessionHandleBase = 0x00020000;
constexpr uint32_t kConnectionIdBase = 0x7A3C0000;

// Reply data of a refused Forward Open and of a Forward Close: the triad, remaining path size
// (or application reply size) 0, reserved.
std::vector<uint8_t> TriadReply(uint16_t serial, uint16_t vendor, uint32_t originatorSerial) {
    ByteWriter writer;
    writer.u16(serial).u16(vendor).u32(originatorSerial).u8(0).u8(0);
    return writer.to_vector();
}

}  // namespace

// One TCP client. `fd` is closed by its session thread; Stop() only shuts it down.
struct PlcSimulator::Session {
    int fd = -1;
    uint32_t handle = 0;  // registered session handle, 0 before RegisterSession
    std::thread thread;
    std::atomic<bool> finished{false};
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
      io(std::make_unique<IoProducer>(config.bindAddress, config.identity)) {
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
        if (listenFd >= 0) {
            ::close(listenFd);
            listenFd = -1;
        }
        return false;
    };
    listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd < 0) {
        return failStart("socket");
    }
    const int yes = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(boundPort != 0 ? boundPort : config.port);
    if (::inet_pton(AF_INET, config.bindAddress.c_str(), &address.sin_addr) != 1) {
        errno = EINVAL;
        return failStart("bind address " + config.bindAddress);
    }
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return failStart("bind " + config.bindAddress + ":" + std::to_string(config.port));
    }
    if (::listen(listenFd, 16) != 0) {
        return failStart("listen");
    }
    socklen_t size = sizeof address;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &size);
    boundPort = ntohs(address.sin_port);
    running.store(true);
    acceptThread = std::thread([this] { AcceptLoop(); });
    Log("listening on " + config.bindAddress + ":" + std::to_string(boundPort) + ", slot " +
        std::to_string(config.slot));
    return true;
}

void PlcSimulator::Stop() {
    if (!running.exchange(false)) {
        return;
    }
    if (acceptThread.joinable()) {
        acceptThread.join();
    }
    ::close(listenFd);
    listenFd = -1;
    std::list<std::shared_ptr<Session>> stopping;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& session : sessions) {
            ::shutdown(session->fd, SHUT_RDWR);
        }
        stopping.swap(sessions);
        connections.clear();
    }
    for (const auto& session : stopping) {
        if (session->thread.joinable()) {
            session->thread.join();
        }
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
}

void PlcSimulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex);
    faults.clear();
    faultSeen.clear();
}

void PlcSimulator::SetForwardOpenFault(ForwardOpenFault fault) {
    std::lock_guard<std::mutex> lock(mutex);
    forwardOpenFault = fault;
}

SimStats PlcSimulator::Stats() const {
    std::lock_guard<std::mutex> lock(mutex);
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
    std::lock_guard<std::mutex> lock(mutex);
    size_t count = 0;
    for (const auto& session : sessions) {
        count += session->finished.load() ? 0 : 1;
    }
    return count;
}

void PlcSimulator::NoteProtocolError(const std::string& what) {
    Log("refused: " + what);
    std::lock_guard<std::mutex> lock(mutex);
    protocolErrors.push_back(what);
}

// ---- TCP server --------------------------------------------------------------------------------

void PlcSimulator::AcceptLoop() {
    while (running.load()) {
        ReapFinishedSessions();
        ExpireIdleConnections();
        pollfd entry{listenFd, POLLIN, 0};
        if (::poll(&entry, 1, kPollSliceMs) <= 0) {
            continue;
        }
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        auto session = std::make_shared<Session>();
        session->fd = fd;
        std::lock_guard<std::mutex> lock(mutex);
        ++stats.connectionsAccepted;
        sessions.push_back(session);
        session->thread = std::thread([this, session] { SessionLoop(session); });
    }
}

void PlcSimulator::ExpireIdleConnections() {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = connections.begin(); it != connections.end();) {
        if (now - it->second.lastActivity > it->second.timeout) {
            Log("connection " + std::to_string(it->first) + " timed out");
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void PlcSimulator::ReapFinishedSessions() {
    std::list<std::shared_ptr<Session>> finished;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = sessions.begin(); it != sessions.end();) {
            if ((*it)->finished.load()) {
                finished.push_back(*it);
                it = sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& session : finished) {
        session->thread.join();
    }
}

bool PlcSimulator::ReadFull(Session& session, uint8_t* buffer, size_t count) const {
    size_t got = 0;
    while (got < count) {
        if (!running.load()) {
            return false;
        }
        pollfd entry{session.fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, kPollSliceMs);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            continue;
        }
        if (ready < 0) {
            return false;
        }
        const ssize_t n = ::recv(session.fd, buffer + got, count - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

void PlcSimulator::SessionLoop(const std::shared_ptr<Session>& session) {
    std::vector<uint8_t> body(kMaxBody);
    uint8_t headerBytes[EIP_ENCAP_HEADER_SIZE];
    while (ReadFull(*session, headerBytes, sizeof headerBytes)) {
        const Header header = Header::Parse(ByteView{headerBytes, sizeof headerBytes});
        if (!ReadFull(*session, body.data(), header.length)) {
            break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++stats.requests;
        }
        if (HandleMessage(*session, header, ByteView{body.data(), header.length}) == Next::Close) {
            break;
        }
    }
    DropConnectionsOfSession(session->handle);
    ::close(session->fd);
    session->finished.store(true);
}

void PlcSimulator::CloseSession(uint32_t sessionHandle) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& session : sessions) {
        if (session->handle == sessionHandle) {
            ::shutdown(session->fd, SHUT_RDWR);
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
        case EIP_CMD_REGISTER_SESSION:
            return HandleRegisterSession(session, header, body);
        case EIP_CMD_UNREGISTER_SESSION:
            if (session.handle == 0 || header.sessionHandle != session.handle) {
                NoteProtocolError("UnRegisterSession of an unknown session");
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
        ++stats.sessionsRegistered;
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
PlcSimulator::Next PlcSimulator::Reply(Session& session, const Header& header, uint32_t status,
                                       ByteView body) {
    ByteWriter writer;
    writer.u16(header.command)
        .u16(static_cast<uint16_t>(body.size))
        .u32(header.sessionHandle)
        .u32(status)
        .bytes(header.senderContext, sizeof header.senderContext)
        .u32(0)
        .bytes(body);
    return SendThroughFaults(session, header.command, writer.to_vector());
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
// data holding the Message Router reply.
PlcSimulator::Next PlcSimulator::HandleSendRRData(Session& session, const Header& header,
                                                  ByteView body) {
    std::vector<uint8_t> reply;
    if (!io->ForwardOpen(body, session.handle, reply)) {
        ByteView address;
        ByteView request;
        std::string why;
        if (!ReadTwoItems(body, CPF_ITEM_NULL_ADDRESS, CPF_ITEM_UNCONNECTED_DATA, address, request,
                          why) ||
            !address.empty()) {
            NoteProtocolError("SendRRData: " + (why.empty() ? "null address item not empty" : why));
            return Reply(session, header, EIP_ENCAP_STATUS_INCORRECT_DATA, {});
        }
        reply = ExecuteUnconnected(request, session.handle);
    }
    ByteWriter writer;
    writer.u32(0)
        .u16(0)
        .u16(2)
        .u16(CPF_ITEM_NULL_ADDRESS)
        .u16(0)
        .u16(CPF_ITEM_UNCONNECTED_DATA)
        .u16(static_cast<uint16_t>(reply.size()))
        .bytes(reply);
    return Reply(session, header, EIP_ENCAP_STATUS_SUCCESS, writer.view());
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
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = connections.find(otId);
        if (found == connections.end() || found->second.info.sessionHandle != session.handle) {
            protocolErrors.push_back("SendUnitData on unknown connection " + std::to_string(otId));
            return Next::Continue;
        }
        ++stats.connectedRequests;
        found->second.lastActivity = std::chrono::steady_clock::now();
        connection = found->second.info;
        if (found->second.hasLastReply && found->second.lastSequence == sequence) {
            reply = found->second.lastReply;  // a repeated request: answer again, run once
        }
    }
    if (reply.empty()) {
        reply = router.Execute(request, &connection, session.handle);
        std::lock_guard<std::mutex> lock(mutex);
        auto found = connections.find(otId);
        if (found != connections.end()) {
            found->second.hasLastReply = true;
            found->second.lastSequence = sequence;
            found->second.lastReply = reply;
        }
    }
    ByteWriter writer;
    writer.u32(0)
        .u16(0)
        .u16(2)
        .u16(CPF_ITEM_CONNECTED_ADDRESS)
        .u16(4)
        .u32(connection.toConnectionId)
        .u16(CPF_ITEM_CONNECTED_DATA)
        .u16(static_cast<uint16_t>(reply.size() + 2))
        .u16(sequence)
        .bytes(reply);
    return Reply(session, header, EIP_ENCAP_STATUS_SUCCESS, writer.view());
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
    auto sendAll = [&session](const uint8_t* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(session.fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    };
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
                std::this_thread::sleep_for(fault->delay);
                break;
            case FaultAction::CloseMidReply:
                Log("fault: connection closed in the middle of a reply");
                message.resize(fault->splitAt != 0 ? std::min(fault->splitAt, message.size())
                                                   : message.size() / 2);
                sendAll(message.data(), message.size());
                return Next::Close;
            case FaultAction::Split:
                firstSegment = fault->splitAt != 0 ? std::min(fault->splitAt, message.size())
                                                   : message.size() / 2;
                pause = fault->delay.count() != 0 ? fault->delay : kDefaultSplitPause;
                break;
            case FaultAction::WrongConnectionId:
                if (connected) {
                    eip_PutLitEndian32(eip_GetLitEndian32(&message[36]) + 1, &message[36]);
                }
                break;
            case FaultAction::WrongSequenceCount:
                if (connected) {
                    const size_t at = EIP_UNIT_DATA_ITEM_START;
                    eip_PutLitEndian16(static_cast<uint16_t>(eip_GetLitEndian16(&message[at]) + 1),
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
    if (!sendAll(message.data(), firstSegment)) {
        return Next::Close;
    }
    if (firstSegment < message.size()) {
        std::this_thread::sleep_for(pause);
        if (!sendAll(message.data() + firstSegment, message.size() - firstSegment)) {
            return Next::Close;
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    ++stats.repliesSent;
    return Next::Continue;
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
std::vector<uint8_t> PlcSimulator::ExecuteUnconnected(ByteView request, uint32_t sessionHandle) {
    uint8_t service = 0;
    ByteView path;
    ByteView data;
    LogicalPath target;
    if (!MessageRouter::DecodeRequest(request, service, path, data) ||
        service != CIP_SVC_UNCONNECTED_SEND || !ParseLogicalPath(path, target) ||
        target.classId != CIP_CLASS_CONNECTION_MANAGER) {
        return router.Execute(request, nullptr, sessionHandle);
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
        return MessageRouter::EncodeReply(service, CipReply::Error(CIP_STATUS_NOT_ENOUGH_DATA));
    }
    const uint16_t routeStatus = CheckConnectionPath(route);
    // The route ends at the controller: only the port segment, nothing after it.
    if (route.size != 2 || routeStatus != CIP_STATUS_SUCCESS) {
        const uint16_t ext = route.size != 2 && routeStatus == CIP_STATUS_SUCCESS
                                 ? CIP_EXT_INVALID_SEGMENT
                                 : routeStatus;
        Log("Unconnected Send routing error " + std::to_string(ext));
        return MessageRouter::EncodeReply(
            service, CipReply::Error(CIP_STATUS_CONNECTION_FAILURE, {ext}, {routeWords}));
    }
    return router.Execute(embedded, nullptr, sessionHandle);
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
            return ForwardOpen(request);
        case CIP_SVC_FORWARD_CLOSE:
            return ForwardClose(request);
        default:
            // An Unconnected Send reaching the router here was not addressed to us.
            return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
}

// Forward Open request data:
// | size | field                                   |
// |    2 | priority / tick, time-out ticks         |
// |    4 | O->T connection ID (target chooses)     |
// |    4 | T->O connection ID (originator chooses) |
// |    8 | triad: serial, vendor, originator serial|
// |    4 | time-out multiplier, reserved           |
// |    6 | O->T RPI, O->T parameters               |
// |    6 | T->O RPI, T->O parameters               |
// |    1 | transport class / trigger               |
// |  1+2w| connection path size (words), path      |
// Reply data: O->T ID, T->O ID, triad, O->T API, T->O API, application reply size, reserved.
CipReply PlcSimulator::ForwardOpen(const CipRequest& request) {
    ByteReader reader(request.data);
    reader.u8();   // priority / time tick
    reader.u8();   // time-out ticks
    reader.u32();  // proposed O->T ID: a controller chooses its own
    const uint32_t toId = reader.u32();
    const uint16_t serial = reader.u16();
    const uint16_t vendor = reader.u16();
    const uint32_t originatorSerial = reader.u32();
    const uint8_t timeoutMultiplier = reader.u8();
    reader.skip(3);
    const uint32_t otRpi = reader.u32();
    const uint16_t otParams = reader.u16();
    const uint32_t toRpi = reader.u32();
    const uint16_t toParams = reader.u16();
    const uint8_t transport = reader.u8();
    const uint8_t pathWords = reader.u8();
    const ByteView path = reader.bytes(static_cast<size_t>(pathWords) * 2);
    if (!reader.ok()) {
        NoteProtocolError("Forward Open shorter than its fields");
        return CipReply::Error(CIP_STATUS_NOT_ENOUGH_DATA);
    }
    if (!reader.at_end()) {
        NoteProtocolError("Forward Open longer than its connection path");
        return CipReply::Error(CIP_STATUS_TOO_MUCH_DATA);
    }
    const std::vector<uint8_t> triad = TriadReply(serial, vendor, originatorSerial);
    auto refuse = [&](uint16_t ext, const std::string& why) {
        Log("Forward Open refused (" + std::to_string(ext) + "): " + why);
        return CipReply::Error(CIP_STATUS_CONNECTION_FAILURE, {ext}, triad);
    };
    std::unique_lock<std::mutex> lock(mutex);
    ++stats.forwardOpens;
    const ForwardOpenFault fault = forwardOpenFault;
    if (fault.refuseGeneralStatus != 0) {
        lock.unlock();
        return CipReply::Error(fault.refuseGeneralStatus, {fault.refuseExtStatus}, triad);
    }
    if ((transport & CIP_TRANSPORT_CLASS_MASK) != 3) {
        return refuse(CIP_EXT_TRANSPORT_NOT_SUPPORTED, "transport class not 3");
    }
    if ((otParams & CIP_NCP_TYPE_MASK) != CIP_NCP_TYPE_POINT_TO_POINT ||
        (toParams & CIP_NCP_TYPE_MASK) != CIP_NCP_TYPE_POINT_TO_POINT) {
        return refuse(CIP_EXT_INVALID_CONNECTION_TYPE, "not point-to-point");
    }
    const uint16_t otSize = otParams & CIP_NCP_SIZE_MASK;
    const uint16_t toSize = toParams & CIP_NCP_SIZE_MASK;
    if (otSize == 0 || otSize > kMaxConnectionSize || toSize == 0 || toSize > kMaxConnectionSize) {
        return refuse(CIP_EXT_INVALID_CONNECTION_SIZE, "connection size");
    }
    if (otRpi == 0 || toRpi == 0) {
        return refuse(CIP_EXT_RPI_NOT_SUPPORTED, "RPI of 0");
    }
    const uint16_t pathStatus = CheckConnectionPath(path);
    if (pathStatus != CIP_STATUS_SUCCESS || path.size == 2) {
        return refuse(pathStatus != CIP_STATUS_SUCCESS ? pathStatus : CIP_EXT_INVALID_SEGMENT,
                      "connection path");
    }
    for (const auto& entry : connections) {
        const CipConnection& open = entry.second.info;
        if (open.connectionSerial == serial && open.originatorVendorId == vendor &&
            open.originatorSerial == originatorSerial) {
            return refuse(CIP_EXT_CONNECTION_IN_USE, "triad already open");
        }
    }
    ConnectionState state;
    state.info.otConnectionId = kConnectionIdBase + ++nextConnectionId;
    state.info.toConnectionId = toId;
    state.info.connectionSerial = serial;
    state.info.originatorVendorId = vendor;
    state.info.originatorSerial = originatorSerial;
    state.info.otRpiMicroseconds = otRpi;
    state.info.toRpiMicroseconds = toRpi;
    state.info.otConnectionSize = otSize;
    state.info.toConnectionSize = toSize;
    state.info.sessionHandle = request.sessionHandle;
    state.timeout = std::chrono::microseconds(static_cast<uint64_t>(otRpi) * 4
                                              << std::min<uint8_t>(timeoutMultiplier, 7));
    state.lastActivity = std::chrono::steady_clock::now();
    connections[state.info.otConnectionId] = state;
    lock.unlock();

    ByteWriter writer;
    writer.u32(state.info.otConnectionId)
        .u32(toId)
        .u16(fault.echoConnectionSerial.value_or(serial))
        .u16(fault.echoVendorId.value_or(vendor))
        .u32(fault.echoOriginatorSerial.value_or(originatorSerial))
        .u32(otRpi)
        .u32(toRpi)
        .u8(0)
        .u8(0);
    Log("Forward Open granted O->T " + std::to_string(state.info.otConnectionId));
    return CipReply::Success(writer.to_vector());
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
    ++stats.forwardCloses;
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
