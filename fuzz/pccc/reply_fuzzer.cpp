// PCCC read replies on arbitrary bytes: the Execute PCCC reply of a test read for a tag of each
// file type (AnalyzeTagResp), and the reply of each block of a planned poll, cut into the
// values of its tags (the first byte picks which).

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "family/pccc_block_plan.h"
#include "family/pccc_connection.h"
#include "family/pccc_tagdata.h"
#include "fuzz/fuzz_support.h"
#include "strata_sdk/logging.h"
#include "tag/eip_tag.h"

namespace {

const char* const kAddresses[] = {"N7:0",     "N7:3",  "N7:60",  "B3:0/5",   "B3/20",   "F8:1",
                                  "F8:2",     "L9:2",  "ST10:0", "T4:1.ACC", "T4:1/DN", "C5:0.PRE",
                                  "R6:2.POS", "A11:0", "O:0/3",  "S:1/5",    "ST10:1",  "N7:500"};

struct Poll {
    std::vector<std::unique_ptr<EipTag>> tags;
    std::vector<const PcccTagData*> addresses;
    std::vector<PcccBlock> blocks;

    Poll() {
        for (const char* address : kAddresses) {
            std::unique_ptr<EipTag> tag(EipTag::Create(kFamilyPccc));
            TagInfo info;
            info.alias = address;
            info.plc5Address = address;
            tag->SetInfo(info);
            tag->ParsingTagName();
            addresses.push_back(dynamic_cast<const PcccTagData*>(&tag->GetTagData()));
            tags.push_back(std::move(tag));
        }
        blocks = PlanBlocks(addresses, 236);
    }
};

// A value is never larger than its element, and a bit is 0 or 1.
void Check(const TagReplySet& record) {
    if (record.dataLength > PcccConnection::kMaxElementBytes ||
        record.dataLength != record.data.size() ||
        (record.dataType == 0xC1 && (record.data.size() != 2 || record.data[0] > 1))) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PcccConnection connection(nullptr);
    static Poll poll;
    if (size < 1) {
        return 0;
    }
    auto reply = std::make_unique<ExplicitResponse>();
    const size_t length = std::min(size - 1, sizeof reply->data);
    std::copy(data + 1, data + 1 + length, reply->data);
    reply->service = PCCC_SVC_EXECUTE_PCCC_REPLY;
    reply->dataLength = static_cast<uint16_t>(length);
    auto records = std::make_unique<TagRequestSet>();
    const size_t pick = data[0] >> 1;
    if ((data[0] & 1) == 0) {
        EipTag* tag = poll.tags[pick % poll.tags.size()].get();
        connection.AnalyzeTagResp(*reply, *records, [tag](uint16_t) { return tag; });
        if (records->count > 1) {
            __builtin_trap();
        }
        if (records->count == 1) {
            Check(records->replies[0]);
        }
        return 0;
    }
    PcccReply pccc;
    if (!DecodePcccReply(ByteView{reply->data, reply->dataLength}, pccc)) {
        return 0;
    }
    const PcccBlock& block = poll.blocks[pick % poll.blocks.size()];
    for (size_t member : block.members) {
        TagReplySet& record = records->replies[0];
        if (CutValue(*poll.addresses[member], block, pccc.data, record)) {
            Check(record);
        }
    }
    return 0;
}
