#pragma once
// Helpers of the node tree tests: a real in-process broker link on a temporary data directory
// and a PLC registry, with the node tree over both, waiting for the chained node completions,
// and capturing the log.

#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/eip_manager.h"
#include "link/link_context.h"
#include "node/eip_node.h"
#include "strata_sdk/sdk.h"
#include "support/log_capture.h"
#include "support/node_config.h"
#include "support/temp_dir.h"
#include "support/test_link.h"
#include "support/wait_until.h"

namespace node_test {

namespace sdk = kestrel::strata_sdk;

using tb_test::LogCapture;
using tb_test::WaitUntil;

// A tag as the tests build it: Logix, default output, one element, described "line speed".
inline TagInfo MakeTag(const std::string& alias, uint8_t rwFlag, int32_t innerType = kInnerTypeDint,
                       int32_t dataLen = 4) {
    TagInfo tag;
    tag.family = kFamilyCip;
    tag.alias = alias;
    tag.tagName = "Program:Main." + alias;
    tag.outputType = kOutputTypeDefault;
    tag.rwFlag = rwFlag;
    tag.innerType = innerType;
    tag.dataLen = dataLen;
    tag.description = "line speed";
    tag.elementCount = 1;
    return tag;
}

// A running broker link and an empty PLC registry; Nodes() is the node tree over them.
class NodeTreeFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        link_ = tb_test::MakeLink(dataDir_.path());
        ASSERT_TRUE(link_->non_blocking_run());
        ASSERT_TRUE(link_->broker().wait_idle());
        context_ = std::make_unique<LinkContext>(*link_, registry_);
    }

    void TearDown() override {
        registry_.RemoveAll();
        link_->broker().wait_idle();
        link_->stop();
        link_->join();
    }

    EipNode Nodes() { return EipNode(*context_); }

    sdk::Broker& Broker() { return link_->broker(); }

    std::optional<sdk::NodeInfo> Node(const sdk::NodePath& path) {
        return Broker().node_info(path);
    }

    // The node once it exists (the tree is built through chained completions).
    sdk::NodeInfo WaitNode(const sdk::NodePath& path) {
        std::optional<sdk::NodeInfo> info;
        EXPECT_TRUE(WaitUntil([&] { return (info = Node(path)).has_value(); }))
            << "no node at " << path.to_string();
        return info ? *info : sdk::NodeInfo{};
    }

    // Waits until the dispatch thread has run every completion, including those queued by
    // completions (a tag node's completion creates its subtags, whose completions create their
    // actions).
    void Settle() {
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(Broker().wait_idle());
        }
    }

    sdk::Variant Config(const sdk::NodePath& path, const std::string& key) {
        return tb_test::NodeConfig(Broker(), path, key);
    }

    // A PLC node built as Add PLC builds it, waited for down to its last folder.
    void CreatePLC(const std::string& alias, ProtocolFamily family = kFamilyCip) {
        ConnectInfo conn;
        conn.alias = alias;
        conn.host = "127.0.0.1";
        conn.port = 44818;
        conn.slot = 0;
        conn.family = family;
        ProductInfo product;
        product.productName = "1756-L71/B LOGIX5571";
        product.vendorId = 1;
        ASSERT_EQ(Nodes().CreatePLCNode(sdk::NodePath(), conn, product), 0);
        WaitNode(EipNode::WriteTagsListPath(alias));
        WaitNode(EipNode::IOTagsPath(alias));
        WaitNode(EipNode::PLCPath(alias) / "ucmmstate");
    }

    // One line per node, depth first: path, display name, kind, value type, value (JSON, "u"
    // after an unsigned integer), "stored", "action", then each config as key=value.
    std::string Tree(const sdk::NodePath& path) {
        const auto text = [](const sdk::Variant& value) {
            return sdk::json::to_json_string(value) +
                   (value.get_type() == sdk::Variant::UInt ? "u" : "");
        };
        const sdk::NodeInfo node = WaitNode(path);
        std::string line = path.to_string() + " '" + node.display_name + "' " + node.kind + " " +
                           (node.type ? std::to_string(static_cast<int>(*node.type)) : "-") + " " +
                           text(node.value) +
                           (node.serialization == sdk::SerializationMode::Stored ? " stored" : "") +
                           (node.has_action ? " action" : "");
        for (const auto& [key, value] : node.configs) {
            line += " " + key + "=" + text(value);
        }
        line += "\n";
        for (const std::string& child : node.children) {
            line += Tree(path / child);
        }
        return line;
    }

    std::vector<std::string> Children(const sdk::NodePath& path) {
        auto info = Node(path);
        return info ? info->children : std::vector<std::string>{};
    }

    // The names of the children of `path` that carry an action.
    std::set<std::string> ActionNames(const sdk::NodePath& path) {
        std::set<std::string> names;
        for (const std::string& child : Children(path)) {
            auto info = Node(path / child);
            if (info && info->has_action) {
                names.insert(child);
            }
        }
        return names;
    }

    // Where a tag of PLC "line1" lives, by list.
    static sdk::NodePath ReadPath(const std::string& alias) {
        return EipNode::ReadTagsListPath("line1") / sdk::string_escape(alias);
    }
    static sdk::NodePath WritePath(const std::string& alias) {
        return EipNode::WriteTagsListPath("line1") / sdk::string_escape(alias);
    }
    static sdk::NodePath IOPath(const std::string& alias) {
        return EipNode::IOTagsPath("line1") / sdk::string_escape(alias);
    }

    tb_test::TempDir dataDir_;
    EipManager registry_;
    std::unique_ptr<sdk::Link> link_;
    std::unique_ptr<LinkContext> context_;
};

// The same with PLC "line1" built.
class LineFixture : public NodeTreeFixture {
  protected:
    void SetUp() override {
        NodeTreeFixture::SetUp();
        CreatePLC("line1");
    }
};

}  // namespace node_test
