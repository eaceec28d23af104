#pragma once

// The broker node tree of the link: the PLC subtrees, tag and subtag nodes, the value publishing
// and the action catalogue. A module of static operations over the responder of g_link.
//
// Threads: every operation is called from SDK threads (actions, restore, completions) and from
// the device worker threads at the same time. EipNode keeps no state and takes no lock; each
// call fetches the responder afresh and hands copies of what it needs to its completions.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/eip_tag_value.h"
#include "common/eip_utils.h"
#include "strata_sdk/sdk.h"

class EipNode {
  public:
    using NodePath = kestrel::strata_sdk::NodePath;
    using NodeBuilder = kestrel::strata_sdk::NodeBuilder;
    using Variant = kestrel::strata_sdk::Variant;

    // ---- PLC subtree -------------------------------------------------------------------------

    // Creates the root "Add PLC" action.
    static void CreateRootNode(const NodePath& root);

    // Builds /alias with its configs, the four state value nodes, "EM Tags" (with the two tag
    // lists) and "IO Tags". Returns 0 once the creation is submitted, -1 when there is no link or
    // responder to submit it to; the outcome of the creation itself is only logged.
    static int CreatePLCNode(const NodePath& parent, const ConnectInfo& conn,
                             const ProductInfo& product);

    // Fills `out` as a stored folder node `name` under `parent` and returns it.
    static NodeBuilder& CreateCommonNode(NodeBuilder& out, const NodePath& parent,
                                         const std::string& name);

    static void CreateExplicitTagsNode(const NodePath& parent);
    static void CreateExplicitReadTagsNode(const NodePath& parent);
    static void CreateExplicitWriteTagsNode(const NodePath& parent);
    static void CreateIOTagsNode(const NodePath& parent);
    static void RemovePLCNode(const NodePath& plcPath);

    // `alias` is always the unescaped PLC alias.
    static void ChangeExplicitConnectionState(const std::string& alias, unsigned char state);
    static void ChangeUCMMState(const std::string& alias, unsigned char state);
    static void ChangeProductInfo(const std::string& alias, const ProductInfo& product);
    static void ChangeExplicitPollingState(const std::string& alias, unsigned short interval);
    static void ChangeIOPollingState(const std::string& alias, unsigned short interval,
                                     unsigned short udpPort);

    static void UpdateTagStatusToPath(const NodePath& tagPath, const std::string& status);
    static void UpdateTagStatusToPath(const NodePath& listPath, const std::string& tagAlias,
                                      const std::string& status);
    static void UpdateTagStatus(const std::string& alias, const TagInfo& tag,
                                const std::string& status);
    // kind 1: explicit-message tag (both lists); kind 2: I/O tag; any other kind: nothing.
    static void UpdateTagStatusByAlias(const std::string& alias, const std::string& tagAlias,
                                       signed char kind, const std::string& status);

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

    static void CreateTagItemNode(const std::string& alias, const TagInfo& tag,
                                  std::vector<SubTagInfo>* subtags);
    static void CreateTagItemNodeToPath(const NodePath& listPath, const TagInfo& tag,
                                        bool writeList, std::vector<SubTagInfo>* subtags);
    static void CreateSubTagItemNode(const std::string& alias, const TagInfo& tag,
                                     const SubTagInfo& sub);
    static void CreateSubTagItemNodeToPath(const NodePath& tagPath, const TagInfo& tag,
                                           const SubTagInfo& sub);
    static void RemoveTagItemNode(const std::string& alias, const TagInfo& tag,
                                  std::vector<SubTagInfo>* subtags);
    static void RemoveSubTagItemNode(const std::string& alias, const TagInfo& tag,
                                     const SubTagInfo& sub);
    static void RemoveTagItemNodeFromPath(const NodePath& path);

    // Value publishing. Each returns true when a value was handed to the broker, false when the
    // data could not be converted (a non-finite REAL) or the slice lies outside the data; the
    // failure is logged and never thrown, so the device's queue thread carries on.
    static bool ChangeExplicitTagNodeValue(const std::string& alias, const TagInfo& tag,
                                           const uint8_t* data, uint16_t len);
    static bool ChangeIOTagNodeValue(const std::string& alias, const TagInfo& tag,
                                     const uint8_t* data, uint16_t len);
    static bool ChangeIOSubTagNodeValue(const std::string& alias, TagInfo tag,
                                        const SubTagInfo& sub, const uint8_t* data, uint16_t len);
    static bool ChangeTagNodeValue(const NodePath& path, const TagInfo& tag, const uint8_t* data,
                                   uint16_t len);
    // The values of one reply under "Read Tags List", handed to the broker at once (one lock,
    // one hand-off). A value that cannot be converted is logged and left out.
    static void ChangeExplicitTagNodeValues(const std::string& alias,
                                            const std::vector<EipTagValue>& values);

    // The broker value for `len` raw bytes of `tag`. Throws kestrel::strata_sdk::exception
    // (9013, "not a valid float") for a REAL that is NaN or infinite.
    static Variant ConvertTagValue(const TagInfo& tag, const uint8_t* data, uint16_t len);

    // ---- action catalogue --------------------------------------------------------------------

    // Shows the PLC's configuration actions only while polling / listening is stopped
    // (flag 1 = stopped) and records the settings on the folders.
    static void ToggleActionNodes(const std::string& alias, signed char explicitPollingStopped,
                                  unsigned short explicitInterval, signed char ioPollingStopped,
                                  unsigned short ioInterval, unsigned short ioUdpPort);

    // Each creates one action node under `path`; an empty path creates nothing.
    static void CreateAddPLCNode(const NodePath& path);
    static void CreateRemovePLCNode(const NodePath& path);
    static void CreateAddTagsNode(const NodePath& path);
    static void CreateEditTagsNode(const NodePath& path);
    static void CreateRemoveTagsNode(const NodePath& path);
    static void CreateWriteTagsNode(const NodePath& path);
    static void CreateResetTagsNode(const NodePath& path);
    static void CreateExportTagsNode(const NodePath& path);
    static void CreateBrowseTagsNode(const NodePath& path);
    static void CreateExplicitStartPollingNode(const NodePath& path);
    static void CreateExplicitStopPollingNode(const NodePath& path);
    static void CreateIOStartPollingNode(const NodePath& path);
    static void CreateIOStopPollingNode(const NodePath& path);
    static void CreateExplicitWriteDataNode(const NodePath& path);
    static void CreateIOAddSubNode(const NodePath& path);
    static void CreateIOExportSubNode(const NodePath& path);
    static void CreateIOImportSubNode(const NodePath& path);
    static void CreateIOEditSubNode(const NodePath& path, const SubTagInfo& sub);
    static void CreateIORemoveSubNode(const NodePath& path);
};
