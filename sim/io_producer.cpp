#include "sim/io_producer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "eip/cip_wire.h"
#include "sim/forward_open.h"
#include "sim/message_router.h"
#include "sim/plc_simulator.h"

namespace plcsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kItemSequencedAddress = 0x8002;
constexpr uint16_t kSockaddrFamilyInet = AF_INET;
constexpr size_t kSockaddrInfoSize = 16;
constexpr uint8_t kTransportClass1 = 1;
constexpr uint16_t kNcpVariableSize = 0x0200;
// The consumer's CIP sequence count takes two bytes of the T->O connection size.
constexpr uint16_t kCipSequenceSize = 2;
constexpr uint8_t kKeyFormat4 = 0x04;
constexpr uint8_t kMajorRevisionMask = 0x7F;
// Additional statuses of a refused class-1 Forward Open.
constexpr uint16_t kExtVendorOrProductMismatch = 0x0114;
constexpr uint16_t kExtDeviceTypeMismatch = 0x0115;
constexpr uint16_t kExtRevisionMismatch = 0x0116;
// First CIP sequence count of a connection: close to the 16-bit wrap so that every run of a
// consumer crosses it within its first datagrams.
constexpr uint16_t kFirstCipSequence = 0xFFF0;
// A controller closes a connection after RPI x 4 << multiplier of silence; a loaded test
// machine can stall a consumer longer than that at small RPIs, so never less than this.
constexpr std::chrono::milliseconds kMinimumTimeout{1000};
constexpr size_t kRememberedDatagrams = 256;
constexpr size_t kReplySize = 20;
constexpr uint32_t kIoConnectionIdBase = 0x5C100000;

}  // namespace

IoProducer::IoProducer(std::string bindAddress, const IdentityConfig& identity, bool grantSockaddr)
    : bindAddress_(std::move(bindAddress)),
      vendorId_(identity.vendorId),
      deviceType_(identity.deviceType),
      productCode_(identity.productCode),
      majorRevision_(identity.majorRevision),
      minorRevision_(identity.minorRevision),
      grantSockaddr_(grantSockaddr) {}

IoProducer::~IoProducer() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping_ = true;
    }
    Wake();
    if (thread_.joinable()) {
        thread_.join();
    }
    for (const int fd : {udpFd_, wakeFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void IoProducer::SetTagSource(TagSource source) {
    std::lock_guard<std::mutex> lock(mutex);
    tagSource_ = std::move(source);
}

// SendRRData body of a class-1 Forward Open:
// | size | field                                              |
// |    8 | interface handle, timeout, item count 3            |
// |    4 | null address item                                  |
// |  4+n | 0x00B2 unconnected data item: the Forward Open     |
// |  4+16| 0x8001 Sockaddr Info item (T->O)                   |
bool IoProducer::ForwardOpen(ByteView body, uint32_t sessionHandle, std::vector<uint8_t>& reply,
                             std::vector<uint8_t>& sockaddrItem) {
    ByteReader reader(body);
    reader.u32();  // interface handle
    reader.u16();  // timeout
    const uint16_t itemCount = reader.u16();
    const uint16_t addressType = reader.u16();
    const ByteView address = reader.bytes(reader.u16());
    const uint16_t dataType = reader.u16();
    const ByteView request = reader.bytes(reader.u16());
    const uint16_t sockaddrType = reader.u16();
    const ByteView sockaddrIn = reader.bytes(reader.u16());
    uint8_t service = 0;
    ByteView path;
    ByteView data;
    if (!reader.ok() || !reader.at_end() || itemCount != 3 ||
        addressType != CPF_ITEM_NULL_ADDRESS || !address.empty() ||
        dataType != CPF_ITEM_UNCONNECTED_DATA || sockaddrType != CPF_ITEM_SOCKADDR_T_O ||
        !MessageRouter::DecodeRequest(request, service, path, data) ||
        service != CIP_SVC_FORWARD_OPEN) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++forwardOpens_;
    }
    LogicalPath target;
    if (!ParseLogicalPath(path, target) || target.classId != CIP_CLASS_CONNECTION_MANAGER) {
        reply = MessageRouter::EncodeReply(service,
                                           CipReply::Error(CIP_STATUS_PATH_DESTINATION_UNKNOWN));
        return true;
    }
    bool granted = false;
    reply = Grant(data, sockaddrIn, sessionHandle, granted);
    if (granted && grantSockaddr_) {
        sockaddrItem = ProducingSockaddrItem();
    }
    return true;
}

// | off | size | field                                                 |
// |   0 |    4 | 0x8001, length 16                                     |
// |   4 |   16 | family 2, UDP port, IPv4 address (big-endian), zeros  |
std::vector<uint8_t> IoProducer::ProducingSockaddrItem() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(udpFd_, reinterpret_cast<sockaddr*>(&local), &length);
    ByteWriter writer;
    writer.u16(CPF_ITEM_SOCKADDR_T_O).u16(kSockaddrInfoSize).u16_be(kSockaddrFamilyInet);
    writer.u16_be(ntohs(local.sin_port)).u32_be(ntohl(local.sin_addr.s_addr)).zeros(8);
    return writer.to_vector();
}

