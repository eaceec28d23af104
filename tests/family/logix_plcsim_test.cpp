// The Logix connection against the simulated controller on loopback: test reads, polling over
// the class-3 connection at every connection size, writes read back, controller errors and lost
// or late replies.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "family/controllogix_connection.h"
#include "family/wire_support.h"
#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"

using wire_test::Bytes;
using wire_test::LogixTag;

namespace {

class LogixPlcsimTest : public ::testing::Test {
  protected:
    void SetUp() override { Start(); }

    // The demo tags on the controller, and a session with an open class-3 connection.
    void Start() {
        for (const plcsim::LogixTagDefinition& d : plcsim::LogixDemoTags()) {
            plc->DefineTag(d);
        }
        ASSERT_TRUE(plc->Sim().Start()) << plc->Sim().LastStartError();
        connection = Connect();
        ASSERT_NE(connection, nullptr);
    }

    // Starts over with a controller of another configuration and an empty poll list.
    void StartWith(const std::function<void(plcsim::SimConfig&)>& change) {
        connection.reset();
        polled = {};
        plcsim::SimConfig config = Config();
        change(config);
        plc = std::make_unique<plcsim::LogixController>(config);
        Start();
    }

    void Define(const std::string& name, const std::string& type, std::vector<uint32_t> dims = {},
                nlohmann::json value = nullptr) {
        plcsim::LogixTagDefinition d;
        d.name = name;
        d.type = type;
        d.dims = std::move(dims);
        d.value = std::move(value);
        plc->DefineTag(d);
    }

    void TearDown() override {
        if (connection) {
            EXPECT_TRUE(plc->Sim().ProtocolErrors().empty())
                << "first refusal: " << plc->Sim().ProtocolErrors().front();
        }
    }

    static plcsim::SimConfig Config() {
        plcsim::SimConfig config;
        config.port = 0;
        config.slot = 2;
        return config;
    }

    // A registered session with an open class-3 connection.
    std::unique_ptr<EipConnection> Connect() {
        _eipConnectInfo info;
        info.alias = "plc1";
        info.host = "127.0.0.1";
        info.port = plc->Sim().Port();
        info.slot = 2;
        std::unique_ptr<EipConnection> c(EipConnection::Create(EIP_PROTOCOL_FAMILY_CIP, &info));
        if (!c || c->Connect(info.host, info.port, 2) != 0 || c->RegiSession(2) != 0 ||
            c->OpenEMConnection(45000) != 0) {
            return nullptr;
        }
        return c;
    }

    EipTag* Poll(const std::string& name, int32_t innerType = EIP_INNER_TYPE_DINT) {
        return polled.Add(LogixTag(name, innerType));
    }
    // Adds a tag to the poll list after a test read taught it its type and value size, as the
    // device does when a tag is added.
    EipTag* PollTested(const std::string& name) {
        EipTag* tag = Poll(name);
        const EIPC_TAG_REPLY_STRUCT r = TestRead(*tag);
        tag->GetInfo().innerType = r.dataType;
        tag->GetInfo().dataLen = r.dataLength;
        return tag;
    }
    // The record of a test read that must succeed.
    EIPC_TAG_REPLY_STRUCT TestRead(EipTag& tag) {
        auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
        EXPECT_EQ(connection->TestEMTag(&tag, *response), 0) << tag.GetInfo().tagName;
        EXPECT_EQ(response->count, 1);
        return response->replies[0];
    }
    int Write(const std::string& name, int32_t innerType, const Bytes& value) {
        auto tag = LogixTag(name, innerType);
        return connection->WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(),
                                          static_cast<uint16_t>(value.size()));
    }

