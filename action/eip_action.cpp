#include "action/eip_action.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "action/link_errors.h"
#include "common/eip_log.h"
#include "device/eip_device.h"
#include "device/eip_manager.h"
#include "eip/eip_connection.h"
#include "family/logix_browse.h"
#include "link/link_context.h"
#include "node/eip_node.h"
#include "tag/eip_tag.h"

namespace sdk = kestrel::strata_sdk;

namespace {

constexpr const char* kSuccess = "success!";
constexpr const char* kFail = "fail!";
constexpr const char* kUnknownAlias = "Unknown";
constexpr const char* kExplicitTagsFolder = "EM Tags";
constexpr int8_t kExplicitTagKind = 1;
constexpr int8_t kIOTagKind = 2;
constexpr uint8_t kRWFlagIO = 4;

constexpr uint16_t kDefaultPort = 44818;
constexpr int kDefaultSlot = 0;
constexpr int kDefaultInterval = 1000;
constexpr int kMinInterval = 10;
constexpr int kMaxInterval = 10000;
constexpr int kDefaultUdpPort = 2222;
constexpr int kMinUdpPort = 1;
constexpr int kMaxUdpPort = 65535;

std::string message(int code) {
    return link_error::Message(code);
}

// The unescaped name of the path component `up` levels above `path` (0: its own name).
std::string AliasAbove(const sdk::NodePath& path, int up) {
    sdk::NodePath p = path;
    for (int i = 0; i < up; ++i) {
        p = p.get_parent_path();
    }
    return sdk::string_unescape(p.get_name());
}

int8_t KindOfFolder(const sdk::NodePath& folder) {
    return AliasAbove(folder, 0) == kExplicitTagsFolder ? kExplicitTagKind : kIOTagKind;
}

// Sends the values row that ends the invocation.
void answer(const EipAction::ResultStream& stream, const MyActionValuesResult& result) {
    stream->send(result);
}
void AnswerError(const EipAction::ResultStream& stream, const std::string& text) {
    answer(stream, MyActionValuesResult(sdk::ActionResult::Error, text));
}
// A success that the invocation's own error code turns into an error with `gathered`.
void AnswerSuccess(const EipAction::ResultStream& stream, const sdk::Variant& value,
                   const std::error_code& ec, const std::string& gathered = std::string()) {
    if (ec) {
        AnswerError(stream, gathered);
        return;
    }
    answer(stream, MyActionValuesResult(sdk::ActionResult::Success, value));
}

// The "PLC" check, and "connected" when asked: a registered device, or the error message.
EipDeviceHandle CheckedPLC(EipManager& registry, const std::string& alias, bool mustBeConnected,
                           std::string& error) {
    EipDeviceHandle device = registry.GetPLC(alias);
    if (device == nullptr || device->IsRetired()) {
        error = message(link_error::kPlcNotExist);
        return nullptr;
    }
    if (mustBeConnected && !device->IsConnected()) {
        error = message(link_error::kPlcNotConnected);
        return nullptr;
    }
    return device;
}

// Reads an integer parameter with a logged default; the number is truncated toward zero.
int NumberParam(const sdk::Variant& params, const char* key, int fallback, const char* operation,
                const std::string& missingText) {
    double value = 0;
    if (EipAction::ParseNumberParam(params, key, 0, value) != 0) {
        eiplog::Info(operation, missingText);
        return fallback;
    }
    return static_cast<int>(value);
}

int IntervalParam(const sdk::Variant& params, const char* operation) {
    return NumberParam(params, "Interval(ms)", kDefaultInterval, operation,
                       "Interval is not exist, use default - " + std::to_string(kDefaultInterval));
}

bool IntervalInRange(int interval) {
    return interval >= kMinInterval && interval <= kMaxInterval;
}

// A test connection on a copy of the device's settings, deleted when it goes out of scope.
using TestConnection = std::unique_ptr<EipConnection>;
TestConnection OpenTestConnection(EipDevice& device, std::string& error) {
    return TestConnection(EipConnection::MakeTestConnection(device.GetConnectionInfo(), error));
}

// Fails with the message of `code` unless the check holds; chains of checks read as one
// condition and stop at the first failure.
bool check(bool holds, int code, std::string& error) {
    if (!holds) {
        error = message(code);
    }
    return holds;
}

// A required string parameter, trimmed; `code` names it when missing.
bool RequireString(const sdk::Variant& params, const char* key, int code, std::string& out,
                   std::string& error) {
    return check(EipAction::ParseStringParam(params, key, 0, out) == 0, code, error);
}

// Parses JSON text from a parameter; a list action also needs an object or an array.
bool ParseJsonText(const std::string& text, bool needObjectOrArray, sdk::Variant& out,
                   std::string& error) {
    try {
        out = sdk::json::from_json_string(text);
    } catch (const std::exception&) {
        return check(false, link_error::kInvalidJson, error);
    }
    return check(!needObjectOrArray || out.is_map() || out.is_array(), link_error::kInvalidJson,
                 error);
}

// A device call's result: 0, or its message becomes the error.
bool DeviceCall(int result, const std::string& text, std::string& error) {
    if (result != 0) {
        error = text;
    }
    return result == 0;
}

// The frame of every values-result action: `body` fills the success value (and any message it
// gathered) or fails with the error; the single row is answered here.
template <typename Body>
void ValuesAction(const EipAction::ResultStream& stream, const std::error_code& ec, Body body) {
    sdk::Variant value = kSuccess;
    std::string text;
    if (!body(value, text)) {
        AnswerError(stream, text);
        return;
    }
    AnswerSuccess(stream, value, ec, text);
}

// ---- tag-list actions: one algorithm, four device operations -------------------------------

enum class TagListOp { Add, Edit, Remove, Write };

const char* TagListOperation(TagListOp op) {
    switch (op) {
        case TagListOp::Add:
            return "AddTagsNodeAction";
        case TagListOp::Edit:
            return "EditTagsNodeAction";
        case TagListOp::Remove:
            return "RemoveTagsNodeAction";
        case TagListOp::Write:
            return "WriteTagsNodeAction";
    }
    return "";
}

const char* TagListTitle(TagListOp op) {
    switch (op) {
        case TagListOp::Add:
            return "Add Tags Action";
        case TagListOp::Edit:
            return "Edit Tags Action";
        case TagListOp::Remove:
            return "Remove Tags Action";
        case TagListOp::Write:
            return "Write Tags Action";
    }
    return "";
}

// One tag object through the device; fills one table row.
void ApplyTagOperation(TagListOp op, EipDevice& device, EipConnection* test,
                       const sdk::Variant& object, int8_t kind, sdk::ActionStreamResult& table) {
    std::string tagAlias = kUnknownAlias;
    std::string text;
    int result = 0;
    switch (op) {
        case TagListOp::Add:
            result = device.AddTag(test, object, kind, tagAlias, text, false);
            break;
        case TagListOp::Edit:
            result = device.EditTag(test, object, kind, tagAlias, text);
            break;
        case TagListOp::Remove:
            result = device.RemoveTag(object, kind, tagAlias, text);
            break;
        case TagListOp::Write:
            result = device.WriteTag(object, kind, tagAlias, text);
            break;
    }
    table.add_value(tagAlias);
    table.add_value(result == 0 && text.empty() ? std::string(kSuccess) : text);
    table.next_row();
}

// Runs the checks and the per-object calls; false with `error` when a check failed. Once the
// invocation was answered (its caller gave up), the remaining tags are left alone.
bool RunTagList(EipManager& registry, TagListOp op, const sdk::NodePath& folder,
                const sdk::Variant& params, const EipAction::ResultStream& stream,
                sdk::ActionStreamResult& table, std::string& error) {
    std::string tagsText;
    EipDeviceHandle device = nullptr;
    sdk::Variant tags;
    if (!RequireString(params, "Tags(json)", link_error::kTagsNotInserted, tagsText, error) ||
        (device = CheckedPLC(registry, AliasAbove(folder, 1), true, error)) == nullptr ||
        !ParseJsonText(tagsText, true, tags, error)) {
        return false;
    }
    // Adds and edits test their tags on a session of their own; writes use the PLC's session.
    TestConnection test;
    if (op == TagListOp::Add || op == TagListOp::Edit) {
        test = OpenTestConnection(*device, error);
        if (!test) {
            return false;
        }
    }
    const int8_t kind = KindOfFolder(folder);
    if (tags.is_array()) {
        for (const sdk::Variant& object : tags.as_array()) {
            if (stream->is_closed()) {
                break;
            }
            ApplyTagOperation(op, *device, test.get(), object, kind, table);
        }
    } else {
        ApplyTagOperation(op, *device, test.get(), tags, kind, table);
    }
    return true;
}

void TagListAction(EipManager& registry, TagListOp op, const EipAction::ResultStream& stream,
                   const sdk::NodePath& folder, const sdk::Variant& params) {
    const char* operation = TagListOperation(op);
    eiplog::Info(operation, TagListTitle(op));
    sdk::ActionStreamResult table;
    std::string error;
    const bool ran = RunTagList(registry, op, folder, params, stream, table, error);
    if (ran && op == TagListOp::Add) {
        eiplog::Info(operation, "Successed to Add Tags");
    }
    if (!ran) {
        table.add_value(std::string(kFail));
        table.add_value(error);
        table.next_row();
        if (op == TagListOp::Add) {
            eiplog::Info(operation, "Failed to Add Tags : " + error);
        }
    }
    stream->send(table);
    stream->close();
}

// ---- subtag record of Add Subtag and Edit Subtag ----------------------------------------------

bool SubTagFromParams(const sdk::Variant& params, int32_t defaultInnerType, SubTagInfo& subtag,
                      std::string& error) {
    if (!check(EipAction::ParseStringParam(params, "Alias", 0, subtag.alias) == 0 &&
                   !subtag.alias.empty(),
               link_error::kAliasNotInserted, error)) {
        return false;
    }
    double number = 0;
    subtag.offset =
        EipAction::ParseNumberParam(params, "Offset", 0, number) == 0 ? int32_t(number) : 0;
    std::string innerType;
    subtag.innerType = EipAction::ParseStringParam(params, "InnerType", 0, innerType) == 0
                           ? EipTag::StrToInnerType(innerType)
                           : defaultInnerType;
    subtag.dataLen = EipAction::ParseNumberParam(params, "DataLen", 0, number) == 0
                         ? int32_t(number)
                         : EipTag::GetInnerTypeLength(subtag.innerType);
    return true;
}

// The I/O tag `tagAlias` of `device`, checked to hold `subtag`; false with `error` otherwise.
bool CheckSubTagFits(EipDevice& device, const std::string& tagAlias, const SubTagInfo& subtag,
                     std::string& error) {
    const auto tag = device.FindTagByAlias(tagAlias, kIOTagKind);
    return check(tag != nullptr, link_error::kTagNotExist, error) &&
           check(tag->IsValidSubTagInfo(subtag), link_error::kInvalidOffsetOrDataLen, error);
}

constexpr int32_t kInnerTypeSINT = 194;
constexpr int32_t kInnerTypeINT = 195;

}  // namespace