// Forward Open request data as in PlcSimulator::ForwardOpen; the connection path of a class-1
// connection here is an electronic key and the produced tag's symbolic segment:
// | size | field                                                       |
// |   10 | 0x34 0x04, vendor, device type, product code, major, minor  |
// |  2+n | 0x91, n, the tag name, a pad byte when n is odd             |
std::vector<uint8_t> IoProducer::Grant(ByteView request, ByteView sockaddrItem,
                                       uint32_t sessionHandle, bool& granted) {
    ForwardOpenRequest open;
    const ByteReader reader = ReadForwardOpen(request, false, open);
    ByteReader path(open.path);
    const uint8_t keySegment = path.u8();
    const uint8_t keyFormat = path.u8();
    const uint16_t keyVendor = path.u16();
    const uint16_t keyDeviceType = path.u16();
    const uint16_t keyProduct = path.u16();
    const uint8_t keyMajor = path.u8();
    const uint8_t keyMinor = path.u8();
    const uint8_t symbolSegment = path.u8();
    const std::string tagName = path.str(path.u8());
    path.skip(tagName.size() % 2);
    ByteReader sockaddr(sockaddrItem);
    const uint16_t family = sockaddr.u16_be();
    const uint16_t port = sockaddr.u16_be();
    const uint32_t host = sockaddr.u32_be();
    const std::vector<uint8_t> triad = TriadReply(open.serial, open.vendor, open.originatorSerial);
    auto refuse = [&](uint8_t general, uint16_t ext) {
        return MessageRouter::EncodeReply(CIP_SVC_FORWARD_OPEN,
                                          CipReply::Error(general, {ext}, triad));
    };
    if (!reader.ok() || !reader.at_end() || !path.ok() || !path.at_end() ||
        sockaddrItem.size != kSockaddrInfoSize || family != kSockaddrFamilyInet) {
        return refuse(CIP_STATUS_NOT_ENOUGH_DATA, 0);
    }
    const uint16_t toParams = static_cast<uint16_t>(open.toParameters);
    if ((open.transport & CIP_TRANSPORT_CLASS_MASK) != kTransportClass1) {
        return refuse(CIP_STATUS_CONNECTION_FAILURE, CIP_EXT_TRANSPORT_NOT_SUPPORTED);
    }
    if ((toParams & CIP_NCP_TYPE_MASK) != CIP_NCP_TYPE_POINT_TO_POINT ||
        (toParams & kNcpVariableSize) != 0) {
        return refuse(CIP_STATUS_CONNECTION_FAILURE, CIP_EXT_INVALID_CONNECTION_TYPE);
    }
    if (open.toSize < kCipSequenceSize) {
        return refuse(CIP_STATUS_CONNECTION_FAILURE, CIP_EXT_INVALID_CONNECTION_SIZE);
    }
    if (open.otRpi == 0 || open.toRpi == 0) {
        return refuse(CIP_STATUS_CONNECTION_FAILURE, CIP_EXT_RPI_NOT_SUPPORTED);
    }
    if (keySegment != CIP_SEG_ELECTRONIC_KEY || keyFormat != kKeyFormat4 ||
        symbolSegment != CIP_SEG_ANSI_SYMBOL) {
        return refuse(CIP_STATUS_CONNECTION_FAILURE, CIP_EXT_INVALID_SEGMENT);
    }
    if (keyVendor != vendorId_ || keyProduct != productCode_) {
        return refuse(CIP_STATUS_CONNECTION_FAILURE, kExtVendorOrProductMismatch);
    }
    if (keyDeviceType != deviceType_) {
        return refuse(CIP_STATUS_CONNECTION_FAILURE, kExtDeviceTypeMismatch);
    }
    if ((keyMajor & kMajorRevisionMask) != majorRevision_ || keyMinor != minorRevision_) {
        return refuse(CIP_STATUS_CONNECTION_FAILURE, kExtRevisionMismatch);
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (!tagSource_ || !tagSource_(tagName)) {
        return refuse(CIP_STATUS_CONNECTION_FAILURE, CIP_EXT_INVALID_SEGMENT);
    }
    for (const auto& entry : connections_) {
        const IoConnectionView& other = entry.second.view;
        if (other.toConnectionId == open.toId && other.sessionHandle == sessionHandle) {
            return refuse(CIP_STATUS_CONNECTION_FAILURE, CIP_EXT_CONNECTION_IN_USE);
        }
    }
    if (!EnsureThreadLocked()) {
        return refuse(CIP_STATUS_RESOURCE_UNAVAILABLE, 0);
    }
    Connection connection;
    connection.view.otConnectionId = kIoConnectionIdBase + ++nextConnectionId_;
    connection.view.toConnectionId = open.toId;
    connection.view.sessionHandle = sessionHandle;
    connection.view.tagName = tagName;
    connection.view.dataLength = static_cast<uint16_t>(open.toSize - kCipSequenceSize);
    connection.view.rpiMicroseconds = open.toRpi;
    connection.destination.sin_family = AF_INET;
    connection.destination.sin_port = htons(port);
    connection.destination.sin_addr.s_addr = htonl(host);
    connection.nextCipSequence = kFirstCipSequence;
    // The first datagram follows one RPI after the grant, as the consumer needs the reply first.
    connection.lastHeard = Clock::now();
    connection.nextDue = connection.lastHeard + std::chrono::microseconds(open.toRpi);
    connection.timeout = std::max<std::chrono::microseconds>(
        std::chrono::microseconds(static_cast<uint64_t>(open.otRpi) * 4
                                  << std::min<uint8_t>(open.timeoutMultiplier, 7)),
        kMinimumTimeout);
    const uint32_t otId = connection.view.otConnectionId;
    connections_[otId] = std::move(connection);
    Wake();
    granted = true;
    return MessageRouter::EncodeReply(
        CIP_SVC_FORWARD_OPEN,
        CipReply::Success(GrantReply(otId, open.toId, open.serial, open.vendor,
                                     open.originatorSerial, open.otRpi, open.toRpi)));
}

void IoProducer::DropSession(uint32_t sessionHandle) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = connections_.begin(); it != connections_.end();) {
        it =
            it->second.view.sessionHandle == sessionHandle ? connections_.erase(it) : std::next(it);
    }
}

