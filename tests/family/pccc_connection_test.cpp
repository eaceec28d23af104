// Wire bytes of the PCCC connection (reads, writes, masked bit writes, identity) and the
// decoding of Execute PCCC replies, hostile ones included.

#include "family/pccc_connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "family/wire_support.h"
#include "support/log_capture.h"

using namespace wire_test;

namespace {

// SendRRData front of a request of `total` bytes with its sender context (0 before it is sent).
Bytes RRFront(size_t total, uint32_t context = 0) {
    ByteWriter w;
    w.u16(EIP_CMD_SEND_RR_DATA).u16(static_cast<uint16_t>(total - 24)).u32(kSession).u32(0);
    w.u32(context).u32(0).u32(0).u32(0).u16(CPF_REQUEST_TIMEOUT).u16(2).u16(0).u16(0);
    w.u16(CPF_ITEM_UNCONNECTED_DATA).u16(static_cast<uint16_t>(total - 40));
    return w.to_vector();
}

// Bytes 40.. of a PCCC request: Execute PCCC to the PCCC object, requester ID, CMD, STS, TNS,
// function.
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

class PcccWireTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GE(c.peer, 0); }

    int Analyze(const Bytes& data, EipTag* tag) {
        return c.AnalyzeTagResp(Explicit(PCCC_SVC_EXECUTE_PCCC_REPLY, 0, data), response,
                                [tag](uint16_t) { return tag; });
    }
    // Runs a test read of the address against a queued reply; the request it sent.
    Bytes TestRead(const std::string& address, const Bytes& reply, int& result) {
        auto tag = Plc5Tag(address);
        c.Answer(reply);
        result = c.TestEMTag(tag.get(), response);
        return c.TakeRequest();
    }
    // Writes value bytes to the address against a queued reply; the request sent.
    Bytes Write(const std::string& address, const Bytes& value, int& result,
                const Bytes& reply = PcccRRData(PcccReplyData(0, PcccConnection::kWriteTns))) {
        auto tag = Plc5Tag(address);
        c.Answer(reply);
        result = c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(),
                                  static_cast<uint16_t>(value.size()));
        return c.TakeRequest();
    }

    tb_test::LogCapture log;
    PcccWire c;
    EIPC_TAG_REQUEST_STRUCT response{};
};

// ---- Requests ------------------------------------------------------------------------------

TEST_F(PcccWireTest, ReadRequestsCarryTnsAddressAndZeroSubElement) {
    struct Case {
        const char* address;
        uint16_t tns;
        Bytes tail;  // after the function code
    };
    const Case cases[] = {
        {"N7:0", 5, {0x02, 0x07, 0x89, 0x00, 0x00}},
        {"B300:1000/7", 0x1234, {0x02, 0xFF, 0x2C, 0x01, 0x85, 0xFF, 0xE8, 0x03, 0x00}},
    };
    for (const Case& k : cases) {
        auto tag = Plc5Tag(k.address);
        uint8_t buffer[EIP_MSG_BUFFER_SIZE] = {};
        const int length = c.createTagRequest(buffer, sizeof buffer, k.tns, tag->GetTagData());
        const Bytes expected =
            Cat({RRFront(58 + k.tail.size()), PcccFront(k.tns, PCCC_FNC_TYPED_READ), k.tail});
        EXPECT_EQ(Bytes(buffer, buffer + std::max(length, 0)), expected) << k.address;
    }
    auto tag = Plc5Tag("N7:0");
    uint8_t small[62] = {};
    EXPECT_EQ(c.createTagRequest(small, sizeof small, 1, tag->GetTagData()), -1);
    EXPECT_EQ(c.createTagRequest(small, 20, 1, tag->GetTagData()), -1);
}

