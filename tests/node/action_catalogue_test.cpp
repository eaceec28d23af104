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

    Names ActionNames(const NodePath& path) {
        Names names;
        for (const std::string& child : Children(path)) {
            auto info = Node(path / child);
            if (info && info->has_action) {
                names.insert(child);
            }
        }
        return names;
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

TEST_F(ToggleTest, FirstToggleOnAFreshLogixPLCCreatesFifteenActionNodes) {
    ASSERT_EQ(manager_->AddPLCTemp("line1"), 0);
    ASSERT_EQ(ActionCountBelow("/line1"), 0u);
    Toggle(1, 1);
    EXPECT_EQ(ActionNames("/line1"), Names{"Remove"});
    EXPECT_EQ(ActionNames(em_), kEMStopped);
    EXPECT_EQ(ActionNames(io_), kIOStopped);
    EXPECT_EQ(ActionCountBelow("/line1"), 15u);
}

TEST_F(ToggleTest, StartingAndStoppingPollingSwapsTheEMSet) {
    ASSERT_EQ(manager_->AddPLCTemp("line1"), 0);
    Toggle(1, 1);
    Toggle(0, 1, 250);
    EXPECT_EQ(ActionNames(em_), kEMRunning);
    EXPECT_EQ(ActionNames(io_), kIOStopped);
    EXPECT_EQ(Config(em_, "$Polling Interval"), Variant(uint64_t{250}));
    Toggle(1, 1);
    EXPECT_EQ(ActionNames(em_), kEMStopped);
    EXPECT_EQ(ActionNames("/line1"), Names{"Remove"});
}

TEST_F(ToggleTest, StartingAndStoppingListeningSwapsTheIOSet) {
    ASSERT_EQ(manager_->AddPLCTemp("line1"), 0);
    Toggle(1, 0, 1000, 20, 2300);
    EXPECT_EQ(ActionNames(io_), kIORunning);
    EXPECT_EQ(ActionNames(em_), kEMStopped);
    EXPECT_EQ(Config(io_, "$Listening Interval"), Variant(uint64_t{20}));
    EXPECT_EQ(Config(io_, "$Listening UDP Port"), Variant(uint64_t{2300}));
    Toggle(1, 1);
    EXPECT_EQ(ActionNames(io_), kIOStopped);
}

TEST_F(ToggleTest, AnyFlagOtherThanOneMeansRunning) {
    ASSERT_EQ(manager_->AddPLCTemp("line1"), 0);
    Toggle(-1, 2);
    EXPECT_EQ(ActionNames(em_), kEMRunning);
    EXPECT_EQ(ActionNames(io_), kIORunning);
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
    EXPECT_TRUE(log.Contains(": ERROR - ToggleActionNodes: PLC alias is not exist."));
    EXPECT_TRUE(log.Contains(": INFO - ToggleActionNodes: Toggle nodes to - /line1 1,1"));
}

TEST_F(ToggleTest, TagActionsAreNotTouchedByTheToggle) {
    ASSERT_EQ(manager_->AddPLCTemp("line1"), 0);
    _eipTagInfo tag;
    tag.alias = "speed";
    tag.rwFlag = EIP_RW_FLAG_WRITE;
    tag.innerType = EIP_INNER_TYPE_DINT;
    tag.dataLen = 4;
    tag.elementCount = 1;
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    WaitNode(EipNode::WriteTagsListPath("line1") / "speed" / "Write Data");
    Toggle(0, 0);
    EXPECT_TRUE(Node(EipNode::WriteTagsListPath("line1") / "speed" / "Write Data").has_value());
}

// ---- catalogue descriptions -------------------------------------------------------------------

using DescriptionTest = CatalogueTest;

TEST_F(DescriptionTest, AddPLCOnTheRoot) {
    EipNode::CreateRootNode(NodePath());
    const sdk::NodeInfo node = WaitNode("/addplc");
    EXPECT_EQ(node.display_name, "Add PLC");
    EXPECT_EQ(node.kind, "node");
    EXPECT_EQ(ActionJson("/addplc"), Canonical(R"js({
        "params": [
            {"name": "Alias", "type": "string", "default": null, "editor": null, "choices": null},
            {"name": "Host", "type": "string", "default": null, "editor": null, "choices": null},
            {"name": "Port", "type": "number", "default": 44818, "editor": null, "choices": null},
            {"name": "Slot", "type": "number", "default": 0, "editor": null, "choices": null},
            {"name": "Protocol Family", "type": "enum", "default": "CIP/EIP", "editor": null,
             "choices": ["CIP/EIP", "PCCC"]}],
        "columns": [{"name": "Success", "type": "bool", "editor": null},
                    {"name": "message", "type": "string", "editor": null}],
        "resultKind": "values", "permission": "write"})js"));
}

TEST_F(DescriptionTest, RemoveOnThePLCNode) {
    EipNode::CreateRemovePLCNode("/line1");
    const sdk::NodeInfo node = WaitNode("/line1/Remove");
    EXPECT_EQ(node.display_name, "Remove");
    EXPECT_EQ(node.kind, "node");
    EXPECT_EQ(ActionJson("/line1/Remove"),
              Canonical(R"js({"params": [], "columns": [], "resultKind": "values",
                            "permission": "write"})js"));
}

TEST_F(DescriptionTest, TagListActionsTakeJsonTextAndAnswerATable) {
    const std::string expected = Canonical(R"js({
        "params": [{"name": "Tags(json)", "type": "string", "default": null,
                    "editor": "textarea", "choices": null}],
        "columns": [{"name": "Tag alias", "type": "string", "editor": null},
                    {"name": "Result", "type": "string", "editor": null}],
        "resultKind": "table", "permission": "write"
})js");
    EipNode::CreateAddTagsNode(em_);
    EipNode::CreateEditTagsNode(io_);
    EipNode::CreateRemoveTagsNode(em_);
    EipNode::CreateWriteTagsNode(em_);
    EXPECT_EQ(ActionJson(em_ / "Add Tags"), expected);
    EXPECT_EQ(ActionJson(io_ / "Edit Tags"), expected);
    EXPECT_EQ(ActionJson(em_ / "Remove Tags"), expected);
    EXPECT_EQ(ActionJson(em_ / "Write Tags"), expected);
    EXPECT_EQ(WaitNode(em_ / "Write Tags").display_name, "Write Tags");
    EXPECT_EQ(WaitNode(em_ / "Write Tags").kind, "node");
}

