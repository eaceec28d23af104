#include "family/controllogix_connection.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <new>
#include <string>

#include "common/eip_log.h"
#include "family/controllogix_tagdata.h"
#include "family/eip_tagdata.h"
#include "family/logix_browse.h"
#include "family/pccc_connection.h"
#include "tag/controllogix_tag.h"

namespace {

// Request path of the Message Router, instance 1 (path size in words first).
constexpr uint8_t kMessageRouterPath[] = {0x02, CIP_SEG_CLASS_8, CIP_CLASS_MESSAGE_ROUTER,
                                          CIP_SEG_INSTANCE_8, 0x01};
constexpr size_t kMultiServiceFrontSize = 1 + sizeof kMessageRouterPath;
// Reply front of a Multiple Service Packet: service, reserved, status, status size, count.
constexpr size_t kMultiServiceReplyFront = 4 + 2;
// Offset entry of each embedded request or reply.
constexpr size_t kOffsetEntrySize = 2;
// Front of one Read Tag reply record: service, reserved, status, status size, data type.
constexpr size_t kReadRecordFront = 4 + 2;
// The sequence count the connected data item carries ahead of the request or reply.
constexpr size_t kSequenceCountSize = 2;
// Byte offset field of the fragmented services.
constexpr size_t kFragmentOffsetSize = 4;
// Fragments of a write hold whole elements of any type (LINT the widest).
constexpr size_t kFragmentAlignment = 8;
// Offset of the connected data item length in the SendUnitData front.
constexpr size_t kUnitDataItemLengthOffset = 42;
constexpr uint16_t kUnitDataItemCount = 2;
constexpr uint16_t kConnectedAddressLength = 4;

// Multiple Service Packet request front: 0x0A, then the Message Router path 02 20 02 24 01.
void WriteMultiServiceFront(ByteWriter& w) {
    w.u8(CIP_SVC_MULTIPLE_SERVICE_PACKET).bytes(kMessageRouterPath, sizeof kMessageRouterPath);
}

// The Multiple Service Packet reply split into its records, each a view of its bytes.
struct ServiceReplies {
    uint16_t count = 0;
    std::array<ByteView, kMaxTagReplies> records;
};

// Multiple Service Packet reply data:
// | size  | content                                        |
// | 2     | N, number of replies                           |
// | 2 × N | offset of each reply, counted from the N field |
// | ...   | the replies, in order                          |
// Each reply runs from its offset to the next one's (the last to the end of the data). False
// when N passes the record capacity or an offset points outside the data, backwards or into
// the offset table, or a reply is shorter than its 4-byte header.
bool SplitServiceReplies(const ExplicitResponse& reply, ServiceReplies& out) {
    const size_t dataLength = std::min<size_t>(reply.dataLength, sizeof reply.data);
    ByteReader r(reply.data, dataLength);
    const uint16_t count = r.u16();
    if (!r.ok() || count > kMaxTagReplies || !r.need(size_t{count} * 2)) {
        return false;
    }
    std::array<uint16_t, kMaxTagReplies + 1> offsets{};
    for (uint16_t i = 0; i < count; ++i) {
        offsets[i] = r.u16();
    }
    offsets[count] = static_cast<uint16_t>(dataLength);
    const size_t tableEnd = 2 + size_t{count} * 2;
    for (uint16_t i = 0; i < count; ++i) {
        if (offsets[i] < tableEnd || size_t{offsets[i]} + 4 > offsets[i + 1]) {
            return false;
        }
        out.records[i] = ByteView{reply.data + offsets[i], size_t{offsets[i + 1]} - offsets[i]};
    }
    out.count = count;
    return true;
}

// One reply record:
// | size  | content                                                     |
// | 1     | reply service (0xCC for Read Tag)                           |
// | 1     | reserved                                                    |
// | 1     | general status                                              |
// | 1     | additional status size, words                               |
// | 2 × n | additional status words (the first one is kept)             |
// | 2     | Read Tag only: data type                                    |
// | 2     | Read Tag of a structure (type 0x02A0) only: structure handle |
// | ...   | Read Tag only: the value bytes                              |
// Returns the value bytes (empty for other services); false when the record is cut short.
bool DecodeReplyRecord(ByteView bytes, TagReplySet& record, ByteView& value) {
    record = TagReplySet{};
    ByteReader r(bytes);
    record.service = r.u8();
    r.skip(1);
    record.generalStatus = r.u8();
    const uint8_t extWords = r.u8();
    if (extWords > 0) {
        record.extStatus = r.u16();
        r.skip((static_cast<size_t>(extWords) - 1) * 2);
    }
    if (!r.ok()) {
        return false;
    }
    value = ByteView{};
    const bool read = record.service == LOGIX_SVC_READ_TAG_REPLY ||
                      record.service == LOGIX_SVC_READ_FRAGMENTED_REPLY;
    if (read && r.remaining() >= 2) {
        record.dataType = r.u16();
        if (record.dataType == LOGIX_TYPE_STRUCTURE && r.remaining() >= 2) {
            record.structHandle = r.u16();
        }
        value = r.rest();
    }
    return true;
}

// The one record of a single-request packet's reply; false when the reply is not one.
bool SingleRecord(const ExplicitResponse& reply, TagReplySet& record, ByteView& value) {
    ServiceReplies replies;
    return reply.service == LOGIX_SVC_MULTIPLE_SERVICE_REPLY &&
           SplitServiceReplies(reply, replies) && replies.count == 1 &&
           DecodeReplyRecord(replies.records[0], record, value);
}

// Room a tag's Read Tag reply record takes, from the value size its test read learned: the
// elements holding a bit tag's bits, the value itself otherwise.
size_t ExpectedReadRecord(const EipTag& tag) {
    const TagInfo& info = tag.GetInfo();
    const TagBits& bits = tag.GetTagData().GetBits();
    const size_t handle = info.innerType == kInnerTypeStructure ? 2 : 0;
    const size_t value = bits.count != 0
                             ? size_t{tag.GetTagData().GetElementCount()} * bits.wordBytes
                             : static_cast<size_t>(std::max<int32_t>(info.dataLen, 0));
    return kReadRecordFront + handle + value;
}

// Symbol type word of a BOOL array: one dimension of DWORD words (or of BOOLs, as some
// controllers list it); the bits it holds, 0 for anything else.
uint32_t BoolArrayLength(const LogixSymbol& symbol) {
    const uint8_t code = symbol.type & LOGIX_SYMBOL_ATOMIC_MASK;
    if (symbol.IsStructure() || symbol.DimensionCount() != 1) {
        return 0;
    }
    const uint64_t bits = code == LOGIX_ATOMIC_DWORD  ? uint64_t{symbol.dims[0]} * 32
                          : code == LOGIX_ATOMIC_BOOL ? (uint64_t{symbol.dims[0]} + 31) / 32 * 32
                                                      : 0;
    return bits <= UINT32_MAX ? static_cast<uint32_t>(bits) : 0;
}

// Wraps embedded requests into a Multiple Service Packet:
// | size  | value                                                          |
// | 6     | 0x0A to the Message Router                                     |
// | 2     | N, number of embedded requests                                 |
// | 2 × N | offsets from the N field: 2 + 2N, then each previous + its size |
// | ...   | the embedded requests                                          |
void WriteMultiService(ByteWriter& w, const std::vector<uint16_t>& lengths, ByteView requests) {
    WriteMultiServiceFront(w);
    w.u16(static_cast<uint16_t>(lengths.size()));
    size_t offset = kOffsetEntrySize + kOffsetEntrySize * lengths.size();
    for (const uint16_t length : lengths) {
        w.u16(static_cast<uint16_t>(offset));
        offset += length;
    }
    w.bytes(requests);
}

// The status that explains a refused single-request packet: a controller answers 0x1E
// (embedded service error) outside and the reason in the embedded reply, so that reply's status
// is reported when there is one.
ExplicitResponse ReasonOfRefusal(const ExplicitResponse& reply) {
    ExplicitResponse reason = reply;
    TagReplySet record;
    ByteView value;
    if (SingleRecord(reply, record, value) && record.generalStatus != CIP_STATUS_SUCCESS) {
        reason.generalStatus = record.generalStatus;
        reason.extStatusSize = record.extStatus != 0 ? 1 : 0;
        reason.extStatus[0] = record.extStatus;
    }
    return reason;
}

// The structure a member name lies in: the name up to its last member (Line.Motor[2].Speed
// gives Line.Motor[2] and Speed); empty when the name is no member (Tag, Program:Main.Tag,
// Status.5).
std::string HostOf(const std::string& tagName, std::string& memberPath) {
    const bool program =
        tagName.compare(0, std::strlen(LOGIX_PROGRAM_PREFIX), LOGIX_PROGRAM_PREFIX) == 0;
    size_t dot = std::string::npos;
    size_t dots = 0;
    int depth = 0;
    for (size_t i = 0; i < tagName.size(); ++i) {
        const char c = tagName[i];
        depth += c == '[' ? 1 : c == ']' ? -1 : 0;
        if (depth == 0 && c == '.' && ++dots > (program ? 1u : 0u)) {
            dot = i;
        }
    }
    if (dot == std::string::npos || dot + 1 >= tagName.size() ||
        std::isdigit(static_cast<unsigned char>(tagName[dot + 1])) != 0) {
        return std::string();
    }
    memberPath = tagName.substr(dot + 1);
    return tagName.substr(0, dot);
}

}  // namespace

