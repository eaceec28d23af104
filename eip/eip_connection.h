#pragma once

// EtherNet/IP client for one PLC: the TCP encapsulation session, CIP explicit messaging on top
// of it, the identity read and the class-3 connection (Forward Open / Forward Close).
//
// EipConnection is abstract; the protocol family supplies the concrete class
// (ControlLogixConnection, PcccConnection) through EipConnection::Create.
//
// Threads: one EipConnection is used by one thread at a time; the device engine serialises its
// polling, writing and connect sequence, so the object has no lock of its own. The process-wide
// identifier generators (MakeConnectionID, MakeConnectionSerial, MakeSerialNumber) are called
// from the connect sequences of several devices at once; the serial number cache is guarded by
// generatorMutex.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "common/eip_utils.h"
#include "eip/cip_wire.h"

class EipTag;
class EipTagData;

// Parsed header of one received encapsulation message. `data` points just after the header
// inside the receive buffer and does not own the bytes; the reader guarantees that `length`
// bytes are there.
struct EncapsulationMessage {
    uint16_t command;
    uint16_t length;
    uint32_t sessionHandle;
    uint32_t status;
    uint8_t senderContext[8];
    uint32_t options;
    const uint8_t* data;
};

// Target of an unconnected request to a CIP object. Only the low byte of class and instance
// reaches the wire (8-bit logical segments).
struct UcmmRequest {
    uint8_t service;
    uint16_t classId;
    uint16_t instanceId;
};

constexpr size_t CPF_MAX_ITEMS = 4;
constexpr size_t CPF_MAX_ITEM_LENGTH = EIP_ENCAP_MAX_DATA;
constexpr size_t CPF_ITEM_DATA_CAPACITY = EIP_ENCAP_MAX_DATA;

struct CpfItem {
    uint16_t typeId;
    uint16_t length;
    uint8_t data[CPF_ITEM_DATA_CAPACITY];
};

// A parsed Common Packet Format: every item's bytes copied out of the receive buffer.
struct CpfMessage {
    const uint8_t* cursor;  // read position inside the encapsulation data
    uint16_t consumed;      // bytes of the encapsulation data parsed so far
    uint32_t interfaceHandle;
    uint16_t timeout;
    uint16_t itemCount;
    CpfItem items[CPF_MAX_ITEMS];
};

constexpr size_t EXPLICIT_RESPONSE_DATA_CAPACITY = EIP_ENCAP_MAX_DATA;

// A parsed CIP explicit reply: service (request code | 0x80), status, additional status words
// and the service data that follows them.
struct ExplicitResponse {
    uint8_t service;
    uint8_t reserved;
    uint8_t generalStatus;
    uint8_t extStatusSize;  // number of 16-bit words in extStatus
    uint16_t extStatus[CIP_MAX_EXT_STATUS_WORDS];
    uint16_t dataLength;
    uint8_t data[EXPLICIT_RESPONSE_DATA_CAPACITY];
};

// Most records one reply can carry: the smallest embedded request of a full connection.
constexpr size_t kMaxTagReplies = 512;

// One decoded record of a tag-read reply. The value is whole: a value read in fragments is
// handed up once, all of it.
struct TagReplySet {
    uint8_t service = 0;
    uint8_t generalStatus = 0;
    uint16_t extStatus = 0;     // first additional status word, 0 when none
    uint16_t dataType = 0;      // CIP data type code
    uint16_t dataLength = 0;    // data.size(); a value is at most 65535 bytes
    uint16_t structHandle = 0;  // structure handle of a structured value, 0 otherwise
    // A member cut from its structure's value found the structure laid out anew (another
    // handle than the tag learned): no value, the tag is to learn its layout again.
    bool layoutChanged = false;
    std::vector<uint8_t> data;
};

// The decoded results of one tag-read reply, filled by the family's AnalyzeTagResp. Only the
// first `count` records are meaningful: a poller reuses one of these for every reply, and each
// record is reset when it is filled, never the whole 36 KB.
struct TagRequestSet {
    uint16_t count = 0;
    TagReplySet replies[kMaxTagReplies];
};

class EipConnection {
  public:
    // Socket calls, replaceable so that tests can split, delay and break the traffic.
    using RecvFunc = std::function<ssize_t(int fd, void* buffer, size_t length, int flags)>;
    using SendFunc = std::function<ssize_t(int fd, const void* buffer, size_t length, int flags)>;
    // Finds the tag of a reply record by its index in the request.
    using TagLookup = std::function<EipTag*(uint16_t index)>;

    // Time-out of every connect and RegisterSession of the device engine, in seconds.
    static constexpr uint8_t kConnectTimeoutSeconds = 2;
    // Time-out of every explicit request / reply exchange, in seconds.
    static constexpr uint8_t kRequestTimeoutSeconds = 1;

