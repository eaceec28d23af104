// Wire bytes and reply decoding of the Logix tag services.

#include "family/controllogix_connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "family/wire_support.h"
#include "support/log_capture.h"

using namespace wire_test;

namespace {

// Poll list of Logix tags of those names.
PollList Tags(std::initializer_list<std::string> names) {
    PollList tags;
    for (const std::string& name : names) {
        tags.Add(LogixTag(name));
    }
    return tags;
}

// ---- Poll request -------------------------------------------------------------------------------

TEST(LogixPollRequest, ThreeTagsGiveOffsets8_18_28AndExactBytes) {
    LogixWire c;
    PollList tags = Tags({"Tag1", "abc", "a.b"});
    size_t index = 0;
    ASSERT_EQ(c.RequestEMTags(tags.list, 3, index), 0);
    EXPECT_EQ(index, 0u);
    const Bytes expected = Cat({
        {0x70, 0x00, 68, 0x00, 0x44, 0x33, 0x22, 0x11},
        Bytes(16, 0),
        {0, 0, 0, 0, 0x00, 0x04, 0x02, 0x00},
        {0xA1, 0x00, 0x04, 0x00, 0xD4, 0xC3, 0xB2, 0xA1},
        {0xB1, 0x00, 48, 0x00, 0x01, 0x00},
        {0x0A, 0x02, 0x20, 0x02, 0x24, 0x01},
        {0x03, 0x00, 8, 0x00, 18, 0x00, 28, 0x00},
        {0x4C, 0x03, 0x91, 0x04},
        Text("Tag1"),
        {0x01, 0x00, 0x4C, 0x03, 0x91, 0x03},
        Text("abc"),
        {0x00, 0x01, 0x00},
        {0x4C, 0x04, 0x91, 0x01, 'a', 0x00, 0x91, 0x01, 'b', 0x00, 0x01, 0x00},
    });
    EXPECT_EQ(c.TakeRequest(), expected);
}

TEST(LogixPollRequest, SequenceCountRisesByOneAndWraps) {
    LogixWire c;
    PollList tags = Tags({"Tag1"});
    size_t index = 0;
    c.SetSequenceCount(0xFFFE);
    for (uint16_t expected : {0xFFFF, 0x0000}) {
        ASSERT_EQ(c.RequestEMTags(tags.list, 1, index), 0);
        EXPECT_EQ(U16(c.TakeRequest(), 44), expected);
    }
}

// A batch starts at the index and the index wraps to 0 at the end; an index at the end sends an
// empty request (the reply order is kept) and restarts the cycle, and so does a tag too long for
// any request, which is passed over rather than polled forever.
TEST(LogixPollRequest, BatchStartsAtTheIndexAndWrapsAtTheEnd) {
    LogixWire c;
    PollList tags = Tags({"T0", "T1", "T2", "T3", "T4"});
    size_t index = 3;
    ASSERT_EQ(c.RequestEMTags(tags.list, 5, index), 0);
    EXPECT_EQ(index, 0u);
    Bytes sent = c.TakeRequest();
    EXPECT_EQ(U16(sent, 52), 2);
    const size_t first = 52 + U16(sent, 54);
    EXPECT_EQ(Bytes(sent.begin() + first, sent.begin() + first + 6),
              Cat({{0x4C, 2, 0x91, 2}, Text("T3")}));

    index = 5;
    ASSERT_EQ(c.RequestEMTags(tags.list, 5, index), 0);
    sent = c.TakeRequest();
    EXPECT_EQ(sent.size(), 54u);
    EXPECT_EQ(U16(sent, 52), 0);
    EXPECT_EQ(index, 0u);

    // 503-byte encoded address: with the packet front it passes 498 bytes.
    PollList tooLong = Tags(
        {std::string(200, 'x') + "." + std::string(255, 'y') + "." + std::string(40, 'z'), "Tag1"});
    index = 0;
    ASSERT_EQ(c.RequestEMTags(tooLong.list, 2, index), 0);
    EXPECT_EQ(U16(c.TakeRequest(), 52), 0);
    EXPECT_EQ(index, 1u);
    ASSERT_EQ(c.RequestEMTags(tooLong.list, 2, index), 0);
    EXPECT_EQ(U16(c.TakeRequest(), 52), 1);
    EXPECT_EQ(index, 0u);
}

// A tag joins a batch only while its request and its expected reply (4-byte record front, type,
// value; 2-byte offset entry each way) both fit the connection, less its sequence count.
TEST(LogixPollRequest, BatchEndsWhereRequestOrReplyStopsFitting) {
    struct Case {
        uint16_t connectionSize;
        std::vector<int32_t> valueBytes;  // what the test read learned, the last repeated
        size_t tags;
        size_t firstBatch;
    };
    // Requests: 8 + 18 n <= size - 2. Replies: 6 + (8 + value) n <= size - 2.
    const Case cases[] = {
        {0, {4}, 300, 27},      // no Forward Open yet: 500 bytes, request-bound
        {500, {4}, 300, 27},    // 8 + 18 × 27 = 494
        {500, {40}, 300, 10},   // DINT[10]: 6 + 48 × 10 = 486, 11 make 534
        {500, {88}, 300, 5},    // STRING: 6 + 96 × 5 = 486
        {4002, {4}, 300, 221},  // 8 + 18 × 221 = 3986
        {4002, {40}, 300, 83},  // 6 + 48 × 83 = 3990
        {500, {4, 472}, 2, 2},  // 6 + 12 + 8 + 472 = 498: lands exactly on the connection
        {500, {4, 473}, 2, 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::to_string(test.connectionSize) + " " +
                     std::to_string(test.valueBytes.back()));
        LogixWire c;
        c.SetConnectionSize(test.connectionSize);
        PollList tags;
        for (size_t i = 1; i <= test.tags; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "TagName%03zu", i);  // 15-byte encoded address
            tags.Add(LogixTag(name))->GetInfo().dataLen =
                test.valueBytes[std::min(i, test.valueBytes.size()) - 1];
        }
        size_t index = 0;
        ASSERT_EQ(c.RequestEMTags(tags.list, tags.list.size(), index), 0);
        EXPECT_EQ(index, test.firstBatch % test.tags);
        const Bytes sent = c.TakeRequest();
        EXPECT_EQ(U16(sent, 52), test.firstBatch);
        EXPECT_LE(sent.size() - EIP_UNIT_DATA_ITEM_START,
                  std::max<size_t>(test.connectionSize, 500));
    }
}

