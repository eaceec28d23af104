#pragma once

// The EtherNet/IP connection of a Logix controller: reads and writes tags by symbolic name with
// Read Tag (0x4C) and Write Tag (0x4D), always wrapped in a Multiple Service Packet (0x0A) to the
// Message Router. Polling packs as many tags as fit into one request and sends it as connected
// data over the class-3 connection: a tag joins only while both the request and the reply it
// will bring fit the connection size. A value larger than one reply is read with Read Tag
// Fragmented (0x52) in as many requests as it needs, within the same poll step, and handed up
// whole; a write larger than one request goes out with Write Tag Fragmented (0x53). A test read
// and every write go unconnected (Unconnected Send routed to the controller's slot) and wait for
// their reply in the same call.
//
// A structure value's type is learned by the test read (LogixStructureCache: templates read once
// per connection); members of one structure polled together share one read of it.
//
// Threads: the object has no lock of its own. The device serialises every call: poll requests
// run on its socket thread, test reads and writes on action threads while the device's lock is
// held, so sequenceCount, the structure cache and the socket are only ever touched by one thread
// at a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "common/byte_codec.h"
#include "eip/eip_connection.h"
#include "family/eip_tagdata.h"
#include "family/logix_browse.h"
#include "family/logix_structure_cache.h"

class EipTag;
class ControlLogixTagData;

// Logix wire values of the tag services.
constexpr uint8_t LOGIX_SVC_READ_TAG_REPLY = 0xCC;
constexpr uint8_t LOGIX_SVC_WRITE_TAG_REPLY = 0xCD;
constexpr uint8_t LOGIX_SVC_READ_FRAGMENTED_REPLY = 0xD2;
constexpr uint8_t LOGIX_SVC_WRITE_FRAGMENTED_REPLY = 0xD3;
constexpr uint8_t LOGIX_SVC_READ_MODIFY_WRITE_REPLY = 0xCE;
constexpr uint8_t LOGIX_SVC_MULTIPLE_SERVICE_REPLY = 0x8A;
// Data type code announcing a structure; a 16-bit structure handle follows it on the wire.
constexpr uint16_t LOGIX_TYPE_STRUCTURE = 0x02A0;
// General status of a reply record whose value is larger than the record can hold (CIP
// "reply data too large"); set by the analysis, never sent by a controller for a tag read.
constexpr uint8_t LOGIX_STATUS_REPLY_TOO_LARGE = 0x11;

class ControlLogixConnection : public EipConnection {
  public:
    // Most bytes of a Message Router request an Unconnected Send may carry to a controller.
    static constexpr size_t kUnconnectedRequestLimit = 504;
    // Largest value read or written: a record holds at most 65535 bytes.
    static constexpr size_t kMaxValueBytes = 0xFFFF;

    explicit ControlLogixConnection(const ConnectInfo* info);
    ~ControlLogixConnection() override = default;

    // Polling may start only when the class-3 connection is idle (READY or NEED2SEND).
    bool CheckStatesForPolling(uint8_t ucmmState, uint8_t explicitState) override;
    // Reads one tag at once (unconnected); the result of AnalyzeTagResp (0), or -1.
    int TestExplicitTag(EipTag* tag, TagRequestSet& response) override;
    // Writes value bytes to the tag (unconnected). 0 when the controller accepted the write,
    // -1 otherwise; a request that would not fit one message buffer is refused unsent.
    int WriteDataToTag(const TagInfo& tagInfo, const EipTagData& tagData, const uint8_t* data,
                       uint16_t length) override;
    int ReadCurrentValue(const EipTagData& tagData, TagReplySet& record) override;
    // Sends the next poll request: the tags from nextIndex on whose requests and expected
    // replies (from the value size the test read learned) fit one Multiple Service Packet each
    // way, or a tag whose reply alone cannot fit, read fragmented. Advances nextIndex past them
    // (0 at the end of the list); a tag too long to fit any request is skipped with an error
    // line. 0 sent, -1 copy or send failure, -3 header failure.
    int RequestExplicitTags(const std::vector<EipTag*>& pollList, size_t size,
                            size_t& nextIndex) override;
    // Decodes a Multiple Service Packet reply of Read Tag replies into response records; the
    // status of each record is left for the caller to judge. 0, or -1 (no records) for a
    // reply whose record table does not hold together.
    int AnalyzeTagResp(const ExplicitResponse& reply, TagRequestSet& response,
                       const TagLookup& lookup) override;
    bool IsServiceSupported(uint8_t service) override;
    ProtocolFamily GetProtocolFamily() override;
    // Get Attributes All of the Identity object over the class-3 connection.
    int KeepAlive() override;

    // Writes the 46-byte SendUnitData front (length fields 0) after raising sequenceCount;
    // returns 46, or -1 for a null or short buffer.
    int BuildEipUnitDataHeader(uint8_t* buffer, uint32_t length);
    // Writes the Multiple Service Packet request front at offset of a buffer of capacity
    // bytes; returns offset + 6, or -1 when it does not fit.
    static int FillMultiReqService(uint8_t* buffer, uint16_t offset, size_t capacity);
    // Write Tag request (offset < 0), or Write Tag Fragmented of the piece at offset, on path
    // (path size first): type, the structure handle when type is LOGIX_TYPE_STRUCTURE, count
    // and the value bytes. Empty when it does not fit one unconnected request.
    static std::vector<uint8_t> EncodeWriteTag(ByteView path, uint16_t type,
                                               uint16_t structureHandle, uint16_t count,
                                               ByteView value, int64_t offset = -1);
    // Read Modify Write Tag request on the element at path (path size first) with masks of
    // maskBytes bytes (1 to 8); empty when it does not fit.
    static std::vector<uint8_t> EncodeReadModifyWrite(ByteView path, uint8_t maskBytes,
                                                      uint64_t orMask, uint64_t andMask);
    // A bit tag's value from the record of the element(s) holding its bits: one byte (0 or 1)
    // per bit, type BOOL. A refused record is left as it is; one too short is emptied.
    static void TakeBits(const TagBits& bits, TagReplySet& record);

