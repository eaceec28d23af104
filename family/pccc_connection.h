#pragma once

// The EtherNet/IP connection of a PCCC controller (PLC-5, SLC 500, MicroLogix): reads and writes
// data-table elements with PCCC typed read, typed write and masked write carried in CIP Execute
// PCCC, always unconnected (SendRRData) on the registered session. No class-3 connection is
// opened.
//
// Polling reads blocks: the tags of a poll chunk (at most one reply record set) are grouped by
// file into typed reads within the controller's reply limit; up to the PLC's "requests in
// flight" reads are outstanding at once, each matched to its reply by its TNS, and the values
// of the chunk are handed up together once every block is answered.
//
// Threads: the device's socket thread alone polls on this object (RequestExplicitTags,
// RecvExplicitTags); test reads and writes go through another connection object of their own. So
// the object needs no lock; the chunk being read and the plan cache belong to the polling thread.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "eip/eip_connection.h"
#include "family/pccc_block_plan.h"
#include "family/pccc_wire.h"

class EipTag;
class EipTagData;
class PcccTagData;
struct PcccControllerKind;

// Reply service of Execute PCCC.
constexpr uint8_t PCCC_SVC_EXECUTE_PCCC_REPLY = CIP_SVC_EXECUTE_PCCC | CIP_SERVICE_REPLY;
// General status given to the reply record of a read the PLC refused with a PCCC status (the
// record's extStatus then holds STS in its low byte and EXT STS in its high byte), or that the
// link refused before asking (extStatus 0).
constexpr uint8_t PCCC_RECORD_STATUS_REFUSED = CIP_STATUS_GENERAL_ERROR;

class PcccConnection : public EipConnection {
  public:
    // Offset of the address bytes in every request.
    static constexpr size_t kAddressOffset = 58;
    // Largest element a read reply is copied for.
    static constexpr uint16_t kMaxElementBytes = 256;
    // Transaction numbers of a test read and of a write; poll reads count from kFirstPollTns.
    static constexpr uint16_t kTestReadTns = 1;
    static constexpr uint16_t kWriteTns = 0xFFFF;
    static constexpr uint16_t kFirstPollTns = 2;
    // Product name shown when neither the Identity object nor ListIdentity answers.
    static constexpr const char* kNoIdentityName = "unknown (no identity answered)";

    explicit PcccConnection(const ConnectInfo* info);
    ~PcccConnection() override = default;

    // Get Attributes All of the Identity object, sent to the controller itself; when that is
    // refused or unanswered, the name and vendor of ListIdentity; when neither answers, the
    // name kNoIdentityName (logged). -1 only without a registered session.
    int ReadPLCProductInfo(int slot, ProductInfo& info) override;
    // Polling goes on while the UCMM state is READY (1), not in NON-EXIST (0) or BUSY (2).
    bool CheckStatesForPolling(uint8_t ucmmState, uint8_t explicitState) override;
    // Reads the tag's element at once with TNS 1; the result of AnalyzeTagResp, or -1.
    int TestExplicitTag(EipTag* tag, TagRequestSet& response) override;
    // Typed write of a word, field, float, long or string; masked write of a bit. 0 when the PLC
    // accepted it (CIP status 0 and PCCC STS 0); -1 (logged with the reason) otherwise.
    int WriteDataToTag(const TagInfo& tagInfo, const EipTagData& tagData, const uint8_t* data,
                       uint16_t length) override;
    // Plans the chunk of tags from nextIndex on (at most kMaxTagReplies) and sends the
    // first reads of its blocks; nextIndex moves past the chunk (0 after the last) even when
    // the send fails. 0, or -1 (nothing to read, or the send failed).
    int RequestExplicitTags(const std::vector<EipTag*>& pollList, size_t size,
                            size_t& nextIndex) override;
    // Reads the replies of the chunk's blocks (sending the rest as replies come in) and fills
    // one record per tag of the chunk. Bytes read (> 0), -1 for a reply that is not one, -2 for
    // a failed socket or no reply in time (the socket is then closed).
    int RecvExplicitTags(TagRequestSet& tagResponse, const TagLookup& lookup) override;
    // Decodes the Execute PCCC reply of a test read into record 0. 0, or -1 for a reply that
    // is not a typed read reply, is refused by the PLC (record 0 then carries
    // PCCC_RECORD_STATUS_REFUSED), answers another transaction, or carries too little data.
    int AnalyzeTagResp(const ExplicitResponse& reply, TagRequestSet& response,
                       const TagLookup& lookup) override;
    bool IsServiceSupported(uint8_t service) override;
    ProtocolFamily GetProtocolFamily() override;
    bool IsExplicitEnabled() const override { return false; }