// ---- results and parameter readers ------------------------------------------------------------

MyActionValuesResult::MyActionValuesResult(sdk::ActionResult::SuccessType,
                                           const sdk::Variant& value) {
    add_value(true);
    add_value(value);
}

MyActionValuesResult::MyActionValuesResult(sdk::ActionResult::ErrorType,
                                           const std::string& message) {
    add_value(false);
    add_value(message);
}

int EipAction::ParseStringParam(const Variant& params, const std::string& key, uint8_t optional,
                                std::string& out) {
    const Variant::MapType& map = params.as_map();
    auto it = map.find(key);
    if (it == map.end() || !it->second.is_string()) {
        return optional != 0 ? 0 : -1;
    }
    out = it->second.as_string();
    TrimSpaces(out);
    return 0;
}

int EipAction::ParseNumberParam(const Variant& params, const std::string& key, uint8_t optional,
                                double& out) {
    const Variant::MapType& map = params.as_map();
    auto it = map.find(key);
    if (it == map.end() || !it->second.is_number()) {
        return optional != 0 ? 0 : -1;
    }
    out = it->second.as_double();
    return 0;
}

namespace {

// A device callback that runs `member` on `nodes`.
template <typename Result, typename... Args>
auto BindNode(const EipNode& nodes, Result (EipNode::*member)(Args...) const) {
    return [nodes, member](Args... args) { return (nodes.*member)(std::forward<Args>(args)...); };
}

}  // namespace