    // Makes the family's concrete connection (0 PCCC -> PcccConnection, 1 CIP/EIP ->
    // ControlLogixConnection) from a copy of info; null for another family (logged) or when
    // memory is short. The caller owns the result. Defined with the family classes (family/).
    static EipConnection* Create(ProtocolFamily family, const ConnectInfo* info);
    // Create, Connect and RegisterSession with the info's host, port and family. On a connect or
    // register failure errorText receives "Can't connect to PLC." and null is returned.
    // abortFd: see SetAbortFd.
    static EipConnection* MakeTestConnection(const ConnectInfo& info, std::string& errorText,
                                             int abortFd = -1);

    virtual ~EipConnection();
    EipConnection(const EipConnection&) = delete;
    EipConnection& operator=(const EipConnection&) = delete;

    // ---- Family operations ----

    // Reads the Identity object of the controller in the slot (Get Attributes All through an
    // Unconnected Send routed over the backplane). 0 or -1; info is left unchanged on failure.
    virtual int ReadPLCProductInfo(int slot, ProductInfo& info);
    virtual bool CheckStatesForPolling(uint8_t ucmmState, uint8_t explicitConnectionState) = 0;
    virtual int TestExplicitTag(EipTag* tag, TagRequestSet& response) = 0;
    virtual int WriteDataToTag(const TagInfo& info, const EipTagData& tagData, const uint8_t* data,
                               uint16_t length) = 0;
    // Reads the tag's whole value now, as a write merging into it needs: 0 with the record, or
    // -1 (logged). Families without structured values have no such read.
    virtual int ReadCurrentValue(const EipTagData& /*tagData*/, TagReplySet& /*record*/) {
        return -1;
    }
    // Packs tags from pollList starting at nextIndex into one request and sends it; nextIndex
    // comes back as the index of the first tag not packed.
    virtual int RequestExplicitTags(const std::vector<EipTag*>& pollList, size_t size,
                                    size_t& nextIndex) = 0;
    virtual int AnalyzeTagResp(const ExplicitResponse& response, TagRequestSet& tagResponse,
                               const TagLookup& lookup) = 0;
    virtual bool IsServiceSupported(uint8_t replyService) = 0;
    virtual ProtocolFamily GetProtocolFamily() = 0;
    virtual bool IsExplicitEnabled() const { return true; }
    // One cheap request over the class-3 connection, so that the controller does not drop it
    // while nothing is polled. 0 when answered (whatever the answer), -1 when the session failed.
    // A family without a class-3 connection has nothing to keep alive.
    virtual int KeepAlive() { return 0; }

    // ---- Transport and session ----

    void SetConnectionInfo(const ConnectInfo& info) { connectInfo = info; }
    // A descriptor that, once readable, makes every socket wait fail at once as a time-out
    // (-1: none). The owner keeps it open for the connection's lifetime.
    void SetAbortFd(int fd) { abortFd = fd; }
    // Non-blocking connect bounded by timeoutSeconds. 0 or -1 (socket closed on failure).
    int Connect(const std::string& host, int port, uint8_t timeoutSeconds);
    // Ends a registered session with UnregisterSession and closes the socket; the session
    // handle and connection identifiers stay.
    void Disconnect();
    // RegisterSession. 0 on success, negative on failure (sessionHandle unchanged).
    int RegisterSession(uint8_t timeoutSeconds);
    // Sends all bytes within at most three writability waits of timeoutSeconds. 0 or -1.
    int EipSendData(const uint8_t* data, size_t length, uint8_t timeoutSeconds);
    // Reads up to `expected` bytes (at most capacity) in at most three readability waits.
    // Returns the bytes read (possibly fewer than expected) or -1.
    int EipReadData(uint8_t* buffer, size_t capacity, int expected, uint8_t timeoutSeconds);
    // Reads exactly one encapsulation message (header, then the body the header announces)
    // into a buffer of EIP_MSG_BUFFER_SIZE bytes and parses its header. Returns the message's
    // byte count; -1 on a socket failure, a time-out, an incomplete message or a body longer
    // than EIP_ENCAP_MAX_DATA.
    int EipReadDataByEncap(uint8_t* buffer, EncapsulationMessage& encap, uint8_t timeoutSeconds);
    // Parses the 24-byte header at buffer (which must hold 24 bytes); returns its length field.
    static uint16_t EipParseENCAP(const uint8_t* buffer, EncapsulationMessage& encap);

    // ---- CIP explicit messaging ----

