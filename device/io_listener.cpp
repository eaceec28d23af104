#include "device/io_listener.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "common/eip_log.h"

using eiplog::Text;

namespace {

// Datagrams received per wake-up before their values go to the sink together.
constexpr size_t kBatchSize = 16;
constexpr std::chrono::seconds kRetryPeriod{1};
constexpr const char* kAnalyzeOp = "AnalyzeRecvIODataPLC";
constexpr std::chrono::minutes kRefusalLogPeriod{1};

}  // namespace

IoListener::IoListener(IoListenerHooks hooks)
    : hooks_(std::move(hooks)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      buffers_(kBatchSize, std::vector<uint8_t>(IO_DATAGRAM_MAX)) {
    if (wakeFd_ < 0) {
        eiplog::Error("IoListener", Text("eventfd failed - ", errno));
    }
}

IoListener::~IoListener() {
    Stop();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

std::string IoListener::Alias() const {
    return hooks_.alias ? hooks_.alias() : std::string();
}

int IoListener::OpenSocket(const std::string& host, uint16_t udpPort, bool& opened) {
    opened = false;
    if (SocketOpen()) {
        return 0;
    }
    const int fd = EipIoConnection::OpenUDP(host, udpPort);
    if (fd < 0) {
        return fd;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (udpFd_ >= 0 || stopping_) {
        close(fd);  // another start opened it first, or listening is being stopped
        return stopping_ ? -1 : 0;
    }
    udpFd_ = fd;
    opened = true;
    return 0;
}

bool IoListener::SocketOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return udpFd_ >= 0;
}

size_t IoListener::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

bool IoListener::Add(const TagInfo& tag, std::unique_ptr<EipIoConnection> connection) {
    auto entry = std::make_shared<Entry>();
    entry->tag = tag;
    entry->peer.address = connection->PlcAddress();
    entry->connection = std::move(connection);
    if (entry->connection->DataTimeout().count() > 0) {
        entry->dataDeadline = Clock::now() + entry->connection->DataTimeout();
    }
    std::shared_ptr<Entry> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || udpFd_ < 0 || wakeFd_ < 0) {
            return false;
        }
        std::shared_ptr<Entry>& slot = entries_[tag.alias];
        replaced = std::move(slot);
        slot = std::move(entry);
        ++generation_;
        if (!running_) {
            StartThreadsLocked();
        }
    }
    Wake();
    return true;
}

void IoListener::StartThreadsLocked() {
    running_ = true;
    receiveThread_ = std::thread([this] { ReceiveLoop(); });
    retryThread_ = std::thread([this] { RetryLoop(); });
    eiplog::Info("StartProcess", "I/O Retry Thread start.");
}

void IoListener::Stop() {
    std::thread receiver;
    std::thread retrier;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        receiver = std::move(receiveThread_);
        retrier = std::move(retryThread_);
    }
    Wake();
    retryCv_.notify_all();
    const bool wasRunning = retrier.joinable();
    for (std::thread* thread : {&receiver, &retrier}) {
        if (thread->joinable()) {
            thread->join();
        }
    }
    if (wasRunning) {
        eiplog::Info("StopProcess", "I/O Retry Thread stop.");
    }
    EntryMap closed;
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed.swap(entries_);
        std::swap(fd, udpFd_);
        ++generation_;
        running_ = false;
        stopping_ = false;
    }
    if (fd >= 0) {
        close(fd);
    }
    // The connections close their sessions as `closed` goes.
}

void IoListener::Wake() {
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);
    }
}

// ---- Receiving thread --------------------------------------------------------------------------

