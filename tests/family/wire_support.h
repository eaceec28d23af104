#pragma once

// Helpers of the Logix and PCCC connection tests: a connection whose socket is one end of a
// local socket pair (the test holds the other end, reads the requests and writes replies), tags
// parsed from names or addresses, and encoders of the replies a controller sends.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "family/controllogix_connection.h"
#include "family/pccc_connection.h"
#include "support/hex.h"
#include "tag/eip_tag.h"

namespace wire_test {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSession = 0x11223344;

using tb_test::Cat;
using tb_test::Hex;
using tb_test::Text;

inline uint16_t U16(const Bytes& b, size_t at) {
    return GetLittleEndian16(b.data() + at);
}

// A connection of a family on a socket pair with a registered session; the test talks to it
// through `peer`.
template <typename Connection>
class SocketPairConnection : public Connection {
  public:
    SocketPairConnection() : Connection(nullptr) {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            this->socketFd = fds[0];
            peer = fds[1];
        }
        this->sessionHandle = kSession;
    }
    ~SocketPairConnection() override {
        if (peer >= 0) {
            ::close(peer);
        }
    }

    // The next whole encapsulation message the connection sent; empty when none is waiting.
    Bytes TakeRequest() const {
        Bytes header = ReadUpTo(EIP_ENCAP_HEADER_SIZE);
        if (header.size() != EIP_ENCAP_HEADER_SIZE) {
            return {};
        }
        const Bytes body = ReadUpTo(GetLittleEndian16(header.data() + 2));
        header.insert(header.end(), body.begin(), body.end());
        return header;
    }
    bool NothingSent() const {
        pollfd p{peer, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    // Queues reply bytes for the connection to read. A SendRRData reply answers the next
    // unanswered request: it gets that request's sender context (the connection numbers its
    // requests 1, 2, ...; a request that went unanswered is passed over).
    void Answer(Bytes bytes) {
        if (bytes.size() >= EIP_ENCAP_HEADER_SIZE &&
            GetLittleEndian16(bytes.data()) == EIP_CMD_SEND_RR_DATA) {
            answeredContext = std::max(answeredContext, this->senderContext) + 1;
            PutLittleEndian32(static_cast<uint32_t>(answeredContext), bytes.data() + 12);
        }
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }

    int peer = -1;
    uint64_t answeredContext = 0;

  private:
    Bytes ReadUpTo(size_t n) const {
        Bytes out(n);
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

// A ControlLogixConnection with connection ids set as after a Forward Open.
class LogixWire : public SocketPairConnection<ControlLogixConnection> {
  public:
    explicit LogixWire(int slot = 0) {
        connectInfo.slot = slot;
        otConnectionId = 0xA1B2C3D4;
        toConnectionId = 0x0BADF00D;
    }
    void SetSequenceCount(uint16_t value) { sequenceCount = value; }
    void SetConnectionSize(uint16_t value) { connectionSize = value; }
};

using PcccWire = SocketPairConnection<PcccConnection>;

// A tag of the family parsed from info, read and published by default; null when its name does
// not parse.
inline std::unique_ptr<EipTag> ParsedTag(ProtocolFamily family, TagInfo info) {
    std::unique_ptr<EipTag> tag(EipTag::Create(family));
    info.rwFlag = kRwFlagDefaultExplicit;
    info.outputType = kOutputTypeDefault;
    tag->SetInfo(info);
    if (tag->ParsingTagName() < 0) {
        return nullptr;
    }
    return tag;
}

inline std::unique_ptr<EipTag> LogixTag(const std::string& name,
                                        int32_t innerType = kInnerTypeDint) {
    TagInfo info;
    info.alias = name;
    info.tagName = name;
    info.innerType = innerType;
    return ParsedTag(kFamilyCip, info);
}

inline std::unique_ptr<EipTag> Plc5Tag(const std::string& address) {
    TagInfo info;
    info.alias = address;
    info.tagName = address;
    info.plc5Address = address;
    return ParsedTag(kFamilyPccc, info);
}

// Tags that own themselves and the poll list of them.
struct PollList {
    std::vector<std::unique_ptr<EipTag>> owned;
    std::vector<EipTag*> list;
    EipTag* Add(std::unique_ptr<EipTag> tag) {
        EXPECT_NE(tag, nullptr);
        owned.push_back(std::move(tag));
        list.push_back(owned.back().get());
        return list.back();
    }
};

// Message Router reply: service, 0, status, additional status words, data.
inline Bytes MrReply(uint8_t service, uint8_t status, const std::vector<uint16_t>& ext,
                     const Bytes& data) {
    ByteWriter w;
    w.u8(service).u8(0).u8(status).u8(static_cast<uint8_t>(ext.size()));
    for (uint16_t word : ext) {
        w.u16(word);
    }
    w.bytes(data);
    return w.to_vector();
}

// Multiple Service Packet reply data: count, offsets, the records.
inline Bytes MspData(const std::vector<Bytes>& records) {
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

// Multiple Service Packet reply of the records with the outer status.
inline Bytes Msp(uint8_t status, const std::vector<Bytes>& records) {
    return MrReply(LOGIX_SVC_MULTIPLE_SERVICE_REPLY, status, {}, MspData(records));
}

// Read Tag reply record of an elementary type.
inline Bytes ReadRecord(uint16_t type, const Bytes& value) {
    ByteWriter w;
    w.u16(type).bytes(value);
    return MrReply(LOGIX_SVC_READ_TAG_REPLY, 0, {}, w.to_vector());
}

// SendRRData reply of the session carrying a Message Router reply.
inline Bytes RRData(const Bytes& mr) {
    ByteWriter w;
    w.u16(EIP_CMD_SEND_RR_DATA).u16(static_cast<uint16_t>(16 + mr.size())).u32(kSession).u32(0);
    w.zeros(8).u32(0);
    w.u32(0).u16(0).u16(2).u16(CPF_ITEM_NULL_ADDRESS).u16(0);
    w.u16(CPF_ITEM_UNCONNECTED_DATA).u16(static_cast<uint16_t>(mr.size())).bytes(mr);
    return w.to_vector();
}

// The reply struct as the client's parser leaves it, from a Message Router reply's parts.
inline ExplicitResponse Explicit(uint8_t service, uint8_t status, const Bytes& data) {
    ExplicitResponse reply{};
    reply.service = service;
    reply.generalStatus = status;
    reply.dataLength = static_cast<uint16_t>(data.size());
    std::copy(data.begin(), data.end(), reply.data);
    return reply;
}

// Execute PCCC reply data: requester ID as this program sends it, CMD, STS, TNS, the rest.
inline Bytes PcccReplyData(uint8_t sts, uint16_t tns, const Bytes& rest = {},
                           uint8_t command = PCCC_CMD_TYPED_REPLY) {
    ByteWriter w;
    w.u8(PCCC_REQUESTER_ID_LENGTH).u16(PCCC_REQUESTER_VENDOR).u32(PCCC_REQUESTER_SERIAL);
    w.u8(command).u8(sts).u16(tns).bytes(rest);
    return w.to_vector();
}

// SendRRData reply carrying an Execute PCCC reply (or another service's) with the data.
inline Bytes PcccRRData(const Bytes& data, uint8_t service = PCCC_SVC_EXECUTE_PCCC_REPLY,
                        uint8_t status = CIP_STATUS_SUCCESS) {
    return RRData(MrReply(service, status, {}, data));
}

}  // namespace wire_test
