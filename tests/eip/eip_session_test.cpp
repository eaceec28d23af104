// The encapsulation session against plcsim on loopback: connect, RegisterSession, the socket
// layer's failure paths, and the identity read.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "common/byte_codec.h"
#include "eip_test_support.h"

using namespace eiptest;

namespace {

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plcsim::IdentityConfig identity;
        identity.vendorId = 1;
        identity.deviceType = 0x0E;
        identity.productCode = 0x5A;
        identity.majorRevision = 32;
        identity.minorRevision = 11;
        identity.productName = "1756-L83E/B";
        sim = StartSimulator(3, identity);
        ASSERT_NE(sim, nullptr);
        connection = std::make_unique<ProbeConnection>(InfoFor(sim->Port(), 3));
    }

    void ConnectAndRegister() {
        ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
        ASSERT_EQ(connection->RegiSession(2), 0);
    }

    // Rewrites the header of the nth reply with `edit`.
    void MutateReply(int nth, std::function<void(std::vector<uint8_t>&)> edit) {
        plcsim::Fault fault;
        fault.action = plcsim::FaultAction::Mutate;
        fault.nth = nth;
        fault.mutate = std::move(edit);
        sim->InjectFault(fault);
    }

    LogCapture log;
    std::unique_ptr<plcsim::PlcSimulator> sim;
    std::unique_ptr<ProbeConnection> connection;
};

TEST_F(SessionTest, ConnectAndRegisterGetsTheControllersSessionHandle) {
    ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
    EXPECT_GE(connection->GetSocketFd(), 0);
    EXPECT_TRUE(HasLineEndingWith(
        log, ": INFO - Connect: Connect to 127.0.0.1:" + std::to_string(sim->Port())));
    EXPECT_TRUE(HasLineEndingWith(
        log, ": INFO - Connect: Socket FD = " + std::to_string(connection->GetSocketFd())));

    ASSERT_EQ(connection->RegiSession(2), 0);
    EXPECT_NE(connection->GetSessionHandle(), 0u);
    EXPECT_TRUE(HasLineEndingWith(log, ": INFO - RegiSession: Register session, session id : " +
                                           std::to_string(connection->GetSessionHandle())));
    EXPECT_EQ(sim->Stats().sessionsRegistered, 1u);
    EXPECT_TRUE(sim->ProtocolErrors().empty()) << sim->ProtocolErrors().front();
}

TEST_F(SessionTest, SeveralSessionsAtOnceGetDistinctHandles) {
    ConnectAndRegister();
    ProbeConnection second(InfoFor(sim->Port(), 3));
    ASSERT_EQ(second.Connect("127.0.0.1", sim->Port(), 2), 0);
    ASSERT_EQ(second.RegiSession(2), 0);
    EXPECT_NE(second.GetSessionHandle(), connection->GetSessionHandle());
    _eipProductInfo first;
    _eipProductInfo other;
    EXPECT_EQ(connection->ReadPLCProductInfo(3, first), 0);
    EXPECT_EQ(second.ReadPLCProductInfo(3, other), 0);
    EXPECT_EQ(first.productName, other.productName);
}

TEST_F(SessionTest, RefusedConnectionFailsAtOnceAndLeavesNoSocket) {
    const uint16_t port = ClosedLoopbackPort();
    EXPECT_EQ(connection->Connect("127.0.0.1", port, 2), -1);
    EXPECT_EQ(connection->GetSocketFd(), -1);
    // Loopback reports the refusal through the pending socket error of the non-blocking
    // connect; a remote host may refuse it in connect() itself. Either way the reason is given.
    const std::string refused = std::strerror(ECONNREFUSED);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - Connect: Socket connect failed. - " + refused) ||
                HasLineEndingWith(log, ": ERROR - Connect: Socket FD_ISSET failed. - " + refused))
        << log.All();
}