EipConnection* EipConnection::Create(ProtocolFamily family, const ConnectInfo* info) {
    if (family == kFamilyCip) {
        return new (std::nothrow) ControlLogixConnection(info);
    }
    if (family == kFamilyPccc) {
        return new (std::nothrow) PcccConnection(info);
    }
    eiplog::Error("Create", eiplog::Text("Failed to create connection: family not supported (",
                                         static_cast<int>(family), ")"));
    return nullptr;
}

ControlLogixConnection::ControlLogixConnection(const ConnectInfo* info) : EipConnection(info) {}

bool ControlLogixConnection::CheckStatesForPolling(uint8_t /*ucmmState*/, uint8_t explicitState) {
    // EM connection states: 1 BUSY, 2 READY, 3 NEED2SEND.
    return explicitState > 1;
}

bool ControlLogixConnection::IsServiceSupported(uint8_t service) {
    return service == LOGIX_SVC_MULTIPLE_SERVICE_REPLY;
}

ProtocolFamily ControlLogixConnection::GetProtocolFamily() {
    return kFamilyCip;
}

// SendUnitData front (46 bytes):
// | off | size | value                                            |
// |   0 |    2 | 0x0070 SendUnitData                              |
// |   2 |    2 | encapsulation length, patched by the caller      |
// |   4 |    4 | sessionHandle                                    |
// |   8 |   16 | status, sender context, options: 0               |
// |  24 |    4 | interface handle 0                               |
// |  28 |    2 | timeout field 1024                               |
// |  30 |    2 | item count 2                                     |
// |  32 |    2 | 0x00A1 connected address item, length 4 at 34    |
// |  36 |    4 | otConnectionId                                   |
// |  40 |    2 | 0x00B1 connected data item                       |
// |  42 |    2 | its length (from 44), patched by the caller      |
// |  44 |    2 | sequence count, raised by one for every request  |
int ControlLogixConnection::BuildEipUnitDataHeader(uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr || length < EIP_UNIT_DATA_FRONT_SIZE) {
        eiplog::Error("BuildEipUnitDataHeader", "buffer is null or buffer length is lower than 46");
        return -1;
    }
    sequenceCount = static_cast<uint16_t>(sequenceCount + 1);
    ByteWriter w(buffer, length);
    w.u16(EIP_CMD_SEND_UNIT_DATA).u16(0).u32(sessionHandle).u32(0).zeros(8).u32(0);
    w.u32(0).u16(CPF_REQUEST_TIMEOUT).u16(kUnitDataItemCount);
    w.u16(CPF_ITEM_CONNECTED_ADDRESS).u16(kConnectedAddressLength).u32(otConnectionId);
    w.u16(CPF_ITEM_CONNECTED_DATA).u16(0).u16(sequenceCount);
    return static_cast<int>(w.position());
}

