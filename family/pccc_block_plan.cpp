#include "family/pccc_block_plan.h"

#include <algorithm>

#include "family/pccc_connection.h"
#include "family/pccc_tagdata.h"

namespace {

bool SameFile(const PcccTagData& a, const PcccTagData& b) {
    return a.GetDataType() == b.GetDataType() && a.GetFileNum() == b.GetFileNum();
}

PcccBlock StartBlock(const PcccTagData& address, size_t index) {
    PcccBlock block;
    block.file = address.GetFileNum();
    block.type = static_cast<uint8_t>(address.GetDataType());
    block.elementBytes = static_cast<uint8_t>(address.GetDataLen());
    block.firstElement = address.GetElementNum();
    block.elementCount = 1;
    block.members.push_back(index);
    return block;
}

// Takes address into block when its element keeps the block within the limit and the gap
// from the block's end small.
bool Extend(PcccBlock& block, const PcccTagData& address, size_t index, size_t limitBytes) {
    const size_t element = address.GetElementNum();
    const size_t end = size_t{block.firstElement} + block.elementCount;
    const size_t newEnd = std::max(end, element + 1);
    const size_t gapBytes = element > end ? (element - end) * block.elementBytes : 0;
    if ((newEnd - block.firstElement) * block.elementBytes > limitBytes ||
        gapBytes > kPcccMaxGapBytes) {
        return false;
    }
    block.elementCount = static_cast<uint16_t>(newEnd - block.firstElement);
    block.members.push_back(index);
    return true;
}

}  // namespace

std::vector<PcccBlock> PlanBlocks(const std::vector<const PcccTagData*>& addresses,
                                  size_t limitBytes, const std::vector<bool>& readAlone) {
    std::vector<size_t> order;
    for (size_t i = 0; i < addresses.size(); ++i) {
        if (addresses[i] != nullptr && addresses[i]->GetDataLen() > 0) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const PcccTagData& x = *addresses[a];
        const PcccTagData& y = *addresses[b];
        if (x.GetDataType() != y.GetDataType()) {
            return x.GetDataType() < y.GetDataType();
        }
        if (x.GetFileNum() != y.GetFileNum()) {
            return x.GetFileNum() < y.GetFileNum();
        }
        return x.GetElementNum() < y.GetElementNum();
    });
    auto alone = [&](size_t i) { return i < readAlone.size() && readAlone[i]; };
    std::vector<PcccBlock> blocks;
    bool open = false;
    for (size_t index : order) {
        const PcccTagData& address = *addresses[index];
        const bool joins = open && !alone(index) &&
                           SameFile(*addresses[blocks.back().members.front()], address) &&
                           Extend(blocks.back(), address, index, limitBytes);
        if (!joins) {
            blocks.push_back(StartBlock(address, index));
            open = !alone(index);
        }
    }
    return blocks;
}

bool DecodePcccReply(ByteView replyData, PcccReply& out) {
    ByteReader r(replyData);
    out.requesterIdLength = r.u8();
    if (out.requesterIdLength >= 2) {
        r.skip(out.requesterIdLength - 1u);
    }
    out.command = r.u8();
    out.status = r.u8();
    out.tns = r.u16();
    out.data = r.rest();
    return r.ok();
}

bool CutValue(const PcccTagData& address, const PcccBlock& block, ByteView data,
              TagReplySet& record) {
    const size_t offset =
        size_t(address.GetElementNum() - block.firstElement) * block.elementBytes +
        size_t{address.GetWordIndex()} * 2;
    const size_t length = address.GetValueBytes();
    if (address.GetElementNum() < block.firstElement || offset + length > data.size) {
        return false;
    }
    record = TagReplySet{};
    record.service = PCCC_SVC_EXECUTE_PCCC_REPLY;
    record.dataType = address.GetValueType();
    if (address.GetBit() >= 0) {
        const uint16_t word = GetLittleEndian16(data.data + offset);
        record.data = {static_cast<uint8_t>((word >> address.GetBit()) & 1u), 0};
    } else {
        record.data.assign(data.data + offset, data.data + offset + length);
    }
    record.dataLength = static_cast<uint16_t>(record.data.size());
    return true;
}
