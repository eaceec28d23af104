// The Logix connection against the simulated controller on loopback: test reads, polling over
// the class-3 connection, writes read back, controller errors and lost replies.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "family/controllogix_connection.h"
#include "family/logix_wire_support.h"
#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"
#include "support/log_capture.h"

using logix_test::MakeTag;

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

    // Starts over with a controller of another configuration.
    void StartWith(const std::function<void(plcsim::SimConfig&)>& change) {
        connection.reset();
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

    // Adds a tag to the poll list after a test read taught it its type and value size, as the
    // device does when a tag is added.
    EipTag* PollTested(const std::string& name) {
        EipTag* tag = Poll(name);
        auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
        EXPECT_EQ(connection->TestEMTag(tag, *response), 0) << name;
        tag->GetInfo().innerType = response->replies[0].dataType;
        tag->GetInfo().dataLen = response->replies[0].dataLength;
        return tag;
    }
    void TearDown() override {
        if (connection) {
            EXPECT_TRUE(plc->Sim().ProtocolErrors().empty())
                << "first refusal: " << plc->Sim().ProtocolErrors().front();
        }
    }

    static plcsim::SimConfig Config() {
        plcsim::SimConfig config;
        config.bindAddress = "127.0.0.1";
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

    // Adds a tag to the poll list.
    EipTag* Poll(const std::string& name, int32_t innerType = EIP_INNER_TYPE_DINT) {
        owned.push_back(MakeTag(name, innerType));
        pollList.push_back(owned.back().get());
        return owned.back().get();
    }

    // Runs one whole poll cycle; the value bytes of every tag in poll-list order, and the
    // number of requests it took.
    std::vector<std::vector<uint8_t>> PollCycle(int& requests) {
        std::vector<std::vector<uint8_t>> values;
        size_t next = 0;
        requests = 0;
        do {
            const size_t batchStart = next;
            EXPECT_EQ(connection->RequestEMTags(pollList, pollList.size(), next), 0);
            ++requests;
            auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
            const int got = connection->RecvEMTags(*response, [&](uint16_t i) {
                return batchStart + i < pollList.size() ? pollList[batchStart + i] : nullptr;
            });
            EXPECT_GT(got, 0);
            if (got <= 0) {
                break;
            }
            for (uint16_t i = 0; i < response->count; ++i) {
                const EIPC_TAG_REPLY_STRUCT& r = response->replies[i];
                EXPECT_EQ(r.generalStatus, 0) << "tag " << batchStart + i;
                values.push_back(r.data);
            }
        } while (next != 0 && requests < 100);
        return values;
    }

    int32_t TestReadDint(EipTag* tag) {
        auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
        EXPECT_EQ(connection->TestEMTag(tag, *response), 0);
        EXPECT_EQ(response->replies[0].dataType, 0xC4);
        return static_cast<int32_t>(eip_GetLitEndian32(response->replies[0].data.data()));
    }

    std::unique_ptr<plcsim::LogixController> plc =
        std::make_unique<plcsim::LogixController>(Config());
    std::unique_ptr<EipConnection> connection;
    std::vector<std::unique_ptr<EipTag>> owned;
    std::vector<EipTag*> pollList;
};

}  // namespace

TEST_F(LogixPlcsimTest, TestReadReturnsTypeAndValue) {
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    auto level = MakeTag("Level", EIP_INNER_TYPE_REAL);
    ASSERT_EQ(connection->TestEMTag(level.get(), *response), 0);
    ASSERT_EQ(response->count, 1);
    EXPECT_EQ(response->replies[0].dataType, 0xCA);
    EXPECT_FLOAT_EQ(eip_GetLitEndianFloat(response->replies[0].data.data()), 12.5f);

    auto message = MakeTag("Message", EIP_INNER_TYPE_STRUCTURE);
    ASSERT_EQ(connection->TestEMTag(message.get(), *response), 0);
    EXPECT_EQ(response->replies[0].dataType, 0x02A0);
    EXPECT_EQ(response->replies[0].structHandle, 0x0FCE);
    EXPECT_EQ(response->replies[0].dataLength, 88);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(response->replies[0].data.data() + 4), 17),
              "hello from plcsim");

    auto range = MakeTag("Buffer[3~5]");
    ASSERT_EQ(connection->TestEMTag(range.get(), *response), 0);
    EXPECT_EQ(response->replies[0].dataLength, 12);
    EXPECT_EQ(eip_GetLitEndian32(response->replies[0].data.data() + 8), 5u);
}