int ControlLogixConnection::FillMultiReqService(uint8_t* buffer, uint16_t offset, size_t capacity) {
    if (buffer == nullptr || offset > capacity) {
        return -1;
    }
    ByteWriter w(buffer + offset, capacity - offset);
    WriteMultiServiceFront(w);
    return w.ok() ? offset + static_cast<int>(kMultiServiceFrontSize) : -1;
}

size_t ControlLogixConnection::ConnectedBudget() const {
    const size_t size = connectionSize != 0 ? connectionSize : CIP_SMALL_CONNECTION_SIZE;
    return size - kSequenceCountSize;
}

// Poll request, after the SendUnitData front: one Multiple Service Packet (WriteMultiService)
// of, per tag, 0x4C and the tag's whole encoded address; or of one 0x52 Read Tag Fragmented with
// the encoded address and a 32-bit byte offset 0, for a tag whose reply cannot fit one message.
// Bit tags of an element another bit tag of the batch reads share that tag's request; so do
// members of one structure when two or more are polled and the structure fits one reply.
int ControlLogixConnection::RequestExplicitTags(const std::vector<EipTag*>& pollList, size_t size,
                                                size_t& nextIndex) {
    size = std::min(size, pollList.size());
    const size_t budget = ConnectedBudget();
    fragmentedAddress.clear();
    fragmentedBits = TagBits{};
    batchBits.clear();
    std::vector<uint8_t> area;
    std::vector<uint16_t> lengths;
    size_t taken = 0;
    bool anyBits = false;
    size_t requestBytes = kMultiServiceFrontSize + kOffsetEntrySize;
    size_t replyBytes = kMultiServiceReplyFront;
    std::map<std::vector<uint8_t>, size_t> hostReads = HostReads(pollList, nextIndex, size);
    // The embedded request of each address read for bits or members, found by its bytes.
    const auto byBytes = [](const std::vector<uint8_t>* a, const std::vector<uint8_t>* b) {
        return *a < *b;
    };
    std::map<const std::vector<uint8_t>*, uint16_t, decltype(byBytes)> sharedReads(byBytes);
    while (nextIndex + taken < size && taken < kMaxTagReplies) {
        const EipTag* tag = pollList[nextIndex + taken];
        if (tag == nullptr) {
            eiplog::Error("RequestEMTags", "failed to copy tag data");
            return -1;
        }
        const std::shared_ptr<const LogixStructureInfo>& structure = tag->GetInfo().structure;
        const bool throughHost =
            structure != nullptr && hostReads.count(structure->hostAddress) != 0;
        const std::shared_ptr<const LogixStructureInfo> member = throughHost ? structure : nullptr;
        const std::vector<uint8_t>& address =
            throughHost ? structure->hostAddress : tag->GetTagData().GetEncodedAddress();
        const TagBits& bits = tag->GetTagData().GetBits();
        if (bits.count != 0 || throughHost) {
            if (!anyBits) {
                anyBits = true;
                for (size_t i = 0; i < taken; ++i) {
                    batchBits.push_back(TagRead{static_cast<uint16_t>(i), TagBits{}, nullptr});
                }
            }
            const auto shared = sharedReads.find(&address);
            if (shared != sharedReads.end()) {
                batchBits.push_back(TagRead{shared->second, bits, member});
                ++taken;
                continue;
            }
        }
        const size_t request = kOffsetEntrySize + 1 + address.size();
        const size_t reply = kOffsetEntrySize + (throughHost ? hostReads[structure->hostAddress]
                                                             : ExpectedReadRecord(*tag));
        if (kMultiServiceReplyFront + reply > budget) {
            if (taken == 0 && requestBytes + request + kFragmentOffsetSize <= budget) {
                fragmentedAddress = address;
                fragmentedBits = bits;
                area.push_back(CIP_SVC_READ_TAG_FRAGMENTED);
                area.insert(area.end(), address.begin(), address.end());
                area.insert(area.end(), kFragmentOffsetSize, 0);
                lengths.push_back(static_cast<uint16_t>(area.size()));
                taken = 1;
                batchBits.clear();
            }
            break;
        }
        if (requestBytes + request > budget || replyBytes + reply > budget) {
            break;
        }
        requestBytes += request;
        replyBytes += reply;
        if (anyBits) {
            batchBits.push_back(TagRead{static_cast<uint16_t>(lengths.size()), bits, member});
            if (bits.count != 0 || throughHost) {
                sharedReads.emplace(&address, static_cast<uint16_t>(lengths.size()));
            }
        }
        area.push_back(CIP_SVC_READ_TAG);
        area.insert(area.end(), address.begin(), address.end());
        lengths.push_back(static_cast<uint16_t>(1 + address.size()));
        ++taken;
    }
    size_t advance = taken;
    if (taken == 0 && nextIndex < size) {
        // A tag that alone breaks the limit can never be polled: pass over it so that the
        // cycle goes on (the empty request still goes out and keeps the reply order).
        eiplog::Error("RequestEMTags",
                      eiplog::Text(pollList[nextIndex]->GetInfo().alias,
                                   ": tag name too long for one poll request; not polled"));
        advance = 1;
    }
    ByteWriter w(budget);
    WriteMultiService(w, lengths, ByteView{area.data(), area.size()});
    if (!w.ok()) {
        eiplog::Error("RequestEMTags", "failed to copy tag data");
        return -1;
    }
    nextIndex += advance;
    if (nextIndex >= size) {
        nextIndex = 0;
    }
    if (SendConnected(w.view()) != 0) {
        eiplog::Info("RequestEMTags", "failed to send");
        return -1;
    }
    return 0;
}

