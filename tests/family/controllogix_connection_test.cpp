// Wire bytes and reply decoding of the Logix tag services.

#include "family/controllogix_connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "family/logix_wire_support.h"
#include "support/log_capture.h"

using namespace logix_test;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

using tb_test::LogCapture;

struct PollList {
    std::vector<std::unique_ptr<EipTag>> owned;
    std::vector<EipTag*> list;
    void Add(const std::string& name) {
        owned.push_back(MakeTag(name));
        ASSERT_NE(owned.back(), nullptr) << name;
        list.push_back(owned.back().get());
    }
};

uint16_t U16(const Bytes& b, size_t at) {
    return eip_GetLitEndian16(b.data() + at);
}

}  // namespace

// ---- Poll request -------------------------------------------------------------------------------

TEST(LogixPollRequest, ThreeTagsGiveOffsets8_18_28AndExactBytes) {
    WireConnection c;
    PollList tags;
    tags.Add("Tag1");
    tags.Add("abc");
    tags.Add("a.b");
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
        {0x01, 0x00},
        {0x4C, 0x03, 0x91, 0x03},
        Text("abc"),
        {0x00, 0x01, 0x00},
        {0x4C, 0x04, 0x91, 0x01, 'a', 0x00, 0x91, 0x01, 'b', 0x00, 0x01, 0x00},
    });
    const Bytes sent = c.TakeRequest();
    EXPECT_EQ(sent.size(), 92u);
    EXPECT_EQ(sent, expected);
}

TEST(LogixPollRequest, SequenceCountRisesByOneAndWraps) {
    WireConnection c;
    PollList tags;
    tags.Add("Tag1");
    size_t index = 0;
    c.SetSequenceCount(0xFFFE);
    ASSERT_EQ(c.RequestEMTags(tags.list, 1, index), 0);
    EXPECT_EQ(U16(c.TakeRequest(), 44), 0xFFFF);
    ASSERT_EQ(c.RequestEMTags(tags.list, 1, index), 0);
    EXPECT_EQ(U16(c.TakeRequest(), 44), 0x0000);
    EXPECT_EQ(c.GetSequenceCount(), 0);
}

TEST(LogixPollRequest, StartsAtIndexAndWrapsIndexToZeroAtEnd) {
    WireConnection c;
    PollList tags;
    for (const char* name : {"T0", "T1", "T2", "T3", "T4"}) {
        tags.Add(name);
    }
    size_t index = 3;
    ASSERT_EQ(c.RequestEMTags(tags.list, 5, index), 0);
    EXPECT_EQ(index, 0u);
    const Bytes sent = c.TakeRequest();
    EXPECT_EQ(U16(sent, 52), 2);  // N
    // The first embedded request names T3.
    const size_t first = 52 + U16(sent, 54);
    EXPECT_EQ(sent[first], 0x4C);
    EXPECT_EQ(Bytes(sent.begin() + first + 4, sent.begin() + first + 6), Text("T3"));
}

// A tag joins a batch only while its request and its expected reply (4-byte record front, type,
// value; 2-byte offset entry each way) both fit the connection, less its sequence count.
TEST(LogixPollRequest, BatchEndsWhereRequestOrReplyStopsFitting) {
    struct Case {
        uint16_t connectionSize;
        int32_t valueBytes;  // what the test read learned
        size_t firstBatch;
    };
    // Requests: 8 + 18 n <= size - 2. Replies: 6 + (8 + value) n <= size - 2.
    const Case cases[] = {
        {0, 4, 27},      // no Forward Open yet: 500 bytes, request-bound
        {500, 4, 27},    // 8 + 18 × 27 = 494
        {500, 40, 10},   // DINT[10]: 6 + 48 × 10 = 486, 11 make 534
        {500, 88, 5},    // STRING: 6 + 96 × 5 = 486
        {4002, 4, 221},  // 8 + 18 × 221 = 3986
        {4002, 40, 83},  // 6 + 48 × 83 = 3990
    };
    for (const Case& test : cases) {
        WireConnection c;
        c.SetConnectionSize(test.connectionSize);
        PollList tags;
        for (int i = 1; i <= 300; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "TagName%03d", i);  // 15-byte encoded address
            tags.Add(name);
            tags.owned.back()->GetInfo().dataLen = test.valueBytes;
        }
        size_t index = 0;
        ASSERT_EQ(c.RequestEMTags(tags.list, tags.list.size(), index), 0);
        EXPECT_EQ(index, test.firstBatch) << test.connectionSize << " " << test.valueBytes;
        const Bytes sent = c.TakeRequest();
        EXPECT_EQ(U16(sent, 52), test.firstBatch);
        EXPECT_LE(sent.size() - EIP_UNIT_DATA_ITEM_START,
                  std::max<size_t>(test.connectionSize, 500));
    }
}

