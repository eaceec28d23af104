// The action catalogue: one broker action node per user command, and the toggle that offers
// the configuration actions of a PLC's folders only while polling or listening is stopped.

#include <optional>
#include <utility>

#include "action/eip_action.h"
#include "common/eip_log.h"
#include "device/eip_device.h"
#include "link/link_context.h"
#include "node/eip_node.h"
#include "node/eip_node_internal.h"
#include "tag/eip_tag.h"

namespace sdk = kestrel::strata_sdk;
using sdk::ActionColumn;
using sdk::ActionParameter;
using sdk::NodePath;
using sdk::ValueType;
using sdk::Variant;
using namespace eip_node_detail;

namespace {

constexpr const char* kSubTagInnerTypes =
    "BOOL (1byte),SINT (1byte),INT (2bytes),DINT (4bytes),REAL (4bytes)";

// Every action of the link needs write permission; its handler runs on the context's actions.
sdk::Action NewAction(LinkContext& context, EipAction::Handler handler) {
    return sdk::Action(
        sdk::PermissionLevel::Write,
        [actions = EipAction(context), handler](
            const EipAction::ResultStream& stream, const NodePath& path, const Variant& params,
            const std::error_code& ec) { (actions.*handler)(stream, path, params, ec); });
}

void AddSuccessMessageColumns(sdk::Action& action) {
    action.add_column(ActionColumn("Success", ValueType::Bool))
        .add_column(ActionColumn("message", ValueType::String));
}

void AddTagRowColumns(sdk::Action& action) {
    action.add_column(ActionColumn("Tag alias", ValueType::String))
        .add_column(ActionColumn("Result", ValueType::String));
}

ActionParameter JsonTextParam(const char* name) {
    return ActionParameter(name, ValueType::String, sdk::editor::TextArea);
}

ActionParameter SubTagInnerTypeParam(const std::string& defaultType) {
    ActionParameter param("InnerType", ValueType::Enum, Variant(defaultType));
    param.set_choices(kSubTagInnerTypes);
    return param;
}

enum class KindText { Node, None };

// Creates the action node `name` under `path`. The root holds only "Add PLC", so a root path
// (the empty path) creates nothing for every other action.
void CreateActionNode(sdk::Link& link, const NodePath& path, const std::string& name,
                      const std::string& display, sdk::Action action,
                      KindText kind = KindText::Node, bool allowRoot = false) {
    if (path.is_root() && !allowRoot) {
        return;
    }
    auto responder = GetResponder(link, "CreateActionNode");
    if (!responder) {
        return;
    }
    sdk::NodeBuilder builder(path);
    if (kind == KindText::Node) {
        builder.make_node(name, "node");
    } else {
        builder.make_node(name);
    }
    builder.display_name(display).action(std::move(action));
    responder->create_node(builder, LogCreateFailure(path / name));
}

// "Add Tags", "Edit Tags", "Remove Tags" and "Write Tags": a JSON tag list in, one row per tag.
void CreateTagListAction(LinkContext& context, const NodePath& path, const char* name,
                         EipAction::Handler handler) {
    sdk::Action action = NewAction(context, handler);
    action.add_param(JsonTextParam("Tags(json)"));
    AddTagRowColumns(action);
    action.set_result_kind(sdk::ActionResultKind::Table);
    CreateActionNode(context.link, path, name, name, std::move(action));
}

// Stop Polling and Stop Listening: no parameters, they answer "Success" and "message". They jump
// the PLC's action queue, so that an action stalled on the PLC never holds them.
void CreateStopAction(LinkContext& context, const NodePath& path, const char* name,
                      EipAction::Handler handler) {
    sdk::Action action = NewAction(context, handler);
    AddSuccessMessageColumns(action);
    action.set_jumps_queue();
    CreateActionNode(context.link, path, name, name, std::move(action));
}

using CreateFn = void (EipNode::*)(const NodePath&) const;

struct FolderAction {
    const char* name;
    CreateFn create;
};

void EnsureAction(const EipNode& nodes, sdk::Responder& responder, const NodePath& folder,
                  const FolderAction& action) {
    if (!responder.node_exists(folder / action.name)) {
        (nodes.*action.create)(folder);
    }
}

void RemoveAction(sdk::Responder& responder, const NodePath& folder, const char* name) {
    const NodePath path = folder / name;
    if (responder.node_exists(path)) {
        responder.remove_node(path, LogRemoveFailure(path));
    }
}

// Stopped: the tag configuration actions and the start action. Running: only the stop action.
void ToggleFolder(const EipNode& nodes, sdk::Responder& responder, const NodePath& folder,
                  bool stopped, const FolderAction& start, const FolderAction& stop) {
    static const FolderAction kConfigActions[] = {
        {"Add Tags", &EipNode::CreateAddTagsNode},
        {"Edit Tags", &EipNode::CreateEditTagsNode},
        {"Remove Tags", &EipNode::CreateRemoveTagsNode},
        {"Reset Tags", &EipNode::CreateResetTagsNode},
    };
    if (stopped) {
        for (const FolderAction& action : kConfigActions) {
            EnsureAction(nodes, responder, folder, action);
        }
        EnsureAction(nodes, responder, folder, start);
        RemoveAction(responder, folder, stop.name);
        return;
    }
    for (const FolderAction& action : kConfigActions) {
        RemoveAction(responder, folder, action.name);
    }
    EnsureAction(nodes, responder, folder, stop);
    RemoveAction(responder, folder, start.name);
}

// The family of the registered PLC `alias`; none when unknown. The handle goes at once: the
// device's own threads call the toggle too, and they must never hold the last one.
std::optional<ProtocolFamily> FamilyOf(EipManager& registry, const std::string& alias) {
    const EipDeviceHandle device = registry.GetPLC(alias);
    if (device == nullptr) {
        return std::nullopt;
    }
    return device->GetConnectionInfo().family;
}

}  // namespace