  protected:
    // Reads the rest of a value the poll request began fragmented, within the same call.
    int ReadRestOfValue(TagRequestSet& response) override;

  private:
    // One tag of the last poll request: the embedded request whose reply it takes, and the
    // bits it stands for.
    struct TagRead {
        uint16_t reply = 0;
        TagBits bits;
        // A structure member read with its structure: cut from the structure's value.
        std::shared_ptr<const LogixStructureInfo> member;
    };

    // Decodes the records of a Multiple Service Packet reply, one per embedded request.
    int DecodeReplies(const ExplicitResponse& reply, TagRequestSet& response);
    // Turns the records per request into records per tag of the last poll request.
    int SpreadToTags(TagRequestSet& response) const;
    // One unconnected Read Tag of address; 0 with the record in response, or -1 (logged).
    int TestRead(const std::vector<uint8_t>& address, TagRequestSet& response);
    // True, with the tag re-encoded to the words holding its bits, when its name addresses a
    // BOOL array (or an element or slice of one).
    bool IsBoolArray(EipTag& tag, const ControlLogixTagData& data, int readResult, uint16_t type);
    // Re-parses the tag with what the test read learned; false (and nothing learned) when the
    // name cannot address it.
    static bool Relearn(EipTag& tag, int32_t wordType, uint32_t boolArrayLength);
    uint32_t LookUpBoolArrayLength(const std::string& tagName);
    // Browse requests routed to the controller, for its tag list and templates.
    LogixBrowser::Exchange BrowseExchange();
    // Gives the tag what its test read tells of structures: the type of a structure value, and
    // the structure a member tag lies in. Left without when the controller does not say (the
    // value then reads as raw bytes), logged.
    void LearnStructure(EipTag& tag, const TagReplySet& record);
    void LearnHost(const std::string& tagName, LogixStructureInfo& learned);
    // The poll tags from nextIndex on that read a member through its structure: those whose
    // structure fits one reply and holds another polled member of them.
    std::map<std::vector<uint8_t>, size_t> HostReads(const std::vector<EipTag*>& pollList,
                                                     size_t from, size_t size) const;
    // A tag's value taken from the record its shared read brought: bits, or a member cut out.
    static void TakeShared(const TagRead& read, TagReplySet& record);
    // Writes a BOOL member with a masked write on the member holding its bit. 0 or -1 (logged).
    int WriteMemberBit(const LogixStructureInfo& structure, const uint8_t* data, uint16_t length);
    // Writes a bit tag's bits with Read Modify Write. 0 or -1 (logged).
    int WriteBits(const EipTagData& tagData, const uint8_t* data, uint16_t length);
    // Sends one embedded write request and checks that its reply is `expected` and succeeded.
    int WriteRequest(ByteView embedded, uint8_t expected);
    // Carries one embedded request and decodes the reply; 0, -1 refused or bad reply, -2 the
    // socket failed.
    using Exchange = std::function<int(ByteView embedded, ExplicitResponse& reply)>;
    // Reads the rest of a value the controller answered in part (status 0x06), fragment after
    // fragment from the bytes already held. 0 whole; -1 refused (record keeps the reason);
    // -2 the socket failed.
    static int ReadFragments(const std::vector<uint8_t>& address, TagReplySet& record,
                             const Exchange& exchange);
    // Exchanges for one embedded request: unconnected (test reads and writes) and connected
    // (the rest of a polled value).
    int ExchangeUnconnected(const char* operation, ByteView embedded, ExplicitResponse& reply);
    int ExchangeConnected(ByteView embedded, ExplicitResponse& reply);
    // Sends a SendUnitData request of the Multiple Service Packet built in area; 0 or -1.
    int SendConnected(ByteView multiService);
    // Bytes of a Message Router request or reply the class-3 connection carries each way.
    size_t ConnectedBudget() const;
    // Writes value bytes in pieces that fit one unconnected request. 0 or -1 (logged).
    int WriteFragmented(const TagInfo& tagInfo, const EipTagData& tagData, const uint8_t* data,
                        uint16_t length);
    // Sends one Write Tag (offset < 0) or Write Tag Fragmented request and checks its embedded
    // reply. 0 or -1 (logged).
    int WritePiece(const TagInfo& tagInfo, const EipTagData& tagData, ByteView piece,
                   int64_t offset);

    // Builds an Unconnected Send carrying one embedded tag request in a Multiple Service
    // Packet, routed to the controller's slot. The request length, or -1 when it does not fit.
    int BuildUnconnectedTagRequest(uint8_t* buffer, size_t capacity, ByteView embedded) const;

    // Read request form (path and element count) of the tag the last poll request reads
    // fragmented; empty when it reads none. A copy: the tag may go before its reply comes.
    std::vector<uint8_t> fragmentedAddress;
    TagBits fragmentedBits;
    // Per tag of the last poll request, when one of them stands for bits; empty otherwise
    // (every tag then has its own request and takes its whole value).
    std::vector<TagRead> batchBits;
    LogixStructureCache structures_;
};
