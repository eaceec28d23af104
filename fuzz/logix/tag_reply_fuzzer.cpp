// AnalyzeTagResp on arbitrary Multiple Service Packet reply data, as RecvExplicitTags hands it
// over.

#include <algorithm>
#include <cstdint>
#include <memory>

#include "family/controllogix_connection.h"
#include "fuzz/fuzz_support.h"
#include "strata_sdk/logging.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ControlLogixConnection connection(nullptr);
    auto reply = std::make_unique<ExplicitResponse>();
    const size_t length = std::min(size, sizeof reply->data);
    std::copy(data, data + length, reply->data);
    reply->service = 0x8A;
    reply->dataLength = static_cast<uint16_t>(length);
    auto tags = std::make_unique<TagRequestSet>();
    connection.AnalyzeTagResp(*reply, *tags, [](uint16_t) { return nullptr; });
    // Every record's length is the length of the value it holds.
    for (uint16_t i = 0; i < tags->count; ++i) {
        if (tags->replies[i].dataLength != tags->replies[i].data.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