TEST(LogixPollRequest, SendFailureAndShortBuffersFail) {
    LogixWire c;
    uint8_t buffer[46] = {};
    EXPECT_EQ(c.BuildEipUnitDataHeader(nullptr, 100), -1);
    EXPECT_EQ(c.BuildEipUnitDataHeader(buffer, 45), -1);
    EXPECT_EQ(c.GetSequenceCount(), 0);
    EXPECT_EQ(c.BuildEipUnitDataHeader(buffer, 46), 46);
    EXPECT_EQ(eip_GetLitEndian16(buffer + 44), 1);
    uint8_t front[16] = {};
    EXPECT_EQ(ControlLogixConnection::fillMultiReqService(front, 4, sizeof front), 10);
    EXPECT_EQ(Bytes(front + 4, front + 10), (Bytes{0x0A, 0x02, 0x20, 0x02, 0x24, 0x01}));
    EXPECT_EQ(ControlLogixConnection::fillMultiReqService(front, 11, sizeof front), -1);

    c.Disconnect();
    PollList tags = Tags({"Tag1"});
    size_t index = 0;
    EXPECT_EQ(c.RequestEMTags(tags.list, 1, index), -1);
}

// ---- Write and test read
// -------------------------------------------------------------------------

// The unconnected request front: SendRRData of the session with sender context 1, an Unconnected
// Send to the backplane slot carrying a Multiple Service Packet of one request.
Bytes UnconnectedFront(uint8_t encapLength, uint8_t itemLength, uint8_t embedded) {
    return Cat(
        {{0x6F, 0x00, encapLength, 0x00, 0x44, 0x33, 0x22, 0x11},
         {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         {0, 0, 0, 0, 0x00, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB2, 0x00, itemLength, 0x00},
         {0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x07, 0x07, embedded, 0x00},
         {0x0A, 0x02, 0x20, 0x02, 0x24, 0x01, 0x01, 0x00, 0x04, 0x00}});
}

int Write(LogixWire& c, const EipTag& tag, const Bytes& value) {
    return c.WriteDataToTag(tag.GetInfo(), tag.GetTagData(), value.data(),
                            static_cast<uint16_t>(value.size()));
}

TEST(LogixWrite, SintWriteCarriesTypeCountValueAndPadByte) {
    LogixWire c(3);
    auto tag = LogixTag("Tag1", EIP_INNER_TYPE_SINT);
    c.Answer(RRData(Msp(0, {MrReply(LOGIX_SVC_WRITE_TAG_REPLY, 0, {}, {})})));
    EXPECT_EQ(Write(c, *tag, {0x2A}), 0);
    EXPECT_EQ(c.TakeRequest(), Cat({UnconnectedFront(54, 38, 24),
                                    {0x4D, 0x03, 0x91, 0x04},
                                    Text("Tag1"),
                                    {0xC2, 0x00, 0x01, 0x00, 0x2A, 0x00, 0x01, 0x00, 0x01, 0x03}}));
}

TEST(LogixWrite, StructureWriteAlwaysSendsStringHandle) {
    LogixWire c;
    auto tag = LogixTag("Msg", EIP_INNER_TYPE_STRUCTURE);
    tag->GetInfo().structHandle = 0x1234;  // whatever the tag learnt, the string handle goes out
    c.Answer(RRData(Msp(0, {MrReply(LOGIX_SVC_WRITE_TAG_REPLY, 0, {}, {})})));
    const Bytes value = {2, 0, 0, 0, 'h', 'i'};
    EXPECT_EQ(Write(c, *tag, value), 0);
    const Bytes sent = c.TakeRequest();
    // 0x4D, 03 91 03 'M' 's' 'g' 00, then type, handle, count and the value.
    EXPECT_EQ(Bytes(sent.begin() + 68, sent.begin() + 80),
              Cat({{0xA0, 0x02, 0xCE, 0x0F, 1, 0}, value}));
    EXPECT_EQ(U16(sent, 48), sent.size() - 54);
}

// A value that does not fit one unconnected request goes out in pieces of whole elements, each a
// Write Tag Fragmented with its byte offset; every piece must be accepted.
TEST(LogixWrite, ValueLargerThanOneRequestIsWrittenInFragments) {
    LogixWire c;
    auto tag = LogixTag("Tag1[0~999]", EIP_INNER_TYPE_DINT);
    Bytes value(4000);
    for (size_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<uint8_t>(i * 7);
    }
    const Bytes accepted = RRData(Msp(0, {MrReply(LOGIX_SVC_WRITE_FRAGMENTED_REPLY, 0, {}, {})}));
    for (int i = 0; i < 9; ++i) {
        c.Answer(accepted);
    }
    ASSERT_EQ(Write(c, *tag, value), 0);
    Bytes written;
    for (int i = 0; i < 9; ++i) {
        const Bytes sent = c.TakeRequest();
        // 60-byte front, 0x53, path 04 91 04 "Tag1" 28 00 (9 bytes), type, count, offset.
        ASSERT_EQ(sent[60], CIP_SVC_WRITE_TAG_FRAGMENTED);
        EXPECT_EQ(U16(sent, 70), 0xC4);
        EXPECT_EQ(U16(sent, 72), 1000);
        EXPECT_EQ(eip_GetLitEndian32(sent.data() + 74), written.size());
        EXPECT_LE(U16(sent, 48), ControlLogixConnection::kUnconnectedRequestLimit);
        written.insert(written.end(), sent.begin() + 78, sent.end() - 4);
    }
    EXPECT_EQ(written, value);
    EXPECT_TRUE(c.NothingSent());

    // A refused piece ends the write as a failure.
    c.Answer(accepted);
    c.Answer(RRData(Msp(0x1E, {MrReply(LOGIX_SVC_WRITE_FRAGMENTED_REPLY, 0x05, {}, {})})));
    EXPECT_EQ(Write(c, *tag, value), -1);
    c.TakeRequest();
    c.TakeRequest();
    EXPECT_TRUE(c.NothingSent());
}

TEST(LogixWrite, RefusedOrMissingRepliesAreFailures) {
    const std::vector<Bytes> refusals = {
        // The controller's usual refusal: embedded service error outside, the reason inside.
        RRData(Msp(0x1E, {MrReply(LOGIX_SVC_WRITE_TAG_REPLY, 0xFF, {0x2107}, {})})),
        // A failed embedded write even when the outer status claims success.
        RRData(Msp(0, {MrReply(LOGIX_SVC_WRITE_TAG_REPLY, 0x05, {}, {})})),
        RRData(MrReply(0xCD, 0, {}, {})),  // another reply service
        {},                                // no reply at all
    };
    for (const Bytes& reply : refusals) {
        tb_test::LogCapture log;
        LogixWire c;
        if (!reply.empty()) {
            c.Answer(reply);
        }
        EXPECT_EQ(Write(c, *LogixTag("Tag1"), {1, 2, 3, 4}), -1) << reply.size();
    }
}

TEST(LogixTestRead, SendsOneReadTagAndDecodesTheValue) {
    LogixWire c(2);
    auto tag = LogixTag("Tag1");
    c.Answer(RRData(Msp(0, {ReadRecord(0xC4, {0x78, 0x56, 0x34, 0x12})})));
    EIPC_TAG_REQUEST_STRUCT response;
    EXPECT_EQ(c.TestEMTag(tag.get(), response), 0);
    EXPECT_EQ(response.count, 1);
    EXPECT_EQ(response.replies[0].dataType, 0xC4);
    EXPECT_EQ(eip_GetLitEndian32(response.replies[0].data.data()), 0x12345678u);
    EXPECT_EQ(c.TakeRequest(), Cat({UnconnectedFront(50, 34, 20),
                                    {0x4C, 0x03, 0x91, 0x04},
                                    Text("Tag1"),
                                    {0x01, 0x00, 0x01, 0x00, 0x01, 0x02}}));
}

TEST(LogixTestRead, ControllerErrorAndOtherServiceFail) {
    tb_test::LogCapture log;
    auto tag = LogixTag("Nope");
    EIPC_TAG_REQUEST_STRUCT response;
    for (const Bytes& reply : {RRData(Msp(0x1E, {MrReply(LOGIX_SVC_READ_TAG_REPLY, 0x05, {}, {})})),
                               RRData(MrReply(0xCC, 0, {}, {0xC4, 0, 1, 0, 0, 0}))}) {
        LogixWire c;
        c.Answer(reply);
        EXPECT_EQ(c.TestEMTag(tag.get(), response), -1);
    }
    EXPECT_TRUE(log.Contains("unexpected : explict response error (5)"));
    EXPECT_EQ(LogixWire().TestEMTag(nullptr, response), -1);
}

// ---- Reply analysis ----------------------------------------------------------------------------

TEST(LogixAnalyze, DecodesElementaryStructureErrorAndOtherServiceRecords) {
    LogixWire c;
    Bytes text(88, 0);
    text[0] = 2;
    text[4] = 'o';
    const Bytes big(3000, 0xAB);
    const auto reply = Explicit(
        0x8A, 0x1E,
        MspData({ReadRecord(0xCA, {0x00, 0x00, 0x48, 0x41}), MrReply(0xCC, 0x04, {}, {}),
                 MrReply(0xCC, 0, {}, Cat({{0xA0, 0x02, 0xCE, 0x0F}, text})),
                 MrReply(0xCC, 0xFF, {0x2105}, {}),
                 MrReply(0xCC, 0x06, {0x1111, 0x2222}, {0xC3, 0x00, 9, 0}), ReadRecord(0xC4, big),
                 MrReply(0xCD, 0, {}, {1, 2}), MrReply(0xCC, 0, {}, {7})}));
    EIPC_TAG_REQUEST_STRUCT response;
    ASSERT_EQ(c.AnalyzeTagResp(reply, response, nullptr), 0);
    ASSERT_EQ(response.count, 8);
    const auto& r = response.replies;
    EXPECT_EQ(r[0].service, 0xCC);
    EXPECT_EQ(r[0].dataType, 0xCA);
    EXPECT_FLOAT_EQ(eip_GetLitEndianFloat(r[0].data.data()), 12.5f);
    EXPECT_EQ(r[1].generalStatus, 0x04);
    EXPECT_EQ(r[1].dataLength, 0);
    EXPECT_EQ(r[2].dataType, 0x02A0);
    EXPECT_EQ(r[2].structHandle, 0x0FCE);
    EXPECT_EQ(r[2].data, text);
    EXPECT_EQ(r[3].generalStatus, 0xFF);
    EXPECT_EQ(r[3].extStatus, 0x2105);
    // Every additional status word is skipped before the value.
    EXPECT_EQ(r[4].extStatus, 0x1111);
    EXPECT_EQ(r[4].dataType, 0xC3);
    EXPECT_EQ(r[4].data, (Bytes{9, 0}));
    EXPECT_EQ(r[5].data, big);
    EXPECT_EQ(r[6].service, 0xCD);
    EXPECT_EQ(r[6].dataLength, 0);
    EXPECT_EQ(r[7].dataLength, 0);  // a single byte after the header has no type: no value

    response.count = 9;
    ASSERT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, MspData({})), response, nullptr), 0);
    EXPECT_EQ(response.count, 0);
}

