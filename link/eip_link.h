#pragma once

// The link's answers to the broker session: lifecycle callbacks (initialised, connected,
// disconnected), the node-creation notifications, and the restore of the stored configuration.
//
// The broker stores every PLC, folder, tag and subtag node with its "$" settings. At start-up it
// re-creates them and announces each one (context Restored); those announcements are collected in
// `nodes`. When the link is connected, each announced PLC subtree is walked in key order, every
// stored node is read back and replayed into the device registry.

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "common/eip_utils.h"
#include "strata_sdk/sdk.h"

class EipDevice;
struct LinkContext;

// Threads: every member function runs on SDK threads (the dispatch thread for lifecycle
// callbacks, notifications and completions). nodesMutex_ guards `nodes`, the only state shared
// between calls; it is never held while calling into the SDK or a device. The context (the
// broker link and the PLC registry) is only read. One PLC's restore steps run strictly one after
// the other (each step starts the next from its completion), and the RestoreWalk of a PLC is
// touched only by its own chain.
class EipLink {
  public:
    using NodePath = kestrel::strata_sdk::NodePath;
    using NodeInfo = kestrel::strata_sdk::NodeInfo;

    struct Node {
        std::map<std::string, Node> children;  // keyed by escaped name; key order = restore order
    };

    // State of the restore of one PLC subtree: the nodes still to read (front = being read) and
    // the PLC node settings, rebuilt in the tree once the whole subtree has been read.
    struct RestoreWalk {
        std::deque<NodePath> queue;
        bool plcRegistered = false;
        NodePath plcPath;
        ConnectInfo plcSettings;
    };
    using RestoreQueue = std::shared_ptr<RestoreWalk>;

    // Subscribes to the node creations of the context's broker link until destroyed.
    explicit EipLink(LinkContext& context);
    ~EipLink();
    EipLink(const EipLink&) = delete;
    EipLink& operator=(const EipLink&) = delete;

    void initialize(const std::string& linkName, const std::error_code& ec);
    void connected(const std::error_code& ec);
    void disconnected(const std::error_code& ec);
    void nodes_child_created(const NodeInfo& info, kestrel::strata_sdk::NodeCreationContext context,
                             const std::error_code& ec);

    // Replays every subtree announced as restored since the last call, then forgets them.
    void DeserializeNodes();
    // Appends path/child for every child of node in key order, then walks each child in turn.
    static void WalkNodeList(const NodePath& path, const Node& node, const RestoreQueue& queue);
    void DeserializeNextNode(NodePath path, RestoreQueue queue);

    void DeserializePLC(const NodeInfo& info, const std::error_code& ec, RestoreQueue queue);
    void DeserializeExplicitTags(const NodeInfo& info, const std::error_code& ec,
                                 RestoreQueue queue);
    void DeserializeIOTags(const NodeInfo& info, const std::error_code& ec, RestoreQueue queue);
    void DeserializeTag(const NodeInfo& info, const std::error_code& ec, RestoreQueue queue);
    void DeserializeSubtag(const NodeInfo& info, const std::error_code& ec, RestoreQueue queue);

    // The tag persistence record handed to EipDevice::AddPersistenceTagStr, from a stored tag
    // node's name and "$" settings.
    static std::string MakePersistenceTagRecord(const NodeInfo& info);

    // Copy of the announced, not yet replayed tree (for inspection).
    std::map<std::string, Node> PendingNodes();

  private:
    using Reader = void (EipLink::*)(const NodeInfo&, const std::error_code&, RestoreQueue);

    void ReadNode(const NodePath& path, Reader reader, RestoreQueue queue);
    void FinishWalk(const NodePath& path, const RestoreQueue& queue);
    void ReadyCreatedPLC(const NodeInfo& info);
    // The registered device of `alias`; null when unknown.
    std::shared_ptr<EipDevice> FindDevice(const std::string& alias) const;

    LinkContext& context_;
    std::shared_ptr<kestrel::strata_sdk::Responder> responder;
    std::mutex nodesMutex_;
    std::map<std::string, Node> nodes;
    kestrel::strata_sdk::SubscriptionId subscription_ = 0;
};
