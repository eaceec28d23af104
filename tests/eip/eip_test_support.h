#pragma once

// Helpers of the EtherNet/IP client tests: a concrete connection for the base class's own
// operations, and a simulator on an ephemeral loopback port.

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "eip/eip_connection.h"
#include "sim/plc_simulator.h"
#include "support/free_port.h"
#include "support/hex.h"
#include "support/log_capture.h"
#include "support/wait_until.h"

namespace eiptest {

using tb_test::Hex;
using tb_test::LogCapture;
using tb_test::WaitUntil;

// The base class with the family operations answered minimally; it exposes the protected
// helpers so that tests can send requests the families would send.
class ProbeConnection : public EipConnection {
  public:
    explicit ProbeConnection(const _eipConnectInfo& info) : EipConnection(&info) {}

    bool CheckStatesForPolling(uint8_t, uint8_t) override { return true; }
    int TestEMTag(EipTag*, EIPC_TAG_REQUEST_STRUCT&) override { return -1; }
    int WriteDataToTag(const _eipTagInfo&, const EipTagData&, const uint8_t*, uint16_t) override {
        return -1;
    }
    int RequestEMTags(const std::vector<EipTag*>&, size_t, size_t&) override { return -1; }
    int AnalyzeTagResp(const EXPLICIT_RESPONSE_STRUCT& response, EIPC_TAG_REQUEST_STRUCT&,
                       const TagLookup&) override {
        analysedService = response.service;
        analysedData.assign(response.data, response.data + response.dataLength);
        ++analyseCount;
        return 0;
    }
    bool IsServiceSupported(uint8_t replyService) override {
        return replyService == supportedService;
    }
    eipProtocolFamily_t GetProtocolFamily() override { return EIP_PROTOCOL_FAMILY_CIP; }

    // Sends a Message Router request (service, class, instance, no data) as a SendRRData
    // without routing. Returns the parsed reply's result (0 / -1).
    int SendDirect(uint8_t service, uint16_t classId, uint16_t instanceId,
                   EXPLICIT_RESPONSE_STRUCT& response) {
        uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
        BuildEipRRDataHeader(buffer, sizeof buffer, sessionHandle);
        const EIPC_UCMM_REQUEST_STRUCT request{service, classId, instanceId};
        const int front = BuildEmReqCommon(buffer + EIP_RR_DATA_FRONT_SIZE, 6, &request);
        const size_t total = EIP_RR_DATA_FRONT_SIZE + static_cast<size_t>(front);
        PatchRRDataLengths(buffer, total);
        return ExchangeExplicit("SendDirect", buffer, total, {"send", "recv", "parse"}, response);
    }

    // Sends a connected request (service, class, instance) on the open class-3 connection with
    // the next sequence count, without reading the reply (RecvEMTags reads it).
    // SendUnitData front (46 bytes) then the 6-byte request.
    int SendConnected(uint8_t service, uint16_t classId, uint16_t instanceId) {
        uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
        ++sequenceCount;
        ByteWriter writer(buffer, sizeof buffer);
        writer.u16(EIP_CMD_SEND_UNIT_DATA)
            .u16(0)
            .u32(sessionHandle)
            .zeros(16)
            .u32(0)
            .u16(CPF_REQUEST_TIMEOUT)
            .u16(2)
            .u16(CPF_ITEM_CONNECTED_ADDRESS)
            .u16(4)
            .u32(otConnectionId)
            .u16(CPF_ITEM_CONNECTED_DATA)
            .u16(8)
            .u16(sequenceCount);
        const EIPC_UCMM_REQUEST_STRUCT request{service, classId, instanceId};
        BuildEmReqCommon(buffer + writer.size(), 6, &request);
        const size_t total = writer.size() + 6;
        eip_PutLitEndian16(static_cast<uint16_t>(total - EIP_ENCAP_HEADER_SIZE), buffer + 2);
        return EipSendData(buffer, total, kRequestTimeoutSeconds);
    }

    uint8_t supportedService = 0x8A;
    uint8_t analysedService = 0;
    std::vector<uint8_t> analysedData;
    int analyseCount = 0;
};

inline _eipConnectInfo InfoFor(uint16_t port, int slot = 0) {
    _eipConnectInfo info;
    info.alias = "plc1";
    info.host = "127.0.0.1";
    info.port = port;
    info.slot = slot;
    info.family = EIP_PROTOCOL_FAMILY_CIP;
    return info;
}

// A simulator and a probe connection to it; each test connects and registers when it needs to.
class SimSessionTest : public ::testing::Test {
  protected:
    static plcsim::SimConfig Config(int slot = 0) {
        plcsim::SimConfig config;
        config.port = 0;
        config.slot = slot;
        return config;
    }
    void Start(const plcsim::SimConfig& config) {
        sim = std::make_unique<plcsim::PlcSimulator>(config);
        ASSERT_TRUE(sim->Start());
        connection = std::make_unique<ProbeConnection>(InfoFor(sim->Port(), config.slot));
    }
    void ConnectAndRegister() {
        ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
        ASSERT_EQ(connection->RegiSession(2), 0);
    }
    // Rewrites the nth reply with `edit`.
    void MutateReply(int nth, std::function<void(std::vector<uint8_t>&)> edit) {
        plcsim::Fault fault;
        fault.action = plcsim::FaultAction::Mutate;
        fault.nth = nth;
        fault.mutate = std::move(edit);
        sim->InjectFault(fault);
    }
    void SilenceEveryReply() {
        plcsim::Fault silence;
        silence.action = plcsim::FaultAction::Drop;
        silence.count = 0;
        sim->InjectFault(silence);
    }
    // Every request the connection sends from now on.
    std::shared_ptr<std::vector<std::vector<uint8_t>>> RecordSent() {
        auto sent = std::make_shared<std::vector<std::vector<uint8_t>>>();
        connection->SetSendFunc([sent](int fd, const void* data, size_t length, int flags) {
            const auto* bytes = static_cast<const uint8_t*>(data);
            sent->emplace_back(bytes, bytes + length);
            return ::send(fd, data, length, flags);
        });
        return sent;
    }

    LogCapture log;
    std::unique_ptr<plcsim::PlcSimulator> sim;
    std::unique_ptr<ProbeConnection> connection;
};

// A loopback port on which nothing listens.
inline uint16_t ClosedLoopbackPort() {
    return tb_test::UnusedPort(SOCK_STREAM);
}

}  // namespace eiptest