void EipNode::ToggleActionNodes(const std::string& alias, signed char explicitPollingStopped,
                                unsigned short explicitInterval, signed char ioPollingStopped,
                                unsigned short ioInterval, unsigned short ioUdpPort) const {
    static const char* const kOperation = "ToggleActionNodes";
    const NodePath plcPath = PLCPath(alias);
    const NodePath explicitPath = ExplicitTagsPath(alias);
    const NodePath ioPath = IOTagsPath(alias);
    eiplog::Info(kOperation, "Toggle nodes to - " + plcPath.to_string() + " " +
                                 std::to_string(explicitPollingStopped) + "," +
                                 std::to_string(ioPollingStopped));
    const std::optional<ProtocolFamily> family = FamilyOf(context_.registry, alias);
    if (!family) {
        eiplog::Error(kOperation, "PLC alias is not exist.");
        return;
    }
    const bool logix = *family == kFamilyCip;
    ChangeExplicitPollingState(alias, explicitInterval);
    ChangeIOPollingState(alias, ioInterval, ioUdpPort);
    auto responder = GetResponder(context_.link, kOperation);
    if (!responder) {
        return;
    }
    EnsureAction(*this, *responder, plcPath, {"Remove", &EipNode::CreateRemovePLCNode});
    EnsureAction(*this, *responder, explicitPath, {"Write Tags", &EipNode::CreateWriteTagsNode});
    EnsureAction(*this, *responder, ioPath, {"Export Tags", &EipNode::CreateExportTagsNode});
    EnsureAction(*this, *responder, explicitPath, {"Export Tags", &EipNode::CreateExportTagsNode});
    if (logix) {
        EnsureAction(*this, *responder, explicitPath,
                     {"Browse Tags", &EipNode::CreateBrowseTagsNode});
    }
    ToggleFolder(*this, *responder, explicitPath, explicitPollingStopped == 1,
                 {"Start Polling", &EipNode::CreateExplicitStartPollingNode},
                 {"Stop Polling", &EipNode::CreateExplicitStopPollingNode});
    ToggleFolder(*this, *responder, ioPath, ioPollingStopped == 1,
                 {"Start Listening", &EipNode::CreateIOStartPollingNode},
                 {"Stop Listening", &EipNode::CreateIOStopPollingNode});
}

// ---- root and PLC node ------------------------------------------------------------------------

