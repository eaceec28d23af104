// Request fronts and the reply parser on hand-made bytes.

#include <gtest/gtest.h>

#include <memory>

#include "eip_test_support.h"

using namespace eiptest;

namespace {

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
    eip_PutLitEndian32(id, bytes.data());
    return bytes;
}

std::vector<uint8_t> WithSequence(uint16_t sequence, std::vector<uint8_t> reply) {
    std::vector<uint8_t> bytes(2);
    eip_PutLitEndian16(sequence, bytes.data());
    bytes.insert(bytes.end(), reply.begin(), reply.end());
    return bytes;
}

class ParserTest : public ::testing::Test {
  protected:
    int Parse(const std::vector<uint8_t>& message, uint32_t expectedId = 0) {
        stored = message;
        EipConnection::EipParseENCAP(stored.data(), encap);
        return EipConnection::EipParseUCMMRESP(expectedId, expectedId, encap, *cpf, *response);
    }

    LogCapture log;
    std::vector<uint8_t> stored;
    EIPS_ENCAP_MSG_STRUCT encap{};
    std::unique_ptr<CPF_MESSAGE_STRUCT> cpf = std::make_unique<CPF_MESSAGE_STRUCT>();
    std::unique_ptr<EXPLICIT_RESPONSE_STRUCT> response =
        std::make_unique<EXPLICIT_RESPONSE_STRUCT>();
};

TEST(RequestFrontTest, SendRRDataFrontIsTheFixed40Bytes) {
    uint8_t buffer[40];
    ASSERT_EQ(EipConnection::BuildEipRRDataHeader(buffer, sizeof buffer, 0xA1B2C3D4), 40);
    const uint8_t expected[40] = {0x6F, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1, 0,    0, 0, 0, 0, 0,
                                  0,    0, 0, 0, 0,    0,    0,    0,    0,    0, 0, 0, 0, 0,
                                  0x00, 4, 2, 0, 0,    0,    0,    0,    0xB2, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 40),
              std::vector<uint8_t>(expected, expected + 40));
}

TEST(RequestFrontTest, SendRRDataFrontRefusesAShortOrMissingBuffer) {
    LogCapture log;
    uint8_t buffer[39];
    EXPECT_EQ(EipConnection::BuildEipRRDataHeader(buffer, sizeof buffer, 1), -1);
    EXPECT_EQ(EipConnection::BuildEipRRDataHeader(nullptr, 100, 1), -1);
    EXPECT_EQ(
        log.Count(
            ": ERROR - BuildEipRRDataHeader: buffer is null or buffer length is lower than 40"),
        2u);
}

TEST(RequestFrontTest, MessageRouterFrontUsesTheLowBytesOfClassAndInstance) {
    uint8_t buffer[6];
    const EIPC_UCMM_REQUEST_STRUCT request{0x0E, 0x0102, 0x0304};
    ASSERT_EQ(EipConnection::BuildEmReqCommon(buffer, sizeof buffer, &request), 6);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6),
              (std::vector<uint8_t>{0x0E, 2, 0x20, 0x02, 0x24, 0x04}));
    EXPECT_EQ(EipConnection::BuildEmReqCommon(buffer, 5, &request), -1);
    EXPECT_EQ(EipConnection::BuildEmReqCommon(buffer, 6, nullptr), -1);
    EXPECT_EQ(EipConnection::BuildEmReqCommon(nullptr, 6, &request), -1);
}

TEST(EncapHeaderTest, HeaderFieldsAreReadLittleEndian) {
    const uint8_t header[24] = {0x70, 0,   0x10, 0x02, 1,   2,   3,   4,   5, 0, 0, 0,
                                'a',  'b', 'c',  'd',  'e', 'f', 'g', 'h', 9, 0, 0, 0};
    EIPS_ENCAP_MSG_STRUCT encap;
    EXPECT_EQ(EipConnection::EipParseENCAP(header, encap), 0x0210);
    EXPECT_EQ(encap.command, 0x70);
    EXPECT_EQ(encap.sessionHandle, 0x04030201u);
    EXPECT_EQ(encap.status, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(encap.senderContext), 8), "abcdefgh");
    EXPECT_EQ(encap.options, 9u);
    EXPECT_EQ(encap.data, header + 24);
}

TEST_F(ParserTest, UnconnectedReplyIsDecoded) {
    ReplyBuilder reply;
    reply.items = {{0, {}}, {0xB2, ExplicitReply(0x81, 0, {0x1234}, {1, 2, 3})}};
    ASSERT_EQ(Parse(reply.Bytes()), 0);
    EXPECT_EQ(cpf->itemCount, 2);
    EXPECT_EQ(response->service, 0x81);
    EXPECT_EQ(response->extStatusSize, 1);
    EXPECT_EQ(response->extStatus[0], 0x1234);
    ASSERT_EQ(response->dataLength, 3);
    EXPECT_EQ(response->data[2], 3);
}

