// Connection identifiers: nobody can tell the next one from those seen before.

#include <gtest/gtest.h>

#include <set>

#include "eip/eip_connection.h"

namespace {

TEST(ConnectionIdTest, IdentifiersAndSerialsAreRandomAndNeverZero) {
    std::set<uint32_t> ids;
    std::set<uint16_t> serials;
    for (int i = 0; i < 64; ++i) {
        ids.insert(EipConnection::MakeConnectionID());
        serials.insert(EipConnection::MakeConnectionSerial());
    }
    EXPECT_EQ(ids.count(0), 0u);
    EXPECT_EQ(serials.count(0), 0u);
    EXPECT_EQ(ids.size(), 64u);
    EXPECT_GT(*ids.rbegin() - *ids.begin(), 64u) << "consecutive, as a counter makes them";
    EXPECT_GT(*serials.rbegin() - *serials.begin(), 64) << "consecutive, as a counter makes them";
}

}  // namespace
