// Tag and subtag item nodes: where they live by RW flag, their stored "$" attributes, their
// value types, the actions hung on them, their update and their removal.

#include <gtest/gtest.h>

#include <algorithm>
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
        _eipTagInfo tag;
        tag.family = EIP_PROTOCOL_FAMILY_CIP;
        tag.alias = alias;
        tag.tagName = "Program:Main." + alias;
        tag.outputType = EIP_OUTPUT_TYPE_DEFAULT;
        tag.rwFlag = rwFlag;
        tag.innerType = EIP_INNER_TYPE_DINT;
        tag.dataLen = 4;
        tag.description = "line speed";
        tag.elementCount = 1;
        return tag;
    }

    static _eipTagInfo IOTag(const std::string& alias) {
        _eipTagInfo tag = EMTag(alias, EIP_RW_FLAG_IO);
        tag.innerType = EIP_INNER_TYPE_SINT;
        tag.dataLen = 16;
        return tag;
    }

    static _eipSubTagInfo Sub(const std::string& alias, int offset, int innerType, int dataLen) {
        _eipSubTagInfo sub;
        sub.alias = alias;
        sub.offset = offset;
        sub.innerType = innerType;
        sub.dataLen = dataLen;
        return sub;
    }

    NodePath Read(const std::string& alias) {
        return EipNode::ReadTagsListPath("line1") / sdk::string_escape(alias);
    }
    NodePath Write(const std::string& alias) {
        return EipNode::WriteTagsListPath("line1") / sdk::string_escape(alias);
    }
    NodePath IO(const std::string& alias) {
        return EipNode::IOTagsPath("line1") / sdk::string_escape(alias);
    }

    std::optional<sdk::ValueType> TypeOf(const NodePath& path) {
        auto info = Node(path);
        return info ? info->type : std::nullopt;
    }

    std::vector<std::string> ActionChildren(const NodePath& path) {
        std::vector<std::string> actions;
        for (const std::string& child : Children(path)) {
            auto info = Node(path / child);
            if (info && info->has_action) {
                actions.push_back(child);
            }
        }
        return actions;
    }
};

// The RW flag decides the lists a tag lives in; only the write list carries "Write Data".
TEST_F(TagItemNodeTest, TagsLiveInTheListsOfTheirFlagAndOnlyTheWriteOneHasWriteData) {
    using Actions = std::vector<std::string>;
    EipNode::CreateTagItemNode("line1", EMTag("r", EIP_RW_FLAG_READ), nullptr);
    EipNode::CreateTagItemNode("line1", EMTag("rw", EIP_RW_FLAG_READ | EIP_RW_FLAG_WRITE), nullptr);
    EXPECT_EQ(WaitNode(Write("rw") / "Write Data").kind, "");
    Settle();
    EXPECT_TRUE(Node(Read("r")).has_value());
    EXPECT_FALSE(Node(Write("r")).has_value());
    EXPECT_FALSE(Node(IO("r")).has_value());
    EXPECT_EQ(ActionChildren(Read("r")), Actions{});
    EXPECT_EQ(ActionChildren(Read("rw")), Actions{});
    EXPECT_EQ(ActionChildren(Write("rw")), Actions{"Write Data"});
}

TEST_F(TagItemNodeTest, TagNodeCarriesItsStoredAttributes) {
    _eipTagInfo tag = EMTag("speed", EIP_RW_FLAG_READ);
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    const sdk::NodeInfo node = WaitNode(Read("speed"));
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
    EXPECT_EQ(WaitNode(Read("n7")).configs.at("$PLC5Address"), Variant("N7:0"));
    EXPECT_EQ(*TypeOf(Read("n7")), sdk::ValueType::Number);

    EipNode::CreateTagItemNode("line1", EMTag("logix", EIP_RW_FLAG_READ), nullptr);
    EXPECT_EQ(WaitNode(Read("logix")).configs.count("$PLC5Address"), 0u);
}