TEST_F(SessionTest, HostThatIsNotAnIpv4AddressIsRefusedWithoutConnecting) {
    EXPECT_EQ(connection->Connect("plc.example", sim->Port(), 2), -1);
    EXPECT_EQ(connection->GetSocketFd(), -1);
    EXPECT_EQ(sim->Stats().connectionsAccepted, 0u);
}

TEST_F(SessionTest, PeerThatNeverAnswersTimesOutAndKeepsTheSocket) {
    plcsim::Fault silence;
    silence.action = plcsim::FaultAction::Drop;
    silence.count = 0;  // every reply
    sim->InjectFault(silence);
    ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
    EXPECT_EQ(connection->RegiSession(1), -1);
    EXPECT_EQ(connection->GetSessionHandle(), 0u);
    EXPECT_GE(connection->GetSocketFd(), 0);  // a time-out does not close the socket
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - EipReadData: Socket read select failed. - " +
                                           std::string(std::strerror(ETIMEDOUT))))
        << log.All();
}

TEST_F(SessionTest, RegisterSessionReplyWithAnotherCommandIsRefused) {
    MutateReply(1, [](std::vector<uint8_t>& reply) { eip_PutLitEndian16(0x0066, &reply[0]); });
    ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
    EXPECT_LT(connection->RegiSession(2), 0);
    EXPECT_EQ(connection->GetSessionHandle(), 0u);
}

TEST_F(SessionTest, RegisterSessionReplyWithNonZeroStatusIsAccepted) {
    MutateReply(1, [](std::vector<uint8_t>& reply) { eip_PutLitEndian32(1, &reply[8]); });
    ConnectAndRegister();
    EXPECT_NE(connection->GetSessionHandle(), 0u);
}

TEST_F(SessionTest, ReplySplitAcrossTcpSegmentsIsAssembled) {
    plcsim::Fault split;
    split.action = plcsim::FaultAction::Split;
    split.count = 0;
    split.splitAt = 10;  // inside the encapsulation header
    sim->InjectFault(split);
    ConnectAndRegister();
    _eipProductInfo info;
    EXPECT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.productName, "1756-L83E/B");
    EXPECT_GE(log.Count(": EipReadData - data read from socket["), 4u);
}

TEST_F(SessionTest, ReplyArrivingAFewBytesPerReadIsAssembled) {
    ConnectAndRegister();
    connection->SetRecvFunc([](int fd, void* buffer, size_t length, int flags) {
        return ::recv(fd, buffer, std::min<size_t>(length, 5), flags);
    });
    _eipProductInfo info;
    EXPECT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.vendorId, 1);
    EXPECT_EQ(info.productName, "1756-L83E/B");
}

TEST_F(SessionTest, DelayedReplyWithinTheTimeOutIsAccepted) {
    ConnectAndRegister();
    plcsim::Fault late;
    late.action = plcsim::FaultAction::Delay;
    late.delay = std::chrono::milliseconds(300);
    sim->InjectFault(late);
    _eipProductInfo info;
    EXPECT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.productCode, 0x5A);
}

TEST_F(SessionTest, HeaderAnnouncingMoreThan2001BytesIsRefusedWithoutReadingFurther) {
    ConnectAndRegister();
    MutateReply(1, [](std::vector<uint8_t>& reply) { eip_PutLitEndian16(2002, &reply[2]); });
    _eipProductInfo info;
    info.productName = "kept";
    EXPECT_EQ(connection->ReadPLCProductInfo(3, info), -1);
    EXPECT_EQ(info.productName, "kept");
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - ReadPLCProductInfo: failed to recv\n"))
        << log.All();
    // The stream cannot be trusted past a body that was not read.
    EXPECT_EQ(connection->GetSocketFd(), -1);
}