    // Writes the 40-byte SendRRData front (null address item, unconnected data item whose
    // length, like the encapsulation length, the caller patches). 40, or -1 (logged).
    static int BuildEipRRDataHeader(uint8_t* buffer, uint64_t bufferLength, uint32_t sessionHandle);
    // Writes the 6-byte Message Router request front (service, path of class and instance).
    // 6, or -1.
    static int BuildExplicitReqCommon(uint8_t* buffer, uint64_t bufferLength,
                                      const UcmmRequest* request);
    // Parses the CPF items and the explicit reply of a received message whose encap.length
    // body bytes are at encap.data. 0 when well formed and (for SendUnitData) addressed to one
    // of the two IDs of the connection (adapters answer with either); -1 otherwise. A reply on
    // another connection is still decoded.
    static int EipParseUCMMRESP(uint32_t expectedConnectionId, uint32_t otherConnectionId,
                                const EncapsulationMessage& encap, CpfMessage& cpf,
                                ExplicitResponse& response);
    // Logs message " (" status [", " first additional status] ")" at error level.
    static void LogResponseError(const std::string& message, const ExplicitResponse& response);
    // Sends one Message Router request to the controller in `slot` through an Unconnected
    // Send on the registered session and reads its reply, whatever its status (a "partial
    // transfer" included). 0, or -1 when the request does not fit, is not sent or gets no
    // well-formed reply (logged under `operation`).
    int ExchangeRouted(const char* operation, ByteView request, int slot,
                       ExplicitResponse& response);
    // Builds that Unconnected Send (SendRRData) in buffer: the request, a pad byte after it when
    // its length is odd (not counted in the length field), the route to `slot`. The total
    // length, or -1 when it does not fit.
    int BuildRoutedRequest(uint8_t* buffer, size_t capacity, ByteView request, int slot) const;
    // Reads and checks the reply of the last connected tag-read request and hands it to
    // AnalyzeTagResp; a late reply of an earlier request is logged and dropped. Bytes read
    // (> 0), -1 for a bad or refused reply, -2 for a failed or closed socket (then closed).
    virtual int RecvExplicitTags(TagRequestSet& tagResponse, const TagLookup& lookup);

    // ---- Class-3 connection ----

    // Opens a class-3 connection to the Message Router of connectInfo.slot, with the RPI in
    // milliseconds: a Large Forward Open of 4002 bytes first, the classic Forward Open of 500
    // bytes when the controller refuses it, and the size the controller offers when it refuses
    // the size. 0 when open (GetConnectionSize tells the size granted); -1 otherwise (after an
    // attempted Forward Close).
    int OpenExplicitConnection(uint16_t rpiMilliseconds);
    // Forward Close of the connection's triad. 0 when the controller confirmed it, else -1.
    int CloseExplicitConnection();

    // ---- Identifier generators (process-wide) ----

    // Connection IDs and serial numbers are random (never zero) for every open: nobody on the
    // network can guess the ID a PLC's datagrams carry, and a reopen after a lost link (the
    // controller may still hold the old connection) is unlikely to repeat a triad in use.
    static uint32_t MakeConnectionID();
    static uint16_t MakeConnectionSerial();
    static uint32_t MakeSerialNumber();
    static uint32_t MakeSerialNumberByMac(const char* interfaceName);
    static int GetInterfaceName(int16_t maxLength, char* name);

    // ---- State ----

    int GetSocketFd() const { return socketFd; }
    uint32_t GetSessionHandle() const { return sessionHandle; }
    const ConnectInfo& GetConnectionInfo() const { return connectInfo; }
    uint32_t GetTOConnectionId() const { return toConnectionId; }
    uint32_t GetOTConnectionId() const { return otConnectionId; }
    uint16_t GetSequenceCount() const { return sequenceCount; }
    // Bytes each way of the open class-3 connection; 0 before it is open.
    uint16_t GetConnectionSize() const { return connectionSize; }
    void SetRecvFunc(RecvFunc function) { recvFunc = std::move(function); }
    void SetSendFunc(SendFunc function) { sendFunc = std::move(function); }

  protected:
    // Copies info when it is not null.
    explicit EipConnection(const ConnectInfo* info);

