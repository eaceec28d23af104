// The encapsulation reader and everything that consumes a received message: the first byte
// picks the operation (tag reply, identity read, RegisterSession, Forward Open, Forward Close),
// the second how many bytes each recv delivers, the rest is what the peer sends.

#include <cstdint>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "fuzz/peer_stream.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    static ReadyPair pair;
    const uint8_t mode = data[0] % 5;
    PeerStream peer(data + 1, size - 1);

    FuzzConnection connection;
    connection.Adopt(pair.fd(), 0x1234, 0xCAFE, 1);
    peer.Attach(connection);
    switch (mode) {
        case 0: {
            auto tags = std::make_unique<TagRequestSet>();
            connection.RecvExplicitTags(*tags, [](uint16_t) { return nullptr; });
            break;
        }
        case 1: {
            ProductInfo info;
            connection.ReadPLCProductInfo(0, info);
            break;
        }
        case 2:
            connection.RegisterSession(1);
            break;
        case 3:
            connection.OpenExplicitConnection(45000);
            break;
        default:
            connection.CloseExplicitConnection();
            break;
    }
    // A failed read closes the descriptor it holds; keep the shared pair open.
    if (connection.GetSocketFd() < 0) {
        pair.Reopen();
    } else {
        connection.Release();
    }
    return 0;
}