TEST_F(TagItemNodeTest, ValueTypeFollowsTheElementCount) {
    _eipTagInfo unknown = EMTag("unknown", EIP_RW_FLAG_READ);
    unknown.elementCount = 0;
    _eipTagInfo array = EMTag("array", EIP_RW_FLAG_READ);
    array.elementCount = 10;
    array.dataLen = 40;
    _eipTagInfo rawStructs = EMTag("udts", EIP_RW_FLAG_READ);
    rawStructs.innerType = EIP_INNER_TYPE_STRUCTURE;
    rawStructs.structHandle = 0x1234;
    rawStructs.elementCount = 2;
    _eipTagInfo strings = rawStructs;
    strings.alias = "names";
    strings.structHandle = EIP_STRING_STRUCT_HANDLE;
    _eipTagInfo flag = EMTag("flag", EIP_RW_FLAG_READ);
    flag.innerType = EIP_INNER_TYPE_BOOL;
    flag.dataLen = 1;
    for (const auto& tag : {unknown, array, rawStructs, strings, flag}) {
        EipNode::CreateTagItemNode("line1", tag, nullptr);
    }
    for (const char* alias : {"unknown", "array", "udts", "names", "flag"}) {
        WaitNode(Read(alias));
    }
    EXPECT_FALSE(TypeOf(Read("unknown")).has_value());
    EXPECT_EQ(*TypeOf(Read("array")), sdk::ValueType::Array);
    EXPECT_EQ(*TypeOf(Read("udts")), sdk::ValueType::String);
    EXPECT_EQ(*TypeOf(Read("names")), sdk::ValueType::Array);
    EXPECT_EQ(*TypeOf(Read("flag")), sdk::ValueType::Bool);
}

TEST_F(TagItemNodeTest, IOTagGetsNoTypeAndAWholeDataSubtag) {
    EipNode::CreateTagItemNode("line1", IOTag("rack"), nullptr);
    const sdk::NodeInfo tag = WaitNode(IO("rack"));
    EXPECT_FALSE(tag.type.has_value());
    EXPECT_EQ(tag.configs.at("$RW Flag"), Variant("I"));

    const sdk::NodeInfo data = WaitNode(IO("rack") / "Data");
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
    EXPECT_TRUE(ActionChildren(IO("rack") / "Data").empty());
}

TEST_F(TagItemNodeTest, IOTagCarriesTheSubtagActionsAndItsSubtagsInOrder) {
    std::vector<_eipSubTagInfo> subs = {
        Sub("running", 0, EIP_INNER_TYPE_BOOL, 1),
        Sub("speed", 2, EIP_INNER_TYPE_INT, 2),
        Sub("a/b", 4, EIP_INNER_TYPE_REAL, 4),
    };
    EipNode::CreateTagItemNode("line1", IOTag("rack"), &subs);
    WaitNode(IO("rack") / sdk::string_escape("a/b") / "Remove Subtag");
    WaitNode(IO("rack") / "Import Subtags");
    Settle();
    EXPECT_EQ(Children(IO("rack")),
              (std::vector<std::string>{"Data", "running", "speed", sdk::string_escape("a/b"),
                                        "Add Subtag", "Export Subtags", "Import Subtags"}));
    EXPECT_EQ(*TypeOf(IO("rack") / "running"), sdk::ValueType::Bool);
    EXPECT_EQ(*TypeOf(IO("rack") / "speed"), sdk::ValueType::Number);
    const sdk::NodeInfo odd = WaitNode(IO("rack") / sdk::string_escape("a/b"));
    EXPECT_EQ(odd.display_name, "a/b");
    EXPECT_EQ(odd.configs.at("$Offset"), Variant(4));
    EXPECT_EQ(odd.configs.at("InnerType"), Variant("REAL"));
    EXPECT_EQ(ActionChildren(IO("rack") / "speed"),
              (std::vector<std::string>{"Edit Subtag", "Remove Subtag"}));
}

TEST_F(TagItemNodeTest, SubtagOperationsNeedAnIOTag) {
    _eipTagInfo em = EMTag("speed", EIP_RW_FLAG_READ);
    EipNode::CreateTagItemNode("line1", em, nullptr);
    WaitNode(Read("speed"));
    EipNode::CreateSubTagItemNode("line1", em, Sub("low", 0, EIP_INNER_TYPE_SINT, 1));
    Settle();
    EXPECT_TRUE(Children(Read("speed")).empty());
}

