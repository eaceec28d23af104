// Wire bytes and reply decoding of the Logix and PCCC tag services: poll requests, writes, test
// reads and identity byte for byte against a socket pair, and the decoding of replies, hostile
// ones included.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
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

TEST(LogixPollRequest, SequenceCountRisesByOneAndWraps) {
    LogixWire c;
    PollList tags = Tags({"Tag1"});
    size_t index = 0;
    c.SetSequenceCount(0xFFFE);
    for (uint16_t expected : {0xFFFF, 0x0000}) {
        ASSERT_EQ(c.RequestExplicitTags(tags.list, 1, index), 0);
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
    ASSERT_EQ(c.RequestExplicitTags(tags.list, 5, index), 0);
    EXPECT_EQ(index, 0u);
    Bytes sent = c.TakeRequest();
    EXPECT_EQ(U16(sent, 52), 2);
    const size_t first = 52 + U16(sent, 54);
    EXPECT_EQ(Bytes(sent.begin() + first, sent.begin() + first + 6),
              Cat({{0x4C, 2, 0x91, 2}, Text("T3")}));

    index = 5;
    ASSERT_EQ(c.RequestExplicitTags(tags.list, 5, index), 0);
    sent = c.TakeRequest();
    EXPECT_EQ(sent.size(), 54u);
    EXPECT_EQ(U16(sent, 52), 0);
    EXPECT_EQ(index, 0u);

    // 503-byte encoded address: with the packet front it passes 498 bytes.
    PollList tooLong = Tags(
        {std::string(200, 'x') + "." + std::string(255, 'y') + "." + std::string(40, 'z'), "Tag1"});
    index = 0;
    ASSERT_EQ(c.RequestExplicitTags(tooLong.list, 2, index), 0);
    EXPECT_EQ(U16(c.TakeRequest(), 52), 0);
    EXPECT_EQ(index, 1u);
    ASSERT_EQ(c.RequestExplicitTags(tooLong.list, 2, index), 0);
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
        ASSERT_EQ(c.RequestExplicitTags(tags.list, tags.list.size(), index), 0);
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
    EXPECT_EQ(GetLittleEndian16(buffer + 44), 1);
    uint8_t front[16] = {};
    EXPECT_EQ(ControlLogixConnection::FillMultiReqService(front, 4, sizeof front), 10);
    EXPECT_EQ(Bytes(front + 4, front + 10), (Bytes{0x0A, 0x02, 0x20, 0x02, 0x24, 0x01}));
    EXPECT_EQ(ControlLogixConnection::FillMultiReqService(front, 11, sizeof front), -1);

    c.Disconnect();
    PollList tags = Tags({"Tag1"});
    size_t index = 0;
    EXPECT_EQ(c.RequestExplicitTags(tags.list, 1, index), -1);
}

// ---- Write and test read
// -------------------------------------------------------------------------

// The unconnected request front as hex: SendRRData of the session (encapsulation length
// `encap`) with sender context 1, an Unconnected Send (item length `item`) to the backplane
// slot carrying `embedded` bytes: a Multiple Service Packet of one request.
std::string UnconnectedFront(const char* encap, const char* item, const char* embedded) {
    return std::string("6F00") + encap + "00 44332211 00000000 0100000000000000 00000000" +
           "00000000 0004 0200 0000 0000 B200" + item + "00 5202 2006 2401 0707" + embedded +
           "00 0A02 2002 2401 0100 0400";
}

int Write(LogixWire& c, const EipTag& tag, const Bytes& value) {
    return c.WriteDataToTag(tag.GetInfo(), tag.GetTagData(), value.data(),
                            static_cast<uint16_t>(value.size()));
}

// An odd embedded message (a one-byte value) is followed by the pad byte; its length does not
// count it. An even one has none.
TEST(LogixWrite, OneByteValuesArePaddedOutsideTheMessageLength) {
    const std::tuple<int32_t, Bytes, const char*, const char*> cases[] = {
        {kInnerTypeSint, {0x2A}, "17", "4D03 9104 'Tag1' C200 0100 2A 00"},
        {kInnerTypeUsint, {0xFF}, "17", "4D03 9104 'Tag1' C600 0100 FF 00"},
        {kInnerTypeInt, {1, 2}, "18", "4D03 9104 'Tag1' C300 0100 0102"},
    };
    for (const auto& [type, value, length, request] : cases) {
        LogixWire wire(3);
        auto tag = LogixTag("Tag1", type);
        wire.Answer(RRData(Msp(0, {MrReply(LOGIX_SVC_WRITE_TAG_REPLY, 0, {}, {})})));
        EXPECT_EQ(Write(wire, *tag, value), 0);
        EXPECT_EQ(wire.TakeRequest(),
                  Hex(UnconnectedFront("36", "26", length) + request + " 0100 0103"));
    }
}

TEST(LogixWrite, StructureWriteSendsTheHandleItsValueWasReadWith) {
    LogixWire c;
    auto tag = LogixTag("Msg", kInnerTypeStructure);
    tag->GetInfo().structHandle = 0x1234;
    c.Answer(RRData(Msp(0, {MrReply(LOGIX_SVC_WRITE_TAG_REPLY, 0, {}, {})})));
    const Bytes value = {2, 0, 0, 0, 'h', 'i'};
    EXPECT_EQ(Write(c, *tag, value), 0);
    const Bytes sent = c.TakeRequest();
    // 0x4D, 03 91 03 'M' 's' 'g' 00, then type, handle, count and the value.
    EXPECT_EQ(Bytes(sent.begin() + 68, sent.begin() + 80),
              Cat({{0xA0, 0x02, 0x34, 0x12, 1, 0}, value}));
    EXPECT_EQ(U16(sent, 48), sent.size() - 54);
}

// A value that does not fit one unconnected request goes out in pieces (their bytes and offsets:
// the round trips against plcsim); a refused piece ends the write as a failure.
TEST(LogixWrite, ARefusedFragmentEndsTheWrite) {
    LogixWire c;
    c.Answer(RRData(Msp(0, {MrReply(LOGIX_SVC_WRITE_FRAGMENTED_REPLY, 0, {}, {})})));
    c.Answer(RRData(Msp(0x1E, {MrReply(LOGIX_SVC_WRITE_FRAGMENTED_REPLY, 0x05, {}, {})})));
    EXPECT_EQ(Write(c, *LogixTag("Tag1[0~999]", kInnerTypeDint), Bytes(4000)), -1);
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

TEST(LogixTestRead, ControllerErrorAndOtherServiceFail) {
    tb_test::LogCapture log;
    auto tag = LogixTag("Nope");
    TagRequestSet response;
    for (const Bytes& reply : {RRData(Msp(0x1E, {MrReply(LOGIX_SVC_READ_TAG_REPLY, 0x05, {}, {})})),
                               RRData(MrReply(0xCC, 0, {}, {0xC4, 0, 1, 0, 0, 0}))}) {
        LogixWire c;
        c.Answer(reply);
        EXPECT_EQ(c.TestExplicitTag(tag.get(), response), -1);
    }
    EXPECT_TRUE(log.Contains("unexpected : explict response error (5)"));
    EXPECT_EQ(LogixWire().TestExplicitTag(nullptr, response), -1);
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
    TagRequestSet response;
    ASSERT_EQ(c.AnalyzeTagResp(reply, response, nullptr), 0);
    ASSERT_EQ(response.count, 8);
    // service, general status, first additional status word, type, structure handle, value
    using Record = std::tuple<uint8_t, uint8_t, uint16_t, uint16_t, uint16_t, Bytes>;
    const Record expected[] = {
        {0xCC, 0, 0, 0xCA, 0, {0x00, 0x00, 0x48, 0x41}},
        {0xCC, 0x04, 0, 0, 0, {}},
        {0xCC, 0, 0, 0x02A0, 0x0FCE, text},
        {0xCC, 0xFF, 0x2105, 0, 0, {}},
        {0xCC, 0x06, 0x1111, 0xC3, 0, {9, 0}},  // every additional status word is skipped
        {0xCC, 0, 0, 0xC4, 0, big},
        {0xCD, 0, 0, 0, 0, {}},
        {0xCC, 0, 0, 0, 0, {}},  // a single byte after the header has no type: no value
    };
    for (size_t i = 0; i < std::size(expected); ++i) {
        const TagReplySet& r = response.replies[i];
        EXPECT_EQ(
            Record(r.service, r.generalStatus, r.extStatus, r.dataType, r.structHandle, r.data),
            expected[i])
            << i;
        EXPECT_EQ(r.dataLength, r.data.size()) << i;
    }

    response.count = 9;
    ASSERT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, MspData({})), response, nullptr), 0);
    EXPECT_EQ(response.count, 0);
}