    // One poll request and its reply: the reply's result, the records in `response`.
    int PollOnce(size_t& next, EIPC_TAG_REQUEST_STRUCT& response) {
        const size_t batchStart = next;
        EXPECT_EQ(connection->RequestEMTags(polled.list, polled.list.size(), next), 0);
        return connection->RecvEMTags(response, [&](uint16_t i) {
            return batchStart + i < polled.list.size() ? polled.list[batchStart + i] : nullptr;
        });
    }
    // Runs one whole poll cycle; the value bytes of every tag in poll-list order, and the
    // number of requests it took.
    std::vector<Bytes> PollCycle(int& requests) {
        std::vector<Bytes> values;
        size_t next = 0;
        requests = 0;
        do {
            auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
            const int got = PollOnce(next, *response);
            ++requests;
            EXPECT_GT(got, 0);
            if (got <= 0) {
                break;
            }
            for (uint16_t i = 0; i < response->count; ++i) {
                EXPECT_EQ(response->replies[i].generalStatus, 0) << "record " << i;
                values.push_back(response->replies[i].data);
            }
        } while (next != 0 && requests < 100);
        return values;
    }

    std::unique_ptr<plcsim::LogixController> plc =
        std::make_unique<plcsim::LogixController>(Config());
    std::unique_ptr<EipConnection> connection;
    wire_test::PollList polled;
};

}  // namespace

TEST_F(LogixPlcsimTest, TestReadReturnsTypeAndValue) {
    auto level = LogixTag("Level", EIP_INNER_TYPE_REAL);
    EIPC_TAG_REPLY_STRUCT r = TestRead(*level);
    EXPECT_EQ(r.dataType, 0xCA);
    EXPECT_FLOAT_EQ(eip_GetLitEndianFloat(r.data.data()), 12.5f);

    auto message = LogixTag("Message", EIP_INNER_TYPE_STRUCTURE);
    r = TestRead(*message);
    EXPECT_EQ(r.dataType, 0x02A0);
    EXPECT_EQ(r.structHandle, 0x0FCE);
    EXPECT_EQ(r.dataLength, 88);
    EXPECT_EQ(std::string(r.data.begin() + 4, r.data.begin() + 21), "hello from plcsim");

    auto range = LogixTag("Buffer[3~5]");
    r = TestRead(*range);
    EXPECT_EQ(r.dataLength, 12);
    EXPECT_EQ(eip_GetLitEndian32(r.data.data() + 8), 5u);
}

TEST_F(LogixPlcsimTest, PollsFortyTagsOverTheLargeConnectionInOneRequest) {
    for (int i = 0; i < 40; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Tag%02d", i);
        Define(name, "DINT", {}, 1000 + i);
        Poll(name);
    }
    int requests = 0;
    const auto values = PollCycle(requests);
    EXPECT_EQ(requests, 1);
    ASSERT_EQ(values.size(), 40u);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(eip_GetLitEndian32(values[i].data()), static_cast<uint32_t>(1000 + i));
    }
    EXPECT_EQ(plc->Sim().Stats().connectedRequests, 1u);
}

TEST_F(LogixPlcsimTest, WritesAreReadBackFromTheController) {
    uint8_t real[4];
    eip_PutLitEndianFloat(33.25f, real);
    // -100 as SINT: one byte and a pad byte on the wire.
    EXPECT_EQ(Write("Value", EIP_INNER_TYPE_DINT, {0x15, 0xCD, 0x5B, 0x07}), 0);
    EXPECT_EQ(Write("Small", EIP_INNER_TYPE_SINT, {0x9C}), 0);
    EXPECT_EQ(Write("Motor1.Speed", EIP_INNER_TYPE_REAL, Bytes(real, real + 4)), 0);
    EXPECT_EQ(Write("Message", EIP_INNER_TYPE_STRUCTURE, {3, 0, 0, 0, 'a', 'b', 'c'}), 0);
    EXPECT_EQ(Write("Buffer[4~5]", EIP_INNER_TYPE_DINT, {1, 0, 0, 0, 2, 0, 0, 0}), 0);
    EXPECT_EQ(plc->Tags().GetInt("Value"), 123456789);
    EXPECT_EQ(plc->Tags().GetInt("Small"), -100);
    EXPECT_EQ(plc->Tags().GetReal("Motor1.Speed"), 33.25);
    EXPECT_EQ(plc->Tags().GetString("Message"), "abc");
    EXPECT_EQ(plc->Tags().GetInt("Buffer[4]"), 1);
    EXPECT_EQ(plc->Tags().GetInt("Buffer[5]"), 2);
    EXPECT_EQ(plc->Tags().GetInt("Buffer[6]"), 6);
    EXPECT_EQ(plc->Tags().WriteCount(), 5u);
    auto value = LogixTag("Value");
    EXPECT_EQ(eip_GetLitEndian32(TestRead(*value).data.data()), 123456789u);
}