EipDeviceCallbacks EipAction::MakeDeviceCallbacks() const {
    const EipNode nodes(context_);
    EipDeviceCallbacks cb;
    cb.tagNodeCreated = BindNode(nodes, &EipNode::CreateTagItemNode);
    cb.tagNodeRemoved = BindNode(nodes, &EipNode::RemoveTagItemNode);
    cb.subTagNodeCreated = BindNode(nodes, &EipNode::CreateSubTagItemNode);
    cb.subTagNodeRemoved = BindNode(nodes, &EipNode::RemoveSubTagItemNode);
    cb.explicitConnectionState = BindNode(nodes, &EipNode::ChangeExplicitConnectionState);
    cb.ucmmState = BindNode(nodes, &EipNode::ChangeUCMMState);
    cb.explicitTagValues = BindNode(nodes, &EipNode::ChangeExplicitTagNodeValues);
    cb.ioTagValue = BindNode(nodes, &EipNode::ChangeIOTagNodeValue);
    cb.ioSubTagValue = BindNode(nodes, &EipNode::ChangeIOSubTagNodeValue);
    cb.actionToggle = BindNode(nodes, &EipNode::ToggleActionNodes);
    cb.productInfo = BindNode(nodes, &EipNode::ChangeProductInfo);
    cb.tagStatus = BindNode(nodes, &EipNode::UpdateTagStatusByAlias);
    return cb;
}

