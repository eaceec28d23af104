// plcsim as a controller: what it refuses and how, its class-3 connections, its fault
// injection, and the command-line program.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>

#include "common/byte_codec.h"
#include "eip/cip_wire.h"
#include "sim/plc_simulator.h"
#include "support/child_process.h"
#include "support/hex.h"
#include "support/sim_plc.h"
#include "support/wait_until.h"
#include "tests/sim/raw_client.h"

namespace {

using namespace plcsim_test;

size_t ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoul(line.substr(8));
        }
    }
    return 0;
}

uint32_t Status(const std::vector<uint8_t>& reply) {
    return reply.size() >= 12 ? GetLittleEndian32(&reply[8]) : 0xFFFFFFFF;
}

class PlcsimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = std::make_unique<plcsim::PlcSimulator>(tb_test::LoopbackConfig());
        ASSERT_TRUE(sim->Start()) << sim->LastStartError();
        client = std::make_unique<RawClient>(sim->Port());
        ASSERT_TRUE(client->connected);
    }

    std::unique_ptr<plcsim::PlcSimulator> sim;
    std::unique_ptr<RawClient> client;
};

// ListIdentity reply of the default identity at 127.0.0.1:port, header included.
std::vector<uint8_t> ListIdentityReply(uint16_t port) {
    const std::string name = "1756-L61/B LOGIX5561";
    ByteWriter w;
    w.u16(EIP_CMD_LIST_IDENTITY).u16(60).u32(0).u32(0).bytes("context!", 8).u32(0);
    w.u16(1).u16(0x0C).u16(54).u16(1);
    w.u16_be(2).u16_be(port).u32_be(0x7F000001).zeros(8);
    w.u16(1).u16(0x0E).u16(0x36).u8(20).u8(11).u16(0x3060).u32(0x00C0FFEE);
    w.u8(static_cast<uint8_t>(name.size())).bytes(name).u8(0x03);
    return w.to_vector();
}

// Without a session: ListIdentity and ListServices.
TEST_F(PlcsimTest, ListIdentityAndListServicesAnswerWithoutASession) {
    client->Send(EIP_CMD_LIST_IDENTITY, 0, {});
    EXPECT_EQ(client->Receive(), ListIdentityReply(sim->Port()));
    client->Send(0x0004, 0, {});
    EXPECT_EQ(client->Receive(), tb_test::Hex("0400 1A00 00000000 00000000 636F6E7465787421 "
                                              "00000000 0100 0001 1400 0100 2001 "
                                              "436F6D6D756E69636174696F6E73 0000"));
    EXPECT_TRUE(sim->ProtocolErrors().empty());
}

// Many clients at once: one process's worth of sessions, each answered, with no thread apiece.
TEST_F(PlcsimTest, ServesAThousandSessionsWithoutAThreadEach) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    const size_t count = std::min<rlim_t>(1000, files.rlim_cur - 64);
    const size_t threadsBefore = ThreadCount();
    std::vector<std::unique_ptr<RawClient>> clients;
    std::vector<uint32_t> handles;
    for (size_t i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<RawClient>(sim->Port()));
        ASSERT_TRUE(clients.back()->connected) << i;
        handles.push_back(clients.back()->Register());
    }
    EXPECT_TRUE(tb_test::WaitUntil([&] { return sim->ClientCount() == count + 1; }));
    EXPECT_EQ(ThreadCount(), threadsBefore);
    for (size_t i = count; i-- > 0;) {
        ASSERT_EQ(CipStatus(clients[i]->Unconnected(handles[i], kIdentityRequest)).first, 0) << i;
    }
    EXPECT_EQ(sim->Stats().sessionsRegistered, count);
}