TEST(LogixPollRequest, ReplyLandingExactlyOnTheConnectionIsTakenOneMoreByteIsNot) {
    for (const int32_t second : {472, 473}) {
        WireConnection c;
        PollList tags;
        tags.Add("TagName001");
        tags.Add("TagName002");
        tags.owned[0]->GetInfo().dataLen = 4;
        tags.owned[1]->GetInfo().dataLen = second;  // 6 + 12 + 8 + 472 = 498
        size_t index = 0;
        ASSERT_EQ(c.RequestEMTags(tags.list, 2, index), 0);
        EXPECT_EQ(U16(c.TakeRequest(), 52), second == 472 ? 2 : 1);
    }
}

TEST(LogixPollRequest, TagTooLongForAnyRequestIsPassedOverNotPolledForever) {
    LogCapture log;
    WireConnection c;
    PollList tags;
    // 503-byte encoded address: with the packet front it passes 498 bytes.
    tags.Add(std::string(200, 'x') + "." + std::string(255, 'y') + "." + std::string(40, 'z'));
    tags.Add("Tag1");
    size_t index = 0;
    ASSERT_EQ(c.RequestEMTags(tags.list, 2, index), 0);
    EXPECT_EQ(U16(c.TakeRequest(), 52), 0);  // an empty request keeps the reply order
    EXPECT_EQ(index, 1u);
    EXPECT_TRUE(log.Contains("too long for one poll request"));
    ASSERT_EQ(c.RequestEMTags(tags.list, 2, index), 0);
    EXPECT_EQ(U16(c.TakeRequest(), 52), 1);
    EXPECT_EQ(index, 0u);
}

TEST(LogixPollRequest, IndexAtEndSendsEmptyRequestAndRestartsCycle) {
    WireConnection c;
    PollList tags;
    tags.Add("Tag1");
    size_t index = 1;
    ASSERT_EQ(c.RequestEMTags(tags.list, 1, index), 0);
    const Bytes sent = c.TakeRequest();
    EXPECT_EQ(sent.size(), 54u);
    EXPECT_EQ(U16(sent, 52), 0);
    EXPECT_EQ(index, 0u);
}

TEST(LogixPollRequest, SendFailureReturnsMinusOneWithInfoLine) {
    LogCapture log;
    WireConnection c;
    c.Disconnect();
    PollList tags;
    tags.Add("Tag1");
    size_t index = 0;
    EXPECT_EQ(c.RequestEMTags(tags.list, 1, index), -1);
    EXPECT_TRUE(log.Contains("INFO - RequestEMTags: failed to send"));
}

TEST(LogixUnitDataHeader, RefusesNullAndShortBuffers) {
    LogCapture log;
    WireConnection c;
    uint8_t buffer[46] = {};
    EXPECT_EQ(c.BuildEipUnitDataHeader(nullptr, 100), -1);
    EXPECT_EQ(c.BuildEipUnitDataHeader(buffer, 45), -1);
    EXPECT_TRUE(log.Contains("buffer is null or buffer length is lower than 46"));
    EXPECT_EQ(c.GetSequenceCount(), 0);
    EXPECT_EQ(c.BuildEipUnitDataHeader(buffer, 46), 46);
    EXPECT_EQ(c.GetSequenceCount(), 1);
    EXPECT_EQ(eip_GetLitEndian16(buffer + 44), 1);
}

TEST(LogixUnitDataHeader, MultipleServiceFrontIsSixBytesAtOffset) {
    uint8_t buffer[16] = {};
    EXPECT_EQ(ControlLogixConnection::fillMultiReqService(buffer, 4, sizeof buffer), 10);
    EXPECT_EQ(Bytes(buffer + 4, buffer + 10), (Bytes{0x0A, 0x02, 0x20, 0x02, 0x24, 0x01}));
    EXPECT_EQ(ControlLogixConnection::fillMultiReqService(buffer, 11, sizeof buffer), -1);
}