    // Sends a request built in buffer and reads its reply into the same buffer, parsing it
    // with the expected connection identifier. Each step logs its own failure text under
    // `operation`; returns 0 or -1.
    struct ExchangeTexts {
        const char* sendFailed;
        const char* recvFailed;
        const char* parseFailed;
    };
    // The request gets the current session handle and a sender context of its own, and only
    // the reply carrying that context is taken (late replies are logged and dropped). After a
    // time-out the socket is closed, and the next exchange opens a new session first, so no
    // reply of an abandoned request can ever be read.
    int ExchangeExplicit(const char* operation, uint8_t* buffer, size_t requestLength,
                         const ExchangeTexts& texts, ExplicitResponse& response);
    // Gives a SendRRData request built in buffer the current session handle and a sender
    // context of its own; returns that context.
    uint64_t StampRequest(uint8_t* buffer);
    // Reconnects and registers a session when the last exchange timed out; false when that
    // fails or the socket is closed for another reason.
    bool ReopenAfterTimeout(const char* operation);
    // Reads the next encapsulation message of the given command whose sender context (for
    // SendRRData) or sequence count (for SendUnitData, checked by accept) answers the request
    // just sent, dropping late replies with a log line, within one request time-out.
    // The message's byte count, or -1.
    int ReadMatchingReply(const char* operation, uint8_t* buffer, EncapsulationMessage& encap,
                          const std::function<bool(const EncapsulationMessage&)>& accept);
    // Reads whatever the family still needs to complete the values of a poll reply just
    // accepted (a value read in fragments). 0, -1 bad reply, -2 failed socket (closed).
    virtual int ReadRestOfValue(TagRequestSet& /*response*/) { return 0; }
    // Judges a decoded reply of the connected tag-read exchange (status and service) and hands
    // it to AnalyzeTagResp. 0, or -1 (logged).
    int AcceptTagReply(const ExplicitResponse& response, TagRequestSet& tagResponse,
                       const TagLookup& lookup);
    // Checks an Identity Get Attributes All reply (status, service 0x81) and fills info from
    // it; a reply of fewer than 15 data bytes gives the name "unknown" and keeps the rest.
    // 0, or -1 (logged under `operation`, info unchanged).
    static int DecodeIdentityReply(const char* operation, const ExplicitResponse& response,
                                   ProductInfo& info);
    // Starts an Identity request: needs a registered session, then writes the SendRRData front
    // into buffer (bufferSize bytes); false when either fails (the front's failure is logged).
    bool StartIdentityRequest(const char* operation, uint8_t* buffer, size_t bufferSize) const;
    // Sends an Identity Get Attributes All request of totalLength bytes built on a SendRRData
    // front (lengths patched here) and decodes its reply into info; 0 or -1 (logged).
    int ExchangeIdentityRequest(const char* operation, uint8_t* buffer, size_t totalLength,
                                ProductInfo& info);
    // Patches the encapsulation length (total - 24) and the unconnected data item length
    // (total - 40) of a request built on a SendRRData front.
    static void PatchRRDataLengths(uint8_t* buffer, size_t totalLength);

    // Sends UnregisterSession for the registered session (no reply comes).
    void UnregisterSession();
    // A peer that does not take 24 bytes in this long is gone anyway.
    static constexpr uint8_t kUnregisterTimeoutSeconds = 1;

    int socketFd = -1;
    int abortFd = -1;
    uint32_t sessionHandle = 0;
    ConnectInfo connectInfo;
    uint32_t toConnectionId = 0;
    uint32_t otConnectionId = 0;
    uint16_t sequenceCount = 0;
    uint16_t connectionSize = 0;
    uint64_t senderContext = 0;
    bool reopenBeforeUse = false;
    RecvFunc recvFunc;
    SendFunc sendFunc;

  private:
    // Connect, then RegisterSession, on an existing object; false (socket closed) on failure.
    bool ConnectAndRegister();
    // Bounded readability / writability wait on socketFd: >0 woken (ready tells whether the
    // socket is readable / writable or in error), 0 timed out, <0 failed.
    int WaitSocket(bool forWrite, uint8_t timeoutSeconds, bool& ready) const;
    // The pending SO_ERROR of socketFd; -1 when getsockopt itself fails.
    int PendingSocketError() const;
    void CloseSocket();
    // The connection serial number of the triad, drawn anew for each open.
    uint16_t ConnectionSerialNumber() const { return connectionSerial; }
    // Builds a Forward Close into buffer; returns its length or -1.
    int BuildForwardClose(uint8_t* buffer);
    // Builds a Forward Open (large: 0x5B with 32-bit connection parameters) asking for `size`
    // bytes each way; returns its length or -1.
    int BuildForwardOpen(uint8_t* buffer, uint16_t rpiMilliseconds, bool large, uint16_t size);
    // One Forward Open exchange. 0 granted, 1 refused by the controller (response holds the
    // reason), -1 failed exchange or a reply that is not ours.
    int TryForwardOpen(uint16_t rpiMilliseconds, bool large, uint16_t size,
                       ExplicitResponse& response);

    // Reads one encapsulation message (header, then exactly the body it announces) into a
    // buffer of `capacity` bytes. The message's byte count, or -1.
    int ReadEncapMessage(uint8_t* buffer, size_t capacity, EncapsulationMessage& encap,
                         uint8_t timeoutSeconds);
    // Reads exactly `count` bytes within about one time-out. count, or -1.
    int ReadExactly(uint8_t* buffer, size_t count, uint8_t timeoutSeconds);

    // The triad of the open connection; see MakeConnectionSerial.
    uint16_t connectionSerial = 0;

    static std::mutex generatorMutex;
    static uint32_t serialNumber;
};
