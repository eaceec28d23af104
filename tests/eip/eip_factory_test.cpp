// Making connections by protocol family and the reachability test of the actions.

#include <gtest/gtest.h>

#include "eip_test_support.h"

using namespace eiptest;

namespace {

TEST(ConnectionFactoryTest, UnknownFamilyGivesNullAndIsLogged) {
    LogCapture log;
    const _eipConnectInfo info = InfoFor(44818);
    EXPECT_EQ(EipConnection::Create(static_cast<eipProtocolFamily_t>(2), &info), nullptr);
    EXPECT_TRUE(HasLineEndingWith(
        log, ": ERROR - Create: Failed to create connection: family not supported (2)"))
        << log.All();
}

TEST(ConnectionFactoryTest, LogixFamilyMakesAConnectionWithTheInfo) {
    const _eipConnectInfo info = InfoFor(1234, 2);
    std::unique_ptr<EipConnection> connection(
        EipConnection::Create(EIP_PROTOCOL_FAMILY_CIP, &info));
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->GetProtocolFamily(), EIP_PROTOCOL_FAMILY_CIP);
    EXPECT_TRUE(connection->IsEMEnabled());
    EXPECT_EQ(connection->GetConnectionInfo().port, 1234);
    EXPECT_EQ(connection->GetConnectionInfo().slot, 2);
    EXPECT_EQ(connection->GetSocketFd(), -1);
    EXPECT_EQ(connection->GetSessionHandle(), 0u);
}

TEST(TestConnectionTest, ReachablePlcGivesARegisteredConnection) {
    auto sim = StartSimulator();
    ASSERT_NE(sim, nullptr);
    std::string error = "untouched";
    std::unique_ptr<EipConnection> connection(
        EipConnection::MakeTestConnection(InfoFor(sim->Port()), error));
    ASSERT_NE(connection, nullptr);
    EXPECT_GE(connection->GetSocketFd(), 0);
    EXPECT_NE(connection->GetSessionHandle(), 0u);
    EXPECT_EQ(error, "untouched");
}

TEST(TestConnectionTest, UnreachablePlcGivesTheConnectError) {
    std::string error;
    EXPECT_EQ(EipConnection::MakeTestConnection(InfoFor(ClosedLoopbackPort()), error), nullptr);
    EXPECT_EQ(error, "Can't connect to PLC.");
}

TEST(TestConnectionTest, PlcThatNeverRegistersGivesTheConnectError) {
    auto sim = StartSimulator();
    ASSERT_NE(sim, nullptr);
    plcsim::Fault silence;
    silence.action = plcsim::FaultAction::Drop;
    silence.count = 0;
    sim->InjectFault(silence);
    std::string error;
    EXPECT_EQ(EipConnection::MakeTestConnection(InfoFor(sim->Port()), error), nullptr);
    EXPECT_EQ(error, "Can't connect to PLC.");
    EXPECT_TRUE(WaitUntil([&] { return sim->ClientCount() == 0; }));  // socket released
}

}  // namespace