TEST_F(LogixPlcsimTest, UnknownTagTestReadFails) {
    auto missing = MakeTag("NoSuchTag");
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    EXPECT_EQ(connection->TestEMTag(missing.get(), *response), -1);
    auto member = MakeTag("Motor1.Torque");
    EXPECT_EQ(connection->TestEMTag(member.get(), *response), -1);
}

TEST_F(LogixPlcsimTest, PollsFortyTagsOverTheLargeConnectionInOneRequest) {
    for (int i = 0; i < 40; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Tag%02d", i);
        plcsim::LogixTagDefinition d;
        d.name = name;
        d.type = "DINT";
        d.value = 1000 + i;
        plc->DefineTag(d);
        Poll(name);
    }
    int requests = 0;
    const auto values = PollCycle(requests);
    EXPECT_EQ(requests, 1);
    ASSERT_EQ(values.size(), 40u);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(values[i].size(), 4u);
        EXPECT_EQ(eip_GetLitEndian32(values[i].data()), static_cast<uint32_t>(1000 + i));
    }
    EXPECT_EQ(plc->Sim().Stats().connectedRequests, 1u);
}

TEST_F(LogixPlcsimTest, PollingShowsTheCounterMoving) {
    plcsim::LogixTagDefinition fast;
    fast.name = "Fast";
    fast.type = "DINT";
    fast.animation = plcsim::LogixAnimation{plcsim::LogixAnimation::Kind::Counter, 1, 0, 0, 1};
    plc->DefineTag(fast);
    Poll("Fast");
    int requests = 0;
    const uint32_t first = eip_GetLitEndian32(PollCycle(requests).at(0).data());
    uint32_t later = first;
    for (int i = 0; i < 2000 && later == first; ++i) {
        later = eip_GetLitEndian32(PollCycle(requests).at(0).data());
    }
    EXPECT_NE(later, first);
}

