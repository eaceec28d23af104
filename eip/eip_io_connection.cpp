#include "eip/eip_io_connection.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <system_error>

#include "common/eip_log.h"
#include "eip/cip_wire.h"
#include "eip/eip_connection.h"

using eiplog::Text;

namespace {

// Forward Open of a class-1 connection: a tick of 2^5 = 32 ms, 156 ticks (4992 ms).
constexpr uint8_t kIoTick = 0x05;
constexpr uint8_t kIoTimeoutTicks = 0x9C;
// The connection times out after 4 << multiplier packet intervals without data.
constexpr uint8_t kIoTimeoutMultiplier = 0;
// O->T network connection parameters: point-to-point, scheduled priority, fixed size,
// 2 bytes (the consumer sends only its CIP sequence count). T->O adds the tag's data length.
constexpr uint16_t kIoConnectionParams = 0x4802;
// Transport class and trigger: client, cyclic, class 1.
constexpr uint8_t kTransportClientCyclicClass1 = 0x01;
constexpr uint8_t kElectronicKeyFormat4 = 0x04;
// Connection path words besides the symbol: electronic key (5 words), symbolic segment head.
constexpr uint8_t kIoPathFixedWords = 6;
constexpr uint16_t kSockaddrFamilyInet = AF_INET;
constexpr size_t kSockaddrZeroBytes = 8;
constexpr int kMulticastTtl = 1;

int WarnClose(int fd, const std::string& text) {
    eiplog::Error("OpenUDP", text);
    close(fd);
    return -2;
}

}  // namespace

// ---- Datagrams ---------------------------------------------------------------------------------

IoDatagramStatus ParseIODatagram(ByteView bytes, IoDatagram& out) {
    out = IoDatagram{};
    ByteReader reader(bytes);
    out.itemCount = reader.u16();
    if (!reader.ok()) {
        return IoDatagramStatus::Truncated;
    }
    if (out.itemCount != IO_DATAGRAM_ITEM_COUNT) {
        return IoDatagramStatus::WrongItemCount;
    }
    while (reader.remaining() >= 2 && !out.hasData) {
        const uint16_t type = reader.u16();
        if (type == CPF_ITEM_SEQUENCED_ADDRESS) {
            reader.u16();  // item length
            out.connectionId = reader.u32();
            out.sequence = reader.u32();
            out.hasAddress = reader.ok();
        } else if (type == CPF_ITEM_CONNECTED_DATA) {
            reader.u16();  // item length
            out.cipSequence = reader.u16();
            out.data = reader.rest();
            out.hasData = reader.ok();
        }
    }
    if (!reader.ok()) {
        return IoDatagramStatus::Truncated;
    }
    return out.hasAddress && out.hasData ? IoDatagramStatus::Ok : IoDatagramStatus::MissingItem;
}

bool BuildIOReply(uint32_t otConnectionId, const IoDatagram& received, uint8_t* buffer,
                  size_t capacity) {
    ByteWriter writer(buffer, capacity);
    writer.u16(IO_DATAGRAM_ITEM_COUNT)
        .u16(CPF_ITEM_SEQUENCED_ADDRESS)
        .u16(8)
        .u32(otConnectionId)
        .u32(received.sequence + 1)
        .u16(CPF_ITEM_CONNECTED_DATA)
        .u16(2)
        .u16(static_cast<uint16_t>(received.cipSequence + 1));
    return writer.ok();
}

IoVerdict AcceptIoDatagram(IoPeer& peer, const sockaddr_in& sender, uint32_t sequence) {
    if (sender.sin_family != AF_INET || sender.sin_addr.s_addr != peer.address.s_addr ||
        (peer.port != 0 && sender.sin_port != peer.port)) {
        return IoVerdict::Foreign;
    }
    if (peer.seen && static_cast<int32_t>(sequence - peer.lastSequence) <= 0) {
        return IoVerdict::Stale;
    }
    peer.seen = true;
    peer.lastSequence = sequence;
    return IoVerdict::Accepted;
}

// ---- Connection --------------------------------------------------------------------------------

EipIoConnection::EipIoConnection(std::unique_ptr<EipConnection> session)
    : session_(std::move(session)) {}

EipIoConnection::~EipIoConnection() = default;

int EipIoConnection::GetSocketFd() const {
    return session_ != nullptr ? session_->GetSocketFd() : -1;
}

