// The item walk of received I/O datagrams and the reply built from what it found: the data view
// must stay inside the datagram, and a reply is always the 20 bytes of its layout.

#include <cstdint>
#include <cstdlib>

#include "eip/eip_io_connection.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (QuietLogs(), true);
    (void)quiet;
    IoDatagram datagram;
    if (ParseIODatagram(ByteView{data, size}, datagram) != IoDatagramStatus::Ok) {
        return 0;
    }
    if (datagram.data.data < data || datagram.data.end() > data + size) {
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
    return 0;
}
