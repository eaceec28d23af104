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
// Bytes of the Multiple Service Packet data per embedded request besides the request itself:
// its offset entry (2) and, by the batch rule, one more byte.
constexpr size_t kBatchBytesPerTag = 3;
// Offset of the connected data item length in the SendUnitData front.
constexpr size_t kUnitDataItemLengthOffset = 42;
// Route path of an Unconnected Send: one word, port and link address.
constexpr uint8_t kRoutePathWords = 0x01;
// Largest encoded address (path size byte, a 510-byte path, element count) plus room to spare.
constexpr size_t kMaxEncodedAddress = 516;
constexpr uint16_t kUnitDataItemCount = 2;
constexpr uint16_t kConnectedAddressLength = 4;

// Multiple Service Packet request front: 0x0A, then the Message Router path 02 20 02 24 01.
void WriteMultiServiceFront(ByteWriter& w) {
    w.u8(CIP_SVC_MULTIPLE_SERVICE_PACKET).bytes(kMessageRouterPath, sizeof kMessageRouterPath);
}

// The Multiple Service Packet reply split into its records, each a view of its bytes.
struct ServiceReplies {
    uint16_t count = 0;
    std::array<ByteView, EIPC_TAG_REPLY_MAX> records;
};

// Multiple Service Packet reply data:
// | size  | content                                        |
// | 2     | N, number of replies                           |
// | 2 × N | offset of each reply, counted from the N field |
// | ...   | the replies, in order                          |
// Each reply runs from its offset to the next one's (the last to the end of the data). False
// when N passes the record capacity or an offset points outside the data, backwards or into
// the offset table, or a reply is shorter than its 4-byte header.
bool SplitServiceReplies(const EXPLICIT_RESPONSE_STRUCT& reply, ServiceReplies& out) {
    const size_t dataLength = std::min<size_t>(reply.dataLength, sizeof reply.data);
    ByteReader r(reply.data, dataLength);
    const uint16_t count = r.u16();
    if (!r.ok() || count > EIPC_TAG_REPLY_MAX || !r.need(size_t{count} * 2)) {
        return false;
    }
    std::array<uint16_t, EIPC_TAG_REPLY_MAX + 1> offsets{};
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
bool DecodeReplyRecord(ByteView bytes, EIPC_TAG_REPLY_STRUCT& record, ByteView& value) {
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
    if (record.service == LOGIX_SVC_READ_TAG_REPLY && r.remaining() >= 2) {
        record.dataType = r.u16();
        if (record.dataType == LOGIX_TYPE_STRUCTURE && r.remaining() >= 2) {
            record.structHandle = r.u16();
        }
        value = r.rest();
    }
    return true;
}

// The status that explains a refused single-request packet: a controller answers 0x1E
// (embedded service error) outside and the reason in the embedded reply, so that reply's status
// is reported when there is one.
EXPLICIT_RESPONSE_STRUCT ReasonOfRefusal(const EXPLICIT_RESPONSE_STRUCT& reply) {
    EXPLICIT_RESPONSE_STRUCT reason = reply;
    ServiceReplies replies;
    EIPC_TAG_REPLY_STRUCT record{};
    ByteView value;
    if (reply.service == LOGIX_SVC_MULTIPLE_SERVICE_REPLY && SplitServiceReplies(reply, replies) &&
        replies.count == 1 && DecodeReplyRecord(replies.records[0], record, value) &&
        record.generalStatus != CIP_STATUS_SUCCESS) {
        const bool hasExt = replies.records[0].at(3) != 0;
        reason.generalStatus = record.generalStatus;
        reason.extStatusSize = hasExt ? 1 : 0;
        reason.extStatus[0] = hasExt ? record.extStatus : 0;
    }
    return reason;
}

}  // namespace

EipConnection* EipConnection::Create(eipProtocolFamily_t family, const _eipConnectInfo* info) {
    if (family == EIP_PROTOCOL_FAMILY_CIP) {
        return new (std::nothrow) ControlLogixConnection(info);
    }
    if (family == EIP_PROTOCOL_FAMILY_PCCC) {
        return new (std::nothrow) PcccConnection(info);
    }
    eiplog::Error("Create", eiplog::Text("Failed to create connection: family not supported (",
                                         static_cast<int>(family), ")"));
    return nullptr;
}

ControlLogixConnection::ControlLogixConnection(const _eipConnectInfo* info) : EipConnection(info) {}

bool ControlLogixConnection::CheckStatesForPolling(uint8_t /*ucmmState*/, uint8_t emState) {
    // EM connection states: 1 BUSY, 2 READY, 3 NEED2SEND.
    return emState > 1;
}

bool ControlLogixConnection::IsServiceSupported(uint8_t service) {
    return service == LOGIX_SVC_MULTIPLE_SERVICE_REPLY;
}

