// Browsing a Logix controller: the browse requests and replies byte by byte, the browser's
// handling of controllers that refuse or misbehave over a scripted exchange, and plcsim's demo
// controller browsed through the "Browse Tags" action as users run it and with the browser on a
// session of its own where the number and fill of the replies matter.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "action/eip_action.h"
#include "eip/cip_wire.h"
#include "eip/eip_connection.h"
#include "family/logix_browse.h"
#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"
#include "sim/pccc_services.h"
#include "strata_sdk/sdk.h"
#include "support/action_link.h"
#include "support/hex.h"
#include "support/sim_plc.h"
#include "support/wait_until.h"

namespace sdk = kestrel::strata_sdk;
using tb_test::Cat;
using tb_test::Hex;
using tb_test::Text;
using tb_test::WaitUntil;

namespace {

using Bytes = std::vector<uint8_t>;

ByteView View(const Bytes& bytes) {
    return ByteView{bytes.data(), bytes.size()};
}

// Attributes 1 (name), 2 (type) and 8 (dimensions).
const Bytes kSymbolAttributes = Hex("0300 0100 0200 0800");

TEST(LogixBrowseCodec, SymbolListRequestsNameScopeAndFirstInstanceInTheShortestSegment) {
    struct Case {
        std::string program;
        uint32_t first;
        Bytes expected;
    };
    const Case cases[] = {
        {"", 0, Cat({Hex("5502 206B 2400"), kSymbolAttributes})},
        {"", 0xFF, Cat({Hex("5502 206B 24FF"), kSymbolAttributes})},
        {"", 0x100, Cat({Hex("5503 206B 2500 0001"), kSymbolAttributes})},
        {"", 0xFFFF, Cat({Hex("5503 206B 2500 FFFF"), kSymbolAttributes})},
        {"", 0x12345, Cat({Hex("5504 206B 2600 45230100"), kSymbolAttributes})},
        {"Program:MainProgram", 0x1234,
         Cat({{0x55, 0x0E, 0x91, 0x13},
              Text("Program:MainProgram"),
              {0x00, 0x20, 0x6B, 0x25, 0x00, 0x34, 0x12},
              kSymbolAttributes})},
        {"Program:Pa", 7,
         Cat({{0x55, 0x08, 0x91, 0x0A},
              Text("Program:Pa"),
              {0x20, 0x6B, 0x24, 0x07},
              kSymbolAttributes})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, logix_browse::EncodeSymbolListRequest(c.program, c.first))
            << c.program << " " << c.first;
    }
}

TEST(LogixBrowseCodec, SymbolListReplyDecodesEveryEntryAndRefusesACutEntry) {
    const Bytes reply = Cat({
        {0x05, 0x00, 0x00, 0x00, 0x06, 0x00},
        Text("Motor1"),
        Hex("2D8B 00000000 00000000 00000000"),
        {0x07, 0x01, 0x00, 0x00, 0x04, 0x00},
        Text("Grid"),
        Hex("C340 03000000 04000000 00000000"),
    });
    std::vector<LogixSymbol> symbols;
    ASSERT_TRUE(logix_browse::DecodeSymbolList(View(reply), symbols));
    ASSERT_EQ(2u, symbols.size());
    EXPECT_EQ(std::make_tuple(5u, "Motor1", true, 0xB2D),
              std::make_tuple(symbols[0].instance, symbols[0].name, symbols[0].IsStructure(),
                              symbols[0].TemplateId()));
    EXPECT_EQ(std::make_tuple(0x107u, 2u, std::array<uint32_t, 3>{3, 4, 0}),
              std::make_tuple(symbols[1].instance, symbols[1].DimensionCount(), symbols[1].dims));

    Bytes writtenBack;
    for (const LogixSymbol& symbol : symbols) {
        ByteWriter w;
        logix_browse::WriteSymbolEntry(w, symbol);
        const Bytes entry = w.to_vector();
        writtenBack.insert(writtenBack.end(), entry.begin(), entry.end());
    }
    EXPECT_EQ(reply, writtenBack);

    for (size_t cut : {size_t{3}, size_t{9}, reply.size() - 1}) {
        std::vector<LogixSymbol> partial;
        EXPECT_FALSE(logix_browse::DecodeSymbolList(ByteView{reply.data(), cut}, partial)) << cut;
    }
}

TEST(LogixBrowseCodec, TemplateAttributesNeedAllFourWithSuccess) {
    // Four attributes, each id, status, value: 4 definition words 32, 5 structure size 116,
    // 2 member count 7, 1 handle 0x1B2D.
    const Bytes reply =
        Hex("0400 0400 0000 20000000 0500 0000 74000000 0200 0000 0700 0100 0000 2D1B");
    LogixTemplate attributes;
    ASSERT_TRUE(logix_browse::DecodeTemplateAttributes(View(reply), attributes));
    EXPECT_EQ(std::make_tuple(0x1B2D, 7, 32u, 116u, 32u * 4 - 23),
              std::make_tuple(attributes.handle, attributes.memberCount, attributes.definitionWords,
                              attributes.structureSize, attributes.DefinitionBytes()));

    Bytes refused = reply;
    refused[4] = 0x14;  // status of attribute 4
    Bytes missing = reply;
    missing[0] = 0x03;  // three attributes, handle left out
    for (const Bytes& bad : {refused, missing, Bytes(reply.begin(), reply.end() - 1)}) {
        LogixTemplate out;
        EXPECT_FALSE(logix_browse::DecodeTemplateAttributes(View(bad), out));
    }
}

TEST(LogixBrowseCodec, TemplateDefinitionGivesNameAndMembersAndRefusesMissingNames) {
    const Bytes definition = Cat({
        Hex("0000 C400 00000000"),  // Count DINT at 0
        Hex("0400 CA20 04000000"),  // Gains REAL[4] at 4
        Text("PAIR;n"),
        {0x00},
        Text("Count"),
        {0x00},
        Text("Gains"),
        {0x00},
    });
    LogixTemplate pair;
    pair.memberCount = 2;
    Bytes padded = definition;
    padded.insert(padded.end(), {0x00, 0x00, 0x00});
    ASSERT_TRUE(logix_browse::DecodeTemplateDefinition(View(padded), pair));
    EXPECT_EQ("PAIR", pair.name);
    ASSERT_EQ(2u, pair.members.size());
    const auto& gains = pair.members[1];
    EXPECT_EQ(std::make_tuple("Gains", 4, 0x20CA, 4u),
              std::make_tuple(gains.name, gains.info, gains.type, gains.offset));
    EXPECT_EQ(definition, logix_browse::EncodeTemplateDefinition(pair));

    for (size_t cut : {size_t{7}, size_t{16}, definition.size() - 7}) {
        LogixTemplate out;
        out.memberCount = 2;
        EXPECT_FALSE(logix_browse::DecodeTemplateDefinition(ByteView{definition.data(), cut}, out))
            << cut;
    }
}

// ---- Browser over a scripted controller -------------------------------------------------------

struct Scripted {
    std::deque<LogixBrowser::Reply> replies;
    size_t asked = 0;

