// The client of both families against plcsim on loopback. Logix: polling and writing over the
// class-3 connection at every connection size, 32-bit element indices and late replies. PLC5:
// added through the actions, without a class-3 connection, its PLC Type deciding the files asked
// (each file type read, written and refused: tests/family and pccc_block_test.cpp).

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "action/link_errors.h"
#include "family/wire_support.h"
#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"
#include "sim/pccc_services.h"
#include "strata_sdk/sdk.h"
#include "support/action_link.h"
#include "support/sim_plc.h"

using tb_test::WaitUntil;
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
        plcsim::SimConfig config = tb_test::LoopbackConfig(2);
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

    // A registered session with an open class-3 connection.
    std::unique_ptr<EipConnection> Connect() {
        const ConnectInfo info = tb_test::LoopbackInfo(plc->Sim().Port(), "plc1", 2);
        std::unique_ptr<EipConnection> c(EipConnection::Create(kFamilyCip, &info));
        if (!c || c->Connect(info.host, info.port, 2) != 0 || c->RegisterSession(2) != 0 ||
            c->OpenExplicitConnection(45000) != 0) {
            return nullptr;
        }
        return c;
    }

    EipTag* Poll(const std::string& name, int32_t innerType = kInnerTypeDint) {
        return polled.Add(LogixTag(name, innerType));
    }
    // Adds a tag to the poll list after a test read taught it its type and value size, as the
    // device does when a tag is added.
    EipTag* PollTested(const std::string& name) {
        EipTag* tag = Poll(name);
        const TagReplySet r = TestRead(*tag);
        tag->GetInfo().innerType = r.dataType;
        tag->GetInfo().dataLen = r.dataLength;
        return tag;
    }
    // The record of a test read that must succeed.
    TagReplySet TestRead(EipTag& tag) {
        auto response = std::make_unique<TagRequestSet>();
        EXPECT_EQ(connection->TestExplicitTag(&tag, *response), 0) << tag.GetInfo().tagName;
        EXPECT_EQ(response->count, 1);
        return response->replies[0];
    }
    int Write(const std::string& name, int32_t innerType, const Bytes& value) {
        auto tag = LogixTag(name, innerType);
        return connection->WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(),
                                          static_cast<uint16_t>(value.size()));
    }

    // One poll request and its reply: the reply's result, the records in `response`.
    int PollOnce(size_t& next, TagRequestSet& response) {
        const size_t batchStart = next;
        EXPECT_EQ(connection->RequestExplicitTags(polled.list, polled.list.size(), next), 0);
        return connection->RecvExplicitTags(response, [&](uint16_t i) {
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
            auto response = std::make_unique<TagRequestSet>();
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
        std::make_unique<plcsim::LogixController>(tb_test::LoopbackConfig(2));
    std::unique_ptr<EipConnection> connection;
    wire_test::PollList polled;
};

}  // namespace

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
        PutLittleEndian32(static_cast<uint32_t>(7 * i + 1), written.data() + 4 * i);
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
            EXPECT_EQ(GetLittleEndian32(values[30].data() + 4 * 999), cycle == 0 ? 2997u : 6994u);
            if (cycle == 0) {
                ASSERT_EQ(Write("Big[0~999]", kInnerTypeDint, written), 0);
                EXPECT_EQ(plc->Tags().GetInt("Big[0]"), 1);
            }
        }
    }
}

// The 32-bit element segment of index 70000 reads and writes element 70000 itself, neither a
// clamped (65535) nor a wrapped (4464) one; one past the end is refused and writes nothing.
TEST_F(LogixPlcsimTest, Big70000ReadsAndWritesElement70000OfADint70001) {
    Define("Big", "DINT", {70001});
    ASSERT_TRUE(plc->Tags().SetInt("Big[70000]", 700007));
    EXPECT_EQ(GetLittleEndian32(TestRead(*LogixTag("Big[70000]")).data.data()), 700007u);
    EXPECT_EQ(Write("Big[70000]", kInnerTypeDint, {42, 0, 0, 0}), 0);
    EXPECT_EQ(plc->Tags().GetInt("Big[70000]"), 42);
    EXPECT_EQ(plc->Tags().GetInt("Big[65535]"), 0);
    EXPECT_EQ(plc->Tags().GetInt("Big[4464]"), 0);
    auto response = std::make_unique<TagRequestSet>();
    EXPECT_EQ(connection->TestExplicitTag(LogixTag("Big[70001]").get(), *response), -1);
    EXPECT_EQ(Write("Big[70001]", kInnerTypeDint, {7, 0, 0, 0}), -1);
    EXPECT_EQ(plc->Tags().GetInt("Big[4465]"), 0);
}

