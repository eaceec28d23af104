// Tag reply bytes to broker values: the first bytes pick the family, the inner type, the
// structure handle and the tag's data length; the rest is the data as a controller returned it.
// The data is copied to a heap buffer of exactly its size, so any read past it is caught.

#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "node/eip_node.h"
#include "strata_sdk/sdk.h"

namespace {

constexpr size_t kHeader = 4;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeader || size - kHeader > UINT16_MAX) {
        return 0;
    }
    TagInfo tag;
    tag.family = (data[0] & 1) ? kFamilyCip : kFamilyPccc;
    tag.outputType = kOutputTypeDefault;
    tag.innerType =
        kFuzzInnerTypes[(data[0] >> 1) % (sizeof kFuzzInnerTypes / sizeof kFuzzInnerTypes[0])];
    tag.structHandle = (data[0] & 0x80) ? kStringStructHandle : 0x1234;
    tag.dataLen = static_cast<int8_t>(data[1]) * 4 + static_cast<int8_t>(data[2]);
    const size_t len = size - kHeader;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[len ? len : 1]);
    std::memcpy(bytes.get(), data + kHeader, len);
    try {
        EipNode::ConvertTagValue(tag, bytes.get(), static_cast<uint16_t>(len));
    } catch (const kestrel::strata_sdk::exception&) {
        // A NaN or infinite REAL: refused by the broker's value type, as intended.
    }
    return 0;
}