in_addr EipIoConnection::PlcAddress() const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = GetSocketFd();
    if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET) {
        return in_addr{};
    }
    return peer.sin_addr;
}

int EipIoConnection::CloseIOConnection() {
    if (session_ != nullptr) {
        session_->Disconnect();
    }
    return 0;
}

int EipIoConnection::Fail() {
    eiplog::Info("OpenIOConnection", "Try to close IO connection...(test)");
    CloseIOConnection();
    return -1;
}

// Class-1 Forward Open (SendRRData with three items):
// | off  | size | value                                                      |
// |    0 |   24 | encapsulation header 0x006F, length = total - 24, session  |
// |   24 |    6 | interface handle 0, timeout 1024                           |
// |   30 |    2 | item count 3                                               |
// |   32 |    4 | null address item                                          |
// |   36 |    4 | 0x00B2 unconnected data item, 54 + padded name length      |
// |   40 |    6 | 0x54 Forward Open, path: class 6 instance 1                |
// |   46 |    2 | priority / tick 0x05, time-out ticks 0x9C                  |
// |   48 |    8 | O->T ID 0, proposed T->O ID                                |
// |   56 |    8 | connection serial, vendor 0x0100, originator serial        |
// |   64 |    4 | time-out multiplier 0 (x4), reserved                       |
// |   68 |    6 | O->T RPI (us), parameters 0x4802                           |
// |   74 |    6 | T->O RPI (us), parameters 0x4802 + dataLen                 |
// |   80 |    2 | transport 0x01, path size 6 + padded name / 2 (words)      |
// |   82 |   10 | electronic key: 0x34 0x04, vendor, type, product, revision |
// |   92 |  2+n | 0x91, n, the name, a 0x00 pad when n is odd                |
// | +0   |    4 | 0x8001 Sockaddr Info item (T->O), length 16                |
// | +4   |   16 | family 2, UDP port, own IPv4 address (big-endian), zeros   |
int EipIoConnection::BuildIOForwardOpen(uint8_t* buffer, size_t capacity,
                                        const IoForwardOpenParams& p) {
    if (p.tagName.size() > kMaxTagNameLength) {
        return -1;
    }
    const size_t paddedName = p.tagName.size() + (p.tagName.size() % 2);
    const uint32_t rpiMicroseconds = static_cast<uint32_t>(p.intervalMs) * 1000;
    ByteWriter writer(buffer, capacity);
    writer.u16(EIP_CMD_SEND_RR_DATA);
    const ByteWriter::Slot encapLength = writer.reserve_u16();
    writer.u32(p.sessionHandle).u32(0).zeros(8).u32(0);
    const size_t encapStart = writer.position();
    writer.u32(0).u16(CPF_REQUEST_TIMEOUT).u16(3);
    writer.u16(CPF_ITEM_NULL_ADDRESS).u16(0);
    writer.u16(CPF_ITEM_UNCONNECTED_DATA);
    const ByteWriter::Slot itemLength = writer.reserve_u16();
    writer.u8(CIP_SVC_FORWARD_OPEN)
        .u8(2)
        .u8(CIP_SEG_CLASS_8)
        .u8(CIP_CLASS_CONNECTION_MANAGER)
        .u8(CIP_SEG_INSTANCE_8)
        .u8(1)
        .u8(kIoTick)
        .u8(kIoTimeoutTicks)
        .u32(0)
        .u32(p.proposedTOConnectionId)
        .u16(p.connectionSerial)
        .u16(CIP_ORIGINATOR_VENDOR_ID)
        .u32(p.originatorSerial)
        .u8(kIoTimeoutMultiplier)
        .zeros(3)
        .u32(rpiMicroseconds)
        .u16(kIoConnectionParams)
        .u32(rpiMicroseconds)
        .u16(static_cast<uint16_t>(kIoConnectionParams + p.dataLen))
        .u8(kTransportClientCyclicClass1)
        .u8(static_cast<uint8_t>(kIoPathFixedWords + paddedName / 2))
        .u8(CIP_SEG_ELECTRONIC_KEY)
        .u8(kElectronicKeyFormat4)
        .u16(p.product.vendorId)
        .u16(p.product.deviceType)
        .u16(p.product.productCode)
        .u8(p.product.majorRevision)
        .u8(p.product.minorRevision)
        .u8(CIP_SEG_ANSI_SYMBOL)
        .u8(static_cast<uint8_t>(p.tagName.size()))
        .bytes(p.tagName)
        .zeros(paddedName - p.tagName.size());
    writer.patch_length_from(itemLength);
    writer.u16(CPF_ITEM_SOCKADDR_T_O)
        .u16(CPF_SOCKADDR_INFO_SIZE)
        .u16_be(kSockaddrFamilyInet)
        .u16_be(p.udpPort)
        .u32_be(ntohl(p.ownAddress.s_addr))
        .zeros(kSockaddrZeroBytes);
    writer.patch_length_from(encapLength, encapStart);
    return writer.ok() ? static_cast<int>(writer.size()) : -1;
}