TEST_F(LogixPlcsimTest, UnknownTagsAndWrongTypesAreRefusedAndChangeNothing) {
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    for (const char* missing : {"NoSuchTag", "Motor1.Torque"}) {
        EXPECT_EQ(connection->TestEMTag(LogixTag(missing).get(), *response), -1) << missing;
    }
    EXPECT_EQ(Write("Value", EIP_INNER_TYPE_INT, {1, 0}), -1);
    EXPECT_EQ(Write("Nope", EIP_INNER_TYPE_INT, {1, 0}), -1);
    EXPECT_EQ(plc->Tags().GetInt("Value"), 100000);
    EXPECT_EQ(plc->Tags().WriteCount(), 0u);

    // A poll reply carries the error of each tag in its record.
    Poll("Value");
    Poll("Missing");
    Poll("Word", EIP_INNER_TYPE_INT);
    size_t next = 0;
    ASSERT_GT(PollOnce(next, *response), 0);
    ASSERT_EQ(response->count, 3);
    EXPECT_EQ(response->replies[0].generalStatus, 0);
    EXPECT_EQ(response->replies[1].generalStatus, CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    EXPECT_EQ(response->replies[1].dataLength, 0);
    EXPECT_EQ(response->replies[2].dataType, 0xC3);
    EXPECT_EQ(eip_GetLitEndian16(response->replies[2].data.data()), 1234);
}

// A dropped reply, or one of another sequence count (never taken as the answer), is a time-out
// that closes the socket; a fresh session polls again.
TEST_F(LogixPlcsimTest, LostOrMismatchedPollReplyIsATimeOutAndANewSessionPollsAgain) {
    Poll("Value");
    for (plcsim::FaultAction action :
         {plcsim::FaultAction::Drop, plcsim::FaultAction::WrongSequenceCount}) {
        plcsim::Fault fault;
        fault.action = action;
        fault.command = EIP_CMD_SEND_UNIT_DATA;
        plc->Sim().InjectFault(fault);
        size_t next = 0;
        auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
        EXPECT_EQ(PollOnce(next, *response), -2);
        EXPECT_EQ(response->count, 0);
        EXPECT_LT(connection->GetSocketFd(), 0);
        connection = Connect();
        ASSERT_NE(connection, nullptr);
        int requests = 0;
        EXPECT_EQ(PollCycle(requests), std::vector<Bytes>{Bytes({0xA0, 0x86, 0x01, 0x00})});
    }
}

// ---- Connection sizes, packing both ways, fragments --------------------------------------------

// Controller configurations a client meets: the large connection, firmware without it, a
// controller offering a size of its own, an adapter answering with the O->T id.
TEST_F(LogixPlcsimTest, ArraysStringsAndADintThousandPollAndWriteWholeAtEveryConnectionSize) {
    struct SizeCase {
        const char* name;
        std::function<void(plcsim::SimConfig&)> change;
        uint16_t granted;
    };
    const SizeCase sizes[] = {
        {"large", [](plcsim::SimConfig&) {}, 4002},
        {"no 0x5B", [](plcsim::SimConfig& c) { c.largeForwardOpen = false; }, 500},
        {"offers 1000", [](plcsim::SimConfig& c) { c.maxConnectionSize = 1000; }, 1000},
        {"offers 400",
         [](plcsim::SimConfig& c) {
             c.largeForwardOpen = false;
             c.maxConnectionSize = 400;
         },
         400},
        {"O->T id in replies", [](plcsim::SimConfig& c) { c.replyWithOtConnectionId = true; },
         4002},
    };
    std::vector<int> initial(1000);
    Bytes written(4000);
    for (int i = 0; i < 1000; ++i) {
        initial[i] = i * 3;
        eip_PutLitEndian32(static_cast<uint32_t>(7 * i + 1), written.data() + 4 * i);
    }
    for (const SizeCase& size : sizes) {
        SCOPED_TRACE(size.name);
        StartWith(size.change);
        ASSERT_EQ(connection->GetConnectionSize(), size.granted);
        for (int i = 0; i < 20; ++i) {
            Define("Arr" + std::to_string(i), "DINT", {10});
            PollTested("Arr" + std::to_string(i) + "[0~9]");
        }
        for (int i = 0; i < 10; ++i) {
            Define("Text" + std::to_string(i), "STRING", {}, "text " + std::to_string(i));
            PollTested("Text" + std::to_string(i));
        }
        Define("Big", "DINT", {1000}, initial);
        ASSERT_EQ(PollTested("Big[0~999]")->GetInfo().dataLen, 4000);
        for (int cycle = 0; cycle < 2; ++cycle) {
            int requests = 0;
            const auto values = PollCycle(requests);  // checks every record's status
            ASSERT_EQ(values.size(), 31u);
            for (size_t i = 0; i < 30; ++i) {
                EXPECT_EQ(values[i].size(), i < 20 ? 40u : 88u) << i;
            }
            ASSERT_EQ(values[30].size(), 4000u);
            EXPECT_EQ(eip_GetLitEndian32(values[30].data() + 4 * 999), cycle == 0 ? 2997u : 6994u);
            if (cycle == 0) {
                ASSERT_EQ(Write("Big[0~999]", EIP_INNER_TYPE_DINT, written), 0);
                EXPECT_EQ(plc->Tags().GetInt("Big[0]"), 1);
            }
        }
    }
}

// plcsim holds at most 65535 elements per dimension: element 70000 of such an array is refused
// as beyond its end, where a clamped index would have read element 65535 (here: 65534, the last).
TEST_F(LogixPlcsimTest, ElementAbove65535IsAddressedNotClampedToAnotherElement) {
    Define("Huge", "DINT", {65535});
    ASSERT_TRUE(plc->Tags().SetInt("Huge[65534]", 4242));
    EXPECT_EQ(eip_GetLitEndian32(TestRead(*LogixTag("Huge[65534]")).data.data()), 4242u);
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    EXPECT_EQ(connection->TestEMTag(LogixTag("Huge[70000]").get(), *response), -1);
    EXPECT_EQ(Write("Huge[70000]", EIP_INNER_TYPE_DINT, {7, 0, 0, 0}), -1);
    EXPECT_EQ(plc->Tags().GetInt("Huge[65534]"), 4242);
}

// A reply that comes after its request timed out is never taken for the next request's: the
// connection is opened again and each reply must carry its request's sender context.
TEST_F(LogixPlcsimTest, LateRepliesNeverAnswerTheNextRequest) {
    plcsim::Fault late;
    late.action = plcsim::FaultAction::Delay;
    late.command = EIP_CMD_SEND_RR_DATA;
    late.delay = std::chrono::milliseconds(1300);
    plc->Sim().InjectFault(late);
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    EXPECT_EQ(connection->TestEMTag(LogixTag("Level", EIP_INNER_TYPE_REAL).get(), *response), -1);
    auto value = LogixTag("Value");
    EXPECT_EQ(eip_GetLitEndian32(TestRead(*value).data.data()), 100000u);

    // Write k is late; write k+1 is refused by the controller and must say so.
    plc->Sim().InjectFault(late);
    EXPECT_EQ(Write("Value", EIP_INNER_TYPE_DINT, {1, 0, 0, 0}), -1);
    EXPECT_EQ(Write("Value", EIP_INNER_TYPE_INT, {1, 0}), -1);
    EXPECT_EQ(Write("Value", EIP_INNER_TYPE_DINT, {1, 0, 0, 0}), 0);
}