TEST_F(SessionTest, PeerClosingMidReadFailsAndClosesTheSocket) {
    ConnectAndRegister();
    plcsim::Fault cut;
    cut.action = plcsim::FaultAction::CloseMidReply;
    cut.splitAt = 30;
    sim->InjectFault(cut);
    _eipProductInfo info;
    EXPECT_EQ(connection->ReadPLCProductInfo(3, info), -1);
    EXPECT_EQ(connection->GetSocketFd(), -1);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - EipReadData: Socket read failed. - ret = 0"))
        << log.All();
}

TEST_F(SessionTest, FailedSendClosesTheSocket) {
    ConnectAndRegister();
    connection->SetSendFunc([](int, const void*, size_t, int) -> ssize_t {
        errno = EPIPE;
        return -1;
    });
    const uint8_t byte = 0;
    EXPECT_EQ(connection->EipSendData(&byte, 1, 1), -1);
    EXPECT_EQ(connection->GetSocketFd(), -1);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - EipSendData: Socket send failed. ret = -1"));
    EXPECT_TRUE(HasLineEndingWith(log, ": EipSendData - send data - result : -1"));
}

TEST_F(SessionTest, SendOfNothingOrOnAClosedSocketFails) {
    const uint8_t byte = 0;
    EXPECT_EQ(connection->EipSendData(&byte, 1, 1), -1);  // not connected
    ConnectAndRegister();
    EXPECT_EQ(connection->EipSendData(nullptr, 1, 1), -1);
    EXPECT_EQ(connection->EipSendData(&byte, 0, 1), -1);
    EXPECT_GE(connection->GetSocketFd(), 0);
}

TEST_F(SessionTest, ReadOnAClosedSocketReportsIt) {
    uint8_t buffer[8];
    EXPECT_EQ(connection->EipReadData(buffer, sizeof buffer, 8, 1), -1);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - EipReadData: Socket not set."));
}

TEST_F(SessionTest, DisconnectClosesTheSocketButKeepsTheSession) {
    ConnectAndRegister();
    const uint32_t handle = connection->GetSessionHandle();
    connection->Disconnect();
    EXPECT_EQ(connection->GetSocketFd(), -1);
    EXPECT_EQ(connection->GetSessionHandle(), handle);
    ASSERT_TRUE(WaitUntil([&] { return sim->ClientCount() == 0; }));
}

// ---- Identity ----------------------------------------------------------------------------------

TEST_F(SessionTest, IdentityRoutedToTheSlotFillsTheProductInfo) {
    ConnectAndRegister();
    _eipProductInfo info;
    ASSERT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.vendorId, 1);
    EXPECT_EQ(info.deviceType, 0x0E);
    EXPECT_EQ(info.productCode, 0x5A);
    EXPECT_EQ(info.majorRevision, 32);
    EXPECT_EQ(info.minorRevision, 11);
    EXPECT_EQ(info.productName, "1756-L83E/B");
    EXPECT_TRUE(sim->ProtocolErrors().empty()) << sim->ProtocolErrors().front();
}

TEST_F(SessionTest, IdentityOfAnotherSlotGetsTheRoutingErrorAndKeepsTheInfo) {
    ConnectAndRegister();
    _eipProductInfo info;
    info.vendorId = 77;
    EXPECT_EQ(connection->ReadPLCProductInfo(5, info), -1);
    EXPECT_EQ(info.vendorId, 77);
    // General status 1, additional status 0x0312 (link address not valid).
    EXPECT_TRUE(HasLineEndingWith(
        log, ": ERROR - logResponseError: unexpected : explicit response error (1, 786)"))
        << log.All();
}

TEST_F(SessionTest, IdentityUnroutedIsAnsweredByTheAdapter) {
    ConnectAndRegister();
    EXPECT_EQ(sim->Config().slot, 3);
    auto response = std::make_unique<EXPLICIT_RESPONSE_STRUCT>();
    ASSERT_EQ(connection->SendDirect(CIP_SVC_GET_ATTRIBUTES_ALL, CIP_CLASS_IDENTITY, 1, *response),
              0);
    EXPECT_EQ(response->service, 0x81);
    EXPECT_EQ(response->generalStatus, 0);
    ASSERT_GE(response->dataLength, 15);
    EXPECT_EQ(eip_GetLitEndian16(response->data + 4), 0x5A);
    EXPECT_EQ(response->data[14], std::strlen("1756-L83E/B"));
}

