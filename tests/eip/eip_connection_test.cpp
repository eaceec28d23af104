// The connection base against plcsim on loopback: connect, RegisterSession, the socket layer's
// failure paths, the identity read, making connections by protocol family with the reachability
// test of the actions, and the class-3 connection (Forward Open, Forward Close, their refusals and
// the connected reply checks of RecvExplicitTags).

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "common/byte_codec.h"
#include "eip/eip_connection.h"
#include "sim/plc_simulator.h"
#include "support/free_port.h"
#include "support/hex.h"
#include "support/log_capture.h"
#include "support/sim_plc.h"
#include "support/wait_until.h"

namespace {

using tb_test::Hex;
using tb_test::LogCapture;
using tb_test::WaitUntil;

// The base class with the family operations answered minimally; it exposes the protected
// helpers so that tests can send requests the families would send.
class ProbeConnection : public EipConnection {
  public:
    explicit ProbeConnection(const ConnectInfo& info) : EipConnection(&info) {}

    bool CheckStatesForPolling(uint8_t, uint8_t) override { return true; }
    int TestExplicitTag(EipTag*, TagRequestSet&) override { return -1; }
    int WriteDataToTag(const TagInfo&, const EipTagData&, const uint8_t*, uint16_t) override {
        return -1;
    }
    int RequestExplicitTags(const std::vector<EipTag*>&, size_t, size_t&) override { return -1; }
    int AnalyzeTagResp(const ExplicitResponse& response, TagRequestSet&,
                       const TagLookup&) override {
        analysedService = response.service;
        analysedData.assign(response.data, response.data + response.dataLength);
        ++analyseCount;
        return 0;
    }
    bool IsServiceSupported(uint8_t replyService) override {
        return replyService == supportedService;
    }
    ProtocolFamily GetProtocolFamily() override { return kFamilyCip; }

    // Sends a Message Router request (service, class, instance, no data) as a SendRRData
    // without routing. Returns the parsed reply's result (0 / -1).
    int SendDirect(uint8_t service, uint16_t classId, uint16_t instanceId,
                   ExplicitResponse& response) {
        uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
        BuildEipRRDataHeader(buffer, sizeof buffer, sessionHandle);
        const UcmmRequest request{service, classId, instanceId};
        const int front = BuildExplicitReqCommon(buffer + EIP_RR_DATA_FRONT_SIZE, 6, &request);
        const size_t total = EIP_RR_DATA_FRONT_SIZE + static_cast<size_t>(front);
        PatchRRDataLengths(buffer, total);
        return ExchangeExplicit("SendDirect", buffer, total, {"send", "recv", "parse"}, response);
    }

    // Sends a connected request (service, class, instance) on the open class-3 connection with
    // the next sequence count, without reading the reply (RecvExplicitTags reads it).
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
        const UcmmRequest request{service, classId, instanceId};
        BuildExplicitReqCommon(buffer + writer.size(), 6, &request);
        const size_t total = writer.size() + 6;
        PutLittleEndian16(static_cast<uint16_t>(total - EIP_ENCAP_HEADER_SIZE), buffer + 2);
        return EipSendData(buffer, total, kRequestTimeoutSeconds);
    }

    uint8_t supportedService = 0x8A;
    uint8_t analysedService = 0;
    std::vector<uint8_t> analysedData;
    int analyseCount = 0;
};

inline ConnectInfo InfoFor(uint16_t port, int slot = 0) {
    return tb_test::LoopbackInfo(port, "plc1", slot);
}

