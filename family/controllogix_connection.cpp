#include "family/controllogix_connection.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string>

#include "common/eip_log.h"
#include "family/eip_tagdata.h"
#include "family/pccc_connection.h"
#include "tag/eip_tag.h"

namespace {

// Request path of the Message Router, instance 1 (path size in words first).
constexpr uint8_t kMessageRouterPath[] = {0x02, CIP_SEG_CLASS_8, CIP_CLASS_MESSAGE_ROUTER,
                                          CIP_SEG_INSTANCE_8, 0x01};
// Request path of the Connection Manager, instance 1 (path size in words first).
constexpr uint8_t kConnectionManagerPath[] = {0x02, CIP_SEG_CLASS_8, CIP_CLASS_CONNECTION_MANAGER,
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
// Route path of an Unconnected Send: one word, port and link address.
constexpr uint8_t kRoutePathWords = 0x01;
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

// Room a tag's Read Tag reply record takes, from the value size its test read learned.
size_t ExpectedReadRecord(const TagInfo& info) {
    const size_t handle = info.innerType == kInnerTypeStructure ? 2 : 0;
    return kReadRecordFront + handle + static_cast<size_t>(std::max<int32_t>(info.dataLen, 0));
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
int ControlLogixConnection::RequestExplicitTags(const std::vector<EipTag*>& pollList, size_t size,
                                                size_t& nextIndex) {
    size = std::min(size, pollList.size());
    const size_t budget = ConnectedBudget();
    fragmentedAddress.clear();
    std::vector<uint8_t> area;
    std::vector<uint16_t> lengths;
    size_t requestBytes = kMultiServiceFrontSize + kOffsetEntrySize;
    size_t replyBytes = kMultiServiceReplyFront;
    while (nextIndex + lengths.size() < size && lengths.size() < kMaxTagReplies) {
        const EipTag* tag = pollList[nextIndex + lengths.size()];
        if (tag == nullptr) {
            eiplog::Error("RequestEMTags", "failed to copy tag data");
            return -1;
        }
        const std::vector<uint8_t>& address = tag->GetTagData().GetEncodedAddress();
        const size_t request = kOffsetEntrySize + 1 + address.size();
        const size_t reply = kOffsetEntrySize + ExpectedReadRecord(tag->GetInfo());
        if (kMultiServiceReplyFront + reply > budget) {
            if (lengths.empty() && requestBytes + request + kFragmentOffsetSize <= budget) {
                fragmentedAddress = address;
                area.push_back(CIP_SVC_READ_TAG_FRAGMENTED);
                area.insert(area.end(), address.begin(), address.end());
                area.insert(area.end(), kFragmentOffsetSize, 0);
                lengths.push_back(static_cast<uint16_t>(area.size()));
            }
            break;
        }
        if (requestBytes + request > budget || replyBytes + reply > budget) {
            break;
        }
        requestBytes += request;
        replyBytes += reply;
        area.push_back(CIP_SVC_READ_TAG);
        area.insert(area.end(), address.begin(), address.end());
        lengths.push_back(static_cast<uint16_t>(1 + address.size()));
    }
    size_t advance = lengths.size();
    if (lengths.empty() && nextIndex < size) {
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
    // A refused fragment leaves its status on the record for the device; only a broken
    // socket ends the exchange.
    return result == -2 ? -2 : 0;
}

// Unconnected Send of one embedded tag request:
// | off   | size | value                                                  |
// |  0    |   40 | SendRRData front; lengths patched: total-24, total-40  |
// | 40    |    1 | 0x52 Unconnected Send                                  |
// | 41    |    5 | 02 20 06 24 01 Connection Manager                      |
// | 46    |    1 | 0x07 time tick (128 ms)                                |
// | 47    |    1 | 0x07 time-out ticks                                    |
// | 48    |    2 | embedded message length = total - 54                   |
// | 50    |    6 | Multiple Service Packet to the Message Router          |
// | 56    |    2 | 1 embedded request                                     |
// | 58    |    2 | 4, its offset                                          |
// | 60    |  ... | the embedded request (always an even number of bytes)  |
// | end-4 |    4 | route path: 01 (words), 00, 01 (backplane), slot       |
int ControlLogixConnection::BuildUnconnectedTagRequest(uint8_t* buffer, size_t capacity,
                                                       ByteView embedded) const {
    if (BuildEipRRDataHeader(buffer, capacity, sessionHandle) < 0) {
        return -1;
    }
    ByteWriter w(buffer + EIP_RR_DATA_FRONT_SIZE, capacity - EIP_RR_DATA_FRONT_SIZE);
    w.u8(CIP_SVC_UNCONNECTED_SEND).bytes(kConnectionManagerPath, sizeof kConnectionManagerPath);
    w.u8(CIP_UCMM_TICK).u8(CIP_UCMM_TIMEOUT_TICKS);
    const ByteWriter::Slot embeddedLength = w.reserve_u16();
    const size_t embeddedStart = w.position();
    WriteMultiServiceFront(w);
    w.u16(1).u16(4).bytes(embedded);
    w.patch_length_from(embeddedLength, embeddedStart);
    if (w.position() % 2 != 0) {
        w.u8(0);  // pad before the route path
    }
    w.u8(kRoutePathWords).u8(0).u8(CIP_PORT_BACKPLANE).u8(static_cast<uint8_t>(connectInfo.slot));
    if (!w.ok()) {
        return -1;
    }
    const size_t total = EIP_RR_DATA_FRONT_SIZE + w.position();
    PatchRRDataLengths(buffer, total);
    return static_cast<int>(total);
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

int ControlLogixConnection::TestExplicitTag(EipTag* tag, TagRequestSet& response) {
    if (tag == nullptr) {
        return -1;
    }
    const std::vector<uint8_t>& address = tag->GetTagData().GetEncodedAddress();
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
    return AnalyzeTagResp(*reply, response, [tag](uint16_t) { return tag; });
}

// Embedded Write Tag request (0x4D), and Write Tag Fragmented (0x53) with its byte offset:
// | size | value                                                     |
// | 1    | 0x4D / 0x53                                               |
// | ...  | path size and path (the encoded address without its count) |
// | 2    | data type (low 16 bits of innerType)                      |
// | 2    | structure handle 0x0FCE, for STRUCTURE only               |
// | 2    | element count                                             |
// | 4    | 0x53 only: byte offset of this piece                      |
// | n    | value bytes, then one 0x00 pad byte when n is odd         |
int ControlLogixConnection::WritePiece(const TagInfo& tagInfo, const EipTagData& tagData,
                                       ByteView piece, int64_t offset) {
    const std::vector<uint8_t>& address = tagData.GetEncodedAddress();
    if (address.size() < 2) {
        eiplog::Error("WriteDataToTag", "failed to copy tag data");
        return -1;
    }
    ByteWriter e(kUnconnectedRequestLimit);
    e.u8(offset < 0 ? CIP_SVC_WRITE_TAG : CIP_SVC_WRITE_TAG_FRAGMENTED)
        .bytes(address.data(), address.size() - 2);
    e.u16(static_cast<uint16_t>(tagInfo.innerType & 0xFFFF));
    if (tagInfo.innerType == kInnerTypeStructure) {
        e.u16(kStringStructHandle);
    }
    e.u16(tagData.GetElementCount());
    if (offset >= 0) {
        e.u32(static_cast<uint32_t>(offset));
    }
    e.bytes(piece);
    if (piece.size % 2 != 0) {
        e.u8(0);
    }
    if (!e.ok()) {
        eiplog::Error("WriteDataToTag", eiplog::Text(tagInfo.alias, ": value of ", piece.size,
                                                     " bytes does not fit one request; not sent"));
        return -1;
    }
    auto reply = std::make_unique<ExplicitResponse>();
    if (ExchangeUnconnected("WriteDataToTag", e.view(), *reply) != 0) {
        return -1;
    }
    // The embedded Write Tag reply is checked too: success means the write itself succeeded.
    const uint8_t expected =
        offset < 0 ? LOGIX_SVC_WRITE_TAG_REPLY : LOGIX_SVC_WRITE_FRAGMENTED_REPLY;
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

int ControlLogixConnection::WriteDataToTag(const TagInfo& tagInfo, const EipTagData& tagData,
                                           const uint8_t* data, uint16_t length) {
    if (data == nullptr && length != 0) {
        eiplog::Error("WriteDataToTag", "failed to copy tag data");
        return -1;
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
