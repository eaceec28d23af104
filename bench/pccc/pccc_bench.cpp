// PCCC polling against the simulated PLC-5 on loopback: requests per cycle and time of one full
// read of 64 and 500 N7 words, with one and four requests in flight; and the same 64 (and 500)
// words read by the npm nodepccc client from the same plcsim, when it is installed under
// bench/pccc (scripts/setup.sh does that).

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "family/pccc_connection.h"
#include "sim/pccc_services.h"
#include "strata_sdk/logging.h"
#include "tag/eip_tag.h"

namespace {

constexpr int kCycles = 400;

std::unique_ptr<EipTag> MakeTag(const std::string& address) {
    std::unique_ptr<EipTag> tag(EipTag::Create(kFamilyPccc));
    TagInfo info;
    info.alias = address;
    info.plc5Address = address;
    tag->SetInfo(info);
    tag->ParsingTagName();
    return tag;
}

struct Figures {
    double requestsPerCycle = 0;
    double millisPerRead = 0;
};

// Full reads of N7:0 .. N7:words-1 over one registered session.
bool PollWords(plcsim::PcccController& plc, int words, int inFlight, Figures& out) {
    ConnectInfo info;
    info.host = "127.0.0.1";
    info.port = plc.Sim().Port();
    info.family = kFamilyPccc;
    info.requestsInFlight = static_cast<uint8_t>(inFlight);
    PcccConnection connection(&info);
    if (connection.Connect(info.host, info.port, 2) != 0 || connection.RegisterSession(2) != 0) {
        return false;
    }
    std::vector<std::unique_ptr<EipTag>> owned;
    std::vector<EipTag*> list;
    for (int i = 0; i < words; ++i) {
        owned.push_back(MakeTag("N7:" + std::to_string(i)));
        list.push_back(owned.back().get());
    }
    auto records = std::make_unique<TagRequestSet>();
    auto fullRead = [&] {
        size_t next = 0;
        do {
            if (connection.RequestExplicitTags(list, list.size(), next) != 0 ||
                connection.RecvExplicitTags(*records, {}) < 1) {
                return false;
            }
        } while (next != 0);
        return true;
    };
    if (!fullRead()) {
        return false;
    }
    const uint64_t requestsBefore = plc.Sim().Stats().requests;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCycles; ++i) {
        if (!fullRead()) {
            return false;
        }
    }
    const std::chrono::duration<double, std::milli> spent =
        std::chrono::steady_clock::now() - start;
    out.requestsPerCycle = double(plc.Sim().Stats().requests - requestsBefore) / kCycles;
    out.millisPerRead = spent.count() / kCycles;
    return true;
}

// nodepccc's time of one full read, or a negative number when it cannot run here.
double NodePcccMillis(uint16_t port, int words) {
    const std::string dir = TB_PCCC_BENCH_DIR;
    const std::string command = "cd '" + dir + "' && [ -d node_modules/nodepccc ] && node " +
                                "nodepccc_read.js " + std::to_string(port) + " " +
                                std::to_string(words) + " " + std::to_string(kCycles) +
                                " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    double millis = -1;
    if (std::fscanf(pipe, "nodepccc %lf", &millis) != 1) {
        millis = -1;
    }
    ::pclose(pipe);
    return millis;
}

}  // namespace

int main() {
    kestrel::strata_sdk::set_debug_level(-1);
    plcsim::SimConfig config;
    config.port = 0;
    plcsim::PcccController plc(config);
    plc.Table().DefineFile(7, 0x89, 500);
    for (int i = 0; i < 500; ++i) {
        plc.Table().SetInt(7, static_cast<uint16_t>(i), static_cast<int16_t>(i));
    }
    if (!plc.Sim().Start()) {
        std::fprintf(stderr, "plcsim did not start: %s\n", plc.Sim().LastStartError().c_str());
        return 1;
    }
    std::printf("| client | N7 words | in flight | requests per cycle | ms per full read |\n");
    std::printf("|---|---|---|---|---|\n");
    double link64 = 0;
    for (int words : {64, 500}) {
        for (int inFlight : {1, 4}) {
            Figures f;
            if (!PollWords(plc, words, inFlight, f)) {
                std::fprintf(stderr, "polling %d words failed\n", words);
                return 1;
            }
            if (words == 64 && inFlight == 4) {
                link64 = f.millisPerRead;
            }
            std::printf("| tagbridge | %d | %d | %.2f | %.4f |\n", words, inFlight,
                        f.requestsPerCycle, f.millisPerRead);
        }
    }
    double node64 = -1;
    for (int words : {64, 500}) {
        const double millis = NodePcccMillis(plc.Sim().Port(), words);
        if (millis < 0) {
            std::printf("| nodepccc | %d | - | - | not installed (scripts/setup.sh) |\n", words);
            continue;
        }
        node64 = words == 64 ? millis : node64;
        std::printf("| nodepccc | %d | - | - | %.4f |\n", words, millis);
    }
    if (node64 > 0) {
        std::printf("64 words, 4 in flight: tagbridge takes %.2f times nodepccc's time\n",
                    link64 / node64);
    }
    return 0;
}