// ---- Browse Tags ------------------------------------------------------------------------------

namespace {

constexpr const char* kBrowseOp = "BrowseTagsNodeAction";

// Reads the controller's tag list over a short session of its own, so that a browse never
// waits for or disturbs the device's polling.
bool BrowseController(LinkContext& context, const std::string& alias, const sdk::Variant& params,
                      std::vector<LogixBrowseRow>& rows, std::string& error) {
    std::string filter;
    EipAction::ParseStringParam(params, "Filter", 1, filter);
    EipDeviceHandle device = CheckedPLC(context.registry, alias, false, error);
    if (device == nullptr) {
        return false;
    }
    const ConnectInfo info = device->GetConnectionInfo();
    if (info.family != kFamilyCip) {
        error =
            "Browse Tags needs a CIP/EIP (Logix) controller: a PCCC controller has no tag "
            "list to browse";
        return false;
    }
    TestConnection connection = OpenTestConnection(*device, error);
    if (!connection) {
        return false;
    }
    const auto exchange = [&connection, &info](ByteView request, LogixBrowser::Reply& reply) {
        ExplicitResponse response;
        if (connection->ExchangeRouted(kBrowseOp, request, info.slot, response) != 0) {
            return false;
        }
        reply.service = response.service;
        reply.generalStatus = response.generalStatus;
        reply.data.assign(response.data, response.data + std::min<size_t>(response.dataLength,
                                                                          sizeof response.data));
        return true;
    };
    LogixBrowser browser(exchange, context.templates, alias);
    const auto started = std::chrono::steady_clock::now();
    const bool browsed = browser.Browse(filter, rows, error);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    eiplog::Info(kBrowseOp,
                 eiplog::Text(alias, ": ", browsed ? "browsed " : "browse failed after ",
                              rows.size(), " rows, ", browser.RequestCount(), " requests, ",
                              elapsed.count(), " ms", browsed ? "" : ": " + error));
    return browsed;
}

}  // namespace

