// Tag reply bytes to broker values: the first bytes pick the family, the inner type, the
// structure handle and the tag's data length; the rest is the data as a controller returned it.
// The data is copied to a heap buffer of exactly its size, so any read past it is caught.

#include <cstdint>
#include <cstring>
#include <memory>

#include "node/eip_node.h"
#include "strata_sdk/sdk.h"

namespace {

constexpr int32_t kInnerTypes[] = {
    EIP_INNER_TYPE_BOOL,
    EIP_INNER_TYPE_SINT,
    EIP_INNER_TYPE_INT,
    EIP_INNER_TYPE_DINT,
    EIP_INNER_TYPE_REAL,
    EIP_INNER_TYPE_STRING,
    EIP_INNER_TYPE_STRING2,
    EIP_INNER_TYPE_SHORT_STRING,
    EIP_INNER_TYPE_STRUCTURE,
    EIP_INNER_TYPE_BITARRAY,
    0xC5,
};
constexpr size_t kHeader = 4;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Short records are logged; keep the fuzzer parsing instead of writing lines.
    kestrel::strata_sdk::set_debug_level(-1);
    kestrel::strata_sdk::set_log_level(kestrel::strata_sdk::LogLevel::fatal);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeader || size - kHeader > UINT16_MAX) {
        return 0;
    }
    _eipTagInfo tag;
    tag.family = (data[0] & 1) ? EIP_PROTOCOL_FAMILY_CIP : EIP_PROTOCOL_FAMILY_PCCC;
    tag.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    tag.innerType = kInnerTypes[(data[0] >> 1) % (sizeof kInnerTypes / sizeof kInnerTypes[0])];
    tag.structHandle = (data[0] & 0x80) ? EIP_STRING_STRUCT_HANDLE : 0x1234;
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
