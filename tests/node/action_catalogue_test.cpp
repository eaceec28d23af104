// The action catalogue as the broker describes it (names, parameters, defaults, editors,
// columns, result kinds, permissions) and the toggle that shows the stopped and running sets.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "node/eip_node.h"
#include "node/node_test_support.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using node_test::NodeTreeFixture;
using node_test::WaitUntil;
using sdk::NodePath;
using sdk::Variant;
using Names = std::set<std::string>;

// The same JSON text, whatever the key order and number kinds of the literal.
std::string Canonical(const std::string& json) {
    return sdk::json::to_json_string(sdk::json::from_json_string(json));
}

class CatalogueTest : public NodeTreeFixture {
  protected:
    void SetUp() override {
        NodeTreeFixture::SetUp();
        CreatePLC("line1");
    }

    // The action description of the node at `path`, as compact JSON.
    std::string ActionJson(const NodePath& path) {
        WaitNode(path);
        auto described = Broker().describe(path);
        if (!described) {
            return "<no node>";
        }
        return sdk::json::to_json_string(described->at("action"));
    }

    size_t ActionCountBelow(const NodePath& path) {
        size_t count = 0;
        for (const std::string& child : Children(path)) {
            auto info = Node(path / child);
            count += info && info->has_action ? 1 : 0;
            count += ActionCountBelow(path / child);
        }
        return count;
    }

    void Toggle(signed char emStopped, signed char ioStopped, unsigned short emInterval = 1000,
                unsigned short ioInterval = 1000, unsigned short udpPort = 2222) {
        EipNode::ToggleActionNodes("line1", emStopped, emInterval, ioStopped, ioInterval, udpPort);
        Settle();
    }

    const NodePath em_ = EipNode::EMTagsPath("line1");
    const NodePath io_ = EipNode::IOTagsPath("line1");
};

const Names kEMStopped = {"Write Tags", "Export Tags", "Browse Tags", "Add Tags",
                          "Edit Tags",  "Remove Tags", "Reset Tags",  "Start Polling"};
const Names kIOStopped = {"Export Tags", "Add Tags",   "Edit Tags",
                          "Remove Tags", "Reset Tags", "Start Listening"};
const Names kEMRunning = {"Write Tags", "Export Tags", "Browse Tags", "Stop Polling"};
const Names kIORunning = {"Export Tags", "Stop Listening"};

// ---- toggle -----------------------------------------------------------------------------------

using ToggleTest = CatalogueTest;

// The actions of the tags are not the toggle's: Write Data stays whatever the flags.
TEST_F(ToggleTest, EachFlagSwapsItsOwnSetAndAnyFlagOtherThanOneMeansRunning) {
    ASSERT_EQ(manager_->AddPLCTemp("line1"), 0);
    EipNode::CreateTagItemNode("line1", node_test::MakeTag("speed", EIP_RW_FLAG_WRITE), nullptr);
    WaitNode(WritePath("speed") / "Write Data");
    struct Step {
        signed char emStopped, ioStopped;
        unsigned short emInterval, ioInterval, port;
        const Names& em;
        const Names& io;
    };
    ASSERT_EQ(ActionCountBelow("/line1"), 1u);
    const Step steps[] = {
        {1, 1, 1000, 1000, 2222, kEMStopped, kIOStopped},
        {0, 1, 250, 1000, 2222, kEMRunning, kIOStopped},
        {1, 1, 1000, 1000, 2222, kEMStopped, kIOStopped},
        {1, 0, 1000, 20, 2300, kEMStopped, kIORunning},
        {1, 1, 1000, 1000, 2222, kEMStopped, kIOStopped},
        {-1, 2, 1000, 1000, 2222, kEMRunning, kIORunning},
    };
    for (const auto& step : steps) {
        Toggle(step.emStopped, step.ioStopped, step.emInterval, step.ioInterval, step.port);
        EXPECT_EQ(ActionNames(em_), step.em) << int(step.emStopped);
        EXPECT_EQ(ActionNames(io_), step.io) << int(step.ioStopped);
        EXPECT_EQ(ActionNames("/line1"), Names{"Remove"});
        EXPECT_EQ(Config(em_, "$Polling Interval"), Variant(uint64_t{step.emInterval}));
        EXPECT_EQ(Config(io_, "$Listening Interval"), Variant(uint64_t{step.ioInterval}));
        EXPECT_EQ(Config(io_, "$Listening UDP Port"), Variant(uint64_t{step.port}));
        EXPECT_EQ(ActionCountBelow("/line1"), 2 + step.em.size() + step.io.size());
    }
}

