// The PLC subtree (stored configs, value nodes, folders, state texts, product info, polling
// attributes), the tag status, the tag and subtag item nodes (lists by RW flag, stored "$"
// attributes, value types, update, removal), and the toggle that shows the stopped and running
// action sets.

#include "node/eip_node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "node/node_test_support.h"

namespace {

using node_test::LineFixture;
using node_test::NodeTreeFixture;
using node_test::WaitUntil;
namespace sdk = kestrel::strata_sdk;
using sdk::NodePath;
using sdk::Variant;
using Names = std::set<std::string>;

using PLCSubtreeTest = NodeTreeFixture;

// The folders are stored with their markers and settings; the state values are rebuilt with
// every PLC node creation, never stored.
TEST_F(PLCSubtreeTest, PLCSubtreeHasItsStoredFoldersAndStateValuesInCreationOrder) {
    CreatePLC("line1");
    EXPECT_EQ(
        Tree(NodePath("/line1")),
        R"(/line1 'line1' node - null stored $$$isit="plc" $host="127.0.0.1" $port=44818u $protocol family="CIP/EIP" $slot=0
/line1/productname 'Product Name'  4 "1756-L71/B LOGIX5571"
/line1/productvendor 'Product Vendor ID'  2 1u
/line1/coxnstate 'EM Coxn STATE'  4 "NON-EXIST"
/line1/ucmmstate 'UCMM STATE'  4 "NON-EXIST"
/line1/EM Tags 'EM Tags' node - null stored $$$isit="emtags" $Polling Interval=0
/line1/EM Tags/Read Tags List 'Read Tags List' node - null stored
/line1/EM Tags/Write Tags List 'Write Tags List' node - null stored
/line1/IO Tags 'IO Tags' node - null stored $$$isit="iotags" $Listening Interval=0 $Listening UDP Port=0
)");
}

// Any family other than CIP is stored as PCCC.
TEST_F(PLCSubtreeTest, AliasIsEscapedInThePathAndShownUnescaped) {
    const std::string alias = "cell/4: .press?";
    CreatePLC(alias, kFamilyPccc);
    CreatePLC("odd", static_cast<ProtocolFamily>(7));
    const NodePath path = NodePath() / sdk::string_escape(alias);
    EXPECT_EQ(EipNode::PLCPath(alias), path);
    EXPECT_EQ(WaitNode(path).display_name, alias);
    EXPECT_EQ(Config(path, "$protocol family"), Variant("PCCC"));
    EXPECT_EQ(Config("/odd", "$protocol family"), Variant("PCCC"));
    WaitNode(path / "EM Tags" / "Read Tags List");
}

TEST_F(PLCSubtreeTest, CreatingAnExistingPLCAgainKeepsItsTagsAndResetsTheStates) {
    CreatePLC("line1");
    Nodes().CreateTagItemNode("line1", node_test::MakeTag("t", kRwFlagRead), nullptr);
    WaitNode("/line1/EM Tags/Read Tags List/t");
    Nodes().ChangeExplicitConnectionState("line1", 2);
    ASSERT_TRUE(WaitUntil([&] { return WaitNode("/line1/coxnstate").value == Variant("READY"); }));

    CreatePLC("line1");
    ASSERT_TRUE(
        WaitUntil([&] { return WaitNode("/line1/coxnstate").value == Variant("NON-EXIST"); }));
    Settle();
    EXPECT_TRUE(Node("/line1/EM Tags/Read Tags List/t").has_value());
}

// A PLC under a missing parent, a tag of a missing PLC and the removal of a missing PLC are
// logged with their reason; nothing is left behind.
TEST_F(PLCSubtreeTest, CreationUnderAMissingParentOrRemovalOfAMissingPlcIsLogged) {
    ConnectInfo conn;
    conn.alias = "orphan";
    conn.host = "127.0.0.1";
    const std::pair<std::function<void()>, const char*> steps[] = {
        {[&] { EXPECT_EQ(Nodes().CreatePLCNode("/no/such/parent", conn, ProductInfo{}), -1); },
         "error:10006"},
        {[&] {
             Nodes().CreateTagItemNode("ghost", node_test::MakeTag("speed", kRwFlagRead), nullptr);
         },
         "error:10006"},
        {[&] { Nodes().RemovePLCNode("/ghost"); }, "error:10007 - /ghost"},
    };
    for (const auto& [step, logged] : steps) {
        node_test::LogCapture log;
        step();
        EXPECT_TRUE(WaitUntil([&] { return log.Contains(logged); })) << logged;
    }
    Settle();
    EXPECT_EQ(Children(NodePath()), std::vector<std::string>{});
}

// ---- states, product info, polling settings ---------------------------------------------------

using PLCStateTest = LineFixture;

TEST_F(PLCStateTest, ExplicitConnectionAndUCMMStatesShowTheirOwnTexts) {
    // state, EM connection text, UCMM text
    const std::tuple<int, const char*, const char*> states[] = {
        {1, "BUSY", "READY"},          {2, "READY", "BUSY"},      {3, "NEED2SEND", "UNKNOWN"},
        {0, "NON-EXIST", "NON-EXIST"}, {4, "UNKNOWN", "UNKNOWN"}, {255, "UNKNOWN", "UNKNOWN"}};
    for (const auto& [state, em, ucmm] : states) {
        Nodes().ChangeExplicitConnectionState("line1", state);
        Nodes().ChangeUCMMState("line1", state);
        EXPECT_TRUE(WaitUntil([&] { return WaitNode("/line1/coxnstate").value == Variant(em); }))
            << state;
        EXPECT_TRUE(WaitUntil([&] { return WaitNode("/line1/ucmmstate").value == Variant(ucmm); }))
            << state;
    }
}

TEST_F(PLCStateTest, ProductInfoAndPollingSettingsReplaceTheirValues) {
    ProductInfo product;
    product.productName = "1769-L33ER";
    product.vendorId = 0xFFFF;
    Nodes().ChangeProductInfo("line1", product);
    EXPECT_TRUE(
        WaitUntil([&] { return WaitNode("/line1/productname").value == Variant("1769-L33ER"); }));
    EXPECT_TRUE(WaitUntil(
        [&] { return WaitNode("/line1/productvendor").value == Variant(uint64_t{65535}); }));
    Nodes().ChangeExplicitPollingState("line1", 250);
    Nodes().ChangeIOPollingState("line1", 20, 2222);
    Settle();
    EXPECT_EQ(Config("/line1/EM Tags", "$Polling Interval"), Variant(uint64_t{250}));
    EXPECT_EQ(Config("/line1/IO Tags", "$Listening Interval"), Variant(uint64_t{20}));
    EXPECT_EQ(Config("/line1/IO Tags", "$Listening UDP Port"), Variant(uint64_t{2222}));
    // The markers stay: the restore needs them.
    EXPECT_EQ(Config("/line1/EM Tags", "$$$isit"), Variant("emtags"));
    EXPECT_EQ(Config("/line1/IO Tags", "$$$isit"), Variant("iotags"));
}

// ---- tag status -------------------------------------------------------------------------------

class TagStatusTest : public LineFixture {
  protected:
    void SetUp() override {
        LineFixture::SetUp();
        Nodes().CreateTagItemNode("line1", rw_, nullptr);
        Nodes().CreateTagItemNode("line1", io_, nullptr);
        WaitNode(ReadPath("motor/speed"));
        WaitNode(WritePath("motor/speed"));
        WaitNode(IOPath("rack"));
        Settle();
    }