// Requests a target refuses, each on a connection of its own, answered with the status:
// protocol version 2, no session, another session handle, an unknown command, three CPF items.
TEST_F(PlcsimTest, RefusedRequestsAreAnsweredWithTheirStatus) {
    const struct {
        bool registered;
        uint16_t command;
        uint32_t handleOffset;  // added to the session handle (0 when not registered)
        const char* body;
        uint32_t status;
    } cases[] = {
        {false, EIP_CMD_REGISTER_SESSION, 0, "02000000", EIP_ENCAP_STATUS_UNSUPPORTED_PROTOCOL},
        {false, EIP_CMD_SEND_RR_DATA, 0x1234, "", EIP_ENCAP_STATUS_INVALID_SESSION},
        {true, EIP_CMD_SEND_RR_DATA, 1, "", EIP_ENCAP_STATUS_INVALID_SESSION},
        {false, 0x0099, 0, "", EIP_ENCAP_STATUS_INVALID_COMMAND},
        {true, EIP_CMD_SEND_RR_DATA, 0, "00000000 0000 0300 0000 0000 B200 0000 0000 0000",
         EIP_ENCAP_STATUS_INCORRECT_DATA},
    };
    for (const auto& c : cases) {
        RawClient own(sim->Port());
        const uint32_t handle = c.registered ? own.Register() : 0;
        const size_t errors = sim->ProtocolErrors().size();
        own.Send(c.command, handle + c.handleOffset, tb_test::Hex(c.body));
        EXPECT_EQ(Status(own.Receive()), c.status) << c.body;
        EXPECT_EQ(sim->ProtocolErrors().size(), errors + 1) << c.body;
    }
}

// Non-zero options, and a connected request on a connection that does not exist.
TEST_F(PlcsimTest, RequestsWithoutAnAnswerAreDroppedAndNoted) {
    client->Send(EIP_CMD_REGISTER_SESSION, 0, {1, 0, 0, 0}, 1);
    EXPECT_TRUE(client->Receive(300).empty());
    const uint32_t handle = client->Register();
    EXPECT_TRUE(client->Connected(handle, 0x12345678, 1, kIdentityRequest, 300).empty());
    EXPECT_EQ(sim->ProtocolErrors().size(), 2u);
}

TEST_F(PlcsimTest, IdentityAnswersDirectlyAndRejectsOtherInstancesAndServices) {
    const uint32_t handle = client->Register();
    const std::vector<uint8_t> reply = client->Unconnected(handle, kIdentityRequest);
    ASSERT_GE(reply.size(), 4u + 15u);
    EXPECT_EQ(CipStatus(reply).first, 0);
    EXPECT_EQ(reply[4 + 14], sim->Config().identity.productName.size());
    for (const auto& [request, status] :
         {std::pair{"0102 2001 2402", CIP_STATUS_OBJECT_DOES_NOT_EXIST},
          {"1002 2001 2401", CIP_STATUS_SERVICE_NOT_SUPPORTED},
          {"0102 2055 2401", CIP_STATUS_PATH_DESTINATION_UNKNOWN}}) {
        EXPECT_EQ(CipStatus(client->Unconnected(handle, tb_test::Hex(request))).first, status)
            << request;
    }
}

// An Unconnected Send whose lengths disagree (embedded length 8, 6 bytes before the route), and
// one routed through port 2 instead of the backplane.
TEST_F(PlcsimTest, UnconnectedSendWithBadLengthsOrRouteIsRefused) {
    const uint32_t handle = client->Register();
    auto send = [&](uint8_t embeddedLength, uint8_t port) {
        std::vector<uint8_t> request = {0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x07, 0x07};
        request.insert(request.end(), {embeddedLength, 0});
        request.insert(request.end(), kIdentityRequest.begin(), kIdentityRequest.end());
        request.insert(request.end(), {1, 0, port, 0});
        return client->Unconnected(handle, request);
    };
    EXPECT_EQ(send(8, 1), (std::vector<uint8_t>{0xD2, 0x00, CIP_STATUS_NOT_ENOUGH_DATA, 0x00}));
    EXPECT_FALSE(sim->ProtocolErrors().empty());
    EXPECT_EQ(send(6, 2), (std::vector<uint8_t>{0xD2, 0x00, CIP_STATUS_CONNECTION_FAILURE, 0x01,
                                                0x11, 0x03, 0x01}));  // invalid port 0x0311
}

TEST_F(PlcsimTest, ForwardOpenChecksTransportTypeAndPath) {
    const uint32_t handle = client->Register();
    const auto extStatus = [&](uint8_t transport, uint32_t params, std::vector<uint8_t> path) {
        ForwardOpenFields fields;
        fields.transport = transport;
        fields.params = params;
        fields.path = std::move(path);
        return CipStatus(client->Unconnected(handle, ForwardOpen(fields))).second;
    };
    const std::vector<uint8_t> toRouter = {1, 0, 0x20, 2, 0x24, 1};
    EXPECT_EQ(extStatus(0x01, 0x43F4, toRouter), CIP_EXT_TRANSPORT_NOT_SUPPORTED);  // class 1
    EXPECT_EQ(extStatus(0xA3, 0x2000 | 500, toRouter), CIP_EXT_INVALID_CONNECTION_TYPE);
    EXPECT_EQ(extStatus(0xA3, 0x43F4, {1, 0, 0x20, 4, 0x24, 1}), CIP_EXT_INVALID_SEGMENT);
    EXPECT_EQ(extStatus(0xA3, 0x43F4, {1, 0}), CIP_EXT_INVALID_SEGMENT);  // no target
    EXPECT_TRUE(sim->Connections().empty());
}