TEST_F(LogixPlcsimTest, WritesAreReadBackFromTheController) {
    auto value = MakeTag("Value", EIP_INNER_TYPE_DINT);
    const uint8_t dint[] = {0x15, 0xCD, 0x5B, 0x07};  // 123456789
    EXPECT_EQ(connection->WriteDataToTag(value->GetInfo(), value->GetTagData(), dint, 4), 0);
    EXPECT_EQ(plc->Tags().GetInt("Value"), 123456789);
    EXPECT_EQ(TestReadDint(value.get()), 123456789);

    auto small = MakeTag("Small", EIP_INNER_TYPE_SINT);
    const uint8_t sint = 0x9C;  // -100: one byte and a pad byte on the wire
    EXPECT_EQ(connection->WriteDataToTag(small->GetInfo(), small->GetTagData(), &sint, 1), 0);
    EXPECT_EQ(plc->Tags().GetInt("Small"), -100);

    auto speed = MakeTag("Motor1.Speed", EIP_INNER_TYPE_REAL);
    uint8_t real[4];
    eip_PutLitEndianFloat(33.25f, real);
    EXPECT_EQ(connection->WriteDataToTag(speed->GetInfo(), speed->GetTagData(), real, 4), 0);
    EXPECT_EQ(plc->Tags().GetReal("Motor1.Speed"), 33.25);

    auto text = MakeTag("Message", EIP_INNER_TYPE_STRUCTURE);
    const uint8_t str[] = {3, 0, 0, 0, 'a', 'b', 'c'};
    EXPECT_EQ(connection->WriteDataToTag(text->GetInfo(), text->GetTagData(), str, 7), 0);
    EXPECT_EQ(plc->Tags().GetString("Message"), "abc");

    auto range = MakeTag("Buffer[4~5]", EIP_INNER_TYPE_DINT);
    const uint8_t two[] = {1, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(connection->WriteDataToTag(range->GetInfo(), range->GetTagData(), two, 8), 0);
    EXPECT_EQ(plc->Tags().GetInt("Buffer[4]"), 1);
    EXPECT_EQ(plc->Tags().GetInt("Buffer[5]"), 2);
    EXPECT_EQ(plc->Tags().GetInt("Buffer[6]"), 6);
    EXPECT_EQ(plc->Tags().WriteCount(), 5u);
}

TEST_F(LogixPlcsimTest, RefusedWriteFailsAndChangesNothing) {
    auto wrongType = MakeTag("Value", EIP_INNER_TYPE_INT);
    const uint8_t word[] = {1, 0};
    EXPECT_EQ(connection->WriteDataToTag(wrongType->GetInfo(), wrongType->GetTagData(), word, 2),
              -1);
    auto missing = MakeTag("Nope", EIP_INNER_TYPE_INT);
    EXPECT_EQ(connection->WriteDataToTag(missing->GetInfo(), missing->GetTagData(), word, 2), -1);
    EXPECT_EQ(plc->Tags().GetInt("Value"), 100000);
    EXPECT_EQ(plc->Tags().WriteCount(), 0u);
}

TEST_F(LogixPlcsimTest, PollReplyRecordsCarryPerTagErrors) {
    Poll("Value");
    Poll("Missing");
    Poll("Word", EIP_INNER_TYPE_INT);
    size_t next = 0;
    ASSERT_EQ(connection->RequestEMTags(pollList, pollList.size(), next), 0);
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    ASSERT_GT(connection->RecvEMTags(*response, [](uint16_t) { return nullptr; }), 0);
    ASSERT_EQ(response->count, 3);
    EXPECT_EQ(response->replies[0].generalStatus, 0);
    EXPECT_EQ(response->replies[1].generalStatus, CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    EXPECT_EQ(response->replies[1].dataLength, 0);
    EXPECT_EQ(response->replies[2].dataType, 0xC3);
    EXPECT_EQ(eip_GetLitEndian16(response->replies[2].data.data()), 1234);
}

TEST_F(LogixPlcsimTest, DroppedPollReplyIsATimeOutAndTheSocketIsClosed) {
    Poll("Value");
    plcsim::Fault drop;
    drop.action = plcsim::FaultAction::Drop;
    drop.command = EIP_CMD_SEND_UNIT_DATA;
    plc->Sim().InjectFault(drop);
    size_t next = 0;
    ASSERT_EQ(connection->RequestEMTags(pollList, pollList.size(), next), 0);
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    EXPECT_EQ(connection->RecvEMTags(*response, [](uint16_t) { return nullptr; }), -2);
    EXPECT_LT(connection->GetSocketFd(), 0);

    // A fresh session polls again.
    connection = Connect();
    ASSERT_NE(connection, nullptr);
    int requests = 0;
    EXPECT_EQ(PollCycle(requests).size(), 1u);
}

TEST_F(LogixPlcsimTest, ReplyWithWrongSequenceCountIsDroppedNeverTakenAsTheAnswer) {
    Poll("Value");
    plcsim::Fault wrong;
    wrong.action = plcsim::FaultAction::WrongSequenceCount;
    wrong.command = EIP_CMD_SEND_UNIT_DATA;
    plc->Sim().InjectFault(wrong);
    size_t next = 0;
    ASSERT_EQ(connection->RequestEMTags(pollList, pollList.size(), next), 0);
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    tb_test::LogCapture log;
    EXPECT_EQ(connection->RecvEMTags(*response, [](uint16_t) { return nullptr; }), -2);
    EXPECT_EQ(response->count, 0);
    EXPECT_TRUE(log.Contains("RecvEMTags: late reply dropped")) << log.All();
    // A new session is clean again.
    connection = Connect();
    ASSERT_NE(connection, nullptr);
    int requests = 0;
    EXPECT_EQ(PollCycle(requests).size(), 1u);
}

TEST_F(LogixPlcsimTest, RestartedControllerIsReachedByANewSession) {
    Poll("Value");
    plc->Sim().Stop();
    size_t next = 0;
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    const int sent = connection->RequestEMTags(pollList, pollList.size(), next);
    if (sent == 0) {
        EXPECT_LT(connection->RecvEMTags(*response, [](uint16_t) { return nullptr; }), 0);
    }
    ASSERT_TRUE(plc->Sim().Restart());
    connection = Connect();
    ASSERT_NE(connection, nullptr);
    int requests = 0;
    const auto values = PollCycle(requests);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(eip_GetLitEndian32(values[0].data()), 100000u);
}

// ---- Large connections, packing both ways, fragments, matched replies -----------------------

namespace {

// Controller configurations a client meets: the large connection, firmware without it, a
// controller offering a size of its own.
struct SizeCase {
    const char* name;
    std::function<void(plcsim::SimConfig&)> change;
    uint16_t granted;
};

std::vector<SizeCase> SizeCases() {
    return {
        {"large", [](plcsim::SimConfig&) {}, 4002},
        {"no 0x5B", [](plcsim::SimConfig& c) { c.largeForwardOpen = false; }, 500},
        {"offers 1000", [](plcsim::SimConfig& c) { c.maxConnectionSize = 1000; }, 1000},
        {"offers 400",
         [](plcsim::SimConfig& c) {
             c.largeForwardOpen = false;
             c.maxConnectionSize = 400;
         },
         400},
    };
}

}  // namespace

TEST_F(LogixPlcsimTest, ArraysAndStringsAllUpdateEveryCycleAtEveryConnectionSize) {
    for (const SizeCase& size : SizeCases()) {
        tb_test::LogCapture log;
        StartWith(size.change);
        ASSERT_EQ(connection->GetConnectionSize(), size.granted) << size.name;
        EXPECT_TRUE(log.Contains("granted, " + std::to_string(size.granted) + " bytes"))
            << log.All();
        owned.clear();
        pollList.clear();
        for (int i = 0; i < 20; ++i) {
            Define("Arr" + std::to_string(i), "DINT", {10});
            PollTested("Arr" + std::to_string(i) + "[0~9]");
        }
        for (int i = 0; i < 10; ++i) {
            Define("Text" + std::to_string(i), "STRING", {}, "text " + std::to_string(i));
            PollTested("Text" + std::to_string(i));
        }
        for (int cycle = 0; cycle < 3; ++cycle) {
            int requests = 0;
            const auto values = PollCycle(requests);  // checks every record's status
            ASSERT_EQ(values.size(), 30u) << size.name;
            for (size_t i = 0; i < values.size(); ++i) {
                EXPECT_EQ(values[i].size(), i < 20 ? 40u : 88u) << size.name << " " << i;
            }
        }
    }
}

TEST_F(LogixPlcsimTest, DintThousandIsReadAndWrittenWholeAtEveryConnectionSize) {
    for (const SizeCase& size : SizeCases()) {
        StartWith(size.change);
        std::vector<int> initial(1000);
        for (int i = 0; i < 1000; ++i) {
            initial[i] = i * 3;
        }
        Define("Big", "DINT", {1000}, initial);
        owned.clear();
        pollList.clear();
        EipTag* big = PollTested("Big[0~999]");
        ASSERT_EQ(big->GetInfo().dataLen, 4000) << size.name;
        int requests = 0;
        const auto values = PollCycle(requests);
        ASSERT_EQ(values.size(), 1u);
        ASSERT_EQ(values[0].size(), 4000u) << size.name;
        for (int i = 0; i < 1000; i += 111) {
            EXPECT_EQ(eip_GetLitEndian32(values[0].data() + 4 * i), static_cast<uint32_t>(i * 3));
        }
        std::vector<uint8_t> written(4000);
        for (int i = 0; i < 1000; ++i) {
            eip_PutLitEndian32(static_cast<uint32_t>(7 * i + 1), written.data() + 4 * i);
        }
        auto whole = MakeTag("Big[0~999]", EIP_INNER_TYPE_DINT);
        ASSERT_EQ(
            connection->WriteDataToTag(whole->GetInfo(), whole->GetTagData(), written.data(), 4000),
            0)
            << size.name;
        EXPECT_EQ(plc->Tags().GetInt("Big[0]"), 1);
        EXPECT_EQ(plc->Tags().GetInt("Big[999]"), 7 * 999 + 1);
        EXPECT_EQ(PollCycle(requests).at(0), written);
    }
}

TEST_F(LogixPlcsimTest, RepliesCarryingTheOtherIdOfTheConnectionPollNormally) {
    StartWith([](plcsim::SimConfig& c) { c.replyWithOtConnectionId = true; });
    Poll("Value");
    for (int cycle = 0; cycle < 3; ++cycle) {
        int requests = 0;
        const auto values = PollCycle(requests);
        ASSERT_EQ(values.size(), 1u);
        EXPECT_EQ(eip_GetLitEndian32(values[0].data()), 100000u);
    }
}

// plcsim holds at most 65535 elements per dimension: element 70000 of such an array is refused
// as beyond its end, where a clamped index would have read element 65535 (here: 65534, the last).
TEST_F(LogixPlcsimTest, ElementAbove65535IsAddressedNotClampedToAnotherElement) {
    Define("Huge", "DINT", {65535});
    ASSERT_TRUE(plc->Tags().SetInt("Huge[65534]", 4242));
    EXPECT_EQ(TestReadDint(MakeTag("Huge[65534]").get()), 4242);
    auto beyond = MakeTag("Huge[70000]");
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    EXPECT_EQ(connection->TestEMTag(beyond.get(), *response), -1);
    const uint8_t value[] = {7, 0, 0, 0};
    EXPECT_EQ(connection->WriteDataToTag(beyond->GetInfo(), beyond->GetTagData(), value, 4), -1);
    EXPECT_EQ(plc->Tags().GetInt("Huge[65534]"), 4242);
}

// Arrays hold more than 65535 elements: the 32-bit element segment of index 70000 reads and
// writes element 70000 itself, neither a clamped (65535) nor a wrapped (4464) one.
TEST_F(LogixPlcsimTest, Big70000ReadsAndWritesElement70000OfADint70001) {
    Define("Big", "DINT", {70001});
    ASSERT_TRUE(plc->Tags().SetInt("Big[70000]", 700007));
    auto element = MakeTag("Big[70000]");
    EXPECT_EQ(TestReadDint(element.get()), 700007);
    const uint8_t value[] = {42, 0, 0, 0};
    EXPECT_EQ(connection->WriteDataToTag(element->GetInfo(), element->GetTagData(), value, 4), 0);
    EXPECT_EQ(plc->Tags().GetInt("Big[70000]"), 42);
    EXPECT_EQ(plc->Tags().GetInt("Big[65535]"), 0);
    EXPECT_EQ(plc->Tags().GetInt("Big[4464]"), 0);
}

// A reply that comes after its request timed out is never taken for the next request's: the
// connection is opened again and each reply must carry its request's sender context.
TEST_F(LogixPlcsimTest, LateRepliesNeverAnswerTheNextRequest) {
    plcsim::Fault late;
    late.action = plcsim::FaultAction::Delay;
    late.command = EIP_CMD_SEND_RR_DATA;
    late.delay = std::chrono::milliseconds(1300);
    plc->Sim().InjectFault(late);
    auto level = MakeTag("Level", EIP_INNER_TYPE_REAL);
    auto response = std::make_unique<EIPC_TAG_REQUEST_STRUCT>();
    EXPECT_EQ(connection->TestEMTag(level.get(), *response), -1);
    auto value = MakeTag("Value");
    EXPECT_EQ(TestReadDint(value.get()), 100000);

    // Write k is late; write k+1 is refused by the controller and must say so.
    plc->Sim().InjectFault(late);
    const uint8_t dint[] = {1, 0, 0, 0};
    EXPECT_EQ(connection->WriteDataToTag(value->GetInfo(), value->GetTagData(), dint, 4), -1);
    auto wrongType = MakeTag("Value", EIP_INNER_TYPE_INT);
    EXPECT_EQ(connection->WriteDataToTag(wrongType->GetInfo(), wrongType->GetTagData(), dint, 2),
              -1);
    EXPECT_EQ(connection->WriteDataToTag(value->GetInfo(), value->GetTagData(), dint, 4), 0);
}
