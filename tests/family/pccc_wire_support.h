#pragma once

// Helpers of the PCCC connection tests: a PcccConnection on one end of a local socket pair (the
// test reads its requests and writes replies on the other end), PLC5 tags made from addresses,
// and encoders of the Execute PCCC replies a PLC5 sends.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "family/pccc_connection.h"
#include "tag/eip_tag.h"

namespace pccc_test {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSession = 0x11223344;

// A PcccConnection on a socket pair, with a registered session.
class WireConnection : public PcccConnection {
  public:
    WireConnection() : PcccConnection(nullptr) {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            socketFd = fds[0];
            peer = fds[1];
        }
        sessionHandle = kSession;
    }
    ~WireConnection() override {
        if (peer >= 0) {
            ::close(peer);
        }
    }

    // The next whole encapsulation message the connection sent; empty when none is waiting.
    Bytes TakeRequest() const {
        Bytes message = ReadUpTo(EIP_ENCAP_HEADER_SIZE);
        if (message.size() != EIP_ENCAP_HEADER_SIZE) {
            return {};
        }
        const Bytes body = ReadUpTo(eip_GetLitEndian16(message.data() + 2));
        message.insert(message.end(), body.begin(), body.end());
        return message;
    }
    bool NothingSent() const {
        pollfd p{peer, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    // Queues reply bytes for the connection to read.
    void Answer(const Bytes& bytes) const {
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }

    int peer = -1;

  private:
    Bytes ReadUpTo(size_t n) const {
        Bytes out(n);
        size_t got = 0;
        pollfd p{peer, POLLIN, 0};
        while (got < n && ::poll(&p, 1, 0) == 1) {
            const ssize_t r = ::recv(peer, out.data() + got, n - got, 0);
            if (r <= 0) {
                break;
            }
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }
};

// A PLC5 tag of that data-table address; null when the address does not parse.
inline std::unique_ptr<EipTag> MakeTag(const std::string& address) {
    std::unique_ptr<EipTag> tag(EipTag::Create(EIP_PROTOCOL_FAMILY_PCCC));
    _eipTagInfo info;
    info.alias = address;
    info.tagName = address;
    info.plc5Address = address;
    info.rwFlag = EIP_RW_FLAG_DEFAULT_EM;
    info.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    tag->SetInfo(info);
    if (tag->ParsingTagName() < 0) {
        return nullptr;
    }
    return tag;
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
    EXPLICIT_RESPONSE_STRUCT reply{};
    reply.service = service;
    reply.generalStatus = status;
    reply.dataLength = static_cast<uint16_t>(data.size());
    std::copy(data.begin(), data.end(), reply.data);
    return reply;
}

// SendRRData reply carrying a Message Router reply (service, 0, status, 0, data).
inline Bytes RRDataReply(const Bytes& data, uint8_t service = PCCC_SVC_EXECUTE_PCCC_REPLY,
                         uint8_t status = CIP_STATUS_SUCCESS) {
    ByteWriter mr;
    mr.u8(service).u8(0).u8(status).u8(0).bytes(data);
    ByteWriter w;
    w.u16(EIP_CMD_SEND_RR_DATA).u16(static_cast<uint16_t>(16 + mr.size())).u32(kSession).u32(0);
    w.zeros(8).u32(0);
    w.u32(0).u16(0).u16(2).u16(CPF_ITEM_NULL_ADDRESS).u16(0);
    w.u16(CPF_ITEM_UNCONNECTED_DATA).u16(static_cast<uint16_t>(mr.size())).bytes(mr.view());
    return w.to_vector();
}

}  // namespace pccc_test
