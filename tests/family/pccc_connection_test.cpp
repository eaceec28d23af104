// Wire bytes of the PCCC connection (reads, writes, masked bit writes, identity) and the
// decoding of Execute PCCC replies, hostile ones included.

#include "family/pccc_connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "family/pccc_wire_support.h"
#include "support/log_capture.h"

using namespace pccc_test;

namespace {

// SendRRData front of a request of `total` bytes (lengths patched, session kSession) with its
// sender context (0 before it is sent).
Bytes RRFront(size_t total, uint64_t context = 0) {
    ByteWriter w;
    w.u16(EIP_CMD_SEND_RR_DATA).u16(static_cast<uint16_t>(total - 24)).u32(kSession).u32(0);
    w.u32(static_cast<uint32_t>(context))
        .u32(static_cast<uint32_t>(context >> 32))
        .u32(0)
        .u32(0)
        .u16(CPF_REQUEST_TIMEOUT)
        .u16(2)
        .u16(0)
        .u16(0);
    w.u16(CPF_ITEM_UNCONNECTED_DATA).u16(static_cast<uint16_t>(total - 40));
    return w.to_vector();
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Bytes 40.. of a PCCC request: Execute PCCC to the PCCC object, requester ID, CMD, STS, TNS.
Bytes PcccFront(uint16_t tns, uint8_t function) {
    return {0x4B,
            0x02,
            0x20,
            0x67,
            0x24,
            0x01,
            0x07,
            0x00,
            0x00,
            0x11,
            0x22,
            0x33,
            0x44,
            0x0F,
            0x00,
            static_cast<uint8_t>(tns & 0xFF),
            static_cast<uint8_t>(tns >> 8),
            function};
}

struct Tags {
    std::vector<std::unique_ptr<EipTag>> owned;
    std::vector<EipTag*> list;
    EipTag* Add(const std::string& address) {
        owned.push_back(MakeTag(address));
        list.push_back(owned.back().get());
        return owned.back().get();
    }
};

class PcccWireTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GE(c.peer, 0); }

    // AnalyzeTagResp of reply data for the tag (the awaited transaction set by a test read).
    int Analyze(const Bytes& data, EipTag* tag) {
        return c.AnalyzeTagResp(Explicit(data), response, [tag](uint16_t) { return tag; });
    }
    // Runs a test read of the tag against a queued reply; the request it sent.
    Bytes TestRead(EipTag* tag, const Bytes& replyData, int& result) {
        c.Answer(RRDataReply(replyData));
        result = c.TestEMTag(tag, response);
        return c.TakeRequest();
    }

    WireConnection c;
    EIPC_TAG_REQUEST_STRUCT response{};
};

// ---- Requests ------------------------------------------------------------------------------

TEST_F(PcccWireTest, ReadOfN7_0WithTns5IsTheDocumented63Bytes) {
    auto tag = MakeTag("N7:0");
    ASSERT_NE(tag, nullptr);
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int length = c.createTagRequest(buffer, sizeof buffer, 5, tag->GetTagData());
    ASSERT_EQ(length, 63);
    const Bytes expected =
        Cat(Cat(RRFront(63), PcccFront(5, PCCC_FNC_TYPED_READ)), {0x02, 0x07, 0x89, 0x00, 0x00});
    EXPECT_EQ(Bytes(buffer, buffer + length), expected);
}

TEST_F(PcccWireTest, ReadRequestCarriesLongFileAndElementNumbersAndZeroSubElement) {
    auto tag = MakeTag("B300:1000/7");
    ASSERT_NE(tag, nullptr);
    uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
    const int length = c.createTagRequest(buffer, sizeof buffer, 0x1234, tag->GetTagData());
    ASSERT_EQ(length, 58 + 9);
    EXPECT_EQ(Bytes(buffer + 55, buffer + length),
              (Bytes{0x34, 0x12, 0xA2, 0x02, 0xFF, 0x2C, 0x01, 0x85, 0xFF, 0xE8, 0x03, 0x00}));
}

