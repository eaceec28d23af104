#include "link/eip_link.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>

#include "action/eip_action.h"
#include "common/eip_log.h"
#include "device/eip_device.h"
#include "link/link_context.h"
#include "node/eip_node.h"
#include "tag/eip_tag.h"

namespace sdk = kestrel::strata_sdk;

namespace {

constexpr const char* kLinkVersion = "2.0.19";
constexpr const char* kMarkerKey = "$$$isit";
constexpr const char* kProtocolFamilyCip = "CIP/EIP";
constexpr const char* kPlcNotFoundStatus = "PLC not found";

void Info(const char* operation, const std::string& message) {
    eiplog::Info(operation, message);
}

void LogLinkError(const std::error_code& ec, const std::string& text) {
    eiplog::LinkError(sdk::LogLevel::error, ec, text);
}

// A stored text setting, trimmed of spaces; false when absent or not a string.
bool ConfigText(const EipLink::NodeInfo& info, const std::string& key, std::string& out) {
    const auto it = info.configs.find(key);
    if (it == info.configs.end() || !it->second.is_string()) {
        return false;
    }
    out = it->second.as_string();
    TrimSpaces(out);
    return true;
}

// A stored number setting (signed, unsigned or double); `fallback` when absent or not a number.
double ConfigNumber(const EipLink::NodeInfo& info, const std::string& key, double fallback) {
    const auto it = info.configs.find(key);
    if (it == info.configs.end() || !it->second.is_number()) {
        return fallback;
    }
    return it->second.as_double();
}

// A stored number as an integer of type T; `fallback` when absent, not a number, or not finite.
template <typename T>
T ConfigInteger(const EipLink::NodeInfo& info, const std::string& key, T fallback) {
    const double number = ConfigNumber(info, key, fallback);
    if (!(number > -9.2e18 && number < 9.2e18)) {
        return fallback;
    }
    return static_cast<T>(static_cast<int64_t>(number));
}

// A JSON string literal. Values are escaped so that a quote or a backslash in a description
// cannot break the stored record.
std::string JsonText(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Unescaped(const std::string& name) {
    return sdk::string_unescape(name);
}

}  // namespace

EipLink::EipLink(LinkContext& context) : context_(context), responder(context.link.responder()) {
    Info("EipLink", "EipLink constructor");
    subscription_ = responder->subscribe_node_created(
        "^/.+", [this](const NodeInfo& info, sdk::NodeCreationContext context,
                       const std::error_code& ec) { nodes_child_created(info, context, ec); });
}

EipLink::~EipLink() {
    responder->unsubscribe_node_created(subscription_);
}

void EipLink::initialize(const std::string& linkName, const std::error_code& ec) {
    Info("initialize", std::string("EIP link version : ") + kLinkVersion);
    if (ec) {
        Info("initialize", "EipLink - EIP link not successfully initialized - " + ec.message());
        return;
    }
    Info("initialize", "EipLink - EIP link initialized - " + linkName);
    EipNode(context_).CreateRootNode(NodePath("/"));
}

void EipLink::connected(const std::error_code&) {
    Info("connected", "EipLink - EIP link connected!");
    DeserializeNodes();
}

void EipLink::disconnected(const std::error_code& ec) {
    // The devices keep polling while the broker session is down; the SDK reconnects.
    Info("disconnected", "EipLink - EIP link disconnected! - " + ec.message());
}

void EipLink::nodes_child_created(const NodeInfo& info, sdk::NodeCreationContext context,
                                  const std::error_code& ec) {
    const std::string path = info.path.to_string();
    if (ec) {
        LogLinkError(ec, "node creation of path '" + path + "' failed");
        return;
    }
    if (sdk::will_debug_log(1)) {
        sdk::log_debug_message(": EipLink - Node created " + path + " , name = " + info.name);
    }
    if (context != sdk::NodeCreationContext::Restored) {
        ReadyCreatedPLC(info);
        return;
    }
    if (info.path.get_parent_path().is_root()) {
        // Reserve the alias so that an Add PLC during the restore cannot take it.
        context_.registry.AddPLCTemp(Unescaped(info.name));
    }
    std::lock_guard<std::mutex> lock(nodesMutex_);
    std::map<std::string, Node>* level = &nodes;
    for (const std::string& component : info.path) {
        level = &(*level)[component].children;
    }
}

// A PLC subtree built by this process is complete once its "IO Tags" folder exists: publish the
// device's states there and let the device create the PLC's action nodes. The announcement
// carries the node's settings, so the marker is read from it without another round trip.
void EipLink::ReadyCreatedPLC(const NodeInfo& info) {
    const auto marker = info.configs.find(kMarkerKey);
    if (marker == info.configs.end() || marker->second.is_null()) {
        return;
    }
    if (!marker->second.is_string()) {
        LogLinkError(sdk::make_error_code(sdk::strata_errc::bad_value),
                     "marker of '" + info.path.to_string() + "': not a string");
        return;
    }
    if (marker->second.as_string() != "iotags") {
        return;
    }
    const std::string alias = Unescaped(info.path.get_parent_path().get_name());
    EipDeviceHandle device = FindDevice(alias);
    if (device == nullptr) {
        return;
    }
    if (device->IsConnected()) {
        device->ChangeExplicitConnectionState(kExplicitReady, true);
        device->ChangeUCMMState(kUcmmReady, true);
    } else {
        // A restored PLC that is not reachable yet: show its real states, not READY.
        device->ChangeExplicitConnectionState(device->GetExplicitConnectionState(), true);
        device->ChangeUCMMState(device->GetUCMMState(), true);
    }
    // Keeps the interval restored from the store (0 for a new PLC): the folder settings written
    // by the action toggle are what the next restore reads back.
    device->SetExplicitPollingState(device->GetExplicitPollingInterval(), true);
    Info("nodes_child_created", alias + ": PLC node ready");
}

void EipLink::DeserializeNodes() {
    std::map<std::string, Node> announced;
    {
        std::lock_guard<std::mutex> lock(nodesMutex_);
        announced.swap(nodes);
    }
    for (const auto& [key, node] : announced) {
        Info("deserializeNodes", "Deserializing: " + key);
        const NodePath plcPath = NodePath("/") / key;
        auto queue = std::make_shared<RestoreWalk>();
        queue->queue.push_back(plcPath);
        WalkNodeList(plcPath, node, queue);
        DeserializeNextNode(plcPath, queue);
    }
}

void EipLink::WalkNodeList(const NodePath& path, const Node& node, const RestoreQueue& queue) {
    for (const auto& child : node.children) {
        queue->queue.push_back(path / child.first);
    }
    for (const auto& [name, child] : node.children) {
        WalkNodeList(path / name, child, queue);
    }
}

void EipLink::DeserializeNextNode(NodePath path, RestoreQueue queue) {
    if (queue->queue.empty()) {
        FinishWalk(path, queue);
        return;
    }
    const NodePath front = queue->queue.front();
    responder->get_config(
        front, kMarkerKey,
        [this, front, queue](const sdk::Variant& value, const std::error_code& ec) {
            Reader reader = nullptr;
            if (ec) {
                eiplog::Error("deserializeNextNode", front.to_string() + ": " +
                                                         ec.category().name() + ":" +
                                                         std::to_string(ec.value()));
            } else if (value.is_string()) {
                const std::string& marker = value.as_string();
                if (marker == "plc") {
                    reader = &EipLink::DeserializePLC;
                } else if (marker == "tag") {
                    reader = &EipLink::DeserializeTag;
                } else if (marker == "subtag") {
                    reader = &EipLink::DeserializeSubtag;
                } else if (marker == "emtags") {
                    reader = &EipLink::DeserializeExplicitTags;
                } else if (marker == "iotags") {
                    reader = &EipLink::DeserializeIOTags;
                }
            } else if (!value.is_null()) {
                // A damaged marker skips this node only; the rest of the PLC is still restored.
                LogLinkError(sdk::make_error_code(sdk::strata_errc::bad_value),
                             "marker of '" + front.to_string() + "': not a string");
            }
            if (reader != nullptr) {
                ReadNode(front, reader, queue);
                return;
            }
            queue->queue.pop_front();
            DeserializeNextNode(front, queue);
        });
}

void EipLink::ReadNode(const NodePath& path, Reader reader, RestoreQueue queue) {
    responder->get_node(path,
                        [this, reader, queue](const NodeInfo& info, const std::error_code& ec) {
                            (this->*reader)(info, ec, queue);
                        });
}

// The PLC node's value and state children are not stored; they are rebuilt only after every
// stored node of the PLC has been read, because rebuilding resets the folder settings that the
// walk reads back.
void EipLink::FinishWalk(const NodePath& path, const RestoreQueue& queue) {
    if (queue->plcRegistered) {
        if (EipDeviceHandle device = FindDevice(queue->plcSettings.alias)) {
            EipNode(context_).CreatePLCNode(queue->plcPath.get_parent_path(), queue->plcSettings,
                                            device->GetProductInfo());
        }
    }
    // The walk only read the stored tree: connecting and replaying the tags is the PLC's own
    // engine's work, so the dispatch thread never waits for a PLC.
    const std::string alias = Unescaped(path.get_base());
    if (EipDeviceHandle device = FindDevice(alias)) {
        device->CreatePersistenceTag();
        device->StartRestore();
    }
}

namespace {

// Pops the node a reader handles; every reader starts with it.
EipLink::NodePath PopFront(const EipLink::RestoreQueue& queue) {
    EipLink::NodePath front = queue->queue.front();
    queue->queue.pop_front();
    return front;
}

void LogReadError(const char* reader, const std::error_code& ec) {
    eiplog::Error(reader, std::string(ec.category().name()) + ":" + std::to_string(ec.value()));
}

}  // namespace

void EipLink::DeserializePLC(const NodeInfo& info, const std::error_code& ec, RestoreQueue queue) {
    const NodePath path = PopFront(queue);
    if (ec) {
        LogReadError("deserializePLC", ec);
        DeserializeNextNode(path, queue);
        return;
    }
    ConnectInfo settings;
    settings.alias = Unescaped(info.name);
    ConfigText(info, "$host", settings.host);
    settings.port = ConfigInteger<uint16_t>(info, "$port", kDefaultTcpPort);
    settings.slot = ConfigInteger<int32_t>(info, "$slot", 0);
    std::string family;
    ConfigText(info, "$protocol family", family);
    settings.family = family == kProtocolFamilyCip ? kFamilyCip : kFamilyPccc;
    // A PLC stored before the PLC Type existed is a PLC-5 with four requests in flight.
    std::string plcType;
    if (ConfigText(info, "$plc type", plcType) && !ParsePlcType(plcType, settings.plcType)) {
        Info("deserializePLC", "unknown PLC type '" + plcType + "', taken as PLC-5");
    }
    settings.requestsInFlight = static_cast<uint8_t>(
        std::clamp<int>(ConfigInteger<int>(info, "$requests in flight", kDefaultRequestsInFlight),
                        1, kMaxRequestsInFlight));
    Info("deserializePLC", "plc Info= " + settings.alias + " " + settings.host + " " +
                               std::to_string(settings.port) + " " + std::to_string(settings.slot) +
                               " " + (settings.family == kFamilyCip ? "CIP/EIP" : "PCCC"));

    if (context_.registry.AddPLC(settings, true) == 0) {
        if (EipDeviceHandle device = FindDevice(settings.alias)) {
            device->SetCallbacks(EipAction(context_).MakeDeviceCallbacks());
            queue->plcRegistered = true;
            queue->plcPath = path;
            queue->plcSettings = settings;
        }
    }
    DeserializeNextNode(path, queue);
}

void EipLink::DeserializeExplicitTags(const NodeInfo& info, const std::error_code& ec,
                                      RestoreQueue queue) {
    const NodePath path = PopFront(queue);
    if (ec) {
        LogReadError("deserializeEMTags", ec);
    } else {
        const std::string alias = Unescaped(path.get_parent_path().get_name());
        const auto interval = ConfigInteger<uint16_t>(info, "$Polling Interval", 0);
        if (EipDeviceHandle device = FindDevice(alias)) {
            device->SetExplicitPollingState(interval, false);
        } else {
            Info("deserializeEMTags", "device is not exist - " + alias);
        }
    }
    DeserializeNextNode(path, queue);
}

void EipLink::DeserializeIOTags(const NodeInfo& info, const std::error_code& ec,
                                RestoreQueue queue) {
    const NodePath path = PopFront(queue);
    if (ec) {
        LogReadError("deserializeIOTags", ec);
    } else {
        const std::string alias = Unescaped(path.get_parent_path().get_name());
        const auto interval = ConfigInteger<uint16_t>(info, "$Listening Interval", 0);
        const auto port = ConfigInteger<uint16_t>(info, "$Listening UDP Port", 0);
        if (EipDeviceHandle device = FindDevice(alias)) {
            device->SetIOPollingState(interval, port, false);
        } else {
            Info("deserializeIOTags", "device is not exist - " + alias);
        }
    }
    DeserializeNextNode(path, queue);
}

std::string EipLink::MakePersistenceTagRecord(const NodeInfo& info) {
    std::string tagName, rwFlag, outputType, description, plc5Address;
    ConfigText(info, "$Tag Name", tagName);
    ConfigText(info, "$RW Flag", rwFlag);
    ConfigText(info, "$OutputType", outputType);
    ConfigText(info, "$Description", description);
    const bool hasPlc5Address = ConfigText(info, "$PLC5Address", plc5Address);
    const auto dataLen = ConfigInteger<int16_t>(info, "$DataLen", 0);

    std::string record =
        "{\"Tag Alias\":" + JsonText(Unescaped(info.name)) + ",\"Tag Name\":" + JsonText(tagName) +
        ",\"RW Flag\":" + JsonText(rwFlag) + ",\"OutputType\":" + JsonText(outputType) +
        ",\"Description\":" + JsonText(description) + ",\"DataLen\":" + std::to_string(dataLen);
    if (hasPlc5Address) {
        record += ",\"PLC5Address\":" + JsonText(plc5Address);
    }
    return record + "}";
}

void EipLink::DeserializeTag(const NodeInfo& info, const std::error_code& ec, RestoreQueue queue) {
    const NodePath path = PopFront(queue);
    if (ec) {
        LogReadError("deserializeTag", ec);
        DeserializeNextNode(path, queue);
        return;
    }
    const std::string alias = Unescaped(path.get_base());
    std::string status;
    if (EipDeviceHandle device = FindDevice(alias)) {
        device->AddPersistenceTagStr(path, MakePersistenceTagRecord(info));
    } else {
        Info("deserializeTag", "device is not exist - " + alias);
        status = kPlcNotFoundStatus;
    }
    EipNode(context_).UpdateTagStatusToPath(path, status);
    DeserializeNextNode(path, queue);
}

void EipLink::DeserializeSubtag(const NodeInfo& info, const std::error_code& ec,
                                RestoreQueue queue) {
    const NodePath path = PopFront(queue);
    if (ec) {
        LogReadError("deserializeSubtag", ec);
        DeserializeNextNode(path, queue);
        return;
    }
    const std::string alias = Unescaped(path.get_base());
    SubTagInfo subtag;
    subtag.alias = Unescaped(info.name);
    std::string innerType;
    ConfigText(info, "InnerType", innerType);
    subtag.innerType = EipTag::StrToInnerType(innerType);
    subtag.dataLen = ConfigInteger<int32_t>(info, "$DataLen", 0);
    subtag.offset = ConfigInteger<int32_t>(info, "$Offset", 0);
    if (EipDeviceHandle device = FindDevice(alias)) {
        device->AddPersistenceSubTagStr(path, subtag);
    } else {
        Info("deserializeSubtag", "device is not exist - " + alias);
    }
    DeserializeNextNode(path, queue);
}

std::map<std::string, EipLink::Node> EipLink::PendingNodes() {
    std::lock_guard<std::mutex> lock(nodesMutex_);
    return nodes;
}

EipDeviceHandle EipLink::FindDevice(const std::string& alias) const {
    return context_.registry.GetPLC(alias);
}
