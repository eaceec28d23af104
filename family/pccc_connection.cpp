#include "family/pccc_connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "common/byte_codec.h"
#include "common/eip_log.h"
#include "family/pccc_files.h"
#include "family/pccc_tagdata.h"
#include "tag/eip_tag.h"

namespace {

// Execute PCCC request path: 2 words, class 0x67, instance 1.
constexpr uint8_t kPcccObjectPath[] = {0x02, CIP_SEG_CLASS_8, CIP_CLASS_PCCC, CIP_SEG_INSTANCE_8,
                                       0x01};
constexpr uint16_t kCpfItemListIdentity = 0x000C;

std::string Hex(unsigned value) {
    return eiplog::Text(std::hex, value);
}

// The PCCC part of an Execute PCCC reply; false when it ends before the TNS.
bool PcccPartOf(const ExplicitResponse& reply, PcccReply& out) {
    return ::DecodePcccReply(
        ByteView{reply.data, std::min<size_t>(reply.dataLength, sizeof reply.data)}, out);
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

// A number of an address: one byte below 0xFF, else 0xFF and 16 bits.
void WriteNumber(ByteWriter& w, uint16_t n) {
    if (n < PCCC_NUMBER_ESCAPE) {
        w.u8(static_cast<uint8_t>(n));
    } else {
        w.u8(PCCC_NUMBER_ESCAPE).u16(n);
    }
}

uint64_t ContextOf(const EncapsulationMessage& encap) {
    return GetLittleEndian32(encap.senderContext) |
           (static_cast<uint64_t>(GetLittleEndian32(encap.senderContext + 4)) << 32);
}

// A read's record when the value is not there: refused, with STS and EXT STS (or 0 when the
// link refused it itself).
void Refuse(TagReplySet& record, uint8_t generalStatus, uint16_t extStatus) {
    record = TagReplySet{};
    record.service = PCCC_SVC_EXECUTE_PCCC_REPLY;
    record.generalStatus = generalStatus;
    record.extStatus = extStatus;
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

const PcccControllerKind& PcccConnection::Kind() const {
    return ControllerKindOf(connectInfo.plcType);
}

std::string PcccConnection::Unserved(const PcccTagData& address) const {
    if (address.GetDataType() == PCCC_DATA_TYPE_LONG && !Kind().hasLongFiles) {
        return std::string(PlcTypeName(connectInfo.plcType)) + " controllers have no L files";
    }
    return std::string();
}

// PCCC request (after the 40-byte SendRRData front):
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
// |  58 |    1 | byte size                                          |
// |   . |  1/3 | file number (0xFF and 16 bits from 255 on)         |
// |   . |    1 | file type                                          |
// |   . |  1/3 | element number                                     |
// |   . |  1/3 | sub-element number (a word of a T, C, R element)   |
int PcccConnection::BuildCommand(const char* operation, uint8_t* buffer, size_t capacity,
                                 uint16_t tns, uint8_t function, const Address& address) const {
    if (BuildEipRRDataHeader(buffer, capacity, sessionHandle) < 0) {
        eiplog::Error(operation, "failed building a Eip RRDataHeader");
        return -1;
    }
    ByteWriter w(buffer + EIP_RR_DATA_FRONT_SIZE, capacity - EIP_RR_DATA_FRONT_SIZE);
    w.u8(CIP_SVC_EXECUTE_PCCC).bytes(kPcccObjectPath, sizeof kPcccObjectPath);
    w.u8(PCCC_REQUESTER_ID_LENGTH).u16(PCCC_REQUESTER_VENDOR).u32(PCCC_REQUESTER_SERIAL);
    w.u8(PCCC_CMD_TYPED).u8(PCCC_STS_SUCCESS).u16(tns).u8(function);
    w.u8(address.byteSize);
    WriteNumber(w, address.file);
    w.u8(address.type);
    WriteNumber(w, address.element);
    WriteNumber(w, address.subElement);
    if (!w.ok()) {
        eiplog::Error(operation, "failed to copy tag data");
        return -1;
    }
    return static_cast<int>(EIP_RR_DATA_FRONT_SIZE + w.size());
}

int PcccConnection::CreateTagRequest(uint8_t* buffer, size_t length, uint16_t tns,
                                     const EipTagData& tagData) const {
    const PcccTagData* address = AsPccc(tagData);
    if (address == nullptr || address->GetDataLen() == 0) {
        eiplog::Error("createTagRequest", "failed to copy tag data");
        return -1;
    }
    const Address element{static_cast<uint8_t>(address->GetDataLen()), address->GetFileNum(),
                          static_cast<uint8_t>(address->GetDataType()), address->GetElementNum(),
                          0};
    const int total =
        BuildCommand("createTagRequest", buffer, length, tns, PCCC_FNC_TYPED_READ, element);
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
    const PcccTagData* address = AsPccc(tag->GetTagData());
    if (address != nullptr && !Unserved(*address).empty()) {
        eiplog::Error(op, tag->GetInfo().alias + ": " + Unserved(*address));
        return -1;
    }
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

// ---- Polling -----------------------------------------------------------------------------

bool PcccConnection::PlannedFor(const std::vector<EipTag*>& tags) const {
    if (planStale_ || tags != chunk_.tags) {
        return false;
    }
    // A tag edited in place of another may sit at the same address in memory.
    for (size_t i = 0; i < tags.size(); ++i) {
        if (tags[i] != nullptr && tags[i]->GetInfo().plc5Address != plannedAddresses_[i]) {
            return false;
        }
    }
    return true;
}

void PcccConnection::PlanChunk(const std::vector<EipTag*>& tags) {
    if (PlannedFor(tags)) {
        return;
    }
    chunk_.tags = tags;
    plannedAddresses_.assign(tags.size(), std::string());
    chunk_.addresses.assign(tags.size(), nullptr);
    std::vector<bool> alone(tags.size(), false);
    for (size_t i = 0; i < tags.size(); ++i) {
        if (tags[i] == nullptr) {
            continue;
        }
        const PcccTagData* address = AsPccc(tags[i]->GetTagData());
        plannedAddresses_[i] = tags[i]->GetInfo().plc5Address;
        const std::string& alias = tags[i]->GetInfo().alias;
        const std::string reason =
            address == nullptr ? "TagData is not PcccTagData instance" : Unserved(*address);
        if (!reason.empty()) {
            eiplog::Error("RequestEMTags", alias + ": not read - " + reason);
            continue;
        }
        chunk_.addresses[i] = address;
        alone[i] = readAlone_.count(tags[i]) != 0;
    }
    chunk_.blocks = PlanBlocks(chunk_.addresses, Kind().replyLimitBytes, alone);
    planStale_ = false;
}

int PcccConnection::RequestExplicitTags(const std::vector<EipTag*>& pollList, size_t size,
                                        size_t& nextIndex) {
    static const char* const op = "RequestEMTags";
    const size_t count = std::min(size, pollList.size());
    if (eiplog::TraceOn()) {
        eiplog::Trace(op, eiplog::Text("This poll, startIdx ", nextIndex, ", tagCnt ", size));
    }
    if (nextIndex >= count) {
        eiplog::Error(op, eiplog::Text("Tag index (", nextIndex, ") is greater than tags count ",
                                       pollList.size()));
        return -1;
    }
    const size_t end = std::min(count, nextIndex + kMaxTagReplies);
    PlanChunk(std::vector<EipTag*>(pollList.begin() + static_cast<std::ptrdiff_t>(nextIndex),
                                   pollList.begin() + static_cast<std::ptrdiff_t>(end)));
    // Moves on before sending, so that a failed send goes on with the next chunk.
    nextIndex = end >= count ? 0 : end;
    const size_t blocks = chunk_.blocks.size();
    chunk_.data.assign(blocks, {});
    chunk_.status.assign(blocks, 0);
    chunk_.inFlight.clear();
    chunk_.nextBlock = 0;
    chunk_.answeredCount = 0;
    chunk_.receivedBytes = 0;
    if (blocks == 0) {
        eiplog::Error(op, "no tag of the poll list can be read");
        return -1;
    }
    const size_t window = std::clamp<size_t>(connectInfo.requestsInFlight, 1, kMaxRequestsInFlight);
    while (chunk_.nextBlock < blocks && chunk_.inFlight.size() < window) {
        if (!SendNextBlock()) {
            eiplog::Error(op, "failed to send");
            return -1;
        }
    }
    return 0;
}

bool PcccConnection::SendNextBlock() {
    const size_t index = chunk_.nextBlock++;
    const PcccBlock& block = chunk_.blocks[index];
    const uint16_t tns = nextTns_;
    nextTns_ = nextTns_ >= kWriteTns - 1 ? kFirstPollTns : static_cast<uint16_t>(nextTns_ + 1);
    const Address address{static_cast<uint8_t>(block.ByteCount()), block.file, block.type,
                          block.firstElement, 0};
    uint8_t buffer[EIP_RR_DATA_FRONT_SIZE + 64] = {};
    const int length =
        BuildCommand("RequestEMTags", buffer, sizeof buffer, tns, PCCC_FNC_TYPED_READ, address);
    if (length < 0) {
        return false;
    }
    PatchRRDataLengths(buffer, static_cast<size_t>(length));
    const uint64_t context = StampRequest(buffer);
    chunk_.inFlight.push_back(InFlight{tns, context, index});
    return EipSendData(buffer, static_cast<size_t>(length), kRequestTimeoutSeconds) == 0;
}

bool PcccConnection::TakeBlockReply(const EncapsulationMessage& encap) {
    static const char* const op = "RecvEMTags";
    const uint64_t context = ContextOf(encap);
    // A peer that never echoes the sender context answers with 0: taken while it is the only
    // read in flight; with several, the TNS alone could not be told from a stale reply's.
    const bool contextKnown =
        std::any_of(chunk_.inFlight.begin(), chunk_.inFlight.end(),
                    [&](const InFlight& f) { return f.context == context; }) ||
        (context == 0 && chunk_.inFlight.size() == 1);
    if (encap.command != EIP_CMD_SEND_RR_DATA || !contextKnown) {
        eiplog::Error(op, eiplog::Text("late reply dropped (command 0x", std::hex, encap.command,
                                       ", context ", context, ")"));
        return false;
    }
    auto cpf = std::make_unique<CpfMessage>();
    auto reply = std::make_unique<ExplicitResponse>();
    PcccReply pccc;
    if (EipParseUCMMRESP(0, 0, encap, *cpf, *reply) < 0) {
        eiplog::Error(op, "unexpected : parsing cpf and explict response; dropped");
        return false;
    }
    // The TNS names the read; a CIP refusal without a PCCC part only has the sender context.
    const bool hasPccc = PcccPartOf(*reply, pccc);
    auto match = std::find_if(chunk_.inFlight.begin(), chunk_.inFlight.end(), [&](const auto& f) {
        return hasPccc ? f.tns == pccc.tns : f.context == context || context == 0;
    });
    if (match == chunk_.inFlight.end()) {
        eiplog::Error(op,
                      eiplog::Text("reply for unknown transaction number ", pccc.tns, "; dropped"));
        return false;
    }
    const size_t block = match->block;
    chunk_.inFlight.erase(match);
    ++chunk_.answeredCount;
    if (!hasPccc || reply->generalStatus != CIP_STATUS_SUCCESS ||
        !IsServiceSupported(reply->service) || pccc.command != PCCC_CMD_TYPED_REPLY) {
        LogResponseError("unexpected : explicit response error", *reply);
        chunk_.status[block] =
            reply->generalStatus != 0 ? reply->generalStatus : PCCC_STS_ILLEGAL_COMMAND;
    } else if (pccc.status != PCCC_STS_SUCCESS) {
        chunk_.status[block] = static_cast<uint16_t>(pccc.status | (ExtendedStatus(pccc) << 8));
    } else {
        chunk_.data[block].assign(pccc.data.begin(), pccc.data.end());
    }
    if (chunk_.status[block] != 0 && chunk_.blocks[block].members.size() > 1) {
        SplitRefusedBlock(block);
    }
    return true;
}

// One bad address must not fail its neighbours: each tag of a refused block is read again on its
// own in this cycle, and alone from then on.
void PcccConnection::SplitRefusedBlock(size_t block) {
    std::vector<size_t> members;
    members.swap(chunk_.blocks[block].members);
    for (size_t member : members) {
        readAlone_.insert(chunk_.tags[member]);
        chunk_.blocks.push_back(PlanBlocks({chunk_.addresses[member]}, Kind().replyLimitBytes)[0]);
        chunk_.blocks.back().members = {member};
        chunk_.data.emplace_back();
        chunk_.status.push_back(0);
    }
    planStale_ = true;
}

int PcccConnection::RecvExplicitTags(TagRequestSet& tagResponse, const TagLookup&) {
    static const char* const op = "RecvEMTags";
    tagResponse.count = 0;
    std::vector<uint8_t> buffer(EIP_MSG_BUFFER_SIZE);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRequestTimeoutSeconds);
    while (chunk_.answeredCount < chunk_.blocks.size()) {
        EncapsulationMessage encap{};
        const int received = chunk_.inFlight.empty()
                                 ? -1
                                 : EipReadDataByEncap(buffer.data(), encap, kRequestTimeoutSeconds);
        if (received < 1 || std::chrono::steady_clock::now() > deadline) {
            eiplog::Error(op, eiplog::Text("TCP socket closed - ", received));
            Disconnect();
            return -2;
        }
        if (!TakeBlockReply(encap)) {
            continue;
        }
        chunk_.receivedBytes += static_cast<size_t>(received);
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRequestTimeoutSeconds);
        if (chunk_.nextBlock < chunk_.blocks.size() && !SendNextBlock()) {
            eiplog::Error(op, "failed to send");
            Disconnect();
            return -2;
        }
    }
    FillChunkRecords(tagResponse);
    return static_cast<int>(std::max<size_t>(chunk_.receivedBytes, 1));
}

void PcccConnection::FillChunkRecords(TagRequestSet& response) {
    const size_t count = std::min(chunk_.tags.size(), kMaxTagReplies);
    for (size_t i = 0; i < count; ++i) {
        Refuse(response.replies[i], PCCC_RECORD_STATUS_REFUSED, 0);
    }
    for (size_t b = 0; b < chunk_.blocks.size(); ++b) {
        const PcccBlock& block = chunk_.blocks[b];
        const bool refused = chunk_.status[b] != 0;
        for (size_t member : block.members) {
            TagReplySet& record = response.replies[member];
            const EipTag* tag = chunk_.tags[member];
            if (refused) {
                record.extStatus = chunk_.status[b];
                // The reason once, when the tag starts failing.
                if (refusalLogged_.insert(tag).second) {
                    eiplog::Error(
                        "RecvEMTags",
                        tag->GetInfo().alias + ": read refused by the PLC - " +
                            PcccStatusText(chunk_.status[b] & 0xFF, chunk_.status[b] >> 8));
                }
                continue;
            }
            refusalLogged_.erase(tag);
            if (!CutValue(*chunk_.addresses[member], block,
                          ByteView{chunk_.data[b].data(), chunk_.data[b].size()}, record)) {
                eiplog::Error("RecvEMTags",
                              eiplog::Text(chunk_.tags[member]->GetInfo().alias, ": reply of ",
                                           chunk_.data[b].size(), " bytes ends before the value"));
            }
        }
    }
    response.count = static_cast<uint16_t>(count);
}

// ---- Test read reply --------------------------------------------------------------------------

int PcccConnection::AnalyzeTagResp(const ExplicitResponse& reply, TagRequestSet& response,
                                   const TagLookup& lookup) {
    static const char* const op = "AnalyzeTagResp";
    const bool trace = eiplog::TraceOn();
    response.count = 0;
    PcccReply pccc;
    if (!PcccPartOf(reply, pccc)) {
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
    if (pccc.tns != pendingTns) {
        eiplog::Error(op, eiplog::Text("reply for transaction number ", pccc.tns, ", expected ",
                                       pendingTns, "; dropped"));
        return -1;
    }
    response.count = 1;
    TagReplySet& record = response.replies[0];
    if (pccc.status != PCCC_STS_SUCCESS) {
        const uint8_t extStatus = ExtendedStatus(pccc);
        // The PLC's reason: EXT STS after STS 0xF0, else the STS itself.
        eiplog::Error(op, pccc.status == PCCC_STS_EXTENDED && !pccc.data.empty()
                              ? "Failed with pcccExtStatus=0x" + Hex(extStatus) + " - " +
                                    PcccStatusText(pccc.status, extStatus)
                              : "read refused by the PLC - " + PcccStatusText(pccc.status, 0));
        Refuse(record, PCCC_RECORD_STATUS_REFUSED,
               static_cast<uint16_t>(pccc.status | (extStatus << 8)));
        return -1;
    }
    Refuse(record, PCCC_RECORD_STATUS_REFUSED, 0);
    EipTag* tag = lookup ? lookup(pccc.tns) : nullptr;
    const PcccTagData* address = tag != nullptr ? AsPccc(tag->GetTagData()) : nullptr;
    if (address == nullptr) {
        eiplog::Error(op, eiplog::Text("TagData is not found for transaction number ", pccc.tns));
        return -1;
    }
    PcccBlock block;
    block.elementBytes = static_cast<uint8_t>(address->GetDataLen());
    block.firstElement = address->GetElementNum();
    block.elementCount = 1;
    if (!CutValue(*address, block, pccc.data, record)) {
        eiplog::Error(op, eiplog::Text("No tag data received, expected up to ",
                                       address->GetDataLen(), " bytes"));
        return -1;
    }
    if (trace) {
        eiplog::Trace(op, "tag analyzed,");
    }
    return 0;
}

// ---- Writes ------------------------------------------------------------------------------------

// Write request: the PCCC front with TNS 0xFFFF, then
// | FNC  | address                                  | data                          |
// | 0xAB | byte size 2, the bit's word as sub-elem. | mask (1 << bit), value (mask/0)|
// | 0xAA | byte size 2, the word as sub-element     | the 16-bit word               |
// | 0xAA | byte size 4 / 84, sub-element 0          | REAL, DINT or the ST element  |
int PcccConnection::WriteDataToTag(const TagInfo& tagInfo, const EipTagData& tagData,
                                   const uint8_t* data, uint16_t length) {
    static const char* const op = "WriteDataToTag";
    const PcccTagData* address = AsPccc(tagData);
    if (address == nullptr) {
        eiplog::Error(op, "TagData is not PcccTagData instance");
        return -1;
    }
    const std::string unserved = Unserved(*address);
    if (!unserved.empty() || address->IsReadOnly()) {
        eiplog::Error(op, tagInfo.alias + ": write refused - " +
                              (unserved.empty() ? "the field is set by the processor (read-only)"
                                                : unserved));
        return -1;
    }
    const bool bit = address->GetBit() >= 0;
    const bool text = address->GetDataType() == PCCC_DATA_TYPE_STRING;
    const uint16_t needed = text ? 2 : address->GetValueBytes();
    if (data == nullptr || length < needed) {
        eiplog::Error(
            op, eiplog::Text("data supplied is smaller than tag's data type: ", "tag data length ",
                             needed, ", supplied ", data == nullptr ? 0 : length));
        return -1;
    }
    const Address target{static_cast<uint8_t>(address->GetValueBytes()), address->GetFileNum(),
                         static_cast<uint8_t>(address->GetDataType()), address->GetElementNum(),
                         address->GetWordIndex()};
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int front = BuildCommand(op, buffer, sizeof buffer, kWriteTns,
                                   bit ? PCCC_FNC_MASKED_WRITE : PCCC_FNC_TYPED_WRITE, target);
    if (front < 0) {
        return -1;
    }
    ByteWriter w(buffer + front, sizeof buffer - static_cast<size_t>(front));
    if (bit) {
        const uint16_t mask = static_cast<uint16_t>(1u << address->GetBit());
        const uint16_t value = GetLittleEndian16(data) != 0 ? mask : 0;
        eiplog::Info(op, eiplog::Text("writing bit mask ", mask, " value ", value));
        w.u16(mask).u16(value);
    } else {
        // A string element goes whole: the characters supplied, the rest zero.
        std::vector<uint8_t> value(address->GetValueBytes(), 0);
        std::copy(data, data + std::min<size_t>(length, value.size()), value.begin());
        w.bytes(value);
    }
    const size_t total = static_cast<size_t>(front) + w.size();
    PatchRRDataLengths(buffer, total);

    ExplicitResponse reply;
    if (!w.ok() || Exchange(op, buffer, total, reply) != 0) {
        return -1;
    }
    if (reply.generalStatus != CIP_STATUS_SUCCESS || !IsServiceSupported(reply.service)) {
        LogResponseError("unexpected : response error", reply);
        return -1;
    }
    PcccReply pccc;
    if (!PcccPartOf(reply, pccc) || pccc.command != PCCC_CMD_TYPED_REPLY || pccc.tns != kWriteTns) {
        eiplog::Error(op,
                      eiplog::Text(tagInfo.alias, ": reply is not the PCCC reply of the write"));
        return -1;
    }
    // A PLC that refuses the write answers CIP success with the reason in STS.
    if (pccc.status != PCCC_STS_SUCCESS) {
        eiplog::Error(op, tagInfo.alias + ": write refused by the PLC - " +
                              PcccStatusText(pccc.status, ExtendedStatus(pccc)));
        return -1;
    }
    return 0;
}

// ---- Identity ---------------------------------------------------------------------------------

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
    if (common >= 0 &&
        ExchangeIdentityRequest(op, buffer, EIP_RR_DATA_FRONT_SIZE + static_cast<size_t>(common),
                                info) == 0) {
        return 0;
    }
    // Many PCCC controllers and bridges have no Identity object to ask.
    eiplog::Info(op, "Identity object not available, asking ListIdentity");
    if (ListIdentity(info) == 0) {
        return 0;
    }
    eiplog::Error(op,
                  "no identity: neither the Identity object nor ListIdentity answered; "
                  "connected without it");
    info = ProductInfo{};
    info.productName = kNoIdentityName;
    return 0;
}

// ListIdentity (command 0x63, no data) and its reply over TCP:
// | size | field                                                  |
// |    2 | item count (1)                                         |
// |    2 | item type 0x0C, then 2 bytes item length               |
// |    2 | encapsulation protocol version                         |
// |   16 | socket address (big-endian)                            |
// |    8 | vendor ID, device type, product code, major, minor     |
// |    6 | status, serial number                                  |
// |  1+n | product name length, name; then 1 byte state           |
int PcccConnection::ListIdentity(ProductInfo& info) {
    static const char* const op = "ReadPLCProductInfo";
    if (!ReopenAfterTimeout(op)) {
        return -1;
    }
    uint8_t request[EIP_ENCAP_HEADER_SIZE] = {};
    PutLittleEndian16(EIP_CMD_LIST_IDENTITY, request);
    std::vector<uint8_t> buffer(EIP_MSG_BUFFER_SIZE);
    EncapsulationMessage encap{};
    if (EipSendData(request, sizeof request, kRequestTimeoutSeconds) != 0 ||
        ReadMatchingReply(op, buffer.data(), encap, [](const EncapsulationMessage& e) {
            return e.command == EIP_CMD_LIST_IDENTITY;
        }) < 0) {
        return -1;
    }
    ByteReader r(encap.data, encap.length);
    if (r.u16() < 1 || r.u16() != kCpfItemListIdentity) {
        return -1;
    }
    ByteReader item = r.sub(r.u16());
    item.skip(2 + 16);
    ProductInfo found;
    found.vendorId = item.u16();
    found.deviceType = item.u16();
    found.productCode = item.u16();
    found.majorRevision = item.u8();
    found.minorRevision = item.u8();
    item.skip(6);
    const std::string name = item.str(item.u8());
    if (!item.ok()) {
        return -1;
    }
    found.productName = name.substr(0, name.find('\0'));
    info = found;
    return 0;
}
