// browse_bench: browsing a simulated Logix controller of N DINT tags (plus plcsim's demo
// structure and program tags) the way the "Browse Tags" action does: its own unconnected
// session, the Symbol object paged reply by reply, the structure templates.
//
// The controller runs in a child process so that getrusage of this process is the link's own
// CPU time. Prints, per N: rows, requests (symbol pages and template requests), wall time, and
// the CPU time of the link and of the controller.
//
// Usage: browse_bench [N ...] (default 5000)

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "eip/eip_connection.h"
#include "family/logix_browse.h"
#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double CpuSeconds(const rusage& usage) {
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// The controller, serving until its parent closes the pipe; writes its port first.
[[noreturn]] void RunController(int tagCount, int toParent, int fromParent) {
    plcsim::SimConfig config;
    config.port = 0;
    plcsim::LogixController controller(config);
    for (const plcsim::LogixTagDefinition& tag : plcsim::LogixDemoTags()) {
        controller.DefineTag(tag);
    }
    for (int i = 0; i < tagCount; ++i) {
        plcsim::LogixTagDefinition tag;
        tag.name = "Tag" + std::to_string(i);
        tag.type = "DINT";
        controller.DefineTag(tag);
    }
    if (!controller.Sim().Start()) {
        _exit(2);
    }
    const uint16_t port = controller.Sim().Port();
    if (write(toParent, &port, sizeof port) != sizeof port) {
        _exit(3);
    }
    char done = 0;
    while (read(fromParent, &done, 1) > 0) {
    }
    controller.Sim().Stop();
    _exit(0);
}

bool BrowseOnce(int tagCount) {
    int up[2];
    int down[2];
    if (pipe(up) != 0 || pipe(down) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(up[0]);
        close(down[1]);
        RunController(tagCount, up[1], down[0]);
    }
    close(up[1]);
    close(down[0]);
    uint16_t port = 0;
    if (read(up[0], &port, sizeof port) != sizeof port) {
        return false;
    }

    ConnectInfo info;
    info.alias = "bench";
    info.host = "127.0.0.1";
    info.port = port;
    info.family = kFamilyCip;
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto started = Clock::now();
    std::string error;
    std::unique_ptr<EipConnection> connection(EipConnection::MakeTestConnection(info, error));
    size_t symbolPages = 0;
    const auto exchange = [&](ByteView request, LogixBrowser::Reply& reply) {
        ExplicitResponse response;
        if (!connection || connection->ExchangeRouted("browse_bench", request, 0, response) != 0) {
            return false;
        }
        symbolPages += request.at(0) == LOGIX_SVC_GET_INSTANCE_ATTRIBUTE_LIST ? 1 : 0;
        reply.service = response.service;
        reply.generalStatus = response.generalStatus;
        reply.data.assign(response.data, response.data + response.dataLength);
        return true;
    };
    LogixTemplateCache cache;
    LogixBrowser browser(exchange, cache, info.alias);
    std::vector<LogixBrowseRow> rows;
    const bool ok = browser.Browse("", rows, error);
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    connection.reset();

    close(down[1]);
    int status = 0;
    rusage child{};
    wait4(pid, &status, 0, &child);
    close(up[0]);
    if (!ok) {
        std::printf("N=%d: browse failed: %s\n", tagCount, error.c_str());
        return false;
    }
    std::printf(
        "N=%5d  rows %5zu  requests %4zu (symbol pages %4zu)  wall %7.1f ms  "
        "link CPU %6.1f ms  plcsim CPU (whole run) %6.1f ms\n",
        tagCount, rows.size(), browser.RequestCount(), symbolPages, wall * 1e3,
        (CpuSeconds(after) - CpuSeconds(before)) * 1e3, CpuSeconds(child) * 1e3);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts.push_back(5000);
    }
    bool ok = true;
    for (int n : counts) {
        ok = BrowseOnce(n) && ok;
    }
    return ok ? 0 : 1;
}
