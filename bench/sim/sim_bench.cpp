// sim_bench: how fast plcsim answers, measured with a raw client sending one request at a time
// on a class-3 connection, against a plcsim program holding 5000 DINT tags and a DINT[1000].
//
// plcsim runs as a child process so that its CPU time (from /proc) is its own. Prints, per
// scenario: requests per second and microseconds of plcsim CPU per request, for a single Read
// Tag, a Multiple Service Packet of 33 reads and a reply that fills a 4002-byte connection.
//
// Usage: sim_bench [seconds per scenario (default 3)] [plcsim program (default: the built one)]

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/sim/raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using plcsim_test::ForwardOpenFields;
using plcsim_test::RawClient;

constexpr int kTagCount = 5000;
constexpr int kPacketReads = 33;
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

// User plus system CPU seconds of a process.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    unsigned long utime = 0;
    unsigned long stime = 0;
    // Fields after the command: state (3) ... utime (14), stime (15).
    std::sscanf(text.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
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
    const double cpuStart = CpuSeconds(sim.pid);
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
    const double cpu = CpuSeconds(sim.pid) - cpuStart;
    if (failed) {
        std::printf("%-28s failed: plcsim refused the request\n", what);
        return;
    }
    std::printf("%-28s %10.0f req/s %10.1f us plcsim CPU/request (reply %zu bytes)\n", what,
                static_cast<double>(requests) / elapsed, cpu * 1e6 / static_cast<double>(requests),
                client.Connected(handle, otId, ++sequence, request).size());
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const std::string program = argc > 2 ? argv[2] : PLCSIM_PATH;
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
    kill(sim.pid, SIGTERM);
    waitpid(sim.pid, nullptr, 0);
    std::remove(tagsFile.c_str());
    return 0;
}
