// The PLC subtree: its stored configs, the value nodes, the folders, the state texts, the
// product info, the polling attributes and the tag status operations.

#include "node/eip_node.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <tuple>

#include "node/node_test_support.h"

namespace {

using node_test::NodeTreeFixture;
using node_test::WaitUntil;
namespace sdk = kestrel::strata_sdk;
using sdk::NodePath;
using sdk::Variant;

using PLCSubtreeTest = NodeTreeFixture;

// The folders are stored with their markers and settings; the state values are rebuilt with
// every PLC node creation, never stored.
TEST_F(PLCSubtreeTest, PLCSubtreeHasItsStoredFoldersAndStateValuesInCreationOrder) {
    CreatePLC("line1");
    EXPECT_EQ(Children("/line1"),
              (std::vector<std::string>{"productname", "productvendor", "coxnstate", "ucmmstate",
                                        "EM Tags", "IO Tags"}));
    EXPECT_EQ(Children("/line1/EM Tags"),
              (std::vector<std::string>{"Read Tags List", "Write Tags List"}));
    using Configs = std::map<std::string, Variant>;
    const Configs none;
    struct Expected {
        const char* path;
        const char* display;
        std::optional<sdk::ValueType> type;
        Variant value;
        Configs configs;
    };
    const Expected expected[] = {
        {"/line1", "line1", std::nullopt, Variant(),
         Configs{{"$$$isit", Variant("plc")},
                 {"$host", Variant("127.0.0.1")},
                 {"$port", Variant(uint64_t{44818})},
                 {"$slot", Variant(0)},
                 {"$protocol family", Variant("CIP/EIP")}}},
        {"/line1/productname", "Product Name", sdk::ValueType::String,
         Variant("1756-L71/B LOGIX5571"), none},
        {"/line1/productvendor", "Product Vendor ID", sdk::ValueType::Int, Variant(uint64_t{1}),
         none},
        {"/line1/coxnstate", "EM Coxn STATE", sdk::ValueType::String, Variant("NON-EXIST"), none},
        {"/line1/ucmmstate", "UCMM STATE", sdk::ValueType::String, Variant("NON-EXIST"), none},
        {"/line1/EM Tags", "EM Tags", std::nullopt, Variant(),
         Configs{{"$$$isit", Variant("emtags")}, {"$Polling Interval", Variant(0)}}},
        {"/line1/EM Tags/Read Tags List", "Read Tags List", std::nullopt, Variant(), none},
        {"/line1/EM Tags/Write Tags List", "Write Tags List", std::nullopt, Variant(), none},
        {"/line1/IO Tags", "IO Tags", std::nullopt, Variant(),
         Configs{{"$$$isit", Variant("iotags")},
                 {"$Listening Interval", Variant(0)},
                 {"$Listening UDP Port", Variant(0)}}},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.path);
        const sdk::NodeInfo node = WaitNode(e.path);
        EXPECT_EQ(node.display_name, e.display);
        EXPECT_EQ(node.kind, e.type ? "" : "node");
        EXPECT_EQ(node.type, e.type);
        EXPECT_EQ(node.value, e.value);
        EXPECT_EQ(node.configs, e.configs);
        EXPECT_EQ(node.serialization,
                  e.type ? sdk::SerializationMode::None : sdk::SerializationMode::Stored);
        // Kinds come back from the store as written.
        for (const auto& [key, value] : e.configs) {
            EXPECT_EQ(node.configs.at(key).get_type(), value.get_type()) << key;
        }
    }
}

TEST_F(PLCSubtreeTest, AnyFamilyOtherThanCIPIsStoredAsPCCC) {
    CreatePLC("plc5", EIP_PROTOCOL_FAMILY_PCCC);
    CreatePLC("odd", static_cast<eipProtocolFamily_t>(7));
    EXPECT_EQ(Config("/plc5", "$protocol family"), Variant("PCCC"));
    EXPECT_EQ(Config("/odd", "$protocol family"), Variant("PCCC"));
}

TEST_F(PLCSubtreeTest, AliasIsEscapedInThePathAndShownUnescaped) {
    const std::string alias = "cell/4: .press?";
    CreatePLC(alias);
    const std::string name = sdk::string_escape(alias);
    EXPECT_EQ(name.find('/'), std::string::npos);
    const sdk::NodeInfo plc = WaitNode(NodePath() / name);
    EXPECT_EQ(plc.display_name, alias);
    EXPECT_EQ(EipNode::PLCPath(alias), NodePath() / name);
    WaitNode(NodePath() / name / "EM Tags" / "Read Tags List");
}

