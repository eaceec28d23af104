#pragma once

// The broker node tree of the link: the PLC subtrees, tag and subtag nodes, the value publishing
// and the action catalogue, over the broker link of a LinkContext. A copyable handle on the
// context: the operations that reach the tree are members, the pure ones (paths, texts, value
// conversion) stay static.
//
// Threads: every operation is called from SDK threads (actions, restore, completions) and from
// the device worker threads at the same time. EipNode keeps no state of its own and takes no
// lock; each call fetches the responder afresh and hands copies of what it needs (itself
// included) to its completions.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/eip_tag_value.h"
#include "common/eip_utils.h"
#include "strata_sdk/sdk.h"

struct LinkContext;

class EipNode {
  public:
    using NodePath = kestrel::strata_sdk::NodePath;
    using NodeBuilder = kestrel::strata_sdk::NodeBuilder;
    using Variant = kestrel::strata_sdk::Variant;

    explicit EipNode(LinkContext& context) : context_(context) {}

    // ---- PLC subtree -------------------------------------------------------------------------

    // Creates the root "Add PLC" action.
    void CreateRootNode(const NodePath& root) const;

    // Builds /alias with its configs, the four state value nodes, "EM Tags" (with the two tag
    // lists) and "IO Tags". Returns 0 once the creation is submitted, -1 when the link has no
    // responder to submit it to; the outcome of the creation itself is only logged.
    int CreatePLCNode(const NodePath& parent, const ConnectInfo& conn,
                      const ProductInfo& product) const;

    // Fills `out` as a stored folder node `name` under `parent` and returns it.
    static NodeBuilder& CreateCommonNode(NodeBuilder& out, const NodePath& parent,
                                         const std::string& name);

    void CreateExplicitTagsNode(const NodePath& parent) const;
    void CreateExplicitReadTagsNode(const NodePath& parent) const;
    void CreateExplicitWriteTagsNode(const NodePath& parent) const;
    void CreateIOTagsNode(const NodePath& parent) const;
    void RemovePLCNode(const NodePath& plcPath) const;

    // `alias` is always the unescaped PLC alias.
    void ChangeExplicitConnectionState(const std::string& alias, unsigned char state) const;
    void ChangeUCMMState(const std::string& alias, unsigned char state) const;
    void ChangeProductInfo(const std::string& alias, const ProductInfo& product) const;
    void ChangeExplicitPollingState(const std::string& alias, unsigned short interval) const;
    void ChangeIOPollingState(const std::string& alias, unsigned short interval,
                              unsigned short udpPort) const;

    void UpdateTagStatusToPath(const NodePath& tagPath, const std::string& status) const;
    void UpdateTagStatusToPath(const NodePath& listPath, const std::string& tagAlias,
                               const std::string& status) const;
    void UpdateTagStatus(const std::string& alias, const TagInfo& tag,
                         const std::string& status) const;
    // kind 1: explicit-message tag (both lists); kind 2: I/O tag; any other kind: nothing.
    void UpdateTagStatusByAlias(const std::string& alias, const std::string& tagAlias,
                                signed char kind, const std::string& status) const;

    // Texts shown on the "EM Coxn STATE" and "UCMM STATE" nodes for a state number.
    static const char* ExplicitConnectionStateText(unsigned char state);
    static const char* UCMMStateText(unsigned char state);

    // Paths of a PLC's nodes, built from the unescaped alias.
    static NodePath PLCPath(const std::string& alias);
    static NodePath ExplicitTagsPath(const std::string& alias);
    static NodePath ReadTagsListPath(const std::string& alias);
    static NodePath WriteTagsListPath(const std::string& alias);
    static NodePath IOTagsPath(const std::string& alias);

    // ---- tag and subtag item nodes -----------------------------------------------------------

    // Broker value type of a single value of `innerType` spanning `dataLen` bytes.
    static int TypeToValueType(unsigned char family, int innerType, int dataLen);