// ---- Write -------------------------------------------------------------------------------------

namespace {

Bytes WriteAccepted(uint32_t session) {
    return RRDataReply(session, MrReply(LOGIX_SVC_MULTIPLE_SERVICE_REPLY, 0, {},
                                        MspData({MrReply(LOGIX_SVC_WRITE_TAG_REPLY, 0, {}, {})})));
}

}  // namespace

TEST(LogixWrite, SintWriteCarriesTypeCountValueAndPadByte) {
    WireConnection c(3);
    auto tag = MakeTag("Tag1", EIP_INNER_TYPE_SINT);
    c.Answer(WriteAccepted(c.GetSessionHandle()));
    const uint8_t value = 0x2A;
    EXPECT_EQ(c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), &value, 1), 0);

    const Bytes expected = Cat({
        {0x6F, 0x00, 54, 0x00, 0x44, 0x33, 0x22, 0x11},
        {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // sender context 1
        {0, 0, 0, 0, 0x00, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB2, 0x00, 38, 0x00},
        {0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x07, 0x07, 24, 0x00},
        {0x0A, 0x02, 0x20, 0x02, 0x24, 0x01, 0x01, 0x00, 0x04, 0x00},
        {0x4D, 0x03, 0x91, 0x04},
        Text("Tag1"),
        {0xC2, 0x00, 0x01, 0x00, 0x2A, 0x00},
        {0x01, 0x00, 0x01, 0x03},
    });
    EXPECT_EQ(c.TakeRequest(), expected);
}

TEST(LogixWrite, StructureWriteAlwaysSendsStringHandle) {
    WireConnection c;
    auto tag = MakeTag("Msg", EIP_INNER_TYPE_STRUCTURE);
    tag->GetInfo().structHandle = 0x1234;  // whatever the tag learnt, the string handle goes out
    c.Answer(WriteAccepted(c.GetSessionHandle()));
    const Bytes value = {2, 0, 0, 0, 'h', 'i'};
    EXPECT_EQ(c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(), 6), 0);
    const Bytes sent = c.TakeRequest();
    // 0x4D, 03 91 03 'M' 's' 'g' 00, then type and handle.
    const size_t type = 60 + 1 + 7;
    EXPECT_EQ(U16(sent, type), 0x02A0);
    EXPECT_EQ(U16(sent, type + 2), 0x0FCE);
    EXPECT_EQ(U16(sent, type + 4), 1);
    EXPECT_EQ(Bytes(sent.begin() + type + 6, sent.begin() + type + 12), value);
    EXPECT_EQ(U16(sent, 48), sent.size() - 54);
}

// A value that does not fit one unconnected request goes out in pieces of whole elements, each a
// Write Tag Fragmented with its byte offset; every piece must be accepted.
TEST(LogixWrite, ValueLargerThanOneRequestIsWrittenInFragments) {
    WireConnection c;
    auto tag = MakeTag("Tag1[0~999]", EIP_INNER_TYPE_DINT);
    Bytes value(4000);
    for (size_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<uint8_t>(i * 7);
    }
    const Bytes accepted = SingleMsp(0, MrReply(LOGIX_SVC_WRITE_FRAGMENTED_REPLY, 0, {}, {}));
    for (int i = 0; i < 9; ++i) {
        c.Answer(RRDataReply(c.GetSessionHandle(), accepted));
    }
    ASSERT_EQ(c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(), 4000), 0);
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
    c.Answer(RRDataReply(c.GetSessionHandle(), accepted));
    c.Answer(RRDataReply(c.GetSessionHandle(),
                         SingleMsp(0x1E, MrReply(LOGIX_SVC_WRITE_FRAGMENTED_REPLY, 0x05, {}, {}))));
    EXPECT_EQ(c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(), 4000), -1);
    c.TakeRequest();
    c.TakeRequest();
    EXPECT_TRUE(c.NothingSent());
}