TEST_F(DescriptionTest, ResetAndExportTags) {
    EipNode::CreateResetTagsNode(em_);
    EipNode::CreateExportTagsNode(io_);
    EXPECT_EQ(ActionJson(em_ / "Reset Tags"),
              Canonical(R"js({"params": [], "columns": [], "resultKind": "values",
                            "permission": "write"})js"));
    EXPECT_EQ(ActionJson(io_ / "Export Tags"), Canonical(R"js({
        "params": [],
        "columns": [{"name": "Success", "type": "bool", "editor": null},
                    {"name": "json", "type": "string", "editor": "textarea"}],
        "resultKind": "values", "permission": "write"})js"));
    EipNode::CreateBrowseTagsNode(em_);
    EXPECT_EQ(ActionJson(em_ / "Browse Tags"), Canonical(R"js({
        "params": [{"name": "Filter", "type": "string", "default": "", "editor": null,
                    "choices": null}],
        "columns": [{"name": "Name", "type": "string", "editor": null},
                    {"name": "Type", "type": "string", "editor": null},
                    {"name": "Dimensions", "type": "string", "editor": null},
                    {"name": "Scope", "type": "string", "editor": null},
                    {"name": "Readable", "type": "bool", "editor": null}],
        "resultKind": "table", "permission": "write"})js"));
}

TEST_F(DescriptionTest, PollingAndListeningActions) {
    const std::string successMessage = R"js([{"name": "Success", "type": "bool", "editor": null},
                    {"name": "message", "type": "string", "editor": null}])js";
    EipNode::CreateEMStartPollingNode(em_);
    EipNode::CreateEMStopPollingNode(em_);
    EipNode::CreateIOStartPollingNode(io_);
    EipNode::CreateIOStopPollingNode(io_);
    EXPECT_EQ(ActionJson(em_ / "Start Polling"), Canonical(R"js({
        "params": [{"name": "Interval(ms)", "type": "number", "default": 1000, "editor": null,
                    "choices": null
}],
        "columns": )js" + successMessage + R"js(, "resultKind": "values", "permission": "write"
})js"));
    EXPECT_EQ(ActionJson(em_ / "Stop Polling"),
              Canonical(R"js({"params": [], "columns": )js" + successMessage +
                        R"js(, "resultKind": "values", "permission": "write"})js"));
    EXPECT_EQ(ActionJson(io_ / "Start Listening"), Canonical(R"js({
        "params": [{"name": "Interval(ms)", "type": "number", "default": 1000, "editor": null,
                    "choices": null
    },
                   {"name": "UDP Port", "type": "number", "default": 2222, "editor": null,
                    "choices": null}],
        "columns": [{"name": "Tag alias", "type": "string", "editor": null},
                    {"name": "Result", "type": "string", "editor": null}],
        "resultKind": "table", "permission": "write"
    })js"));
    EXPECT_EQ(ActionJson(io_ / "Stop Listening"),
              Canonical(R"js({"params": [], "columns": )js" + successMessage +
                        R"js(, "resultKind": "values", "permission": "write"})js"));
}