// A simulator and a probe connection to it; each test connects and registers when it needs to.
class SimSessionTest : public ::testing::Test {
  protected:
    static plcsim::SimConfig Config(int slot = 0) { return tb_test::LoopbackConfig(slot); }
    void Start(const plcsim::SimConfig& config) {
        sim = std::make_unique<plcsim::PlcSimulator>(config);
        ASSERT_TRUE(sim->Start());
        connection = std::make_unique<ProbeConnection>(InfoFor(sim->Port(), config.slot));
    }
    void ConnectAndRegister() {
        ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
        ASSERT_EQ(connection->RegisterSession(2), 0);
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

class SessionTest : public SimSessionTest {
  protected:
    void SetUp() override {
        plcsim::SimConfig config = Config(3);
        config.identity.productCode = 0x5A;
        config.identity.majorRevision = 32;
        config.identity.productName = "1756-L83E/B";
        Start(config);
    }
};

TEST_F(SessionTest, ConnectAndRegisterGetsDistinctSessionHandles) {
    ConnectAndRegister();
    EXPECT_NE(connection->GetSessionHandle(), 0u);
    EXPECT_TRUE(log.Contains("Register session, session id : " +
                             std::to_string(connection->GetSessionHandle())));
    ProbeConnection second(InfoFor(sim->Port(), 3));
    ASSERT_EQ(second.Connect("127.0.0.1", sim->Port(), 2), 0);
    ASSERT_EQ(second.RegisterSession(2), 0);
    EXPECT_NE(second.GetSessionHandle(), connection->GetSessionHandle());
    ProductInfo info;
    EXPECT_EQ(second.ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(sim->Stats().sessionsRegistered, 2u);
    EXPECT_TRUE(sim->ProtocolErrors().empty()) << sim->ProtocolErrors().front();
}

TEST_F(SessionTest, RefusedOrInvalidHostLeavesNoSocket) {
    EXPECT_EQ(connection->Connect("127.0.0.1", ClosedLoopbackPort(), 2), -1);
    EXPECT_EQ(connection->GetSocketFd(), -1);
    EXPECT_EQ(connection->Connect("plc.example", sim->Port(), 2), -1);
    EXPECT_EQ(connection->GetSocketFd(), -1);
    EXPECT_EQ(sim->Stats().connectionsAccepted, 0u);
}

// A register reply of another command is refused; a non-zero status is accepted (controllers
// send one); silence is a time-out that keeps the socket.
TEST_F(SessionTest, RegisterSessionRepliesAndSilence) {
    MutateReply(1, [](std::vector<uint8_t>& reply) { PutLittleEndian16(0x0066, &reply[0]); });
    ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
    EXPECT_LT(connection->RegisterSession(2), 0);
    EXPECT_EQ(connection->GetSessionHandle(), 0u);

    MutateReply(1, [](std::vector<uint8_t>& reply) { PutLittleEndian32(1, &reply[8]); });
    ConnectAndRegister();
    EXPECT_NE(connection->GetSessionHandle(), 0u);

    SilenceEveryReply();
    ProbeConnection quiet(InfoFor(sim->Port(), 3));
    ASSERT_EQ(quiet.Connect("127.0.0.1", sim->Port(), 2), 0);
    EXPECT_EQ(quiet.RegisterSession(1), -1);
    EXPECT_EQ(quiet.GetSessionHandle(), 0u);
    EXPECT_GE(quiet.GetSocketFd(), 0);
}

// A reply split inside its header, arriving a few bytes per read, or late within the time-out
// is assembled whole.
TEST_F(SessionTest, RepliesInPiecesOrLateAreAssembled) {
    ConnectAndRegister();
    plcsim::Fault split;
    split.action = plcsim::FaultAction::Split;
    split.splitAt = 10;
    plcsim::Fault late;
    late.action = plcsim::FaultAction::Delay;
    late.delay = std::chrono::milliseconds(300);
    for (const plcsim::Fault& fault : {split, late}) {
        sim->InjectFault(fault);
        ProductInfo info;
        EXPECT_EQ(connection->ReadPLCProductInfo(3, info), 0);
        EXPECT_EQ(info.productName, "1756-L83E/B");
    }
    connection->SetRecvFunc([](int fd, void* buffer, size_t length, int flags) {
        return ::recv(fd, buffer, std::min<size_t>(length, 5), flags);
    });
    ProductInfo info;
    EXPECT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.productName, "1756-L83E/B");
}

// The stream cannot be trusted past a body that was not read, a peer that closed mid-reply or a
// failed send: the socket is closed and the info kept.
TEST_F(SessionTest, BrokenStreamsFailAndCloseTheSocket) {
    plcsim::Fault cut;
    cut.action = plcsim::FaultAction::CloseMidReply;
    cut.splitAt = 30;
    const std::vector<std::function<void()>> breaks = {
        [&] {
            MutateReply(1, [](std::vector<uint8_t>& reply) { PutLittleEndian16(2002, &reply[2]); });
        },
        [&] { sim->InjectFault(cut); },
        [&] {
            connection->SetSendFunc([](int, const void*, size_t, int) -> ssize_t {
                errno = EPIPE;
                return -1;
            });
        },
    };
    for (size_t i = 0; i < breaks.size(); ++i) {
        connection = std::make_unique<ProbeConnection>(InfoFor(sim->Port(), 3));
        ConnectAndRegister();
        breaks[i]();
        ProductInfo info;
        info.productName = "kept";
        EXPECT_EQ(connection->ReadPLCProductInfo(3, info), -1) << i;
        EXPECT_EQ(info.productName, "kept") << i;
        EXPECT_EQ(connection->GetSocketFd(), -1) << i;
    }
}

// ---- Identity ----------------------------------------------------------------------------------

TEST_F(SessionTest, IdentityRoutedToTheSlotFillsTheProductInfo) {
    ProductInfo info;
    ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
    EXPECT_EQ(connection->ReadPLCProductInfo(3, info), -1) << "no session";
    EXPECT_EQ(sim->Stats().requests, 0u);
    ASSERT_EQ(connection->RegisterSession(2), 0);
    ASSERT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(std::tie(info.vendorId, info.deviceType, info.productCode, info.majorRevision,
                       info.minorRevision, info.productName),
              std::make_tuple(1, 0x0E, 0x5A, 32, 11, "1756-L83E/B"));
    EXPECT_TRUE(sim->ProtocolErrors().empty()) << sim->ProtocolErrors().front();

    // Another slot gets the routing error (1, 0x0312: link address not valid).
    info.vendorId = 77;
    EXPECT_EQ(connection->ReadPLCProductInfo(5, info), -1);
    EXPECT_EQ(info.vendorId, 77);
    EXPECT_TRUE(log.Contains("unexpected : explicit response error (1, 786)")) << log.All();

    // Unrouted, the adapter answers.
    auto response = std::make_unique<ExplicitResponse>();
    ASSERT_EQ(connection->SendDirect(CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1, *response),
              0);
    EXPECT_EQ(response->service, 0x81);
    ASSERT_GE(response->dataLength, 15);
    EXPECT_EQ(GetLittleEndian16(response->data + 4), 0x5A);
}

using IdentitySlotTest = SessionTest;

TEST_F(IdentitySlotTest, Slot16IsSentAsGiven) {
    Start(Config(16));
    ConnectAndRegister();
    ProductInfo info;
    EXPECT_EQ(connection->ReadPLCProductInfo(16, info), 0);
    EXPECT_EQ(connection->ReadPLCProductInfo(0, info), -1);
}

// Identity replies of unusual shapes: no name, fourteen bytes (the other fields kept, the name
// unknown), a name longer than the reply (cut at its end), a name with a NUL (cut there).
TEST_F(SessionTest, IdentityRepliesOfUnusualShapes) {
    const auto attributes = [](uint8_t nameLength, const std::string& name) {
        ByteWriter writer;
        writer.u16(9).u16(0x0C).u16(0x77).u8(2).u8(5).u16(0).u32(1234).u8(nameLength).bytes(name);
        return writer.to_vector();
    };
    std::vector<uint8_t> fourteen = attributes(0, "");
    fourteen.resize(14);
    const std::tuple<std::vector<uint8_t>, std::string, uint16_t> cases[] = {
        {attributes(0, ""), "", 9},
        {fourteen, "unknown", 42},
        {attributes(200, "ABC"), "ABC", 9},
        {attributes(5, std::string("AB\0CD", 5)), "AB", 9},
    };
    ConnectAndRegister();
    for (const auto& [data, name, vendor] : cases) {
        sim->Router().RegisterClass(CIP_CLASS_IDENTITY, [data = data](const plcsim::CipRequest&) {
            return plcsim::CipReply::Success(data);
        });
        ProductInfo info;
        info.productName = "old";
        info.vendorId = 42;
        ASSERT_EQ(connection->ReadPLCProductInfo(3, info), 0) << name;
        EXPECT_EQ(info.productName, name);
        EXPECT_EQ(info.vendorId, vendor) << name;
    }
}

// ---- Factory and reachability ------------------------------------------------------------------

TEST(ConnectionFactoryTest, UnknownFamilyGivesNullAndIsLogged) {
    LogCapture log;
    const ConnectInfo info = InfoFor(44818);
    EXPECT_EQ(EipConnection::Create(static_cast<ProtocolFamily>(2), &info), nullptr);
    EXPECT_TRUE(log.Contains("Failed to create connection: family not supported (2)")) << log.All();
}

// The reachability test of the actions: a registered connection, or "Can't connect to PLC." when
// nothing listens or the PLC never registers a session (its socket then released).
using TestConnectionTest = SessionTest;

TEST_F(TestConnectionTest, ReachablePlcGivesARegisteredConnectionOthersTheConnectError) {
    std::string error = "untouched";
    std::unique_ptr<EipConnection> test(
        EipConnection::MakeTestConnection(InfoFor(sim->Port(), 3), error));
    ASSERT_NE(test, nullptr);
    EXPECT_NE(test->GetSessionHandle(), 0u);
    EXPECT_EQ(error, "untouched");
    test.reset();

    EXPECT_EQ(EipConnection::MakeTestConnection(InfoFor(ClosedLoopbackPort()), error), nullptr);
    EXPECT_EQ(error, "Can't connect to PLC.");
    SilenceEveryReply();
    error.clear();
    EXPECT_EQ(EipConnection::MakeTestConnection(InfoFor(sim->Port(), 3), error), nullptr);
    EXPECT_EQ(error, "Can't connect to PLC.");
    EXPECT_TRUE(WaitUntil([&] { return sim->ClientCount() == 0; }));
}

// ---- Class-3 connection ------------------------------------------------------------------------

constexpr uint16_t kRpiMs = 45000;

class ExplicitConnectionTest : public SimSessionTest {
  protected:
    void SetUp() override { StartAndRegister(); }

    // A fresh controller and a registered session with it.
    void StartAndRegister() {
        Start(Config());
        ConnectAndRegister();
    }
    void OpenConnection() {
        ASSERT_EQ(connection->OpenExplicitConnection(kRpiMs), 0) << log.All();
        ASSERT_EQ(sim->Connections().size(), 1u);
    }
    int Receive() {
        auto tags = std::make_unique<TagRequestSet>();
        return connection->RecvExplicitTags(*tags, [](uint16_t) { return nullptr; });
    }
};

TEST_F(ExplicitConnectionTest,
       ForwardOpenAndCloseHaveTheControllersByteLayoutAndKeepTheGrantedIds) {
    const auto recorded = RecordSent();
    const auto& sent = *recorded;
    ProductInfo info;
    ASSERT_EQ(connection->ReadPLCProductInfo(0, info), 0);
    OpenConnection();
    const plcsim::CipConnection granted = sim->Connections().front();
    EXPECT_EQ(connection->GetOTConnectionId(), granted.otConnectionId);
    EXPECT_EQ(connection->GetTOConnectionId(), granted.toConnectionId);
    EXPECT_EQ(granted.otConnectionSize, 4002);
    EXPECT_EQ(connection->GetConnectionSize(), 4002);
    ASSERT_EQ(connection->CloseExplicitConnection(), 0);
    EXPECT_TRUE(sim->Connections().empty());
    EXPECT_TRUE(sim->ProtocolErrors().empty()) << sim->ProtocolErrors().front();
    ASSERT_EQ(sent.size(), 3u);

    const std::vector<uint8_t>& identity = sent[0];
    ASSERT_EQ(identity.size(), 60u);
    EXPECT_EQ(GetLittleEndian16(&identity[2]), 36);
    EXPECT_EQ(GetLittleEndian16(&identity[38]), 20);
    EXPECT_EQ(std::vector<uint8_t>(identity.begin() + 40, identity.end()),
              Hex("52 02 20 06 24 01 07 07 06 00 01 02 20 01 24 01 01 00 01 00"));

    // Large Forward Open: the ids proposed (48, 52) and the connection serial (56) are drawn;
    // vendor, originator serial, time-out multiplier, RPI and 32-bit connection parameters each
    // way, then the path.
    const std::vector<uint8_t>& open = sent[1];
    ASSERT_EQ(open.size(), 92u);
    EXPECT_EQ(GetLittleEndian16(&open[2]), 68);
    EXPECT_EQ(GetLittleEndian16(&open[38]), 52);
    EXPECT_EQ(std::vector<uint8_t>(open.begin() + 40, open.begin() + 48),
              Hex("5B 02 20 06 24 01 03 FA"));
    EXPECT_NE(GetLittleEndian32(&open[52]), GetLittleEndian32(&open[48]));
    ByteWriter rest;
    rest.u16(0x0100).u32(EipConnection::MakeSerialNumber()).u32(0).u32(45000000).u32(0x42000FA2);
    rest.u32(45000000).u32(0x42000FA2).bytes(Hex("A3 03 01 00 20 02 24 01"));
    EXPECT_EQ(std::vector<uint8_t>(open.begin() + 58, open.end()), rest.to_vector());

    const std::vector<uint8_t>& close = sent[2];
    ASSERT_EQ(close.size(), 64u);
    EXPECT_EQ(GetLittleEndian16(&close[2]), 40);
    EXPECT_EQ(GetLittleEndian16(&close[38]), 24);
    EXPECT_EQ(std::vector<uint8_t>(close.begin() + 40, close.begin() + 48),
              Hex("4E 02 20 06 24 01 03 FA"));
    EXPECT_EQ(std::vector<uint8_t>(close.begin() + 48, close.begin() + 56),
              std::vector<uint8_t>(open.begin() + 56, open.begin() + 64));  // same triad
    EXPECT_EQ(std::vector<uint8_t>(close.begin() + 56, close.end()),
              Hex("03 00 01 00 20 02 24 01"));
}

// Each open proposes fresh random ids and draws its own connection serial: a controller that
// still holds the connection of a lost link, or of another link process on this host (same
// originator serial), would refuse a repeated triad as a duplicate.
TEST_F(ExplicitConnectionTest, EachOpenProposesFreshIdsAndHasItsOwnTriad) {
    OpenConnection();
    const uint32_t firstTO = connection->GetTOConnectionId();
    const uint16_t firstSerial = sim->Connections().front().connectionSerial;
    ASSERT_EQ(connection->CloseExplicitConnection(), 0);
    OpenConnection();
    EXPECT_NE(connection->GetTOConnectionId(), firstTO);
    EXPECT_NE(sim->Connections().front().connectionSerial, firstSerial);
    EXPECT_EQ(connection->CloseExplicitConnection(), 0) << log.All();
}

// A refusal, a reply echoing another vendor or originator serial, or a path to an empty slot
// fails the open; the link then closes with the triad it sent, so nothing stays open.
TEST_F(ExplicitConnectionTest, RefusedOrMismatchedForwardOpenFailsAndLeavesNothingOpen) {
    plcsim::ForwardOpenFault refuse;
    refuse.refuseGeneralStatus = 0x01;
    refuse.refuseExtStatus = 0x0100;
    plcsim::ForwardOpenFault vendor;
    vendor.echoVendorId = 0x0200;
    plcsim::ForwardOpenFault serial;
    serial.echoOriginatorSerial = EipConnection::MakeSerialNumber() + 1;
    for (const plcsim::ForwardOpenFault& fault :
         {refuse, vendor, serial, plcsim::ForwardOpenFault{}}) {
        sim->SetForwardOpenFault(fault);
        if (!fault.refuseGeneralStatus && !fault.echoVendorId && !fault.echoOriginatorSerial) {
            connection->SetConnectionInfo(InfoFor(sim->Port(), 4));  // an empty slot
        }
        log.Clear();
        EXPECT_EQ(connection->OpenExplicitConnection(kRpiMs), -1);
        EXPECT_TRUE(log.Contains("Try to close em connection...(test)")) << log.All();
        EXPECT_TRUE(sim->Connections().empty());
        EXPECT_EQ(connection->GetOTConnectionId(), 0u);
    }
}

// Without a socket nothing is sent; a Forward Open reply that never comes fails and the session
// that timed out is closed, so nothing late can be read from it.
TEST_F(ExplicitConnectionTest, ForwardOpenAndCloseWithoutAnAnswerOrSocket) {
    OpenConnection();
    connection->Disconnect();
    EXPECT_EQ(connection->CloseExplicitConnection(), -1);
    EXPECT_EQ(connection->OpenExplicitConnection(kRpiMs), -1);
    EXPECT_EQ(sim->Stats().forwardCloses, 0u);
    EXPECT_EQ(sim->Stats().forwardOpens, 1u);

    StartAndRegister();
    SilenceEveryReply();
    EXPECT_EQ(connection->OpenExplicitConnection(kRpiMs), -1);
    EXPECT_LT(connection->GetSocketFd(), 0);
}

// ---- Connected replies -------------------------------------------------------------------------

// A connected reply reaches the family only when it is on our connection, of a service the family
// takes and successful, or an embedded service error of a batch (the records say which failed).
// A reply on another connection, an error or another service is refused (-1); a reply of another
// sequence count, a closed socket or a restarted controller is a lost reply (-2).
TEST_F(ExplicitConnectionTest, ConnectedRepliesReachTheFamilyOnlyWhenTheyAreItsOwn) {
    const std::vector<uint8_t> batch = {2, 0, 6, 0, 12, 0};  // two embedded replies
    const auto batchError = [batch](const plcsim::CipRequest&) {
        return plcsim::CipReply::Error(CIP_STATUS_EMBEDDED_SERVICE_ERROR, {}, batch);
    };
    struct Case {
        const char* what;
        std::function<void()> arrange;
        uint8_t supported;
        bool batch;
        uint16_t instance;
        int result;
    };
    const auto inject = [this](plcsim::FaultAction action) {
        plcsim::Fault fault;
        fault.action = action;
        fault.command = EIP_CMD_SEND_UNIT_DATA;
        sim->InjectFault(fault);
    };
    const Case cases[] = {
        {"identity reply", [] {}, 0x81, false, 1, 1},
        {"another connection id", [&] { inject(plcsim::FaultAction::WrongConnectionId); }, 0x81,
         false, 1, -1},
        {"error reply", [] {}, 0x81, false, 7, -1},
        {"reply of a service the family does not take", [] {}, 0x8A, false, 1, -1},
        {"batch with an embedded error",
         [&] { sim->Router().RegisterClass(CIP_CLASS_MESSAGE_ROUTER, batchError); }, 0x8A, true, 1,
         1},
        {"embedded error of another service",
         [&] { sim->Router().RegisterClass(CIP_CLASS_MESSAGE_ROUTER, batchError); }, 0x81, true, 1,
         -1},
        {"another sequence count: never the answer, a time-out",
         [&] { inject(plcsim::FaultAction::WrongSequenceCount); }, 0x81, false, 1, -2},
        {"closed socket", [&] { inject(plcsim::FaultAction::Close); }, 0x81, false, 1, -2},
        {"restarted controller", [&] { ASSERT_TRUE(sim->Restart()); }, 0x81, false, 1, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartAndRegister();
        OpenConnection();
        connection->supportedService = c.supported;
        c.arrange();
        ASSERT_EQ(c.batch ? connection->SendConnected(CIP_SVC_MULTIPLE_SERVICE_PACKET,
                                                      CIP_CLASS_MESSAGE_ROUTER, 1)
                          : connection->SendConnected(CIP_SVC_GET_ATTRIBUTES_ALL,
                                                      CIP_CLASS_IDENTITY, c.instance),
                  0);
        const int got = Receive();
        EXPECT_EQ(got > 0 ? 1 : got, c.result) << log.All();
        EXPECT_EQ(connection->analyseCount, c.result > 0 ? 1 : 0);
        if (c.result > 0) {
            EXPECT_EQ(connection->analysedService, c.supported);
            EXPECT_EQ(connection->analysedData.size() == batch.size(), c.batch);
        }
        if (c.result == -2) {
            EXPECT_EQ(connection->GetSocketFd(), -1);
        }
    }
}

}  // namespace
