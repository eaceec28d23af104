// The class-3 connection against plcsim: Forward Open, Forward Close, their refusals, and the
// connected reply checks of RecvEMTags.

#include <gtest/gtest.h>

#include "eip_test_support.h"

using namespace eiptest;

namespace {

constexpr uint16_t kRpiMs = 45000;

class EmConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = StartSimulator(0);
        ASSERT_NE(sim, nullptr);
        connection = std::make_unique<ProbeConnection>(InfoFor(sim->Port(), 0));
        ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
        ASSERT_EQ(connection->RegiSession(2), 0);
    }

    void OpenConnection() {
        ASSERT_EQ(connection->OpenEMConnection(kRpiMs), 0) << log.All();
        ASSERT_EQ(sim->Connections().size(), 1u);
    }

    int Receive() {
        auto tags = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
        return connection->RecvEMTags(*tags, [](uint16_t) { return nullptr; });
    }

    LogCapture log;
    std::unique_ptr<plcsim::PlcSimulator> sim;
    std::unique_ptr<ProbeConnection> connection;
};

TEST_F(EmConnectionTest, ForwardOpenKeepsTheIdsTheControllerGrants) {
    OpenConnection();
    const plcsim::CipConnection granted = sim->Connections().front();
    EXPECT_EQ(connection->GetOTConnectionId(), granted.otConnectionId);
    EXPECT_EQ(connection->GetTOConnectionId(), granted.toConnectionId);
    EXPECT_EQ(connection->GetSequenceCount(), 0);
    EXPECT_EQ(granted.originatorVendorId, 0x0100);
    EXPECT_EQ(granted.originatorSerial, EipConnection::makeSerialNumber());
    EXPECT_EQ(granted.otRpiMicroseconds, 45000000u);
    EXPECT_EQ(granted.toRpiMicroseconds, 45000000u);
    EXPECT_EQ(granted.otConnectionSize, 4002);
    EXPECT_EQ(connection->GetConnectionSize(), 4002);
    EXPECT_TRUE(HasLineEndingWith(
        log, ": INFO - OpenEMConnection: Large Forward Open granted, 4002 bytes each way"));
    EXPECT_TRUE(sim->ProtocolErrors().empty()) << sim->ProtocolErrors().front();
}

TEST_F(EmConnectionTest, ForwardCloseEndsTheConnectionOnTheController) {
    OpenConnection();
    EXPECT_EQ(connection->CloseEMConnection(), 0) << log.All();
    EXPECT_TRUE(sim->Connections().empty());
    EXPECT_TRUE(
        HasLineEndingWith(log, ": INFO - CloseEMConnection: send a message to close session=" +
                                   std::to_string(connection->GetSessionHandle())));
    EXPECT_EQ(sim->Stats().forwardCloses, 1u);
    EXPECT_TRUE(sim->ProtocolErrors().empty()) << sim->ProtocolErrors().front();
}