TEST_F(ParserTest, NonZeroEncapsulationStatusIsRefused) {
    ReplyBuilder reply;
    reply.status = 1;
    reply.items = {{0, {}}, {0xB2, ExplicitReply(0x81, 0, {}, {})}};
    EXPECT_EQ(Parse(reply.Bytes()), -1);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - EipParseUCMMRESP: unexpected status : 1"));
}

TEST_F(ParserTest, FiveItemsAreRefused) {
    ReplyBuilder reply;
    reply.items = {{0, {}}, {0xB2, {0x81, 0, 0, 0}}, {0, {}}, {0, {}}, {0, {}}};
    EXPECT_EQ(Parse(reply.Bytes()), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected item count : 5"));
}

TEST_F(ParserTest, NullAddressItemAloneIsRefused) {
    ReplyBuilder reply;
    reply.items = {{0, {}}};
    EXPECT_EQ(Parse(reply.Bytes()), -1);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - EipParseUCMMRESP: unexpected response"));
}

TEST_F(ParserTest, NoItemsAreRefused) {
    ReplyBuilder reply;
    EXPECT_EQ(Parse(reply.Bytes()), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected response"));
}

TEST_F(ParserTest, ItemsShorterOrLongerThanTheEncapsulationAreRefused) {
    ReplyBuilder longer;
    longer.items = {{0, {}}, {0xB2, ExplicitReply(0x81, 0, {}, {7})}};
    longer.lengthAdjust = 2;  // two bytes beyond the items
    std::vector<uint8_t> bytes = longer.Bytes();
    bytes.resize(bytes.size() + 2);
    EXPECT_EQ(Parse(bytes), -1);

    ReplyBuilder shorter;
    shorter.items = {{0, {}}, {0xB2, ExplicitReply(0x81, 0, {}, {7})}};
    shorter.lengthAdjust = -1;  // the last item runs past the encapsulation body
    EXPECT_EQ(Parse(shorter.Bytes()), -1);
    EXPECT_EQ(log.Count("unexpected response"), 2u);
}

TEST_F(ParserTest, ItemLongerThanTheLargestMessageIsRefused) {
    ReplyBuilder reply;
    reply.items = {{0, {}}, {0xB2, std::vector<uint8_t>(CPF_MAX_ITEM_LENGTH + 1, 0)}};
    EXPECT_EQ(Parse(reply.Bytes()), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected : too big 1 Item : 4097Length"));
}

TEST_F(ParserTest, UnconnectedReplyNeedsNullAddressAndUnconnectedData) {
    ReplyBuilder wrongAddress;
    wrongAddress.items = {{0xA1, Connected(1)}, {0xB2, ExplicitReply(0x81, 0, {}, {})}};
    EXPECT_EQ(Parse(wrongAddress.Bytes()), -1);
    ReplyBuilder emptyData;
    emptyData.items = {{0, {}}, {0xB2, {}}};
    EXPECT_EQ(Parse(emptyData.Bytes()), -1);
}

// "Partial transfer" is the status of a fragment with more to come: the caller judges it.
TEST_F(ParserTest, PartialTransferIsDecodedWithItsData) {
    ReplyBuilder reply;
    reply.items = {{0, {}}, {0xB2, ExplicitReply(0xD2, 0x06, {}, {1, 2, 3, 4})}};
    EXPECT_EQ(Parse(reply.Bytes()), 0);
    EXPECT_EQ(response->generalStatus, 0x06);
    EXPECT_EQ(response->dataLength, 4);
}

TEST_F(ParserTest, MoreThanSixteenAdditionalStatusWordsAreRefused) {
    ReplyBuilder reply;
    reply.items = {{0, {}}, {0xB2, ExplicitReply(0x81, 1, std::vector<uint16_t>(17, 0xFFFF), {})}};
    EXPECT_EQ(Parse(reply.Bytes()), -1);
    EXPECT_EQ(response->extStatusSize, 17);  // read, but nothing written past extStatus
}

TEST_F(ParserTest, AdditionalStatusSizeBeyondTheItemIsRefused) {
    ReplyBuilder reply;
    reply.items = {{0, {}}, {0xB2, ExplicitReply(0x81, 1, {0x0100}, {}, 3)}};
    EXPECT_EQ(Parse(reply.Bytes()), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected response"));
}

TEST_F(ParserTest, ConnectedReplyToUsIsDecodedAfterItsSequenceCount) {
    ReplyBuilder reply;
    reply.command = EIP_CMD_SEND_UNIT_DATA;
    reply.items = {{0xA1, Connected(0xCAFE0001)},
                   {0xB1, WithSequence(7, ExplicitReply(0x8A, 0, {}, {9, 8}))}};
    ASSERT_EQ(Parse(reply.Bytes(), 0xCAFE0001), 0);
    EXPECT_EQ(response->service, 0x8A);
    EXPECT_EQ(response->dataLength, 2);
    EXPECT_EQ(eip_GetLitEndian16(cpf->items[1].data), 7);
}

TEST_F(ParserTest, ConnectedReplyOnAnotherConnectionIsDecodedButRefused) {
    ReplyBuilder reply;
    reply.command = EIP_CMD_SEND_UNIT_DATA;
    reply.items = {{0xA1, Connected(0xCAFE0002)},
                   {0xB1, WithSequence(7, ExplicitReply(0x8A, 0, {}, {9, 8}))}};
    EXPECT_EQ(Parse(reply.Bytes(), 0xCAFE0001), -1);
    EXPECT_EQ(response->service, 0x8A);
    EXPECT_EQ(response->dataLength, 2);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected response"));
}

TEST_F(ParserTest, ConnectedDataShorterThanItsSequenceCountIsRefused) {
    ReplyBuilder reply;
    reply.command = EIP_CMD_SEND_UNIT_DATA;
    reply.items = {{0xA1, Connected(1)}, {0xB1, {7}}};
    EXPECT_EQ(Parse(reply.Bytes(), 1), -1);
}

TEST_F(ParserTest, OtherEncapsulationCommandIsRefused) {
    ReplyBuilder reply;
    reply.command = EIP_CMD_REGISTER_SESSION;
    reply.items = {{0, {}}, {0xB2, ExplicitReply(0x81, 0, {}, {})}};
    EXPECT_EQ(Parse(reply.Bytes()), -1);
    EXPECT_TRUE(HasLineEndingWith(log, "unexpected response : encap command : 101"));
}

TEST(ResponseErrorLogTest, StatusWithAndWithoutAdditionalStatus) {
    LogCapture log;
    auto response = std::make_unique<EXPLICIT_RESPONSE_STRUCT>();
    response->generalStatus = 5;
    response->extStatusSize = 1;
    response->extStatus[0] = 0;
    EipConnection::logResponseError("read failed", *response);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - logResponseError: read failed (5, 0)"));
    response->extStatusSize = 0;
    EipConnection::logResponseError("read failed", *response);
    EXPECT_TRUE(HasLineEndingWith(log, ": ERROR - logResponseError: read failed (5)"));
}

TEST(ResponseErrorLogTest, NothingIsWrittenWithoutTheDebugLevel) {
    std::vector<std::string> lines;
    kestrel::strata_sdk::set_debug_level(-1);
    kestrel::strata_sdk::set_log_sink([&lines](const std::string& line) { lines.push_back(line); });
    auto response = std::make_unique<EXPLICIT_RESPONSE_STRUCT>();
    EipConnection::logResponseError("quiet", *response);
    kestrel::strata_sdk::set_log_sink({});
    kestrel::strata_sdk::set_debug_level(0);
    EXPECT_TRUE(lines.empty());
}

TEST(SerialNumberTest, SerialIsCachedAndMatchesTheInterfaceAddress) {
    char name[256] = {};
    const int length = EipConnection::getInterfaceName(255, name);
    ASSERT_GE(length, 0);
    const uint32_t serial = EipConnection::makeSerialNumber();
    EXPECT_EQ(EipConnection::makeSerialNumber(), serial);
    if (length > 0) {
        EXPECT_EQ(serial, EipConnection::makeSerialNumberByMac(name));
    } else {
        EXPECT_EQ(serial, 0u);  // no interface with a hardware address
    }
    EXPECT_EQ(EipConnection::makeSerialNumberByMac("no-such-if0"), 0u);
}

TEST(SerialNumberTest, InterfaceNameIsCutToTheMaximumLength) {
    char full[256] = {};
    const int length = EipConnection::getInterfaceName(255, full);
    if (length < 2) {
        GTEST_SKIP() << "no non-loopback interface with a name of two characters or more";
    }
    char cut[256] = {};
    EXPECT_EQ(EipConnection::getInterfaceName(1, cut), 1);
    EXPECT_EQ(std::string(cut), std::string(full, 1));
}

}  // namespace