TEST(LogixAnalyze, TruncatedAndHostileRepliesAreRefusedWhole) {
    LogixWire c;
    const Bytes good = MspData({ReadRecord(0xC4, {1, 0, 0, 0}), ReadRecord(0xC4, {2, 0, 0, 0})});
    Bytes many(2 + 6 * (kMaxTagReplies + 1), 0);
    PutLittleEndian16(kMaxTagReplies + 1, many.data());
    Bytes intoTable = good;
    intoTable[2] = 2;
    Bytes backwards = good;
    backwards[4] = 2;
    Bytes past = good;
    PutLittleEndian16(0x07FF, past.data() + 4);
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
        TagRequestSet response;
        EXPECT_EQ(c.AnalyzeTagResp(Explicit(0x8A, 0, data), response, nullptr), -1) << what;
        EXPECT_EQ(response.count, 0) << what;
    }
    // A data length larger than the data buffer is bounded by it: the last record runs to the
    // end of the buffer.
    auto reply = Explicit(0x8A, 0, good);
    reply.dataLength = 0xFFFF;
    TagRequestSet response;
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

// ---- PCCC ------------------------------------------------------------------------------------

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
    ByteWriter w;
    w.bytes(Hex("4B02 2067 2401 07 0000 11223344 0F00")).u16(tns).u8(function);
    return w.to_vector();
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
        result = c.TestExplicitTag(tag.get(), response);
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
    TagRequestSet response{};
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
        const int length = c.CreateTagRequest(buffer, sizeof buffer, k.tns, tag->GetTagData());
        const Bytes expected =
            Cat({RRFront(58 + k.tail.size()), PcccFront(k.tns, PCCC_FNC_TYPED_READ), k.tail});
        EXPECT_EQ(Bytes(buffer, buffer + std::max(length, 0)), expected) << k.address;
    }
    auto tag = Plc5Tag("N7:0");
    uint8_t small[62] = {};
    EXPECT_EQ(c.CreateTagRequest(small, sizeof small, 1, tag->GetTagData()), -1);
    EXPECT_EQ(c.CreateTagRequest(small, 20, 1, tag->GetTagData()), -1);
}