TEST(LogixWrite, RefusedWritesReportFailure) {
    LogCapture log;
    WireConnection c;
    auto tag = MakeTag("Tag1", EIP_INNER_TYPE_DINT);
    const Bytes value = {1, 2, 3, 4};
    // The controller's usual refusal: embedded service error outside, the reason inside.
    c.Answer(
        RRDataReply(c.GetSessionHandle(),
                    MrReply(LOGIX_SVC_MULTIPLE_SERVICE_REPLY, 0x1E, {},
                            MspData({MrReply(LOGIX_SVC_WRITE_TAG_REPLY, 0xFF, {0x2107}, {})}))));
    EXPECT_EQ(c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(), 4), -1);
    // The embedded reply tells why: type mismatch.
    EXPECT_TRUE(log.Contains("unexpected : response error (255, 8455)"));
    c.TakeRequest();

    // A failed embedded write is a failure even when the outer status claims success.
    c.Answer(RRDataReply(c.GetSessionHandle(),
                         MrReply(LOGIX_SVC_MULTIPLE_SERVICE_REPLY, 0, {},
                                 MspData({MrReply(LOGIX_SVC_WRITE_TAG_REPLY, 0x05, {}, {})}))));
    EXPECT_EQ(c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(), 4), -1);
    EXPECT_TRUE(log.Contains("unexpected : response error (5)"));
    c.TakeRequest();

    // Another reply service.
    c.Answer(RRDataReply(c.GetSessionHandle(), MrReply(0xCD, 0, {}, {})));
    EXPECT_EQ(c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(), 4), -1);
}

TEST(LogixWrite, NoReplyFailsWithRecvLine) {
    LogCapture log;
    WireConnection c;
    auto tag = MakeTag("Tag1", EIP_INNER_TYPE_DINT);
    const Bytes value = {1, 2, 3, 4};
    EXPECT_EQ(c.WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(), 4), -1);
    EXPECT_TRUE(log.Contains("WriteDataToTag: failed to recv"));
}

// ---- Test read ---------------------------------------------------------------------------------