void EipAction::BrowseTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                     const Variant& params, const std::error_code&) const {
    eiplog::Info(kBrowseOp, "Browse Tags Action");
    sdk::ActionStreamResult table;
    std::vector<LogixBrowseRow> rows;
    std::string error;
    if (BrowseController(context_, AliasAbove(path, 1), params, rows, error)) {
        for (const LogixBrowseRow& row : rows) {
            table.add_value(row.name).add_value(row.type).add_value(row.dimensions);
            table.add_value(row.scope).add_value(row.readable).next_row();
        }
    } else {
        table.add_value(std::string(kFail)).add_value(error).add_value(std::string());
        table.add_value(std::string()).add_value(false).next_row();
    }
    stream->send(table);
    stream->close();
}

// ---- PLC-level actions ------------------------------------------------------------------------

namespace {

// Reads the Add PLC parameters; false with `error` when a required one is missing.
bool ConnectInfoFromParams(const sdk::Variant& params, ConnectInfo& info, std::string& error) {
    static const char* kOp = "AddPLCNodeAction";
    if (!RequireString(params, "Alias", link_error::kAliasNotInserted, info.alias, error) ||
        !check(!info.alias.empty(), link_error::kAliasNotInserted, error) ||
        !RequireString(params, "Host", link_error::kHostNotInserted, info.host, error) ||
        !check(!info.host.empty(), link_error::kHostNotInserted, error)) {
        return false;
    }
    info.port = static_cast<uint16_t>(
        NumberParam(params, "Port", kDefaultPort, kOp,
                    "Port is not exist, use default - " + std::to_string(kDefaultPort)));
    info.slot = NumberParam(params, "Slot", kDefaultSlot, kOp,
                            "Slot is not exist, use default - " + std::to_string(kDefaultSlot));
    std::string family;
    if (EipAction::ParseStringParam(params, "Protocol Family", 0, family) != 0) {
        eiplog::Info(kOp, "Protocol Family is not specified, using CIP/EIP as default");
        info.family = kFamilyCip;
    } else {
        info.family = family == "CIP/EIP" ? kFamilyCip : kFamilyPccc;
    }
    // PCCC only, both optional: a PLC added without them is a PLC-5 with four requests in flight.
    std::string plcType = PlcTypeName(PlcType::kPlc5);
    EipAction::ParseStringParam(params, "PLC Type", 0, plcType);
    const int inFlight = NumberParam(params, "Requests In Flight", kDefaultRequestsInFlight, kOp,
                                     "Requests In Flight is not exist, use default - " +
                                         std::to_string(kDefaultRequestsInFlight));
    if (!check(ParsePlcType(plcType, info.plcType) && inFlight >= 1 &&
                   inFlight <= kMaxRequestsInFlight,
               link_error::kInvalidParameter, error)) {
        return false;
    }
    info.requestsInFlight = static_cast<uint8_t>(inFlight);
    eiplog::Info(kOp, "Alias - " + info.alias);
    eiplog::Info(kOp, "Host - " + info.host);
    eiplog::Info(kOp, "Port - " + std::to_string(info.port));
    eiplog::Info(kOp, "Slot - " + std::to_string(info.slot));
    eiplog::Info(kOp, "Protocol Family - " + std::to_string(static_cast<int>(info.family)));
    if (info.family == kFamilyPccc) {
        eiplog::Info(kOp, std::string("PLC Type - ") + PlcTypeName(info.plcType));
        eiplog::Info(kOp, "Requests In Flight - " + std::to_string(info.requestsInFlight));
    }
    return true;
}

}  // namespace