    void CreateTagItemNode(const std::string& alias, const TagInfo& tag,
                           std::vector<SubTagInfo>* subtags) const;
    void CreateTagItemNodeToPath(const NodePath& listPath, const TagInfo& tag, bool writeList,
                                 std::vector<SubTagInfo>* subtags) const;
    void CreateSubTagItemNode(const std::string& alias, const TagInfo& tag,
                              const SubTagInfo& sub) const;
    void CreateSubTagItemNodeToPath(const NodePath& tagPath, const TagInfo& tag,
                                    const SubTagInfo& sub) const;
    void RemoveTagItemNode(const std::string& alias, const TagInfo& tag,
                           std::vector<SubTagInfo>* subtags) const;
    void RemoveSubTagItemNode(const std::string& alias, const TagInfo& tag,
                              const SubTagInfo& sub) const;
    void RemoveTagItemNodeFromPath(const NodePath& path) const;

    // Value publishing. Each returns true when a value was handed to the broker, false when the
    // data could not be converted (a non-finite REAL) or the slice lies outside the data; the
    // failure is logged and never thrown, so the device's queue thread carries on.
    bool ChangeExplicitTagNodeValue(const std::string& alias, const TagInfo& tag,
                                    const uint8_t* data, uint16_t len) const;
    bool ChangeIOTagNodeValue(const std::string& alias, const TagInfo& tag, const uint8_t* data,
                              uint16_t len) const;
    bool ChangeIOSubTagNodeValue(const std::string& alias, TagInfo tag, const SubTagInfo& sub,
                                 const uint8_t* data, uint16_t len) const;
    bool ChangeTagNodeValue(const NodePath& path, const TagInfo& tag, const uint8_t* data,
                            uint16_t len) const;
    // The values of one reply under "Read Tags List", handed to the broker at once (one lock,
    // one hand-off). A value that cannot be converted is logged and left out.
    void ChangeExplicitTagNodeValues(const std::string& alias,
                                     const std::vector<EipTagValue>& values) const;

    // The broker value for `len` raw bytes of `tag`. Throws kestrel::strata_sdk::exception
    // (9013, "not a valid float") for a REAL that is NaN or infinite.
    static Variant ConvertTagValue(const TagInfo& tag, const uint8_t* data, uint16_t len);

    // ---- action catalogue --------------------------------------------------------------------

    // Shows the PLC's configuration actions only while polling / listening is stopped
    // (flag 1 = stopped) and records the settings on the folders.
    void ToggleActionNodes(const std::string& alias, signed char explicitPollingStopped,
                           unsigned short explicitInterval, signed char ioPollingStopped,
                           unsigned short ioInterval, unsigned short ioUdpPort) const;

    // Each creates one action node under `path`; an empty path creates nothing.
    void CreateAddPLCNode(const NodePath& path) const;
    void CreateRemovePLCNode(const NodePath& path) const;
    void CreateAddTagsNode(const NodePath& path) const;
    void CreateEditTagsNode(const NodePath& path) const;
    void CreateRemoveTagsNode(const NodePath& path) const;
    void CreateWriteTagsNode(const NodePath& path) const;
    void CreateResetTagsNode(const NodePath& path) const;
    void CreateExportTagsNode(const NodePath& path) const;
    void CreateBrowseTagsNode(const NodePath& path) const;
    void CreateExplicitStartPollingNode(const NodePath& path) const;
    void CreateExplicitStopPollingNode(const NodePath& path) const;
    void CreateIOStartPollingNode(const NodePath& path) const;
    void CreateIOStopPollingNode(const NodePath& path) const;
    void CreateExplicitWriteDataNode(const NodePath& path) const;
    void CreateIOAddSubNode(const NodePath& path) const;
    void CreateIOExportSubNode(const NodePath& path) const;
    void CreateIOImportSubNode(const NodePath& path) const;
    void CreateIOEditSubNode(const NodePath& path, const SubTagInfo& sub) const;
    void CreateIORemoveSubNode(const NodePath& path) const;

  private:
    LinkContext& context_;
};
