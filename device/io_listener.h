#pragma once

// Class-1 I/O listening of one PLC: the UDP socket that receives the implicit data of all its
// I/O tags, the I/O connection of each listened tag, the consumed-data replies, and the reopening
// of connections the PLC ended.
//
// Threads and locks:
// - Callers (action threads, the restore, the retry thread) use OpenSocket, Add, Stop.
// - The receiving thread blocks in poll() on a wake-up eventfd, the UDP socket and the session
//   socket of every I/O connection, until a datagram, a session event or the earliest data
//   time-out of a connection. It receives, analyses and answers datagrams, hands values to the
//   sink in batches, and notices sessions the PLC closed and connections that went silent. It
//   alone reads and writes an I/O connection (its data deadline and trusted peer) once it was
//   added, and the refusal log state.
// - The retry thread sleeps on a condition variable until a connection is closed, then calls
//   the reopen hook once a second until none is; it never wakes while all is well.
// - mutex_ guards entries_, udpFd_ and the flags; it is never held across a network exchange,
//   a hook call or a join. Entries are shared: the receiving thread keeps the ones it watches
//   alive across its wait, so a connection replaced meanwhile is freed only after it.

#include <netinet/in.h>

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
#include "eip/eip_io_connection.h"

// One received value: the tag's record and its data, valid during the sink call only.
struct IoValue {
    const TagInfo* tag = nullptr;
    ByteView data;
};

// Why a well-formed datagram was dropped: it named no connection of ours, came from another
// address than the PLC's, or carried a sequence number not newer than the last one accepted.
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

class IoListener {
  public:
    explicit IoListener(IoListenerHooks hooks);
    ~IoListener();
    IoListener(const IoListener&) = delete;
    IoListener& operator=(const IoListener&) = delete;

    // Opens the UDP socket on udpPort when none is open. 0 (opened tells whether this call
    // opened it), or the negative result of EipIoConnection::OpenUDP.
    int OpenSocket(const std::string& host, uint16_t udpPort, bool& opened);
    bool SocketOpen() const;
    // Takes over an open I/O connection for the tag; one already there for the alias is
    // replaced. False (the connection dropped) when no socket is open or a stop is under way.
    bool Add(const TagInfo& tag, std::unique_ptr<EipIoConnection> connection);
    // Ends listening: joins both threads, closes the UDP socket and every connection.
    void Stop();
    // The number of I/O connections (open or waiting to be reopened).
    size_t ConnectionCount() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        TagInfo tag;
        std::unique_ptr<EipIoConnection> connection;
        bool closed = false;  // the PLC ended the session or went silent; waiting for a reopen
        // No data by then: the PLC (or the path to it) is gone. Receiving thread only.
        Clock::time_point dataDeadline = Clock::time_point::max();
        IoPeer peer;  // receiving thread only
    };
    using EntryMap = std::map<std::string, std::shared_ptr<Entry>>;
    // The open entries the receiving thread waits on, by alias.
    using WatchList = std::vector<std::pair<std::string, std::shared_ptr<Entry>>>;
    // The values of one wake-up and the entries they point into.
    struct Batch {
        std::vector<IoValue> values;
        std::vector<std::shared_ptr<Entry>> held;
    };

    void StartThreadsLocked();
    void ReceiveLoop();
    void RetryLoop();
    void Wake();
    void ReceiveDatagrams(int udpFd);
    // Analyses one datagram and answers it (layouts in eip/eip_io_connection.h). 0 when it
    // matched a connection (its value appended to the batch), -1 when dropped (logged).
    int AnalyzeRecvIODataPLC(int udpFd, const uint8_t* bytes, uint16_t length,
                             const sockaddr_in& sender, Batch& batch);
    // The entry whose T->O connection ID is id (the last match wins), or null.
    std::shared_ptr<Entry> FindByConnectionId(uint32_t id) const;
    // Counts a refused datagram; logs it unless a refusal was logged less than a minute ago
    // (a flood of forged datagrams must not flood the log).
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

    IoListenerHooks hooks_;
    mutable std::mutex mutex_;
    std::condition_variable retryCv_;
    EntryMap entries_;
    int udpFd_ = -1;
    int wakeFd_ = -1;
    bool stopping_ = false;
    bool running_ = false;
    // Counts changes of entries_ and their flags, so the receiving thread rebuilds its watch
    // list only after one.
    uint64_t generation_ = 0;
    std::thread receiveThread_;
    std::thread retryThread_;
    // Receive buffers of the receiving thread (one batch).
    std::vector<std::vector<uint8_t>> buffers_;
    // Receiving thread only: when a refusal was last logged, and those not logged since.
    Clock::time_point refusalLogged_{};
    uint64_t refusalsUnlogged_ = 0;
};