    // Builds the typed read of tagData's element with the given TNS; its total length, or -1.
    int CreateTagRequest(uint8_t* buffer, size_t length, uint16_t tns,
                         const EipTagData& tagData) const;
    // Blocks of the chunk being read (the poll bench prints how many a cycle takes).
    size_t BlocksOfChunk() const { return chunk_.blocks.size(); }

  private:
    // The typed logical address of a request.
    struct Address {
        uint8_t byteSize = 0;
        uint16_t file = 0;
        uint8_t type = 0;
        uint16_t element = 0;
        uint16_t subElement = 0;
    };
    // A read sent and not yet answered.
    struct InFlight {
        uint16_t tns = 0;
        uint64_t context = 0;
        size_t block = 0;
    };
    // The tags of one poll request and their reads.
    struct Chunk {
        std::vector<EipTag*> tags;
        std::vector<const PcccTagData*> addresses;  // null: refused before asking
        std::vector<PcccBlock> blocks;
        std::vector<std::vector<uint8_t>> data;  // per block, once answered
        std::vector<uint16_t> status;            // per block: STS | EXT STS << 8, or CIP status
        std::vector<InFlight> inFlight;
        size_t nextBlock = 0;
        size_t answeredCount = 0;
        size_t receivedBytes = 0;
    };

    const PcccControllerKind& Kind() const;
    // Why the controller cannot serve the address (empty when it can): a file it lacks.
    std::string Unserved(const PcccTagData& address) const;
    // Builds SendRRData front, Execute PCCC front, CMD/STS/TNS/FNC and the address; the writer
    // then appends the data. The length so far, or -1 (logged under operation).
    int BuildCommand(const char* operation, uint8_t* buffer, size_t capacity, uint16_t tns,
                     uint8_t function, const Address& address) const;
    int Exchange(const char* operation, uint8_t* buffer, size_t length, ExplicitResponse& reply);
    // Plans the chunk's blocks, again only when its tags changed since the last cycle.
    void PlanChunk(const std::vector<EipTag*>& tags);
    bool PlannedFor(const std::vector<EipTag*>& tags) const;
    // Sends the chunk's next block; false when the send fails.
    bool SendNextBlock();
    // Takes one reply of the chunk; false when it answers none of the reads in flight.
    bool TakeBlockReply(const EncapsulationMessage& encap);
    void SplitRefusedBlock(size_t block);
    void FillChunkRecords(TagRequestSet& response);
    // ListIdentity over the session's TCP socket; 0 or -1.
    int ListIdentity(ProductInfo& info);

    Chunk chunk_;
    // Tags whose block the PLC refused: read alone from then on, so one bad address does not
    // fail its neighbours.
    std::set<const EipTag*> readAlone_;
    // Tags whose refusal has been logged: the reason goes to the log once, not every cycle.
    std::set<const EipTag*> refusalLogged_;
    std::vector<std::string> plannedAddresses_;  // of chunk_.tags when planned
    bool planStale_ = true;
    uint16_t nextTns_ = kFirstPollTns;
    // TNS of the test read whose reply is awaited.
    uint16_t pendingTns = 0;
};