// One typed read per block of whole elements, as many at once as the PLC may have in flight.
TEST_F(PcccWireTest, PollSendsOneReadPerBlockUpToTheRequestsInFlight) {
    PollList tags;
    for (const char* address : {"N7:5", "F8:3", "N7:0", "T4:1.ACC", "L9:2", "T4:0/DN"}) {
        tags.Add(Plc5Tag(address));
    }
    size_t next = 0;
    ASSERT_EQ(c.RequestExplicitTags(tags.list, 6, next), 0);
    EXPECT_EQ(next, 0u);
    // Blocks in file type order; the fifth waits for a reply.
    for (const char* tail :
         {"0C 04 86 00 00", "0C 07 89 00 00", "04 08 8A 03 00", "04 09 91 02 00"}) {
        const Bytes sent = c.TakeRequest();
        ASSERT_GE(sent.size(), 58u);
        EXPECT_EQ(sent[57], PCCC_FNC_TYPED_READ);
        EXPECT_EQ(Bytes(sent.begin() + 58, sent.end()), Hex(tail));
    }
    EXPECT_TRUE(c.NothingSent());
    // An index outside the list sends nothing.
    next = 6;
    EXPECT_EQ(c.RequestExplicitTags(tags.list, 6, next), -1);
    EXPECT_TRUE(c.NothingSent());
}

// ---- Read replies --------------------------------------------------------------------------

