#pragma once

// Helpers of the Logix connection tests: a connection whose socket is one end of a local socket
// pair (the test holds the other end, reads the requests and writes replies), Logix tags made
// from names, and encoders of the replies a controller sends.

#include <memory>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "family/controllogix_connection.h"
#include "tag/eip_tag.h"
#include "wire_support.h"

namespace logix_test {

// A ControlLogixConnection on a socket pair, with session and connection set as after a
// Forward Open.
class WireConnection : public wire_test::SocketPairConnection<ControlLogixConnection> {
  public:
    explicit WireConnection(int slot = 0) {
        connectInfo.slot = slot;
        sessionHandle = 0x11223344;
        otConnectionId = 0xA1B2C3D4;
        toConnectionId = 0x0BADF00D;
    }
    void SetSequenceCount(uint16_t value) { sequenceCount = value; }
    void SetConnectionSize(uint16_t value) { connectionSize = value; }
};

// A parsed Logix tag of that name (and inner type).
inline std::unique_ptr<EipTag> MakeTag(const std::string& name,
                                       int32_t innerType = EIP_INNER_TYPE_DINT) {
    _eipTagInfo info;
    info.alias = name;
    info.tagName = name;
    info.innerType = innerType;
    return wire_test::ParsedTag(EIP_PROTOCOL_FAMILY_CIP, info);
}

// Message Router reply: service, 0, status, additional status words, data.
inline std::vector<uint8_t> MrReply(uint8_t service, uint8_t status,
                                    const std::vector<uint16_t>& ext,
                                    const std::vector<uint8_t>& data) {
    ByteWriter w;
    w.u8(service).u8(0).u8(status).u8(static_cast<uint8_t>(ext.size()));
    for (uint16_t word : ext) {
        w.u16(word);
    }
    w.bytes(data);
    return w.to_vector();
}

// Multiple Service Packet reply data: count, offsets, the records.
inline std::vector<uint8_t> MspData(const std::vector<std::vector<uint8_t>>& records) {
    ByteWriter w;
    w.u16(static_cast<uint16_t>(records.size()));
    size_t offset = 2 + 2 * records.size();
    for (const auto& record : records) {
        w.u16(static_cast<uint16_t>(offset));
        offset += record.size();
    }
    for (const auto& record : records) {
        w.bytes(record);
    }
    return w.to_vector();
}

// Read Tag reply record of an elementary type.
inline std::vector<uint8_t> ReadRecord(uint16_t type, const std::vector<uint8_t>& value) {
    ByteWriter w;
    w.u16(type).bytes(value);
    return MrReply(LOGIX_SVC_READ_TAG_REPLY, 0, {}, w.to_vector());
}

// SendRRData reply carrying a Message Router reply.
inline std::vector<uint8_t> RRDataReply(uint32_t session, const std::vector<uint8_t>& mr) {
    return wire_test::RRDataFrame(session, mr);
}

// SendUnitData reply on connection `id` with sequence count `sequence` carrying a Message
// Router reply.
inline std::vector<uint8_t> UnitDataReply(uint32_t session, uint32_t id, uint16_t sequence,
                                          const std::vector<uint8_t>& mr) {
    ByteWriter w;
    w.u16(EIP_CMD_SEND_UNIT_DATA).u16(static_cast<uint16_t>(22 + mr.size())).u32(session);
    w.zeros(16).u32(0).u16(0).u16(2);
    w.u16(CPF_ITEM_CONNECTED_ADDRESS).u16(4).u32(id);
    w.u16(CPF_ITEM_CONNECTED_DATA).u16(static_cast<uint16_t>(2 + mr.size())).u16(sequence);
    w.bytes(mr);
    return w.to_vector();
}

// Multiple Service Packet reply of one record.
inline std::vector<uint8_t> SingleMsp(uint8_t status, const std::vector<uint8_t>& record) {
    return MrReply(LOGIX_SVC_MULTIPLE_SERVICE_REPLY, status, {}, MspData({record}));
}

// The reply struct as the client's parser leaves it, from a Message Router reply.
inline EXPLICIT_RESPONSE_STRUCT Explicit(uint8_t service, uint8_t status,
                                         const std::vector<uint8_t>& data) {
    return wire_test::ExplicitReply(service, status, data);
}

}  // namespace logix_test