TEST_F(PLCSubtreeTest, CreatingAnExistingPLCAgainKeepsItsTagsAndResetsTheStates) {
    CreatePLC("line1");
    EipNode::CreateTagItemNode("line1", node_test::MakeTag("t", EIP_RW_FLAG_READ), nullptr);
    WaitNode("/line1/EM Tags/Read Tags List/t");
    EipNode::ChangeEMCnxnState("line1", 2);
    ASSERT_TRUE(WaitUntil([&] { return WaitNode("/line1/coxnstate").value == Variant("READY"); }));

    CreatePLC("line1");
    ASSERT_TRUE(
        WaitUntil([&] { return WaitNode("/line1/coxnstate").value == Variant("NON-EXIST"); }));
    Settle();
    EXPECT_TRUE(Node("/line1/EM Tags/Read Tags List/t").has_value());
}

TEST_F(PLCSubtreeTest, CreationUnderAMissingParentLeavesNoSubtreeAndIsLogged) {
    node_test::LogCapture log;
    _eipConnectInfo conn;
    conn.alias = "orphan";
    conn.host = "127.0.0.1";
    EXPECT_EQ(EipNode::CreatePLCNode("/no/such/parent", conn, _eipProductInfo{}), 0);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("error:10006"); }));
    Settle();
    EXPECT_FALSE(Node("/no").has_value());
    EXPECT_FALSE(Node("/orphan").has_value());
}

TEST_F(PLCSubtreeTest, RemovePLCNodeTakesTheWholeSubtreeAndAMissingOneIsLogged) {
    CreatePLC("line1");
    CreatePLC("line2");
    EipNode::RemovePLCNode("/line1");
    ASSERT_TRUE(WaitUntil([&] { return !Node("/line1").has_value(); }));
    EXPECT_FALSE(Node("/line1/EM Tags/Read Tags List").has_value());
    EXPECT_TRUE(Node("/line2/EM Tags/Read Tags List").has_value());
    node_test::LogCapture log;
    EipNode::RemovePLCNode("/ghost");
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("error:10007 - /ghost"); }));
}

TEST_F(PLCSubtreeTest, NodeOperationsWithoutALinkDoNothingAndReportFailure) {
    sdk::Link* saved = g_link;
    g_link = nullptr;
    _eipConnectInfo conn;
    conn.alias = "nolink";
    EXPECT_EQ(EipNode::CreatePLCNode(NodePath(), conn, _eipProductInfo{}), -1);
    EipNode::ChangeEMCnxnState("nolink", 1);
    g_link = saved;
    Settle();
    EXPECT_FALSE(Node("/nolink").has_value());
}

// ---- states, product info, polling settings ---------------------------------------------------

using PLCStateTest = NodeTreeFixture;

TEST_F(PLCStateTest, EMConnectionAndUCMMStatesShowTheirOwnTexts) {
    CreatePLC("line1");
    // state, EM connection text, UCMM text
    const std::tuple<int, const char*, const char*> states[] = {
        {1, "BUSY", "READY"},          {2, "READY", "BUSY"},      {3, "NEED2SEND", "UNKNOWN"},
        {0, "NON-EXIST", "NON-EXIST"}, {4, "UNKNOWN", "UNKNOWN"}, {255, "UNKNOWN", "UNKNOWN"}};
    for (const auto& [state, em, ucmm] : states) {
        EipNode::ChangeEMCnxnState("line1", state);
        EipNode::ChangeUCMMState("line1", state);
        EXPECT_TRUE(WaitUntil([&] { return WaitNode("/line1/coxnstate").value == Variant(em); }))
            << state;
        EXPECT_TRUE(WaitUntil([&] { return WaitNode("/line1/ucmmstate").value == Variant(ucmm); }))
            << state;
    }
}

