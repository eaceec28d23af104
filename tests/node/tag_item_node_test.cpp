// Tag and subtag item nodes: where they live by RW flag, their stored "$" attributes, their
// value types, the actions hung on them, their update and their removal.

#include <gtest/gtest.h>

#include <algorithm>
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

class TagItemNodeTest : public NodeTreeFixture {
  protected:
    void SetUp() override {
        NodeTreeFixture::SetUp();
        CreatePLC("line1");
    }

    static _eipTagInfo EMTag(const std::string& alias, uint8_t rwFlag) {
        return node_test::MakeTag(alias, rwFlag);
    }
    static _eipTagInfo IOTag(const std::string& alias) {
        return node_test::MakeTag(alias, EIP_RW_FLAG_IO, EIP_INNER_TYPE_SINT, 16);
    }

    std::optional<sdk::ValueType> TypeOf(const NodePath& path) {
        auto info = Node(path);
        return info ? info->type : std::nullopt;
    }
};

using Names = std::set<std::string>;

// The RW flag decides the lists a tag lives in; only the write list carries "Write Data".
TEST_F(TagItemNodeTest, TagsLiveInTheListsOfTheirFlagAndOnlyTheWriteOneHasWriteData) {
    EipNode::CreateTagItemNode("line1", EMTag("r", EIP_RW_FLAG_READ), nullptr);
    EipNode::CreateTagItemNode("line1", EMTag("rw", EIP_RW_FLAG_READ | EIP_RW_FLAG_WRITE), nullptr);
    EXPECT_EQ(WaitNode(WritePath("rw") / "Write Data").kind, "");
    Settle();
    EXPECT_TRUE(Node(ReadPath("r")).has_value());
    EXPECT_FALSE(Node(WritePath("r")).has_value());
    EXPECT_FALSE(Node(IOPath("r")).has_value());
    EXPECT_EQ(ActionNames(ReadPath("r")), Names{});
    EXPECT_EQ(ActionNames(ReadPath("rw")), Names{});
    EXPECT_EQ(ActionNames(WritePath("rw")), Names{"Write Data"});
}

TEST_F(TagItemNodeTest, TagNodeCarriesItsStoredAttributes) {
    _eipTagInfo tag = EMTag("speed", EIP_RW_FLAG_READ);
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    const sdk::NodeInfo node = WaitNode(ReadPath("speed"));
    EXPECT_EQ(node.kind, "node");
    EXPECT_EQ(node.display_name, "speed");
    EXPECT_EQ(node.serialization, sdk::SerializationMode::Stored);
    const std::map<std::string, Variant> expected = {
        {"$status", Variant("OK")},
        {"$Description", Variant("line speed")},
        {"$DataLen", Variant(4)},
        {"InnerType", Variant("DINT")},
        {"$RW Flag", Variant("R_")},
        {"$OutputType", Variant("DEFAULT")},
        {"$Tag Name", Variant("Program:Main.speed")},
        {"$$$isit", Variant("tag")},
    };
    EXPECT_EQ(node.configs, expected);
}