int ControlLogixConnection::SendConnected(ByteView multiService) {
    std::vector<uint8_t> buffer(EIP_UNIT_DATA_FRONT_SIZE + multiService.size);
    if (BuildEipUnitDataHeader(buffer.data(), static_cast<uint32_t>(buffer.size())) < 0) {
        eiplog::Error("RequestEMTags", "failed building a Eip Unit Data Header");
        return -1;
    }
    std::copy(multiService.begin(), multiService.end(), buffer.begin() + EIP_UNIT_DATA_FRONT_SIZE);
    const size_t total = buffer.size();
    PutLittleEndian16(static_cast<uint16_t>(total - EIP_ENCAP_HEADER_SIZE),
                      buffer.data() + EIP_ENCAP_LENGTH_OFFSET);
    PutLittleEndian16(static_cast<uint16_t>(total - EIP_UNIT_DATA_ITEM_START),
                      buffer.data() + kUnitDataItemLengthOffset);
    return EipSendData(buffer.data(), total, kRequestTimeoutSeconds);
}

int ControlLogixConnection::AnalyzeTagResp(const ExplicitResponse& reply, TagRequestSet& response,
                                           const TagLookup& /*lookup*/) {
    const int result = DecodeReplies(reply, response);
    return result != 0 || batchBits.empty() ? result : SpreadToTags(response);
}

int ControlLogixConnection::DecodeReplies(const ExplicitResponse& reply, TagRequestSet& response) {
    response.count = 0;
    ServiceReplies replies;
    if (!SplitServiceReplies(reply, replies)) {
        eiplog::Error("AnalyzeTagResp", "unexpected : malformed multiple service reply");
        return -1;
    }
    for (uint16_t i = 0; i < replies.count; ++i) {
        TagReplySet& record = response.replies[i];
        ByteView value;
        if (!DecodeReplyRecord(replies.records[i], record, value)) {
            eiplog::Error("AnalyzeTagResp", "unexpected : malformed multiple service reply");
            return -1;
        }
        record.data.assign(value.begin(), value.end());
        record.dataLength = static_cast<uint16_t>(value.size);
    }
    response.count = replies.count;
    return 0;
}

// One record per tag of the request from the records per embedded request. Records move to
// higher places only (a tag's reply index is never above its own), so the spreading runs from
// the last tag down, in place.
int ControlLogixConnection::SpreadToTags(TagRequestSet& response) const {
    const auto last =
        std::max_element(batchBits.begin(), batchBits.end(),
                         [](const TagRead& a, const TagRead& b) { return a.reply < b.reply; });
    if (response.count != last->reply + 1u || batchBits.size() > kMaxTagReplies) {
        eiplog::Error("AnalyzeTagResp", "unexpected : reply count differs from the request's");
        response.count = 0;
        return -1;
    }
    for (size_t t = batchBits.size(); t-- > 0;) {
        const TagRead& read = batchBits[t];
        if (read.reply != t) {
            response.replies[t] = response.replies[read.reply];
        }
        TakeShared(read, response.replies[t]);
    }
    response.count = static_cast<uint16_t>(batchBits.size());
    return 0;
}

std::map<std::vector<uint8_t>, size_t> ControlLogixConnection::HostReads(
    const std::vector<EipTag*>& pollList, size_t from, size_t size) const {
    std::map<std::vector<uint8_t>, size_t> members;
    for (size_t i = from; i < size; ++i) {
        const LogixStructureInfo* structure =
            pollList[i] != nullptr ? pollList[i]->GetInfo().structure.get() : nullptr;
        if (structure != nullptr && structure->host != nullptr) {
            ++members[structure->hostAddress];
        }
    }
    // Each shared structure read, with the room its reply record takes.
    std::map<std::vector<uint8_t>, size_t> reads;
    for (size_t i = from; i < size; ++i) {
        const LogixStructureInfo* structure =
            pollList[i] != nullptr ? pollList[i]->GetInfo().structure.get() : nullptr;
        if (structure == nullptr || structure->host == nullptr ||
            members[structure->hostAddress] < 2) {
            continue;
        }
        const size_t record = kReadRecordFront + 2 + structure->host->top->structureSize;
        if (kMultiServiceReplyFront + kOffsetEntrySize + record <= ConnectedBudget()) {
            reads[structure->hostAddress] = record;
        }
    }
    return reads;
}

// A member read with its structure: the member's bytes cut from the structure's value, typed
// as the member's own Read Tag reply would be.
void ControlLogixConnection::TakeShared(const TagRead& read, TagReplySet& record) {
    if (!read.member || record.generalStatus != CIP_STATUS_SUCCESS) {
        TakeBits(read.bits, record);
        return;
    }
    const LogixMemberLocation& member = read.member->member;
    std::vector<uint8_t> value;
    std::string reason;
    record.layoutChanged = record.structHandle != read.member->host->top->handle;
    if (record.layoutChanged ||
        !logix_structure::CutMember(ByteView{record.data.data(), record.data.size()}, member, value,
                                    reason)) {
        value.clear();
    }
    const bool structure = (member.type & LOGIX_SYMBOL_STRUCTURE) != 0;
    record.dataType = member.bit >= 0 ? kInnerTypeBool
                      : structure     ? LOGIX_TYPE_STRUCTURE
                                  : static_cast<uint16_t>(member.type & LOGIX_SYMBOL_ATOMIC_MASK);
    record.structHandle = structure && member.structure ? member.structure->handle : 0;
    record.data = std::move(value);
    record.dataLength = static_cast<uint16_t>(record.data.size());
}

// A bit tag's value: one byte (0 or 1) per bit, as a BOOL array of that length. A record the
// controller refused, or one still to be read in fragments, is left as it is; a value too
// short for the bits is emptied (and not published).
void ControlLogixConnection::TakeBits(const TagBits& bits, TagReplySet& record) {
    if (bits.count == 0 || record.generalStatus != CIP_STATUS_SUCCESS) {
        return;
    }
    std::vector<uint8_t> values;
    if (uint64_t{bits.first} + bits.count <= uint64_t{record.data.size()} * 8) {
        values.resize(bits.count);
        for (uint32_t i = 0; i < bits.count; ++i) {
            const uint32_t bit = bits.first + i;
            values[i] = (record.data[bit / 8] >> (bit % 8)) & 1u;
        }
    }
    record.data = std::move(values);
    record.dataLength = static_cast<uint16_t>(record.data.size());
    record.dataType = kInnerTypeBool;
}

