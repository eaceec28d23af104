// json::from_json_string on the document an "Add Tags" action receives.
#include <benchmark/benchmark.h>

#include <string>

#include "strata_sdk/json.h"

namespace {

using kestrel::strata_sdk::json::from_json_string;

// An array of `count` tag objects like the ones a user pastes into "Tags(json)".
std::string add_tags_document(int count) {
    std::string doc = "[";
    for (int i = 1; i <= count; ++i) {
        std::string n = std::to_string(i);
        if (i > 1) {
            doc += ",";
        }
        doc += R"({"Tag Alias":"t)" + n + R"(","Tag Name":"Program:Main.t)" + n +
               R"(","RW Flag":"RW","OutputType":"DEFAULT","Description":"Line 3 conveyor speed )" +
               n + R"( in m/min"})";
    }
    return doc + "]";
}

void BM_ParseAddTags(benchmark::State& state) {
    const std::string doc = add_tags_document(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto value = from_json_string(doc);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(doc.size()));
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["doc_bytes"] = static_cast<double>(doc.size());
}
BENCHMARK(BM_ParseAddTags)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