TEST_F(PcccWireTest, ReadRequestIsRefusedWhenTheBufferCannotHoldIt) {
    tb_test::LogCapture log;
    auto tag = MakeTag("N7:0");
    uint8_t small[60] = {};
    EXPECT_EQ(c.createTagRequest(small, sizeof small, 1, tag->GetTagData()), -1);
    EXPECT_TRUE(log.Contains("failed to copy tag data"));
    EXPECT_EQ(c.createTagRequest(small, 20, 1, tag->GetTagData()), -1);
    EXPECT_TRUE(log.Contains("failed building a Eip RRDataHeader"));
}

TEST_F(PcccWireTest, PollSendsOneReadPerTagWithItsIndexAsTnsAndWrapsAtTheEnd) {
    Tags tags;
    tags.Add("N7:0");
    tags.Add("F8:3");
    tags.Add("L9:2");
    size_t next = 0;
    for (uint16_t expectedTns : {0, 1, 2, 0}) {
        ASSERT_EQ(c.RequestEMTags(tags.list, tags.list.size(), next), 0);
        const Bytes sent = c.TakeRequest();
        ASSERT_GE(sent.size(), 63u);
        EXPECT_EQ(eip_GetLitEndian16(sent.data() + 55), expectedTns);
        EXPECT_EQ(sent[57], PCCC_FNC_TYPED_READ);
        EXPECT_EQ(next, (expectedTns + 1u) % 3u);
    }
    EXPECT_TRUE(c.NothingSent());
}

TEST_F(PcccWireTest, PollRefusesAnIndexOutsideTheListAndSendsNothing) {
    tb_test::LogCapture log;
    Tags tags;
    tags.Add("N7:0");
    size_t next = 1;
    EXPECT_EQ(c.RequestEMTags(tags.list, 1, next), -1);
    EXPECT_TRUE(log.Contains("Tag index (1) is greater than tags count 1"));
    next = 70000;
    EXPECT_EQ(c.RequestEMTags(tags.list, 1, next), -1);
    EXPECT_TRUE(log.Contains("Tag index (70000) is greater than 65535"));
    EXPECT_TRUE(c.NothingSent());
}

TEST_F(PcccWireTest, PollMovesOnEvenWhenTheSendFails) {
    Tags tags;
    tags.Add("N7:0");
    tags.Add("N7:1");
    c.SetSendFunc([](int, const void*, size_t, int) -> ssize_t { return -1; });
    size_t next = 0;
    EXPECT_EQ(c.RequestEMTags(tags.list, 2, next), -1);
    EXPECT_EQ(next, 1u);
}

// ---- Read replies --------------------------------------------------------------------------

