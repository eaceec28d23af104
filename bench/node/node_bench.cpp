// Cost of turning polled bytes into broker values and of publishing them on tag nodes: this is
// paid for every tag on every polling cycle and every I/O packet.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/eip_manager.h"
#include "link/link_context.h"
#include "node/eip_node.h"
#include "strata_sdk/sdk.h"

namespace {

namespace sdk = kestrel::strata_sdk;

TagInfo Tag(int innerType, uint16_t structHandle = 0) {
    TagInfo tag;
    tag.alias = "t";
    tag.family = kFamilyCip;
    tag.outputType = kOutputTypeDefault;
    tag.rwFlag = kRwFlagRead;
    tag.innerType = innerType;
    tag.structHandle = structHandle;
    tag.elementCount = 1;
    return tag;
}

void BM_ConvertDint(benchmark::State& state) {
    const TagInfo tag = Tag(kInnerTypeDint);
    const uint8_t data[4] = {0x2A, 0, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(EipNode::ConvertTagValue(tag, data, sizeof data));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConvertDint);

void BM_ConvertRealArray(benchmark::State& state) {
    const TagInfo tag = Tag(kInnerTypeReal);
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)) * 4);
    for (size_t i = 0; i < data.size(); i += 4) {
        PutLittleEndianFloat(static_cast<float>(i) * 0.5f, data.data() + i);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EipNode::ConvertTagValue(tag, data.data(), static_cast<uint16_t>(data.size())));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ConvertRealArray)->Arg(10)->Arg(100);

void BM_ConvertStringStructures(benchmark::State& state) {
    const TagInfo tag = Tag(kInnerTypeStructure, kStringStructHandle);
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)) * 88, 0);
    for (size_t i = 0; i < data.size(); i += 88) {
        PutLittleEndian32(20, data.data() + i);
        std::memcpy(data.data() + i + 4, "conveyor 4 overspeed", 20);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EipNode::ConvertTagValue(tag, data.data(), static_cast<uint16_t>(data.size())));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ConvertStringStructures)->Arg(1)->Arg(10);

void BM_ConvertString2(benchmark::State& state) {
    const TagInfo tag = Tag(kInnerTypeString2);
    const std::u16string text = u"Pumpe 3 \u00fcberhitzt";
    std::vector<uint8_t> data(2 + text.size() * 2);
    PutLittleEndian16(static_cast<uint16_t>(text.size()), data.data());
    for (size_t i = 0; i < text.size(); ++i) {
        PutLittleEndian16(static_cast<uint16_t>(text[i]), data.data() + 2 + 2 * i);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EipNode::ConvertTagValue(tag, data.data(), static_cast<uint16_t>(data.size())));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConvertString2);

// Publishing onto the node of a tag under "Read Tags List" of a running in-process broker:
// path building, conversion and the set_value with its change notification.
void BM_PublishDint(benchmark::State& state) {
    std::string dir = (std::filesystem::temp_directory_path() / "node-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    sdk::set_debug_level(-1);
    sdk::LinkOptions options("Tagbridge");
    options.set_data_dir(dir);
    auto link = std::make_unique<sdk::Link>(std::move(options), sdk::LinkType::Responder, "1.4.6");
    link->non_blocking_run();
    EipManager registry;
    LinkContext context(*link, registry);
    const EipNode nodes(context);

    ConnectInfo conn;
    conn.alias = "line1";
    conn.host = "127.0.0.1";
    nodes.CreatePLCNode(sdk::NodePath(), conn, ProductInfo{});
    for (int i = 0; i < 10 && !link->responder()->node_exists(EipNode::ReadTagsListPath("line1"));
         ++i) {
        link->broker().wait_idle();
    }
    TagInfo tag = Tag(kInnerTypeDint);
    tag.dataLen = 4;
    nodes.CreateTagItemNode("line1", tag, nullptr);
    link->broker().wait_idle();

    uint8_t data[4] = {0, 0, 0, 0};
    uint32_t counter = 0;
    for (auto _ : state) {
        PutLittleEndian32(++counter, data);
        benchmark::DoNotOptimize(nodes.ChangeExplicitTagNodeValue("line1", tag, data, sizeof data));
    }
    link->broker().wait_idle();
    state.SetItemsProcessed(state.iterations());
    link->stop();
    link->join();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_PublishDint);

}  // namespace

BENCHMARK_MAIN();