    const TagInfo rw_ = node_test::MakeTag("motor/speed", kRwFlagRead | kRwFlagWrite);
    const TagInfo io_ = node_test::MakeTag("rack", kRwFlagIo, kInnerTypeSint, 8);
};

TEST_F(TagStatusTest, StatusStartsOKAndFollowsTheListsOfTheTagAndTheKindGiven) {
    // Each step: what to do, then the read, write and I/O statuses.
    const std::vector<std::pair<std::function<void()>, std::vector<const char*>>> steps = {
        {[] {}, {"OK", "OK", "OK"}},
        {[&] {
             Nodes().UpdateTagStatusByAlias("line1", "motor/speed", 0, "kind 0: nothing");
             Nodes().UpdateTagStatusByAlias("line1", "rack", 0, "kind 0: nothing");
             Nodes().UpdateTagStatusByAlias("line1", "rack", 3, "kind 3: nothing");
         },
         {"OK", "OK", "OK"}},
        {[&] { Nodes().UpdateTagStatus("line1", rw_, "Tag does not exist."); },
         {"Tag does not exist.", "Tag does not exist.", "OK"}},
        {[&] {
             Nodes().UpdateTagStatusByAlias("line1", "motor/speed", 1, "stale");
             Nodes().UpdateTagStatusByAlias("line1", "rack", 2, "timeout");
         },
         {"stale", "stale", "timeout"}},
        {[&] { Nodes().CreateTagItemNode("line1", rw_, nullptr); }, {"OK", "OK", "timeout"}},
    };
    // The alias is escaped in the path and shown as it is.
    EXPECT_EQ(WaitNode(ReadPath("motor/speed")).display_name, "motor/speed");
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i].first();
        Settle();
        const auto& expected = steps[i].second;
        EXPECT_EQ(Config(ReadPath("motor/speed"), "$status"), Variant(expected[0])) << i;
        EXPECT_EQ(Config(WritePath("motor/speed"), "$status"), Variant(expected[1])) << i;
        EXPECT_EQ(Config(IOPath("rack"), "$status"), Variant(expected[2])) << i;
    }
}

