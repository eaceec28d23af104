#include "eip/eip_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "action/link_errors.h"
#include "common/byte_codec.h"
#include "common/eip_log.h"

using eiplog::Text;

std::mutex EipConnection::generatorMutex;
uint32_t EipConnection::serialNumber = 0;

namespace {

// Sends never raise SIGPIPE: a peer that went away is an error result, not the end of the
// process.
constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
constexpr int kRecvFlags = MSG_DONTWAIT;
constexpr int kSocketAttempts = 3;
constexpr size_t kInterfaceListBufferSize = 1024;
constexpr int16_t kMaxInterfaceNameLength = 255;

// Identity Get Attributes All reply: fixed attributes up to the product name length byte.
constexpr size_t kIdentityNameLengthOffset = 14;
constexpr size_t kIdentityFixedSize = 15;
constexpr size_t kProductNameMax = 255;
constexpr const char* kUnknownProductName = "unknown";

std::string SystemText() {
    return std::strerror(errno);
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// The sender context of a message as one number (two little-endian 32-bit halves).
uint64_t SenderContextOf(const EncapsulationMessage& encap) {
    return GetLittleEndian32(encap.senderContext) |
           (static_cast<uint64_t>(GetLittleEndian32(encap.senderContext + 4)) << 32);
}

// The SendUnitData sequence count: the first word of the connected data item, which follows the
// CPF front (interface handle, timeout, item count) and the 8-byte connected address item.
constexpr size_t kUnitDataSequenceOffset = 6 + 2 + 8 + 4;

bool ReplySequenceIs(const EncapsulationMessage& encap, uint16_t sequence) {
    ByteReader reader(encap.data, encap.length);
    reader.skip(kUnitDataSequenceOffset);
    const uint16_t got = reader.u16();
    return reader.ok() && got == sequence;
}

// Writes the Message Router request front: service, path size (2 words), class and instance as
// 8-bit logical segments.
void WriteRequestFront(ByteWriter& writer, uint8_t service, uint16_t classId, uint16_t instanceId) {
    uint8_t front[6];
    const UcmmRequest request{service, classId, instanceId};
    EipConnection::BuildExplicitReqCommon(front, sizeof front, &request);
    writer.bytes(front, sizeof front);
}

// Route to the controller: port segment of backplane port 1 with the slot as link address,
// then the Message Router, instance 1.
void WriteConnectionPath(ByteWriter& writer, int slot) {
    writer.u8(CIP_PORT_BACKPLANE)
        .u8(static_cast<uint8_t>(slot & 0xFF))
        .u8(CIP_SEG_CLASS_8)
        .u8(static_cast<uint8_t>(CIP_CLASS_MESSAGE_ROUTER))
        .u8(CIP_SEG_INSTANCE_8)
        .u8(1);
}

constexpr uint8_t kConnectionPathWords = 3;

}  // namespace

// ---- Construction ------------------------------------------------------------------------------

EipConnection::EipConnection(const ConnectInfo* info)
    : recvFunc([](int fd, void* buffer, size_t length, int flags) {
          return ::recv(fd, buffer, length, flags);
      }),
      sendFunc([](int fd, const void* buffer, size_t length, int flags) {
          return ::send(fd, buffer, length, flags);
      }) {
    if (info != nullptr) {
        connectInfo = *info;
    }
}

EipConnection::~EipConnection() {
    Disconnect();
}

EipConnection* EipConnection::MakeTestConnection(const ConnectInfo& info, std::string& errorText,
                                                 int abortFd) {
    EipConnection* connection = Create(info.family, &info);
    if (connection == nullptr) {
        return nullptr;
    }
    connection->SetAbortFd(abortFd);
    if (!connection->ConnectAndRegister()) {
        errorText = link_error::Message(link_error::kConnectPlc);
        delete connection;
        return nullptr;
    }
    return connection;
}

bool EipConnection::ConnectAndRegister() {
    if (Connect(connectInfo.host, connectInfo.port, kConnectTimeoutSeconds) != 0 ||
        RegisterSession(kConnectTimeoutSeconds) != 0) {
        CloseSocket();
        return false;
    }
    return true;
}

// ---- Socket layer ------------------------------------------------------------------------------

void EipConnection::CloseSocket() {
    if (socketFd >= 0) {
        ::close(socketFd);
        socketFd = -1;
    }
}

// A registered session is ended with UnregisterSession before the socket closes, so that the
// controller frees its session slot at once (a controller has only a few tens of them).
void EipConnection::Disconnect() {
    if (socketFd >= 0 && sessionHandle != 0) {
        UnregisterSession();
    }
    CloseSocket();
}

// UnregisterSession: the encapsulation header alone (command 0x0066, length 0, our session
// handle); the target answers nothing and closes its side.
void EipConnection::UnregisterSession() {
    uint8_t request[EIP_ENCAP_HEADER_SIZE] = {};
    ByteWriter writer(request, sizeof request);
    writer.u16(EIP_CMD_UNREGISTER_SESSION).u16(0).u32(sessionHandle).u32(0).zeros(8).u32(0);
    if (EipSendData(request, writer.size(), kUnregisterTimeoutSeconds) != 0) {
        eiplog::Info("UnregisterSession",
                     Text("session ", sessionHandle, " closed without UnregisterSession"));
    }
}

// poll() rather than select(): it has no FD_SETSIZE limit, so a process with many PLCs and I/O
// sockets cannot overrun a descriptor set.
// A readable abort descriptor ends the wait as a time-out would, so that a device being
// stopped never waits out a silent PLC.
int EipConnection::WaitSocket(bool forWrite, uint8_t timeoutSeconds, bool& ready) const {
    pollfd entries[2] = {{socketFd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0},
                         {abortFd, POLLIN, 0}};
    const nfds_t count = abortFd >= 0 ? 2 : 1;
    const int result = ::poll(entries, count, static_cast<int>(timeoutSeconds) * 1000);
    if (result > 0 && count == 2 && entries[1].revents != 0) {
        ready = false;
        return 0;
    }
    ready = result > 0 && (entries[0].revents & (entries[0].events | POLLERR | POLLHUP)) != 0;
    return result;
}

int EipConnection::PendingSocketError() const {
    int pending = 0;
    socklen_t size = sizeof pending;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
        return -1;
    }
    return pending;
}