eipProtocolFamily_t ControlLogixConnection::GetProtocolFamily() {
    return EIP_PROTOCOL_FAMILY_CIP;
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

int ControlLogixConnection::fillMultiReqService(uint8_t* buffer, uint16_t offset, size_t capacity) {
    if (buffer == nullptr || offset > capacity) {
        return -1;
    }
    ByteWriter w(buffer + offset, capacity - offset);
    WriteMultiServiceFront(w);
    return w.ok() ? offset + static_cast<int>(kMultiServiceFrontSize) : -1;
}

// Poll request, after the SendUnitData front:
// | off    | size  | value                                                          |
// | 46     | 6     | Multiple Service Packet to the Message Router                  |
// | 52     | 2     | N, number of embedded requests                                 |
// | 54     | 2 × N | offsets from the N field: 2 + 2N, then each previous + its size |
// | 54+2N  | ...   | per tag: 0x4C and the tag's whole encoded address              |
int ControlLogixConnection::RequestEMTags(const std::vector<EipTag*>& pollList, size_t size,
                                          size_t& nextIndex) {
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    if (BuildEipUnitDataHeader(buffer, sizeof buffer) < 0) {
        eiplog::Error("RequestEMTags", "failed building a Eip Unit Data Header");
        return -3;
    }
    size = std::min(size, pollList.size());

    uint8_t area[kAssemblyAreaSize] = {};
    std::array<uint16_t, EIPC_TAG_REPLY_MAX> lengths{};
    size_t assembled = 0;
    size_t taken = 0;
    while (nextIndex + taken < size && taken < EIPC_TAG_REPLY_MAX) {
        const EipTag* tag = pollList[nextIndex + taken];
        if (tag == nullptr) {
            eiplog::Error("RequestEMTags", "failed to copy tag data");
            return -1;
        }
        const EipTagData& data = tag->GetTagData();
        const size_t addressLength = data.GetEncodedAddress().size();
        if (addressLength + assembled + kBatchBytesPerTag * (taken + 1) > kBatchLimit) {
            break;
        }
        area[assembled] = CIP_SVC_READ_TAG;
        const int32_t copied = data.FillData(true, area, static_cast<uint16_t>(assembled + 1),
                                             kEmbeddedRequestCapacity);
        if (copied < 0) {
            eiplog::Error("RequestEMTags", "failed to copy tag data");
            return -1;
        }
        lengths[taken] = static_cast<uint16_t>(copied + 1);
        assembled += lengths[taken];
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

    ByteWriter w(buffer + EIP_UNIT_DATA_FRONT_SIZE, sizeof buffer - EIP_UNIT_DATA_FRONT_SIZE);
    WriteMultiServiceFront(w);
    w.u16(static_cast<uint16_t>(taken));
    uint16_t offset = static_cast<uint16_t>(2 + 2 * taken);
    for (size_t i = 0; i < taken; ++i) {
        w.u16(offset);
        offset = static_cast<uint16_t>(offset + lengths[i]);
    }
    w.bytes(area, assembled);
    if (!w.ok()) {
        eiplog::Error("RequestEMTags", "failed to copy tag data");
        return -1;
    }
    nextIndex += advance;
    if (nextIndex >= size) {
        nextIndex = 0;
    }

    const size_t total = EIP_UNIT_DATA_FRONT_SIZE + w.size();
    eip_PutLitEndian16(static_cast<uint16_t>(total - EIP_ENCAP_HEADER_SIZE),
                       buffer + EIP_ENCAP_LENGTH_OFFSET);
    eip_PutLitEndian16(static_cast<uint16_t>(total - EIP_UNIT_DATA_ITEM_START),
                       buffer + kUnitDataItemLengthOffset);
    if (EipSendData(buffer, total, kRequestTimeoutSeconds) != 0) {
        eiplog::Info("RequestEMTags", "failed to send");
        return -1;
    }
    return 0;
}

int ControlLogixConnection::AnalyzeTagResp(const EXPLICIT_RESPONSE_STRUCT& reply,
                                           EIPC_TAG_REQUEST_STRUCT& response,
                                           const TagLookup& lookup) {
    std::memset(&response, 0, sizeof response);
    ServiceReplies replies;
    if (!SplitServiceReplies(reply, replies)) {
        eiplog::Error("AnalyzeTagResp", "unexpected : malformed multiple service reply");
        return -1;
    }
    for (uint16_t i = 0; i < replies.count; ++i) {
        EIPC_TAG_REPLY_STRUCT& record = response.replies[i];
        ByteView value;
        if (!DecodeReplyRecord(replies.records[i], record, value)) {
            std::memset(&response, 0, sizeof response);
            eiplog::Error("AnalyzeTagResp", "unexpected : malformed multiple service reply");
            return -1;
        }
        if (value.size > sizeof record.data) {
            const EipTag* tag = lookup ? lookup(i) : nullptr;
            eiplog::Error(
                "AnalyzeTagResp",
                eiplog::Text(tag != nullptr ? tag->GetInfo().alias : "reply " + std::to_string(i),
                             ": value of ", value.size, " bytes is larger than ",
                             sizeof record.data, "; refused"));
            if (record.generalStatus == CIP_STATUS_SUCCESS) {
                record.generalStatus = LOGIX_STATUS_REPLY_TOO_LARGE;
            }
            continue;
        }
        eip_ByteMove(record.data, value.data, static_cast<uint32_t>(value.size));
        record.dataLength = static_cast<uint16_t>(value.size);
    }
    response.count = replies.count;
    return 0;
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

int ControlLogixConnection::TestEMTag(EipTag* tag, EIPC_TAG_REQUEST_STRUCT& response) {
    if (tag == nullptr) {
        return -1;
    }
    uint8_t address[kMaxEncodedAddress] = {};
    uint8_t embedded[1 + kMaxEncodedAddress] = {CIP_SVC_READ_TAG};
    const int32_t copied = tag->GetTagData().FillData(true, address, 0, sizeof address);
    if (copied < 0) {
        eiplog::Error("TestEMTag", "failed to copy tag data");
        return -1;
    }
    eip_ByteMove(embedded + 1, address, static_cast<uint32_t>(copied));

    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int length =
        BuildUnconnectedTagRequest(buffer, sizeof buffer, ByteView{embedded, size_t(copied) + 1});
    if (length < 0) {
        eiplog::Error("TestEMTag", "failed building a Eip RRDataHeader");
        return -1;
    }
    EXPLICIT_RESPONSE_STRUCT reply;
    const ExchangeTexts texts{"failed to send", "failed to recv",
                              "unexpected : parseing cpf and explict response"};
    if (ExchangeExplicit("TestEMTag", buffer, static_cast<size_t>(length), texts, reply) != 0) {
        return -1;
    }
    if (reply.generalStatus != CIP_STATUS_SUCCESS) {
        logResponseError("unexpected : explict response error", ReasonOfRefusal(reply));
        return -1;
    }
    if (reply.service != LOGIX_SVC_MULTIPLE_SERVICE_REPLY) {
        eiplog::Error("TestEMTag", eiplog::Text("unexpected : not support service ", std::hex,
                                                static_cast<unsigned>(reply.service)));
        return -1;
    }
    return AnalyzeTagResp(reply, response, [tag](uint16_t) { return tag; });
}

// Embedded Write Tag request:
// | size | value                                                     |
// | 1    | 0x4D                                                      |
// | ...  | path size and path (the encoded address without its count) |
// | 2    | data type (low 16 bits of innerType)                      |
// | 2    | structure handle 0x0FCE, for STRUCTURE only               |
// | 2    | element count                                             |
// | n    | value bytes, then one 0x00 pad byte when n is odd         |
int ControlLogixConnection::WriteDataToTag(const _eipTagInfo& tagInfo, const EipTagData& tagData,
                                           const uint8_t* data, uint16_t length) {
    uint8_t address[kMaxEncodedAddress] = {};
    const int32_t copied = tagData.FillData(false, address, 0, sizeof address);
    if (copied < 0 || (data == nullptr && length != 0)) {
        eiplog::Error("WriteDataToTag", "failed to copy tag data");
        return -1;
    }
    uint8_t embedded[EIP_MSG_BUFFER_SIZE] = {};
    ByteWriter e(embedded, sizeof embedded);
    e.u8(CIP_SVC_WRITE_TAG).bytes(address, static_cast<size_t>(copied));
    e.u16(static_cast<uint16_t>(tagInfo.innerType & 0xFFFF));
    if (tagInfo.innerType == EIP_INNER_TYPE_STRUCTURE) {
        e.u16(EIP_STRING_STRUCT_HANDLE);
    }
    e.u16(tagData.GetElementCount()).bytes(data, length);
    if (length % 2 != 0) {
        e.u8(0);
    }

    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int total = e.ok() ? BuildUnconnectedTagRequest(buffer, sizeof buffer, e.view()) : -1;
    if (total < 0) {
        eiplog::Error("WriteDataToTag", eiplog::Text(tagInfo.alias, ": value of ", length,
                                                     " bytes does not fit one request; not sent"));
        return -1;
    }
    EXPLICIT_RESPONSE_STRUCT reply;
    const ExchangeTexts texts{"failed to send", "failed to recv",
                              "unexpected : parseing cpf and explict response"};
    if (ExchangeExplicit("WriteDataToTag", buffer, static_cast<size_t>(total), texts, reply) != 0) {
        return -1;
    }
    // The embedded Write Tag reply is checked too: success means the write itself succeeded.
    ServiceReplies replies;
    EIPC_TAG_REPLY_STRUCT record{};
    ByteView value;
    const bool accepted =
        reply.generalStatus == CIP_STATUS_SUCCESS &&
        reply.service == LOGIX_SVC_MULTIPLE_SERVICE_REPLY && SplitServiceReplies(reply, replies) &&
        replies.count == 1 && DecodeReplyRecord(replies.records[0], record, value) &&
        record.service == LOGIX_SVC_WRITE_TAG_REPLY && record.generalStatus == CIP_STATUS_SUCCESS;
    if (!accepted) {
        logResponseError("unexpected : response error", ReasonOfRefusal(reply));
        return -1;
    }
    return 0;
}