void EipAction::AddPLCNodeAction(const ResultStream& stream, const NodePath& path,
                                 const Variant& params, const std::error_code& ec) const {
    eiplog::Info("AddPLCNodeAction", "Add PLC Action");
    ValuesAction(stream, ec, [&](Variant&, std::string& error) {
        ConnectInfo info;
        if (!ConnectInfoFromParams(params, info, error) ||
            !check(context_.registry.AddPLC(info, false) == 0, link_error::kConnectPlc, error)) {
            return false;
        }
        EipDeviceHandle device = context_.registry.GetPLC(info.alias);
        if (!check(device != nullptr, link_error::kPlcNotExist, error)) {
            return false;
        }
        const ProductInfo product = device->GetProductInfo();
        device->SetCallbacks(MakeDeviceCallbacks());
        if (!check(EipNode(context_).CreatePLCNode(path, info, product) == 0,
                   link_error::kCreatePlcNode, error)) {
            return false;
        }
        // The folders' actions ("Add Tags", "Start Polling") before the answer, so that the next
        // action on the PLC finds them.
        device->SetExplicitPollingState(device->GetExplicitPollingInterval(), true);
        return true;
    });
}

void EipAction::RemovePLCNodeAction(const ResultStream&, const NodePath& path, const Variant&,
                                    const std::error_code&) const {
    eiplog::Info("RemovePLCNodeAction", "Remove PLC Action");
    context_.registry.RemovePLC(AliasAbove(path, 0));
    context_.templates.Drop(AliasAbove(path, 0));
    EipNode(context_).RemovePLCNode(path);
}

void EipAction::ResetTagsNodeAction(const ResultStream&, const NodePath& path, const Variant&,
                                    const std::error_code&) const {
    eiplog::Info("ResetTagsNodeAction", "Reset Tags Action Action");
    if (EipDeviceHandle device = context_.registry.GetPLC(AliasAbove(path, 1))) {
        device->ResetTag(KindOfFolder(path));
    }
}

void EipAction::ExportTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                     const Variant&, const std::error_code& ec) const {
    eiplog::Info("ExportTagsNodeAction", "Export Tags Action");
    ValuesAction(stream, ec, [&](Variant& exported, std::string& error) {
        EipDeviceHandle device = CheckedPLC(context_.registry, AliasAbove(path, 1), false, error);
        std::string text;
        if (device == nullptr ||
            !DeviceCall(device->ExportTags(KindOfFolder(path), text), text, error)) {
            return false;
        }
        exported = text;
        return true;
    });
}

void EipAction::ExplicitStartPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                               const Variant& params,
                                               const std::error_code& ec) const {
    static const char* kOp = "EMStartPollingNodeAction";
    eiplog::Info(kOp, "EM Start Polling Action");
    ValuesAction(stream, ec, [&](Variant&, std::string& text) {
        EipDeviceHandle device = CheckedPLC(context_.registry, AliasAbove(path, 1), true, text);
        if (device == nullptr) {
            return false;
        }
        const int interval = IntervalParam(params, kOp);
        if (eiplog::TraceOn()) {
            eiplog::Trace(kOp, "invoked the em start polling action with interval=" +
                                   std::to_string(interval));
        }
        if (!check(IntervalInRange(interval), link_error::kIntervalRange, text) ||
            !check(device->GetExplicitPollingStopped() != 0, link_error::kPollingRunning, text)) {
            return false;
        }
        std::string message;
        return DeviceCall(device->StartExplicitPolling(interval, message), message, text);
    });
}

void EipAction::ExplicitStopPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                              const Variant&, const std::error_code& ec) const {
    eiplog::Info("EMStopPollingNodeAction", "EM Stop Polling Action");
    ValuesAction(stream, ec, [&](Variant&, std::string& text) {
        EipDeviceHandle device = CheckedPLC(context_.registry, AliasAbove(path, 1), false, text);
        if (device == nullptr) {
            return false;
        }
        device->StopExplicitPolling(text);
        return true;
    });
}

