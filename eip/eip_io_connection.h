#pragma once

// Class-1 (implicit I/O) connection to one produced tag of a PLC, and the I/O datagrams that
// flow on it over UDP.
//
// An EipIoConnection owns its own encapsulation session (made with
// EipConnection::MakeTestConnection); the Forward Open on that session asks the PLC to send the
// tag's data cyclically to our address and UDP port. The session stays open for as long as the
// connection lives: the PLC ending it ends the I/O connection. No Forward Close is sent.
//
// Threads: an EipIoConnection is opened on the thread that starts listening and is then handed
// to the device's I/O listener; from then on only the listener's receiving thread uses it. It
// has no lock of its own.

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/byte_codec.h"
#include "common/eip_utils.h"

class EipConnection;
struct CpfMessage;

// Common Packet Format item types of I/O datagrams.
constexpr uint16_t CPF_ITEM_SEQUENCED_ADDRESS = 0x8002;
// Sockaddr Info item body: sin_family, sin_port, sin_addr (big-endian), 8 zero bytes.
constexpr size_t CPF_SOCKADDR_INFO_SIZE = 16;
// Largest I/O datagram the listener reads.
constexpr size_t IO_DATAGRAM_MAX = 2075;
// Item count every I/O datagram carries: sequenced address item and connected data item.
constexpr uint16_t IO_DATAGRAM_ITEM_COUNT = 2;
constexpr size_t IO_REPLY_SIZE = 20;

// One received I/O datagram, as the item walk found it. `data` points into the datagram.
struct IoDatagram {
    uint16_t itemCount = 0;
    bool hasAddress = false;  // a sequenced address item was found
    bool hasData = false;     // a connected data item was found
    uint32_t connectionId = 0;
    uint32_t sequence = 0;
    uint16_t cipSequence = 0;
    ByteView data;
};

enum class IoDatagramStatus { Ok, WrongItemCount, Truncated, MissingItem };

// Walks the items of a received datagram:
// | off | size | field                                         |
// |   0 |    2 | item count (2)                                |
// |   2 |    2 | 0x8002 sequenced address item, length 8       |
// |   6 |    4 | connection ID (T->O)                          |
// |  10 |    4 | encapsulation sequence number                 |
// |  14 |    2 | 0x00B1 connected data item, its length        |
// |  18 |    2 | CIP sequence count                            |
// |  20 |    n | the tag's data (everything to the end)        |
// An 0x8002 item takes 12 bytes from its type field, an 0x00B1 item 6 bytes up to its data,
// any other type field 2 bytes.
IoDatagramStatus ParseIODatagram(ByteView bytes, IoDatagram& out);

// The consumed-data reply to a datagram (20 bytes):
// | off | size | value                                  |
// |   0 |    2 | item count 2                           |
// |   2 |    4 | 0x8002, length 8                       |
// |   6 |    4 | our O->T connection ID                 |
// |  10 |    4 | received sequence number + 1           |
// |  14 |    4 | 0x00B1, length 2                       |
// |  18 |    2 | received CIP sequence count + 1 (wraps) |
// Writes IO_REPLY_SIZE bytes; false when the buffer is too small.
bool BuildIOReply(uint32_t otConnectionId, const IoDatagram& received, uint8_t* buffer,
                  size_t capacity);

// What the link trusts of one connection's datagrams: the PLC's address (and port, when the PLC
// granted one), and how far its sequence count got.
struct IoPeer {
    in_addr address{};
    uint16_t port = 0;          // network byte order; 0: any port of the address
    bool seen = false;          // a datagram was accepted
    uint32_t lastSequence = 0;  // the encapsulation sequence number of the last one accepted
};

enum class IoVerdict { Accepted, Foreign, Stale };

// A datagram is accepted from the PLC's address (and granted port) only, and only with a
// sequence number newer than the last accepted one in serial-number order (ahead by less than
// 2^31, so that the count may wrap). An accepted one advances `peer`.
IoVerdict AcceptIoDatagram(IoPeer& peer, const sockaddr_in& sender, uint32_t sequence);

// Everything the class-1 Forward Open carries.
struct IoForwardOpenParams {
    uint32_t sessionHandle = 0;
    uint32_t proposedTOConnectionId = 0;
    uint16_t connectionSerial = 0;
    uint32_t originatorSerial = 0;
    uint16_t intervalMs = 0;
    uint16_t udpPort = 0;
    in_addr ownAddress{};
    std::string tagName;
    uint16_t dataLen = 0;
    ProductInfo product;
};

class EipIoConnection {
  public:
    // A name fills a 100-byte buffer with its terminator on the PLC side of this protocol.
    static constexpr size_t kMaxTagNameLength = 99;
    static constexpr uint16_t kMaxIntervalMs = 10000;

    // Takes over an open, registered session.
    explicit EipIoConnection(std::unique_ptr<EipConnection> session);
    ~EipIoConnection();
    EipIoConnection(const EipIoConnection&) = delete;
    EipIoConnection& operator=(const EipIoConnection&) = delete;

    // Class-1 Forward Open for the tag's produced data, to our address and udpPort. 0 when the
    // PLC granted it; -1 otherwise (logged, the session closed).
    int OpenIOConnection(const TagInfo& tag, const ProductInfo& product, uint16_t intervalMs,
                         uint16_t udpPort);
    // Closes the session (no Forward Close is sent); 0.
    int CloseIOConnection();

    // The UDP socket that receives I/O data on udpPort of every local address, with the
    // multicast interface set towards host. The descriptor (the caller owns it), -1 when it
    // cannot be created, -2 when it cannot be set up.
    static int OpenUDP(const std::string& host, uint16_t udpPort);
    // Our source address on the route towards a dotted IPv4 host, learnt from the kernel by
    // connecting a UDP socket (no datagram is sent). 0, or -1 (logged).
    static int GetRouteIP(const std::string& host, std::string& ownIp);
    // Writes the Forward Open request into buffer; its length, or -1 when it does not fit or
    // the tag name is too long.
    static int BuildIOForwardOpen(uint8_t* buffer, size_t capacity, const IoForwardOpenParams& p);

    int GetSocketFd() const;
    // The address of the PLC the session is connected to (zero when unknown).
    in_addr PlcAddress() const;
    uint32_t GetTOConnectionId() const { return toConnectionId_; }
    uint32_t GetOTConnectionId() const { return otConnectionId_; }
    // The UDP port the PLC produces from, when its Forward Open reply named one in a T->O
    // Sockaddr Info item (network byte order); 0 otherwise.
    uint16_t GrantedPort() const { return grantedPort_; }
    // How long the PLC may send no data before its connection counts as gone (the time-out
    // the Forward Open asked for); zero before a granted open.
    std::chrono::microseconds DataTimeout() const { return dataTimeout_; }

  private:
    // Checks the Forward Open reply and keeps the granted IDs; 0 or -1 (logged).
    int AcceptReply(uint16_t connectionSerial);
    // The port of a T->O Sockaddr Info item among the reply's items (network order), or 0.
    static uint16_t SockaddrPort(const CpfMessage& cpf);
    int Fail();

    std::unique_ptr<EipConnection> session_;
    uint32_t toConnectionId_ = 0;
    uint32_t otConnectionId_ = 0;
    uint32_t toApiMicroseconds_ = 0;
    uint16_t grantedPort_ = 0;
    std::chrono::microseconds dataTimeout_{0};
};
