#pragma once

// A bare EtherNet/IP client for plcsim's tests and benchmark: it sends encapsulation bytes the
// caller writes and hands back whole replies, with nothing of the link in between.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "common/byte_codec.h"
#include "eip/cip_wire.h"

namespace plcsim_test {

// A bare TCP client speaking encapsulation bytes the tests write themselves.
class RawClient {
  public:
    explicit RawClient(uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(fd); }

    void Send(uint16_t command, uint32_t handle, const std::vector<uint8_t>& body,
              uint32_t options = 0) {
        ByteWriter writer;
        writer.u16(command)
            .u16(static_cast<uint16_t>(body.size()))
            .u32(handle)
            .u32(0)
            .bytes("context!", 8)
            .u32(options)
            .bytes(body);
        sent = ::send(fd, writer.data(), writer.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(writer.size());
    }

    // One whole reply, or an empty vector when none comes within the wait (or the peer closed).
    std::vector<uint8_t> Receive(int waitMs = 5000) {
        std::vector<uint8_t> message(EIP_ENCAP_HEADER_SIZE);
        if (!ReadFull(message.data(), message.size(), waitMs)) {
            return {};
        }
        const uint16_t length = GetLittleEndian16(&message[2]);
        message.resize(EIP_ENCAP_HEADER_SIZE + length);
        if (!ReadFull(message.data() + EIP_ENCAP_HEADER_SIZE, length, waitMs)) {
            return {};
        }
        return message;
    }

    // True when the simulator closed the connection.
    bool PeerClosed(int waitMs = 5000) {
        pollfd entry{fd, POLLIN, 0};
        uint8_t byte = 0;
        return ::poll(&entry, 1, waitMs) == 1 && ::recv(fd, &byte, 1, 0) == 0;
    }

    uint32_t Register() {
        Send(EIP_CMD_REGISTER_SESSION, 0, {1, 0, 0, 0});
        const std::vector<uint8_t> reply = Receive();
        return reply.size() >= 8 ? GetLittleEndian32(&reply[4]) : 0;
    }

    // A SendRRData carrying one Message Router request; returns that reply's CIP bytes.
    std::vector<uint8_t> Unconnected(uint32_t handle, const std::vector<uint8_t>& request) {
        ByteWriter body;
        body.u32(0).u16(0).u16(2).u16(0).u16(0).u16(CPF_ITEM_UNCONNECTED_DATA);
        body.u16(static_cast<uint16_t>(request.size())).bytes(request);
        Send(EIP_CMD_SEND_RR_DATA, handle, body.to_vector());
        const std::vector<uint8_t> reply = Receive();
        if (reply.size() < EIP_RR_DATA_FRONT_SIZE) {
            return {};
        }
        return std::vector<uint8_t>(reply.begin() + EIP_RR_DATA_FRONT_SIZE, reply.end());
    }

    // A SendUnitData on a connection; returns the whole reply (empty when none came).
    std::vector<uint8_t> Connected(uint32_t handle, uint32_t otId, uint16_t sequence,
                                   const std::vector<uint8_t>& request, int waitMs = 5000) {
        ByteWriter body;
        body.u32(0).u16(0).u16(2).u16(CPF_ITEM_CONNECTED_ADDRESS).u16(4).u32(otId);
        body.u16(CPF_ITEM_CONNECTED_DATA).u16(static_cast<uint16_t>(request.size() + 2));
        body.u16(sequence).bytes(request);
        Send(EIP_CMD_SEND_UNIT_DATA, handle, body.to_vector());
        return Receive(waitMs);
    }

    bool connected = false;
    bool sent = true;  // false once a send failed

  private:
    bool ReadFull(uint8_t* buffer, size_t count, int waitMs) {
        size_t got = 0;
        while (got < count) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, waitMs) != 1) {
                return false;
            }
            const ssize_t n = ::recv(fd, buffer + got, count - got, 0);
            if (n <= 0) {
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }

    int fd = -1;
};

// Get Attributes All of Identity instance 1.
inline const std::vector<uint8_t> kIdentityRequest = {0x01, 0x02, 0x20, 0x01, 0x24, 0x01};

struct ForwardOpenFields {
    uint8_t transport = 0xA3;
    uint32_t params = 0x43F4;  // a Large Forward Open's are 32 bits
    bool large = false;
    uint32_t rpiUs = 45000000;
    uint8_t multiplier = 0;
    uint16_t serial = 0x0042;
    std::vector<uint8_t> path = {0x01, 0x00, 0x20, 0x02, 0x24, 0x01};
};

inline std::vector<uint8_t> ForwardOpen(const ForwardOpenFields& f) {
    ByteWriter writer;
    writer.u8(f.large ? 0x5B : CIP_SVC_FORWARD_OPEN).u8(2).u8(0x20).u8(0x06).u8(0x24).u8(0x01);
    writer.u8(3).u8(0xFA).u32(0x11111111).u32(0x22222222).u16(f.serial).u16(0x0100).u32(7);
    writer.u8(f.multiplier).zeros(3);
    for (int direction = 0; direction < 2; ++direction) {
        writer.u32(f.rpiUs);
        f.large ? writer.u32(f.params) : writer.u16(static_cast<uint16_t>(f.params));
    }
    writer.u8(f.transport).u8(static_cast<uint8_t>(f.path.size() / 2)).bytes(f.path);
    return writer.to_vector();
}

// General status and first additional status word of a Message Router reply.
inline std::pair<uint8_t, uint16_t> CipStatus(const std::vector<uint8_t>& reply) {
    if (reply.size() < 4) {
        return {0xFF, 0};
    }
    return {reply[2], reply[3] > 0 && reply.size() >= 6 ? GetLittleEndian16(&reply[4]) : 0};
}

// A registered session with one class-3 connection: the O->T connection ID, 0 when refused.
inline uint32_t OpenConnection(RawClient& client, uint32_t handle, const ForwardOpenFields& f) {
    const std::vector<uint8_t> reply = client.Unconnected(handle, ForwardOpen(f));
    return CipStatus(reply).first == CIP_STATUS_SUCCESS && reply.size() >= 8
               ? GetLittleEndian32(&reply[4])
               : 0;
}

}  // namespace plcsim_test