TEST_F(EmConnectionTest, RequestsHaveTheControllersByteLayout) {
    std::vector<std::vector<uint8_t>> sent;
    connection->SetSendFunc([&sent](int fd, const void* data, size_t length, int flags) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        sent.emplace_back(bytes, bytes + length);
        return ::send(fd, data, length, flags);
    });
    _eipProductInfo info;
    ASSERT_EQ(connection->ReadPLCProductInfo(0, info), 0);
    OpenConnection();
    ASSERT_EQ(connection->CloseEMConnection(), 0);
    ASSERT_EQ(sent.size(), 3u);

    const std::vector<uint8_t>& identity = sent[0];
    ASSERT_EQ(identity.size(), 60u);
    EXPECT_EQ(eip_GetLitEndian16(&identity[2]), 36);
    EXPECT_EQ(eip_GetLitEndian16(&identity[38]), 20);
    EXPECT_EQ(std::vector<uint8_t>(identity.begin() + 40, identity.end()),
              (std::vector<uint8_t>{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x07, 0x07, 6, 0,
                                    0x01, 0x02, 0x20, 0x01, 0x24, 0x01, 1,    0,    1, 0}));

    // Large Forward Open: the connection parameters are 32 bits wide.
    const std::vector<uint8_t>& open = sent[1];
    ASSERT_EQ(open.size(), 92u);
    EXPECT_EQ(eip_GetLitEndian16(&open[2]), 68);
    EXPECT_EQ(eip_GetLitEndian16(&open[38]), 52);
    EXPECT_EQ(std::vector<uint8_t>(open.begin() + 40, open.begin() + 48),
              (std::vector<uint8_t>{0x5B, 0x02, 0x20, 0x06, 0x24, 0x01, 0x03, 0xFA}));
    EXPECT_EQ(eip_GetLitEndian32(&open[52]), eip_GetLitEndian32(&open[48]) + 1);
    EXPECT_EQ(eip_GetLitEndian16(&open[58]), 0x0100);
    EXPECT_EQ(eip_GetLitEndian32(&open[60]), EipConnection::makeSerialNumber());
    EXPECT_EQ(eip_GetLitEndian32(&open[64]), 0u);
    EXPECT_EQ(eip_GetLitEndian32(&open[68]), 45000000u);
    EXPECT_EQ(eip_GetLitEndian32(&open[72]), 0x42000FA2u);
    EXPECT_EQ(eip_GetLitEndian32(&open[76]), 45000000u);
    EXPECT_EQ(eip_GetLitEndian32(&open[80]), 0x42000FA2u);
    EXPECT_EQ(std::vector<uint8_t>(open.begin() + 84, open.end()),
              (std::vector<uint8_t>{0xA3, 0x03, 0x01, 0x00, 0x20, 0x02, 0x24, 0x01}));

    const std::vector<uint8_t>& close = sent[2];
    ASSERT_EQ(close.size(), 64u);
    EXPECT_EQ(eip_GetLitEndian16(&close[2]), 40);
    EXPECT_EQ(eip_GetLitEndian16(&close[38]), 24);
    EXPECT_EQ(std::vector<uint8_t>(close.begin() + 40, close.begin() + 48),
              (std::vector<uint8_t>{0x4E, 0x02, 0x20, 0x06, 0x24, 0x01, 0x03, 0xFA}));
    EXPECT_EQ(std::vector<uint8_t>(close.begin() + 48, close.begin() + 56),
              std::vector<uint8_t>(open.begin() + 56, open.begin() + 64));  // same triad
    EXPECT_EQ(std::vector<uint8_t>(close.begin() + 56, close.end()),
              (std::vector<uint8_t>{0x03, 0x00, 0x01, 0x00, 0x20, 0x02, 0x24, 0x01}));
}

// Each open draws its own connection serial: a controller that still holds the connection of a
// lost link, or of another link process on this host (same originator serial), would refuse a
// repeated triad as a duplicate.
TEST_F(EmConnectionTest, EachOpenHasItsOwnTriad) {
    OpenConnection();
    const uint16_t first = sim->Connections().front().connectionSerial;
    ASSERT_EQ(connection->CloseEMConnection(), 0);
    OpenConnection();
    EXPECT_NE(sim->Connections().front().connectionSerial, first);
    EXPECT_EQ(connection->CloseEMConnection(), 0) << log.All();
}

