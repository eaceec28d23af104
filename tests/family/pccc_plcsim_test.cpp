// The PCCC connection against the simulated PLC5 on loopback: identity, test reads, a poll of
// several files, writes read back, masked bit writes and the PLC's refusal of bad addresses.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "family/pccc_connection.h"
#include "family/wire_support.h"
#include "sim/pccc_services.h"

using wire_test::Bytes;

namespace {

class PcccPlcsimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Sim().Start()) << plc.Sim().LastStartError();
        _eipConnectInfo info;
        info.host = "127.0.0.1";
        info.port = plc.Sim().Port();
        info.family = EIP_PROTOCOL_FAMILY_PCCC;
        connection.reset(EipConnection::Create(EIP_PROTOCOL_FAMILY_PCCC, &info));
        ASSERT_EQ(connection->Connect(info.host, info.port, 2), 0);
        ASSERT_EQ(connection->RegiSession(2), 0);
    }
    void TearDown() override {
        const std::vector<std::string> errors = plc.Sim().ProtocolErrors();
        EXPECT_TRUE(errors.empty()) << "first refusal: " << errors.front();
    }

    static plcsim::SimConfig Config() {
        plcsim::SimConfig config;
        config.port = 0;
        config.identity.productName = "PLC-5/40E";
        return config;
    }

    EipTag* Tag(const std::string& address) { return tags.Add(wire_test::Plc5Tag(address)); }
    // Test read of the address; the record's bytes (empty on failure).
    Bytes Read(const std::string& address) {
        return connection->TestEMTag(Tag(address), response) == 0 ? response.replies[0].data
                                                                  : Bytes{};
    }
    int Write(const std::string& address, const Bytes& value) {
        EipTag* tag = Tag(address);
        return connection->WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(),
                                          static_cast<uint16_t>(value.size()));
    }

    plcsim::PcccController plc{Config()};
    std::unique_ptr<EipConnection> connection;
    wire_test::PollList tags;
    EIPC_TAG_REQUEST_STRUCT response{};
};

TEST_F(PcccPlcsimTest, IdentityAndTestReadsOfEachFileType) {
    _eipProductInfo info;
    ASSERT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.productName, "PLC-5/40E");
    ASSERT_TRUE(plc.Table().SetInt(7, 0, 42));
    EXPECT_EQ(Read("N7:0"), (Bytes{42, 0}));
    EXPECT_EQ(response.replies[0].dataType, 0xC3);
    EXPECT_EQ(Read("ST10:1").size(), 84u);
    EXPECT_EQ(response.replies[0].dataType, 0xD0);
}

TEST_F(PcccPlcsimTest, PollReadsEveryTagInTurnAndWrapsToTheStart) {
    ASSERT_TRUE(plc.Table().SetInt(7, 1, -2));
    ASSERT_TRUE(plc.Table().SetReal(8, 2, 1.5f));
    ASSERT_TRUE(plc.Table().SetDint(9, 3, 100000));
    ASSERT_TRUE(plc.Table().SetInt(3, 0, 0x0020));
    for (const char* address : {"N7:1", "F8:2", "L9:3", "B3:0/5"}) {
        Tag(address);
    }
    std::vector<Bytes> values;
    size_t next = 0;
    do {
        const size_t sentIndex = next;
        ASSERT_EQ(connection->RequestEMTags(tags.list, tags.list.size(), next), 0);
        EIPC_TAG_REQUEST_STRUCT polled{};
        const auto lookup = [&](uint16_t i) {
            return i < tags.list.size() ? tags.list[i] : nullptr;
        };
        ASSERT_GT(connection->RecvEMTags(polled, lookup), 0);
        ASSERT_EQ(polled.count, 1) << sentIndex;
        ASSERT_EQ(polled.replies[0].generalStatus, 0) << sentIndex;
        values.push_back(polled.replies[0].data);
    } while (next != 0);
    const Bytes real = {0x00, 0x00, 0xC0, 0x3F};
    EXPECT_EQ(values, (std::vector<Bytes>{{0xFE, 0xFF}, real, {0xA0, 0x86, 0x01, 0x00}, {1, 0}}));
}

TEST_F(PcccPlcsimTest, WrittenValuesAndBitsReadBack) {
    ASSERT_EQ(Write("N7:5", {0x39, 0x30}), 0);
    EXPECT_EQ(plc.Table().GetInt(7, 5), 12345);
    EXPECT_EQ(Read("N7:5"), (Bytes{0x39, 0x30}));
    ASSERT_EQ(Write("F8:7", {0x00, 0x00, 0x50, 0xC0}), 0);
    EXPECT_EQ(plc.Table().GetReal(8, 7), -3.25f);
    ASSERT_EQ(Write("L9:0", {0xFF, 0xFF, 0xFF, 0x7F}), 0);
    EXPECT_EQ(Read("L9:0"), (Bytes{0xFF, 0xFF, 0xFF, 0x7F}));
    // A bit write changes only that bit.
    ASSERT_TRUE(plc.Table().SetInt(3, 2, static_cast<int16_t>(0xFFDF)));
    ASSERT_EQ(Write("B3:2/5", {1, 0}), 0);
    EXPECT_EQ(plc.Table().GetInt(3, 2), static_cast<int16_t>(0xFFFF));
    ASSERT_EQ(Write("B3:2/0", {0, 0}), 0);
    EXPECT_EQ(plc.Table().GetInt(3, 2), static_cast<int16_t>(0xFFFE));
    EXPECT_EQ(Read("B3:2/0"), (Bytes{0, 0}));
    EXPECT_EQ(Read("B3:2/15"), (Bytes{1, 0}));
}

TEST_F(PcccPlcsimTest, BadAddressesAreRefusedByThePlc) {
    // Past the end of N7, a file that does not exist, a file of another type.
    for (const char* address : {"N7:64", "N20:0", "F7:0"}) {
        EXPECT_TRUE(Read(address).empty()) << address;
        EXPECT_EQ(response.replies[0].generalStatus, PCCC_RECORD_STATUS_REFUSED) << address;
        EXPECT_EQ(response.replies[0].extStatus & 0xFF, PCCC_STS_EXTENDED) << address;
        EXPECT_EQ(Write(address, {1, 0, 0, 0}), -1) << address;
    }
    // The session stays usable after the refusals.
    EXPECT_EQ(Read("N7:63"), (Bytes{0, 0}));
}

}  // namespace
