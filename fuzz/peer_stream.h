#pragma once
// What the harnesses that drive a connection over a socket share: a descriptor whose waits
// return at once, and a peer whose bytes are the fuzzer's input.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "eip/eip_connection.h"

// A socket pair whose first end always polls readable and writable: one byte waits in it and
// is never consumed, because the reads are injected.
class ReadyPair {
  public:
    ReadyPair() { Open(); }
    ReadyPair(const ReadyPair&) = delete;
    ReadyPair& operator=(const ReadyPair&) = delete;

    int fd() const { return ends_[0]; }
    // A failed read closes the connection's end; the next input gets a fresh pair.
    void Reopen() {
        ::close(ends_[1]);
        Open();
    }

  private:
    void Open() {
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends_);
        const char byte = 0;
        (void)::write(ends_[1], &byte, 1);
    }
    int ends_[2] = {-1, -1};
};

// The peer's side of an exchange, from the fuzzer's input:
//   byte 0   how many bytes each recv delivers (1 to 64), so every split of a reply is tried
//   rest     what the peer sends; recv returns 0 once it is used up (the peer closed)
// Sends always succeed.
class PeerStream {
  public:
    PeerStream(const uint8_t* data, size_t size)
        : next_(size > 0 ? data + 1 : data),
          left_(size > 0 ? size - 1 : 0),
          chunk_(size > 0 ? static_cast<size_t>(data[0] % 64) + 1 : 1) {}

    void Attach(EipConnection& connection) {
        connection.SetSendFunc(
            [](int, const void*, size_t length, int) { return static_cast<ssize_t>(length); });
        connection.SetRecvFunc([this](int, void* buffer, size_t length, int) {
            const size_t n = std::min({length, left_, chunk_});
            std::copy(next_, next_ + n, static_cast<uint8_t*>(buffer));
            next_ += n;
            left_ -= n;
            return static_cast<ssize_t>(n);
        });
    }

  private:
    const uint8_t* next_;
    size_t left_;
    size_t chunk_;
};