int EipConnection::Connect(const std::string& host, int port, uint8_t timeoutSeconds) {
    static const char* const op = "Connect";
    eiplog::Info(op, Text("Connect to ", host, ":", port));
    CloseSocket();  // a reconnect on the same object never leaks the old descriptor
    reopenBeforeUse = false;
    connectionSize = 0;
    errno = 0;
    socketFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socketFd < 0) {
        eiplog::Error(op, "Socket create failed.");
        return -1;
    }
    eiplog::Info(op, Text("Socket FD = ", socketFd));
    const int flags = ::fcntl(socketFd, F_GETFL, 0);
    ::fcntl(socketFd, F_SETFL, flags | O_NONBLOCK);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (port <= 0 || port > 0xFFFF || ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        errno = EINVAL;
        eiplog::Error(op, "Socket connect failed. - " + SystemText());
        CloseSocket();
        return -1;
    }
    if (::connect(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS) {
        eiplog::Error(op, "Socket connect failed. - " + SystemText());
        CloseSocket();
        return -1;
    }
    bool ready = false;
    if (WaitSocket(true, timeoutSeconds, ready) == 0) {
        errno = ETIMEDOUT;
        eiplog::Error(op, "Socket select failed. - " + SystemText());
        CloseSocket();
        return -1;
    }
    if (!ready) {
        eiplog::Error(op, "Socket connect failed. - unknown error");
        CloseSocket();
        return -1;
    }
    errno = 0;
    const int pending = PendingSocketError();
    if (pending == 0) {
        return 0;
    }
    if (pending > 0) {
        errno = pending;
    }
    eiplog::Error(op, "Socket FD_ISSET failed. - " + SystemText());
    CloseSocket();
    return -1;
}

int EipConnection::EipSendData(const uint8_t* data, size_t length, uint8_t timeoutSeconds) {
    static const char* const op = "EipSendData";
    if (data == nullptr || length == 0 || socketFd < 0) {
        return -1;
    }
    size_t sent = 0;
    for (int attempt = 0; attempt < kSocketAttempts && sent < length && socketFd >= 0; ++attempt) {
        bool ready = false;
        if (WaitSocket(true, timeoutSeconds, ready) < 1) {
            errno = ETIMEDOUT;
            eiplog::Error(op, "Socket send select failed. - " + SystemText());
            return -1;
        }
        if (!ready) {
            eiplog::Info(op, "write's flag was no set.");
            continue;
        }
        const int pending = PendingSocketError();
        if (pending < 0) {
            eiplog::Error(op, "Socket send getsockopt failed.");
            return -1;
        }
        if (pending > 0) {
            errno = pending;
            eiplog::Error(op, "Socket send FD_ISSET failed. - " + SystemText());
            return -1;
        }
        const ssize_t result = sendFunc(socketFd, data + sent, length - sent, kSendFlags);
        const int sendError = errno;  // before logging can change it
        if (eiplog::TraceOn()) {
            eiplog::Trace(op, Text("send data - result : ", result));
        }
        if (result < 0 && WouldBlock(sendError)) {
            continue;  // the kernel buffer is full for now; the next wait decides
        }
        if (result < 0) {
            eiplog::Error(op, Text("Socket send failed. ret = ", result));
            CloseSocket();
            return -1;
        }
        sent += static_cast<size_t>(result);
    }
    return sent == length ? 0 : -1;
}

int EipConnection::EipReadData(uint8_t* buffer, size_t capacity, int expected,
                               uint8_t timeoutSeconds) {
    static const char* const op = "EipReadData";
    if (buffer == nullptr) {
        return -1;
    }
    size_t got = 0;
    for (int attempt = 0; attempt < kSocketAttempts; ++attempt) {
        if (socketFd < 0) {
            eiplog::Error(op, "Socket not set.");
            return -1;
        }
        bool ready = false;
        if (WaitSocket(false, timeoutSeconds, ready) < 1) {
            errno = ETIMEDOUT;
            eiplog::Error(op, "Socket read select failed. - " + SystemText());
            return -1;
        }
        if (!ready) {
            eiplog::Error(op, "Socket read failed. - unknown error");
            return -1;
        }
        const int pending = PendingSocketError();
        if (pending < 0) {
            eiplog::Error(op, "Socket read getsockopt failed.");
            return -1;
        }
        if (pending > 0) {
            errno = pending;
            eiplog::Error(op, "Socket read FD_ISSET failed. - " + SystemText());
            return -1;
        }
        if (got >= capacity) {
            break;
        }
        const ssize_t count = recvFunc(socketFd, buffer + got, capacity - got, kRecvFlags);
        if (count < 0 && WouldBlock(errno)) {
            continue;
        }
        if (count < 1) {
            eiplog::Error(op, Text("Socket read failed. - ret = ", count));
            CloseSocket();
            return -1;
        }
        got += static_cast<size_t>(count);
        if (eiplog::TraceOn()) {
            eiplog::Trace(op, Text("data read from socket[", socketFd, "] : ", count, "/", got, "/",
                                   expected));
        }
        if (static_cast<int64_t>(got) >= expected) {
            break;
        }
    }
    return static_cast<int>(got);
}

// Keeps reading while bytes keep coming, but never past one time-out from the start (plus the
// wait already begun): a peer dripping bytes cannot hold the caller for long.
int EipConnection::ReadExactly(uint8_t* buffer, size_t count, uint8_t timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    size_t got = 0;
    while (got < count) {
        const int result =
            EipReadData(buffer + got, count - got, static_cast<int>(count - got), timeoutSeconds);
        if (result < 0) {
            return -1;
        }
        got += static_cast<size_t>(result);
        if (got < count && std::chrono::steady_clock::now() >= deadline) {
            eiplog::Error("EipReadDataByEncap",
                          Text("incomplete message : ", got, " of ", count, " bytes"));
            return -1;
        }
    }
    return static_cast<int>(count);
}

uint16_t EipConnection::EipParseENCAP(const uint8_t* buffer, EncapsulationMessage& encap) {
    encap = EncapsulationMessage{};
    ByteReader reader(buffer, EIP_ENCAP_HEADER_SIZE);
    encap.command = reader.u16();
    encap.length = reader.u16();
    encap.sessionHandle = reader.u32();
    encap.status = reader.u32();
    const ByteView context = reader.bytes(sizeof encap.senderContext);
    std::copy(context.begin(), context.end(), encap.senderContext);
    encap.options = reader.u32();
    encap.data = buffer + EIP_ENCAP_HEADER_SIZE;
    return encap.length;
}

