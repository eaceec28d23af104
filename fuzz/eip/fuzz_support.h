#pragma once

// A connection with the family operations answered minimally, for the harnesses.

#include "eip/eip_connection.h"

class FuzzConnection : public EipConnection {
  public:
    FuzzConnection() : EipConnection(nullptr) {}

    bool CheckStatesForPolling(uint8_t, uint8_t) override { return true; }
    int TestExplicitTag(EipTag*, TagRequestSet&) override { return -1; }
    int WriteDataToTag(const TagInfo&, const EipTagData&, const uint8_t*, uint16_t) override {
        return -1;
    }
    int RequestExplicitTags(const std::vector<EipTag*>&, size_t, size_t&) override { return -1; }
    int AnalyzeTagResp(const ExplicitResponse& response, TagRequestSet& tags,
                       const TagLookup&) override {
        tags.count = response.dataLength > 0 ? response.data[response.dataLength - 1] : 0;
        return 0;
    }
    bool IsServiceSupported(uint8_t replyService) override { return replyService == 0x8A; }
    ProtocolFamily GetProtocolFamily() override { return kFamilyCip; }

    // Uses an existing descriptor (a socket pair end) and a session handle as if registered.
    void Adopt(int fd, uint32_t handle, uint32_t toId, uint16_t sequence) {
        socketFd = fd;
        sessionHandle = handle;
        toConnectionId = toId;
        sequenceCount = sequence;
    }
    // The harness owns the descriptor.
    void Release() { socketFd = -1; }
};
