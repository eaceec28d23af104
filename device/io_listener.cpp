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

constexpr std::chrono::seconds kRetryPeriod{1};
constexpr const char* kAnalyzeOp = "AnalyzeRecvIODataPLC";

}  // namespace

IoListener::IoListener(std::shared_ptr<IoSockets> sockets, IoListenerHooks hooks)
    : sockets_(std::move(sockets)),
      hooks_(std::move(hooks)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
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
    in_addr plc{};
    inet_pton(AF_INET, host.c_str(), &plc);
    // Released (after the lock) when another start took a socket first.
    std::shared_ptr<IoSocket> socket = sockets_->Acquire(host, udpPort);
    if (socket == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_ != nullptr || stopping_) {
        return stopping_ ? -1 : 0;
    }
    plcAddress_ = plc;
    socket_ = std::move(socket);
    socket_->Attach(*this);
    opened = true;
    return 0;
}

void IoListener::CloseSocketIfIdle() {
    std::shared_ptr<IoSocket> socket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!entries_.empty()) {
            return;
        }
        socket = std::move(socket_);
    }
    if (socket != nullptr) {
        socket->Detach(*this);
    }
}

bool IoListener::SocketOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return socket_ != nullptr;
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
    entry->peer.port = entry->connection->GrantedPort();
    if (entry->connection->DataTimeout().count() > 0) {
        entry->SetDeadline(Clock::now() + entry->connection->DataTimeout());
    }
    std::shared_ptr<Entry> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || socket_ == nullptr || wakeFd_ < 0) {
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
    watchThread_ = std::thread([this] { WatchLoop(); });
    retryThread_ = std::thread([this] { RetryLoop(); });
    eiplog::Info("StartProcess", "I/O Retry Thread start.");
}

void IoListener::Stop() {
    std::thread watcher;
    std::thread retrier;
    std::shared_ptr<IoSocket> socket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        watcher = std::move(watchThread_);
        retrier = std::move(retryThread_);
        socket = std::move(socket_);
    }
    if (socket != nullptr) {
        socket->Detach(*this);
        socket.reset();  // closes it when no other PLC holds it
    }
    pending_ = Batch{};
    Wake();
    retryCv_.notify_all();
    const bool wasRunning = retrier.joinable();
    for (std::thread* thread : {&watcher, &retrier}) {
        if (thread->joinable()) {
            thread->join();
        }
    }
    if (wasRunning) {
        eiplog::Info("StopProcess", "I/O Retry Thread stop.");
    }
    EntryMap closed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed.swap(entries_);
        ++generation_;
        running_ = false;
        stopping_ = false;
    }
    // The connections close their sessions as `closed` goes.
}

void IoListener::Wake() {
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);
    }
}

// ---- Watching thread ---------------------------------------------------------------------------

void IoListener::WatchLoop() {
    WatchList watched;
    std::vector<pollfd> fds;
    uint64_t seenGeneration = ~uint64_t{0};
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                break;
            }
            if (seenGeneration != generation_) {
                seenGeneration = generation_;
                watched.clear();
                for (const auto& item : entries_) {
                    if (!item.second->closed) {
                        watched.emplace_back(item.first, item.second);
                    }
                }
            }
        }
        fds.assign({pollfd{wakeFd_, POLLIN, 0}});
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
        for (size_t i = 0; i < watched.size(); ++i) {
            if (fds[i + 1].revents != 0) {
                HandleSessionTraffic(watched[i].first, watched[i].second);
            }
        }
        ExpireSilentConnections(watched);
    }
}

int IoListener::MillisecondsToDeadline(const WatchList& watched) {
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& item : watched) {
        earliest = std::min(earliest, item.second->Deadline());
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
        if (!entry->closed && entry->Deadline() <= now) {
            const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(
                entry->connection->DataTimeout());
            eiplog::Error("IoListener", Alias() + Text(": no I/O data for ", silent.count(),
                                                       " ms - ", item.first));
            EndConnection(entry);
        }
    }
}

std::shared_ptr<IoListener::Entry> IoListener::FindByConnectionId(uint32_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Entry> found;
    for (const auto& item : entries_) {
        if (!item.second->closed && item.second->connection->GetTOConnectionId() == id) {
            found = item.second;
        }
    }
    return found;
}

// ---- Socket thread -----------------------------------------------------------------------------

bool IoListener::IsFromPlc(const in_addr& address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return address.s_addr == plcAddress_.s_addr;
}

bool IoListener::Names(uint32_t connectionId) const {
    return FindByConnectionId(connectionId) != nullptr;
}

void IoListener::Flush() {
    if (!pending_.values.empty() && hooks_.deliver) {
        hooks_.deliver(pending_.values);
    }
    pending_.values.clear();
    pending_.held.clear();
}

void IoListener::Take(int udpFd, IoDatagramStatus status, const IoDatagram& datagram, size_t length,
                      const sockaddr_in& sender) {
    switch (status) {
        case IoDatagramStatus::Ok:
            break;
        case IoDatagramStatus::WrongItemCount:
            eiplog::Error(kAnalyzeOp, Alias() + ": I/O Message item count is wrong");
            return;
        case IoDatagramStatus::Truncated:
        case IoDatagramStatus::MissingItem:
            eiplog::Error(kAnalyzeOp, Alias() + Text(": I/O Message of ", length,
                                                     " bytes lacks its address or data item"));
            return;
    }
    const std::shared_ptr<Entry> entry = FindByConnectionId(datagram.connectionId);
    if (entry == nullptr) {
        Refuse(IoRefusal::Forged, sender,
               "Connection ID not match. " + std::to_string(datagram.connectionId));
        return;
    }
    const uint32_t last = entry->peer.lastSequence;
    switch (AcceptIoDatagram(entry->peer, sender, datagram.sequence)) {
        case IoVerdict::Accepted:
            break;
        case IoVerdict::Foreign:
            Refuse(IoRefusal::Foreign, sender,
                   "I/O datagram for " + entry->tag.alias + " not from the PLC's address" +
                       (entry->peer.port != 0 ? " and port" : ""));
            return;
        case IoVerdict::Stale:
            Refuse(IoRefusal::Stale, sender,
                   Text("stale I/O datagram for ", entry->tag.alias, " (sequence ",
                        datagram.sequence, " after ", last, ")"));
            return;
    }
    entry->SetDeadline(Clock::now() + entry->connection->DataTimeout());
    pending_.values.push_back(IoValue{&entry->tag, datagram.data});
    pending_.held.push_back(entry);
    uint8_t reply[IO_REPLY_SIZE];
    BuildIOReply(entry->connection->GetOTConnectionId(), datagram, reply, sizeof reply);
    if (sendto(udpFd, reply, sizeof reply, 0, reinterpret_cast<const sockaddr*>(&sender),
               sizeof sender) != static_cast<ssize_t>(sizeof reply)) {
        eiplog::Error(kAnalyzeOp,
                      Alias() + Text(": reply to ", entry->tag.alias, " not sent - ", errno));
    }
}

void IoListener::Refuse(IoRefusal why, const sockaddr_in& sender, const std::string& detail) {
    if (hooks_.refused) {
        hooks_.refused(why);
    }
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
    refusalLog_.Write(kAnalyzeOp, Alias() + ": " + detail +
                                      Text(" - from ", address, ":", ntohs(sender.sin_port)));
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
    entry->SetDeadline(Clock::time_point::max());
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