// A bit reads as BOOL 0/1, a field as its word; a long value is cut to the element.
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
        {"L9:4", {1, 2, 3, 4, 5, 6, 7}, 0xC4, {1, 2, 3, 4}},
        {"T4:0.ACC", {0x00, 0x20, 5, 0, 9, 0}, 0xC3, {9, 0}},
        {"T4:0/DN", {0x00, 0x20, 5, 0, 9, 0}, 0xC1, {1, 0}},
        {"R6:0", {0x00, 0x20, 5, 0, 9, 0}, 0xC3, {0x00, 0x20}},
    };
    for (const Case& k : cases) {
        int result = -1;
        const Bytes sent = TestRead(k.address, PcccRRData(PcccReplyData(0, 1, k.value)), result);
        ASSERT_EQ(result, 0) << k.address;
        EXPECT_EQ(U16(sent, 55), PcccConnection::kTestReadTns);
        const TagReplySet& r = response.replies[0];
        EXPECT_EQ(std::tie(response.count, r.dataType, r.dataLength, r.data),
                  std::make_tuple(1, k.cipType, k.stored.size(), k.stored))
            << k.address;
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
    const TagReplySet& r = response.replies[0];
    EXPECT_EQ(std::tie(response.count, r.generalStatus, r.extStatus, r.dataLength),
              std::make_tuple(1, PCCC_RECORD_STATUS_REFUSED, 0x0010, 0));
    EXPECT_FALSE(log.Contains("pcccExtStatus"));

    TestRead("N7:0", PcccRRData(PcccReplyData(PCCC_STS_EXTENDED, 1, {PCCC_EXT_UNUSABLE_ADDRESS})),
             result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(response.replies[0].extStatus, 0x06F0);
    EXPECT_TRUE(log.Contains("Failed with pcccExtStatus=0x6 - address does not point"));
}

TEST_F(PcccWireTest, TestReadOfAnotherCommandServiceOrNoDataFails) {
    const Bytes replies[] = {
        PcccRRData(PcccReplyData(0, 1, {1, 2}, 0x46)),
        PcccRRData(PcccReplyData(0, 1)),
        PcccRRData(PcccReplyData(0, 1, {0xAA})),
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
    ExplicitResponse huge = Explicit(PCCC_SVC_EXECUTE_PCCC_REPLY, 0, {});
    huge.dataLength = 0xFFFF;
    std::fill(huge.data, huge.data + sizeof huge.data, 0xFF);
    EXPECT_EQ(c.AnalyzeTagResp(huge, response, [&](uint16_t) { return tag.get(); }), -1);
    // A reply whose tag is unknown or not a PLC5 one.
    EXPECT_EQ(Analyze(PcccReplyData(0, 1, {1, 0}), nullptr), -1);
    std::unique_ptr<EipTag> logix(EipTag::Create(kFamilyCip));
    EXPECT_EQ(Analyze(PcccReplyData(0, 1, {1, 0}), logix.get()), -1);
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
        {"B3:0/5", {1, 0}, PCCC_FNC_MASKED_WRITE, Hex("02 03 85 00 00 2000 2000")},
        {"B3:0/5", {0, 0}, PCCC_FNC_MASKED_WRITE, Hex("02 03 85 00 00 2000 0000")},
        {"N7:2", {0x39, 0x30}, PCCC_FNC_TYPED_WRITE, Hex("02 07 89 02 00 3930")},
        {"L9:1", {1, 2, 3, 4}, PCCC_FNC_TYPED_WRITE, Hex("04 09 91 01 00 01020304")},
        {"F8:0", {0, 0, 0x80, 0x3F}, PCCC_FNC_TYPED_WRITE, Hex("04 08 8A 00 00 0000803F")},
        {"T4:1.ACC", {5, 0}, PCCC_FNC_TYPED_WRITE, Hex("02 04 86 01 02 0500")},
        {"T4:1/EN", {1, 0}, PCCC_FNC_MASKED_WRITE, Hex("02 04 86 01 00 0080 0080")},
        {"ST10:1",
         {2, 0, 'B', 'A'},
         PCCC_FNC_TYPED_WRITE,
         Cat({Hex("54 0A 8D 01 00 0200 'BA'"), Bytes(80)})},
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

TEST_F(PcccWireTest, ShortValueAndReadOnlyFieldAreRefusedUnsent) {
    const std::pair<const char*, Bytes> cases[] = {
        {"L9:0", {1, 2}}, {"T4:0/DN", {1, 0}}, {"I:0", {1, 0}}};
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
    ProductInfo info;
    ASSERT_EQ(c.ReadPLCProductInfo(7, info), 0);
    EXPECT_EQ(c.TakeRequest(), Cat({RRFront(46, 1), {0x01, 0x02, 0x20, 0x01, 0x24, 0x01}}));
    EXPECT_EQ(std::tie(info.productName, info.productCode, info.majorRevision, info.minorRevision),
              std::make_tuple("PLC-5/40E", 0x15, 15, 3));

    // Without the Identity object, ListIdentity names the controller.
    ByteWriter listed;
    listed.u16(EIP_CMD_LIST_IDENTITY).u16(48).zeros(20).u16(1).u16(0x0C).u16(42).u16(1).zeros(16);
    listed.u16(1).u16(0x0C).u16(0x33).u8(5).u8(1).zeros(6).u8(8).bytes(std::string("SLC 5/05"));
    listed.u8(3);
    c.Answer(PcccRRData({}, 0x81, CIP_STATUS_SERVICE_NOT_SUPPORTED));
    c.Answer(listed.to_vector());
    ASSERT_EQ(c.ReadPLCProductInfo(0, info), 0);
    EXPECT_EQ(info.productName, "SLC 5/05");
    EXPECT_EQ(info.productCode, 0x33);
    EXPECT_EQ(PcccConnection(nullptr).ReadPLCProductInfo(0, info), -1) << "no socket, no session";
}

}  // namespace