    LogixBrowser::Exchange Exchange() {
        return [this](ByteView request, LogixBrowser::Reply& reply) {
            ++asked;
            if (replies.empty()) {
                return false;
            }
            reply = replies.front();
            replies.pop_front();
            reply.service = static_cast<uint8_t>(request.at(0) | CIP_SERVICE_REPLY);
            return true;
        };
    }
};

Bytes Entry(uint32_t instance, const std::string& name, uint16_t type) {
    ByteWriter w;
    logix_browse::WriteSymbolEntry(w, LogixSymbol{instance, name, type, {}});
    return w.to_vector();
}

TEST(LogixBrowser, RefusalsAndStalledPagingEndTheBrowseWithAReason) {
    struct Case {
        std::vector<LogixBrowser::Reply> replies;
        const char* reason;
    };
    const Case cases[] = {
        {{{0, CIP_STATUS_SERVICE_NOT_SUPPORTED, {}}}, "(Symbol object) refused by the controller"},
        {{}, "no reply"},
        {{{0, CIP_STATUS_PARTIAL_TRANSFER, Entry(9, "A", 0xC4)},
          {0, CIP_STATUS_PARTIAL_TRANSFER, Entry(3, "B", 0xC4)}},
         "does not advance"},
        {{{0, CIP_STATUS_PARTIAL_TRANSFER, {}}}, "does not advance"},
        {{{0, CIP_STATUS_SUCCESS, {0x01, 0x00}}}, "malformed"},
    };
    for (const Case& c : cases) {
        Scripted controller;
        controller.replies.assign(c.replies.begin(), c.replies.end());
        LogixTemplateCache cache;
        LogixBrowser browser(controller.Exchange(), cache, "PLC");
        std::vector<LogixBrowseRow> rows;
        std::string reason;
        EXPECT_FALSE(browser.Browse("", rows, reason));
        EXPECT_NE(std::string::npos, reason.find(c.reason)) << reason;
        EXPECT_TRUE(rows.empty());
    }
}

// ---- Browsing plcsim --------------------------------------------------------------------------

constexpr const char* kBrowse = "/PLC1/EM Tags/Browse Tags";
// Room for the data of one unconnected reply, and the largest entry a demo name gives.
constexpr size_t kReplyRoom = plcsim::kUnconnectedReplyLimit - 4;
constexpr size_t kLargestEntry = 20 + 40;

class BrowseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Started());
        plc.Define(plcsim::LogixDemoTags());
        ASSERT_TRUE(link.Ready());
    }

    // Rows of a Browse Tags answer by name: [type, dimensions, scope, readable].
    std::map<std::string, std::vector<sdk::Variant>> Browse(const std::string& filter) {
        const sdk::InvokeResult result = link.Invoke(kBrowse, "{\"Filter\":\"" + filter + "\"}");
        EXPECT_EQ(5u, result.columns.size());
        std::map<std::string, std::vector<sdk::Variant>> rows;
        for (const auto& row : result.rows) {
            rows[row.at(0).as_string()] = std::vector<sdk::Variant>(row.begin() + 1, row.end());
        }
        return rows;
    }

    // The polled value of a tag of PLC1; null until it has one.
    sdk::Variant Value(const std::string& alias) {
        return link.Value("/PLC1/EM Tags/Read Tags List/" + alias);
    }

    tb_test::SimPlc plc;
    tb_test::ActionLink link;
};