int EipIoConnection::OpenIOConnection(const TagInfo& tag, const ProductInfo& product,
                                      uint16_t intervalMs, uint16_t udpPort) {
    static const char* const op = "OpenIOConnection";
    const int fd = GetSocketFd();
    if (fd < 0 || session_->GetSessionHandle() == 0) {
        eiplog::Error(op, "invalidated socket.");
        return Fail();
    }
    if (intervalMs > kMaxIntervalMs) {
        eiplog::Error(op, Text("Interval must be smaller than 10000 : ", intervalMs));
        return Fail();
    }
    if (tag.tagName.size() > kMaxTagNameLength || tag.dataLen < 0 || tag.dataLen > 0xFFFF) {
        eiplog::Error(op, Text("tag name of ", tag.tagName.size(), " characters or data length ",
                               tag.dataLen, " cannot be requested"));
        return Fail();
    }
    std::string ownIp;
    if (GetRouteIP(session_->GetConnectionInfo().host, ownIp) != 0) {
        eiplog::Error(op, "can't find route ip");
        return Fail();
    }
    eiplog::Info(op, "my ip = " + ownIp);
    IoForwardOpenParams params;
    params.sessionHandle = session_->GetSessionHandle();
    params.proposedTOConnectionId = EipConnection::MakeConnectionID();
    params.connectionSerial = EipConnection::MakeConnectionSerial();
    params.originatorSerial = EipConnection::MakeSerialNumber();
    params.intervalMs = intervalMs;
    params.udpPort = udpPort;
    inet_pton(AF_INET, ownIp.c_str(), &params.ownAddress);
    params.tagName = tag.tagName;
    params.dataLen = static_cast<uint16_t>(tag.dataLen);
    params.product = product;
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int total = BuildIOForwardOpen(buffer, sizeof buffer, params);
    if (total < 0) {
        eiplog::Error(op, "failed building a Eip RRDataHeader");
        return Fail();
    }
    eiplog::Info(op, "Send start I/O Messaging");
    if (session_->EipSendData(buffer, static_cast<size_t>(total),
                              EipConnection::kRequestTimeoutSeconds) != 0) {
        eiplog::Error(op, "failed to send");
        return Fail();
    }
    if (AcceptReply(params.connectionSerial) != 0) {
        return Fail();
    }
    // Four packet intervals of the PLC's (multiplier 0), the one it granted or else ours.
    const uint64_t interval = toApiMicroseconds_ != 0 ? toApiMicroseconds_ : intervalMs * 1000ull;
    dataTimeout_ = std::chrono::microseconds(interval << (kIoTimeoutMultiplier + 2));
    return 0;
}