TEST_F(PcccWireTest, BitOfAB3WordIsStoredAsBool) {
    auto tag = MakeTag("B3:0/5");
    int result = 0;
    TestRead(tag.get(), PcccReplyData(0, 1, {0x20, 0x00}), result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(response.count, 1);
    EXPECT_EQ(response.replies[0].dataType, 0xC1);
    EXPECT_EQ(response.replies[0].dataLength, 2);
    EXPECT_EQ(response.replies[0].data, (Bytes{1, 0}));

    TestRead(tag.get(), PcccReplyData(0, 1, {0xDF, 0xFF}), result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(response.replies[0].data, (Bytes{0, 0}));
}

TEST_F(PcccWireTest, EachFileTypeMapsToItsCipTypeAndLength) {
    struct Case {
        const char* address;
        uint16_t cipType;
        uint16_t length;
    };
    for (const Case& k : {Case{"N7:0", 0xC3, 2}, Case{"F8:0", 0xCA, 4}, Case{"L9:0", 0xC4, 4},
                          Case{"ST10:0", 0xD0, 84}}) {
        auto tag = MakeTag(k.address);
        Bytes value(k.length);
        for (size_t i = 0; i < value.size(); ++i) {
            value[i] = static_cast<uint8_t>(i + 1);
        }
        int result = -1;
        const Bytes sent = TestRead(tag.get(), PcccReplyData(0, 1, value), result);
        ASSERT_EQ(result, 0) << k.address;
        EXPECT_EQ(eip_GetLitEndian16(sent.data() + 55), PcccConnection::kTestReadTns);
        EXPECT_EQ(response.replies[0].dataType, k.cipType) << k.address;
        EXPECT_EQ(response.replies[0].dataLength, k.length) << k.address;
        EXPECT_EQ(response.replies[0].data, value);
    }
}

TEST_F(PcccWireTest, ShortReplyIsZeroPaddedAndLongReplyIsCutToTheElement) {
    auto tag = MakeTag("L9:4");
    int result = -1;
    TestRead(tag.get(), PcccReplyData(0, 1, {0xAA}), result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(response.replies[0].dataLength, 4);
    EXPECT_EQ(response.replies[0].data, (Bytes{0xAA, 0, 0, 0}));

    TestRead(tag.get(), PcccReplyData(0, 1, {1, 2, 3, 4, 5, 6, 7}), result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(response.replies[0].dataLength, 4);
    EXPECT_EQ(response.replies[0].data, (Bytes{1, 2, 3, 4}));
}

TEST_F(PcccWireTest, RefusedReadCarriesStsInTheRecordAndLogsOnlyAnExtendedStatus) {
    tb_test::LogCapture log;
    auto tag = MakeTag("N7:0");
    int result = 0;
    TestRead(tag.get(), PcccReplyData(PCCC_STS_ILLEGAL_COMMAND, 1), result);
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(log.Contains("pcccExtStatus"));
    EXPECT_EQ(response.count, 1);
    EXPECT_EQ(response.replies[0].generalStatus, PCCC_RECORD_STATUS_REFUSED);
    EXPECT_EQ(response.replies[0].extStatus, 0x0010);
    EXPECT_EQ(response.replies[0].dataLength, 0);

    TestRead(tag.get(), PcccReplyData(PCCC_STS_EXTENDED, 1, {PCCC_EXT_UNUSABLE_ADDRESS}), result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(log.Contains("Failed with pcccExtStatus=0x6")) << log.All();
    EXPECT_EQ(response.replies[0].extStatus, 0x06F0);
}

TEST_F(PcccWireTest, HostileRepliesAreRefusedWithoutReadingPastThem) {
    tb_test::LogCapture log;
    auto tag = MakeTag("N7:0");
    // Empty, cut inside the requester ID, a requester ID longer than the reply, cut before TNS.
    const Bytes cases[] = {{},
                           {0x07, 0x00, 0x00},
                           {0xFF, 0x4F, 0x00, 0x01, 0x00},
                           {0x07, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x4F, 0x00, 0x01}};
    for (const Bytes& data : cases) {
        response.count = 99;
        EXPECT_EQ(Analyze(data, tag.get()), -1) << data.size();
        EXPECT_EQ(response.count, 99) << "a refused reply leaves no record";
    }
    EXPECT_TRUE(log.Contains("ends before its TNS"));
    // A dataLength larger than the data buffer is bounded by the buffer.
    EXPLICIT_RESPONSE_STRUCT huge = Explicit({});
    huge.dataLength = 0xFFFF;
    std::fill(huge.data, huge.data + sizeof huge.data, 0xFF);
    EXPECT_EQ(c.AnalyzeTagResp(huge, response, [&](uint16_t) { return tag.get(); }), -1);
}

TEST_F(PcccWireTest, ReplyOfAnotherCommandOrWithoutDataIsRefused) {
    tb_test::LogCapture log;
    auto tag = MakeTag("N7:0");
    int result = 0;
    TestRead(tag.get(), PcccReplyData(0, 1, {1, 2}, 0x46), result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(log.Contains("unexpected : PCCC Command not supported 0x46"));
    TestRead(tag.get(), PcccReplyData(0, 1), result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(log.Contains("No tag data received, expected up to 2 bytes"));
}

TEST_F(PcccWireTest, RequesterIdLengthBelowTwoPutsTheCommandAtPositionOne) {
    auto tag = MakeTag("N7:0");
    int result = -1;
    c.Answer(RRDataReply({0x00, 0x4F, 0x00, 0x01, 0x00, 0x2A, 0x00}));
    result = c.TestEMTag(tag.get(), response);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(response.replies[0].data[0], 0x2A);
}

TEST_F(PcccWireTest, PollReplyNamingAnotherTransactionIsDropped) {
    tb_test::LogCapture log;
    Tags tags;
    tags.Add("N7:0");
    tags.Add("N7:1");
    size_t next = 1;
    ASSERT_EQ(c.RequestEMTags(tags.list, 2, next), 0);
    auto lookup = [&](uint16_t i) { return i < tags.list.size() ? tags.list[i] : nullptr; };
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(PcccReplyData(0, 0, {5, 0})), response, lookup), -1);
    EXPECT_EQ(response.count, 0);
    // A stale refusal does not mark the awaited tag as failed either.
    EXPECT_EQ(
        c.AnalyzeTagResp(Explicit(PcccReplyData(PCCC_STS_ILLEGAL_COMMAND, 0)), response, lookup),
        -1);
    EXPECT_EQ(response.count, 0);
    EXPECT_TRUE(log.Contains("reply for transaction number 0, expected 1; dropped"));
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(PcccReplyData(0, 1, {5, 0})), response, lookup), 0);
    EXPECT_EQ(response.replies[0].data[0], 5);
}

TEST_F(PcccWireTest, ReplyWhoseTagIsUnknownOrNotPlc5IsRefused) {
    tb_test::LogCapture log;
    auto plc5 = MakeTag("N7:0");
    c.Answer(RRDataReply(PcccReplyData(0, 1, {1, 0})));
    ASSERT_EQ(c.TestEMTag(plc5.get(), response), 0);
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(PcccReplyData(0, 1, {1, 0})), response,
                               [](uint16_t) { return nullptr; }),
              -1);
    EXPECT_TRUE(log.Contains("TagData is not found for transaction number 1"));
    std::unique_ptr<EipTag> logix(EipTag::Create(EIP_PROTOCOL_FAMILY_CIP));
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(PcccReplyData(0, 1, {1, 0})), response,
                               [&](uint16_t) { return logix.get(); }),
              -1);
    EXPECT_TRUE(log.Contains("TagData is not PcccTagData instance"));
}

