#include "device/io_socket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/eip_log.h"

using eiplog::Text;

namespace {

// Datagrams received per wake-up before their values go to the sinks together.
constexpr size_t kBatchSize = 16;
constexpr std::chrono::minutes kRefusalLogPeriod{1};

}  // namespace

void RefusalLog::Write(const char* operation, const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    if (logged_ != std::chrono::steady_clock::time_point{} && now - logged_ < kRefusalLogPeriod) {
        ++unlogged_;
        return;
    }
    eiplog::Error(
        operation,
        unlogged_ == 0 ? line : line + Text(" (", unlogged_, " more refused since the last line)"));
    logged_ = now;
    unlogged_ = 0;
}

// ---- One shared socket -------------------------------------------------------------------------

IoSocket::IoSocket(int fd, uint16_t port)
    : fd_(fd),
      port_(port),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      buffers_(kBatchSize, std::vector<uint8_t>(IO_DATAGRAM_MAX)) {
    if (wakeFd_ < 0) {
        eiplog::Error("IoSocket", Text("eventfd failed - ", errno));
    }
    thread_ = std::thread([this] { ReceiveLoop(); });
}

IoSocket::~IoSocket() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
    thread_.join();
    close(fd_);
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

void IoSocket::Attach(IoDatagramSink& sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sinks_.push_back(&sink);
}

void IoSocket::Detach(IoDatagramSink& sink) {
    std::unique_lock<std::mutex> lock(mutex_);
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), &sink), sinks_.end());
    if (std::this_thread::get_id() == thread_.get_id()) {
        return;
    }
    // A round that started after the removal no longer holds the sink.
    const uint64_t round = rounds_;
    roundEnded_.wait(lock, [&] { return !dispatching_ || rounds_ != round; });
}

void IoSocket::ReceiveLoop() {
    for (;;) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            eiplog::Error("IoSocket", Text("port ", port_, ": poll failed - ", errno));
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        if (fds[1].revents != 0) {
            ReceiveBatch();
        }
    }
}

void IoSocket::ReceiveBatch() {
    std::vector<IoDatagramSink*> sinks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sinks = sinks_;
        dispatching_ = true;
        ++rounds_;
    }
    std::vector<IoDatagramSink*> took;
    for (std::vector<uint8_t>& buffer : buffers_) {
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t received = recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (received == 0) {
            eiplog::Error("handleIOTagResponse", Text("port ", port_, ": udp socket closed - 0"));
            continue;
        }
        if (received < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                eiplog::Error("handleIOTagResponse",
                              Text("port ", port_, ": udp socket closed - ", errno));
            }
            break;
        }
        IoDatagram datagram;
        const auto length = static_cast<size_t>(received);
        const IoDatagramStatus status = ParseIODatagram(ByteView{buffer.data(), length}, datagram);
        IoDatagramSink* owner = Owner(sinks, status, datagram, sender);
        if (owner == nullptr) {
            char address[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
            strayLog_.Write("AnalyzeRecvIODataPLC",
                            Text("port ", port_, ": I/O datagram of ", length,
                                 " bytes from no PLC's connection - from ", address, ":",
                                 ntohs(sender.sin_port)));
            continue;
        }
        owner->Take(fd_, status, datagram, length, sender);
        if (std::find(took.begin(), took.end(), owner) == took.end()) {
            took.push_back(owner);
        }
    }
    for (IoDatagramSink* sink : took) {
        sink->Flush();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dispatching_ = false;
    }
    roundEnded_.notify_all();
}

IoDatagramSink* IoSocket::Owner(const std::vector<IoDatagramSink*>& sinks, IoDatagramStatus status,
                                const IoDatagram& datagram, const sockaddr_in& sender) {
    IoDatagramSink* owner = nullptr;
    int best = 0;
    for (IoDatagramSink* sink : sinks) {
        const bool names = status == IoDatagramStatus::Ok && sink->Names(datagram.connectionId);
        const int score = (names ? 2 : 0) + (sink->IsFromPlc(sender.sin_addr) ? 1 : 0);
        if (score > best) {
            best = score;
            owner = sink;
        }
    }
    return owner;
}

// ---- The sockets by port -----------------------------------------------------------------------

std::shared_ptr<IoSocket> IoSockets::Acquire(const std::string& host, uint16_t udpPort) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::shared_ptr<IoSocket> socket;
    // A socket whose last holder let go may still be closing: its port is free only after.
    closed_.wait(lock, [&] {
        const auto found = sockets_.find(udpPort);
        if (found == sockets_.end()) {
            return true;
        }
        socket = found->second.lock();
        return socket != nullptr;
    });
    if (socket != nullptr) {
        return socket;
    }
    const int fd = EipIoConnection::OpenUDP(host, udpPort);
    if (fd < 0) {
        return nullptr;
    }
    std::weak_ptr<IoSockets> registry = weak_from_this();
    socket = std::shared_ptr<IoSocket>(new IoSocket(fd, udpPort), [registry](IoSocket* closing) {
        const uint16_t port = closing->Port();
        delete closing;
        if (const std::shared_ptr<IoSockets> sockets = registry.lock()) {
            sockets->Forget(port);
        }
    });
    sockets_[udpPort] = socket;
    return socket;
}

void IoSockets::Forget(uint16_t udpPort) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = sockets_.find(udpPort);
        if (found != sockets_.end() && found->second.expired()) {
            sockets_.erase(found);
        }
    }
    closed_.notify_all();
}
