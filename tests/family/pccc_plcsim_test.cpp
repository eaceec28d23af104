// The PCCC connection against the simulated PLC5 on loopback: identity, test reads, a poll of
// several files, writes read back, masked bit writes and the PLC's refusal of bad addresses.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "family/pccc_connection.h"
#include "family/pccc_wire_support.h"
#include "sim/pccc_services.h"
#include "support/log_capture.h"

using pccc_test::MakeTag;

namespace {

class PcccPlcsimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Sim().Start()) << plc.Sim().LastStartError();
        _eipConnectInfo info;
        info.alias = "plc5";
        info.host = "127.0.0.1";
        info.port = plc.Sim().Port();
        info.family = EIP_PROTOCOL_FAMILY_PCCC;
        connection.reset(EipConnection::Create(EIP_PROTOCOL_FAMILY_PCCC, &info));
        ASSERT_NE(connection, nullptr);
        ASSERT_EQ(connection->Connect(info.host, info.port, 2), 0);
        ASSERT_EQ(connection->RegiSession(2), 0);
    }
    void TearDown() override {
        const std::vector<std::string> errors = plc.Sim().ProtocolErrors();
        EXPECT_TRUE(errors.empty()) << "first refusal: " << errors.front();
    }

    static plcsim::SimConfig Config() {
        plcsim::SimConfig config;
        config.bindAddress = "127.0.0.1";
        config.port = 0;
        config.identity.productName = "PLC-5/40E";
        return config;
    }

    EipTag* Tag(const std::string& address) {
        tags.push_back(MakeTag(address));
        EXPECT_NE(tags.back(), nullptr) << address;
        return tags.back().get();
    }
    // Test read of the address; the record's bytes (empty on failure).
    std::vector<uint8_t> Read(const std::string& address) {
        EipTag* tag = Tag(address);
        if (connection->TestEMTag(tag, response) != 0) {
            return {};
        }
        const EIPC_TAG_REPLY_STRUCT& r = response.replies[0];
        return r.data;
    }
    int Write(const std::string& address, const std::vector<uint8_t>& value) {
        EipTag* tag = Tag(address);
        return connection->WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(),
                                          static_cast<uint16_t>(value.size()));
    }

    plcsim::PcccController plc{Config()};
    std::unique_ptr<EipConnection> connection;
    std::vector<std::unique_ptr<EipTag>> tags;
    EIPC_TAG_REQUEST_STRUCT response{};
};

TEST_F(PcccPlcsimTest, IdentityOfThePlc5IsRead) {
    _eipProductInfo info;
    ASSERT_EQ(connection->ReadPLCProductInfo(3, info), 0);
    EXPECT_EQ(info.productName, "PLC-5/40E");
    EXPECT_EQ(info.vendorId, plc.Sim().Config().identity.vendorId);
}

TEST_F(PcccPlcsimTest, TestReadReturnsTheElementAndItsType) {
    ASSERT_TRUE(plc.Table().SetInt(7, 0, 42));
    EXPECT_EQ(Read("N7:0"), (std::vector<uint8_t>{42, 0}));
    EXPECT_EQ(response.replies[0].dataType, 0xC3);
}

