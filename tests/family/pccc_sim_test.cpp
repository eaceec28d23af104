// The simulated PLC5's data table and Execute PCCC handler on their own: the replies and
// refusals a client sees, and the protocol errors recorded for malformed commands.

#include <gtest/gtest.h>

#include <vector>

#include "family/pccc_tagdata.h"
#include "family/pccc_wire.h"
#include "sim/pccc_services.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kPcccPath{CIP_SEG_CLASS_8, CIP_CLASS_PCCC, CIP_SEG_INSTANCE_8, 0x01};
const Bytes kRequesterId{0x07, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44};

class PcccSimTest : public ::testing::Test {
  protected:
    static plcsim::SimConfig Config() {
        plcsim::SimConfig config;
        config.port = 0;
        return config;
    }

    // Runs Execute PCCC with the requester ID and the command bytes (CMD onwards).
    plcsim::CipReply Execute(const Bytes& command, uint8_t service = CIP_SVC_EXECUTE_PCCC,
                             const Bytes& path = kPcccPath) {
        Bytes data = kRequesterId;
        data.insert(data.end(), command.begin(), command.end());
        plcsim::CipRequest request;
        request.service = service;
        request.path = ByteView{path.data(), path.size()};
        request.data = ByteView{data.data(), data.size()};
        return plc.Sim().Router().Route(request);
    }
    // The PCCC reply after the echoed requester ID.
    static Bytes Pccc(const plcsim::CipReply& reply) {
        EXPECT_EQ(reply.generalStatus, CIP_STATUS_SUCCESS);
        EXPECT_GE(reply.data.size(), kRequesterId.size());
        EXPECT_EQ(Bytes(reply.data.begin(), reply.data.begin() + 7), kRequesterId);
        return Bytes(reply.data.begin() + 7, reply.data.end());
    }

    plcsim::PcccController plc{Config()};
};

TEST_F(PcccSimTest, TypedReadAnswersTheBytesWithTheEchoedTns) {
    ASSERT_TRUE(plc.Table().SetInt(7, 3, 0x1234));
    EXPECT_EQ(Pccc(Execute({0x0F, 0, 0x34, 0x12, 0xA2, 2, 7, 0x89, 3, 0})),
              (Bytes{0x4F, 0, 0x34, 0x12, 0x34, 0x12}));
    // Several elements in one read, and a file number in the 3-byte form.
    ASSERT_TRUE(plc.Table().DefineFile(300, PCCC_DATA_TYPE_INTEGER, 4));
    ASSERT_TRUE(plc.Table().SetInt(300, 1, 7));
    EXPECT_EQ(Pccc(Execute({0x0F, 0, 1, 0, 0xA2, 4, 0xFF, 0x2C, 0x01, 0x89, 0, 0})),
              (Bytes{0x4F, 0, 1, 0, 0, 0, 7, 0}));
    EXPECT_TRUE(plc.Sim().ProtocolErrors().empty());
}

TEST_F(PcccSimTest, BadAddressesGetExtendedStatuses) {
    struct Case {
        Bytes command;
        uint8_t ext;
    };
    const Case cases[] = {
        {{0x0F, 0, 9, 0, 0xA2, 2, 7, 0x89, 64, 0}, PCCC_EXT_UNUSABLE_ADDRESS},    // past the end
        {{0x0F, 0, 9, 0, 0xA2, 2, 21, 0x89, 0, 0}, PCCC_EXT_UNUSABLE_ADDRESS},    // no file
        {{0x0F, 0, 9, 0, 0xA2, 4, 7, 0x8A, 0, 0}, PCCC_EXT_ILLEGAL_DATA_TYPE},    // N as F
        {{0x0F, 0, 9, 0, 0xA2, 0, 7, 0x89, 0, 0}, PCCC_EXT_ILLEGAL_FIELD_VALUE},  // 0 bytes
        {{0x0F, 0, 9, 0, 0xA2, 250, 7, 0x89, 0, 0}, PCCC_EXT_DATA_TOO_LARGE},     // too long
        {{0x0F, 0, 9, 0, 0xAA, 2, 7, 0x89, 64, 0, 1, 0}, PCCC_EXT_UNUSABLE_ADDRESS},  // write
    };
    for (const Case& k : cases) {
        EXPECT_EQ(Pccc(Execute(k.command)), (Bytes{0x4F, 0xF0, 9, 0, k.ext}));
    }
    EXPECT_TRUE(plc.Sim().ProtocolErrors().empty()) << "a bad address is not a bad request";
}

