// The encapsulation reader and everything that consumes a received message: the first byte
// picks the operation (tag reply, identity read, RegisterSession, Forward Open, Forward Close),
// the second how many bytes each recv delivers, the rest is what the peer sends.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "fuzz_support.h"
#include "strata_sdk/logging.h"

namespace {

int pair[2] = {-1, -1};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    // One end always readable (a byte that is never consumed, the reads are injected) and
    // writable, so the waits return at once.
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    const char byte = 0;
    (void)::write(pair[1], &byte, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t mode = data[0] % 5;
    const size_t chunk = static_cast<size_t>(data[1] % 64) + 1;
    const uint8_t* stream = data + 2;
    size_t left = size - 2;

    FuzzConnection connection;
    connection.Adopt(pair[0], 0x1234, 0xCAFE, 1);
    connection.SetSendFunc(
        [](int, const void*, size_t length, int) { return static_cast<ssize_t>(length); });
    connection.SetRecvFunc([&stream, &left, chunk](int, void* buffer, size_t length, int) {
        const size_t n = std::min({length, left, chunk});
        std::copy(stream, stream + n, static_cast<uint8_t*>(buffer));
        stream += n;
        left -= n;
        return static_cast<ssize_t>(n);  // 0 once the input is used up: the peer closed
    });
    switch (mode) {
        case 0: {
            auto tags = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
            connection.RecvEMTags(*tags, [](uint16_t) { return nullptr; });
            break;
        }
        case 1: {
            _eipProductInfo info;
            connection.ReadPLCProductInfo(0, info);
            break;
        }
        case 2:
            connection.RegiSession(1);
            break;
        case 3:
            connection.OpenEMConnection(45000);
            break;
        default:
            connection.CloseEMConnection();
            break;
    }
    // A failed read closes the descriptor it holds; keep the shared pair open.
    if (connection.GetSocketFd() < 0) {
        ::close(pair[1]);
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        const char byte = 0;
        (void)::write(pair[1], &byte, 1);
    } else {
        connection.Release();
    }
    return 0;
}