// Read Tag Fragmented request (embedded):
// | size | value                                              |
// | 1    | 0x52                                               |
// | ...  | the tag's encoded address (path, element count)    |
// | 4    | byte offset of the first value byte wanted         |
// Its reply record is a Read Tag reply (service 0xD2) whose status 0x06 says more follows.
int ControlLogixConnection::ReadFragments(const std::vector<uint8_t>& address, TagReplySet& record,
                                          const Exchange& exchange) {
    auto reply = std::make_unique<ExplicitResponse>();
    bool first = true;
    while (record.generalStatus == CIP_STATUS_PARTIAL_TRANSFER) {
        if (record.data.size() >= kMaxValueBytes) {
            eiplog::Error("ReadFragments",
                          eiplog::Text("value larger than ", kMaxValueBytes, " bytes; not read"));
            record.generalStatus = LOGIX_STATUS_REPLY_TOO_LARGE;
            return -1;
        }
        ByteWriter w(1 + address.size() + kFragmentOffsetSize);
        w.u8(CIP_SVC_READ_TAG_FRAGMENTED)
            .bytes(address.data(), address.size())
            .u32(static_cast<uint32_t>(record.data.size()));
        const int result = exchange(w.view(), *reply);
        if (result != 0) {
            return result;
        }
        TagReplySet next;
        ByteView value;
        const bool fragment =
            SingleRecord(*reply, next, value) && next.service == LOGIX_SVC_READ_FRAGMENTED_REPLY;
        const bool stalled = next.generalStatus == CIP_STATUS_PARTIAL_TRANSFER && value.empty();
        if (!fragment || stalled ||
            (!first &&
             (next.dataType != record.dataType || next.structHandle != record.structHandle))) {
            eiplog::Error("ReadFragments", "unexpected : fragmented read reply out of step");
            record.generalStatus =
                fragment && !stalled ? CIP_STATUS_GENERAL_ERROR : next.generalStatus;
            return -1;
        }
        if (next.generalStatus != CIP_STATUS_SUCCESS &&
            next.generalStatus != CIP_STATUS_PARTIAL_TRANSFER) {
            record.generalStatus = next.generalStatus;
            record.extStatus = next.extStatus;
            return -1;
        }
        first = false;
        record.service = next.service;
        record.generalStatus = next.generalStatus;
        record.dataType = next.dataType;
        record.structHandle = next.structHandle;
        record.data.insert(record.data.end(), value.begin(), value.end());
    }
    if (record.data.size() > kMaxValueBytes) {
        record.generalStatus = LOGIX_STATUS_REPLY_TOO_LARGE;
        return -1;
    }
    record.dataLength = static_cast<uint16_t>(record.data.size());
    return 0;
}

int ControlLogixConnection::ExchangeConnected(ByteView embedded, ExplicitResponse& reply) {
    static const char* const op = "RecvEMTags";
    ByteWriter w(ConnectedBudget());
    WriteMultiService(w, {static_cast<uint16_t>(embedded.size)}, embedded);
    if (!w.ok() || SendConnected(w.view()) != 0) {
        eiplog::Error(op, "failed to send");
        return -2;
    }
    std::vector<uint8_t> buffer(EIP_MSG_BUFFER_SIZE);
    EncapsulationMessage encap{};
    const uint16_t expected = sequenceCount;
    auto cpf = std::make_unique<CpfMessage>();
    const int received = ReadMatchingReply(op, buffer.data(), encap, [&](const auto& e) {
        return e.command == EIP_CMD_SEND_UNIT_DATA &&
               EipParseUCMMRESP(toConnectionId, otConnectionId, e, *cpf, reply) == 0 &&
               GetLittleEndian16(cpf->items[1].data) == expected;
    });
    return received < 1 ? -2 : 0;
}

// Keep-alive request, embedded in a Multiple Service Packet on the class-3 connection:
// | size | value                                                     |
// | 6    | 0x01 Get Attributes All, path 2 words: Identity, instance 1 |
int ControlLogixConnection::KeepAlive() {
    uint8_t request[6];
    const UcmmRequest identity{CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1};
    if (BuildExplicitReqCommon(request, sizeof request, &identity) < 0) {
        return -1;
    }
    auto reply = std::make_unique<ExplicitResponse>();
    return ExchangeConnected(ByteView{request, sizeof request}, *reply) == 0 ? 0 : -1;
}

int ControlLogixConnection::ReadRestOfValue(TagRequestSet& response) {
    if (fragmentedAddress.empty() || response.count != 1) {
        return 0;
    }
    const std::vector<uint8_t> address = std::move(fragmentedAddress);
    fragmentedAddress.clear();
    const int result = ReadFragments(address, response.replies[0],
                                     [this](ByteView embedded, ExplicitResponse& reply) {
                                         return ExchangeConnected(embedded, reply);
                                     });
    if (result == 0) {
        TakeBits(fragmentedBits, response.replies[0]);
    }
    // A refused fragment leaves its status on the record for the device; only a broken
    // socket ends the exchange.
    return result == -2 ? -2 : 0;
}

// Unconnected Send (BuildRoutedRequest) of a Multiple Service Packet holding one embedded tag
// request:
// | size | value                                                 |
// | 6    | 0x0A to the Message Router                            |
// | 2    | 1 embedded request                                    |
// | 2    | 4, its offset                                         |
// | n    | the embedded request                                  |
// An odd n leaves the message odd: its pad byte follows it, outside its length.
int ControlLogixConnection::BuildUnconnectedTagRequest(uint8_t* buffer, size_t capacity,
                                                       ByteView embedded) const {
    ByteWriter w(capacity);
    WriteMultiService(w, {static_cast<uint16_t>(embedded.size)}, embedded);
    if (!w.ok()) {
        return -1;
    }
    return BuildRoutedRequest(buffer, capacity, w.view(), connectInfo.slot);
}

