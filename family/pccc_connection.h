#pragma once

// The EtherNet/IP connection of a PLC5-class controller: reads and writes data-table elements
// (N7:0, F8:1, L9:2, B3:0/5, ST10:0) with PCCC typed read, typed write and masked write carried
// in CIP Execute PCCC, always unconnected (SendRRData) on the registered session. No class-3
// connection is opened: polling sends one read per tag and waits for its reply; the PCCC
// transaction number (TNS) of a poll read is the tag's index in the poll list.
//
// Threads: the device serialises every call (poll requests and replies on its socket thread,
// test reads and writes on action threads under the device's lock), so the object needs no lock
// of its own; pendingTns is only touched inside those serialised calls.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "eip/eip_connection.h"
#include "family/pccc_wire.h"

class EipTag;
class EipTagData;
class PcccTagData;

// Reply service of Execute PCCC.
constexpr uint8_t PCCC_SVC_EXECUTE_PCCC_REPLY = CIP_SVC_EXECUTE_PCCC | CIP_SERVICE_REPLY;
// General status given to the reply record of a read the PLC refused with a PCCC status; the
// record's extStatus then holds STS in its low byte and EXT STS in its high byte.
constexpr uint8_t PCCC_RECORD_STATUS_REFUSED = CIP_STATUS_GENERAL_ERROR;

class PcccConnection : public EipConnection {
  public:
    // Offset of the address bytes in every request, and the room they may use.
    static constexpr size_t kAddressOffset = 58;
    static constexpr uint16_t kReadAddressRoom = EIP_MSG_BUFFER_SIZE;
    static constexpr uint16_t kWriteAddressRoom = 454;
    // Largest element a read reply is copied for.
    static constexpr uint16_t kMaxElementBytes = 256;
    // Transaction numbers of a test read and of a write (a poll read uses the tag's index).
    static constexpr uint16_t kTestReadTns = 1;
    static constexpr uint16_t kWriteTns = 0xFFFF;
    static constexpr size_t kMaxPollIndex = 0xFFFF;

    explicit PcccConnection(const ConnectInfo* info);
    ~PcccConnection() override = default;

    // Get Attributes All of the Identity object, sent to the controller itself (the slot is
    // not used: nothing is routed). 0 or -1.
    int ReadPLCProductInfo(int slot, ProductInfo& info) override;
    // Polling goes on while the UCMM state is READY (1), not in NON-EXIST (0) or BUSY (2).
    bool CheckStatesForPolling(uint8_t ucmmState, uint8_t explicitState) override;
    // Reads one tag at once with TNS 1; the result of AnalyzeTagResp, or -1.
    int TestExplicitTag(EipTag* tag, TagRequestSet& response) override;
    // Typed write (masked write for a bit of a B file). 0 when the PLC accepted the write
    // (CIP status 0 and PCCC STS 0), -1 otherwise.
    int WriteDataToTag(const TagInfo& tagInfo, const EipTagData& tagData, const uint8_t* data,
                       uint16_t length) override;
    // Sends the read of the tag at nextIndex (TNS = nextIndex) and advances nextIndex (0 after
    // the last tag) even when the send fails. 0, -1, or the builder's negative result.
    int RequestExplicitTags(const std::vector<EipTag*>& pollList, size_t size,
                            size_t& nextIndex) override;
    // Decodes one Execute PCCC read reply into record 0. 0, or -1 for a reply that is not a
    // typed read reply, is refused by the PLC (record 0 then carries
    // PCCC_RECORD_STATUS_REFUSED), answers another transaction than the one sent, or carries
    // no data.
    int AnalyzeTagResp(const ExplicitResponse& reply, TagRequestSet& response,
                       const TagLookup& lookup) override;
    bool IsServiceSupported(uint8_t service) override;
    ProtocolFamily GetProtocolFamily() override;
    bool IsExplicitEnabled() const override { return false; }

    // Builds the typed read of tagData with the given TNS; its total length (58 + address
    // bytes), or -1 (logged).
    int CreateTagRequest(uint8_t* buffer, size_t length, uint16_t tns,
                         const EipTagData& tagData) const;

  private:
    // SendRRData front, Execute PCCC front, CMD/STS/TNS/FNC and the address bytes copied with
    // addressRoom as the limit. The length so far, or -1 (logged under operation).
    int BuildCommand(const char* operation, uint8_t* buffer, size_t capacity, uint16_t tns,
                     uint8_t function, const EipTagData& tagData, uint16_t addressRoom) const;
    // Sends one request and reads its Execute PCCC reply; 0 or -1 (logged under operation).
    int Exchange(const char* operation, uint8_t* buffer, size_t length, ExplicitResponse& reply);

    // TNS of the read whose reply is awaited; a reply naming another transaction is stale.
    uint16_t pendingTns = 0;
};