TEST_F(PcccSimTest, MaskedWriteTouchesOnlyTheMaskedBits) {
    ASSERT_TRUE(plc.Table().SetInt(3, 0, 0x00F0));
    EXPECT_EQ(Pccc(Execute({0x0F, 0, 2, 0, 0xAB, 2, 3, 0x85, 0, 0, 0x0F, 0x01, 0x05, 0xFF})),
              (Bytes{0x4F, 0, 2, 0}));
    // bits 0-3 and 8 from the value (0101 and 1), the rest kept: 0x01F5.
    EXPECT_EQ(plc.Table().GetInt(3, 0), 0x01F5);
}

TEST_F(PcccSimTest, MalformedCommandsGetSts10AndAreRecorded) {
    const Bytes cases[] = {
        {0x0F, 0, 1, 0, 0xA2, 2, 7},                    // cut inside the address
        {0x0E, 0, 1, 0, 0xA2, 2, 7, 0x89, 0, 0},        // another command
        {0x0F, 0, 1, 0, 0xA1, 2, 7, 0x89, 0, 0},        // another function
        {0x0F, 0, 1, 0, 0xA2, 2, 7, 0x89, 0, 0, 9},     // read with trailing bytes
        {0x0F, 0, 1, 0, 0xAA, 2, 7, 0x89, 0, 0, 1},     // write shorter than its byte size
        {0x0F, 0, 1, 0, 0xAB, 2, 3, 0x85, 0, 0, 1, 0},  // masked write without its value
    };
    for (const Bytes& command : cases) {
        const Bytes reply = Pccc(Execute(command));
        ASSERT_GE(reply.size(), 2u);
        EXPECT_EQ(reply[1], PCCC_STS_ILLEGAL_COMMAND);
    }
    EXPECT_EQ(plc.Sim().ProtocolErrors().size(), std::size(cases));
    EXPECT_EQ(plc.Table().GetInt(7, 0), 0) << "nothing was written";
}

TEST_F(PcccSimTest, WrongServicePathOrRequesterIdIsACipError) {
    const Bytes read{0x0F, 0, 1, 0, 0xA2, 2, 7, 0x89, 0, 0};
    EXPECT_EQ(Execute(read, 0x4C).generalStatus, CIP_STATUS_SERVICE_NOT_SUPPORTED);
    EXPECT_EQ(Execute(read, CIP_SVC_EXECUTE_PCCC, {0x20, 0x67, 0x24, 0x02}).generalStatus,
              CIP_STATUS_OBJECT_DOES_NOT_EXIST);
    plcsim::CipRequest request;
    request.service = CIP_SVC_EXECUTE_PCCC;
    request.path = ByteView{kPcccPath.data(), kPcccPath.size()};
    const Bytes longId{0x20, 0x00};
    request.data = ByteView{longId.data(), longId.size()};
    EXPECT_EQ(plc.Sim().Router().Route(request).generalStatus, CIP_STATUS_NOT_ENOUGH_DATA);
}

TEST(PcccDataTableTest, OnlyKnownFileTypesAndWholeElementsAreAccepted) {
    plcsim::PcccDataTable table;
    EXPECT_FALSE(table.DefineFile(4, 0x86, 10)) << "timer files are not offered";
    EXPECT_FALSE(table.SetInt(8, 0, 1)) << "an INT into a REAL file";
    EXPECT_FALSE(table.SetInt(7, 64, 1)) << "past the end";
    EXPECT_FALSE(table.GetInt(12, 0).has_value());
    EXPECT_TRUE(table.SetDint(9, 63, -1));
    EXPECT_EQ(table.GetDint(9, 63), -1);
}

}  // namespace