// The header is read on its own, then exactly the body it announces, so that a message never
// swallows the start of the next one and a late reply stays a whole message of its own.
int EipConnection::ReadEncapMessage(uint8_t* buffer, size_t capacity, EncapsulationMessage& encap,
                                    uint8_t timeoutSeconds) {
    static const char* const op = "EipReadDataByEncap";
    const int headerBytes = ReadExactly(buffer, EIP_ENCAP_HEADER_SIZE, timeoutSeconds);
    if (headerBytes < 0) {
        return -1;
    }
    const uint16_t length = EipParseENCAP(buffer, encap);
    if (eiplog::TraceOn()) {
        eiplog::Trace(op, Text("ENCAP.Length[", socketFd, "] : ", length, "/",
                               EIP_ENCAP_HEADER_SIZE, "/", headerBytes));
    }
    if (length > capacity - EIP_ENCAP_HEADER_SIZE || length > EIP_ENCAP_MAX_DATA) {
        // The stream cannot be resynchronised past a body we will not read: drop the socket.
        eiplog::Error(op, Text("unexpected : encapsulation length ", length, " above ",
                               std::min(capacity - EIP_ENCAP_HEADER_SIZE, EIP_ENCAP_MAX_DATA)));
        CloseSocket();
        return -1;
    }
    if (length > 0 && ReadExactly(buffer + EIP_ENCAP_HEADER_SIZE, length, timeoutSeconds) < 0) {
        return -1;
    }
    return static_cast<int>(EIP_ENCAP_HEADER_SIZE + length);
}

int EipConnection::EipReadDataByEncap(uint8_t* buffer, EncapsulationMessage& encap,
                                      uint8_t timeoutSeconds) {
    return ReadEncapMessage(buffer, EIP_MSG_BUFFER_SIZE, encap, timeoutSeconds);
}

// RegisterSession request (28 bytes):
// | off | size | value                     |
// |   0 |   24 | header: command 0x65, length 4, all else 0 |
// |  24 |    2 | protocol version 1        |
// |  26 |    2 | option flags 0            |
int EipConnection::RegisterSession(uint8_t timeoutSeconds) {
    static const char* const op = "RegiSession";
    uint8_t request[EIP_ENCAP_HEADER_SIZE + EIP_REGISTER_SESSION_DATA_SIZE] = {};
    ByteWriter writer(request, sizeof request);
    writer.u16(EIP_CMD_REGISTER_SESSION)
        .u16(EIP_REGISTER_SESSION_DATA_SIZE)
        .u32(0)
        .u32(0)
        .zeros(8)
        .u32(0)
        .u16(EIP_PROTOCOL_VERSION)
        .u16(0);
    if (EipSendData(request, writer.size(), timeoutSeconds) != 0) {
        return -1;
    }
    uint8_t reply[EIP_REGISTER_REPLY_BUFFER_SIZE] = {};
    EncapsulationMessage encap{};
    if (ReadEncapMessage(reply, sizeof reply, encap, timeoutSeconds) < 0) {
        return -1;
    }
    if (encap.command != EIP_CMD_REGISTER_SESSION) {
        eiplog::Error(op, Text("unexpected : register session reply command ", encap.command));
        return -1;
    }
    sessionHandle = encap.sessionHandle;
    eiplog::Info(op, Text("Register session, session id : ", sessionHandle));
    return 0;
}

// ---- Identifier generators ---------------------------------------------------------------------

namespace {

// A non-zero identifier from the kernel's CSPRNG: a datagram or a Forward Close naming one must
// come from whoever was told it, not from a guess.
template <typename Number>
Number RandomNonZero() {
    Number value = 0;
    while (value == 0) {
        if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value) &&
            errno != EINTR) {
            value = static_cast<Number>(std::random_device{}());
        }
    }
    return value;
}

}  // namespace

uint32_t EipConnection::MakeConnectionID() {
    return RandomNonZero<uint32_t>();
}

uint16_t EipConnection::MakeConnectionSerial() {
    return RandomNonZero<uint16_t>();
}

namespace {

// The last four bytes of a hardware address, byte 2 lowest.
uint32_t SerialFromHardwareAddress(const ifreq& request) {
    const auto* mac = reinterpret_cast<const uint8_t*>(request.ifr_hwaddr.sa_data);
    return GetLittleEndian32(mac + 2);
}

}  // namespace

uint32_t EipConnection::MakeSerialNumberByMac(const char* interfaceName) {
    if (interfaceName == nullptr) {
        return 0;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return 0;
    }
    ifreq request{};
    const size_t nameLength = std::min(std::strlen(interfaceName), size_t{IFNAMSIZ - 1});
    std::memcpy(request.ifr_name, interfaceName, nameLength);  // request is zeroed: terminated
    const bool ok = ::ioctl(fd, SIOCGIFHWADDR, &request) == 0;
    ::close(fd);
    return ok ? SerialFromHardwareAddress(request) : 0;
}

uint32_t EipConnection::MakeSerialNumber() {
    {
        std::lock_guard<std::mutex> lock(generatorMutex);
        if (serialNumber != 0) {
            return serialNumber;
        }
    }
    char name[kMaxInterfaceNameLength + 1] = {};
    if (GetInterfaceName(kMaxInterfaceNameLength, name) <= 0) {
        return 0;
    }
    const uint32_t serial = MakeSerialNumberByMac(name);
    std::lock_guard<std::mutex> lock(generatorMutex);
    serialNumber = serial;
    return serialNumber;
}

int EipConnection::GetInterfaceName(int16_t maxLength, char* name) {
    if (name == nullptr || maxLength <= 0) {
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return fd;
    }
    alignas(ifreq) char listBuffer[kInterfaceListBufferSize] = {};
    ifconf list{};
    list.ifc_len = sizeof listBuffer;
    list.ifc_buf = listBuffer;
    if (::ioctl(fd, SIOCGIFCONF, &list) != 0) {
        ::close(fd);
        return -2;
    }
    const size_t entries = static_cast<size_t>(list.ifc_len) / sizeof(ifreq);
    int found = 0;
    for (size_t i = 0; i < entries && found == 0; ++i) {
        ifreq request{};
        std::memcpy(request.ifr_name, list.ifc_req[i].ifr_name, IFNAMSIZ);
        request.ifr_name[IFNAMSIZ - 1] = '\0';
        if (::ioctl(fd, SIOCGIFFLAGS, &request) != 0 || (request.ifr_flags & IFF_LOOPBACK) != 0 ||
            ::ioctl(fd, SIOCGIFHWADDR, &request) != 0) {
            continue;
        }
        const size_t length =
            std::min(std::strlen(request.ifr_name), static_cast<size_t>(maxLength));
        std::memcpy(name, request.ifr_name, length);
        name[length] = '\0';
        found = static_cast<int>(length);
    }
    ::close(fd);
    return found;
}