void IoProducer::InjectFault(IoFault fault) {
    std::lock_guard<std::mutex> lock(mutex);
    faults_.push_back(fault);
}

void IoProducer::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex);
    faults_.clear();
}

std::vector<IoConnectionView> IoProducer::Connections() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<IoConnectionView> views;
    for (const auto& entry : connections_) {
        views.push_back(entry.second.view);
    }
    return views;
}

uint64_t IoProducer::StrayReplies() const {
    std::lock_guard<std::mutex> lock(mutex);
    return strayReplies_;
}

uint64_t IoProducer::ForwardOpens() const {
    std::lock_guard<std::mutex> lock(mutex);
    return forwardOpens_;
}

bool IoProducer::EnsureThreadLocked() {
    if (thread_.joinable()) {
        return true;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    udpFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (wakeFd_ < 0 || udpFd_ < 0 ||
        inet_pton(AF_INET, bindAddress_.c_str(), &local.sin_addr) != 1 ||
        ::bind(udpFd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        for (int* fd : {&wakeFd_, &udpFd_}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
        return false;
    }
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void IoProducer::Wake() {
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }
}

void IoProducer::Loop() {
    int waitMs = 0;
    for (;;) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {udpFd_, POLLIN, 0}};
        if (::poll(fds, 2, waitMs) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        if ((fds[1].revents & POLLIN) != 0) {
            ReadReplies();
        }
        std::vector<Datagram> due;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping_) {
                return;
            }
            due = CollectDueLocked(Clock::now(), waitMs);
        }
        for (const Datagram& datagram : due) {
            ::sendto(udpFd_, datagram.bytes.data(), datagram.bytes.size(), 0,
                     reinterpret_cast<const sockaddr*>(&datagram.destination),
                     sizeof datagram.destination);
        }
    }
}

