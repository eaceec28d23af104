#pragma once

// Helpers shared by the Logix and PCCC connection tests: a connection whose socket is one end of
// a local socket pair (the test holds the other end, reads the requests and writes replies),
// tags parsed from their info, and the reply frames every controller sends.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "common/byte_codec.h"
#include "eip/eip_connection.h"
#include "tag/eip_tag.h"

namespace wire_test {

// A connection of a family on a socket pair; the test talks to it through `peer`.
template <typename Connection>
class SocketPairConnection : public Connection {
  public:
    SocketPairConnection() : Connection(nullptr) {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            this->socketFd = fds[0];
            peer = fds[1];
        }
    }
    ~SocketPairConnection() override {
        if (peer >= 0) {
            ::close(peer);
        }
    }

    // The next whole encapsulation message the connection sent; empty when none is waiting.
    std::vector<uint8_t> TakeRequest() const {
        std::vector<uint8_t> header = ReadUpTo(EIP_ENCAP_HEADER_SIZE);
        if (header.size() != EIP_ENCAP_HEADER_SIZE) {
            return {};
        }
        const std::vector<uint8_t> body = ReadUpTo(eip_GetLitEndian16(header.data() + 2));
        header.insert(header.end(), body.begin(), body.end());
        return header;
    }
    // True when the connection sent nothing.
    bool NothingSent() const {
        pollfd p{peer, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    // Queues reply bytes for the connection to read. A SendRRData reply answers the next
    // unanswered request: it gets that request's sender context (the connection numbers its
    // requests 1, 2, ...; a request that went unanswered is passed over).
    void Answer(std::vector<uint8_t> bytes) {
        if (bytes.size() >= EIP_ENCAP_HEADER_SIZE &&
            eip_GetLitEndian16(bytes.data()) == EIP_CMD_SEND_RR_DATA) {
            answeredContext = std::max(answeredContext, this->senderContext) + 1;
            eip_PutLitEndian32(static_cast<uint32_t>(answeredContext), bytes.data() + 12);
        }
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }

    int peer = -1;
    uint64_t answeredContext = 0;

  private:
    std::vector<uint8_t> ReadUpTo(size_t n) const {
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

// A tag of the family parsed from info, read and published by default; null when its name does
// not parse.
inline std::unique_ptr<EipTag> ParsedTag(eipProtocolFamily_t family, _eipTagInfo info) {
    std::unique_ptr<EipTag> tag(EipTag::Create(family));
    info.rwFlag = EIP_RW_FLAG_DEFAULT_EM;
    info.outputType = EIP_OUTPUT_TYPE_DEFAULT;
    tag->SetInfo(info);
    if (tag->ParsingTagName() < 0) {
        return nullptr;
    }
    return tag;
}

// SendRRData reply of a session carrying a Message Router reply.
inline std::vector<uint8_t> RRDataFrame(uint32_t session, const std::vector<uint8_t>& mr) {
    ByteWriter w;
    w.u16(EIP_CMD_SEND_RR_DATA).u16(static_cast<uint16_t>(16 + mr.size())).u32(session).u32(0);
    w.zeros(8).u32(0);
    w.u32(0).u16(0).u16(2).u16(CPF_ITEM_NULL_ADDRESS).u16(0);
    w.u16(CPF_ITEM_UNCONNECTED_DATA).u16(static_cast<uint16_t>(mr.size())).bytes(mr);
    return w.to_vector();
}

// The reply struct as the client's parser leaves it, from a Message Router reply.
inline EXPLICIT_RESPONSE_STRUCT ExplicitReply(uint8_t service, uint8_t status,
                                              const std::vector<uint8_t>& data) {
    EXPLICIT_RESPONSE_STRUCT reply{};
    reply.service = service;
    reply.generalStatus = status;
    reply.dataLength = static_cast<uint16_t>(data.size());
    std::copy(data.begin(), data.end(), reply.data);
    return reply;
}

}  // namespace wire_test