TEST(LogixAnalyze, TruncatedAndHostileRepliesAreRefusedWhole) {
    LogixWire c;
    const Bytes good = MspData({ReadRecord(0xC4, {1, 0, 0, 0}), ReadRecord(0xC4, {2, 0, 0, 0})});
    Bytes many(2 + 6 * (EIPC_TAG_REPLY_MAX + 1), 0);
    eip_PutLitEndian16(EIPC_TAG_REPLY_MAX + 1, many.data());
    Bytes intoTable = good;
    intoTable[2] = 2;
    Bytes backwards = good;
    backwards[4] = 2;
    Bytes past = good;
    eip_PutLitEndian16(0x07FF, past.data() + 4);
    const std::pair<const char*, Bytes> cases[] = {
        {"cut inside the second record's header", Bytes(good.begin(), good.begin() + 18)},
        {"cut inside the offset table", Bytes(good.begin(), good.begin() + 3)},
        {"no count", {0x01}},
        {"more records than a response holds", many},
        {"offset into the table", intoTable},
        {"offset before the previous one", backwards},
        {"offset past the data", past},
        {"additional status beyond the record", MspData({{0xCC, 0, 0x01, 9, 0x00, 0x00}})},
    };
    for (const auto& [what, data] : cases) {
        EIPC_TAG_REQUEST_STRUCT response;
        EXPECT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, data), response, nullptr), -1) << what;
        EXPECT_EQ(response.count, 0) << what;
    }
    // A data length larger than the data buffer is bounded by it: the last record runs to the
    // end of the buffer.
    auto reply = Explicit(0x8A, 0, good);
    reply.dataLength = 0xFFFF;
    EIPC_TAG_REQUEST_STRUCT response;
    EXPECT_EQ(c.AnalyzeTagResp(reply, response, nullptr), 0);
    EXPECT_EQ(response.count, 2);
    EXPECT_LT(response.replies[1].dataLength, sizeof reply.data);
}

// ---- What each family polls and accepts ---------------------------------------------------------

TEST(FamilyConnection, PollsOnlyOnItsOwnIdleStateAndAcceptsOnlyItsReplyService) {
    LogixWire logix;
    PcccWire pccc;
    // UCMM states 0 NON-EXIST, 1 READY, 2 BUSY; class-3 states 2 READY and 3 NEED2SEND poll.
    for (uint8_t ucmm : {0, 1, 2}) {
        for (uint8_t em : {0, 1, 2, 3}) {
            EXPECT_EQ(logix.CheckStatesForPolling(ucmm, em), em >= 2) << int(ucmm) << int(em);
            EXPECT_EQ(pccc.CheckStatesForPolling(ucmm, em), ucmm == 1) << int(ucmm) << int(em);
        }
    }
    for (uint8_t service : {0x8A, 0xCB, 0xCC}) {
        EXPECT_EQ(logix.IsServiceSupported(service), service == 0x8A) << int(service);
        EXPECT_EQ(pccc.IsServiceSupported(service), service == 0xCB) << int(service);
    }
}

}  // namespace