int ControlLogixConnection::ExchangeUnconnected(const char* operation, ByteView embedded,
                                                ExplicitResponse& reply) {
    std::vector<uint8_t> buffer(EIP_MSG_BUFFER_SIZE);
    const int length = BuildUnconnectedTagRequest(buffer.data(), buffer.size(), embedded);
    if (length < 0) {
        eiplog::Error(operation, "failed building a Eip RRDataHeader");
        return -1;
    }
    const ExchangeTexts texts{"failed to send", "failed to recv",
                              "unexpected : parseing cpf and explict response"};
    if (ExchangeExplicit(operation, buffer.data(), static_cast<size_t>(length), texts, reply) !=
        0) {
        return -1;
    }
    if (reply.service != LOGIX_SVC_MULTIPLE_SERVICE_REPLY) {
        eiplog::Error(operation, eiplog::Text("unexpected : not support service ", std::hex,
                                              static_cast<unsigned>(reply.service)));
        return -1;
    }
    return 0;
}

int ControlLogixConnection::TestRead(const std::vector<uint8_t>& address, TagRequestSet& response) {
    if (address.empty()) {
        eiplog::Error("TestEMTag", "failed to copy tag data");
        return -1;
    }
    std::vector<uint8_t> embedded{CIP_SVC_READ_TAG};
    embedded.insert(embedded.end(), address.begin(), address.end());
    auto reply = std::make_unique<ExplicitResponse>();
    if (ExchangeUnconnected("TestEMTag", ByteView{embedded.data(), embedded.size()}, *reply) != 0) {
        return -1;
    }
    TagReplySet& record = response.replies[0];
    ByteView value;
    // A value larger than one reply comes back as "partial transfer"; the rest is read
    // fragmented so that the test learns the whole size.
    if (SingleRecord(*reply, record, value) &&
        record.generalStatus == CIP_STATUS_PARTIAL_TRANSFER) {
        response.count = 1;
        record.data.assign(value.begin(), value.end());
        const Exchange exchange = [this](ByteView request, ExplicitResponse& next) {
            return ExchangeUnconnected("TestEMTag", request, next);
        };
        if (ReadFragments(address, record, exchange) != 0) {
            LogResponseError("unexpected : explict response error", *reply);
            return -1;
        }
        return 0;
    }
    if (reply->generalStatus != CIP_STATUS_SUCCESS) {
        LogResponseError("unexpected : explict response error", ReasonOfRefusal(*reply));
        return -1;
    }
    return DecodeReplies(*reply, response);
}

int ControlLogixConnection::ReadCurrentValue(const EipTagData& tagData, TagReplySet& record) {
    auto response = std::make_unique<TagRequestSet>();
    if (TestRead(tagData.GetEncodedAddress(), *response) != 0 || response->count < 1 ||
        response->replies[0].generalStatus != CIP_STATUS_SUCCESS) {
        return -1;
    }
    record = std::move(response->replies[0]);
    return 0;
}

// What a test read learns of the element a tag's name addresses, before the tag's bits are
// known: a bit number needs an integer at least that wide; a name whose element reads as DWORD
// words, or whose array does, addresses a BOOL array, re-encoded to its words. The record then
// holds the tag's bits.
int ControlLogixConnection::TestExplicitTag(EipTag* tag, TagRequestSet& response) {
    auto* logixTag = dynamic_cast<ControlLogixTag*>(tag);
    if (logixTag == nullptr) {
        return -1;
    }
    const ControlLogixTagData& data = logixTag->GetLogixTagData();
    TagInfo& info = tag->GetInfo();
    int result = TestRead(data.GetEncodedAddress(), response);
    const uint16_t type = result == 0 && response.count >= 1 ? response.replies[0].dataType : 0;
    if (data.GetBits().count == 0 && data.GetBitIndex() >= 0) {
        if (result != 0) {
            return result;
        }
        if (!IsIntegerType(type) || !Relearn(*tag, type, 0)) {
            eiplog::Error("TestEMTag", eiplog::Text(info.tagName, ": bit ", data.GetBitIndex(),
                                                    " is not a bit of the element (type 0x",
                                                    std::hex, type, ")"));
            return -1;
        }
    } else if (data.GetBits().count == 0 && IsBoolArray(*tag, data, result, type)) {
        result = TestRead(data.GetEncodedAddress(), response);
    }
    if (result == 0) {
        TakeBits(data.GetBits(), response.replies[0]);
        LearnStructure(*tag, response.replies[0]);
    }
    return result;
}

bool ControlLogixConnection::IsBoolArray(EipTag& tag, const ControlLogixTagData& data,
                                         int readResult, uint16_t type) {
    const bool readAsWords = readResult == 0 && type == kInnerTypeBitarray;
    if (data.EndsWithSingleIndex()) {
        auto probe = std::make_unique<TagRequestSet>();
        return (readAsWords || readResult != 0) && TestRead(data.ArrayAddress(), *probe) == 0 &&
               probe->count >= 1 && probe->replies[0].dataType == kInnerTypeBitarray &&
               Relearn(tag, kInnerTypeBitarray, 0);
    }
    if (!readAsWords) {
        return false;
    }
    const uint32_t length = LookUpBoolArrayLength(tag.GetInfo().tagName);
    return length != 0 && Relearn(tag, kInnerTypeBitarray, length);
}

bool ControlLogixConnection::Relearn(EipTag& tag, int32_t wordType, uint32_t boolArrayLength) {
    TagInfo& info = tag.GetInfo();
    info.wordType = wordType;
    info.boolArrayLength = boolArrayLength;
    if (tag.ParsingTagName() >= 0) {
        return true;
    }
    info.wordType = 0;
    info.boolArrayLength = 0;
    tag.ParsingTagName();
    return false;
}

