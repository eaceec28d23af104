// The connection identifier generator on its first use in a process (this test binary runs
// nothing before it).

#include <gtest/gtest.h>

#include "eip/eip_connection.h"

namespace {

TEST(ConnectionIdTest, FirstTwoIdentifiersOfTheProcessDifferByOneAndEndIn0001) {
    const uint32_t first = EipConnection::MakeConnectionID();
    const uint32_t second = EipConnection::MakeConnectionID();
    EXPECT_EQ(first & 0xFFFF, 0x0001u);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(EipConnection::MakeConnectionID(), first + 2);
}

}  // namespace