TEST_F(PLCStateTest, ProductInfoAndPollingSettingsReplaceTheirValues) {
    CreatePLC("line1");
    _eipProductInfo product;
    product.productName = "1769-L33ER";
    product.vendorId = 0xFFFF;
    EipNode::ChangeProductInfo("line1", product);
    EXPECT_TRUE(
        WaitUntil([&] { return WaitNode("/line1/productname").value == Variant("1769-L33ER"); }));
    EXPECT_TRUE(WaitUntil(
        [&] { return WaitNode("/line1/productvendor").value == Variant(uint64_t{65535}); }));
    EipNode::ChangeEMPollingState("line1", 250);
    EipNode::ChangeIOPollingState("line1", 20, 2222);
    Settle();
    EXPECT_EQ(Config("/line1/EM Tags", "$Polling Interval"), Variant(uint64_t{250}));
    EXPECT_EQ(Config("/line1/IO Tags", "$Listening Interval"), Variant(uint64_t{20}));
    EXPECT_EQ(Config("/line1/IO Tags", "$Listening UDP Port"), Variant(uint64_t{2222}));
    // The markers stay: the restore needs them.
    EXPECT_EQ(Config("/line1/EM Tags", "$$$isit"), Variant("emtags"));
    EXPECT_EQ(Config("/line1/IO Tags", "$$$isit"), Variant("iotags"));
}

// ---- tag status -------------------------------------------------------------------------------

class TagStatusTest : public NodeTreeFixture {
  protected:
    void SetUp() override {
        NodeTreeFixture::SetUp();
        CreatePLC("line1");
        EipNode::CreateTagItemNode("line1", rw_, nullptr);
        EipNode::CreateTagItemNode("line1", io_, nullptr);
        WaitNode(ReadPath("motor speed"));
        WaitNode(WritePath("motor speed"));
        WaitNode(IOPath("rack"));
        Settle();
    }

    const _eipTagInfo rw_ = node_test::MakeTag("motor speed", EIP_RW_FLAG_READ | EIP_RW_FLAG_WRITE);
    const _eipTagInfo io_ = node_test::MakeTag("rack", EIP_RW_FLAG_IO, EIP_INNER_TYPE_SINT, 8);
};

TEST_F(TagStatusTest, StatusStartsOKAndFollowsTheListsOfTheTagAndTheKindGiven) {
    // Each step: what to do, then the read, write and I/O statuses.
    const std::vector<std::pair<std::function<void()>, std::vector<const char*>>> steps = {
        {[] {}, {"OK", "OK", "OK"}},
        {[&] {
             EipNode::UpdateTagStatusByAlias("line1", "motor speed", 0, "kind 0: nothing");
             EipNode::UpdateTagStatusByAlias("line1", "rack", 0, "kind 0: nothing");
             EipNode::UpdateTagStatusByAlias("line1", "rack", 3, "kind 3: nothing");
         },
         {"OK", "OK", "OK"}},
        {[&] { EipNode::UpdateTagStatus("line1", rw_, "Tag does not exist."); },
         {"Tag does not exist.", "Tag does not exist.", "OK"}},
        {[&] {
             EipNode::UpdateTagStatusByAlias("line1", "motor speed", 1, "stale");
             EipNode::UpdateTagStatusByAlias("line1", "rack", 2, "timeout");
         },
         {"stale", "stale", "timeout"}},
        {[&] { EipNode::CreateTagItemNode("line1", rw_, nullptr); }, {"OK", "OK", "timeout"}},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i].first();
        Settle();
        const auto& expected = steps[i].second;
        EXPECT_EQ(Config(ReadPath("motor speed"), "$status"), Variant(expected[0])) << i;
        EXPECT_EQ(Config(WritePath("motor speed"), "$status"), Variant(expected[1])) << i;
        EXPECT_EQ(Config(IOPath("rack"), "$status"), Variant(expected[2])) << i;
    }
}

TEST_F(TagStatusTest, UpdateTagStatusToPathJoinsTheEscapedTagAlias) {
    _eipTagInfo odd = rw_;
    odd.alias = "a/b";
    odd.rwFlag = EIP_RW_FLAG_READ;
    EipNode::CreateTagItemNode("line1", odd, nullptr);
    const NodePath path = EipNode::ReadTagsListPath("line1") / sdk::string_escape("a/b");
    WaitNode(path);
    EipNode::UpdateTagStatusToPath(EipNode::ReadTagsListPath("line1"), "a/b", "bad");
    Settle();
    EXPECT_EQ(Config(path, "$status"), Variant("bad"));
    EXPECT_EQ(WaitNode(path).display_name, "a/b");
}

}  // namespace