TEST_F(SessionTest, IdentityWithoutSessionSendsNothing) {
    ASSERT_EQ(connection->Connect("127.0.0.1", sim->Port(), 2), 0);
    _eipProductInfo info;
    EXPECT_EQ(connection->ReadPLCProductInfo(3, info), -1);
    EXPECT_EQ(sim->Stats().requests, 0u);
}

TEST_F(SessionTest, IdentityErrorStatusWithoutAdditionalStatusIsLoggedWithTheStatusOnly) {
    sim->Router().RegisterClass(CIP_CLASS_IDENTITY, [](const plcsim::CipRequest&) {
        return plcsim::CipReply::Error(CIP_STATUS_CONNECTION_FAILURE);
    });
    ConnectAndRegister();
    _eipProductInfo info;
    EXPECT_EQ(connection->ReadPLCProductInfo(3, info), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected : explicit response error (1)")) << log.All();
}

// Identity replies of unusual shapes, answered by a replaced Identity object.
class IdentityShapeTest : public SessionTest {
  protected:
    void AnswerIdentityWith(std::vector<uint8_t> data) {
        sim->Router().RegisterClass(CIP_CLASS_IDENTITY, [data](const plcsim::CipRequest&) {
            return plcsim::CipReply::Success(data);
        });
    }
    static std::vector<uint8_t> Attributes(uint8_t nameLength, const std::string& name) {
        ByteWriter writer;
        writer.u16(9).u16(0x0C).u16(0x77).u8(2).u8(5).u16(0).u32(1234).u8(nameLength).bytes(name);
        return writer.to_vector();
    }
};

TEST_F(IdentityShapeTest, NameLengthZeroGivesAnEmptyName) {
    AnswerIdentityWith(Attributes(0, ""));
    ConnectAndRegister();
    _eipProductInfo info;
    info.productName = "old";
    ASSERT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.productName, "");
    EXPECT_EQ(info.vendorId, 9);
}

TEST_F(IdentityShapeTest, FourteenBytesGiveUnknownAndKeepTheOtherFields) {
    std::vector<uint8_t> data = Attributes(0, "");
    data.resize(14);
    AnswerIdentityWith(data);
    ConnectAndRegister();
    _eipProductInfo info;
    info.vendorId = 42;
    info.majorRevision = 3;
    ASSERT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.productName, "unknown");
    EXPECT_EQ(info.vendorId, 42);
    EXPECT_EQ(info.majorRevision, 3);
}

TEST_F(IdentityShapeTest, NameLongerThanTheReplyIsCutAtTheReplyEnd) {
    AnswerIdentityWith(Attributes(200, "ABC"));
    ConnectAndRegister();
    _eipProductInfo info;
    ASSERT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.productName, "ABC");
}

TEST_F(IdentityShapeTest, NameStopsAtItsFirstNul) {
    AnswerIdentityWith(Attributes(5, std::string("AB\0CD", 5)));
    ConnectAndRegister();
    _eipProductInfo info;
    ASSERT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.productName, "AB");
}

TEST(IdentitySlotTest, Slot16IsSentAsGiven) {
    LogCapture log;
    auto sim = StartSimulator(16);
    ASSERT_NE(sim, nullptr);
    ProbeConnection connection(InfoFor(sim->Port(), 16));
    ASSERT_EQ(connection.Connect("127.0.0.1", sim->Port(), 2), 0);
    ASSERT_EQ(connection.RegiSession(2), 0);
    _eipProductInfo info;
    EXPECT_EQ(connection.ReadPLCProductInfo(16, info), 0);
    EXPECT_EQ(connection.ReadPLCProductInfo(0, info), -1);
}

}  // namespace