void EipNode::CreateAddPLCNode(const NodePath& path) const {
    sdk::Action action = NewAction(context_, &EipAction::AddPLCNodeAction);
    ActionParameter family("Protocol Family", ValueType::Enum, Variant("CIP/EIP"));
    family.set_choices("CIP/EIP,PCCC");
    // PCCC only: the controller kind sets its reply limit, its files and its address forms.
    ActionParameter plcType("PLC Type", ValueType::Enum, Variant(PlcTypeName(PlcType::kPlc5)));
    plcType.set_choices("PLC-5,SLC 500,MicroLogix");
    action.add_param(ActionParameter("Alias", ValueType::String))
        .add_param(ActionParameter("Host", ValueType::String))
        .add_param(
            ActionParameter("Port", ValueType::Number, Variant(static_cast<int>(kDefaultTcpPort))))
        .add_param(ActionParameter("Slot", ValueType::Number, Variant(0)))
        .add_param(std::move(family))
        .add_param(std::move(plcType))
        .add_param(ActionParameter("Requests In Flight", ValueType::Number,
                                   Variant(static_cast<int>(kDefaultRequestsInFlight))));
    AddSuccessMessageColumns(action);
    CreateActionNode(context_.link, path, "addplc", "Add PLC", std::move(action), KindText::Node,
                     true);
}

void EipNode::CreateRemovePLCNode(const NodePath& path) const {
    // Jumps the PLC's action queue as the stop actions do.
    CreateActionNode(context_.link, path, "Remove", "Remove",
                     NewAction(context_, &EipAction::RemovePLCNodeAction).set_jumps_queue());
}

// ---- "EM Tags" and "IO Tags" folders ----------------------------------------------------------

void EipNode::CreateAddTagsNode(const NodePath& path) const {
    CreateTagListAction(context_, path, "Add Tags", &EipAction::AddTagsNodeAction);
}

void EipNode::CreateEditTagsNode(const NodePath& path) const {
    CreateTagListAction(context_, path, "Edit Tags", &EipAction::EditTagsNodeAction);
}

void EipNode::CreateRemoveTagsNode(const NodePath& path) const {
    CreateTagListAction(context_, path, "Remove Tags", &EipAction::RemoveTagsNodeAction);
}

void EipNode::CreateWriteTagsNode(const NodePath& path) const {
    CreateTagListAction(context_, path, "Write Tags", &EipAction::WriteTagsNodeAction);
}

void EipNode::CreateResetTagsNode(const NodePath& path) const {
    CreateActionNode(context_.link, path, "Reset Tags", "Reset Tags",
                     NewAction(context_, &EipAction::ResetTagsNodeAction));
}

void EipNode::CreateExportTagsNode(const NodePath& path) const {
    sdk::Action action = NewAction(context_, &EipAction::ExportTagsNodeAction);
    action.add_column(ActionColumn("Success", ValueType::Bool))
        .add_column(ActionColumn("json", ValueType::String, sdk::editor::TextArea));
    CreateActionNode(context_.link, path, "Export Tags", "Export Tags", std::move(action));
}

// "Browse Tags": an optional filter in, one row per tag or structure member.
void EipNode::CreateBrowseTagsNode(const NodePath& path) const {
    sdk::Action action = NewAction(context_, &EipAction::BrowseTagsNodeAction);
    action.add_param(ActionParameter("Filter", ValueType::String, Variant(std::string())));
    action.add_column(ActionColumn("Name", ValueType::String))
        .add_column(ActionColumn("Type", ValueType::String))
        .add_column(ActionColumn("Dimensions", ValueType::String))
        .add_column(ActionColumn("Scope", ValueType::String))
        .add_column(ActionColumn("Readable", ValueType::Bool));
    action.set_result_kind(sdk::ActionResultKind::Table);
    CreateActionNode(context_.link, path, "Browse Tags", "Browse Tags", std::move(action));
}

void EipNode::CreateExplicitStartPollingNode(const NodePath& path) const {
    sdk::Action action = NewAction(context_, &EipAction::ExplicitStartPollingNodeAction);
    action.add_param(ActionParameter("Interval(ms)", ValueType::Number, Variant(1000)));
    AddSuccessMessageColumns(action);
    CreateActionNode(context_.link, path, "Start Polling", "Start Polling", std::move(action));
}