TEST_F(PcccWireTest, TestReadRefusesACipErrorOrAnotherReplyService) {
    tb_test::LogCapture log;
    auto tag = MakeTag("N7:0");
    c.Answer(RRDataReply({}, PCCC_SVC_EXECUTE_PCCC_REPLY, CIP_STATUS_PATH_DESTINATION_UNKNOWN));
    EXPECT_EQ(c.TestEMTag(tag.get(), response), -1);
    EXPECT_TRUE(log.Contains("unexpected : explict response error (5)"));
    c.Answer(RRDataReply(PcccReplyData(0, 1, {1, 0}), 0x8A));
    EXPECT_EQ(c.TestEMTag(tag.get(), response), -1);
    EXPECT_TRUE(log.Contains("unexpected : not support service 138"));
}

// ---- Writes --------------------------------------------------------------------------------

class PcccWriteTest : public PcccWireTest {
  protected:
    // Writes value bytes to the address against a queued reply; the request sent.
    Bytes Write(const std::string& address, const Bytes& value, int& result,
                const Bytes& reply = PcccReplyData(0, PcccConnection::kWriteTns)) {
        auto tag = MakeTag(address);
        EXPECT_NE(tag, nullptr);
        c.Answer(RRDataReply(reply));
        result = c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(),
                                  static_cast<uint16_t>(value.size()));
        return c.TakeRequest();
    }
};