namespace {

// Checks of I/O Start Listening; false with `error` when one fails.
bool CheckIOStart(EipManager& registry, EipDeviceHandle& device, const sdk::NodePath& path,
                  const sdk::Variant& params, int& interval, int& udpPort, std::string& error) {
    static const char* kOp = "IOStartPollingNodeAction";
    device = CheckedPLC(registry, AliasAbove(path, 1), true, error);
    if (device == nullptr) {
        return false;
    }
    interval = IntervalParam(params, kOp);
    if (!check(IntervalInRange(interval), link_error::kIntervalRange, error)) {
        return false;
    }
    udpPort = NumberParam(params, "UDP Port", kDefaultUdpPort, kOp,
                          "Port is not exist, use default - " + std::to_string(kDefaultUdpPort));
    return check(udpPort >= kMinUdpPort && udpPort <= kMaxUdpPort, link_error::kPortRange, error) &&
           check(device->GetIOPollingStopped() != 0, link_error::kListeningRunning, error);
}

}  // namespace

void EipAction::IOStartPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                         const Variant& params, const std::error_code&) const {
    eiplog::Info("IOStartPollingNodeAction", "IO Start Polling Action");
    sdk::ActionStreamResult table;
    EipDeviceHandle device = nullptr;
    int interval = 0;
    int udpPort = 0;
    std::string error;
    if (CheckIOStart(context_.registry, device, path, params, interval, udpPort, error)) {
        const auto ioTags = device->ListTagInfos(kIOTagKind, kRWFlagIO);
        check(!ioTags.empty(), link_error::kIoTagsNotExist, error);
        for (const TagInfo& tag : ioTags) {
            std::string text;
            const int result = device->StartIOPollingTag(tag.alias, interval,
                                                         static_cast<uint16_t>(udpPort), text);
            table.add_value(tag.alias);
            table.add_value(result == 0 ? std::string(kSuccess) : text);
            table.next_row();
        }
    }
    if (!error.empty()) {
        table.add_value(std::string(kFail));
        table.add_value(error);
        table.next_row();
    }
    stream->send(table);
    stream->close();
}

void EipAction::IOStopPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                        const Variant&, const std::error_code& ec) const {
    eiplog::Info("IOStopPollingNodeAction", "IO Stop Polling Action");
    ValuesAction(stream, ec, [&](Variant&, std::string& text) {
        EipDeviceHandle device = CheckedPLC(context_.registry, AliasAbove(path, 1), false, text);
        if (device == nullptr || !check(device->GetExplicitConnectionState() != kExplicitNonExist,
                                        link_error::kPlcNotConnected, text)) {
            return false;
        }
        device->StopIOPolling(text);
        return true;
    });
}

void EipAction::ExplicitWriteDataNodeAction(const ResultStream& stream, const NodePath& path,
                                            const Variant& params,
                                            const std::error_code& ec) const {
    eiplog::Info("EMWriteDataNodeAction", "Write Data Action");
    ValuesAction(stream, ec, [&](Variant&, std::string& text) {
        std::string valueText;
        EipDeviceHandle device = nullptr;
        Variant value;
        if (!RequireString(params, "Value", link_error::kValueNotInserted, valueText, text) ||
            (device = CheckedPLC(context_.registry, AliasAbove(path, 3), true, text)) == nullptr ||
            !ParseJsonText(valueText, false, value, text)) {
            return false;
        }
        std::string message;
        const int result =
            device->WriteTagByAlias(AliasAbove(path, 0), value, kExplicitTagKind, message);
        return DeviceCall(result, message, text);
    });
}

void EipAction::AddTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                  const Variant& params, const std::error_code&) const {
    TagListAction(context_.registry, TagListOp::Add, stream, path, params);
}

void EipAction::EditTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                   const Variant& params, const std::error_code&) const {
    TagListAction(context_.registry, TagListOp::Edit, stream, path, params);
}

void EipAction::RemoveTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                     const Variant& params, const std::error_code&) const {
    TagListAction(context_.registry, TagListOp::Remove, stream, path, params);
}