TEST_F(BrowseTest,
       TableListsControllerAndProgramTagsAndMembersWithoutSystemTagsFilterKeepsMatches) {
    ASSERT_EQ("success!", link.AddPlc("PLC1", plc.Sim().Port()));
    const auto rows = Browse("");
    struct Expected {
        const char* name;
        const char* type;
        const char* dims;
        const char* scope;
        bool readable;
    };
    const Expected expected[] = {
        {"Counter", "DINT", "", "Controller", true},
        {"Buffer", "DINT", "10", "Controller", true},
        {"Grid", "INT", "3,4", "Controller", true},
        {"Message", "STRING", "", "Controller", true},
        {"Motor1", "MOTOR", "", "Controller", true},
        {"Motor1.Running", "BOOL", "", "Controller", true},
        {"Motor1.Setpoints", "REAL", "4", "Controller", true},
        {"Motor1.Name", "STRING", "", "Controller", true},
        {"Program:MainProgram.Step", "DINT", "", "Program:MainProgram", true},
        {"Program:MainProgram.Setpoint", "REAL", "", "Program:MainProgram", true},
    };
    for (const Expected& e : expected) {
        const auto found = rows.find(e.name);
        ASSERT_NE(rows.end(), found) << e.name;
        EXPECT_EQ(e.type, found->second[0].as_string()) << e.name;
        EXPECT_EQ(e.dims, found->second[1].as_string()) << e.name;
        EXPECT_EQ(e.scope, found->second[2].as_string()) << e.name;
        EXPECT_EQ(e.readable, found->second[3].as_bool()) << e.name;
    }
    for (const char* hidden :
         {"__Trace", "Map:Local", "Program:MainProgram", "Motor1.Name.LEN", "Timer1.CTL"}) {
        EXPECT_EQ(0u, rows.count(hidden)) << hidden;
    }
    // 14 controller tags, 7 MOTOR, 5 TIMER and 7 COUNTER members (their status word hidden)
    // and 2 program tags.
    EXPECT_EQ(35u, rows.size());
    // A filter keeps the matching rows only.
    const auto members = Browse("motor1.*");
    EXPECT_EQ(7u, members.size());
    EXPECT_EQ(1u, members.count("Motor1.Speed"));
    const auto step = Browse("Step");
    ASSERT_EQ(1u, step.size());
    EXPECT_EQ("Program:MainProgram.Step", step.begin()->first);
    EXPECT_TRUE(Browse("nothing*like*this").empty());
}

TEST_F(BrowseTest, StructureMemberAndProgramTagAreAddedAndPolledWhileBrowseStaysOffered) {
    ASSERT_EQ("success!", link.AddPlc("PLC1", plc.Sim().Port()));
    EXPECT_EQ((std::vector<std::string>{"success!", "success!"}),
              link.Tags("/PLC1/EM Tags/Add Tags",
                        R"([{"Tag Alias":"speed","Tag Name":"Motor1.Speed"},
                            {"Tag Alias":"step","Tag Name":"Program:MainProgram.Step"}])"));
    ASSERT_EQ("success!", link.StartPolling("PLC1", 10));
    ASSERT_TRUE(WaitUntil([this] { return link.Exists("/PLC1/EM Tags/Stop Polling"); }));
    EXPECT_TRUE(link.Exists(kBrowse));

    ASSERT_TRUE(WaitUntil([this] { return Value("speed") == sdk::Variant(1450.5); }));
    ASSERT_TRUE(plc.Tags().SetReal("Motor1.Speed", 7.25));
    EXPECT_TRUE(WaitUntil([this] { return Value("speed") == sdk::Variant(7.25); }));
    ASSERT_TRUE(WaitUntil([this] { return !Value("step").is_null(); }));
    const sdk::Variant firstStep = Value("step");
    EXPECT_TRUE(WaitUntil([&] { return Value("step") != firstStep; }));
    // Browsing while polling runs answers from its own session.
    EXPECT_EQ(1u, Browse("Motor1.Speed").size());
}

