#include "family/pccc_connection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/byte_codec.h"
#include "common/eip_log.h"
#include "family/pccc_tagdata.h"
#include "tag/eip_tag.h"

namespace {

// Execute PCCC request path: 2 words, class 0x67, instance 1.
constexpr uint8_t kPcccObjectPath[] = {0x02, CIP_SEG_CLASS_8, CIP_CLASS_PCCC, CIP_SEG_INSTANCE_8,
                                       0x01};
constexpr unsigned kBitsPerWord = 16;

constexpr uint8_t CIP_TYPE_BOOL = 0xC1;
constexpr uint8_t CIP_TYPE_INT = 0xC3;
constexpr uint8_t CIP_TYPE_DINT = 0xC4;
constexpr uint8_t CIP_TYPE_REAL = 0xCA;
constexpr uint8_t CIP_TYPE_STRING = 0xD0;

// The CIP data type a value of a PCCC file type is reported as; 0 for an unknown file type.
uint16_t CipTypeOf(uint16_t pcccType) {
    switch (pcccType) {
        case PCCC_DATA_TYPE_BIT:
            return CIP_TYPE_BOOL;
        case PCCC_DATA_TYPE_INTEGER:
            return CIP_TYPE_INT;
        case PCCC_DATA_TYPE_FLOAT:
            return CIP_TYPE_REAL;
        case PCCC_DATA_TYPE_STRING:
            return CIP_TYPE_STRING;
        case PCCC_DATA_TYPE_LONG:
            return CIP_TYPE_DINT;
        default:
            return 0;
    }
}

std::string Hex(unsigned value) {
    return eiplog::Text(std::hex, value);
}

// The PCCC part of an Execute PCCC reply (layout in family/pccc_wire.h).
struct PcccReply {
    uint8_t requesterIdLength = 0;
    uint8_t command = 0;
    uint8_t status = 0;
    uint16_t tns = 0;
    ByteView data;  // after the TNS, up to the end of the reply
};

// Splits the reply data; false when it ends before the TNS. A requester ID length below 2
// puts the command at position 1.
bool DecodePcccReply(const ExplicitResponse& reply, PcccReply& out) {
    ByteReader r(reply.data, std::min<size_t>(reply.dataLength, sizeof reply.data));
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

// The extended status of a refused command: the last byte of the reply when STS is 0xF0.
uint8_t ExtendedStatus(const PcccReply& reply) {
    return reply.status == PCCC_STS_EXTENDED && !reply.data.empty()
               ? reply.data.at(reply.data.size - 1)
               : 0;
}

const PcccTagData* AsPccc(const EipTagData& data) {
    return dynamic_cast<const PcccTagData*>(&data);
}

// Appends the value a write carries for the file type. False (logged) for a type that cannot
// be written or a bit number outside a word.
bool AppendWriteValue(ByteWriter& w, const PcccTagData& tagData, ByteReader value) {
    static const char* const op = "WriteDataToTag";
    switch (tagData.GetDataType()) {
        case PCCC_DATA_TYPE_BIT: {
            // The bit number is the sub-element of the tag's own address (requests carry 0).
            const unsigned bit = tagData.GetEncodedAddress().back();
            if (bit >= kBitsPerWord) {
                eiplog::Error(op, eiplog::Text("bit number ", bit, " is outside a 16-bit word"));
                return false;
            }
            const uint16_t mask = static_cast<uint16_t>(1u << bit);
            const uint16_t bitValue = value.u16() != 0 ? mask : 0;
            eiplog::Info(op, eiplog::Text("writing bit mask ", mask, " value ", bitValue));
            w.u16(mask).u16(bitValue);
            return true;
        }
        case PCCC_DATA_TYPE_INTEGER: {
            const int16_t v = value.i16();
            eiplog::Info(op, eiplog::Text("writing INT value ", v));
            w.i16(v);
            return true;
        }
        case PCCC_DATA_TYPE_FLOAT: {
            const float v = value.f32();
            eiplog::Info(op, eiplog::Text("writing REAL value ", v));
            w.f32(v);
            return true;
        }
        case PCCC_DATA_TYPE_LONG: {
            const int32_t v = value.i32();
            eiplog::Info(op, eiplog::Text("writing DINT value ", v));
            w.i32(v);
            return true;
        }
        default:
            eiplog::Error(op,
                          "Unsupported PCCC datatype for writing 0x" + Hex(tagData.GetDataType()));
            return false;
    }
}

}  // namespace

PcccConnection::PcccConnection(const ConnectInfo* info) : EipConnection(info) {}

bool PcccConnection::CheckStatesForPolling(uint8_t ucmmState, uint8_t /*explicitState*/) {
    // UCMM states: 0 NON-EXIST, 1 READY, 2 BUSY.
    return (ucmmState & ~2u) != 0;
}

bool PcccConnection::IsServiceSupported(uint8_t service) {
    return service == PCCC_SVC_EXECUTE_PCCC_REPLY;
}

ProtocolFamily PcccConnection::GetProtocolFamily() {
    return kFamilyPccc;
}

// PCCC request front (after the 40-byte SendRRData front):
// | off | size | value                                              |
// |  40 |    1 | 0x4B Execute PCCC                                  |
// |  41 |    5 | 02 20 67 24 01: PCCC object, instance 1            |
// |  46 |    1 | 0x07 requester ID length                           |
// |  47 |    2 | 0x0000 requester vendor ID                         |
// |  49 |    4 | 0x44332211 requester serial number                 |
// |  53 |    1 | 0x0F CMD                                           |
// |  54 |    1 | 0x00 STS                                           |
// |  55 |    2 | TNS                                                |
// |  57 |    1 | FNC                                                |
// |  58 |    n | address bytes (sub-element sent as 0)              |
int PcccConnection::BuildCommand(const char* operation, uint8_t* buffer, size_t capacity,
                                 uint16_t tns, uint8_t function, const EipTagData& tagData,
                                 uint16_t addressRoom) const {
    if (BuildEipRRDataHeader(buffer, capacity, sessionHandle) < 0) {
        eiplog::Error(operation, "failed building a Eip RRDataHeader");
        return -1;
    }
    ByteWriter w(buffer + EIP_RR_DATA_FRONT_SIZE, capacity - EIP_RR_DATA_FRONT_SIZE);
    w.u8(CIP_SVC_EXECUTE_PCCC).bytes(kPcccObjectPath, sizeof kPcccObjectPath);
    w.u8(PCCC_REQUESTER_ID_LENGTH).u16(PCCC_REQUESTER_VENDOR).u32(PCCC_REQUESTER_SERIAL);
    w.u8(PCCC_CMD_TYPED).u8(PCCC_STS_SUCCESS).u16(tns).u8(function);
    const uint16_t room = static_cast<uint16_t>(std::min<size_t>(addressRoom, capacity));
    const int32_t copied =
        w.ok() ? tagData.FillData(true, buffer, static_cast<uint16_t>(kAddressOffset), room) : -1;
    if (copied < 0) {
        eiplog::Error(operation, "failed to copy tag data");
        return -1;
    }
    return static_cast<int>(kAddressOffset) + copied;
}

int PcccConnection::CreateTagRequest(uint8_t* buffer, size_t length, uint16_t tns,
                                     const EipTagData& tagData) const {
    const int total = BuildCommand("createTagRequest", buffer, length, tns, PCCC_FNC_TYPED_READ,
                                   tagData, kReadAddressRoom);
    if (total > 0) {
        PatchRRDataLengths(buffer, static_cast<size_t>(total));
    }
    return total;
}

int PcccConnection::Exchange(const char* operation, uint8_t* buffer, size_t length,
                             ExplicitResponse& reply) {
    const ExchangeTexts texts{"failed to send", "failed to recv",
                              "unexpected : parseing cpf and explict response"};
    return ExchangeExplicit(operation, buffer, length, texts, reply);
}

int PcccConnection::TestExplicitTag(EipTag* tag, TagRequestSet& response) {
    static const char* const op = "TestEMTag";
    if (tag == nullptr) {
        return -1;
    }
    eiplog::Info(op, "Test tag read using PCCC protocol");
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int length = CreateTagRequest(buffer, sizeof buffer, kTestReadTns, tag->GetTagData());
    if (length < 0) {
        return length;
    }
    pendingTns = kTestReadTns;
    ExplicitResponse reply;
    if (Exchange(op, buffer, static_cast<size_t>(length), reply) != 0) {
        return -1;
    }
    if (reply.generalStatus != CIP_STATUS_SUCCESS) {
        LogResponseError("unexpected : explict response error", reply);
        return -1;
    }
    if (!IsServiceSupported(reply.service)) {
        eiplog::Error(op, eiplog::Text("unexpected : not support service ",
                                       static_cast<unsigned>(reply.service)));
        return -1;
    }
    return AnalyzeTagResp(reply, response, [tag](uint16_t) { return tag; });
}

int PcccConnection::RequestExplicitTags(const std::vector<EipTag*>& pollList, size_t size,
                                        size_t& nextIndex) {
    static const char* const op = "RequestEMTags";
    const bool trace = eiplog::TraceOn();
    if (trace) {
        eiplog::Trace(op, eiplog::Text("This poll, startIdx ", nextIndex, ", tagCnt ", size));
    }
    if (nextIndex > kMaxPollIndex) {
        eiplog::Error(op,
                      eiplog::Text("Tag index (", nextIndex, ") is greater than ", kMaxPollIndex));
        return -1;
    }
    if (nextIndex >= pollList.size() || pollList[nextIndex] == nullptr) {
        eiplog::Error(op, eiplog::Text("Tag index (", nextIndex, ") is greater than tags count ",
                                       pollList.size()));
        return -1;
    }
    const EipTag* tag = pollList[nextIndex];
    const EipTagData& tagData = tag->GetTagData();
    if (trace) {
        eiplog::Trace(op, "Request tag read using PCCC protocol");
        eiplog::Trace(op, eiplog::Text("Polling tag name '", tag->GetInfo().alias, "' with tagIdx ",
                                       nextIndex));
        eiplog::Trace(op, eiplog::Text("Polling tag len ", tagData.GetEncodedAddress().size(),
                                       " - ", tagData.Dump()));
    }
    const uint16_t tns = static_cast<uint16_t>(nextIndex);
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int length = CreateTagRequest(buffer, sizeof buffer, tns, tagData);
    if (length < 0) {
        return length;
    }
    // Moves on before sending, so that a failed send goes on with the next tag.
    nextIndex = nextIndex + 1 >= std::min(size, pollList.size()) ? 0 : nextIndex + 1;
    pendingTns = tns;
    StampRequest(buffer);
    if (EipSendData(buffer, static_cast<size_t>(length), kRequestTimeoutSeconds) != 0) {
        eiplog::Error(op, "failed to send");
        return -1;
    }
    if (trace) {
        eiplog::Trace(op, "send request tag ");
    }
    return 0;
}

int PcccConnection::AnalyzeTagResp(const ExplicitResponse& reply, TagRequestSet& response,
                                   const TagLookup& lookup) {
    static const char* const op = "AnalyzeTagResp";
    const bool trace = eiplog::TraceOn();
    response.count = 0;
    PcccReply pccc;
    if (!DecodePcccReply(reply, pccc)) {
        eiplog::Error(op, eiplog::Text("unexpected : PCCC reply of ", reply.dataLength,
                                       " bytes ends before its TNS"));
        return -1;
    }
    if (trace) {
        eiplog::Trace(op, eiplog::Text("Vendor string size = ",
                                       static_cast<unsigned>(pccc.requesterIdLength)));
        eiplog::Trace(op, "PCCC Command = 0x" + Hex(pccc.command));
    }
    if (pccc.command != PCCC_CMD_TYPED_REPLY) {
        eiplog::Error(op, "unexpected : PCCC Command not supported 0x" + Hex(pccc.command));
        return -1;
    }
    if (trace) {
        eiplog::Trace(op, "Response received for our tag index 0x" + Hex(pccc.tns) +
                              ", pcccStatus=0x" + Hex(pccc.status));
    }
    // A late reply of an earlier read would put its value on the wrong tag.
    if (pccc.tns != pendingTns) {
        eiplog::Error(op, eiplog::Text("reply for transaction number ", pccc.tns, ", expected ",
                                       pendingTns, "; dropped"));
        return -1;
    }
    response.count = 1;
    TagReplySet& record = response.replies[0];
    record = TagReplySet{};
    record.service = reply.service;
    if (pccc.status != PCCC_STS_SUCCESS) {
        const uint8_t extStatus = ExtendedStatus(pccc);
        if (pccc.status == PCCC_STS_EXTENDED && !pccc.data.empty()) {
            eiplog::Error(op, "Failed with pcccExtStatus=0x" + Hex(extStatus));
        }
        record.generalStatus = PCCC_RECORD_STATUS_REFUSED;
        record.extStatus = static_cast<uint16_t>(pccc.status | (extStatus << 8));
        return -1;
    }
    EipTag* tag = lookup ? lookup(pccc.tns) : nullptr;
    if (tag == nullptr) {
        eiplog::Error(op, eiplog::Text("TagData is not found for transaction number ", pccc.tns));
        return -1;
    }
    const PcccTagData* tagData = AsPccc(tag->GetTagData());
    if (tagData == nullptr) {
        eiplog::Error(op, "TagData is not PcccTagData instance");
        return -1;
    }
    const uint16_t expected = tagData->GetDataLen();
    if (pccc.data.empty()) {
        eiplog::Error(op,
                      eiplog::Text("No tag data received, expected up to ", expected, " bytes"));
        return -1;
    }
    if (expected > kMaxElementBytes) {
        eiplog::Error(op,
                      eiplog::Text("tag data_ptr too small need ", expected,
                                   " bytes but buffer can only hold ", kMaxElementBytes, " bytes"));
        return -1;
    }
    // A shorter reply leaves the rest of the element zero.
    record.data.assign(expected, 0);
    ByteMove(record.data.data(), pccc.data.data,
             static_cast<uint32_t>(std::min<size_t>(pccc.data.size, expected)));
    record.generalStatus = CIP_STATUS_SUCCESS;
    record.dataLength = expected;
    record.dataType = CipTypeOf(tagData->GetDataType());
    if (record.dataType == 0) {
        eiplog::Error(op, "Unknown PCCC data type 0x" + Hex(tagData->GetDataType()));
        record.dataLength = 0;
        record.data.clear();
    } else if (record.dataType == CIP_TYPE_BOOL) {
        record.data.resize(std::max<size_t>(record.data.size(), 2));
        const uint16_t word = GetLittleEndian16(record.data.data());
        const unsigned bit = tagData->GetSubelementNum();
        record.data[0] = bit < kBitsPerWord ? static_cast<uint8_t>((word >> bit) & 1u) : 0;
        record.data[1] = 0;
        if (trace) {
            char before[8];
            std::snprintf(before, sizeof before, "%02X", word);
            eiplog::Trace(op, std::string("bit value before mask ") + before);
            eiplog::Trace(op, "bit value after mask 0x" + Hex(record.data[0]));
        }
    }
    if (trace) {
        eiplog::Trace(op, "tag analyzed,");
    }
    return 0;
}

// Write request: the PCCC front with TNS 0xFFFF and FNC 0xAB (B) or 0xAA, the address, then
// | size | value                                            |
// | 2    | B: bit mask (1 << bit number)                    |
// | 2    | B: the masked value (mask or 0)                  |
// | 2/4  | N: INT, F: REAL, L: DINT, little-endian          |
int PcccConnection::WriteDataToTag(const TagInfo& tagInfo, const EipTagData& tagData,
                                   const uint8_t* data, uint16_t length) {
    static const char* const op = "WriteDataToTag";
    const PcccTagData* pcccData = AsPccc(tagData);
    if (pcccData == nullptr) {
        eiplog::Error(op, "TagData is not PcccTagData instance");
        return -1;
    }
    const uint8_t function = pcccData->GetDataType() == PCCC_DATA_TYPE_BIT ? PCCC_FNC_MASKED_WRITE
                                                                           : PCCC_FNC_TYPED_WRITE;
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int front =
        BuildCommand(op, buffer, sizeof buffer, kWriteTns, function, tagData, kWriteAddressRoom);
    if (front < 0) {
        return -1;
    }
    if (data == nullptr || length < pcccData->GetDataLen()) {
        eiplog::Error(
            op, eiplog::Text("data supplied is smaller than tag's data type: ", "tag data length ",
                             pcccData->GetDataLen(), ", supplied ", data == nullptr ? 0 : length));
        return -1;
    }
    ByteWriter w(buffer + front, sizeof buffer - static_cast<size_t>(front));
    if (!AppendWriteValue(w, *pcccData, ByteReader(data, length)) || !w.ok()) {
        return -1;
    }
    const size_t total = static_cast<size_t>(front) + w.size();
    PatchRRDataLengths(buffer, total);

    ExplicitResponse reply;
    if (Exchange(op, buffer, total, reply) != 0) {
        return -1;
    }
    if (reply.generalStatus != CIP_STATUS_SUCCESS || !IsServiceSupported(reply.service)) {
        LogResponseError("unexpected : response error", reply);
        return -1;
    }
    PcccReply pccc;
    if (!DecodePcccReply(reply, pccc) || pccc.command != PCCC_CMD_TYPED_REPLY ||
        pccc.tns != kWriteTns) {
        eiplog::Error(op,
                      eiplog::Text(tagInfo.alias, ": reply is not the PCCC reply of the write"));
        return -1;
    }
    // A PLC that refuses the write answers CIP success with the reason in STS.
    if (pccc.status != PCCC_STS_SUCCESS) {
        eiplog::Error(
            op, eiplog::Text(tagInfo.alias, ": write refused by the PLC (STS 0x", Hex(pccc.status),
                             ", EXT STS 0x", Hex(ExtendedStatus(pccc)), ")"));
        return -1;
    }
    return 0;
}

// Get Attributes All of the Identity object, unrouted (46 bytes):
// | off | size | value                                       |
// |   0 |   40 | SendRRData front (lengths 22 and 6)         |
// |  40 |    6 | 0x01, path 2 words: class 1, instance 1     |
int PcccConnection::ReadPLCProductInfo(int /*slot*/, ProductInfo& info) {
    static const char* const op = "ReadPLCProductInfo";
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    if (!StartIdentityRequest(op, buffer, sizeof buffer)) {
        return -1;
    }
    const UcmmRequest request{CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1};
    const int common = BuildExplicitReqCommon(buffer + EIP_RR_DATA_FRONT_SIZE,
                                              sizeof buffer - EIP_RR_DATA_FRONT_SIZE, &request);
    if (common < 0) {
        eiplog::Error(op, "failed building a Eip EM Req Common");
        return -1;
    }
    return ExchangeIdentityRequest(op, buffer, EIP_RR_DATA_FRONT_SIZE + static_cast<size_t>(common),
                                   info);
}