void IoListener::ReceiveLoop() {
    WatchList watched;
    std::vector<pollfd> fds;
    uint64_t seenGeneration = ~uint64_t{0};
    int udpFd = -1;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                break;
            }
            if (seenGeneration != generation_) {
                seenGeneration = generation_;
                udpFd = udpFd_;
                watched.clear();
                for (const auto& item : entries_) {
                    if (!item.second->closed) {
                        watched.emplace_back(item.first, item.second);
                    }
                }
            }
        }
        fds.assign({pollfd{wakeFd_, POLLIN, 0}, pollfd{udpFd, POLLIN, 0}});
        for (const auto& item : watched) {
            fds.push_back(pollfd{item.second->connection->GetSocketFd(), POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), MillisecondsToDeadline(watched)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            eiplog::Error("IoListener", Alias() + Text(": poll failed - ", errno));
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            (void)!read(wakeFd_, &count, sizeof count);
        }
        if (fds[1].revents != 0) {
            ReceiveDatagrams(udpFd);
        }
        for (size_t i = 0; i < watched.size(); ++i) {
            if (fds[i + 2].revents != 0) {
                HandleSessionTraffic(watched[i].first, watched[i].second);
            }
        }
        ExpireSilentConnections(watched);
    }
}

int IoListener::MillisecondsToDeadline(const WatchList& watched) {
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& item : watched) {
        earliest = std::min(earliest, item.second->dataDeadline);
    }
    if (earliest == Clock::time_point::max()) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(earliest - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT32_MAX));
}

void IoListener::ExpireSilentConnections(const WatchList& watched) {
    const Clock::time_point now = Clock::now();
    for (const auto& item : watched) {
        const std::shared_ptr<Entry>& entry = item.second;
        if (!entry->closed && entry->dataDeadline <= now) {
            const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(
                entry->connection->DataTimeout());
            eiplog::Error("IoListener", Alias() + Text(": no I/O data for ", silent.count(),
                                                       " ms - ", item.first));
            EndConnection(entry);
        }
    }
}

void IoListener::ReceiveDatagrams(int udpFd) {
    Batch batch;
    for (size_t i = 0; i < buffers_.size(); ++i) {
        std::vector<uint8_t>& buffer = buffers_[i];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t received = recvfrom(udpFd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (received > 0) {
            AnalyzeRecvIODataPLC(udpFd, buffer.data(), static_cast<uint16_t>(received), sender,
                                 batch);
        } else if (received == 0) {
            eiplog::Error("handleIOTagResponse", Alias() + ": udp socket closed - 0");
        } else {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                eiplog::Error("handleIOTagResponse",
                              Alias() + Text(": udp socket closed - ", errno));
            }
            break;
        }
    }
    if (!batch.values.empty() && hooks_.deliver) {
        hooks_.deliver(batch.values);
    }
}

std::shared_ptr<IoListener::Entry> IoListener::FindByConnectionId(uint32_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Entry> found;
    for (const auto& item : entries_) {
        if (item.second->connection->GetTOConnectionId() == id) {
            found = item.second;
        }
    }
    return found;
}

int IoListener::AnalyzeRecvIODataPLC(int udpFd, const uint8_t* bytes, uint16_t length,
                                     const sockaddr_in& sender, Batch& batch) {
    IoDatagram datagram;
    switch (ParseIODatagram(ByteView{bytes, length}, datagram)) {
        case IoDatagramStatus::Ok:
            break;
        case IoDatagramStatus::WrongItemCount:
            eiplog::Error(kAnalyzeOp, Alias() + ": I/O Message item count is wrong");
            return -1;
        case IoDatagramStatus::Truncated:
        case IoDatagramStatus::MissingItem:
            eiplog::Error(kAnalyzeOp, Alias() + Text(": I/O Message of ", length,
                                                     " bytes lacks its address or data item"));
            return -1;
    }
    const std::shared_ptr<Entry> entry = FindByConnectionId(datagram.connectionId);
    if (entry == nullptr) {
        Refuse(IoRefusal::Forged, sender,
               "Connection ID not match. " + std::to_string(datagram.connectionId));
        return -1;
    }
    const uint32_t last = entry->peer.lastSequence;
    switch (AcceptIoDatagram(entry->peer, sender, datagram.sequence)) {
        case IoVerdict::Accepted:
            break;
        case IoVerdict::Foreign:
            Refuse(IoRefusal::Foreign, sender,
                   "I/O datagram for " + entry->tag.alias + " not from the PLC's address");
            return -1;
        case IoVerdict::Stale:
            Refuse(IoRefusal::Stale, sender,
                   Text("stale I/O datagram for ", entry->tag.alias, " (sequence ",
                        datagram.sequence, " after ", last, ")"));
            return -1;
    }
    entry->dataDeadline = Clock::now() + entry->connection->DataTimeout();
    batch.values.push_back(IoValue{&entry->tag, datagram.data});
    batch.held.push_back(entry);
    uint8_t reply[IO_REPLY_SIZE];
    BuildIOReply(entry->connection->GetOTConnectionId(), datagram, reply, sizeof reply);
    if (sendto(udpFd, reply, sizeof reply, 0, reinterpret_cast<const sockaddr*>(&sender),
               sizeof sender) != static_cast<ssize_t>(sizeof reply)) {
        eiplog::Error(kAnalyzeOp,
                      Alias() + Text(": reply to ", entry->tag.alias, " not sent - ", errno));
    }
    return 0;
}