LogixBrowser::Exchange ControlLogixConnection::BrowseExchange() {
    return [this](ByteView request, LogixBrowser::Reply& reply) {
        auto response = std::make_unique<ExplicitResponse>();
        if (ExchangeRouted("TestEMTag", request, connectInfo.slot, *response) != 0) {
            return false;
        }
        reply.service = response->service;
        reply.generalStatus = response->generalStatus;
        reply.data.assign(response->data, response->data + std::min<size_t>(response->dataLength,
                                                                            sizeof response->data));
        return true;
    };
}

void ControlLogixConnection::LearnStructure(EipTag& tag, const TagReplySet& record) {
    TagInfo& info = tag.GetInfo();
    info.structure = nullptr;
    auto learned = std::make_shared<LogixStructureInfo>();
    std::string reason;
    // The controller's own STRING keeps the text conversion it always had.
    if (record.dataType == LOGIX_TYPE_STRUCTURE && record.structHandle != kStringStructHandle) {
        learned->type =
            structures_.Resolve(info.tagName, record.structHandle, BrowseExchange(), reason);
        if (!learned->type) {
            eiplog::Error("TestEMTag", info.tagName + ": structure kept as raw bytes - " + reason);
        }
    }
    if (tag.GetTagData().GetBits().count == 0) {
        LearnHost(info.tagName, *learned);
    }
    if (learned->type || learned->host) {
        info.structure = std::move(learned);
    }
}

void ControlLogixConnection::LearnHost(const std::string& tagName, LogixStructureInfo& learned) {
    std::string memberPath;
    const std::string hostName = HostOf(tagName, memberPath);
    ControlLogixTagData host;
    if (hostName.empty() || !host.ParseTagName(hostName, hostName)) {
        return;
    }
    auto probe = std::make_unique<TagRequestSet>();
    if (TestRead(host.GetEncodedAddress(), *probe) != 0 || probe->count < 1 ||
        probe->replies[0].dataType != LOGIX_TYPE_STRUCTURE) {
        return;
    }
    std::string reason;
    learned.host =
        structures_.Resolve(hostName, probe->replies[0].structHandle, BrowseExchange(), reason);
    if (!learned.host ||
        !logix_structure::LocateMember(*learned.host->top, memberPath, learned.host->Lookup(),
                                       learned.member, reason)) {
        eiplog::Error("TestEMTag", tagName + ": read on its own - " + reason);
        learned.host = nullptr;
        return;
    }
    learned.hostName = hostName;
    learned.hostAddress = host.GetEncodedAddress();
}

// The bits a whole BOOL array holds, from its entry in the controller's tag list (the Symbol
// object of its scope); 0 when the list does not say.
uint32_t ControlLogixConnection::LookUpBoolArrayLength(const std::string& tagName) {
    LogixTemplateCache cache;
    LogixBrowser browser(BrowseExchange(), cache, connectInfo.alias);
    LogixSymbol symbol;
    std::string reason;
    if (!browser.FindSymbol(tagName, symbol, reason)) {
        eiplog::Error("TestEMTag", tagName + ": length of the BOOL array unknown - " + reason);
        return 0;
    }
    return BoolArrayLength(symbol);
}

// Embedded Write Tag request (0x4D), and Write Tag Fragmented (0x53) with its byte offset:
// | size | value                                                     |
// | 1    | 0x4D / 0x53                                               |
// | ...  | path size and path (the encoded address without its count) |
// | 2    | data type; 0x02A0 for a structure                         |
// | 2    | structure handle (of the value read), for a structure only |
// | 2    | element count                                             |
// | 4    | 0x53 only: byte offset of this piece                      |
// | n    | value bytes (an odd count is padded after the whole message |
// |      | by the Unconnected Send, outside the message's length)     |
std::vector<uint8_t> ControlLogixConnection::EncodeWriteTag(ByteView path, uint16_t type,
                                                            uint16_t structureHandle,
                                                            uint16_t count, ByteView value,
                                                            int64_t offset) {
    ByteWriter e(kUnconnectedRequestLimit);
    e.u8(offset < 0 ? CIP_SVC_WRITE_TAG : CIP_SVC_WRITE_TAG_FRAGMENTED).bytes(path).u16(type);
    if (type == LOGIX_TYPE_STRUCTURE) {
        e.u16(structureHandle);
    }
    e.u16(count);
    if (offset >= 0) {
        e.u32(static_cast<uint32_t>(offset));
    }
    e.bytes(value);
    return e.ok() ? e.to_vector() : std::vector<uint8_t>{};
}

int ControlLogixConnection::WritePiece(const TagInfo& tagInfo, const EipTagData& tagData,
                                       ByteView piece, int64_t offset) {
    const std::vector<uint8_t>& address = tagData.GetEncodedAddress();
    if (address.size() < 2) {
        eiplog::Error("WriteDataToTag", "failed to copy tag data");
        return -1;
    }
    const uint16_t handle = tagInfo.structHandle != 0 ? tagInfo.structHandle : kStringStructHandle;
    const std::vector<uint8_t> request =
        EncodeWriteTag(ByteView{address.data(), address.size() - 2},
                       static_cast<uint16_t>(tagInfo.innerType & 0xFFFF), handle,
                       tagData.GetElementCount(), piece, offset);
    if (request.empty()) {
        eiplog::Error("WriteDataToTag", eiplog::Text(tagInfo.alias, ": value of ", piece.size,
                                                     " bytes does not fit one request; not sent"));
        return -1;
    }
    return WriteRequest(ByteView{request.data(), request.size()},
                        offset < 0 ? LOGIX_SVC_WRITE_TAG_REPLY : LOGIX_SVC_WRITE_FRAGMENTED_REPLY);
}

int ControlLogixConnection::WriteRequest(ByteView embedded, uint8_t expected) {
    auto reply = std::make_unique<ExplicitResponse>();
    if (ExchangeUnconnected("WriteDataToTag", embedded, *reply) != 0) {
        return -1;
    }
    // The embedded reply is checked too: success means the write itself succeeded.
    TagReplySet record;
    ByteView value;
    const bool accepted = reply->generalStatus == CIP_STATUS_SUCCESS &&
                          SingleRecord(*reply, record, value) && record.service == expected &&
                          record.generalStatus == CIP_STATUS_SUCCESS;
    if (!accepted) {
        LogResponseError("unexpected : response error", ReasonOfRefusal(*reply));
        return -1;
    }
    return 0;
}