void EipNode::CreateExplicitStopPollingNode(const NodePath& path) const {
    CreateStopAction(context_, path, "Stop Polling", &EipAction::ExplicitStopPollingNodeAction);
}

void EipNode::CreateIOStartPollingNode(const NodePath& path) const {
    sdk::Action action = NewAction(context_, &EipAction::IOStartPollingNodeAction);
    action.add_param(ActionParameter("Interval(ms)", ValueType::Number, Variant(1000)))
        .add_param(ActionParameter("UDP Port", ValueType::Number, Variant(2222)));
    AddTagRowColumns(action);
    action.set_result_kind(sdk::ActionResultKind::Table);
    CreateActionNode(context_.link, path, "Start Listening", "Start Listening", std::move(action));
}

void EipNode::CreateIOStopPollingNode(const NodePath& path) const {
    CreateStopAction(context_, path, "Stop Listening", &EipAction::IOStopPollingNodeAction);
}

// ---- tag and subtag nodes ---------------------------------------------------------------------

void EipNode::CreateExplicitWriteDataNode(const NodePath& path) const {
    sdk::Action action = NewAction(context_, &EipAction::ExplicitWriteDataNodeAction);
    action.add_param(ActionParameter("Value", ValueType::String));
    AddSuccessMessageColumns(action);
    CreateActionNode(context_.link, path, "Write Data", "Write Data", std::move(action),
                     KindText::None);
}

void EipNode::CreateIOAddSubNode(const NodePath& path) const {
    sdk::Action action = NewAction(context_, &EipAction::IOAddSubNodeAction);
    action.add_param(ActionParameter("Alias", ValueType::String))
        .add_param(ActionParameter("Offset", ValueType::Number))
        .add_param(SubTagInnerTypeParam(EipTag::InnerTypeToStrWithLength(kInnerTypeInt)))
        .add_param(ActionParameter("DataLen", ValueType::Number));
    AddSuccessMessageColumns(action);
    CreateActionNode(context_.link, path, "Add Subtag", "Add Subtag", std::move(action),
                     KindText::None);
}

void EipNode::CreateIOExportSubNode(const NodePath& path) const {
    sdk::Action action = NewAction(context_, &EipAction::IOExportSubNodeAction);
    action.add_column(ActionColumn("Success", ValueType::Bool))
        .add_column(ActionColumn("json", ValueType::String, sdk::editor::TextArea));
    CreateActionNode(context_.link, path, "Export Subtags", "Export Subtags", std::move(action));
}

void EipNode::CreateIOImportSubNode(const NodePath& path) const {
    sdk::Action action = NewAction(context_, &EipAction::IOImportSubNodeAction);
    action.add_param(JsonTextParam("json"));
    action.add_column(ActionColumn("Success", ValueType::Bool))
        .add_column(ActionColumn("Result", ValueType::String));
    CreateActionNode(context_.link, path, "Import Subtags", "Import Subtags", std::move(action));
}

void EipNode::CreateIOEditSubNode(const NodePath& path, const SubTagInfo& sub) const {
    sdk::Action action = NewAction(context_, &EipAction::IOEditSubNodeAction);
    action.add_param(ActionParameter("Alias", ValueType::String, Variant(sub.alias)))
        .add_param(ActionParameter("Offset", ValueType::Number, Variant(sub.offset)))
        .add_param(SubTagInnerTypeParam(EipTag::InnerTypeToStrWithLength(sub.innerType)))
        .add_param(ActionParameter("DataLen", ValueType::Number, Variant(sub.dataLen)));
    AddSuccessMessageColumns(action);
    CreateActionNode(context_.link, path, "Edit Subtag", "Edit Subtag", std::move(action),
                     KindText::None);
}

void EipNode::CreateIORemoveSubNode(const NodePath& path) const {
    CreateActionNode(context_.link, path, "Remove Subtag", "Remove Subtag",
                     NewAction(context_, &EipAction::IORemoveSubNodeAction), KindText::None);
}