// ---- tag and subtag item nodes ---------------------------------------------------------------

class TagItemNodeTest : public LineFixture {
  protected:
    static TagInfo ExplicitTag(const std::string& alias, uint8_t rwFlag) {
        return node_test::MakeTag(alias, rwFlag);
    }
    static TagInfo IOTag(const std::string& alias) {
        return node_test::MakeTag(alias, kRwFlagIo, kInnerTypeSint, 16);
    }

    std::optional<sdk::ValueType> TypeOf(const NodePath& path) {
        auto info = Node(path);
        return info ? info->type : std::nullopt;
    }
};

// Its stored attributes, no PLC5 address without one.
TEST_F(TagItemNodeTest, TagNodeCarriesItsStoredAttributes) {
    TagInfo tag = ExplicitTag("speed", kRwFlagRead);
    Nodes().CreateTagItemNode("line1", tag, nullptr);
    EXPECT_EQ(
        Tree(ReadPath("speed")),
        R"(/line1/EM Tags/Read Tags List/speed 'speed' node 1 null stored $$$isit="tag" $DataLen=4 $Description="line speed" $OutputType="DEFAULT" $RW Flag="R_" $Tag Name="Program:Main.speed" $status="OK" InnerType="DINT"
)");
    tag.alias = "n7";
    tag.plc5Address = "N7:0";
    Nodes().CreateTagItemNode("line1", tag, nullptr);
    EXPECT_EQ(WaitNode(ReadPath("n7")).configs.at("$PLC5Address"), Variant("N7:0"));
}

TEST_F(TagItemNodeTest, ValueTypeFollowsTheElementCount) {
    const struct {
        const char* alias;
        int32_t type;
        uint16_t handle;
        uint16_t count;
        int32_t dataLen;
        std::optional<sdk::ValueType> expected;
    } cases[] = {
        {"unknown", kInnerTypeDint, 0, 0, 4, std::nullopt},
        {"array", kInnerTypeDint, 0, 10, 40, sdk::ValueType::Array},
        {"udts", kInnerTypeStructure, 0x1234, 2, 4, sdk::ValueType::String},
        {"names", kInnerTypeStructure, kStringStructHandle, 2, 4, sdk::ValueType::Array},
        {"flag", kInnerTypeBool, 0, 1, 1, sdk::ValueType::Bool},
    };
    for (const auto& c : cases) {
        TagInfo tag = ExplicitTag(c.alias, kRwFlagRead);
        tag.innerType = c.type;
        tag.structHandle = c.handle;
        tag.elementCount = c.count;
        tag.dataLen = c.dataLen;
        Nodes().CreateTagItemNode("line1", tag, nullptr);
        EXPECT_EQ(WaitNode(ReadPath(c.alias)).type, c.expected) << c.alias;
    }
}

