// Making connections by protocol family and the reachability test of the actions.

#include <gtest/gtest.h>

#include "eip_test_support.h"

using namespace eiptest;

namespace {

TEST(ConnectionFactoryTest, UnknownFamilyGivesNullAndIsLogged) {
    LogCapture log;
    const _eipConnectInfo info = InfoFor(44818);
    EXPECT_EQ(EipConnection::Create(static_cast<eipProtocolFamily_t>(2), &info), nullptr);
    EXPECT_TRUE(log.Contains("Failed to create connection: family not supported (2)")) << log.All();
}

// The reachability test of the actions: a registered connection, or "Can't connect to PLC." when
// nothing listens or the PLC never registers a session (its socket then released).
TEST(TestConnectionTest, ReachablePlcGivesARegisteredConnectionOthersTheConnectError) {
    auto sim = StartSimulator();
    ASSERT_NE(sim, nullptr);
    std::string error = "untouched";
    std::unique_ptr<EipConnection> connection(
        EipConnection::MakeTestConnection(InfoFor(sim->Port()), error));
    ASSERT_NE(connection, nullptr);
    EXPECT_NE(connection->GetSessionHandle(), 0u);
    EXPECT_EQ(error, "untouched");
    connection.reset();

    EXPECT_EQ(EipConnection::MakeTestConnection(InfoFor(ClosedLoopbackPort()), error), nullptr);
    EXPECT_EQ(error, "Can't connect to PLC.");
    plcsim::Fault silence;
    silence.action = plcsim::FaultAction::Drop;
    silence.count = 0;
    sim->InjectFault(silence);
    error.clear();
    EXPECT_EQ(EipConnection::MakeTestConnection(InfoFor(sim->Port()), error), nullptr);
    EXPECT_EQ(error, "Can't connect to PLC.");
    EXPECT_TRUE(WaitUntil([&] { return sim->ClientCount() == 0; }));
}

}  // namespace
