#pragma once
// A port nothing uses at the time of asking: bound once to port 0, read back, released. Tests and
// benchmarks hand it to a listener of their own or use it as a port that refuses connections.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace tb_test {

// `type` SOCK_STREAM or SOCK_DGRAM; `address` in host order (INADDR_ANY: free on every address).
inline uint16_t UnusedPort(int type, in_addr_t address = INADDR_LOOPBACK) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    close(fd);
    return ntohs(bound.sin_port);
}

}  // namespace tb_test
