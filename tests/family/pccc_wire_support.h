#pragma once

// Helpers of the PCCC connection tests: a PcccConnection on one end of a local socket pair (the
// test reads its requests and writes replies on the other end), PLC5 tags made from addresses,
// and encoders of the Execute PCCC replies a PLC5 sends.

#include <memory>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "family/pccc_connection.h"
#include "tag/eip_tag.h"
#include "wire_support.h"

namespace pccc_test {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSession = 0x11223344;

// A PcccConnection on a socket pair, with a registered session.
class WireConnection : public wire_test::SocketPairConnection<PcccConnection> {
  public:
    WireConnection() { sessionHandle = kSession; }
};

// A PLC5 tag of that data-table address; null when the address does not parse.
inline std::unique_ptr<EipTag> MakeTag(const std::string& address) {
    _eipTagInfo info;
    info.alias = address;
    info.tagName = address;
    info.plc5Address = address;
    return wire_test::ParsedTag(EIP_PROTOCOL_FAMILY_PCCC, info);
}

// Execute PCCC reply data: requester ID as this program sends it, CMD, STS, TNS, the rest.
inline Bytes PcccReplyData(uint8_t sts, uint16_t tns, const Bytes& rest = {},
                           uint8_t command = PCCC_CMD_TYPED_REPLY) {
    ByteWriter w;
    w.u8(PCCC_REQUESTER_ID_LENGTH).u16(PCCC_REQUESTER_VENDOR).u32(PCCC_REQUESTER_SERIAL);
    w.u8(command).u8(sts).u16(tns).bytes(rest);
    return w.to_vector();
}

// The reply struct as the client's parser leaves it.
inline EXPLICIT_RESPONSE_STRUCT Explicit(const Bytes& data,
                                         uint8_t service = PCCC_SVC_EXECUTE_PCCC_REPLY,
                                         uint8_t status = CIP_STATUS_SUCCESS) {
    return wire_test::ExplicitReply(service, status, data);
}

// SendRRData reply carrying a Message Router reply (service, 0, status, 0, data).
inline Bytes RRDataReply(const Bytes& data, uint8_t service = PCCC_SVC_EXECUTE_PCCC_REPLY,
                         uint8_t status = CIP_STATUS_SUCCESS) {
    ByteWriter mr;
    mr.u8(service).u8(0).u8(status).u8(0).bytes(data);
    return wire_test::RRDataFrame(kSession, mr.to_vector());
}

}  // namespace pccc_test
