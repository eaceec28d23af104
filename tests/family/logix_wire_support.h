#pragma once

// Helpers of the Logix connection tests: a connection whose socket is one end of a local socket
// pair (the test holds the other end, reads the requests and writes replies), Logix tags made
// from names, and encoders of the replies a controller sends.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "family/controllogix_connection.h"
#include "tag/eip_tag.h"

namespace logix_test {

// A ControlLogixConnection on a socket pair, with session and connection set as after a
// Forward Open.
class WireConnection : public ControlLogixConnection {
  public:
    explicit WireConnection(int slot = 0) : ControlLogixConnection(nullptr) {
        connectInfo.slot = slot;
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            socketFd = fds[0];
            peer = fds[1];
        }
        sessionHandle = 0x11223344;
        otConnectionId = 0xA1B2C3D4;
        toConnectionId = 0x0BADF00D;
    }
    ~WireConnection() override {
        if (peer >= 0) {
            ::close(peer);
        }
    }
    void SetSequenceCount(uint16_t value) { sequenceCount = value; }

    // The next whole encapsulation message the connection sent; empty when none is waiting.
    std::vector<uint8_t> TakeRequest() const {
        std::vector<uint8_t> header = ReadExactly(EIP_ENCAP_HEADER_SIZE);
        if (header.size() != EIP_ENCAP_HEADER_SIZE) {
            return {};
        }
        const uint16_t length = eip_GetLitEndian16(header.data() + 2);
        std::vector<uint8_t> body = ReadExactly(length);
        header.insert(header.end(), body.begin(), body.end());
        return header;
    }
    // True when the connection sent nothing.
    bool NothingSent() const {
        pollfd p{peer, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    // Queues reply bytes for the connection to read.
    void Answer(const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }

    int peer = -1;

  private:
    std::vector<uint8_t> ReadExactly(size_t n) const {
        std::vector<uint8_t> out(n);
        size_t got = 0;
        while (got < n) {
            pollfd p{peer, POLLIN, 0};
            if (::poll(&p, 1, 0) != 1) {
                break;
            }
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

// A parsed Logix tag of that name (and inner type).
inline std::unique_ptr<EipTag> MakeTag(const std::string& name,
                                       int32_t innerType = EIP_INNER_TYPE_DINT) {
    std::unique_ptr<EipTag> tag(EipTag::Create(EIP_PROTOCOL_FAMILY_CIP));
    _eipTagInfo info;
    info.alias = name;
    info.tagName = name;
    info.innerType = innerType;
    info.rwFlag = EIP_RW_FLAG_DEFAULT_EM;
    info.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    tag->SetInfo(info);
    if (tag->ParsingTagName() < 0) {
        return nullptr;
    }
    return tag;
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
    ByteWriter w;
    w.u16(EIP_CMD_SEND_RR_DATA).u16(static_cast<uint16_t>(16 + mr.size())).u32(session).u32(0);
    w.zeros(8).u32(0);
    w.u32(0).u16(0).u16(2).u16(CPF_ITEM_NULL_ADDRESS).u16(0);
    w.u16(CPF_ITEM_UNCONNECTED_DATA).u16(static_cast<uint16_t>(mr.size())).bytes(mr);
    return w.to_vector();
}

// The reply struct as the client's parser leaves it, from a Message Router reply.
inline EXPLICIT_RESPONSE_STRUCT Explicit(uint8_t service, uint8_t status,
                                         const std::vector<uint8_t>& data) {
    EXPLICIT_RESPONSE_STRUCT reply{};
    reply.service = service;
    reply.generalStatus = status;
    reply.dataLength = static_cast<uint16_t>(data.size());
    std::copy(data.begin(), data.end(), reply.data);
    return reply;
}

}  // namespace logix_test
