// Connection identifiers: nobody can tell the next one from those seen before.

#include <gtest/gtest.h>

#include <set>

#include "eip/eip_connection.h"

namespace {

TEST(ConnectionIdTest, IdentifiersAndSerialsAreRandomAndNeverZero) {
    std::set<uint32_t> ids;
    std::set<uint32_t> serials;
    for (int i = 0; i < 64; ++i) {
        ids.insert(EipConnection::MakeConnectionID());
        serials.insert(EipConnection::MakeConnectionSerial());
    }
    EXPECT_EQ(ids.size(), 64u);
    for (const auto& drawn : {ids, serials}) {
        EXPECT_NE(*drawn.begin(), 0u);
        EXPECT_GT(*drawn.rbegin() - *drawn.begin(), 64u) << "consecutive, as a counter makes them";
    }
}

}  // namespace