// Sizes granted and refused, byte for byte: a refusal names the largest size it would grant.
TEST(PlcsimForwardOpenTest, GrantsSizesAsAControllerAndRefusesLargerOnesWithTheOfferedSize) {
    // A refusal: connection failure 0x0109 (invalid connection size) with the size offered,
    // then the connection triad (serial 0x0042, vendor 0x0100, originator serial 7).
    const std::string kTriad = " 4200 0001 07000000 0000";
    struct Case {
        const char* what;
        bool large;
        uint32_t params;
        uint16_t maxConnectionSize;
        bool largeForwardOpen;
        std::string refusal;  // hex; empty: granted
    };
    const Case cases[] = {
        {"fixed 500", false, 0x4000 | 500, 4002, true, ""},
        {"variable 508", false, 0x4200 | 508, 4002, true, ""},
        {"511", false, 0x4000 | 511, 4002, true, ""},
        {"4002 large", true, 0x42000000 | 4002, 4002, true, ""},
        {"4003 large", true, 0x42000000 | 4003, 4002, true, "DB00 0102 0901 A20F" + kTriad},
        {"300 above the limit", false, 0x4000 | 300, 200, true, "D400 0102 0901 C800" + kTriad},
        {"1000 large above", true, 0x40000000 | 1000, 900, true, "DB00 0102 0901 8403" + kTriad},
        {"large refused by old firmware", true, 0x40000000 | 500, 4002, false, "DB00 0800"},
    };
    for (const Case& c : cases) {
        plcsim::SimConfig config = tb_test::LoopbackConfig();
        config.maxConnectionSize = c.maxConnectionSize;
        config.largeForwardOpen = c.largeForwardOpen;
        plcsim::PlcSimulator sim(config);
        ASSERT_TRUE(sim.Start());
        RawClient client(sim.Port());
        ForwardOpenFields fields;
        fields.large = c.large;
        fields.params = c.params;
        const std::vector<uint8_t> reply =
            client.Unconnected(client.Register(), ForwardOpen(fields));
        if (c.refusal.empty()) {
            ASSERT_EQ(CipStatus(reply).first, CIP_STATUS_SUCCESS) << c.what;
            ASSERT_EQ(sim.Connections().size(), 1u) << c.what;
            EXPECT_EQ(sim.Connections().front().toConnectionSize,
                      c.params & (c.large ? 0xFFFF : 0x1FF))
                << c.what;
        } else {
            EXPECT_EQ(reply, tb_test::Hex(c.refusal)) << c.what;
            EXPECT_TRUE(sim.Connections().empty()) << c.what;
        }
    }
}

TEST_F(PlcsimTest, OwnOtIdIsGrantedAndARepeatedSequenceCountIsAnsweredAgainNotRunTwice) {
    std::atomic<int> runs{0};
    sim->Router().RegisterClass(0x64, [&runs](const plcsim::CipRequest& request) {
        EXPECT_NE(request.connection, nullptr);
        return plcsim::CipReply::Success({static_cast<uint8_t>(++runs)});
    });
    const uint32_t handle = client->Register();
    const std::vector<uint8_t> open = client->Unconnected(handle, ForwardOpen({}));
    ASSERT_EQ(open.size(), 4u + CIP_FO_REPLY_SIZE);
    const uint32_t otId = GetLittleEndian32(&open.at(4));
    EXPECT_NE(otId, 0x11111111u) << "the O->T ID is the target's own, not the one proposed";
    ASSERT_EQ(sim->Connections().size(), 1u);
    EXPECT_EQ(sim->Connections().front().otConnectionId, otId);
    const std::vector<uint8_t> request = {0x01, 0x02, 0x20, 0x64, 0x24, 0x01};
    const std::vector<uint8_t> first = client->Connected(handle, otId, 5, request);
    const std::vector<uint8_t> again = client->Connected(handle, otId, 5, request);
    const std::vector<uint8_t> next = client->Connected(handle, otId, 6, request);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first, again);
    EXPECT_EQ(GetLittleEndian32(&first.at(36)), 0x22222222u);  // T->O ID in the reply
    EXPECT_EQ(GetLittleEndian16(&first.at(44)), 5);            // sequence count echoed
    EXPECT_EQ(runs.load(), 2);
    EXPECT_EQ(next.back(), 2);
}