TEST_F(DescriptionTest, TagAndSubtagActions) {
    const NodePath tag = io_ / "rack";
    _eipTagInfo info;
    info.alias = "rack";
    info.rwFlag = EIP_RW_FLAG_IO;
    info.innerType = EIP_INNER_TYPE_SINT;
    info.dataLen = 8;
    std::vector<_eipSubTagInfo> subs(1);
    subs[0].alias = "speed";
    subs[0].offset = 2;
    subs[0].innerType = EIP_INNER_TYPE_REAL;
    subs[0].dataLen = 4;
    EipNode::CreateTagItemNode("line1", info, &subs);
    WaitNode(tag / "speed" / "Remove Subtag");

    const char* choices = R"js(["BOOL (1byte)", "SINT (1byte)", "INT (2bytes)", "DINT (4bytes)",
                              "REAL (4bytes)"])js";
    const std::string successMessage = R"js([{"name": "Success", "type": "bool", "editor": null},
                    {"name": "message", "type": "string", "editor": null}])js";
    EXPECT_EQ(ActionJson(tag / "Add Subtag"), Canonical(std::string(R"js({
        "params": [{"name": "Alias", "type": "string", "default": null, "editor": null,
                    "choices": null},
                   {"name": "Offset", "type": "number", "default": null, "editor": null,
                    "choices": null},
                   {"name": "InnerType", "type": "enum", "default": "INT (2bytes)",
                    "editor": null, "choices": )js") + choices +
                                                        R"js(
    },
                   {"name": "DataLen", "type": "number", "default": null, "editor": null,
                    "choices": null}],
        "columns": )js" + successMessage + R"js(, "resultKind": "values", "permission": "write"
    })js"));
    EXPECT_EQ(ActionJson(tag / "speed" / "Edit Subtag"), Canonical(std::string(R"js({
        "params": [{"name": "Alias", "type": "string", "default": "speed", "editor": null,
                    "choices": null},
                   {"name": "Offset", "type": "number", "default": 2, "editor": null,
                    "choices": null},
                   {"name": "InnerType", "type": "enum", "default": "REAL (4bytes)",
                    "editor": null, "choices": )js") + choices + R"js(
    },
                   {"name": "DataLen", "type": "number", "default": 4, "editor": null,
                    "choices": null}],
        "columns": )js" + successMessage + R"js(, "resultKind": "values", "permission": "write"
    })js"));
    EXPECT_EQ(ActionJson(tag / "Export Subtags"), Canonical(R"js({
        "params": [],
        "columns": [{"name": "Success", "type": "bool", "editor": null},
                    {"name": "json", "type": "string", "editor": "textarea"}],
        "resultKind": "values", "permission": "write"})js"));
    EXPECT_EQ(ActionJson(tag / "Import Subtags"), Canonical(R"js({
        "params": [{"name": "json", "type": "string", "default": null, "editor": "textarea",
                    "choices": null}],
        "columns": [{"name": "Success", "type": "bool", "editor": null},
                    {"name": "Result", "type": "string", "editor": null}],
        "resultKind": "values", "permission": "write"})js"));
    EXPECT_EQ(ActionJson(tag / "speed" / "Remove Subtag"),
              Canonical(R"js({"params": [], "columns": [], "resultKind": "values",
                            "permission": "write"})js"));

    // Kind text: "node" only on the export and import actions.
    EXPECT_EQ(WaitNode(tag / "Add Subtag").kind, "");
    EXPECT_EQ(WaitNode(tag / "Export Subtags").kind, "node");
    EXPECT_EQ(WaitNode(tag / "Import Subtags").kind, "node");
    EXPECT_EQ(WaitNode(tag / "speed" / "Edit Subtag").kind, "");
    EXPECT_EQ(WaitNode(tag / "speed" / "Remove Subtag").kind, "");
}

TEST_F(DescriptionTest, WriteDataTakesTheValueAsText) {
    const NodePath tag = EipNode::WriteTagsListPath("line1") / "speed";
    _eipTagInfo info;
    info.alias = "speed";
    info.rwFlag = EIP_RW_FLAG_WRITE;
    info.innerType = EIP_INNER_TYPE_DINT;
    info.dataLen = 4;
    info.elementCount = 1;
    EipNode::CreateTagItemNode("line1", info, nullptr);
    EXPECT_EQ(ActionJson(tag / "Write Data"), Canonical(R"js({
        "params": [{"name": "Value", "type": "string", "default": null, "editor": null,
                    "choices": null}],
        "columns": [{"name": "Success", "type": "bool", "editor": null},
                    {"name": "message", "type": "string", "editor": null}],
        "resultKind": "values", "permission": "write"})js"));
    EXPECT_EQ(WaitNode(tag / "Write Data").display_name, "Write Data");
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