// ---- CIP explicit messaging --------------------------------------------------------------------

// SendRRData front (40 bytes):
// | off | size | value                                        |
// |   0 |    2 | 0x006F SendRRData                            |
// |   2 |    2 | encapsulation length, patched: total - 24    |
// |   4 |    4 | session handle                               |
// |   8 |   16 | status 0, sender context 0, options 0        |
// |  24 |    4 | interface handle 0                           |
// |  28 |    2 | timeout 1024                                 |
// |  30 |    2 | item count 2                                 |
// |  32 |    4 | null address item: type 0, length 0         |
// |  36 |    2 | 0x00B2 unconnected data item                 |
// |  38 |    2 | item length, patched: total - 40             |
int EipConnection::BuildEipRRDataHeader(uint8_t* buffer, uint64_t bufferLength,
                                        uint32_t sessionHandle) {
    if (buffer == nullptr || bufferLength < EIP_RR_DATA_FRONT_SIZE) {
        eiplog::Error("BuildEipRRDataHeader", "buffer is null or buffer length is lower than 40");
        return -1;
    }
    ByteWriter writer(buffer, EIP_RR_DATA_FRONT_SIZE);
    writer.u16(EIP_CMD_SEND_RR_DATA)
        .u16(0)
        .u32(sessionHandle)
        .u32(0)
        .zeros(8)
        .u32(0)
        .u32(0)
        .u16(CPF_REQUEST_TIMEOUT)
        .u16(2)
        .u16(CPF_ITEM_NULL_ADDRESS)
        .u16(0)
        .u16(CPF_ITEM_UNCONNECTED_DATA)
        .u16(0);
    return static_cast<int>(writer.size());
}

// Message Router request front (6 bytes):
// | off | size | value                       |
// |   0 |    1 | service                     |
// |   1 |    1 | path size 2 (words)         |
// |   2 |    2 | 0x20, class (low byte)      |
// |   4 |    2 | 0x24, instance (low byte)   |
int EipConnection::BuildExplicitReqCommon(uint8_t* buffer, uint64_t bufferLength,
                                          const UcmmRequest* request) {
    constexpr size_t kSize = 6;
    if (buffer == nullptr || request == nullptr || bufferLength < kSize) {
        return -1;
    }
    ByteWriter writer(buffer, kSize);
    writer.u8(request->service)
        .u8(2)
        .u8(CIP_SEG_CLASS_8)
        .u8(static_cast<uint8_t>(request->classId & 0xFF))
        .u8(CIP_SEG_INSTANCE_8)
        .u8(static_cast<uint8_t>(request->instanceId & 0xFF));
    return static_cast<int>(writer.size());
}

void EipConnection::PatchRRDataLengths(uint8_t* buffer, size_t totalLength) {
    PutLittleEndian16(static_cast<uint16_t>(totalLength - EIP_ENCAP_HEADER_SIZE),
                      buffer + EIP_ENCAP_LENGTH_OFFSET);
    PutLittleEndian16(static_cast<uint16_t>(totalLength - EIP_RR_DATA_FRONT_SIZE),
                      buffer + EIP_RR_DATA_ITEM_LENGTH_OFFSET);
}

namespace {

constexpr const char* kParseOp = "EipParseUCMMRESP";

int Malformed() {
    eiplog::Error(kParseOp, "unexpected response");
    return -1;
}

// Reads the CPF items of the encapsulation body into cpf. 0 or -1 (logged).
int ParseCpfItems(const EncapsulationMessage& encap, CpfMessage& cpf) {
    ByteReader reader(encap.data, encap.length);
    cpf.interfaceHandle = reader.u32();
    cpf.timeout = reader.u16();
    cpf.itemCount = reader.u16();
    if (!reader.ok()) {
        return Malformed();
    }
    if (cpf.itemCount > CPF_MAX_ITEMS) {
        eiplog::Error(kParseOp, Text("unexpected item count : ", cpf.itemCount));
        return -1;
    }
    if (cpf.itemCount == 0) {
        return Malformed();
    }
    for (uint16_t i = 0; i < cpf.itemCount; ++i) {
        CpfItem& item = cpf.items[i];
        item.typeId = reader.u16();
        item.length = reader.u16();
        if (item.length > CPF_MAX_ITEM_LENGTH) {
            eiplog::Error(kParseOp,
                          Text("unexpected : too big ", i, " Item : ", item.length, "Length"));
            return -1;
        }
        const ByteView bytes = reader.bytes(item.length);
        if (!reader.ok()) {
            return Malformed();
        }
        std::copy(bytes.begin(), bytes.end(), item.data);
    }
    cpf.consumed = static_cast<uint16_t>(reader.position());
    cpf.cursor = encap.data + reader.position();
    if (!reader.at_end() || cpf.itemCount < 2) {
        return Malformed();
    }
    return 0;
}

// Decodes the explicit reply of the bytes of data item 1 (after the sequence count of a
// connected reply). 0 or -1 (logged).
int ParseExplicitReply(ByteReader reader, ExplicitResponse& response) {
    response.service = reader.u8();
    response.reserved = reader.u8();
    response.generalStatus = reader.u8();
    response.extStatusSize = reader.u8();
    if (!reader.ok() || response.extStatusSize > CIP_MAX_EXT_STATUS_WORDS) {
        return Malformed();
    }
    for (uint8_t i = 0; i < response.extStatusSize; ++i) {
        response.extStatus[i] = reader.u16();
    }
    if (!reader.ok()) {
        return Malformed();
    }
    const ByteView data = reader.rest();
    std::copy(data.begin(), data.end(), response.data);
    response.dataLength = static_cast<uint16_t>(data.size);
    return 0;
}

}  // namespace