TEST_F(ToggleTest, ToggleRepairsAMissingActionAndNeverDuplicates) {
    ASSERT_EQ(manager_->AddPLCTemp("line1"), 0);
    Toggle(1, 1);
    EipNode::RemoveTagItemNodeFromPath(em_ / "Edit Tags");
    ASSERT_TRUE(WaitUntil([&] { return !Node(em_ / "Edit Tags"); }));
    Toggle(1, 1);
    EXPECT_EQ(ActionNames(em_), kEMStopped);
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

// ---- catalogue descriptions -------------------------------------------------------------------

// JSON text of one parameter, one column and one action description.
std::string P(const std::string& name, const std::string& type, const std::string& dflt = "null",
              const std::string& editor = "null", const std::string& choices = "null") {
    return R"({"name": ")" + name + R"(", "type": ")" + type + R"(", "default": )" + dflt +
           R"(, "editor": )" + editor + R"(, "choices": )" + choices + "}";
}
std::string C(const std::string& name, const std::string& type,
              const std::string& editor = "null") {
    return R"({"name": ")" + name + R"(", "type": ")" + type + R"(", "editor": )" + editor + "}";
}
std::string A(const std::string& params, const std::string& columns, const char* kind = "values") {
    return Canonical(R"({"params": [)" + params + R"(], "columns": [)" + columns +
                     R"(], "resultKind": ")" + kind + R"(", "permission": "write"})");
}

using DescriptionTest = CatalogueTest;

// Every action as the broker describes it, with its node's display name and kind.
TEST_F(DescriptionTest, EveryActionHasItsParametersColumnsAndResultKind) {
    const NodePath tag = io_ / "rack";
    std::vector<_eipSubTagInfo> subs = {{"speed", 2, EIP_INNER_TYPE_REAL, 4}};
    EipNode::CreateTagItemNode(
        "line1", node_test::MakeTag("rack", EIP_RW_FLAG_IO, EIP_INNER_TYPE_SINT, 8), &subs);
    EipNode::CreateTagItemNode("line1", node_test::MakeTag("speed", EIP_RW_FLAG_WRITE), nullptr);
    EipNode::CreateRootNode(NodePath());
    EipNode::CreateRemovePLCNode("/line1");
    EipNode::CreateAddTagsNode(em_);
    EipNode::CreateEditTagsNode(io_);
    EipNode::CreateRemoveTagsNode(em_);
    EipNode::CreateWriteTagsNode(em_);
    EipNode::CreateResetTagsNode(em_);
    EipNode::CreateExportTagsNode(io_);
    EipNode::CreateBrowseTagsNode(em_);
    EipNode::CreateEMStartPollingNode(em_);
    EipNode::CreateEMStopPollingNode(em_);
    EipNode::CreateIOStartPollingNode(io_);
    EipNode::CreateIOStopPollingNode(io_);

    const std::string successMessage = C("Success", "bool") + "," + C("message", "string");
    const std::string tagTable = C("Tag alias", "string") + "," + C("Result", "string");
    const std::string tagsJson = P("Tags(json)", "string", "null", R"("textarea")");
    const std::string exportColumns =
        C("Success", "bool") + "," + C("json", "string", R"("textarea")");
    const std::string innerTypes =
        R"js(["BOOL (1byte)", "SINT (1byte)", "INT (2bytes)", "DINT (4bytes)", "REAL (4bytes)"])js";
    auto subtag = [&](const char* alias, const char* offset, const char* type, const char* len) {
        return P("Alias", "string", alias) + "," + P("Offset", "number", offset) + "," +
               P("InnerType", "enum", type, "null", innerTypes) + "," + P("DataLen", "number", len);
    };
    struct Case {
        NodePath path;
        const char* display;
        const char* kind;
        std::string action;
    };
    const Case cases[] = {
        {"/addplc", "Add PLC", "node",
         A(P("Alias", "string") + "," + P("Host", "string") + "," + P("Port", "number", "44818") +
               "," + P("Slot", "number", "0") + "," +
               P("Protocol Family", "enum", R"("CIP/EIP")", "null", R"(["CIP/EIP", "PCCC"])"),
           successMessage)},
        {"/line1/Remove", "Remove", "node", A("", "")},
        {em_ / "Add Tags", "Add Tags", "node", A(tagsJson, tagTable, "table")},
        {io_ / "Edit Tags", "Edit Tags", "node", A(tagsJson, tagTable, "table")},
        {em_ / "Remove Tags", "Remove Tags", "node", A(tagsJson, tagTable, "table")},
        {em_ / "Write Tags", "Write Tags", "node", A(tagsJson, tagTable, "table")},
        {em_ / "Reset Tags", "Reset Tags", "node", A("", "")},
        {io_ / "Export Tags", "Export Tags", "node", A("", exportColumns)},
        {em_ / "Browse Tags", "Browse Tags", "node",
         A(P("Filter", "string", R"("")"),
           C("Name", "string") + "," + C("Type", "string") + "," + C("Dimensions", "string") + "," +
               C("Scope", "string") + "," + C("Readable", "bool"),
           "table")},
        {em_ / "Start Polling", "Start Polling", "node",
         A(P("Interval(ms)", "number", "1000"), successMessage)},
        {em_ / "Stop Polling", "Stop Polling", "node", A("", successMessage)},
        {io_ / "Start Listening", "Start Listening", "node",
         A(P("Interval(ms)", "number", "1000") + "," + P("UDP Port", "number", "2222"), tagTable,
           "table")},
        {io_ / "Stop Listening", "Stop Listening", "node", A("", successMessage)},
        {tag / "Add Subtag", "Add Subtag", "",
         A(subtag("null", "null", R"js("INT (2bytes)")js", "null"), successMessage)},
        {tag / "speed" / "Edit Subtag", "Edit Subtag", "",
         A(subtag(R"("speed")", "2", R"js("REAL (4bytes)")js", "4"), successMessage)},
        {tag / "Export Subtags", "Export Subtags", "node", A("", exportColumns)},
        {tag / "Import Subtags", "Import Subtags", "node",
         A(P("json", "string", "null", R"("textarea")"),
           C("Success", "bool") + "," + C("Result", "string"))},
        {tag / "speed" / "Remove Subtag", "Remove Subtag", "", A("", "")},
        {EipNode::WriteTagsListPath("line1") / "speed" / "Write Data", "Write Data", "",
         A(P("Value", "string"), successMessage)},
    };
    for (const auto& c : cases) {
        const sdk::NodeInfo node = WaitNode(c.path);
        EXPECT_EQ(node.display_name, c.display) << c.path.to_string();
        EXPECT_EQ(node.kind, c.kind) << c.path.to_string();
        EXPECT_EQ(ActionJson(c.path), c.action) << c.path.to_string();
    }
}

TEST_F(DescriptionTest, TheRootTakesNoActionButAddPLC) {
    EipNode::CreateRemovePLCNode(NodePath());
    EipNode::CreateAddTagsNode(NodePath(""));
    EipNode::CreateEMWriteDataNode(NodePath("/"));
    EipNode::CreateIOEditSubNode(NodePath(), _eipSubTagInfo{});
    Settle();
    EXPECT_EQ(Children(NodePath()), std::vector<std::string>{"line1"});
}

}  // namespace
