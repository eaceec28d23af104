#pragma once

// Class-1 I/O listening of one PLC: its place on the shared UDP socket of its port (io_socket.h),
// the I/O connection of each listened tag, the consumed-data replies, and the reopening of
// connections the PLC ended.
//
// Threads and locks:
// - Callers (action threads, the restore, the retry thread) use OpenSocket, Add, Stop.
// - The socket's receiving thread calls IsFromPlc, Names, Take and Flush (the IoDatagramSink
//   side): it analyses and answers this PLC's datagrams and hands their values to the sink. It
//   alone reads and writes an entry's trusted peer once the entry was added, the pending batch
//   and the refusal log; it moves an entry's data deadline (an atomic) on.
// - The watching thread blocks in poll() on a wake-up eventfd and the session socket of every
//   I/O connection, until a session event or the earliest data deadline. It notices sessions the
//   PLC closed and connections that went silent.
// - The retry thread sleeps on a condition variable until a connection is closed, then calls
//   the reopen hook once a second until none is; it never wakes while all is well.
// - mutex_ guards entries_, socket_, plcAddress_ and the flags; it is never held across a
//   network exchange, a hook call, a join or a Detach. Entries are shared: the threads keep the
//   ones they use alive, so a connection replaced meanwhile is freed only after them.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_codec.h"
#include "common/eip_utils.h"
#include "device/io_socket.h"
#include "eip/eip_io_connection.h"

// One received value: the tag's record and its data, valid during the sink call only.
struct IoValue {
    const TagInfo* tag = nullptr;
    ByteView data;
};

// Why a well-formed datagram was dropped: it named no connection of ours, came from another
// address (or port) than the PLC's, or carried a sequence number not newer than the last one
// accepted.
enum class IoRefusal { Forged, Foreign, Stale };

struct IoListenerHooks {
    // The PLC alias for log lines.
    std::function<std::string()> alias;
    // Receives the values of one wake-up of the receiving thread.
    std::function<void(const std::vector<IoValue>& batch)> deliver;
    // Opens the tag's I/O connection again (and Adds it); 0 on success, else message is set.
    std::function<int(const std::string& tagAlias, std::string& message)> reopen;
    // Counts one refused datagram (receiving thread).
    std::function<void(IoRefusal why)> refused;
};

class IoListener : public IoDatagramSink {
  public:
    IoListener(std::shared_ptr<IoSockets> sockets, IoListenerHooks hooks);
    ~IoListener() override;
    IoListener(const IoListener&) = delete;
    IoListener& operator=(const IoListener&) = delete;

    // Takes its place on the shared socket of udpPort for the PLC at host when it has none. 0
    // (opened tells whether this call took it), or -1 when the port cannot be bound (logged).
    int OpenSocket(const std::string& host, uint16_t udpPort, bool& opened);
    // Leaves the socket when no connection was added (a first Forward Open failed).
    void CloseSocketIfIdle();
    bool SocketOpen() const;
    // Takes over an open I/O connection for the tag; one already there for the alias is
    // replaced. False (the connection dropped) when no socket is open or a stop is under way.
    bool Add(const TagInfo& tag, std::unique_ptr<EipIoConnection> connection);
    // Ends listening: joins both threads, closes the UDP socket and every connection.
    void Stop();
    // The number of I/O connections (open or waiting to be reopened).
    size_t ConnectionCount() const;

    // IoDatagramSink, on the socket's receiving thread.
    bool IsFromPlc(const in_addr& address) const override;
    bool Names(uint32_t connectionId) const override;
    // Analyses one datagram and answers it (layouts in eip/eip_io_connection.h); an accepted
    // one's value waits for Flush. Dropped ones are logged or counted.
    void Take(int udpFd, IoDatagramStatus status, const IoDatagram& datagram, size_t length,
              const sockaddr_in& sender) override;
    void Flush() override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        TagInfo tag;
        std::unique_ptr<EipIoConnection> connection;
        bool closed = false;  // the PLC ended the session or went silent; waiting for a reopen
        // No data by then: the PLC (or the path to it) is gone (steady clock ticks).
        std::atomic<Clock::rep> dataDeadline{Clock::time_point::max().time_since_epoch().count()};
        IoPeer peer;  // socket thread only

        Clock::time_point Deadline() const {
            return Clock::time_point(Clock::duration(dataDeadline.load()));
        }
        void SetDeadline(Clock::time_point when) {
            dataDeadline.store(when.time_since_epoch().count());
        }
    };
    using EntryMap = std::map<std::string, std::shared_ptr<Entry>>;
    // The open entries the watching thread waits on, by alias.
    using WatchList = std::vector<std::pair<std::string, std::shared_ptr<Entry>>>;
    // The values of one round of the socket and the entries they point into.
    struct Batch {
        std::vector<IoValue> values;
        std::vector<std::shared_ptr<Entry>> held;
    };

    void StartThreadsLocked();
    void WatchLoop();
    void RetryLoop();
    void Wake();
    // The open entry whose T->O connection ID is id (the last match wins), or null.
    std::shared_ptr<Entry> FindByConnectionId(uint32_t id) const;
    // Counts a refused datagram and logs it (at most once a minute).
    void Refuse(IoRefusal why, const sockaddr_in& sender, const std::string& detail);
    void HandleSessionTraffic(const std::string& tagAlias, const std::shared_ptr<Entry>& entry);
    // The poll() time-out until the earliest data deadline of the watched entries (-1: none).
    static int MillisecondsToDeadline(const WatchList& watched);
    // Closes the connections of watched entries whose data deadline passed.
    void ExpireSilentConnections(const WatchList& watched);
    // Closes the entry's connection and hands it to the retry thread.
    void EndConnection(const std::shared_ptr<Entry>& entry);
    std::vector<std::string> ClosedAliasesLocked() const;
    std::string Alias() const;

    const std::shared_ptr<IoSockets> sockets_;
    IoListenerHooks hooks_;
    mutable std::mutex mutex_;
    std::condition_variable retryCv_;
    EntryMap entries_;
    std::shared_ptr<IoSocket> socket_;
    in_addr plcAddress_{};
    int wakeFd_ = -1;
    bool stopping_ = false;
    bool running_ = false;
    // Counts changes of entries_ and their flags, so the watching thread rebuilds its watch
    // list only after one.
    uint64_t generation_ = 0;
    std::thread watchThread_;
    std::thread retryThread_;
    Batch pending_;          // socket thread only
    RefusalLog refusalLog_;  // socket thread only
};