int EipConnection::EipParseUCMMRESP(uint32_t expectedConnectionId, uint32_t otherConnectionId,
                                    const EncapsulationMessage& encap, CpfMessage& cpf,
                                    ExplicitResponse& response) {
    std::memset(&cpf, 0, sizeof cpf);
    std::memset(&response, 0, sizeof response);
    if (encap.status != EIP_ENCAP_STATUS_SUCCESS) {
        eiplog::Error(kParseOp, Text("unexpected status : ", encap.status));
        return -1;
    }
    if (ParseCpfItems(encap, cpf) != 0) {
        return -1;
    }
    const CpfItem& address = cpf.items[0];
    const CpfItem& payload = cpf.items[1];
    ByteReader reply(payload.data, payload.length);
    int result = 0;
    if (encap.command == EIP_CMD_SEND_RR_DATA) {
        if (address.typeId != CPF_ITEM_NULL_ADDRESS || address.length != 0 ||
            payload.typeId != CPF_ITEM_UNCONNECTED_DATA || payload.length == 0) {
            return Malformed();
        }
    } else if (encap.command == EIP_CMD_SEND_UNIT_DATA) {
        const uint32_t connectionId = GetLittleEndian32(address.data);
        if (address.typeId != CPF_ITEM_CONNECTED_ADDRESS || address.length != 4 ||
            (connectionId != expectedConnectionId && connectionId != otherConnectionId)) {
            result = Malformed();  // decoded all the same, for the caller's log
        }
        reply.u16();  // sequence count, checked by the caller
    } else {
        eiplog::Error(kParseOp, Text("unexpected response : encap command : ", encap.command));
        return -1;
    }
    if (ParseExplicitReply(reply, response) != 0) {
        return -1;
    }
    return result;
}

void EipConnection::LogResponseError(const std::string& message, const ExplicitResponse& response) {
    std::string text = Text(message, " (", static_cast<unsigned>(response.generalStatus));
    if (response.extStatusSize > 0) {
        text += Text(", ", response.extStatus[0]);
    }
    eiplog::Error("logResponseError", text + ")");
}

int EipConnection::RecvExplicitTags(TagRequestSet& tagResponse, const TagLookup& lookup) {
    static const char* const op = "RecvEMTags";
    std::vector<uint8_t> buffer(EIP_MSG_BUFFER_SIZE);
    EncapsulationMessage encap{};
    // Polls go connected (Logix: sequence count) or unconnected (PCCC: sender context).
    const uint16_t sequence = sequenceCount;
    const uint64_t context = senderContext;
    const int received = ReadMatchingReply(op, buffer.data(), encap, [=](const auto& e) {
        return e.command == EIP_CMD_SEND_UNIT_DATA ? ReplySequenceIs(e, sequence)
                                                   : SenderContextOf(e) == context;
    });
    if (received < 1) {
        eiplog::Error(op, Text("TCP socket closed - ", received));
        CloseSocket();
        return -2;
    }
    auto cpf = std::make_unique<CpfMessage>();
    auto response = std::make_unique<ExplicitResponse>();
    if (EipParseUCMMRESP(toConnectionId, otConnectionId, encap, *cpf, *response) < 0) {
        eiplog::Error(op, "unexpected : parsing cpf and explict response");
        return -1;
    }
    if (AcceptTagReply(*response, tagResponse, lookup) != 0) {
        return -1;
    }
    const int rest = ReadRestOfValue(tagResponse);
    if (rest == -2) {
        CloseSocket();
    }
    return rest < 0 ? rest : received;
}

int EipConnection::AcceptTagReply(const ExplicitResponse& response, TagRequestSet& tagResponse,
                                  const TagLookup& lookup) {
    static const char* const op = "RecvEMTags";
    // A Multiple Service Packet answers "embedded service error" as soon as one of its
    // requests failed; the others still carry their data, and the per-request statuses are
    // for the family to read, so that one bad tag does not stop the whole poll.
    const bool partlyFailedBatch = response.generalStatus == CIP_STATUS_EMBEDDED_SERVICE_ERROR &&
                                   IsServiceSupported(response.service);
    if (response.generalStatus != CIP_STATUS_SUCCESS && !partlyFailedBatch) {
        LogResponseError("unexpected : explicit response error", response);
        return -1;
    }
    if (!IsServiceSupported(response.service)) {
        eiplog::Error(op, Text("unexpected : not support service ", std::hex,
                               static_cast<unsigned>(response.service)));
        return -1;
    }
    AnalyzeTagResp(response, tagResponse, lookup);
    return 0;
}

bool EipConnection::ReopenAfterTimeout(const char* operation) {
    if (socketFd >= 0 || !reopenBeforeUse) {
        return socketFd >= 0;
    }
    eiplog::Info(operation, "reconnecting: the last request timed out");
    if (!ConnectAndRegister()) {
        reopenBeforeUse = true;
        return false;
    }
    return true;
}

int EipConnection::ReadMatchingReply(
    const char* operation, uint8_t* buffer, EncapsulationMessage& encap,
    const std::function<bool(const EncapsulationMessage&)>& accept) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kRequestTimeoutSeconds);
    for (;;) {
        const int received = EipReadDataByEncap(buffer, encap, kRequestTimeoutSeconds);
        if (received < 0 || accept(encap)) {
            return received;
        }
        eiplog::Error(operation, Text("late reply dropped (command 0x", std::hex, encap.command,
                                      ", context ", SenderContextOf(encap), ")"));
        if (std::chrono::steady_clock::now() >= deadline) {
            eiplog::Error(operation, "no reply to the request in time");
            return -1;
        }
    }
}

uint64_t EipConnection::StampRequest(uint8_t* buffer) {
    const uint64_t context = ++senderContext;
    PutLittleEndian32(sessionHandle, buffer + EIP_SESSION_HANDLE_OFFSET);
    PutLittleEndian32(static_cast<uint32_t>(context), buffer + EIP_SENDER_CONTEXT_OFFSET);
    PutLittleEndian32(static_cast<uint32_t>(context >> 32), buffer + EIP_SENDER_CONTEXT_OFFSET + 4);
    return context;
}