TEST_F(BrowseTest, ARefusingControllerAndAPcccPlcAnswerWithAReasonRow) {
    plc.Sim().Router().RegisterClass(LOGIX_CLASS_SYMBOL, [](const plcsim::CipRequest&) {
        return plcsim::CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    });
    ASSERT_EQ("success!", link.AddPlc("PLC1", plc.Sim().Port()));
    const sdk::InvokeResult refused = link.Invoke(kBrowse);
    ASSERT_EQ(1u, refused.rows.size());
    EXPECT_EQ("fail!", refused.rows[0][0].as_string());
    EXPECT_NE(std::string::npos, refused.rows[0][1].as_string().find("Symbol object"))
        << refused.rows[0][1].as_string();

    plcsim::PcccController plc5(tb_test::LoopbackConfig());
    ASSERT_TRUE(plc5.Sim().Start());
    ASSERT_EQ("success!", link.AddPlc("PLC5", plc5.Sim().Port(), "PCCC"));
    EXPECT_FALSE(link.Exists("/PLC5/EM Tags/Browse Tags"));
    // Reached anyway (an old console, a script): the reason, not an empty table.
    auto stream = std::make_shared<tb_test::CapturingStream>();
    EipAction(link.Context())
        .BrowseTagsNodeAction(stream, sdk::NodePath("/PLC5/EM Tags"), sdk::Variant::new_map(), {});
    ASSERT_EQ(1u, stream->Rows().size());
    EXPECT_EQ("fail!", stream->Rows()[0][0].as_string());
    EXPECT_NE(std::string::npos, stream->Rows()[0][1].as_string().find("PCCC"));
}

// The browser on its own session: every reply of a page but the last is full, and a second
// browse takes its structure templates from the cache.
TEST_F(BrowseTest, PagingSendsOneRequestPerFullReplyAndTemplatesAreReadOnce) {
    for (int i = 0; i < 600; ++i) {
        plc.Define("Tag" + std::to_string(i), "DINT");
    }
    std::string error;
    std::unique_ptr<EipConnection> connection(
        EipConnection::MakeTestConnection(plc.Info("PLC1"), error));
    ASSERT_TRUE(connection) << error;

    struct Sent {
        uint8_t service;
        uint8_t status;
        size_t bytes;
    };
    std::vector<Sent> sent;
    const auto exchange = [&](ByteView request, LogixBrowser::Reply& reply) {
        ExplicitResponse response;
        if (connection->ExchangeRouted("test", request, 0, response) != 0) {
            return false;
        }
        reply.service = response.service;
        reply.generalStatus = response.generalStatus;
        reply.data.assign(response.data, response.data + response.dataLength);
        sent.push_back({request.at(0), response.generalStatus, response.dataLength});
        return true;
    };
    LogixTemplateCache cache;
    std::vector<LogixBrowseRow> rows;
    ASSERT_TRUE(LogixBrowser(exchange, cache, "PLC1").Browse("Tag*", rows, error)) << error;
    EXPECT_EQ(600u, rows.size());
    size_t pages = 0;
    for (const Sent& s : sent) {
        if (s.service == LOGIX_SVC_GET_INSTANCE_ATTRIBUTE_LIST) {
            ++pages;
            EXPECT_TRUE(
                s.status == CIP_STATUS_SUCCESS ||
                (s.status == CIP_STATUS_PARTIAL_TRANSFER && s.bytes + kLargestEntry > kReplyRoom))
                << s.bytes;
        }
    }
    EXPECT_GT(pages, 20u);
    const auto readTemplates = [&] {
        return std::count_if(sent.begin(), sent.end(),
                             [](const Sent& s) { return s.service == LOGIX_SVC_READ_TEMPLATE; });
    };
    EXPECT_EQ(5, readTemplates());  // MOTOR and its STRING member, TIMER, COUNTER, STRING32

    sent.clear();
    ASSERT_TRUE(LogixBrowser(exchange, cache, "PLC1").Browse("", rows, error)) << error;
    EXPECT_EQ(0, readTemplates());
    cache.Drop("PLC1");
    ASSERT_TRUE(LogixBrowser(exchange, cache, "PLC1").Browse("", rows, error)) << error;
    EXPECT_EQ(5, readTemplates());
}

}  // namespace