void EipAction::WriteTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                    const Variant& params, const std::error_code&) const {
    TagListAction(context_.registry, TagListOp::Write, stream, path, params);
}

// ---- subtag actions (configuration only: none needs the PLC to be connected) --------------------

void EipAction::IOAddSubNodeAction(const ResultStream& stream, const NodePath& path,
                                   const Variant& params, const std::error_code& ec) const {
    eiplog::Info("IOAddSubNodeAction", "Add Subtag Action");
    ValuesAction(stream, ec, [&](Variant&, std::string& error) {
        SubTagInfo subtag;
        EipDeviceHandle device = nullptr;
        const std::string tagAlias = AliasAbove(path, 0);
        return SubTagFromParams(params, kInnerTypeINT, subtag, error) &&
               (device = CheckedPLC(context_.registry, AliasAbove(path, 2), false, error)) !=
                   nullptr &&
               CheckSubTagFits(*device, tagAlias, subtag, error) &&
               check(device->AddSubTag(tagAlias, subtag, true) == 0, link_error::kAddSubtag, error);
    });
}

void EipAction::IOEditSubNodeAction(const ResultStream& stream, const NodePath& path,
                                    const Variant& params, const std::error_code& ec) const {
    eiplog::Info("IOEditSubNodeAction", "Edit Subtag Action");
    ValuesAction(stream, ec, [&](Variant&, std::string& error) {
        SubTagInfo subtag;
        EipDeviceHandle device = nullptr;
        const std::string tagAlias = AliasAbove(path, 1);
        return SubTagFromParams(params, kInnerTypeSINT, subtag, error) &&
               (device = CheckedPLC(context_.registry, AliasAbove(path, 3), false, error)) !=
                   nullptr &&
               CheckSubTagFits(*device, tagAlias, subtag, error) &&
               check(device->EditSubTag(tagAlias, AliasAbove(path, 0), subtag, true) == 0,
                     link_error::kEditSubtag, error);
    });
}

void EipAction::IORemoveSubNodeAction(const ResultStream& stream, const NodePath& path,
                                      const Variant&, const std::error_code& ec) const {
    eiplog::Info("IORemoveSubNodeAction", "Remove Subtag Action");
    ValuesAction(stream, ec, [&](Variant&, std::string& error) {
        EipDeviceHandle device = CheckedPLC(context_.registry, AliasAbove(path, 3), false, error);
        return device != nullptr &&
               check(device->RemoveSubTag(AliasAbove(path, 1), AliasAbove(path, 0), true) == 0,
                     link_error::kRemoveSubtag, error);
    });
}

void EipAction::IOImportSubNodeAction(const ResultStream& stream, const NodePath& path,
                                      const Variant& params, const std::error_code& ec) const {
    eiplog::Info("IOImportSubNodeAction", "Import Subtags Action");
    ValuesAction(stream, ec, [&](Variant&, std::string& text) {
        std::string jsonText;
        EipDeviceHandle device = nullptr;
        Variant subtags;
        if (!RequireString(params, "json", link_error::kTagsNotInserted, jsonText, text) ||
            (device = CheckedPLC(context_.registry, AliasAbove(path, 2), false, text)) == nullptr ||
            !ParseJsonText(jsonText, true, subtags, text)) {
            return false;
        }
        std::string message;
        return DeviceCall(device->ImportSubTags(AliasAbove(path, 0), subtags, message), message,
                          text);
    });
}

void EipAction::IOExportSubNodeAction(const ResultStream& stream, const NodePath& path,
                                      const Variant&, const std::error_code& ec) const {
    eiplog::Info("IOExportSubNodeAction", "Export Subtags Action");
    ValuesAction(stream, ec, [&](Variant& exported, std::string& error) {
        EipDeviceHandle device = CheckedPLC(context_.registry, AliasAbove(path, 2), false, error);
        std::string text;
        if (device == nullptr ||
            !DeviceCall(device->ExportSubTags(AliasAbove(path, 0), text), text, error)) {
            return false;
        }
        exported = text;
        return true;
    });
}
