// The item walk of received I/O datagrams, the reply built from what it found, and the check of
// its source and sequence: the data view must stay inside the datagram, a reply is always the
// 20 bytes of its layout, and a datagram is accepted only from the PLC's address (and the port
// it granted, when not 0) with a newer sequence number, after which the very same datagram is
// stale.
//
// Input: | 4 sender address | 2 sender port | 4 PLC address | 2 PLC port | 4 last sequence |
//        | 1 seen flag | datagram... |

#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>

#include "eip/eip_io_connection.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kPrefixSize = 17;

// Source and sequence: what was accepted must have come from the PLC with a newer number.
void CheckSource(ByteReader& prefix, const IoDatagram& datagram) {
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_addr.s_addr = prefix.u32();
    sender.sin_port = prefix.u16();
    IoPeer peer;
    peer.address.s_addr = prefix.u32();
    peer.port = prefix.u16();
    peer.lastSequence = prefix.u32();
    peer.seen = (prefix.u8() & 1) != 0;
    const IoPeer before = peer;
    const IoVerdict verdict = AcceptIoDatagram(peer, sender, datagram.sequence);
    const bool newer =
        !before.seen || static_cast<int32_t>(datagram.sequence - before.lastSequence) > 0;
    const bool fromPlc = sender.sin_addr.s_addr == before.address.s_addr &&
                         (before.port == 0 || sender.sin_port == before.port);
    if ((verdict == IoVerdict::Accepted) != (fromPlc && newer)) {
        std::abort();
    }
    if (verdict != IoVerdict::Accepted) {
        if (peer.seen != before.seen || peer.lastSequence != before.lastSequence) {
            std::abort();
        }
        return;
    }
    if (peer.lastSequence != datagram.sequence ||
        AcceptIoDatagram(peer, sender, datagram.sequence) != IoVerdict::Stale) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (QuietLogs(), true);
    (void)quiet;
    if (size < kPrefixSize) {
        return 0;
    }
    ByteReader prefix(data, kPrefixSize);
    const uint8_t* bytes = data + kPrefixSize;
    const size_t length = size - kPrefixSize;
    IoDatagram datagram;
    if (ParseIODatagram(ByteView{bytes, length}, datagram) != IoDatagramStatus::Ok) {
        return 0;
    }
    if (datagram.data.data < bytes || datagram.data.end() > bytes + length) {
        std::abort();
    }
    uint8_t reply[IO_REPLY_SIZE + 1];
    if (!BuildIOReply(datagram.connectionId, datagram, reply, IO_REPLY_SIZE)) {
        std::abort();
    }
    ByteReader check(reply, IO_REPLY_SIZE);
    check.skip(10);
    if (check.u32() != datagram.sequence + 1) {
        std::abort();
    }
    CheckSource(prefix, datagram);
    return 0;
}