int EipConnection::ExchangeExplicit(const char* operation, uint8_t* buffer, size_t requestLength,
                                    const ExchangeTexts& texts, ExplicitResponse& response) {
    if (!ReopenAfterTimeout(operation)) {
        eiplog::Error(operation, texts.sendFailed);
        return -1;
    }
    const uint64_t context = StampRequest(buffer);
    if (EipSendData(buffer, requestLength, kRequestTimeoutSeconds) != 0) {
        eiplog::Error(operation, texts.sendFailed);
        return -1;
    }
    EncapsulationMessage encap{};
    // Some bridges and simulators never echo the sender context: with this request the only
    // one outstanding on the session, a reply with context 0 can only be its answer.
    const int received = ReadMatchingReply(operation, buffer, encap, [context](const auto& e) {
        return e.command == EIP_CMD_SEND_RR_DATA &&
               (SenderContextOf(e) == context || SenderContextOf(e) == 0);
    });
    if (received < 0) {
        eiplog::Error(operation, texts.recvFailed);
        // Whatever answers the abandoned request later must never be read as another's reply.
        CloseSocket();
        reopenBeforeUse = true;
        return -1;
    }
    auto cpf = std::make_unique<CpfMessage>();
    if (EipParseUCMMRESP(toConnectionId, otConnectionId, encap, *cpf, response) < 0) {
        eiplog::Error(operation, texts.parseFailed);
        return -1;
    }
    return 0;
}

// Unconnected Send of one Message Router request:
// | off | size | value                                                   |
// |   0 |   40 | SendRRData front; lengths patched: total-24, total-40   |
// |  40 |    6 | 0x52 Unconnected Send, path 2 words: class 6 instance 1 |
// |  46 |    1 | priority / tick 0x07                                    |
// |  47 |    1 | time-out ticks 0x07                                     |
// |  48 |    2 | request length n (the pad below is not counted)         |
// |  50 |    n | the request, then 0x00 when n is odd                    |
// |   . |    4 | route path: 01 (words), 00, 01 (backplane), slot        |
int EipConnection::BuildRoutedRequest(uint8_t* buffer, size_t capacity, ByteView request,
                                      int slot) const {
    if (BuildEipRRDataHeader(buffer, capacity, sessionHandle) < 0) {
        return -1;
    }
    ByteWriter writer(buffer + EIP_RR_DATA_FRONT_SIZE, capacity - EIP_RR_DATA_FRONT_SIZE);
    WriteRequestFront(writer, CIP_SVC_UNCONNECTED_SEND, CIP_CLASS_CONNECTION_MANAGER, 1);
    writer.u8(CIP_UCMM_TICK).u8(CIP_UCMM_TIMEOUT_TICKS);
    const ByteWriter::Slot length = writer.reserve_u16();
    writer.bytes(request);
    writer.patch_length_from(length);
    if (request.size % 2 != 0) {
        writer.u8(0);
    }
    writer.u8(1).u8(0).u8(CIP_PORT_BACKPLANE).u8(static_cast<uint8_t>(slot & 0xFF));
    if (!writer.ok()) {
        return -1;
    }
    const size_t total = EIP_RR_DATA_FRONT_SIZE + writer.size();
    PatchRRDataLengths(buffer, total);
    return static_cast<int>(total);
}

int EipConnection::ExchangeRouted(const char* operation, ByteView request, int slot,
                                  ExplicitResponse& response) {
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    if (socketFd < 0 || sessionHandle == 0) {
        eiplog::Error(operation, "no registered session");
        return -1;
    }
    const int total = BuildRoutedRequest(buffer, sizeof buffer, request, slot);
    if (total < 0) {
        eiplog::Error(operation, Text("request of ", request.size, " bytes does not fit"));
        return -1;
    }
    const ExchangeTexts texts{"failed to send", "failed to recv",
                              "unexpected : parsing cpf and explicit response"};
    return ExchangeExplicit(operation, buffer, static_cast<size_t>(total), texts, response);
}

// ---- Identity ----------------------------------------------------------------------------------

// Get Attributes All of the Identity object through an Unconnected Send (60 bytes):
// | off | size | value                                                   |
// |   0 |   40 | SendRRData front (encapsulation length 36, item 20)     |
// |  40 |    6 | 0x52 Unconnected Send, path 2 words: class 6 instance 1 |
// |  46 |    1 | priority / tick 0x07                                    |
// |  47 |    1 | time-out ticks 0x07                                     |
// |  48 |    2 | embedded message length 6                               |
// |  50 |    6 | 0x01 Get Attributes All, path: class 1 instance 1       |
// |  56 |    1 | route path size 1 (words)                               |
// |  57 |    1 | reserved 0                                              |
// |  58 |    2 | port segment: backplane port 1, slot                    |
int EipConnection::ReadPLCProductInfo(int slot, ProductInfo& info) {
    static const char* const op = "ReadPLCProductInfo";
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    if (!StartIdentityRequest(op, buffer, sizeof buffer)) {
        return -1;
    }
    ByteWriter writer(buffer + EIP_RR_DATA_FRONT_SIZE, sizeof buffer - EIP_RR_DATA_FRONT_SIZE);
    WriteRequestFront(writer, CIP_SVC_UNCONNECTED_SEND, CIP_CLASS_CONNECTION_MANAGER, 1);
    writer.u8(CIP_UCMM_TICK).u8(CIP_UCMM_TIMEOUT_TICKS);
    const ByteWriter::Slot embeddedLength = writer.reserve_u16();
    const size_t embeddedStart = writer.position();
    WriteRequestFront(writer, CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1);
    writer.patch_length_from(embeddedLength, embeddedStart);
    writer.u8(1).u8(0).u8(CIP_PORT_BACKPLANE).u8(static_cast<uint8_t>(slot & 0xFF));
    if (!writer.ok()) {
        eiplog::Error(op, "failed building a Eip EM Req Common");
        return -1;
    }
    return ExchangeIdentityRequest(op, buffer, EIP_RR_DATA_FRONT_SIZE + writer.size(), info);
}

bool EipConnection::StartIdentityRequest(const char* operation, uint8_t* buffer,
                                         size_t bufferSize) const {
    if (socketFd < 0 || sessionHandle == 0) {
        return false;
    }
    if (BuildEipRRDataHeader(buffer, bufferSize, sessionHandle) < 0) {
        eiplog::Error(operation, "failed building a Eip RRDataHeader");
        return false;
    }
    return true;
}

int EipConnection::ExchangeIdentityRequest(const char* operation, uint8_t* buffer,
                                           size_t totalLength, ProductInfo& info) {
    PatchRRDataLengths(buffer, totalLength);
    ExplicitResponse response;
    const ExchangeTexts texts{"failed to send", "failed to recv\n",
                              "unexpected : parsing cpf and explicit response"};
    if (ExchangeExplicit(operation, buffer, totalLength, texts, response) != 0) {
        return -1;
    }
    return DecodeIdentityReply(operation, response, info);
}

