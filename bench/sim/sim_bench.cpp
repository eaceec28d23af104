// sim_bench: how fast plcsim answers, measured with a raw client sending one request at a time
// on a class-3 connection, against a plcsim program holding 5000 DINT tags and a DINT[1000].
//
// plcsim runs as a child process so that its CPU time (from /proc) is its own. Prints, per
// scenario: requests per second and microseconds of plcsim CPU per request (user and kernel),
// for a single Read Tag, a Multiple Service Packet of 33 reads and a reply that fills a
// 4002-byte connection; then plcsim's CPU while 1000 sessions of this process sit idle.
//
// It ends with the floor: the same exchanges against a bare echo server (one epoll_wait, recv
// and send per request), the part of plcsim's figures that loopback TCP costs by itself.
//
// Usage: sim_bench [seconds per scenario (default 3)] [plcsim program (default: the built one)]

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using plcsim_test::ForwardOpenFields;
using plcsim_test::RawClient;

constexpr int kTagCount = 5000;
constexpr int kPacketReads = 33;
constexpr int kIdleSessions = 1000;
constexpr uint16_t kBigReadCount = 998;  // 3992 value bytes: the reply fills 4002 bytes

struct Plcsim {
    pid_t pid = -1;
    uint16_t port = 0;
};

// Starts plcsim with the tags file and reads the port from its first line.
Plcsim StartPlcsim(const std::string& program, const std::string& tagsFile) {
    int fds[2];
    Plcsim sim;
    if (pipe(fds) != 0) {
        return sim;
    }
    sim.pid = fork();
    if (sim.pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        execl(program.c_str(), program.c_str(), "--port", "0", "--no-demo-tags", "--tags-file",
              tagsFile.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    FILE* out = fdopen(fds[0], "r");
    char line[256];
    while (sim.port == 0 && std::fgets(line, sizeof line, out) != nullptr) {
        const std::string text(line);
        const size_t at = text.rfind(':');
        if (text.find("listening") != std::string::npos && at != std::string::npos) {
            sim.port = static_cast<uint16_t>(std::atoi(text.c_str() + at + 1));
        }
    }
    return sim;  // the pipe stays open for the child's lifetime
}

// The floor under any simulator on this machine: a child process that answers each request with
// a canned reply of replySize bytes, one epoll_wait, one recv and one send per request and nothing
// else. Its CPU per request is what loopback TCP and the wake-ups cost alone.
Plcsim StartEchoFloor(size_t replySize) {
    int fds[2];
    Plcsim floor;
    if (pipe(fds) != 0) {
        return floor;
    }
    floor.pid = fork();
    if (floor.pid == 0) {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        const uint16_t port = ntohs(address.sin_port);
        (void)!write(fds[1], &port, sizeof port);
        const int client = accept(listener, nullptr, nullptr);
        const int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const int epoll = epoll_create1(0);
        epoll_event event{};
        event.events = EPOLLIN;
        epoll_ctl(epoll, EPOLL_CTL_ADD, client, &event);
        std::vector<uint8_t> reply(replySize, 0);
        PutLittleEndian16(static_cast<uint16_t>(replySize - EIP_ENCAP_HEADER_SIZE), &reply[2]);
        std::vector<uint8_t> request(65536);
        while (epoll_wait(epoll, &event, 1, -1) == 1 &&
               recv(client, request.data(), request.size(), 0) > 0) {
            send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        _exit(0);
    }
    close(fds[1]);
    if (read(fds[0], &floor.port, sizeof floor.port) != sizeof floor.port) {
        floor.port = 0;
    }
    close(fds[0]);
    return floor;
}

void Stop(const Plcsim& process) {
    kill(process.pid, SIGTERM);
    waitpid(process.pid, nullptr, 0);
}

// CPU seconds of a process, in user space and in the kernel.
struct Cpu {
    double user = 0;
    double kernel = 0;
    double Total() const { return user + kernel; }
    Cpu operator-(const Cpu& other) const { return Cpu{user - other.user, kernel - other.kernel}; }
};

Cpu CpuOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    unsigned long utime = 0;
    unsigned long stime = 0;
    // Fields after the command: state (3) ... utime (14), stime (15).
    std::sscanf(text.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                &utime, &stime);
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return Cpu{static_cast<double>(utime) / tick, static_cast<double>(stime) / tick};
}

std::string WriteTagsFile() {
    char path[] = "/tmp/sim_bench_tags_XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    std::ofstream file(path);
    file << "[{\"name\":\"Big\",\"type\":\"DINT\",\"dims\":[1000]}";
    for (int i = 0; i < kTagCount; ++i) {
        file << ",{\"name\":\"Tag" << i << "\",\"type\":\"DINT\",\"value\":" << i << "}";
    }
    file << "]";
    return path;
}

std::vector<uint8_t> ReadTag(const std::string& name, uint16_t count) {
    ByteWriter w;
    const size_t padded = name.size() + name.size() % 2;
    w.u8(CIP_SVC_READ_TAG).u8(static_cast<uint8_t>((padded + 2) / 2));
    w.u8(CIP_SEG_ANSI_SYMBOL).u8(static_cast<uint8_t>(name.size())).bytes(name);
    w.zeros(padded - name.size()).u16(count);
    return w.to_vector();
}

std::vector<uint8_t> PacketOfReads(int count) {
    std::vector<std::vector<uint8_t>> reads;
    for (int i = 0; i < count; ++i) {
        reads.push_back(ReadTag("Tag" + std::to_string(i * (kTagCount / count)), 1));
    }
    ByteWriter w;
    w.u8(CIP_SVC_MULTIPLE_SERVICE_PACKET).u8(2).u8(0x20).u8(0x02).u8(0x24).u8(0x01);
    w.u16(static_cast<uint16_t>(count));
    size_t offset = 2 + reads.size() * 2;
    for (const auto& read : reads) {
        w.u16(static_cast<uint16_t>(offset));
        offset += read.size();
    }
    for (const auto& read : reads) {
        w.bytes(read);
    }
    return w.to_vector();
}

// Sends the request on the connection for `seconds`, one at a time; prints the figures.
void Measure(const char* what, const Plcsim& sim, RawClient& client, uint32_t handle, uint32_t otId,
             const std::vector<uint8_t>& request, double seconds) {
    uint16_t sequence = 0;
    for (int i = 0; i < 200; ++i) {
        client.Connected(handle, otId, ++sequence, request);
    }
    const Cpu cpuStart = CpuOf(sim.pid);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    uint64_t requests = 0;
    bool failed = false;
    while (Clock::now() < end && !failed) {
        const std::vector<uint8_t> reply = client.Connected(handle, otId, ++sequence, request);
        failed = reply.size() < EIP_UNIT_DATA_FRONT_SIZE ||
                 reply[EIP_UNIT_DATA_FRONT_SIZE + 2] != CIP_STATUS_SUCCESS;
        ++requests;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const Cpu cpu = CpuOf(sim.pid) - cpuStart;
    if (failed) {
        std::printf("%-28s failed: plcsim refused the request\n", what);
        return;
    }
    const double perRequest = 1e6 / static_cast<double>(requests);
    std::printf("%-28s %8.0f req/s %6.1f us CPU/request (user %4.1f, kernel %4.1f; reply %zu B)\n",
                what, static_cast<double>(requests) / elapsed, cpu.Total() * perRequest,
                cpu.user * perRequest, cpu.kernel * perRequest,
                client.Connected(handle, otId, ++sequence, request).size());
}

// Sessions that stay open and send nothing must cost plcsim nothing: opens `count` registered
// sessions from this one process, then prints plcsim's CPU over `seconds` of their silence.
void MeasureIdleSessions(const Plcsim& sim, int count, double seconds) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<std::unique_ptr<RawClient>> clients;
    const Cpu openStart = CpuOf(sim.pid);
    int registered = 0;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<RawClient>(sim.port));
        registered += clients.back()->Register() != 0 ? 1 : 0;
    }
    const Cpu idleStart = CpuOf(sim.pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Cpu idle = CpuOf(sim.pid) - idleStart;
    std::printf(
        "%d idle sessions (%d registered): %.1f ms plcsim CPU to open, %.1f ms CPU over "
        "%.1f s of silence\n",
        count, registered, (idleStart - openStart).Total() * 1e3, idle.Total() * 1e3, seconds);
}

// The same requests against the echo floor, with replies of the sizes plcsim gave.
void MeasureFloor(double seconds) {
    const struct {
        const char* what;
        std::vector<uint8_t> request;
        size_t replySize;
    } scenarios[] = {
        {"floor: single Read Tag", ReadTag("Tag4321", 1), 56},
        {"floor: 33 reads", PacketOfReads(kPacketReads), 448},
        {"floor: 4002-byte reply", ReadTag("Big", kBigReadCount), 4044},
    };
    std::printf("echo floor: a bare epoll/recv/send server answering the same sizes\n");
    for (const auto& scenario : scenarios) {
        const Plcsim floor = StartEchoFloor(scenario.replySize);
        RawClient client(floor.port);
        Measure(scenario.what, floor, client, 0, 0, scenario.request, seconds);
        Stop(floor);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const std::string program = argc > 2 ? argv[2] : PLCSIM_PATH;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: %s [SECONDS [PLCSIM]]\n", argv[0]);
        return 2;
    }
    const std::string tagsFile = WriteTagsFile();
    const Plcsim sim = StartPlcsim(program, tagsFile);
    if (sim.port == 0) {
        std::fprintf(stderr, "sim_bench: plcsim did not start (%s)\n", program.c_str());
        return 1;
    }
    std::printf("sim_bench: %s, %d DINT tags, %.1f s per scenario, one request at a time\n",
                program.c_str(), kTagCount, seconds);
    RawClient client(sim.port);
    const uint32_t handle = client.Register();
    ForwardOpenFields small;
    small.params = 0x4000 | 500;
    const uint32_t smallId = plcsim_test::OpenConnection(client, handle, small);
    Measure("single Read Tag", sim, client, handle, smallId, ReadTag("Tag4321", 1), seconds);
    Measure("33 reads in one packet", sim, client, handle, smallId, PacketOfReads(kPacketReads),
            seconds);
    ForwardOpenFields large;
    large.large = true;
    large.params = 0x42000000 | 4002;
    large.serial = 0x0043;
    const uint32_t largeId = plcsim_test::OpenConnection(client, handle, large);
    if (largeId == 0) {
        std::printf("%-28s n/a: Large Forward Open refused\n", "4002-byte reply");
    } else {
        Measure("4002-byte reply", sim, client, handle, largeId, ReadTag("Big", kBigReadCount),
                seconds);
    }
    MeasureIdleSessions(sim, kIdleSessions, seconds);
    Stop(sim);
    std::remove(tagsFile.c_str());
    MeasureFloor(seconds);
    return 0;
}