// A reply that comes after its request timed out is never taken for the next request's: the
// connection is opened again and each reply must carry its request's sender context.
TEST_F(LogixPlcsimTest, LateRepliesNeverAnswerTheNextRequest) {
    plcsim::Fault late;
    late.action = plcsim::FaultAction::Delay;
    late.command = EIP_CMD_SEND_RR_DATA;
    late.delay = std::chrono::milliseconds(1300);
    plc->Sim().InjectFault(late);
    auto response = std::make_unique<TagRequestSet>();
    EXPECT_EQ(connection->TestExplicitTag(LogixTag("Level", kInnerTypeReal).get(), *response), -1);
    auto value = LogixTag("Value");
    EXPECT_EQ(GetLittleEndian32(TestRead(*value).data.data()), 100000u);

    // Write k is late; write k+1 is refused by the controller and must say so.
    plc->Sim().InjectFault(late);
    EXPECT_EQ(Write("Value", kInnerTypeDint, {1, 0, 0, 0}), -1);
    EXPECT_EQ(Write("Value", kInnerTypeInt, {1, 0}), -1);
    EXPECT_EQ(Write("Value", kInnerTypeDint, {1, 0, 0, 0}), 0);
}

// ---- PLC5 through the actions -----------------------------------------------------------------

namespace {

class PcccDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Sim().Start()) << plc.Sim().LastStartError();
        ASSERT_TRUE(link.Ready());
        ASSERT_EQ("success!", link.AddPlc("PLC5", plc.Sim().Port(), "PCCC"));
    }
    void TearDown() override { EXPECT_TRUE(plc.Sim().ProtocolErrors().empty()); }

    static plcsim::SimConfig Config() {
        plcsim::SimConfig config = tb_test::LoopbackConfig();
        config.identity.productName = "PLC-5/40E";
        return config;
    }
    // Adds read-write tags by data-table address, each test read by the link; the message of
    // each.
    std::vector<std::string> AddTags(const std::vector<std::pair<std::string, std::string>>& tags) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [alias, address] : tags) {
            list.push_back({{"Tag Alias", alias},
                            {"Tag Name", address},
                            {"PLC5Address", address},
                            {"RW Flag", "RW"}});
        }
        return link.Tags("/PLC5/EM Tags/Add Tags", list.dump());
    }
    std::string Write(const std::string& alias, const std::string& value) {
        return link.Write("PLC5", alias, value);
    }
    std::string Value(const std::string& alias) { return link.ValueText("PLC5", alias); }

    plcsim::PcccController plc{Config()};
    tb_test::ActionLink link;
};

TEST_F(PcccDeviceTest, Plc5IsConnectedWithoutAClass3Connection) {
    EXPECT_TRUE(WaitUntil([this] { return link.Value("/PLC5/productname") == "PLC-5/40E"; }));
    EXPECT_TRUE(plc.Sim().Connections().empty());
}

// The PLC Type of Add PLC reaches the device: the same controller added as an SLC 500 is asked
// for no L file.
TEST_F(PcccDeviceTest, PlcTypeOfAddPlcDecidesTheFilesAsked) {
    ASSERT_EQ("success!", link.AddPlc("SLC", plc.Sim().Port(), "PCCC\",\"PLC Type\":\"SLC 500"));
    EXPECT_EQ(std::vector<std::string>{link_error::Message(link_error::kTagNotFoundInPlc)},
              link.Tags("/SLC/EM Tags/Add Tags", R"({"Tag Alias":"t","PLC5Address":"L9:0"})"));
    EXPECT_EQ(std::vector<std::string>{"success!"}, AddTags({{"Total", "L9:0"}}));
}

}  // namespace