// Get Attributes All reply data of the Identity object:
// | off | size | field                                   |
// |   0 |    2 | vendor ID                               |
// |   2 |    2 | device type                             |
// |   4 |    2 | product code                            |
// |   6 |    2 | major, minor revision                   |
// |   8 |    6 | status, serial number (not kept)        |
// |  14 |  1+n | product name length, name               |
int EipConnection::DecodeIdentityReply(const char* operation, const ExplicitResponse& response,
                                       ProductInfo& info) {
    if (response.generalStatus != CIP_STATUS_SUCCESS) {
        LogResponseError("unexpected : explicit response error", response);
        return -1;
    }
    if (response.service != (CIP_SVC_GET_ATTRIBUTES_ALL | CIP_SERVICE_REPLY)) {
        eiplog::Error(operation, Text("unexpected : not support service (",
                                      static_cast<unsigned>(response.service), ")"));
        return -1;
    }
    if (response.dataLength < kIdentityFixedSize) {
        info.productName = kUnknownProductName;
        return 0;
    }
    ByteReader reader(response.data, response.dataLength);
    info.vendorId = reader.u16();
    info.deviceType = reader.u16();
    info.productCode = reader.u16();
    info.majorRevision = reader.u8();
    info.minorRevision = reader.u8();
    reader.skip(kIdentityNameLengthOffset - 8);  // status and serial number are not kept
    const size_t nameLength = std::min<size_t>({reader.u8(), reader.remaining(), kProductNameMax});
    const std::string name = reader.str(nameLength);
    info.productName = name.substr(0, name.find('\0'));
    return 0;
}

// ---- Class-3 connection ------------------------------------------------------------------------

// Forward Open (88 bytes; the Large Forward Open 0x5B is 92, its two connection parameter
// fields being 32 bits wide):
// | off | size | value                                                   |
// |   0 |   40 | SendRRData front (encapsulation length 64, item 48)     |
// |  40 |    6 | 0x54 / 0x5B, path 2 words: class 6 instance 1           |
// |  46 |    2 | priority / tick 0x03, time-out ticks 0xFA               |
// |  48 |    4 | proposed O->T connection ID                             |
// |  52 |    4 | proposed T->O connection ID                             |
// |  56 |    2 | connection serial number (low 16 bits of the socket)    |
// |  58 |    2 | originator vendor ID 0x0100                             |
// |  60 |    4 | originator serial number                                |
// |  64 |    4 | time-out multiplier 0, reserved 3 bytes                 |
// |  68 |    4 | O->T RPI (us)                                           |
// |  72 |  2/4 | O->T network connection parameters 0x43F4 / 0x42000FA2  |
// |     |    4 | T->O RPI (us)                                           |
// |     |  2/4 | T->O network connection parameters, as O->T             |
// |     |    1 | transport class and trigger 0xA3                        |
// |     |    1 | connection path size 3 (words)                          |
// |     |    6 | port 1, slot; Message Router class 2 instance 1         |
int EipConnection::BuildForwardOpen(uint8_t* buffer, uint16_t rpiMilliseconds, bool large,
                                    uint16_t size) {
    if (BuildEipRRDataHeader(buffer, EIP_MSG_BUFFER_SIZE, sessionHandle) < 0) {
        return -1;
    }
    const uint32_t rpiMicroseconds = static_cast<uint32_t>(rpiMilliseconds) * 1000;
    const uint32_t proposedOT = MakeConnectionID();
    const uint32_t proposedTO = MakeConnectionID();
    ByteWriter writer(buffer + EIP_RR_DATA_FRONT_SIZE,
                      EIP_MSG_BUFFER_SIZE - EIP_RR_DATA_FRONT_SIZE);
    WriteRequestFront(writer, large ? CIP_SVC_LARGE_FORWARD_OPEN : CIP_SVC_FORWARD_OPEN,
                      CIP_CLASS_CONNECTION_MANAGER, 1);
    writer.u8(CIP_FO_TICK)
        .u8(CIP_FO_TIMEOUT_TICKS)
        .u32(proposedOT)
        .u32(proposedTO)
        .u16(ConnectionSerialNumber())
        .u16(CIP_ORIGINATOR_VENDOR_ID)
        .u32(MakeSerialNumber())
        .u8(0)
        .zeros(3);
    for (int direction = 0; direction < 2; ++direction) {
        writer.u32(rpiMicroseconds);
        if (large) {
            writer.u32(CIP_LFO_CONNECTION_PARAMS | size);
        } else {
            writer.u16(static_cast<uint16_t>((CIP_FO_CONNECTION_PARAMS & ~CIP_NCP_SIZE_MASK) |
                                             (size & CIP_NCP_SIZE_MASK)));
        }
    }
    writer.u8(CIP_TRANSPORT_SERVER_CLASS3).u8(kConnectionPathWords);
    WriteConnectionPath(writer, connectInfo.slot);
    const size_t total = EIP_RR_DATA_FRONT_SIZE + writer.size();
    PatchRRDataLengths(buffer, total);
    return writer.ok() ? static_cast<int>(total) : -1;
}

// Forward Close (64 bytes):
// | off | size | value                                                   |
// |   0 |   40 | SendRRData front (encapsulation length 40, item 24)     |
// |  40 |    6 | 0x4E Forward Close, path 2 words: class 6 instance 1    |
// |  46 |    2 | priority / tick 0x03, time-out ticks 0xFA               |
// |  48 |    2 | connection serial number                                |
// |  50 |    2 | originator vendor ID 0x0100                             |
// |  52 |    4 | originator serial number                                |
// |  56 |    2 | connection path size 3 (words), reserved 0              |
// |  58 |    6 | port 1, slot; Message Router class 2 instance 1         |
int EipConnection::BuildForwardClose(uint8_t* buffer) {
    if (BuildEipRRDataHeader(buffer, EIP_MSG_BUFFER_SIZE, sessionHandle) < 0) {
        return -1;
    }
    ByteWriter writer(buffer + EIP_RR_DATA_FRONT_SIZE,
                      EIP_MSG_BUFFER_SIZE - EIP_RR_DATA_FRONT_SIZE);
    WriteRequestFront(writer, CIP_SVC_FORWARD_CLOSE, CIP_CLASS_CONNECTION_MANAGER, 1);
    writer.u8(CIP_FO_TICK)
        .u8(CIP_FO_TIMEOUT_TICKS)
        .u16(ConnectionSerialNumber())
        .u16(CIP_ORIGINATOR_VENDOR_ID)
        .u32(MakeSerialNumber())
        .u8(kConnectionPathWords)
        .u8(0);
    WriteConnectionPath(writer, connectInfo.slot);
    const size_t total = EIP_RR_DATA_FRONT_SIZE + writer.size();
    PatchRRDataLengths(buffer, total);
    return writer.ok() ? static_cast<int>(total) : -1;
}