TEST(LogixTestRead, SendsOneReadTagAndDecodesTheValue) {
    WireConnection c(2);
    auto tag = MakeTag("Tag1");
    c.Answer(RRDataReply(c.GetSessionHandle(),
                         MrReply(LOGIX_SVC_MULTIPLE_SERVICE_REPLY, 0, {},
                                 MspData({ReadRecord(0xC4, {0x78, 0x56, 0x34, 0x12})}))));
    EIPC_TAG_REQUEST_STRUCT response;
    EXPECT_EQ(c.TestEMTag(tag.get(), response), 0);
    EXPECT_EQ(response.count, 1);
    EXPECT_EQ(response.replies[0].dataType, 0xC4);
    EXPECT_EQ(eip_GetLitEndian32(response.replies[0].data.data()), 0x12345678u);

    const Bytes expected = Cat({
        {0x6F, 0x00, 50, 0x00, 0x44, 0x33, 0x22, 0x11},
        {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // sender context 1
        {0, 0, 0, 0, 0x00, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB2, 0x00, 34, 0x00},
        {0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x07, 0x07, 20, 0x00},
        {0x0A, 0x02, 0x20, 0x02, 0x24, 0x01, 0x01, 0x00, 0x04, 0x00},
        {0x4C, 0x03, 0x91, 0x04},
        Text("Tag1"),
        {0x01, 0x00},
        {0x01, 0x00, 0x01, 0x02},
    });
    EXPECT_EQ(c.TakeRequest(), expected);
}

TEST(LogixTestRead, ControllerErrorAndOtherServiceFail) {
    LogCapture log;
    WireConnection c;
    auto tag = MakeTag("Nope");
    EIPC_TAG_REQUEST_STRUCT response;
    c.Answer(RRDataReply(c.GetSessionHandle(),
                         MrReply(LOGIX_SVC_MULTIPLE_SERVICE_REPLY, 0x1E, {},
                                 MspData({MrReply(LOGIX_SVC_READ_TAG_REPLY, 0x05, {}, {})}))));
    EXPECT_EQ(c.TestEMTag(tag.get(), response), -1);
    EXPECT_TRUE(log.Contains("unexpected : explict response error (5)"));
    c.TakeRequest();

    c.Answer(RRDataReply(c.GetSessionHandle(), MrReply(0xCC, 0, {}, {0xC4, 0, 1, 0, 0, 0})));
    EXPECT_EQ(c.TestEMTag(tag.get(), response), -1);
    EXPECT_TRUE(log.Contains("unexpected : not support service cc"));
    EXPECT_EQ(c.TestEMTag(nullptr, response), -1);
}

// ---- Reply analysis ----------------------------------------------------------------------------

TEST(LogixAnalyze, DecodesElementaryStructureAndErrorRecords) {
    WireConnection c;
    const Bytes real = {0x00, 0x00, 0x48, 0x41};  // 12.5f
    Bytes text(88, 0);
    text[0] = 2;
    text[4] = 'o';
    text[5] = 'k';
    const Bytes structure = Cat({{0xA0, 0x02, 0xCE, 0x0F}, text});
    const auto reply =
        Explicit(0x8A, 0x1E,
                 MspData({ReadRecord(0xCA, real), MrReply(0xCC, 0x04, {}, {}),
                          MrReply(0xCC, 0, {}, structure), MrReply(0xCC, 0xFF, {0x2105}, {})}));
    EIPC_TAG_REQUEST_STRUCT response;
    ASSERT_EQ(c.AnalyzeTagResp(reply, response, nullptr), 0);
    ASSERT_EQ(response.count, 4);
    EXPECT_EQ(response.replies[0].service, 0xCC);
    EXPECT_EQ(response.replies[0].dataType, 0xCA);
    EXPECT_EQ(response.replies[0].dataLength, 4);
    EXPECT_FLOAT_EQ(eip_GetLitEndianFloat(response.replies[0].data.data()), 12.5f);
    EXPECT_EQ(response.replies[1].generalStatus, 0x04);
    EXPECT_EQ(response.replies[1].dataLength, 0);
    EXPECT_EQ(response.replies[2].dataType, 0x02A0);
    EXPECT_EQ(response.replies[2].structHandle, 0x0FCE);
    EXPECT_EQ(response.replies[2].dataLength, 88);
    EXPECT_EQ(response.replies[2].data, text);
    EXPECT_EQ(response.replies[3].generalStatus, 0xFF);
    EXPECT_EQ(response.replies[3].extStatus, 0x2105);
    EXPECT_EQ(response.replies[3].dataLength, 0);
}

TEST(LogixAnalyze, ZeroRepliesAndOtherServicesCarryNoValue) {
    WireConnection c;
    EIPC_TAG_REQUEST_STRUCT response;
    response.count = 9;
    ASSERT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, MspData({})), response, nullptr), 0);
    EXPECT_EQ(response.count, 0);
    ASSERT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, MspData({MrReply(0xCD, 0, {}, {1, 2})})), response,
                               nullptr),
              0);
    EXPECT_EQ(response.count, 1);
    EXPECT_EQ(response.replies[0].service, 0xCD);
    EXPECT_EQ(response.replies[0].dataLength, 0);
    // A Read Tag reply with a single byte after its header has no type: no value.
    ASSERT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, MspData({MrReply(0xCC, 0, {}, {7})})), response,
                               nullptr),
              0);
    EXPECT_EQ(response.replies[0].dataLength, 0);
}

TEST(LogixAnalyze, ValuesOfAnySizeAreKeptWhole) {
    WireConnection c;
    const Bytes big(3000, 0xAB);
    const auto reply = Explicit(
        0x8A, 0,
        MspData({ReadRecord(0xC4, {1, 0, 0, 0}), ReadRecord(0xC4, big), ReadRecord(0xC3, {5, 0})}));
    EIPC_TAG_REQUEST_STRUCT response;
    ASSERT_EQ(c.AnalyzeTagResp(reply, response, nullptr), 0);
    ASSERT_EQ(response.count, 3);
    EXPECT_EQ(response.replies[0].dataLength, 4);
    EXPECT_EQ(response.replies[1].data, big);
    EXPECT_EQ(response.replies[1].dataLength, 3000);
    EXPECT_EQ(response.replies[2].data, (Bytes{5, 0}));
}

