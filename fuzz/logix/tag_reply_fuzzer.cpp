// AnalyzeTagResp on arbitrary Multiple Service Packet reply data, as RecvExplicitTags hands it
// over, and each record taken as the bits of a bit tag (Status.N, BOOL array elements) the first
// two bytes pick.

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
    const TagBits bits{size > 0 ? data[0] : 0u, size > 1 ? data[1] % 97u : 0u, 4};
    // Every record's length is the length of the value it holds, before and after its bits
    // are taken; bits are 0 or 1.
    for (uint16_t i = 0; i < tags->count; ++i) {
        TagReplySet& record = tags->replies[i];
        if (record.dataLength != record.data.size()) {
            __builtin_trap();
        }
        const bool whole = record.generalStatus != 0;
        ControlLogixConnection::TakeBits(bits, record);
        if (record.dataLength != record.data.size() ||
            (!whole && bits.count != 0 && !record.data.empty() &&
             record.data.size() != bits.count)) {
            __builtin_trap();
        }
        for (uint8_t bit : record.data) {
            if (!whole && bits.count != 0 && bit > 1) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