void IoListener::Refuse(IoRefusal why, const sockaddr_in& sender, const std::string& detail) {
    if (hooks_.refused) {
        hooks_.refused(why);
    }
    const Clock::time_point now = Clock::now();
    if (refusalLogged_ != Clock::time_point{} && now - refusalLogged_ < kRefusalLogPeriod) {
        ++refusalsUnlogged_;
        return;
    }
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
    std::string line =
        Alias() + ": " + detail + Text(" - from ", address, ":", ntohs(sender.sin_port));
    if (refusalsUnlogged_ > 0) {
        line += Text(" (", refusalsUnlogged_, " more refused since the last line)");
    }
    eiplog::Error(kAnalyzeOp, line);
    refusalLogged_ = now;
    refusalsUnlogged_ = 0;
}

// The session of an I/O connection carries nothing after the Forward Open; readable means the
// PLC closed it (or sent something, which is discarded).
void IoListener::HandleSessionTraffic(const std::string& tagAlias,
                                      const std::shared_ptr<Entry>& entry) {
    uint8_t discard[IO_DATAGRAM_MAX];
    const int fd = entry->connection->GetSocketFd();
    const ssize_t received = fd >= 0 ? recv(fd, discard, sizeof discard, MSG_DONTWAIT) : 0;
    if (received > 0 || (received < 0 && (errno == EAGAIN || errno == EINTR))) {
        return;
    }
    eiplog::Info("handleIOControlMessage", "I/O listening end. - " + tagAlias);
    EndConnection(entry);
}

void IoListener::EndConnection(const std::shared_ptr<Entry>& entry) {
    entry->connection->CloseIOConnection();
    entry->dataDeadline = Clock::time_point::max();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entry->closed = true;
        ++generation_;
    }
    retryCv_.notify_all();
}

// ---- Retry thread ------------------------------------------------------------------------------

std::vector<std::string> IoListener::ClosedAliasesLocked() const {
    std::vector<std::string> closed;
    for (const auto& item : entries_) {
        if (item.second->closed) {
            closed.push_back(item.first);
        }
    }
    return closed;
}

void IoListener::RetryLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        retryCv_.wait(lock, [this] { return stopping_ || !ClosedAliasesLocked().empty(); });
        if (stopping_ || retryCv_.wait_for(lock, kRetryPeriod, [this] { return stopping_; })) {
            return;
        }
        const std::vector<std::string> closed = ClosedAliasesLocked();
        lock.unlock();
        for (const std::string& tagAlias : closed) {
            std::string message;
            if (hooks_.reopen && hooks_.reopen(tagAlias, message) == 0) {
                eiplog::Info("IORetryProcess", "Retry I/O listening ok!! - " + tagAlias);
            } else {
                eiplog::Info("IORetryProcess",
                             "Retry I/O listening fail!! - " + tagAlias + " - " + message);
            }
        }
        lock.lock();
    }
}