namespace {

// True when the reply data starting at `data` echoes our triad (serial, vendor, originator).
bool TriadMatches(ByteReader reader, uint16_t connectionSerial) {
    const uint16_t serial = reader.u16();
    const uint16_t vendor = reader.u16();
    const uint32_t originatorSerial = reader.u32();
    return reader.ok() && serial == connectionSerial && vendor == CIP_ORIGINATOR_VENDOR_ID &&
           originatorSerial == EipConnection::MakeSerialNumber();
}

}  // namespace

namespace {

// The size a controller offers when it refuses the one asked for: the word after the extended
// status 0x0109 of a Connection Manager refusal; 0 for another refusal.
uint16_t OfferedConnectionSize(const ExplicitResponse& response) {
    const bool sizeRefused = response.generalStatus == CIP_STATUS_CONNECTION_FAILURE &&
                             response.extStatusSize >= 2 &&
                             response.extStatus[0] == CIP_EXT_INVALID_CONNECTION_SIZE;
    return sizeRefused ? response.extStatus[1] : 0;
}

// Smallest connection worth opening: one request front and a small tag.
constexpr uint16_t kMinConnectionSize = 64;

}  // namespace

int EipConnection::TryForwardOpen(uint16_t rpiMilliseconds, bool large, uint16_t size,
                                  ExplicitResponse& response) {
    static const char* const op = "OpenEMConnection";
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int total = BuildForwardOpen(buffer, rpiMilliseconds, large, size);
    if (total < 0) {
        eiplog::Error(op, "failed building a Eip RRDataHeader");
        return -1;
    }
    const ExchangeTexts texts{"failed to send", "failed to recv\n",
                              "unexpected : parseing cpf and explict response"};
    if (ExchangeExplicit(op, buffer, static_cast<size_t>(total), texts, response) != 0) {
        return -1;
    }
    const uint8_t service = large ? CIP_SVC_LARGE_FORWARD_OPEN : CIP_SVC_FORWARD_OPEN;
    if (response.service != (service | CIP_SERVICE_REPLY)) {
        LogResponseError("unexpected : response error", response);
        return -1;
    }
    if (response.generalStatus != CIP_STATUS_SUCCESS) {
        return 1;
    }
    if (response.dataLength < CIP_FO_REPLY_SIZE) {
        LogResponseError("unexpected : response error", response);
        return -1;
    }
    ByteReader reader(response.data, response.dataLength);
    const uint32_t grantedOT = reader.u32();
    const uint32_t grantedTO = reader.u32();
    if (!TriadMatches(reader, ConnectionSerialNumber())) {
        eiplog::Error(op, "unexpected : wrong response data");
        return -1;
    }
    otConnectionId = grantedOT;
    toConnectionId = grantedTO;
    sequenceCount = 0;
    connectionSize = size;
    eiplog::Info(op, Text(large ? "Large Forward Open" : "Forward Open", " granted, ", size,
                          " bytes each way"));
    return 0;
}

// Asks for the largest connection first. A controller that refuses the size names the size it
// takes, which is asked for next; one that refuses the Large Forward Open altogether gets the
// classic one. Every refusal is a whole reply, so the session stays in step.
int EipConnection::OpenExplicitConnection(uint16_t rpiMilliseconds) {
    static const char* const op = "OpenEMConnection";
    auto fail = [this]() {
        eiplog::Info("OpenEMConnection", "Try to close em connection...(test)");
        CloseExplicitConnection();
        return -1;
    };
    connectionSize = 0;
    if (socketFd < 0 || sessionHandle == 0) {
        eiplog::Error(op, "invalidated socket.");
        return fail();
    }
    connectionSerial = MakeConnectionSerial();
    struct Attempt {
        bool large;
        uint16_t size;
    };
    Attempt attempt{true, static_cast<uint16_t>(CIP_LARGE_CONNECTION_SIZE)};
    bool sizeRetried = false;
    ExplicitResponse response;
    for (;;) {
        const int result = TryForwardOpen(rpiMilliseconds, attempt.large, attempt.size, response);
        if (result == 0) {
            return 0;
        }
        if (result < 0) {
            return fail();
        }
        const uint16_t offered = OfferedConnectionSize(response);
        if (!sizeRetried && offered >= kMinConnectionSize && offered < attempt.size) {
            eiplog::Info(op, Text("connection of ", attempt.size, " bytes refused; ", offered,
                                  " bytes offered"));
            attempt.size = offered;
            sizeRetried = true;
        } else if (attempt.large) {
            eiplog::Info(op, Text("Large Forward Open refused (status 0x", std::hex,
                                  static_cast<unsigned>(response.generalStatus), ")"));
            attempt = Attempt{false, static_cast<uint16_t>(CIP_SMALL_CONNECTION_SIZE)};
            sizeRetried = false;
        } else {
            LogResponseError("unexpected : response error", response);
            return fail();
        }
    }
}

int EipConnection::CloseExplicitConnection() {
    static const char* const op = "CloseEMConnection";
    if (socketFd < 0) {
        eiplog::Error(op, "socket not connected.");
        return -1;
    }
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int total = BuildForwardClose(buffer);
    if (total < 0) {
        eiplog::Error(op, "failed building a Eip RRDataHeader");
        return -1;
    }
    eiplog::Info(op, Text("send a message to close session=", sessionHandle));
    ExplicitResponse response;
    const ExchangeTexts texts{"failed to send", "failed to recv",
                              "unexpected : parsing cpf and explict response"};
    if (ExchangeExplicit(op, buffer, static_cast<size_t>(total), texts, response) != 0) {
        return -1;
    }
    if (response.generalStatus != CIP_STATUS_SUCCESS ||
        response.service != (CIP_SVC_FORWARD_CLOSE | CIP_SERVICE_REPLY) ||
        response.dataLength < CIP_FC_REPLY_SIZE) {
        LogResponseError("unexpected : response error", response);
        return -1;
    }
    if (!TriadMatches(ByteReader(response.data, response.dataLength), ConnectionSerialNumber())) {
        eiplog::Error(op, "unexpected : wrong response data");
        return -1;
    }
    return 0;
}