// An I/O tag has no value type of its own: its whole data shows on the "Data" subtag, which
// carries no action; the other subtags follow it in order, then the subtag actions.
TEST_F(TagItemNodeTest, IOTagCarriesTheSubtagActionsAndItsSubtagsInOrder) {
    std::vector<SubTagInfo> subs = {
        SubTagInfo{"running", 0, kInnerTypeBool, 1},
        SubTagInfo{"speed", 2, kInnerTypeInt, 2},
        SubTagInfo{"a/b", 4, kInnerTypeReal, 4},
    };
    Nodes().CreateTagItemNode("line1", IOTag("rack"), &subs);
    WaitNode(IOPath("rack") / sdk::string_escape("a/b") / "Remove Subtag");
    WaitNode(IOPath("rack") / "Import Subtags");
    Settle();
    EXPECT_EQ(
        Tree(IOPath("rack")),
        R"(/line1/IO Tags/rack 'rack' node - null stored $$$isit="tag" $DataLen=16 $Description="line speed" $OutputType="DEFAULT" $RW Flag="I" $Tag Name="Program:Main.rack" $status="OK" InnerType="SINT"
/line1/IO Tags/rack/Data 'Data' node 7 null stored $$$isit="subtag" $DataLen=16 $Offset=0 InnerType="SINT"
/line1/IO Tags/rack/running 'running' node 5 null stored $$$isit="subtag" $DataLen=1 $Offset=0 InnerType="BOOL"
/line1/IO Tags/rack/running/Edit Subtag 'Edit Subtag'  - null action
/line1/IO Tags/rack/running/Remove Subtag 'Remove Subtag'  - null action
/line1/IO Tags/rack/speed 'speed' node 1 null stored $$$isit="subtag" $DataLen=2 $Offset=2 InnerType="INT"
/line1/IO Tags/rack/speed/Edit Subtag 'Edit Subtag'  - null action
/line1/IO Tags/rack/speed/Remove Subtag 'Remove Subtag'  - null action
/line1/IO Tags/rack/a%2Fb 'a/b' node 1 null stored $$$isit="subtag" $DataLen=4 $Offset=4 InnerType="REAL"
/line1/IO Tags/rack/a%2Fb/Edit Subtag 'Edit Subtag'  - null action
/line1/IO Tags/rack/a%2Fb/Remove Subtag 'Remove Subtag'  - null action
/line1/IO Tags/rack/Add Subtag 'Add Subtag'  - null action
/line1/IO Tags/rack/Export Subtags 'Export Subtags' node - null action
/line1/IO Tags/rack/Import Subtags 'Import Subtags' node - null action
)");
}

TEST_F(TagItemNodeTest, SubtagUpdateReplacesItsAttributesAndKeepsOneNode) {
    TagInfo tag = IOTag("rack");
    Nodes().CreateTagItemNode("line1", tag, nullptr);
    WaitNode(IOPath("rack") / "Import Subtags");
    Nodes().CreateSubTagItemNode("line1", tag, SubTagInfo{"speed", 2, kInnerTypeInt, 2});
    WaitNode(IOPath("rack") / "speed" / "Remove Subtag");
    Nodes().CreateSubTagItemNode("line1", tag, SubTagInfo{"speed", 8, kInnerTypeDint, 8});
    ASSERT_TRUE(
        WaitUntil([&] { return Config(IOPath("rack") / "speed", "$Offset") == Variant(8); }));
    Settle();
    EXPECT_EQ(Config(IOPath("rack") / "speed", "InnerType"), Variant("DINT"));
    EXPECT_EQ(*TypeOf(IOPath("rack") / "speed"), sdk::ValueType::Array);
    const std::vector<std::string> children = Children(IOPath("rack"));
    EXPECT_EQ(std::count(children.begin(), children.end(), "speed"), 1);
    // The edit action offers the new settings as its defaults.
    auto edit = Broker().describe(IOPath("rack") / "speed" / "Edit Subtag");
    ASSERT_TRUE(edit.has_value());
    EXPECT_EQ(edit->at("action").at("params")[1].at("default"), Variant(8));
}

TEST_F(TagItemNodeTest, RemoveTagItemNodeRemovesEveryListNode) {
    TagInfo rw = ExplicitTag("speed", kRwFlagRead | kRwFlagWrite);
    Nodes().CreateTagItemNode("line1", rw, nullptr);
    WaitNode(WritePath("speed") / "Write Data");
    Nodes().RemoveTagItemNode("line1", rw, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return !Node(ReadPath("speed")) && !Node(WritePath("speed")); }));

    std::vector<SubTagInfo> subs = {SubTagInfo{"speed", 2, kInnerTypeInt, 2}};
    TagInfo io = IOTag("rack");
    Nodes().CreateTagItemNode("line1", io, &subs);
    WaitNode(IOPath("rack") / "speed");
    Nodes().RemoveSubTagItemNode("line1", io, subs[0]);
    EXPECT_TRUE(WaitUntil([&] { return !Node(IOPath("rack") / "speed"); }));
    EXPECT_TRUE(Node(IOPath("rack") / "Data").has_value());
    Nodes().RemoveTagItemNode("line1", io, &subs);
    EXPECT_TRUE(WaitUntil([&] { return !Node(IOPath("rack")); }));
}

// ---- toggle of the action sets --------------------------------------------------------------