TEST_F(TagItemNodeTest, PLC5AddressIsStoredOnlyWhenPresent) {
    _eipTagInfo tag = EMTag("n7", EIP_RW_FLAG_READ);
    tag.family = EIP_PROTOCOL_FAMILY_PCCC;
    tag.innerType = EIP_INNER_TYPE_INT;
    tag.dataLen = 2;
    tag.plc5Address = "N7:0";
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    EXPECT_EQ(WaitNode(ReadPath("n7")).configs.at("$PLC5Address"), Variant("N7:0"));
    EXPECT_EQ(*TypeOf(ReadPath("n7")), sdk::ValueType::Number);

    EipNode::CreateTagItemNode("line1", EMTag("logix", EIP_RW_FLAG_READ), nullptr);
    EXPECT_EQ(WaitNode(ReadPath("logix")).configs.count("$PLC5Address"), 0u);
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
        {"unknown", EIP_INNER_TYPE_DINT, 0, 0, 4, std::nullopt},
        {"array", EIP_INNER_TYPE_DINT, 0, 10, 40, sdk::ValueType::Array},
        {"udts", EIP_INNER_TYPE_STRUCTURE, 0x1234, 2, 4, sdk::ValueType::String},
        {"names", EIP_INNER_TYPE_STRUCTURE, EIP_STRING_STRUCT_HANDLE, 2, 4, sdk::ValueType::Array},
        {"flag", EIP_INNER_TYPE_BOOL, 0, 1, 1, sdk::ValueType::Bool},
    };
    for (const auto& c : cases) {
        _eipTagInfo tag = EMTag(c.alias, EIP_RW_FLAG_READ);
        tag.innerType = c.type;
        tag.structHandle = c.handle;
        tag.elementCount = c.count;
        tag.dataLen = c.dataLen;
        EipNode::CreateTagItemNode("line1", tag, nullptr);
        EXPECT_EQ(WaitNode(ReadPath(c.alias)).type, c.expected) << c.alias;
    }
}

TEST_F(TagItemNodeTest, IOTagGetsNoTypeAndAWholeDataSubtag) {
    EipNode::CreateTagItemNode("line1", IOTag("rack"), nullptr);
    const sdk::NodeInfo tag = WaitNode(IOPath("rack"));
    EXPECT_FALSE(tag.type.has_value());
    EXPECT_EQ(tag.configs.at("$RW Flag"), Variant("I"));

    const sdk::NodeInfo data = WaitNode(IOPath("rack") / "Data");
    EXPECT_EQ(data.kind, "node");
    EXPECT_EQ(data.serialization, sdk::SerializationMode::Stored);
    const std::map<std::string, Variant> expected = {
        {"$DataLen", Variant(16)},
        {"InnerType", Variant("SINT")},
        {"$Offset", Variant(0)},
        {"$$$isit", Variant("subtag")},
    };
    EXPECT_EQ(data.configs, expected);
    EXPECT_EQ(*data.type, sdk::ValueType::Array);
    Settle();
    EXPECT_TRUE(ActionNames(IOPath("rack") / "Data").empty());
}

TEST_F(TagItemNodeTest, IOTagCarriesTheSubtagActionsAndItsSubtagsInOrder) {
    std::vector<_eipSubTagInfo> subs = {
        _eipSubTagInfo{"running", 0, EIP_INNER_TYPE_BOOL, 1},
        _eipSubTagInfo{"speed", 2, EIP_INNER_TYPE_INT, 2},
        _eipSubTagInfo{"a/b", 4, EIP_INNER_TYPE_REAL, 4},
    };
    EipNode::CreateTagItemNode("line1", IOTag("rack"), &subs);
    WaitNode(IOPath("rack") / sdk::string_escape("a/b") / "Remove Subtag");
    WaitNode(IOPath("rack") / "Import Subtags");
    Settle();
    EXPECT_EQ(Children(IOPath("rack")),
              (std::vector<std::string>{"Data", "running", "speed", sdk::string_escape("a/b"),
                                        "Add Subtag", "Export Subtags", "Import Subtags"}));
    EXPECT_EQ(*TypeOf(IOPath("rack") / "running"), sdk::ValueType::Bool);
    EXPECT_EQ(*TypeOf(IOPath("rack") / "speed"), sdk::ValueType::Number);
    const sdk::NodeInfo odd = WaitNode(IOPath("rack") / sdk::string_escape("a/b"));
    EXPECT_EQ(odd.display_name, "a/b");
    EXPECT_EQ(odd.configs.at("$Offset"), Variant(4));
    EXPECT_EQ(odd.configs.at("InnerType"), Variant("REAL"));
    EXPECT_EQ(ActionNames(IOPath("rack") / "speed"), (Names{"Edit Subtag", "Remove Subtag"}));
}