TEST_F(PcccWireTest, PollSendsOneReadPerTagWithItsIndexAsTnsAndWraps) {
    PollList tags;
    for (const char* address : {"N7:0", "F8:3", "L9:2"}) {
        tags.Add(Plc5Tag(address));
    }
    size_t next = 0;
    for (uint16_t expectedTns : {0, 1, 2, 0}) {
        ASSERT_EQ(c.RequestEMTags(tags.list, 3, next), 0);
        const Bytes sent = c.TakeRequest();
        ASSERT_GE(sent.size(), 63u);
        EXPECT_EQ(U16(sent, 55), expectedTns);
        EXPECT_EQ(sent[57], PCCC_FNC_TYPED_READ);
        EXPECT_EQ(next, (expectedTns + 1u) % 3u);
    }
    // An index outside the list (or beyond a TNS) sends nothing.
    for (size_t outside : {size_t{3}, size_t{70000}}) {
        next = outside;
        EXPECT_EQ(c.RequestEMTags(tags.list, 3, next), -1);
    }
    EXPECT_TRUE(c.NothingSent());
    // A failed send still moves on to the next tag.
    c.SetSendFunc([](int, const void*, size_t, int) -> ssize_t { return -1; });
    next = 0;
    EXPECT_EQ(c.RequestEMTags(tags.list, 3, next), -1);
    EXPECT_EQ(next, 1u);
}

// ---- Read replies --------------------------------------------------------------------------

// A bit reads as BOOL 0/1; a short value is zero-padded and a long one cut to the element.
TEST_F(PcccWireTest, EachFileTypeMapsToItsCipTypeAndLength) {
    struct Case {
        const char* address;
        Bytes value;
        uint16_t cipType;
        Bytes stored;
    };
    Bytes text(84);
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<uint8_t>(i + 1);
    }
    const Case cases[] = {
        {"N7:0", {1, 2}, 0xC3, {1, 2}},
        {"F8:0", {1, 2, 3, 4}, 0xCA, {1, 2, 3, 4}},
        {"L9:0", {1, 2, 3, 4}, 0xC4, {1, 2, 3, 4}},
        {"ST10:0", text, 0xD0, text},
        {"B3:0/5", {0x20, 0x00}, 0xC1, {1, 0}},
        {"B3:0/5", {0xDF, 0xFF}, 0xC1, {0, 0}},
        {"L9:4", {0xAA}, 0xC4, {0xAA, 0, 0, 0}},
        {"L9:4", {1, 2, 3, 4, 5, 6, 7}, 0xC4, {1, 2, 3, 4}},
    };
    for (const Case& k : cases) {
        int result = -1;
        const Bytes sent = TestRead(k.address, PcccRRData(PcccReplyData(0, 1, k.value)), result);
        ASSERT_EQ(result, 0) << k.address;
        EXPECT_EQ(U16(sent, 55), PcccConnection::kTestReadTns);
        EXPECT_EQ(response.count, 1);
        EXPECT_EQ(response.replies[0].dataType, k.cipType) << k.address;
        EXPECT_EQ(response.replies[0].dataLength, k.stored.size()) << k.address;
        EXPECT_EQ(response.replies[0].data, k.stored) << k.address;
    }
    // A requester ID length below two puts the command at position one.
    int result = -1;
    TestRead("N7:0", PcccRRData({0x00, 0x4F, 0x00, 0x01, 0x00, 0x2A, 0x00}), result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(response.replies[0].data[0], 0x2A);
}

