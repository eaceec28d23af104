// Writes driven by JSON text: the first bytes pick the family, the inner type, the BOOL width,
// the element count and the buffer size; the rest is the value as a user would send it. The
// conversion writes into a heap buffer of exactly that size, so any write past it is caught.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "strata_sdk/sdk.h"
#include "tag/eip_tag.h"

namespace {

constexpr int32_t kBoolWidths[] = {1, 2, 4, 3};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    const bool pccc = (data[0] & 0x80) != 0;
    TagInfo info;
    info.alias = "fuzz";
    info.innerType =
        kFuzzInnerTypes[(data[0] & 0x7F) % (sizeof kFuzzInnerTypes / sizeof kFuzzInnerTypes[0])];
    info.dataLen = kBoolWidths[data[1] & 0x03];
    info.structHandle = (data[1] & 0x04) ? kStringStructHandle : 0x1234;
    const unsigned elements = 1 + (data[2] & 0x0F);
    info.tagName = elements == 1 ? "t" : "t[0~" + std::to_string(elements - 1) + "]";
    info.plc5Address = "ST10:0";
    const uint16_t bufferSize = static_cast<uint16_t>(data[3] + ((data[1] & 0x08) ? 256 : 0));

    std::unique_ptr<EipTag> tag(EipTag::Create(pccc ? kFamilyPccc : kFamilyCip));
    tag->SetInfo(info);
    if (tag->ParsingTagName() < 0) {
        std::abort();
    }
    kestrel::strata_sdk::Variant value;
    try {
        value = kestrel::strata_sdk::json::from_json_string(
            std::string(reinterpret_cast<const char*>(data + 4), size - 4));
    } catch (const kestrel::strata_sdk::exception&) {
        return 0;
    }
    std::vector<uint8_t> buffer(bufferSize);
    const int32_t written = tag->ConvertVexa2Raw(value, buffer.data(), bufferSize);
    if (written > static_cast<int32_t>(bufferSize)) {
        std::abort();
    }
    return 0;
}