TEST_F(TagItemNodeTest, CreateAgainUpdatesTheNodeInPlace) {
    _eipTagInfo tag = EMTag("speed", EIP_RW_FLAG_READ);
    tag.plc5Address = "N7:1";
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    WaitNode(Read("speed"));
    EipNode::UpdateTagStatus("line1", tag, "Could not find Tag from PLC.");
    tag.innerType = EIP_INNER_TYPE_REAL;
    tag.description = "new";
    tag.elementCount = 3;
    tag.dataLen = 12;
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Config(Read("speed"), "InnerType") == Variant("REAL"); }));
    Settle();
    EXPECT_EQ(Config(Read("speed"), "$status"), Variant("OK"));
    EXPECT_EQ(Config(Read("speed"), "$Description"), Variant("new"));
    EXPECT_EQ(Config(Read("speed"), "$DataLen"), Variant(12));
    EXPECT_EQ(*TypeOf(Read("speed")), sdk::ValueType::Array);
    EXPECT_EQ(Children(EipNode::ReadTagsListPath("line1")), std::vector<std::string>{"speed"});
}

TEST_F(TagItemNodeTest, SubtagUpdateReplacesItsAttributesAndKeepsOneNode) {
    _eipTagInfo tag = IOTag("rack");
    EipNode::CreateTagItemNode("line1", tag, nullptr);
    WaitNode(IO("rack") / "Import Subtags");
    EipNode::CreateSubTagItemNode("line1", tag, Sub("speed", 2, EIP_INNER_TYPE_INT, 2));
    WaitNode(IO("rack") / "speed" / "Remove Subtag");
    EipNode::CreateSubTagItemNode("line1", tag, Sub("speed", 8, EIP_INNER_TYPE_DINT, 8));
    ASSERT_TRUE(WaitUntil([&] { return Config(IO("rack") / "speed", "$Offset") == Variant(8); }));
    Settle();
    EXPECT_EQ(Config(IO("rack") / "speed", "InnerType"), Variant("DINT"));
    EXPECT_EQ(*TypeOf(IO("rack") / "speed"), sdk::ValueType::Array);
    const std::vector<std::string> children = Children(IO("rack"));
    EXPECT_EQ(std::count(children.begin(), children.end(), "speed"), 1);
    // The edit action offers the new settings as its defaults.
    auto edit = Broker().describe(IO("rack") / "speed" / "Edit Subtag");
    ASSERT_TRUE(edit.has_value());
    EXPECT_EQ(edit->at("action").at("params")[1].at("default"), Variant(8));
}

TEST_F(TagItemNodeTest, RemoveTagItemNodeRemovesEveryListNode) {
    _eipTagInfo rw = EMTag("speed", EIP_RW_FLAG_READ | EIP_RW_FLAG_WRITE);
    EipNode::CreateTagItemNode("line1", rw, nullptr);
    WaitNode(Write("speed") / "Write Data");
    EipNode::RemoveTagItemNode("line1", rw, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return !Node(Read("speed")) && !Node(Write("speed")); }));

    std::vector<_eipSubTagInfo> subs = {Sub("speed", 2, EIP_INNER_TYPE_INT, 2)};
    _eipTagInfo io = IOTag("rack");
    EipNode::CreateTagItemNode("line1", io, &subs);
    WaitNode(IO("rack") / "speed");
    EipNode::RemoveSubTagItemNode("line1", io, subs[0]);
    EXPECT_TRUE(WaitUntil([&] { return !Node(IO("rack") / "speed"); }));
    EXPECT_TRUE(Node(IO("rack") / "Data").has_value());
    EipNode::RemoveTagItemNode("line1", io, &subs);
    EXPECT_TRUE(WaitUntil([&] { return !Node(IO("rack")); }));
}

TEST_F(TagItemNodeTest, TagUnderAMissingPLCIsLoggedAndCreatesNothing) {
    node_test::LogCapture log;
    EipNode::CreateTagItemNode("ghost", EMTag("speed", EIP_RW_FLAG_READ), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("error:10006"); }));
    EXPECT_FALSE(Node("/ghost").has_value());
}

}  // namespace