TEST(LogixAnalyze, TruncatedAndHostileRepliesAreRefusedWhole) {
    LogCapture log;
    WireConnection c;
    EIPC_TAG_REQUEST_STRUCT response;
    const Bytes good = MspData({ReadRecord(0xC4, {1, 0, 0, 0}), ReadRecord(0xC4, {2, 0, 0, 0})});

    // Cut inside the second record's header.
    Bytes cut(good.begin(), good.begin() + 2 + 4 + 10 + 2);
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, cut), response, nullptr), -1);
    EXPECT_EQ(response.count, 0);
    // Cut inside the offset table.
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, Bytes(good.begin(), good.begin() + 3)), response,
                               nullptr),
              -1);
    // No count at all.
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, {0x01}), response, nullptr), -1);
    // More records than a response holds.
    Bytes many = {0x81, 0x00};
    many[0] = static_cast<uint8_t>((EIPC_TAG_REPLY_MAX + 1) & 0xFF);
    many[1] = static_cast<uint8_t>((EIPC_TAG_REPLY_MAX + 1) >> 8);
    many.resize(2 + 6 * (EIPC_TAG_REPLY_MAX + 1), 0);
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, many), response, nullptr), -1);
    // An offset pointing back into the table, or past the data.
    Bytes backwards = good;
    backwards[4] = 2;
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, backwards), response, nullptr), -1);
    Bytes past = good;
    past[4] = 0xFF;
    past[5] = 0x07;
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, past), response, nullptr), -1);
    // Additional status words announced beyond the record.
    EXPECT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, MspData({{0xCC, 0, 0x01, 9, 0x00, 0x00}})),
                               response, nullptr),
              -1);
    EXPECT_TRUE(log.Contains("unexpected : malformed multiple service reply"));
    // A data length larger than the data buffer is bounded by it: the last record runs to the
    // end of the buffer.
    auto reply = Explicit(0x8A, 0, good);
    reply.dataLength = 0xFFFF;
    EXPECT_EQ(c.AnalyzeTagResp(reply, response, nullptr), 0);
    EXPECT_EQ(response.count, 2);
    EXPECT_LT(response.replies[1].dataLength, sizeof reply.data);
}

TEST(LogixAnalyze, AllAdditionalStatusWordsAreSkippedBeforeTheValue) {
    WireConnection c;
    EIPC_TAG_REQUEST_STRUCT response;
    const auto reply =
        Explicit(0x8A, 0, MspData({MrReply(0xCC, 0x06, {0x1111, 0x2222}, {0xC3, 0x00, 9, 0})}));
    ASSERT_EQ(c.AnalyzeTagResp(reply, response, nullptr), 0);
    EXPECT_EQ(response.replies[0].extStatus, 0x1111);
    EXPECT_EQ(response.replies[0].dataType, 0xC3);
    EXPECT_EQ(response.replies[0].dataLength, 2);
    EXPECT_EQ(response.replies[0].data[0], 9);
}

// ---- Small operations --------------------------------------------------------------------------

TEST(LogixConnection, PollsOnlyWhenTheConnectionIsIdle) {
    WireConnection c;
    for (uint8_t ucmm : {0, 1, 2, 3}) {
        EXPECT_FALSE(c.CheckStatesForPolling(ucmm, 0));
        EXPECT_FALSE(c.CheckStatesForPolling(ucmm, 1));  // BUSY
        EXPECT_TRUE(c.CheckStatesForPolling(ucmm, 2));   // READY
        EXPECT_TRUE(c.CheckStatesForPolling(ucmm, 3));   // NEED2SEND
    }
}

TEST(LogixConnection, AcceptsOnlyMultipleServiceReplies) {
    WireConnection c;
    EXPECT_TRUE(c.IsServiceSupported(0x8A));
    EXPECT_FALSE(c.IsServiceSupported(0xCC));
    EXPECT_FALSE(c.IsServiceSupported(0xCB));
    EXPECT_EQ(c.GetProtocolFamily(), EIP_PROTOCOL_FAMILY_CIP);
    EXPECT_TRUE(c.IsEMEnabled());
}

TEST(LogixConnection, CreateMakesLogixConnectionForCipAndRefusesUnknownFamily) {
    LogCapture log;
    _eipConnectInfo info;
    info.host = "127.0.0.1";
    info.slot = 4;
    std::unique_ptr<EipConnection> logix(EipConnection::Create(EIP_PROTOCOL_FAMILY_CIP, &info));
    ASSERT_NE(dynamic_cast<ControlLogixConnection*>(logix.get()), nullptr);
    EXPECT_EQ(logix->GetConnectionInfo().slot, 4);
    EXPECT_EQ(EipConnection::Create(static_cast<eipProtocolFamily_t>(2), &info), nullptr);
    EXPECT_TRUE(log.Contains("Failed to create connection: family not supported (2)"));
}