// Read Modify Write Tag request (embedded), on one element:
// | size | value                                          |
// | 1    | 0x4E                                           |
// | ...  | path size and path of the element              |
// | 2    | mask size n: the element's bytes               |
// | n    | OR mask: its 1 bits are set                    |
// | n    | AND mask: its 0 bits are cleared               |
// The controller stores (value | OR) & AND; its reply (0xCE) carries no data.
std::vector<uint8_t> ControlLogixConnection::EncodeReadModifyWrite(ByteView path, uint8_t maskBytes,
                                                                   uint64_t orMask,
                                                                   uint64_t andMask) {
    if (maskBytes == 0 || maskBytes > sizeof(uint64_t)) {
        return {};
    }
    ByteWriter e(kUnconnectedRequestLimit);
    e.u8(CIP_SVC_READ_MODIFY_WRITE_TAG).bytes(path).u16(maskBytes);
    for (const uint64_t mask : {orMask, andMask}) {
        for (uint8_t i = 0; i < maskBytes; ++i) {
            e.u8(static_cast<uint8_t>(mask >> (8 * i)));
        }
    }
    return e.ok() ? e.to_vector() : std::vector<uint8_t>{};
}

// A bit tag is written bit by bit into the elements that hold its bits, one Read Modify Write
// per element, so that the controller keeps every other bit as it is at that moment.
int ControlLogixConnection::WriteBits(const EipTagData& tagData, const uint8_t* data,
                                      uint16_t length) {
    const auto* logixData = dynamic_cast<const ControlLogixTagData*>(&tagData);
    const TagBits& bits = tagData.GetBits();
    if (logixData == nullptr || data == nullptr || length != bits.count || bits.wordBytes == 0 ||
        bits.wordBytes > 8) {
        eiplog::Error("WriteDataToTag", "failed to copy tag data");
        return -1;
    }
    const uint32_t wordBits = uint32_t{bits.wordBytes} * 8;
    for (uint32_t i = 0; i < bits.count;) {
        const uint32_t word = (bits.first + i) / wordBits;
        uint64_t orMask = 0;
        uint64_t andMask = UINT64_MAX;
        for (; i < bits.count && (bits.first + i) / wordBits == word; ++i) {
            const uint64_t bit = uint64_t{1} << ((bits.first + i) % wordBits);
            if (data[i] != 0) {
                orMask |= bit;
            } else {
                andMask &= ~bit;
            }
        }
        const std::vector<uint8_t> path = logixData->WordPath(word);
        const std::vector<uint8_t> request = EncodeReadModifyWrite(
            ByteView{path.data(), path.size()}, bits.wordBytes, orMask, andMask);
        if (path.empty() || request.empty() ||
            WriteRequest(ByteView{request.data(), request.size()},
                         LOGIX_SVC_READ_MODIFY_WRITE_REPLY) != 0) {
            return -1;
        }
    }
    return 0;
}

// A BOOL member of a structure (Timer1.DN, a user type's BOOL) lives in a host member beside
// other bits: a masked write on the host changes its bit alone.
int ControlLogixConnection::WriteMemberBit(const LogixStructureInfo& structure, const uint8_t* data,
                                           uint16_t length) {
    LogixBitWrite write;
    std::string reason;
    ControlLogixTagData host;
    if (data == nullptr || length != 1 ||
        !logix_structure::BitWrite(structure.member, data[0] != 0, write, reason) ||
        !host.ParseTagName(structure.hostName + "." + write.hostPath, structure.hostName)) {
        eiplog::Error("WriteDataToTag",
                      structure.hostName + ": bit member not written - " + reason);
        return -1;
    }
    const std::vector<uint8_t> path = host.WordPath(0);
    const std::vector<uint8_t> request = EncodeReadModifyWrite(
        ByteView{path.data(), path.size()}, write.maskBytes, write.orMask, write.andMask);
    if (path.empty() || request.empty()) {
        eiplog::Error("WriteDataToTag", structure.hostName + ": bit member path does not fit");
        return -1;
    }
    return WriteRequest(ByteView{request.data(), request.size()},
                        LOGIX_SVC_READ_MODIFY_WRITE_REPLY);
}

int ControlLogixConnection::WriteDataToTag(const TagInfo& tagInfo, const EipTagData& tagData,
                                           const uint8_t* data, uint16_t length) {
    if (data == nullptr && length != 0) {
        eiplog::Error("WriteDataToTag", "failed to copy tag data");
        return -1;
    }
    if (tagData.GetBits().count != 0) {
        return WriteBits(tagData, data, length);
    }
    if (tagInfo.structure && tagInfo.structure->host && tagInfo.structure->member.bit >= 0) {
        return WriteMemberBit(*tagInfo.structure, data, length);
    }
    // Room one unconnected request leaves for value bytes: the limit less the Multiple Service
    // Packet around the write, its service, path, type, handle, count and offset.
    const size_t overhead = kMultiServiceFrontSize + 2 * kOffsetEntrySize + 1 +
                            tagData.GetEncodedAddress().size() + 2 + 2 + kFragmentOffsetSize;
    const size_t room =
        kUnconnectedRequestLimit > overhead ? kUnconnectedRequestLimit - overhead : 0;
    if (length <= room) {
        return WritePiece(tagInfo, tagData, ByteView{data, length}, -1);
    }
    const size_t piece = room - room % kFragmentAlignment;
    if (piece == 0) {
        eiplog::Error("WriteDataToTag", eiplog::Text(tagInfo.alias, ": value of ", length,
                                                     " bytes does not fit one request; not sent"));
        return -1;
    }
    for (size_t offset = 0; offset < length; offset += piece) {
        const size_t size = std::min(piece, length - offset);
        if (WritePiece(tagInfo, tagData, ByteView{data + offset, size},
                       static_cast<int64_t>(offset)) != 0) {
            return -1;
        }
    }
    return 0;
}
