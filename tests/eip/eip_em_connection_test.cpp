// The class-3 connection against plcsim: Forward Open, Forward Close, their refusals, and the
// connected reply checks of RecvEMTags.

#include <gtest/gtest.h>

#include "eip_test_support.h"

using namespace eiptest;

namespace {

constexpr uint16_t kRpiMs = 45000;

class EmConnectionTest : public SimSessionTest {
  protected:
    void SetUp() override { StartWith(Config()); }

    // A controller of that configuration and a registered session with it.
    void StartWith(const plcsim::SimConfig& config) {
        Start(config);
        ConnectAndRegister();
    }
    void OpenConnection() {
        ASSERT_EQ(connection->OpenEMConnection(kRpiMs), 0) << log.All();
        ASSERT_EQ(sim->Connections().size(), 1u);
    }
    int Receive() {
        auto tags = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
        return connection->RecvEMTags(*tags, [](uint16_t) { return nullptr; });
    }
};

TEST_F(EmConnectionTest, ForwardOpenAndCloseHaveTheControllersByteLayoutAndKeepTheGrantedIds) {
    const auto recorded = RecordSent();
    const auto& sent = *recorded;
    _eipProductInfo info;
    ASSERT_EQ(connection->ReadPLCProductInfo(0, info), 0);
    OpenConnection();
    const plcsim::CipConnection granted = sim->Connections().front();
    EXPECT_EQ(connection->GetOTConnectionId(), granted.otConnectionId);
    EXPECT_EQ(connection->GetTOConnectionId(), granted.toConnectionId);
    EXPECT_EQ(granted.otConnectionSize, 4002);
    EXPECT_EQ(connection->GetConnectionSize(), 4002);
    ASSERT_EQ(connection->CloseEMConnection(), 0);
    EXPECT_TRUE(sim->Connections().empty());
    EXPECT_TRUE(sim->ProtocolErrors().empty()) << sim->ProtocolErrors().front();
    ASSERT_EQ(sent.size(), 3u);

    const std::vector<uint8_t>& identity = sent[0];
    ASSERT_EQ(identity.size(), 60u);
    EXPECT_EQ(eip_GetLitEndian16(&identity[2]), 36);
    EXPECT_EQ(eip_GetLitEndian16(&identity[38]), 20);
    EXPECT_EQ(std::vector<uint8_t>(identity.begin() + 40, identity.end()),
              Hex("52 02 20 06 24 01 07 07 06 00 01 02 20 01 24 01 01 00 01 00"));

    // Large Forward Open: the connection parameters are 32 bits wide.
    const std::vector<uint8_t>& open = sent[1];
    ASSERT_EQ(open.size(), 92u);
    EXPECT_EQ(eip_GetLitEndian16(&open[2]), 68);
    EXPECT_EQ(eip_GetLitEndian16(&open[38]), 52);
    EXPECT_EQ(std::vector<uint8_t>(open.begin() + 40, open.begin() + 48),
              Hex("5B 02 20 06 24 01 03 FA"));
    EXPECT_EQ(eip_GetLitEndian32(&open[52]), eip_GetLitEndian32(&open[48]) + 1);
    EXPECT_EQ(eip_GetLitEndian16(&open[58]), 0x0100);
    EXPECT_EQ(eip_GetLitEndian32(&open[60]), EipConnection::makeSerialNumber());
    EXPECT_EQ(eip_GetLitEndian32(&open[64]), 0u);
    EXPECT_EQ(eip_GetLitEndian32(&open[68]), 45000000u);
    EXPECT_EQ(eip_GetLitEndian32(&open[72]), 0x42000FA2u);
    EXPECT_EQ(eip_GetLitEndian32(&open[76]), 45000000u);
    EXPECT_EQ(eip_GetLitEndian32(&open[80]), 0x42000FA2u);
    EXPECT_EQ(std::vector<uint8_t>(open.begin() + 84, open.end()), Hex("A3 03 01 00 20 02 24 01"));

    const std::vector<uint8_t>& close = sent[2];
    ASSERT_EQ(close.size(), 64u);
    EXPECT_EQ(eip_GetLitEndian16(&close[2]), 40);
    EXPECT_EQ(eip_GetLitEndian16(&close[38]), 24);
    EXPECT_EQ(std::vector<uint8_t>(close.begin() + 40, close.begin() + 48),
              Hex("4E 02 20 06 24 01 03 FA"));
    EXPECT_EQ(std::vector<uint8_t>(close.begin() + 48, close.begin() + 56),
              std::vector<uint8_t>(open.begin() + 56, open.begin() + 64));  // same triad
    EXPECT_EQ(std::vector<uint8_t>(close.begin() + 56, close.end()),
              Hex("03 00 01 00 20 02 24 01"));
}

// Each open proposes the next pair of ids and draws its own connection serial: a controller that
// still holds the connection of a lost link, or of another link process on this host (same
// originator serial), would refuse a repeated triad as a duplicate.
TEST_F(EmConnectionTest, EachOpenProposesTheNextPairOfIdsAndHasItsOwnTriad) {
    OpenConnection();
    const uint32_t firstTO = connection->GetTOConnectionId();
    const uint16_t firstSerial = sim->Connections().front().connectionSerial;
    ASSERT_EQ(connection->CloseEMConnection(), 0);
    OpenConnection();
    EXPECT_EQ(connection->GetTOConnectionId(), firstTO + 2);
    EXPECT_NE(sim->Connections().front().connectionSerial, firstSerial);
    EXPECT_EQ(connection->CloseEMConnection(), 0) << log.All();
}

// A refusal, a reply echoing another vendor or originator serial, or a path to an empty slot
// fails the open; the link then closes with the triad it sent, so nothing stays open.
TEST_F(EmConnectionTest, RefusedOrMismatchedForwardOpenFailsAndLeavesNothingOpen) {
    plcsim::ForwardOpenFault refuse;
    refuse.refuseGeneralStatus = 0x01;
    refuse.refuseExtStatus = 0x0100;
    plcsim::ForwardOpenFault vendor;
    vendor.echoVendorId = 0x0200;
    plcsim::ForwardOpenFault serial;
    serial.echoOriginatorSerial = EipConnection::makeSerialNumber() + 1;
    for (const plcsim::ForwardOpenFault& fault :
         {refuse, vendor, serial, plcsim::ForwardOpenFault{}}) {
        sim->SetForwardOpenFault(fault);
        if (!fault.refuseGeneralStatus && !fault.echoVendorId && !fault.echoOriginatorSerial) {
            connection->SetConnectionInfo(InfoFor(sim->Port(), 4));  // an empty slot
        }
        log.Clear();
        EXPECT_EQ(connection->OpenEMConnection(kRpiMs), -1);
        EXPECT_TRUE(log.Contains("Try to close em connection...(test)")) << log.All();
        EXPECT_TRUE(sim->Connections().empty());
        EXPECT_EQ(connection->GetOTConnectionId(), 0u);
    }
}

// Without a socket nothing is sent; a Forward Open reply that never comes fails and the session
// that timed out is closed, so nothing late can be read from it.
TEST_F(EmConnectionTest, ForwardOpenAndCloseWithoutAnAnswerOrSocket) {
    OpenConnection();
    connection->Disconnect();
    EXPECT_EQ(connection->CloseEMConnection(), -1);
    EXPECT_EQ(connection->OpenEMConnection(kRpiMs), -1);
    EXPECT_EQ(sim->Stats().forwardCloses, 0u);
    EXPECT_EQ(sim->Stats().forwardOpens, 1u);

    StartWith(Config());
    SilenceEveryReply();
    EXPECT_EQ(connection->OpenEMConnection(kRpiMs), -1);
    EXPECT_LT(connection->GetSocketFd(), 0);
}

// ---- Connected replies -------------------------------------------------------------------------

// A connected reply reaches the family only when it is on our connection, of a service the family
// takes and successful, or an embedded service error of a batch (the records say which failed).
// A reply on another connection, an error or another service is refused (-1); a closed socket or
// a restarted controller is a lost reply (-2).
TEST_F(EmConnectionTest, ConnectedRepliesReachTheFamilyOnlyWhenTheyAreItsOwn) {
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
        {"closed socket", [&] { inject(plcsim::FaultAction::Close); }, 0x81, false, 1, -2},
        {"restarted controller", [&] { ASSERT_TRUE(sim->Restart()); }, 0x81, false, 1, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartWith(Config());
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