// Forward Open reply data:
// | off | size | field                                        |
// |   0 |    4 | O->T connection ID (ours to send with)       |
// |   4 |    4 | T->O connection ID (on the PLC's datagrams)  |
// |   8 |    8 | triad: serial, vendor, originator serial     |
// |  16 |    4 | O->T actual packet interval (us)             |
// |  20 |    4 | T->O actual packet interval (us)             |
// |  24 |    2 | application reply size, reserved             |
int EipIoConnection::AcceptReply(uint16_t connectionSerial) {
    static const char* const op = "OpenIOConnection";
    uint8_t reply[EIP_MSG_BUFFER_SIZE] = {};
    EncapsulationMessage encap{};
    if (session_->EipReadDataByEncap(reply, encap, EipConnection::kRequestTimeoutSeconds) < 0) {
        eiplog::Error(op, "failed to recv");
        return -1;
    }
    auto cpf = std::make_unique<CpfMessage>();
    auto response = std::make_unique<ExplicitResponse>();
    if (EipConnection::EipParseUCMMRESP(0, 0, encap, *cpf, *response) < 0) {
        eiplog::Error(op, "unexpected : parseing cpf and explict response");
        return -1;
    }
    if (response->generalStatus != CIP_STATUS_SUCCESS) {
        EipConnection::LogResponseError("unexpected : explicit response error", *response);
        return -1;
    }
    if (response->service != (CIP_SVC_FORWARD_OPEN | CIP_SERVICE_REPLY)) {
        eiplog::Error(op, Text("unexpected : not support service (",
                               static_cast<unsigned>(response->service), ")"));
        return -1;
    }
    if (response->dataLength < CIP_FO_REPLY_SIZE) {
        eiplog::Error(op, Text("unexpected : wrong response data size : ", response->dataLength));
        return -1;
    }
    ByteReader reader(response->data, response->dataLength);
    const uint32_t otId = reader.u32();
    const uint32_t toId = reader.u32();
    const uint16_t serial = reader.u16();
    const uint16_t vendor = reader.u16();
    const uint32_t originatorSerial = reader.u32();
    reader.skip(4);  // O->T packet interval: the PLC's pace for our replies
    const uint32_t toApi = reader.u32();
    if (!reader.ok() || serial != connectionSerial || vendor != CIP_ORIGINATOR_VENDOR_ID ||
        originatorSerial != EipConnection::MakeSerialNumber()) {
        eiplog::Error(op, "unexpected : wrong response data");
        return -1;
    }
    otConnectionId_ = otId;
    toConnectionId_ = toId;
    toApiMicroseconds_ = toApi;
    grantedPort_ = SockaddrPort(*cpf);
    return 0;
}

// A T->O Sockaddr Info item of the reply (after the address and data items):
// | off | size | field                                   |
// |   0 |    2 | sin_family 2 (big-endian)               |
// |   2 |    2 | sin_port: the PLC's producing UDP port  |
// |   4 |   12 | sin_addr, 8 zero bytes                  |
uint16_t EipIoConnection::SockaddrPort(const CpfMessage& cpf) {
    for (uint16_t i = 2; i < cpf.itemCount && i < CPF_MAX_ITEMS; ++i) {
        const CpfItem& item = cpf.items[i];
        if (item.typeId != CPF_ITEM_SOCKADDR_T_O || item.length != CPF_SOCKADDR_INFO_SIZE) {
            continue;
        }
        ByteReader reader(item.data, item.length);
        const uint16_t family = reader.u16_be();
        const uint16_t port = reader.u16_be();
        if (reader.ok() && family == kSockaddrFamilyInet) {
            return htons(port);
        }
    }
    return 0;
}

// ---- UDP and routing ---------------------------------------------------------------------------

int EipIoConnection::OpenUDP(const std::string& host, uint16_t udpPort) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        eiplog::Error("OpenUDP", "create IO socket error.");
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(udpPort);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string why = std::system_category().message(errno);
        return WarnClose(fd, Text("open IO udp socket error. port ", udpPort, ": ", why));
    }
    const unsigned char ttl = kMulticastTtl;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
        return WarnClose(fd, "set sockopt IO udp socket ttl error.");
    }
    std::string interfaceIp;
    if (GetRouteIP(host, interfaceIp) != 0) {
        interfaceIp = "127.0.0.1";
        eiplog::Info("OpenUDP", "Can not find Route IP");
    }
    in_addr interface {};
    inet_pton(AF_INET, interfaceIp.c_str(), &interface);
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) != 0) {
        return WarnClose(fd, "set sockopt IO udp socket multicast error.");
    }
    return fd;
}

int EipIoConnection::GetRouteIP(const std::string& host, std::string& ownIp) {
    static const char* const op = "GetRouteIP";
    for (const char c : host) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') {
            eiplog::Error(op, "error, invalid character in IPv4 address - " + host);
            return -1;
        }
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    // Any port: connecting a datagram socket only asks the kernel for the route.
    target.sin_port = htons(9);
    if (inet_pton(AF_INET, host.c_str(), &target.sin_addr) != 1) {
        eiplog::Error(op, "error, invalid IPv4 address - " + host);
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool found =
        fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    if (fd >= 0) {
        close(fd);
    }
    char text[INET_ADDRSTRLEN] = {};
    if (!found || inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) == nullptr) {
        eiplog::Error(op, "error, can't find route ip address");
        return -1;
    }
    ownIp = text;
    return 0;
}