TEST_F(PcccWireTest, RefusedReadCarriesStsAndExtStsInTheRecord) {
    int result = 0;
    TestRead("N7:0", PcccRRData(PcccReplyData(PCCC_STS_ILLEGAL_COMMAND, 1)), result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(response.count, 1);
    EXPECT_EQ(response.replies[0].generalStatus, PCCC_RECORD_STATUS_REFUSED);
    EXPECT_EQ(response.replies[0].extStatus, 0x0010);
    EXPECT_EQ(response.replies[0].dataLength, 0);
    EXPECT_FALSE(log.Contains("pcccExtStatus"));

    TestRead("N7:0", PcccRRData(PcccReplyData(PCCC_STS_EXTENDED, 1, {PCCC_EXT_UNUSABLE_ADDRESS})),
             result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(response.replies[0].extStatus, 0x06F0);
    EXPECT_TRUE(log.Contains("Failed with pcccExtStatus=0x6"));
}

TEST_F(PcccWireTest, TestReadOfAnotherCommandServiceOrNoDataFails) {
    const Bytes replies[] = {
        PcccRRData(PcccReplyData(0, 1, {1, 2}, 0x46)),
        PcccRRData(PcccReplyData(0, 1)),
        PcccRRData({}, PCCC_SVC_EXECUTE_PCCC_REPLY, CIP_STATUS_PATH_DESTINATION_UNKNOWN),
        PcccRRData(PcccReplyData(0, 1, {1, 0}), 0x8A),
    };
    for (const Bytes& reply : replies) {
        int result = 0;
        TestRead("N7:0", reply, result);
        EXPECT_EQ(result, -1) << reply.size();
    }
}

TEST_F(PcccWireTest, HostileRepliesAreRefusedWithoutReadingPastThem) {
    auto tag = Plc5Tag("N7:0");
    // Empty, cut inside the requester ID, a requester ID longer than the reply, cut before TNS.
    const Bytes cases[] = {{},
                           {0x07, 0x00, 0x00},
                           {0xFF, 0x4F, 0x00, 0x01, 0x00},
                           {0x07, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x4F, 0x00, 0x01}};
    for (const Bytes& data : cases) {
        response.count = 99;
        EXPECT_EQ(Analyze(data, tag.get()), -1) << data.size();
        EXPECT_EQ(response.count, 0) << "a refused reply leaves no record of an earlier one";
    }
    // A dataLength larger than the data buffer is bounded by the buffer.
    EXPLICIT_RESPONSE_STRUCT huge = Explicit(PCCC_SVC_EXECUTE_PCCC_REPLY, 0, {});
    huge.dataLength = 0xFFFF;
    std::fill(huge.data, huge.data + sizeof huge.data, 0xFF);
    EXPECT_EQ(c.AnalyzeTagResp(huge, response, [&](uint16_t) { return tag.get(); }), -1);
    // A reply whose tag is unknown or not a PLC5 one.
    EXPECT_EQ(Analyze(PcccReplyData(0, 1, {1, 0}), nullptr), -1);
    std::unique_ptr<EipTag> logix(EipTag::Create(EIP_PROTOCOL_FAMILY_CIP));
    EXPECT_EQ(Analyze(PcccReplyData(0, 1, {1, 0}), logix.get()), -1);
}

TEST_F(PcccWireTest, PollReplyNamingAnotherTransactionIsDropped) {
    PollList tags;
    tags.Add(Plc5Tag("N7:0"));
    tags.Add(Plc5Tag("N7:1"));
    size_t next = 1;
    ASSERT_EQ(c.RequestEMTags(tags.list, 2, next), 0);
    auto lookup = [&](uint16_t i) { return i < tags.list.size() ? tags.list[i] : nullptr; };
    auto analyze = [&](const Bytes& data) {
        return c.AnalyzeTagResp(Explicit(PCCC_SVC_EXECUTE_PCCC_REPLY, 0, data), response, lookup);
    };
    EXPECT_EQ(analyze(PcccReplyData(0, 0, {5, 0})), -1);
    EXPECT_EQ(response.count, 0);
    // A stale refusal does not mark the awaited tag as failed either.
    EXPECT_EQ(analyze(PcccReplyData(PCCC_STS_ILLEGAL_COMMAND, 0)), -1);
    EXPECT_EQ(response.count, 0);
    EXPECT_EQ(analyze(PcccReplyData(0, 1, {5, 0})), 0);
    EXPECT_EQ(response.replies[0].data[0], 5);
}

// ---- Writes --------------------------------------------------------------------------------

TEST_F(PcccWireTest, WritesAreMaskedForBitsAndTypedForNumbers) {
    struct Case {
        const char* address;
        Bytes value;
        uint8_t function;
        Bytes tail;  // after the function code
    };
    const Case cases[] = {
        {"B3:0/5",
         {1, 0},
         PCCC_FNC_MASKED_WRITE,
         {0x02, 0x03, 0x85, 0x00, 0x00, 0x20, 0x00, 0x20, 0x00}},
        {"B3:0/5",
         {0, 0},
         PCCC_FNC_MASKED_WRITE,
         {0x02, 0x03, 0x85, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00}},
        {"N7:2", {0x39, 0x30}, PCCC_FNC_TYPED_WRITE, {0x02, 0x07, 0x89, 0x02, 0x00, 0x39, 0x30}},
        {"L9:1", {1, 2, 3, 4}, PCCC_FNC_TYPED_WRITE, {0x04, 0x09, 0x91, 0x01, 0x00, 1, 2, 3, 4}},
        {"F8:0",
         {0, 0, 0x80, 0x3F},
         PCCC_FNC_TYPED_WRITE,
         {0x04, 0x08, 0x8A, 0x00, 0x00, 0, 0, 0x80, 0x3F}},
    };
    uint32_t context = 0;
    for (const Case& k : cases) {
        int result = -1;
        const Bytes sent = Write(k.address, k.value, result);
        ASSERT_EQ(result, 0) << k.address;
        const Bytes expected =
            Cat({RRFront(58 + k.tail.size(), ++context), PcccFront(0xFFFF, k.function), k.tail});
        EXPECT_EQ(sent, expected) << k.address;
    }
}

TEST_F(PcccWireTest, StringShortValueAndBitOutsideAWordAreRefusedUnsent) {
    const std::pair<const char*, Bytes> cases[] = {
        {"ST10:0", Bytes(84, 0x41)}, {"L9:0", {1, 2}}, {"B3:0/16", {1, 0}}};
    for (const auto& [address, value] : cases) {
        int result = 0;
        Write(address, value, result);
        EXPECT_EQ(result, -1) << address;
    }
    // The queued replies were never asked for: nothing went out.
    EXPECT_TRUE(c.NothingSent());
}

TEST_F(PcccWireTest, WriteWhoseReplyIsNotItsAcceptanceFails) {
    const Bytes replies[] = {
        PcccRRData(PcccReplyData(PCCC_STS_EXTENDED, 0xFFFF, {PCCC_EXT_UNUSABLE_ADDRESS})),
        PcccRRData({0x07, 0x00}),                        // cut inside the requester ID
        PcccRRData(PcccReplyData(0, 3)),                 // a poll read's transaction
        PcccRRData(PcccReplyData(0, 0xFFFF, {}, 0x46)),  // another command
        PcccRRData({}, PCCC_SVC_EXECUTE_PCCC_REPLY, CIP_STATUS_SERVICE_NOT_SUPPORTED),
    };
    for (const Bytes& reply : replies) {
        int result = 0;
        Write("N7:900", {1, 0}, result, reply);
        EXPECT_EQ(result, -1) << reply.size();
    }
}

// ---- Identity ------------------------------------------------------------------------------

TEST_F(PcccWireTest, IdentityIsReadUnroutedAndDecoded) {
    ByteWriter attributes;
    attributes.u16(1).u16(0x0E).u16(0x15).u8(15).u8(3).u16(0).u32(0x1234);
    attributes.u8(9).bytes(std::string("PLC-5/40E"));
    c.Answer(PcccRRData(attributes.to_vector(), 0x81));
    _eipProductInfo info;
    ASSERT_EQ(c.ReadPLCProductInfo(7, info), 0);
    EXPECT_EQ(c.TakeRequest(), Cat({RRFront(46, 1), {0x01, 0x02, 0x20, 0x01, 0x24, 0x01}}));
    EXPECT_EQ(info.productName, "PLC-5/40E");
    EXPECT_EQ(info.productCode, 0x15);
    EXPECT_EQ(info.majorRevision, 15);
    EXPECT_EQ(info.minorRevision, 3);

    info.productName = "before";
    c.Answer(PcccRRData({}, 0x81, CIP_STATUS_SERVICE_NOT_SUPPORTED));
    EXPECT_EQ(c.ReadPLCProductInfo(0, info), -1);
    c.Answer(PcccRRData(Bytes(20, 0x41), 0xCB));
    EXPECT_EQ(c.ReadPLCProductInfo(0, info), -1);
    EXPECT_EQ(info.productName, "before");
    EXPECT_EQ(PcccConnection(nullptr).ReadPLCProductInfo(0, info), -1) << "no socket, no session";
}

}  // namespace