TEST_F(PcccWriteTest, BitWriteIsAMaskedWriteOfTheBitOnly) {
    int result = -1;
    Bytes sent = Write("B3:0/5", {1, 0}, result);
    ASSERT_EQ(result, 0);
    const Bytes front = PcccFront(0xFFFF, PCCC_FNC_MASKED_WRITE);
    EXPECT_EQ(sent, Cat(Cat(RRFront(67, 1), front),
                        {0x02, 0x03, 0x85, 0x00, 0x00, 0x20, 0x00, 0x20, 0x00}));
    sent = Write("B3:0/5", {0, 0}, result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(sent, Cat(Cat(RRFront(67, 2), front),
                        {0x02, 0x03, 0x85, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00}));
}

TEST_F(PcccWriteTest, NumberWritesAreTypedWritesOfTheValue) {
    int result = -1;
    Bytes sent = Write("N7:2", {0x39, 0x30}, result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(sent, Cat(Cat(RRFront(65, 1), PcccFront(0xFFFF, PCCC_FNC_TYPED_WRITE)),
                        {0x02, 0x07, 0x89, 0x02, 0x00, 0x39, 0x30}));
    sent = Write("L9:1", {1, 2, 3, 4}, result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(Bytes(sent.begin() + 57, sent.end()),
              (Bytes{0xAA, 0x04, 0x09, 0x91, 0x01, 0x00, 1, 2, 3, 4}));
    sent = Write("F8:0", {0x00, 0x00, 0x80, 0x3F}, result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(Bytes(sent.end() - 4, sent.end()), (Bytes{0x00, 0x00, 0x80, 0x3F}));
}

TEST_F(PcccWriteTest, StringAndShortValuesAreRefusedUnsent) {
    tb_test::LogCapture log;
    int result = 0;
    Write("ST10:0", Bytes(84, 0x41), result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(log.Contains("Unsupported PCCC datatype for writing 0x8d"));
    Write("L9:0", {1, 2}, result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(
        log.Contains("data supplied is smaller than tag's data type: tag data length 4, "
                     "supplied 2"));
    // The queued replies were never asked for: nothing went out.
    EXPECT_TRUE(c.NothingSent());
}

TEST_F(PcccWriteTest, BitNumberOutsideAWordIsRefusedUnsent) {
    tb_test::LogCapture log;
    int result = 0;
    Write("B3:0/16", {1, 0}, result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(log.Contains("bit number 16 is outside a 16-bit word"));
    EXPECT_TRUE(c.NothingSent());
}

TEST_F(PcccWriteTest, WriteRefusedByThePlcInItsStsIsAFailure) {
    tb_test::LogCapture log;
    int result = 0;
    Write("N7:900", {1, 0}, result,
          PcccReplyData(PCCC_STS_EXTENDED, 0xFFFF, {PCCC_EXT_UNUSABLE_ADDRESS}));
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(log.Contains("N7:900: write refused by the PLC (STS 0xf0, EXT STS 0x6)"))
        << log.All();
}

TEST_F(PcccWriteTest, ReplyThatIsNotThePcccReplyOfTheWriteIsAFailure) {
    tb_test::LogCapture log;
    int result = 0;
    Write("N7:0", {1, 0}, result, {0x07, 0x00});  // cut inside the requester ID
    EXPECT_EQ(result, -1);
    Write("N7:0", {1, 0}, result, PcccReplyData(0, 3));  // a poll read's transaction
    EXPECT_EQ(result, -1);
    Write("N7:0", {1, 0}, result, PcccReplyData(0, 0xFFFF, {}, 0x46));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(log.Count("N7:0: reply is not the PCCC reply of the write"), 3u);
}

TEST_F(PcccWriteTest, WriteWithACipErrorIsAFailure) {
    tb_test::LogCapture log;
    auto tag = MakeTag("N7:0");
    c.Answer(RRDataReply({}, PCCC_SVC_EXECUTE_PCCC_REPLY, CIP_STATUS_SERVICE_NOT_SUPPORTED));
    const Bytes value{1, 0};
    EXPECT_EQ(c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(), 2), -1);
    EXPECT_TRUE(log.Contains("unexpected : response error (8)"));
}

// ---- Identity and family -------------------------------------------------------------------

TEST_F(PcccWireTest, IdentityIsReadUnroutedAndDecoded) {
    ByteWriter attributes;
    attributes.u16(1).u16(0x0E).u16(0x15).u8(15).u8(3).u16(0).u32(0x1234);
    attributes.u8(9).bytes(std::string("PLC-5/40E"));
    c.Answer(RRDataReply(attributes.to_vector(), 0x81));
    _eipProductInfo info;
    ASSERT_EQ(c.ReadPLCProductInfo(7, info), 0);
    EXPECT_EQ(c.TakeRequest(), Cat(RRFront(46, 1), {0x01, 0x02, 0x20, 0x01, 0x24, 0x01}));
    EXPECT_EQ(info.productName, "PLC-5/40E");
    EXPECT_EQ(info.vendorId, 1);
    EXPECT_EQ(info.productCode, 0x15);
    EXPECT_EQ(info.majorRevision, 15);
    EXPECT_EQ(info.minorRevision, 3);

    c.Answer(RRDataReply(Bytes(14, 0), 0x81));
    ASSERT_EQ(c.ReadPLCProductInfo(0, info), 0);
    EXPECT_EQ(info.productName, "unknown");
}

TEST_F(PcccWireTest, IdentityNameLongerThanTheReplyIsCutAtTheReply) {
    ByteWriter attributes;
    attributes.zeros(14).u8(200).bytes(std::string("PLC"));
    c.Answer(RRDataReply(attributes.to_vector(), 0x81));
    _eipProductInfo info;
    ASSERT_EQ(c.ReadPLCProductInfo(0, info), 0);
    EXPECT_EQ(info.productName, "PLC");
}

TEST_F(PcccWireTest, RefusedIdentityReadLeavesTheInfoUnchanged) {
    _eipProductInfo info;
    info.productName = "before";
    c.Answer(RRDataReply({}, 0x81, CIP_STATUS_SERVICE_NOT_SUPPORTED));
    EXPECT_EQ(c.ReadPLCProductInfo(0, info), -1);
    c.Answer(RRDataReply(Bytes(20, 0x41), 0xCB));
    EXPECT_EQ(c.ReadPLCProductInfo(0, info), -1);
    EXPECT_EQ(info.productName, "before");
}

TEST(PcccFamilyTest, FamilyAnswersAndPollingStates) {
    _eipConnectInfo info;
    std::unique_ptr<EipConnection> c(EipConnection::Create(EIP_PROTOCOL_FAMILY_PCCC, &info));
    ASSERT_NE(dynamic_cast<PcccConnection*>(c.get()), nullptr);
    EXPECT_EQ(c->GetProtocolFamily(), EIP_PROTOCOL_FAMILY_PCCC);
    EXPECT_FALSE(c->IsEMEnabled());
    EXPECT_TRUE(c->IsServiceSupported(0xCB));
    EXPECT_FALSE(c->IsServiceSupported(0x8A));
    EXPECT_FALSE(c->IsServiceSupported(0xCC));
    EXPECT_FALSE(c->CheckStatesForPolling(0, 2));
    EXPECT_TRUE(c->CheckStatesForPolling(1, 0));
    EXPECT_FALSE(c->CheckStatesForPolling(2, 2));
    _eipProductInfo product;
    EXPECT_EQ(c->ReadPLCProductInfo(0, product), -1) << "no socket, no session";
}

}  // namespace
