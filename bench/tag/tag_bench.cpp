// Cost of the work done per tag: parsing a Logix name once when the tag is added, and turning
// a written value into controller bytes on every write.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "family/controllogix_tagdata.h"
#include "strata_sdk/sdk.h"
#include "tag/eip_tag.h"

using kestrel::strata_sdk::Variant;

namespace {

void ParseName(benchmark::State& state, const std::string& name) {
    ControlLogixTagData tagData;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tagData.ParseTagName(name, "alias"));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ParseTagName_Simple(benchmark::State& state) {
    ParseName(state, "Tag1");
}
void BM_ParseTagName_Members(benchmark::State& state) {
    ParseName(state, "Line1.Motors[3].Speed");
}
void BM_ParseTagName_Range(benchmark::State& state) {
    ParseName(state, "Program:MainProgram.Buffer[300~399]");
}
void BM_ParseTagName_Longest(benchmark::State& state) {
    std::string name = "abcd";
    for (int i = 1; i < 85; ++i) {
        name += ".abcd";
    }
    ParseName(state, name);
}

std::unique_ptr<EipTag> LogixTag(int32_t innerType, const std::string& name) {
    std::unique_ptr<EipTag> tag(EipTag::Create(kFamilyCip));
    TagInfo info;
    info.alias = "t";
    info.tagName = name;
    info.innerType = innerType;
    info.structHandle = kStringStructHandle;
    tag->SetInfo(info);
    tag->ParsingTagName();
    return tag;
}

// The device converts every write into a 256-byte buffer.
void Convert(benchmark::State& state, const EipTag& tag, const Variant& value) {
    uint8_t buffer[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(tag.ConvertVexa2Raw(value, buffer, sizeof buffer));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ConvertVexa2Raw_Dint(benchmark::State& state) {
    Convert(state, *LogixTag(kInnerTypeDint, "t"), Variant(int64_t{123456}));
}
void BM_ConvertVexa2Raw_RealText(benchmark::State& state) {
    Convert(state, *LogixTag(kInnerTypeReal, "t"), Variant("-12.75"));
}
void BM_ConvertVexa2Raw_String(benchmark::State& state) {
    Convert(state, *LogixTag(kInnerTypeStructure, "t"), Variant("Batch 42 complete"));
}
void BM_ConvertVexa2Raw_String2(benchmark::State& state) {
    Convert(state, *LogixTag(kInnerTypeString2, "t"), Variant("Batch 42 complete"));
}
void BM_ConvertVexa2Raw_DintArray16(benchmark::State& state) {
    Variant::ArrayType values;
    for (int64_t i = 0; i < 16; ++i) {
        values.emplace_back(i);
    }
    Convert(state, *LogixTag(kInnerTypeDint, "t[0~15]"), Variant(values));
}

}  // namespace

BENCHMARK(BM_ParseTagName_Simple);
BENCHMARK(BM_ParseTagName_Members);
BENCHMARK(BM_ParseTagName_Range);
BENCHMARK(BM_ParseTagName_Longest);
BENCHMARK(BM_ConvertVexa2Raw_Dint);
BENCHMARK(BM_ConvertVexa2Raw_RealText);
BENCHMARK(BM_ConvertVexa2Raw_String);
BENCHMARK(BM_ConvertVexa2Raw_String2);
BENCHMARK(BM_ConvertVexa2Raw_DintArray16);

BENCHMARK_MAIN();
