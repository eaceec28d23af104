// AnalyzeTagResp of the PCCC connection on arbitrary Execute PCCC reply data, for a tag of
// each file type (the first byte picks it).

#include <algorithm>
#include <cstdint>
#include <memory>

#include "family/pccc_connection.h"
#include "fuzz/fuzz_support.h"
#include "strata_sdk/logging.h"
#include "tag/eip_tag.h"

namespace {

std::unique_ptr<EipTag> MakeTag(const char* address) {
    std::unique_ptr<EipTag> tag(EipTag::Create(kFamilyPccc));
    TagInfo info;
    info.alias = address;
    info.plc5Address = address;
    tag->SetInfo(info);
    tag->ParsingTagName();
    return tag;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PcccConnection connection(nullptr);
    static const char* const addresses[] = {"N7:0", "B3:0/5", "F8:1", "L9:2", "ST10:0", "B3:0/40"};
    static std::unique_ptr<EipTag> tags[std::size(addresses)];
    if (size < 1) {
        return 0;
    }
    const size_t pick = data[0] % std::size(addresses);
    if (!tags[pick]) {
        tags[pick] = MakeTag(addresses[pick]);
    }
    EipTag* tag = tags[pick].get();
    auto reply = std::make_unique<ExplicitResponse>();
    const size_t length = std::min(size - 1, sizeof reply->data);
    std::copy(data + 1, data + 1 + length, reply->data);
    reply->service = PCCC_SVC_EXECUTE_PCCC_REPLY;
    reply->dataLength = static_cast<uint16_t>(length);
    auto records = std::make_unique<TagRequestSet>();
    const int result = connection.AnalyzeTagResp(*reply, *records, [tag](uint16_t) { return tag; });
    const TagReplySet& record = records->replies[0];
    // One record at most; a value never larger than its element; a bit is 0 or 1.
    if (records->count > 1 || record.dataLength > PcccConnection::kMaxElementBytes) {
        __builtin_trap();
    }
    if (result == 0 && record.dataType == 0xC1 && (record.data[0] > 1 || record.data[1] != 0)) {
        __builtin_trap();
    }
    return 0;
}