TEST_F(TagItemNodeTest, SubtagOperationsNeedAnIOTag) {
    _eipTagInfo em = EMTag("speed", EIP_RW_FLAG_READ);
    EipNode::CreateTagItemNode("line1", em, nullptr);
    WaitNode(ReadPath("speed"));
    EipNode::CreateSubTagItemNode("line1", em, _eipSubTagInfo{"low", 0, EIP_INNER_TYPE_SINT, 1});
    Settle();
    EXPECT_TRUE(Children(ReadPath("speed")).empty());
}

TEST_F(TagItemNodeTest, CreateAgainUpdatesTheNodeInPlace) {
    _eipTagInfo tag = EMTag("speed", EIP_RW_FLAG_READ);
    tag.plc5Address = "N7:1";
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    WaitNode(ReadPath("speed"));
    EipNode::UpdateTagStatus("line1", tag, "Could not find Tag from PLC.");
    tag.innerType = EIP_INNER_TYPE_REAL;
    tag.description = "new";
    tag.elementCount = 3;
    tag.dataLen = 12;
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    ASSERT_TRUE(
        WaitUntil([&] { return Config(ReadPath("speed"), "InnerType") == Variant("REAL"); }));
    Settle();
    EXPECT_EQ(Config(ReadPath("speed"), "$status"), Variant("OK"));
    EXPECT_EQ(Config(ReadPath("speed"), "$Description"), Variant("new"));
    EXPECT_EQ(Config(ReadPath("speed"), "$DataLen"), Variant(12));
    EXPECT_EQ(*TypeOf(ReadPath("speed")), sdk::ValueType::Array);
    EXPECT_EQ(Children(EipNode::ReadTagsListPath("line1")), std::vector<std::string>{"speed"});
}

TEST_F(TagItemNodeTest, SubtagUpdateReplacesItsAttributesAndKeepsOneNode) {
    _eipTagInfo tag = IOTag("rack");
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    WaitNode(IOPath("rack") / "Import Subtags");
    EipNode::CreateSubTagItemNode("line1", tag, _eipSubTagInfo{"speed", 2, EIP_INNER_TYPE_INT, 2});
    WaitNode(IOPath("rack") / "speed" / "Remove Subtag");
    EipNode::CreateSubTagItemNode("line1", tag, _eipSubTagInfo{"speed", 8, EIP_INNER_TYPE_DINT, 8});
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
    _eipTagInfo rw = EMTag("speed", EIP_RW_FLAG_READ | EIP_RW_FLAG_WRITE);
    EipNode::CreateTagItemNode("line1", rw, nullptr);
    WaitNode(WritePath("speed") / "Write Data");
    EipNode::RemoveTagItemNode("line1", rw, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return !Node(ReadPath("speed")) && !Node(WritePath("speed")); }));

    std::vector<_eipSubTagInfo> subs = {_eipSubTagInfo{"speed", 2, EIP_INNER_TYPE_INT, 2}};
    _eipTagInfo io = IOTag("rack");
    EipNode::CreateTagItemNode("line1", io, &subs);
    WaitNode(IOPath("rack") / "speed");
    EipNode::RemoveSubTagItemNode("line1", io, subs[0]);
    EXPECT_TRUE(WaitUntil([&] { return !Node(IOPath("rack") / "speed"); }));
    EXPECT_TRUE(Node(IOPath("rack") / "Data").has_value());
    EipNode::RemoveTagItemNode("line1", io, &subs);
    EXPECT_TRUE(WaitUntil([&] { return !Node(IOPath("rack")); }));
}

TEST_F(TagItemNodeTest, TagUnderAMissingPLCIsLoggedAndCreatesNothing) {
    node_test::LogCapture log;
    EipNode::CreateTagItemNode("ghost", EMTag("speed", EIP_RW_FLAG_READ), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("error:10006"); }));
    EXPECT_FALSE(Node("/ghost").has_value());
}

}  // namespace
