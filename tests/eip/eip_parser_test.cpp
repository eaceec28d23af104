// Request fronts and the reply parser on malformed bytes (well-formed replies are read by every
// session against plcsim in eip_connection_test and the round trips).

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/byte_codec.h"
#include "eip/eip_connection.h"
#include "support/hex.h"

namespace {

using tb_test::Hex;

// One received message: header fields plus CPF items, built as a controller would.
struct ReplyBuilder {
    uint16_t command = EIP_CMD_SEND_RR_DATA;
    uint32_t status = 0;
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> items;
    int lengthAdjust = 0;  // added to the encapsulation length written in the header

    std::vector<uint8_t> Bytes() const {
        ByteWriter body;
        body.u32(0).u16(0).u16(static_cast<uint16_t>(items.size()));
        for (const auto& item : items) {
            body.u16(item.first).u16(static_cast<uint16_t>(item.second.size())).bytes(item.second);
        }
        ByteWriter message;
        message.u16(command)
            .u16(static_cast<uint16_t>(static_cast<int>(body.size()) + lengthAdjust))
            .u32(0x1234)
            .u32(status)
            .zeros(8)
            .u32(0)
            .bytes(body.view());
        return message.to_vector();
    }
};

// Explicit reply bytes: service, reserved, status, ext size, ext words, data.
std::vector<uint8_t> ExplicitReply(uint8_t service, uint8_t status, std::vector<uint16_t> ext,
                                   std::vector<uint8_t> data, int extSizeOverride = -1) {
    ByteWriter writer;
    writer.u8(service).u8(0).u8(status).u8(
        static_cast<uint8_t>(extSizeOverride >= 0 ? extSizeOverride : ext.size()));
    for (uint16_t word : ext) {
        writer.u16(word);
    }
    writer.bytes(data);
    return writer.to_vector();
}

std::vector<uint8_t> Connected(uint32_t id) {
    std::vector<uint8_t> bytes(4);
    PutLittleEndian32(id, bytes.data());
    return bytes;
}

struct Parsed {
    int result;
    EncapsulationMessage encap{};
    std::unique_ptr<CpfMessage> cpf = std::make_unique<CpfMessage>();
    std::unique_ptr<ExplicitResponse> response = std::make_unique<ExplicitResponse>();
};

std::unique_ptr<Parsed> Parse(const std::vector<uint8_t>& message, uint32_t expectedId = 0) {
    auto parsed = std::make_unique<Parsed>();
    EipConnection::EipParseENCAP(message.data(), parsed->encap);
    parsed->result = EipConnection::EipParseUCMMRESP(expectedId, expectedId, parsed->encap,
                                                     *parsed->cpf, *parsed->response);
    return parsed;
}

TEST(RequestFrontTest, SendRRDataAndMessageRouterFrontsAreByteExactAndBounded) {
    uint8_t buffer[40];
    ASSERT_EQ(EipConnection::BuildEipRRDataHeader(buffer, sizeof buffer, 0xA1B2C3D4), 40);
    // Header (command, length, session, status, context, options), interface handle, time-out,
    // two items: the null address and an empty unconnected data item.
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 40),
              Hex("6F00 0000 D4C3B2A1 00000000 0000000000000000 00000000 00000000 0004 0200 "
                  "0000 0000 B200 0000"));
    EXPECT_EQ(EipConnection::BuildEipRRDataHeader(buffer, 39, 1), -1);
    EXPECT_EQ(EipConnection::BuildEipRRDataHeader(nullptr, 100, 1), -1);

    const UcmmRequest request{0x0E, 0x0102, 0x0304};
    ASSERT_EQ(EipConnection::BuildExplicitReqCommon(buffer, 6, &request), 6);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), Hex("0E 02 20 02 24 04"));
    EXPECT_EQ(EipConnection::BuildExplicitReqCommon(buffer, 5, &request), -1);
    EXPECT_EQ(EipConnection::BuildExplicitReqCommon(buffer, 6, nullptr), -1);
    EXPECT_EQ(EipConnection::BuildExplicitReqCommon(nullptr, 6, &request), -1);
}

TEST(ParserTest, MalformedRepliesAreRefused) {
    using Items = std::vector<std::pair<uint16_t, std::vector<uint8_t>>>;
    const uint16_t rr = EIP_CMD_SEND_RR_DATA;
    const Items good = {{0, {}}, {0xB2, ExplicitReply(0x81, 0, {}, {7})}};
    const std::pair<const char*, ReplyBuilder> cases[] = {
        {"non-zero encapsulation status", {rr, 1, good}},
        {"five items", {rr, 0, {{0, {}}, {0xB2, {0x81, 0, 0, 0}}, {0, {}}, {0, {}}, {0, {}}}}},
        {"null address alone", {rr, 0, {{0, {}}}}},
        {"no items", {}},
        {"last item past the encapsulation body", {rr, 0, good, -1}},
        {"item longer than the largest message",
         {rr, 0, {{0, {}}, {0xB2, std::vector<uint8_t>(CPF_MAX_ITEM_LENGTH + 1, 0)}}}},
        {"unconnected data with a connected address",
         {rr, 0, {{0xA1, Connected(1)}, {0xB2, ExplicitReply(0x81, 0, {}, {})}}}},
        {"empty unconnected data", {rr, 0, {{0, {}}, {0xB2, {}}}}},
        {"seventeen additional status words",
         {rr, 0, {{0, {}}, {0xB2, ExplicitReply(0x81, 1, std::vector<uint16_t>(17, 0xFFFF), {})}}}},
        {"additional status size beyond the item",
         {rr, 0, {{0, {}}, {0xB2, ExplicitReply(0x81, 1, {0x0100}, {}, 3)}}}},
        {"connected data shorter than its sequence count",
         {EIP_CMD_SEND_UNIT_DATA, 0, {{0xA1, Connected(1)}, {0xB1, {7}}}}},
        {"another encapsulation command", {EIP_CMD_REGISTER_SESSION, 0, good}},
    };
    for (const auto& [what, reply] : cases) {
        EXPECT_EQ(Parse(reply.Bytes(), 1)->result, -1) << what;
    }
    // Two bytes beyond the items.
    std::vector<uint8_t> longer = ReplyBuilder{rr, 0, good, 2}.Bytes();
    longer.resize(longer.size() + 2);
    EXPECT_EQ(Parse(longer)->result, -1);
}

TEST(SerialNumberTest, SerialIsCachedAndMatchesTheInterfaceAddress) {
    char name[256] = {};
    const int length = EipConnection::GetInterfaceName(255, name);
    ASSERT_GE(length, 0);
    const uint32_t serial = EipConnection::MakeSerialNumber();
    EXPECT_EQ(EipConnection::MakeSerialNumber(), serial);
    // No interface with a hardware address gives 0.
    EXPECT_EQ(serial, length > 0 ? EipConnection::MakeSerialNumberByMac(name) : 0u);
    EXPECT_EQ(EipConnection::MakeSerialNumberByMac("no-such-if0"), 0u);
    if (length >= 2) {
        char cut[256] = {};
        EXPECT_EQ(EipConnection::GetInterfaceName(1, cut), 1);
        EXPECT_EQ(std::string(cut), std::string(name, 1));
    }
}

}  // namespace