TEST_F(PcccPlcsimTest, PollReadsEveryTagInTurnAndWrapsToTheStart) {
    ASSERT_TRUE(plc.Table().SetInt(7, 1, -2));
    ASSERT_TRUE(plc.Table().SetReal(8, 2, 1.5f));
    ASSERT_TRUE(plc.Table().SetDint(9, 3, 100000));
    ASSERT_TRUE(plc.Table().SetInt(3, 0, 0x0020));
    std::vector<EipTag*> list{Tag("N7:1"), Tag("F8:2"), Tag("L9:3"), Tag("B3:0/5")};
    std::vector<std::vector<uint8_t>> values;
    size_t next = 0;
    do {
        const size_t sentIndex = next;
        ASSERT_EQ(connection->RequestEMTags(list, list.size(), next), 0);
        EIPC_TAG_REQUEST_STRUCT polled{};
        ASSERT_GT(connection->RecvEMTags(
                      polled, [&](uint16_t i) { return i < list.size() ? list[i] : nullptr; }),
                  0);
        ASSERT_EQ(polled.count, 1) << sentIndex;
        ASSERT_EQ(polled.replies[0].generalStatus, 0) << sentIndex;
        values.push_back(polled.replies[0].data);
    } while (next != 0);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0], (std::vector<uint8_t>{0xFE, 0xFF}));
    float real = 0;
    std::memcpy(&real, values[1].data(), sizeof real);
    EXPECT_EQ(real, 1.5f);
    EXPECT_EQ(eip_GetLitEndian32(values[2].data()), 100000u);
    EXPECT_EQ(values[3], (std::vector<uint8_t>{1, 0}));
}

TEST_F(PcccPlcsimTest, WrittenValuesReadBack) {
    ASSERT_EQ(Write("N7:5", {0x39, 0x30}), 0);
    EXPECT_EQ(plc.Table().GetInt(7, 5), 12345);
    EXPECT_EQ(Read("N7:5"), (std::vector<uint8_t>{0x39, 0x30}));
    uint8_t real[4];
    eip_PutLitEndianFloat(-3.25f, real);
    ASSERT_EQ(Write("F8:7", {real, real + 4}), 0);
    EXPECT_EQ(plc.Table().GetReal(8, 7), -3.25f);
    ASSERT_EQ(Write("L9:0", {0xFF, 0xFF, 0xFF, 0x7F}), 0);
    EXPECT_EQ(plc.Table().GetDint(9, 0), 0x7FFFFFFF);
    EXPECT_EQ(Read("L9:0"), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x7F}));
}

TEST_F(PcccPlcsimTest, BitWriteChangesOnlyThatBit) {
    ASSERT_TRUE(plc.Table().SetInt(3, 2, static_cast<int16_t>(0xFFDF)));
    ASSERT_EQ(Write("B3:2/5", {1, 0}), 0);
    EXPECT_EQ(plc.Table().GetInt(3, 2), static_cast<int16_t>(0xFFFF));
    EXPECT_EQ(Read("B3:2/5"), (std::vector<uint8_t>{1, 0}));
    ASSERT_EQ(Write("B3:2/0", {0, 0}), 0);
    EXPECT_EQ(plc.Table().GetInt(3, 2), static_cast<int16_t>(0xFFFE));
    EXPECT_EQ(Read("B3:2/0"), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(Read("B3:2/15"), (std::vector<uint8_t>{1, 0}));
}

TEST_F(PcccPlcsimTest, BadAddressesAreRefusedByThePlc) {
    tb_test::LogCapture log;
    // Past the end of N7, a file that does not exist, a file of another type.
    for (const char* address : {"N7:64", "N20:0", "F7:0"}) {
        EXPECT_TRUE(Read(address).empty()) << address;
        EXPECT_EQ(response.replies[0].generalStatus, PCCC_RECORD_STATUS_REFUSED) << address;
        EXPECT_EQ(response.replies[0].extStatus & 0xFF, PCCC_STS_EXTENDED) << address;
        EXPECT_EQ(Write(address, {1, 0, 0, 0}), -1) << address;
    }
    EXPECT_TRUE(log.Contains("Failed with pcccExtStatus=0x6"));
    EXPECT_TRUE(log.Contains("Failed with pcccExtStatus=0x11"));
    EXPECT_TRUE(log.Contains("N20:0: write refused by the PLC (STS 0xf0, EXT STS 0x6)"));
    // The session stays usable after the refusals.
    EXPECT_EQ(Read("N7:63"), (std::vector<uint8_t>{0, 0}));
}

TEST_F(PcccPlcsimTest, StringElementIsReadWhole) {
    EXPECT_EQ(Read("ST10:1").size(), 84u);
    EXPECT_EQ(response.replies[0].dataType, 0xD0);
}

}  // namespace
