#pragma once

// The simulated controller's class-1 producer: it grants a class-1 Forward Open (electronic key,
// symbolic path of a produced tag, Sockaddr Info item with the consumer's address and UDP port),
// then sends the tag's bytes to that address at the requested interval, reads the consumer's
// replies, and closes the connection when the consumer stays silent past its time-out, as a
// controller does.
//
// Datagram it sends (Common Packet Format, little-endian):
// | off | size | field                                                |
// |   0 |    2 | item count 2 (3 under the ItemCountThree fault)      |
// |   2 |    4 | 0x8002 sequenced address item, length 8              |
// |   6 |    4 | T->O connection ID the consumer proposed             |
// |  10 |    4 | encapsulation sequence number, 1 for the first       |
// |  14 |    4 | 0x00B1 connected data item, length 2 + data length   |
// |  18 |    2 | CIP sequence count                                   |
// |  20 |    n | the tag's bytes, cut or zero-padded to the asked size |
//
// Threads: the session threads call ForwardOpen and DropSession; the producer's own thread (made
// at the first grant) blocks in poll() on its UDP socket and a wake-up eventfd with the time of
// the next due datagram as its time-out; tests call the fault and observation methods. `mutex`
// guards the connection table, the faults and the counters; it is not held while a datagram is
// sent and no callback runs under it (the tag source locks only the tag database).

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_codec.h"

namespace plcsim {

struct IdentityConfig;

enum class IoFaultAction {
    StopProducing,      // send nothing (and hold the time-out: replies only answer datagrams)
    WrongConnectionId,  // datagrams carry a T->O connection ID the consumer never proposed
    ItemCountThree,     // datagrams announce three items
};

struct IoFault {
    IoFaultAction action = IoFaultAction::StopProducing;
    int count = 0;  // datagrams it acts on (0: until cleared); StopProducing ignores it
};

// One open class-1 connection as a test sees it.
struct IoConnectionView {
    uint32_t otConnectionId = 0;  // granted by us; carried by the consumer's replies
    uint32_t toConnectionId = 0;  // proposed by the consumer; carried by our datagrams
    uint32_t sessionHandle = 0;
    std::string tagName;
    uint16_t dataLength = 0;
    uint32_t rpiMicroseconds = 0;
    uint64_t datagramsSent = 0;
    // Replies that answered a datagram of ours once, with its sequence number + 1 and CIP
    // sequence count + 1; every other reply on the connection counts as bad.
    uint64_t repliesGood = 0;
    uint64_t repliesBad = 0;
};

class IoProducer {
  public:
    using TagSource = std::function<std::optional<std::vector<uint8_t>>(const std::string&)>;

    // grantSockaddr: a grant names the UDP port the data is sent from.
    IoProducer(std::string bindAddress, const IdentityConfig& identity, bool grantSockaddr = false);
    ~IoProducer();
    IoProducer(const IoProducer&) = delete;
    IoProducer& operator=(const IoProducer&) = delete;

    // Where the produced tags' bytes come from.
    void SetTagSource(TagSource source);

    // A SendRRData body of three items whose last is a T->O Sockaddr Info item and whose middle
    // one holds a Forward Open: `reply` receives the encoded Message Router reply (granted or
    // refused) and the result is true; `sockaddrItem` receives the T->O Sockaddr Info item a
    // grant adds (or stays empty). Any other body: false, nothing done.
    bool ForwardOpen(ByteView body, uint32_t sessionHandle, std::vector<uint8_t>& reply,
                     std::vector<uint8_t>& sockaddrItem);
    // The connections opened on a session that ended.
    void DropSession(uint32_t sessionHandle);

    void InjectFault(IoFault fault);
    void ClearFaults();
    std::vector<IoConnectionView> Connections() const;
    // Datagrams received that matched no connection of ours, or were malformed.
    uint64_t StrayReplies() const;
    // Class-1 Forward Opens received, granted or not.
    uint64_t ForwardOpens() const;

  private:
    struct Connection {
        IoConnectionView view;
        sockaddr_in destination{};
        uint16_t nextCipSequence = 0;
        std::chrono::steady_clock::time_point nextDue;
        std::chrono::steady_clock::time_point lastHeard;
        std::chrono::microseconds timeout{0};
        // CIP sequence count of recent datagrams by sequence number, until answered.
        std::map<uint32_t, uint16_t> unanswered;
    };
    struct Datagram {
        sockaddr_in destination{};
        std::vector<uint8_t> bytes;
    };

    std::vector<uint8_t> Grant(ByteView request, ByteView sockaddrItem, uint32_t sessionHandle,
                               bool& granted);
    // The T->O Sockaddr Info item naming our producing address and port.
    std::vector<uint8_t> ProducingSockaddrItem() const;
    bool EnsureThreadLocked();
    void Loop();
    // Datagrams due at `now`, and the time-out of the next wait in ms (-1: none due).
    std::vector<Datagram> CollectDueLocked(std::chrono::steady_clock::time_point now, int& waitMs);
    std::vector<uint8_t> BuildDatagramLocked(Connection& connection);
    void ReadReplies();
    void Wake();

    std::string bindAddress_;
    uint16_t vendorId_;
    uint16_t deviceType_;
    uint16_t productCode_;
    uint8_t majorRevision_;
    uint8_t minorRevision_;
    const bool grantSockaddr_;
    TagSource tagSource_;

    mutable std::mutex mutex;
    std::map<uint32_t, Connection> connections_;  // by O->T connection ID
    std::vector<IoFault> faults_;
    uint64_t strayReplies_ = 0;
    uint64_t forwardOpens_ = 0;
    uint32_t nextConnectionId_ = 0;
    int udpFd_ = -1;
    int wakeFd_ = -1;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace plcsim