// A controller without the Large Forward Open gets the classic one of 500 bytes; one that refuses
// the size gets the size it offers (extended status 0x0109 and the size).
TEST_F(EmConnectionTest, RefusedLargeForwardOpenFallsBackToTheClassicOneAndOfferedSizes) {
    struct Case {
        bool large;
        uint16_t max;
        uint8_t service;
        uint16_t granted;
    };
    for (const Case& test : {Case{false, 4002, 0x54, 500}, Case{false, 300, 0x54, 300},
                             Case{true, 1500, 0x5B, 1500}}) {
        plcsim::SimConfig config;
        config.bindAddress = "127.0.0.1";
        config.port = 0;
        config.largeForwardOpen = test.large;
        config.maxConnectionSize = test.max;
        sim = std::make_unique<plcsim::PlcSimulator>(config);
        ASSERT_TRUE(sim->Start());
        std::vector<std::vector<uint8_t>> sent;
        connection = std::make_unique<ProbeConnection>(InfoFor(sim->Port(), 0));
        connection->SetSendFunc([&sent](int fd, const void* data, size_t length, int flags) {
            const auto* bytes = static_cast<const uint8_t*>(data);
            sent.emplace_back(bytes, bytes + length);
            return ::send(fd, data, length, flags);
        });
        ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
        ASSERT_EQ(connection->RegiSession(2), 0);
        OpenConnection();
        EXPECT_EQ(connection->GetConnectionSize(), test.granted);
        EXPECT_EQ(sim->Connections().front().otConnectionSize, test.granted);
        const std::vector<uint8_t>& granted = sent.back();
        EXPECT_EQ(granted[40], test.service);
        if (test.service == 0x54) {
            ASSERT_EQ(granted.size(), 88u);
            EXPECT_EQ(eip_GetLitEndian16(&granted[72]), 0x4200 | test.granted);
            EXPECT_EQ(eip_GetLitEndian16(&granted[78]), 0x4200 | test.granted);
        }
    }
}

TEST_F(EmConnectionTest, SecondForwardOpenProposesTheNextPairOfIds) {
    OpenConnection();
    const uint32_t firstTO = connection->GetTOConnectionId();
    ASSERT_EQ(connection->CloseEMConnection(), 0);
    ASSERT_EQ(connection->OpenEMConnection(kRpiMs), 0);
    EXPECT_EQ(connection->GetTOConnectionId(), firstTO + 2);
}

TEST_F(EmConnectionTest, RefusedForwardOpenLogsStatusAndTriesToClose) {
    plcsim::ForwardOpenFault refuse;
    refuse.refuseGeneralStatus = 0x01;
    refuse.refuseExtStatus = 0x0100;
    sim->SetForwardOpenFault(refuse);
    EXPECT_EQ(connection->OpenEMConnection(kRpiMs), -1);
    EXPECT_TRUE(
        HasLineEndingWith(log, ": ERROR - logResponseError: unexpected : response error (1, 256)"))
        << log.All();
    EXPECT_TRUE(
        HasLineEndingWith(log, ": INFO - OpenEMConnection: Try to close em connection...(test)"));
    // The close of a connection that was never opened is refused: not found (0x0107).
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected : response error (1, 263)")) << log.All();
    EXPECT_EQ(connection->GetOTConnectionId(), 0u);
}

TEST_F(EmConnectionTest, ForwardOpenEchoingAnotherVendorIsRefusedAndClosed) {
    plcsim::ForwardOpenFault echo;
    echo.echoVendorId = 0x0200;
    sim->SetForwardOpenFault(echo);
    EXPECT_EQ(connection->OpenEMConnection(kRpiMs), -1);
    EXPECT_TRUE(
        HasLineEndingWith(log, ": ERROR - OpenEMConnection: unexpected : wrong response data"))
        << log.All();
    EXPECT_TRUE(HasLineEndingWith(log, "Try to close em connection...(test)"));
    // The close with the triad we sent found the connection the controller had opened.
    EXPECT_TRUE(sim->Connections().empty());
    EXPECT_EQ(connection->GetTOConnectionId(), 0u);
}

