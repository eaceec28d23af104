// PLC5 polling costs: building one PCCC read, decoding one reply, and whole poll steps (one
// request and its reply per tag) against the simulated PLC5 on loopback.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "family/pccc_connection.h"
#include "sim/pccc_services.h"
#include "strata_sdk/logging.h"
#include "tag/eip_tag.h"

namespace {

std::unique_ptr<EipTag> MakeTag(const std::string& address) {
    std::unique_ptr<EipTag> tag(EipTag::Create(kFamilyPccc));
    TagInfo info;
    info.alias = address;
    info.plc5Address = address;
    tag->SetInfo(info);
    tag->ParsingTagName();
    return tag;
}

void BM_PcccBuildRead(benchmark::State& state) {
    PcccConnection connection(nullptr);
    auto tag = MakeTag("N7:12");
    uint8_t buffer[EIP_MSG_BUFFER_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(connection.CreateTagRequest(
            buffer, sizeof buffer, static_cast<uint16_t>(state.iterations()), tag->GetTagData()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PcccBuildRead);

void BM_PcccAnalyzeBitReply(benchmark::State& state) {
    kestrel::strata_sdk::set_debug_level(-1);
    PcccConnection connection(nullptr);
    auto tag = MakeTag("B3:4/9");
    ExplicitResponse reply{};
    reply.service = PCCC_SVC_EXECUTE_PCCC_REPLY;
    const uint8_t data[] = {0x07, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x4F, 0x00, 0x00, 0x00, 0x00, 0x02};
    std::copy(std::begin(data), std::end(data), reply.data);
    reply.dataLength = sizeof data;
    auto records = std::make_unique<TagRequestSet>();
    EipTag* t = tag.get();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            connection.AnalyzeTagResp(reply, *records, [t](uint16_t) { return t; }));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PcccAnalyzeBitReply);

// Tags read per second over a registered session: each step is one request and its reply.
void BM_PcccPollLoopback(benchmark::State& state) {
    kestrel::strata_sdk::set_debug_level(-1);
    plcsim::SimConfig config;
    config.port = 0;
    plcsim::PcccController plc(config);
    if (!plc.Sim().Start()) {
        state.SkipWithError("simulator did not start");
        return;
    }
    ConnectInfo info;
    info.host = "127.0.0.1";
    info.port = plc.Sim().Port();
    PcccConnection connection(&info);
    if (connection.Connect(info.host, info.port, 2) != 0 || connection.RegisterSession(2) != 0) {
        state.SkipWithError("no session");
        return;
    }
    std::vector<std::unique_ptr<EipTag>> owned;
    std::vector<EipTag*> list;
    for (int i = 0; i < state.range(0); ++i) {
        owned.push_back(MakeTag("N7:" + std::to_string(i % 64)));
        list.push_back(owned.back().get());
    }
    auto records = std::make_unique<TagRequestSet>();
    auto lookup = [&](uint16_t i) { return i < list.size() ? list[i] : nullptr; };
    size_t next = 0;
    for (auto _ : state) {
        if (connection.RequestExplicitTags(list, list.size(), next) != 0 ||
            connection.RecvExplicitTags(*records, lookup) < 1) {
            state.SkipWithError("poll step failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PcccPollLoopback)->Arg(100)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