std::vector<IoProducer::Datagram> IoProducer::CollectDueLocked(Clock::time_point now, int& waitMs) {
    const bool producing = std::none_of(faults_.begin(), faults_.end(), [](const IoFault& fault) {
        return fault.action == IoFaultAction::StopProducing;
    });
    std::vector<Datagram> due;
    Clock::time_point next = Clock::time_point::max();
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& connection = it->second;
        if (!producing) {
            connection.lastHeard = now;  // a consumer only answers datagrams; none are sent
        }
        if (now - connection.lastHeard > connection.timeout) {
            it = connections_.erase(it);  // the consumer went silent: the connection times out
            continue;
        }
        const auto rpi = std::chrono::microseconds(connection.view.rpiMicroseconds);
        if (now >= connection.nextDue) {
            if (producing) {
                due.push_back(Datagram{connection.destination, BuildDatagramLocked(connection)});
            }
            // A late wake-up does not send a burst: the schedule restarts from now.
            connection.nextDue = std::max(connection.nextDue + rpi, now);
        }
        next = std::min({next, connection.nextDue, connection.lastHeard + connection.timeout});
        ++it;
    }
    if (next == Clock::time_point::max()) {
        waitMs = -1;
    } else {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        waitMs = static_cast<int>(std::max<int64_t>(wait.count(), 0));
    }
    return due;
}

std::vector<uint8_t> IoProducer::BuildDatagramLocked(Connection& connection) {
    uint16_t itemCount = 2;
    uint32_t connectionId = connection.view.toConnectionId;
    for (auto it = faults_.begin(); it != faults_.end();) {
        if (it->action == IoFaultAction::WrongConnectionId) {
            connectionId = ~connection.view.toConnectionId;
        } else if (it->action == IoFaultAction::ItemCountThree) {
            itemCount = 3;
        }
        const bool spent =
            it->action != IoFaultAction::StopProducing && it->count > 0 && --it->count == 0;
        it = spent ? faults_.erase(it) : std::next(it);
    }
    const uint32_t sequence = static_cast<uint32_t>(++connection.view.datagramsSent);
    const uint16_t cipSequence = connection.nextCipSequence++;
    std::vector<uint8_t> value;
    if (tagSource_) {
        value = tagSource_(connection.view.tagName).value_or(std::vector<uint8_t>{});
    }
    value.resize(connection.view.dataLength, 0);
    connection.unanswered[sequence] = cipSequence;
    if (connection.unanswered.size() > kRememberedDatagrams) {
        connection.unanswered.erase(connection.unanswered.begin());
    }
    ByteWriter writer;
    writer.u16(itemCount)
        .u16(kItemSequencedAddress)
        .u16(8)
        .u32(connectionId)
        .u32(sequence)
        .u16(CPF_ITEM_CONNECTED_DATA)
        .u16(static_cast<uint16_t>(kCipSequenceSize + value.size()))
        .u16(cipSequence)
        .bytes(value);
    return writer.to_vector();
}

// Consumer reply: item count 2, 0x8002 item (length 8, our O->T ID, sequence number + 1),
// 0x00B1 item (length 2, CIP sequence count + 1).
void IoProducer::ReadReplies() {
    uint8_t buffer[64];
    for (;;) {
        const ssize_t received = ::recv(udpFd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0) {
            return;
        }
        ByteReader reader(buffer, static_cast<size_t>(received));
        const uint16_t itemCount = reader.u16();
        const uint16_t addressType = reader.u16();
        const uint16_t addressLength = reader.u16();
        const uint32_t otId = reader.u32();
        const uint32_t sequence = reader.u32();
        const uint16_t dataType = reader.u16();
        const uint16_t dataLength = reader.u16();
        const uint16_t cipSequence = reader.u16();
        std::lock_guard<std::mutex> lock(mutex);
        auto found = connections_.find(otId);
        if (!reader.ok() || static_cast<size_t>(received) != kReplySize || itemCount != 2 ||
            addressType != kItemSequencedAddress || addressLength != 8 ||
            dataType != CPF_ITEM_CONNECTED_DATA || dataLength != kCipSequenceSize ||
            found == connections_.end()) {
            ++strayReplies_;
            continue;
        }
        Connection& connection = found->second;
        connection.lastHeard = Clock::now();
        auto sent = connection.unanswered.find(sequence - 1);
        if (sent != connection.unanswered.end() &&
            static_cast<uint16_t>(sent->second + 1) == cipSequence) {
            ++connection.view.repliesGood;
            connection.unanswered.erase(sent);
        } else {
            ++connection.view.repliesBad;
        }
    }
}

}  // namespace plcsim