TEST_F(EmConnectionTest, ForwardOpenEchoingAnotherOriginatorSerialIsRefused) {
    plcsim::ForwardOpenFault echo;
    echo.echoOriginatorSerial = EipConnection::makeSerialNumber() + 1;
    sim->SetForwardOpenFault(echo);
    EXPECT_EQ(connection->OpenEMConnection(kRpiMs), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected : wrong response data"));
}

TEST_F(EmConnectionTest, ForwardOpenToAnEmptySlotIsRefusedByTheConnectionPath) {
    _eipConnectInfo info = InfoFor(sim->Port(), 4);
    connection->SetConnectionInfo(info);
    EXPECT_EQ(connection->OpenEMConnection(kRpiMs), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected : response error (1, 786)")) << log.All();
    EXPECT_TRUE(sim->Connections().empty());
}

TEST_F(EmConnectionTest, ForwardOpenWithoutSessionFailsWithoutSending) {
    connection->Disconnect();
    const uint64_t before = sim->Stats().requests;
    EXPECT_EQ(connection->OpenEMConnection(kRpiMs), -1);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - OpenEMConnection: invalidated socket."));
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - CloseEMConnection: socket not connected."));
    EXPECT_EQ(sim->Stats().requests, before);
}

TEST_F(EmConnectionTest, ForwardCloseOnAClosedSocketSendsNothing) {
    OpenConnection();
    connection->Disconnect();
    EXPECT_EQ(connection->CloseEMConnection(), -1);
    EXPECT_EQ(sim->Stats().forwardCloses, 0u);
}

TEST_F(EmConnectionTest, ForwardOpenReplyThatNeverComesFails) {
    plcsim::Fault drop;
    drop.action = plcsim::FaultAction::Drop;
    drop.count = 0;
    sim->InjectFault(drop);
    EXPECT_EQ(connection->OpenEMConnection(kRpiMs), -1);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - OpenEMConnection: failed to recv\n"));
    // The session that timed out is closed: nothing late can be read from it.
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - CloseEMConnection: socket not connected."));
    EXPECT_LT(connection->GetSocketFd(), 0);
}

// ---- Connected replies -------------------------------------------------------------------------

TEST_F(EmConnectionTest, ConnectedReplyIsHandedToTheFamily) {
    OpenConnection();
    connection->supportedService = 0x81;
    ASSERT_EQ(connection->SendConnected(CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1), 0);
    EXPECT_GT(Receive(), 0) << log.All();
    EXPECT_EQ(connection->analyseCount, 1);
    EXPECT_EQ(connection->analysedService, 0x81);
    EXPECT_GE(connection->analysedData.size(), 15u);
    EXPECT_EQ(sim->Stats().connectedRequests, 1u);
}

TEST_F(EmConnectionTest, ConnectedReplyCarryingTheOtIdOfItsConnectionIsTaken) {
    sim->Stop();
    plcsim::SimConfig config;
    config.bindAddress = "127.0.0.1";
    config.port = 0;
    config.replyWithOtConnectionId = true;
    sim = std::make_unique<plcsim::PlcSimulator>(config);
    ASSERT_TRUE(sim->Start());
    connection = std::make_unique<ProbeConnection>(InfoFor(sim->Port(), 0));
    ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
    ASSERT_EQ(connection->RegiSession(2), 0);
    OpenConnection();
    connection->supportedService = 0x81;
    ASSERT_EQ(connection->SendConnected(CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1), 0);
    EXPECT_GT(Receive(), 0) << log.All();
    EXPECT_EQ(connection->analyseCount, 1);
}

TEST_F(EmConnectionTest, ConnectedReplyOnAnotherConnectionIdIsRefused) {
    OpenConnection();
    connection->supportedService = 0x81;
    plcsim::Fault wrong;
    wrong.action = plcsim::FaultAction::WrongConnectionId;
    wrong.command = EIP_CMD_SEND_UNIT_DATA;
    sim->InjectFault(wrong);
    ASSERT_EQ(connection->SendConnected(CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1), 0);
    EXPECT_EQ(Receive(), -1);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - EipParseUCMMRESP: unexpected response"));
    EXPECT_TRUE(HasLineEndingWith(
        log, ": ERROR - RecvEMTags: unexpected : parsing cpf and explict response"));
    EXPECT_EQ(connection->analyseCount, 0);
}

TEST_F(EmConnectionTest, ConnectedReplyWithAnotherSequenceCountIsDroppedAsLate) {
    OpenConnection();
    connection->supportedService = 0x81;
    plcsim::Fault wrong;
    wrong.action = plcsim::FaultAction::WrongSequenceCount;
    wrong.command = EIP_CMD_SEND_UNIT_DATA;
    sim->InjectFault(wrong);
    ASSERT_EQ(connection->SendConnected(CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1), 0);
    EXPECT_EQ(Receive(), -2);  // only the late reply came: a time-out
    EXPECT_TRUE(log.Contains("RecvEMTags: late reply dropped")) << log.All();
    EXPECT_EQ(connection->analyseCount, 0);
}

TEST_F(EmConnectionTest, ConnectedErrorReplyIsLogged) {
    OpenConnection();
    connection->supportedService = 0x81;
    ASSERT_EQ(connection->SendConnected(CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 7), 0);
    EXPECT_EQ(Receive(), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected : explicit response error (22)")) << log.All();
}

TEST_F(EmConnectionTest, BatchWithAnEmbeddedServiceErrorStillReachesTheFamily) {
    const std::vector<uint8_t> batch = {2, 0, 6, 0, 12, 0};  // two embedded replies
    sim->Router().RegisterClass(CIP_CLASS_MESSAGE_ROUTER, [batch](const plcsim::CipRequest&) {
        return plcsim::CipReply::Error(CIP_STATUS_EMBEDDED_SERVICE_ERROR, {}, batch);
    });
    OpenConnection();
    ASSERT_EQ(
        connection->SendConnected(CIP_SVC_MULTIPLE_SERVICE_PACKET, CIP_CLASS_MESSAGE_ROUTER, 1), 0);
    EXPECT_GT(Receive(), 0) << log.All();
    EXPECT_EQ(connection->analyseCount, 1);
    EXPECT_EQ(connection->analysedData, batch);
}

TEST_F(EmConnectionTest, EmbeddedServiceErrorOfAnUnsupportedServiceIsRefused) {
    sim->Router().RegisterClass(CIP_CLASS_MESSAGE_ROUTER, [](const plcsim::CipRequest&) {
        return plcsim::CipReply::Error(CIP_STATUS_EMBEDDED_SERVICE_ERROR);
    });
    OpenConnection();
    connection->supportedService = 0x81;
    ASSERT_EQ(
        connection->SendConnected(CIP_SVC_MULTIPLE_SERVICE_PACKET, CIP_CLASS_MESSAGE_ROUTER, 1), 0);
    EXPECT_EQ(Receive(), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected : explicit response error (30)")) << log.All();
    EXPECT_EQ(connection->analyseCount, 0);
}

TEST_F(EmConnectionTest, ConnectedReplyOfAnUnsupportedServiceIsRefused) {
    OpenConnection();
    ASSERT_EQ(connection->SendConnected(CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1), 0);
    EXPECT_EQ(Receive(), -1);
    EXPECT_TRUE(
        HasLineEndingWith(log, ": ERROR - RecvEMTags: unexpected : not support service 81"));
}

TEST_F(EmConnectionTest, ClosedSocketDuringTheTagReplyIsReportedAsLost) {
    OpenConnection();
    plcsim::Fault close;
    close.action = plcsim::FaultAction::Close;
    sim->InjectFault(close);
    ASSERT_EQ(connection->SendConnected(CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1), 0);
    EXPECT_EQ(Receive(), -2);
    EXPECT_EQ(connection->GetSocketFd(), -1);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - RecvEMTags: TCP socket closed - -1"));
}

TEST_F(EmConnectionTest, RestartedControllerForgetsTheConnection) {
    OpenConnection();
    ASSERT_TRUE(sim->Restart());
    EXPECT_TRUE(sim->Connections().empty());
    EXPECT_EQ(Receive(), -2);  // the old socket was closed by the controller
}

}  // namespace