class ToggleTest : public LineFixture {
  protected:
    size_t ActionCountBelow(const NodePath& path) {
        size_t count = 0;
        for (const std::string& child : Children(path)) {
            auto info = Node(path / child);
            count += info && info->has_action ? 1 : 0;
            count += ActionCountBelow(path / child);
        }
        return count;
    }

    void Toggle(signed char explicitStopped, signed char ioStopped,
                unsigned short explicitInterval = 1000, unsigned short ioInterval = 1000,
                unsigned short udpPort = 2222) {
        Nodes().ToggleActionNodes("line1", explicitStopped, explicitInterval, ioStopped, ioInterval,
                                  udpPort);
        Settle();
    }

    const NodePath em_ = EipNode::ExplicitTagsPath("line1");
    const NodePath io_ = EipNode::IOTagsPath("line1");
};

const Names kExplicitStopped = {"Write Tags", "Export Tags", "Browse Tags", "Add Tags",
                                "Edit Tags",  "Remove Tags", "Reset Tags",  "Start Polling"};
const Names kIOStopped = {"Export Tags", "Add Tags",   "Edit Tags",
                          "Remove Tags", "Reset Tags", "Start Listening"};
const Names kExplicitRunning = {"Write Tags", "Export Tags", "Browse Tags", "Stop Polling"};
const Names kIORunning = {"Export Tags", "Stop Listening"};

// The actions of the tags are not the toggle's: Write Data stays whatever the flags.
TEST_F(ToggleTest, EachFlagSwapsItsOwnSetAndAnyFlagOtherThanOneMeansRunning) {
    ASSERT_EQ(registry_.AddPLCTemp("line1"), 0);
    Nodes().CreateTagItemNode("line1", node_test::MakeTag("speed", kRwFlagWrite), nullptr);
    WaitNode(WritePath("speed") / "Write Data");
    struct Step {
        signed char explicitStopped, ioStopped;
        unsigned short explicitInterval, ioInterval, port;
        const Names& em;
        const Names& io;
    };
    ASSERT_EQ(ActionCountBelow("/line1"), 1u);
    const Step steps[] = {
        {1, 1, 1000, 1000, 2222, kExplicitStopped, kIOStopped},
        {0, 1, 250, 1000, 2222, kExplicitRunning, kIOStopped},
        {1, 1, 1000, 1000, 2222, kExplicitStopped, kIOStopped},
        {1, 0, 1000, 20, 2300, kExplicitStopped, kIORunning},
        {1, 1, 1000, 1000, 2222, kExplicitStopped, kIOStopped},
        {-1, 2, 1000, 1000, 2222, kExplicitRunning, kIORunning},
    };
    for (const auto& step : steps) {
        Toggle(step.explicitStopped, step.ioStopped, step.explicitInterval, step.ioInterval,
               step.port);
        EXPECT_EQ(ActionNames(em_), step.em) << int(step.explicitStopped);
        EXPECT_EQ(ActionNames(io_), step.io) << int(step.ioStopped);
        EXPECT_EQ(ActionNames("/line1"), Names{"Remove"});
        EXPECT_EQ(Config(em_, "$Polling Interval"), Variant(uint64_t{step.explicitInterval}));
        EXPECT_EQ(Config(io_, "$Listening Interval"), Variant(uint64_t{step.ioInterval}));
        EXPECT_EQ(Config(io_, "$Listening UDP Port"), Variant(uint64_t{step.port}));
        EXPECT_EQ(ActionCountBelow("/line1"), 2 + step.em.size() + step.io.size());
    }
}

TEST_F(ToggleTest, ToggleRepairsAMissingActionAndNeverDuplicates) {
    ASSERT_EQ(registry_.AddPLCTemp("line1"), 0);
    Toggle(1, 1);
    Nodes().RemoveTagItemNodeFromPath(em_ / "Edit Tags");
    ASSERT_TRUE(WaitUntil([&] { return !Node(em_ / "Edit Tags"); }));
    Toggle(1, 1);
    EXPECT_EQ(ActionNames(em_), kExplicitStopped);
    EXPECT_EQ(ActionCountBelow("/line1"), 15u);
}

TEST_F(ToggleTest, UnregisteredAliasChangesNothing) {
    node_test::LogCapture log;
    Toggle(1, 1, 500, 500, 3000);
    EXPECT_EQ(ActionCountBelow("/line1"), 0u);
    EXPECT_EQ(Config(em_, "$Polling Interval"), Variant(0));
    EXPECT_EQ(Config(io_, "$Listening UDP Port"), Variant(0));
    EXPECT_TRUE(log.Contains("PLC alias is not exist."));
}

}  // namespace