TEST_F(PlcsimTest, IdleConnectionTimesOutAfterFourRpis) {
    const uint32_t handle = client->Register();
    ForwardOpenFields quick;
    quick.rpiUs = 20000;  // 20 ms, time-out 80 ms
    ASSERT_EQ(CipStatus(client->Unconnected(handle, ForwardOpen(quick))).first, 0);
    ASSERT_EQ(sim->Connections().size(), 1u);
    EXPECT_TRUE(tb_test::WaitUntil([&] { return sim->Connections().empty(); }));
}

TEST_F(PlcsimTest, ForwardCloseOfAnUnknownTriadIsNotFound) {
    const auto close = tb_test::Hex("4E02 2006 2401 03FA 4200 0001 07000000 0300 0100 2002 2401");
    EXPECT_EQ(CipStatus(client->Unconnected(client->Register(), close)),
              std::make_pair(CIP_STATUS_CONNECTION_FAILURE, CIP_EXT_CONNECTION_NOT_FOUND));
}

TEST_F(PlcsimTest, UnRegisterSessionClosesTheConnectionAndItsClassThreeConnections) {
    const uint32_t handle = client->Register();
    client->Unconnected(handle, ForwardOpen({}));
    ASSERT_EQ(sim->Connections().size(), 1u);
    client->Send(EIP_CMD_UNREGISTER_SESSION, handle, {});
    EXPECT_TRUE(client->PeerClosed());
    EXPECT_TRUE(sim->Connections().empty());
}

TEST_F(PlcsimTest, FaultActsOnlyOnTheNthReplyOfItsCommand) {
    plcsim::Fault drop;
    drop.action = plcsim::FaultAction::Drop;
    drop.nth = 2;
    drop.command = EIP_CMD_SEND_RR_DATA;
    sim->InjectFault(drop);
    const uint32_t handle = client->Register();  // not counted: another command
    EXPECT_FALSE(client->Unconnected(handle, kIdentityRequest).empty());
    EXPECT_TRUE(client->Unconnected(handle, kIdentityRequest).empty());  // waits, dropped
    EXPECT_FALSE(client->Unconnected(handle, kIdentityRequest).empty());
}

TEST_F(PlcsimTest, StopClosesItsClients) {
    client->Register();
    sim->Stop();
    EXPECT_TRUE(client->PeerClosed());
}

// ---- The program -------------------------------------------------------------------------------

TEST(PlcsimProgramTest, StartsAControllerThatAnswersItsIdentity) {
    tb_test::ChildProcess plcsim(
        PLCSIM_PATH, {"--port", "0", "--slot", "2", "--name", "Test PLC", "--vendor", "9"});
    unsigned port = 0;
    ASSERT_TRUE(tb_test::WaitUntil([&] {
        const std::string output = plcsim.Output();
        const size_t at = output.find("127.0.0.1:");
        return at != std::string::npos &&
               std::sscanf(output.c_str() + at, "127.0.0.1:%u", &port) == 1;
    })) << plcsim.Output();
    {
        RawClient client(static_cast<uint16_t>(port));
        ASSERT_TRUE(client.connected);
        const uint32_t handle = client.Register();
        std::vector<uint8_t> request = {0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x07, 0x07, 6, 0};
        request.insert(request.end(), kIdentityRequest.begin(), kIdentityRequest.end());
        request.insert(request.end(), {1, 0, 1, 2});
        const std::vector<uint8_t> reply = client.Unconnected(handle, request);
        ASSERT_GE(reply.size(), 4u + 15u + 8u);
        EXPECT_EQ(GetLittleEndian16(&reply[4]), 9);
        EXPECT_EQ(std::string(reply.end() - 8, reply.end()), "Test PLC");
    }
    // The program sleeps until a signal comes (no periodic wake-up) and ends on SIGTERM.
    plcsim.Signal(SIGTERM);
    const std::optional<int> status = plcsim.Wait();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

}  // namespace
