#include "node/eip_node.h"

#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <utility>

#include "action/link_errors.h"
#include "common/eip_log.h"
#include "family/logix_structure_cache.h"
#include "link/link_context.h"
#include "node/eip_node_internal.h"
#include "tag/eip_tag.h"
#include "tag/elementary_value.h"

namespace sdk = kestrel::strata_sdk;
using elementary_value::BoolValue;
using elementary_value::NumberValue;
using sdk::NodePath;
using sdk::Variant;

namespace eip_node_detail {

std::shared_ptr<sdk::Responder> GetResponder(sdk::Link& link, const char* operation) {
    std::shared_ptr<sdk::Responder> responder = link.responder();
    if (!responder) {
        eiplog::Error(operation, "no broker link to reach the node tree");
    }
    return responder;
}

void LogNodeFailure(const std::error_code& ec, int linkCode, const NodePath& path) {
    const std::error_code linkError(linkCode, link_error::GetCategory());
    eiplog::LinkError(sdk::LogLevel::error, ec,
                      std::string(linkError.category().name()) + ":" +
                          std::to_string(linkError.value()) + " - " + path.to_string());
}

sdk::CreateNodeCallback LogCreateFailure(const NodePath& path) {
    return [path](const std::vector<sdk::NodeInfo>&, const std::error_code& ec) {
        if (ec) {
            LogNodeFailure(ec, link_error::kCreateNode, path);
        }
    };
}

sdk::StatusCallback LogUpdateFailure(const NodePath& path) {
    return [path](const std::error_code& ec) {
        if (ec) {
            LogNodeFailure(ec, link_error::kCreateNode, path);
        }
    };
}

sdk::StatusCallback LogRemoveFailure(const NodePath& path) {
    return [path](const std::error_code& ec) {
        if (ec) {
            LogNodeFailure(ec, link_error::kRemoveNode, path);
        }
    };
}

}  // namespace eip_node_detail

using namespace eip_node_detail;

namespace {

constexpr const char* kIsIt = "$$$isit";
constexpr const char* kStatus = "$status";
constexpr const char* kStatusOk = "OK";

constexpr const char* kExplicitTags = "EM Tags";
constexpr const char* kReadTagsList = "Read Tags List";
constexpr const char* kWriteTagsList = "Write Tags List";
constexpr const char* kIOTags = "IO Tags";

// Value types of the broker's node tree used by the link.
constexpr int kTypeNumber = static_cast<int>(sdk::ValueType::Number);
constexpr int kTypeVendorId = static_cast<int>(sdk::ValueType::Int);
constexpr int kTypeString = static_cast<int>(sdk::ValueType::String);
constexpr int kTypeBool = static_cast<int>(sdk::ValueType::Bool);
constexpr int kTypeArray = static_cast<int>(sdk::ValueType::Array);
constexpr int kTypeMap = static_cast<int>(sdk::ValueType::Map);

constexpr int kSerializeStored = static_cast<int>(sdk::SerializationMode::Stored);

// The controller's STRING structure as read: a 32-bit length and 82 characters, padded to 88.
constexpr size_t kStringStructRecordSize = kStringStructSize;
constexpr size_t kStringStructLengthSize = 4;

bool HasFlag(const TagInfo& tag, uint8_t bit) {
    return (tag.rwFlag & bit) != 0;
}

NodePath TagPath(const NodePath& listPath, const std::string& tagAlias) {
    return listPath / sdk::string_escape(tagAlias);
}

void SetValue(sdk::Link& link, const char* operation, const NodePath& path, Variant value) {
    if (auto responder = GetResponder(link, operation)) {
        responder->set_value(path, std::move(value));
    }
}

void UpdateConfigs(sdk::Link& link, const char* operation, const sdk::NodeUpdater& updater) {
    if (auto responder = GetResponder(link, operation)) {
        responder->update_node(updater);
    }
}

// Creates a folder and, once it exists, runs `then` with its path.
template <typename Fill, typename Then>
void CreateFolder(sdk::Link& link, const char* operation, const NodePath& parent,
                  const std::string& name, Fill fill, Then then) {
    auto responder = GetResponder(link, operation);
    if (!responder) {
        return;
    }
    sdk::NodeBuilder builder;
    EipNode::CreateCommonNode(builder, parent, name);
    fill(builder);
    const NodePath path = parent / name;
    // A creation is applied before create_node returns, so the children follow at once: an
    // action that made the folder answers only once its whole subtree exists.
    responder->create_node(builder, LogCreateFailure(path));
    if (responder->node_exists(path)) {
        then(path);
    }
}

void NoFill(sdk::NodeBuilder&) {}
void NothingAfter(const NodePath&) {}

// The product name, vendor ID and the two connection states of a new PLC node. Not stored:
// they are rebuilt whenever the PLC node is created.
void CreatePLCValueNodes(sdk::Link& link, const NodePath& plcPath, const ProductInfo& product) {
    auto responder = GetResponder(link, "CreatePLCNode");
    if (!responder) {
        return;
    }
    sdk::NodeBuilder builder(plcPath);
    builder.make_node("productname")
        .display_name("Product Name")
        .type(kTypeString)
        .value(product.productName);
    builder.make_node("productvendor")
        .display_name("Product Vendor ID")
        .type(kTypeVendorId)
        .value(product.vendorId);
    builder.make_node("coxnstate")
        .display_name("EM Coxn STATE")
        .type(kTypeString)
        .value(EipNode::ExplicitConnectionStateText(0));
    builder.make_node("ucmmstate")
        .display_name("UCMM STATE")
        .type(kTypeString)
        .value(EipNode::UCMMStateText(0));
    responder->create_node(builder, LogCreateFailure(plcPath));
}

// The structure type a Logix tag's value decodes through; null when it is read as raw bytes.
const LogixStructureType* DecodedStructure(const TagInfo& tag) {
    return tag.innerType == kInnerTypeStructure && tag.structure && tag.structure->type
               ? tag.structure->type.get()
               : nullptr;
}

// Value type of a tag node; none for I/O tags (their "Data" subtag shows the data) and for
// tags whose element count is unknown.
std::optional<int> TagValueType(const TagInfo& tag) {
    if (HasFlag(tag, kRwFlagIo) || tag.elementCount == 0) {
        return std::nullopt;
    }
    const LogixStructureType* structure = DecodedStructure(tag);
    if (structure != nullptr && tag.elementCount == 1) {
        return logix_structure::IsStringType(*structure->top) ? kTypeString : kTypeMap;
    }
    if (tag.elementCount == 1) {
        return EipNode::TypeToValueType(static_cast<unsigned char>(tag.family), tag.innerType,
                                        tag.dataLen);
    }
    const bool rawStructure = tag.innerType == kInnerTypeStructure &&
                              tag.structHandle != kStringStructHandle && !DecodedStructure(tag);
    return rawStructure ? kTypeString : kTypeArray;
}

// The stored attributes of a tag node; `target` is a NodeBuilder or a NodeUpdater.
template <typename Target>
void ApplyTagAttributes(Target& target, const TagInfo& tag) {
    if (auto type = TagValueType(tag)) {
        target.type(*type);
    }
    target.config(kStatus, kStatusOk)
        .config("$Description", tag.description)
        .config("$DataLen", tag.dataLen)
        .config("InnerType", EipTag::InnerTypeToStr(tag.innerType))
        .config("$RW Flag", EipTag::RWFlagToStr(tag.rwFlag))
        .config("$OutputType", EipTag::OutputTypeToStr(tag.outputType))
        .config("$Tag Name", tag.tagName)
        .config(kIsIt, "tag");
    if (!tag.plc5Address.empty()) {
        target.config("$PLC5Address", tag.plc5Address);
    }
}

template <typename Target>
void ApplySubTagAttributes(Target& target, const TagInfo& tag, const SubTagInfo& sub) {
    target
        .type(EipNode::TypeToValueType(static_cast<unsigned char>(tag.family), sub.innerType,
                                       sub.dataLen))
        .config("$DataLen", sub.dataLen)
        .config("InnerType", EipTag::InnerTypeToStr(sub.innerType))
        .config("$Offset", sub.offset)
        .config(kIsIt, "subtag");
}

SubTagInfo DataSubTag(const TagInfo& tag) {
    SubTagInfo data;
    data.alias = kSubtagDataAlias;
    data.offset = 0;
    data.innerType = kInnerTypeSint;
    data.dataLen = tag.dataLen;
    return data;
}

// Runs once a tag node exists: its Write Data action, and for I/O tags the "Data" subtag, the
// configured subtags and the subtag actions.
void CompleteTagNode(const EipNode& nodes, const NodePath& path, const TagInfo& tag, bool writeList,
                     const std::vector<SubTagInfo>& subtags) {
    if (writeList) {
        nodes.CreateExplicitWriteDataNode(path);
    }
    if (!HasFlag(tag, kRwFlagIo)) {
        return;
    }
    const std::string alias =
        sdk::string_unescape(path.get_parent_path().get_parent_path().get_name());
    nodes.CreateSubTagItemNode(alias, tag, DataSubTag(tag));
    for (const SubTagInfo& sub : subtags) {
        if (sub.alias != kSubtagDataAlias) {
            nodes.CreateSubTagItemNode(alias, tag, sub);
        }
    }
    nodes.CreateIOAddSubNode(path);
    nodes.CreateIOExportSubNode(path);
    nodes.CreateIOImportSubNode(path);
}

std::string HexText(const uint8_t* data, size_t len, std::optional<uint16_t> structHandle) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text = "0x";
    text.reserve(2 + 4 + 2 * len);
    if (structHandle) {
        char handle[5];
        std::snprintf(handle, sizeof handle, "%04X", static_cast<unsigned>(*structHandle));
        text += handle;
    }
    for (size_t i = 0; i < len; ++i) {
        text += kHex[data[i] >> 4];
        text += kHex[data[i] & 0x0F];
    }
    return text;
}

// A structure decoded through its template; its raw bytes when they do not fit it (logged).
Variant StructureValue(const LogixStructureType& structure, const TagInfo& tag, const uint8_t* data,
                       size_t len) {
    Variant value;
    std::string reason;
    if (structure.Decode(ByteView{data, len}, value, reason)) {
        return value;
    }
    eiplog::Error("ConvertTagValue", tag.alias + ": " + reason);
    return Variant(HexText(data, len, tag.structHandle));
}

void LogBadValue(sdk::LogLevel level, const std::string& text) {
    eiplog::LinkError(level, link_error::kInvalidValue, text);
}

void LogLoneByte() {
    LogBadValue(sdk::LogLevel::warn, "too short : 1");
}

// Cuts `count` characters to the `available` bytes, saying so.
size_t CutToAvailable(size_t count, size_t available, size_t rem, const char* countText) {
    if (count <= available) {
        return count;
    }
    LogBadValue(sdk::LogLevel::warn,
                "too short : " + std::to_string(rem) + countText + std::to_string(count));
    return available;
}

// PLC5 strings hold two characters per 16-bit word, high byte first.
std::string SwappedWordChars(const uint8_t* chars, size_t count, size_t available) {
    const size_t wordBytes = std::min(available, count + (count & 1));
    std::string text;
    text.reserve(wordBytes);
    for (size_t i = 0; i < wordBytes; ++i) {
        const size_t from = (i ^ 1) < wordBytes ? (i ^ 1) : i;
        text += static_cast<char>(chars[from]);
    }
    text.resize(std::min(text.size(), count));
    if (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

// Walks records that open with a 16-bit little-endian length: record(start, declared, pos)
// gets the record's offset, its declared length and pos just past that length, and moves pos
// past the record. A lone byte left at the end is logged and ends the walk.
template <typename Record>
void ForEachCountedRecord(const uint8_t* data, size_t len, Record record) {
    size_t pos = 0;
    while (pos < len) {
        if (len - pos < 2) {
            LogLoneByte();
            break;
        }
        const size_t start = pos;
        const size_t declared = GetLittleEndian16(data + pos);
        pos += 2;
        record(start, declared, pos);
    }
}

// STRING records: a 16-bit length and the characters. PLC5 records are padded to the tag's
// data length.
std::vector<std::string> StringRecords(const TagInfo& tag, const uint8_t* data, size_t len) {
    const bool plc5 = tag.family == kFamilyPccc;
    std::vector<std::string> strings;
    ForEachCountedRecord(data, len, [&](size_t start, size_t declared, size_t& pos) {
        const size_t rem = len - pos;
        const size_t count = CutToAvailable(declared, rem, rem, " bytes , str count : ");
        if (!plc5) {
            strings.emplace_back(reinterpret_cast<const char*>(data + pos), count);
            pos += count;
            return;
        }
        strings.push_back(SwappedWordChars(data + pos, count, rem));
        pos += std::min(rem, count + (count & 1));
        const size_t recordEnd = start + static_cast<size_t>(std::max(tag.dataLen, 0));
        if (recordEnd > pos) {
            if (recordEnd - pos > len - pos) {
                eiplog::Info("ChangeTagNodeValue", "ignoring leftover bytes");
                pos = len;
            } else {
                pos = recordEnd;
            }
        }
    });
    return strings;
}

std::string Utf16LeRecordText(const uint8_t* record, size_t recordLen) {
    std::string text = "[";
    text += std::to_string((recordLen - 2) / 2) + "]";
    char hex[4];
    for (size_t i = 0; i < recordLen; ++i) {
        std::snprintf(hex, sizeof hex, "%02x ", record[i]);
        text += hex;
    }
    return text;
}

// UTF-16LE to UTF-8. An empty result and false when the text is not valid UTF-16.
bool Utf16LeToUtf8(const uint8_t* units, size_t unitCount, std::string& out) {
    out.clear();
    if (unitCount == 0) {
        return true;
    }
    iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    // Every UTF-16 unit gives at most three UTF-8 bytes (a surrogate pair gives four for two).
    std::string buffer(unitCount * 3, '\0');
    char* in = const_cast<char*>(reinterpret_cast<const char*>(units));
    size_t inLeft = unitCount * 2;
    char* outPtr = buffer.data();
    size_t outLeft = buffer.size();
    const size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inLeft != 0) {
        return false;
    }
    buffer.resize(buffer.size() - outLeft);
    out = std::move(buffer);
    return true;
}

// STRING2 records: a 16-bit count of UTF-16LE code units and the units.
std::vector<std::string> WideStringRecords(const uint8_t* data, size_t len) {
    std::vector<std::string> strings;
    ForEachCountedRecord(data, len, [&](size_t start, size_t declared, size_t& pos) {
        const size_t rem = len - pos;
        const size_t units = CutToAvailable(declared, rem / 2, rem, " bytes, wide str count : ");
        pos += units * 2;
        std::string text;
        if (!Utf16LeToUtf8(data + start + 2, units, text)) {
            LogBadValue(sdk::LogLevel::error, "failed to convert from utf-16le to utf-8 : " +
                                                  Utf16LeRecordText(data + start, pos - start));
        }
        strings.push_back(std::move(text));
    });
    return strings;
}

// SHORT STRING records: an 8-bit length and the characters.
std::vector<std::string> ShortStringRecords(const uint8_t* data, size_t len) {
    std::vector<std::string> strings;
    size_t pos = 0;
    while (pos < len) {
        const size_t declared = data[pos++];
        const size_t rem = len - pos;
        const size_t count = CutToAvailable(declared, rem, rem, " bytes, str count : ");
        strings.emplace_back(reinterpret_cast<const char*>(data + pos), count);
        pos += count;
    }
    return strings;
}

// The controller's STRING structure: 88-byte records of a 32-bit length and 82 characters.
std::vector<std::string> StringStructRecords(const uint8_t* data, size_t len) {
    std::vector<std::string> strings;
    for (size_t start = 0; start + kStringStructRecordSize <= len;
         start += kStringStructRecordSize) {
        const size_t declared = GetLittleEndian32(data + start);
        const size_t rem = len - start - kStringStructLengthSize;
        const size_t limit = std::min<size_t>(rem, kStringStructMaxChars);
        const size_t count = CutToAvailable(declared, limit, rem, " bytes, str count : ");
        strings.emplace_back(reinterpret_cast<const char*>(data + start + kStringStructLengthSize),
                             count);
    }
    return strings;
}

// One record gives its string, several give an array of them, none the empty string.
Variant StringsValue(std::vector<std::string> strings) {
    if (strings.empty()) {
        return Variant(std::string());
    }
    if (strings.size() == 1) {
        return Variant(std::move(strings.front()));
    }
    Variant::ArrayType values;
    values.reserve(strings.size());
    for (std::string& text : strings) {
        values.emplace_back(std::move(text));
    }
    return Variant(std::move(values));
}

const char* StateText(unsigned char state, const char* const (&texts)[4]) {
    return state < 4 ? texts[state] : "UNKNOWN";
}

}  // namespace

// ---- PLC subtree ------------------------------------------------------------------------------

NodePath EipNode::PLCPath(const std::string& alias) {
    return NodePath() / sdk::string_escape(alias);
}

NodePath EipNode::ExplicitTagsPath(const std::string& alias) {
    return PLCPath(alias) / kExplicitTags;
}

NodePath EipNode::ReadTagsListPath(const std::string& alias) {
    return ExplicitTagsPath(alias) / kReadTagsList;
}

NodePath EipNode::WriteTagsListPath(const std::string& alias) {
    return ExplicitTagsPath(alias) / kWriteTagsList;
}

NodePath EipNode::IOTagsPath(const std::string& alias) {
    return PLCPath(alias) / kIOTags;
}

void EipNode::CreateRootNode(const NodePath& root) const {
    CreateAddPLCNode(root);
}

sdk::NodeBuilder& EipNode::CreateCommonNode(sdk::NodeBuilder& out, const NodePath& parent,
                                            const std::string& name) {
    out = sdk::NodeBuilder(parent);
    out.make_node(name, "node")
        .display_name(sdk::string_unescape(name))
        .serializable(kSerializeStored);
    return out;
}

int EipNode::CreatePLCNode(const NodePath& parent, const ConnectInfo& conn,
                           const ProductInfo& product) const {
    auto responder = GetResponder(context_.link, "CreatePLCNode");
    if (!responder) {
        return -1;
    }
    const std::string name = sdk::string_escape(conn.alias);
    sdk::NodeBuilder builder;
    CreateCommonNode(builder, parent, name);
    builder.config(kIsIt, "plc")
        .config("$host", conn.host)
        .config("$port", static_cast<uint64_t>(conn.port))
        .config("$protocol family", conn.family == kFamilyCip ? "CIP/EIP" : "PCCC")
        .config("$slot", static_cast<int64_t>(conn.slot));
    if (conn.family == kFamilyPccc) {
        builder.config("$plc type", PlcTypeName(conn.plcType))
            .config("$requests in flight", static_cast<int64_t>(conn.requestsInFlight));
    }
    const NodePath plcPath = parent / name;
    // Applied before create_node returns: the subtree is complete when this returns.
    responder->create_node(builder, LogCreateFailure(plcPath));
    if (!responder->node_exists(plcPath)) {
        return -1;
    }
    CreatePLCValueNodes(context_.link, plcPath, product);
    CreateExplicitTagsNode(plcPath);
    CreateIOTagsNode(plcPath);
    return 0;
}

void EipNode::CreateExplicitTagsNode(const NodePath& parent) const {
    CreateFolder(
        context_.link, "CreateEMTagsNode", parent, kExplicitTags,
        [](sdk::NodeBuilder& b) { b.config(kIsIt, "emtags").config("$Polling Interval", 0); },
        [nodes = *this](const NodePath& explicitTagsPath) {
            nodes.CreateExplicitReadTagsNode(explicitTagsPath);
            nodes.CreateExplicitWriteTagsNode(explicitTagsPath);
        });
}

void EipNode::CreateExplicitReadTagsNode(const NodePath& parent) const {
    CreateFolder(context_.link, "CreateEMReadTagsNode", parent, kReadTagsList, NoFill,
                 NothingAfter);
}

void EipNode::CreateExplicitWriteTagsNode(const NodePath& parent) const {
    CreateFolder(context_.link, "CreateEMWriteTagsNode", parent, kWriteTagsList, NoFill,
                 NothingAfter);
}

void EipNode::CreateIOTagsNode(const NodePath& parent) const {
    CreateFolder(
        context_.link, "CreateIOTagsNode", parent, kIOTags,
        [](sdk::NodeBuilder& b) {
            b.config(kIsIt, "iotags")
                .config("$Listening Interval", 0)
                .config("$Listening UDP Port", 0);
        },
        NothingAfter);
}

void EipNode::RemovePLCNode(const NodePath& plcPath) const {
    if (auto responder = GetResponder(context_.link, "RemovePLCNode")) {
        responder->remove_node(plcPath, LogRemoveFailure(plcPath));
    }
}

const char* EipNode::ExplicitConnectionStateText(unsigned char state) {
    static const char* const kTexts[4] = {"NON-EXIST", "BUSY", "READY", "NEED2SEND"};
    return StateText(state, kTexts);
}

const char* EipNode::UCMMStateText(unsigned char state) {
    static const char* const kTexts[4] = {"NON-EXIST", "READY", "BUSY", "UNKNOWN"};
    return StateText(state, kTexts);
}

void EipNode::ChangeExplicitConnectionState(const std::string& alias, unsigned char state) const {
    SetValue(context_.link, "ChangeEMCnxnState", PLCPath(alias) / "coxnstate",
             ExplicitConnectionStateText(state));
}

void EipNode::ChangeUCMMState(const std::string& alias, unsigned char state) const {
    SetValue(context_.link, "ChangeUCMMState", PLCPath(alias) / "ucmmstate", UCMMStateText(state));
}

void EipNode::ChangeProductInfo(const std::string& alias, const ProductInfo& product) const {
    SetValue(context_.link, "ChangeProductInfo", PLCPath(alias) / "productname",
             product.productName);
    SetValue(context_.link, "ChangeProductInfo", PLCPath(alias) / "productvendor",
             static_cast<uint64_t>(product.vendorId));
}

void EipNode::ChangeExplicitPollingState(const std::string& alias, unsigned short interval) const {
    sdk::NodeUpdater updater(ExplicitTagsPath(alias));
    updater.config("$Polling Interval", static_cast<uint64_t>(interval));
    UpdateConfigs(context_.link, "ChangeEMPollingState", updater);
}

void EipNode::ChangeIOPollingState(const std::string& alias, unsigned short interval,
                                   unsigned short udpPort) const {
    sdk::NodeUpdater updater(IOTagsPath(alias));
    updater.config("$Listening Interval", static_cast<uint64_t>(interval))
        .config("$Listening UDP Port", static_cast<uint64_t>(udpPort));
    UpdateConfigs(context_.link, "ChangeIOPollingState", updater);
}

void EipNode::UpdateTagStatusToPath(const NodePath& tagPath, const std::string& status) const {
    sdk::NodeUpdater updater(tagPath);
    updater.config(kStatus, status);
    UpdateConfigs(context_.link, "UpdateTagStatusToPath", updater);
}

void EipNode::UpdateTagStatusToPath(const NodePath& listPath, const std::string& tagAlias,
                                    const std::string& status) const {
    UpdateTagStatusToPath(TagPath(listPath, tagAlias), status);
}

void EipNode::UpdateTagStatus(const std::string& alias, const TagInfo& tag,
                              const std::string& status) const {
    if (HasFlag(tag, kRwFlagRead)) {
        UpdateTagStatusToPath(ReadTagsListPath(alias), tag.alias, status);
    }
    if (HasFlag(tag, kRwFlagWrite)) {
        UpdateTagStatusToPath(WriteTagsListPath(alias), tag.alias, status);
    }
    if (HasFlag(tag, kRwFlagIo)) {
        UpdateTagStatusToPath(IOTagsPath(alias), tag.alias, status);
    }
}

void EipNode::UpdateTagStatusByAlias(const std::string& alias, const std::string& tagAlias,
                                     signed char kind, const std::string& status) const {
    if (kind == 1) {
        UpdateTagStatusToPath(ReadTagsListPath(alias), tagAlias, status);
        UpdateTagStatusToPath(WriteTagsListPath(alias), tagAlias, status);
    } else if (kind == 2) {
        UpdateTagStatusToPath(IOTagsPath(alias), tagAlias, status);
    }
}

// ---- tag and subtag item nodes ----------------------------------------------------------------

int EipNode::TypeToValueType(unsigned char family, int innerType, int dataLen) {
    if (IsNumberType(innerType)) {
        return dataLen <= EipTag::GetInnerTypeLength(innerType) ? kTypeNumber : kTypeArray;
    }
    switch (innerType) {
        case kInnerTypeBool: {
            const int elementSize = family == kFamilyPccc ? 2 : 1;
            return dataLen > elementSize ? kTypeArray : kTypeBool;
        }
        default:
            return kTypeString;
    }
}

void EipNode::CreateTagItemNode(const std::string& alias, const TagInfo& tag,
                                std::vector<SubTagInfo>* subtags) const {
    if (HasFlag(tag, kRwFlagRead)) {
        CreateTagItemNodeToPath(ReadTagsListPath(alias), tag, false, subtags);
    }
    if (HasFlag(tag, kRwFlagWrite)) {
        CreateTagItemNodeToPath(WriteTagsListPath(alias), tag, true, subtags);
    }
    if (HasFlag(tag, kRwFlagIo)) {
        CreateTagItemNodeToPath(IOTagsPath(alias), tag, false, subtags);
    }
}

void EipNode::CreateTagItemNodeToPath(const NodePath& listPath, const TagInfo& tag, bool writeList,
                                      std::vector<SubTagInfo>* subtags) const {
    auto responder = GetResponder(context_.link, "CreateTagItemNodeToPath");
    if (!responder) {
        return;
    }
    const std::string name = sdk::string_escape(tag.alias);
    const NodePath path = listPath / name;
    std::vector<SubTagInfo> subtagCopy = subtags ? *subtags : std::vector<SubTagInfo>{};
    auto complete = [nodes = *this, path, tag, writeList, subtagCopy](const std::error_code& ec) {
        if (ec) {
            LogNodeFailure(ec, link_error::kCreateNode, path);
            return;
        }
        CompleteTagNode(nodes, path, tag, writeList, subtagCopy);
    };
    if (responder->node_exists(path)) {
        sdk::NodeUpdater updater(path);
        ApplyTagAttributes(updater, tag);
        responder->update_node(updater, complete);
        return;
    }
    sdk::NodeBuilder builder(listPath);
    builder.make_node(name, "node").display_name(tag.alias).serializable(kSerializeStored);
    ApplyTagAttributes(builder, tag);
    responder->create_node(builder, [complete](const std::vector<sdk::NodeInfo>&,
                                               const std::error_code& ec) { complete(ec); });
}

void EipNode::CreateSubTagItemNode(const std::string& alias, const TagInfo& tag,
                                   const SubTagInfo& sub) const {
    if (HasFlag(tag, kRwFlagIo)) {
        CreateSubTagItemNodeToPath(TagPath(IOTagsPath(alias), tag.alias), tag, sub);
    }
}

void EipNode::CreateSubTagItemNodeToPath(const NodePath& tagPath, const TagInfo& tag,
                                         const SubTagInfo& sub) const {
    static const char* const kOperation = "CreateSubTagItemNodeToPath";
    auto responder = GetResponder(context_.link, kOperation);
    if (!responder) {
        return;
    }
    const std::string name = sdk::string_escape(sub.alias);
    const NodePath path = tagPath / name;
    auto complete = [nodes = *this, path, sub](const std::error_code& ec) {
        if (ec) {
            LogNodeFailure(ec, link_error::kCreateNode, path);
            return;
        }
        if (sub.alias != kSubtagDataAlias) {
            nodes.CreateIOEditSubNode(path, sub);
            nodes.CreateIORemoveSubNode(path);
        }
    };
    if (responder->node_exists(path)) {
        eiplog::Info(kOperation, "Update Subtag - " + path.to_string());
        sdk::NodeUpdater updater(path);
        ApplySubTagAttributes(updater, tag, sub);
        responder->update_node(updater, complete);
        return;
    }
    eiplog::Info(kOperation, "Create Subtag - " + path.to_string());
    sdk::NodeBuilder builder(tagPath);
    builder.make_node(name, "node").display_name(sub.alias).serializable(kSerializeStored);
    ApplySubTagAttributes(builder, tag, sub);
    responder->create_node(builder, [complete](const std::vector<sdk::NodeInfo>&,
                                               const std::error_code& ec) { complete(ec); });
}

void EipNode::RemoveTagItemNode(const std::string& alias, const TagInfo& tag,
                                std::vector<SubTagInfo>* /*subtags: go with the tag node*/) const {
    if (HasFlag(tag, kRwFlagRead)) {
        RemoveTagItemNodeFromPath(TagPath(ReadTagsListPath(alias), tag.alias));
    }
    if (HasFlag(tag, kRwFlagWrite)) {
        RemoveTagItemNodeFromPath(TagPath(WriteTagsListPath(alias), tag.alias));
    }
    if (HasFlag(tag, kRwFlagIo)) {
        RemoveTagItemNodeFromPath(TagPath(IOTagsPath(alias), tag.alias));
    }
}

void EipNode::RemoveSubTagItemNode(const std::string& alias, const TagInfo& tag,
                                   const SubTagInfo& sub) const {
    if (HasFlag(tag, kRwFlagIo)) {
        RemoveTagItemNodeFromPath(TagPath(IOTagsPath(alias), tag.alias) /
                                  sdk::string_escape(sub.alias));
    }
}

void EipNode::RemoveTagItemNodeFromPath(const NodePath& path) const {
    if (auto responder = GetResponder(context_.link, "RemoveTagItemNodeFromPath")) {
        responder->remove_node(path, LogRemoveFailure(path));
    }
}

// ---- value publishing -------------------------------------------------------------------------

bool EipNode::ChangeExplicitTagNodeValue(const std::string& alias, const TagInfo& tag,
                                         const uint8_t* data, uint16_t len) const {
    return ChangeTagNodeValue(TagPath(ReadTagsListPath(alias), tag.alias), tag, data, len);
}

bool EipNode::ChangeIOTagNodeValue(const std::string& alias, const TagInfo& tag,
                                   const uint8_t* data, uint16_t len) const {
    return ChangeTagNodeValue(TagPath(IOTagsPath(alias), tag.alias), tag, data, len);
}

bool EipNode::ChangeIOSubTagNodeValue(const std::string& alias, TagInfo tag, const SubTagInfo& sub,
                                      const uint8_t* data, uint16_t len) const {
    tag.innerType = sub.innerType;
    // A negative offset would read before the data: refused like a slice past its end.
    const int64_t end = static_cast<int64_t>(sub.offset) + sub.dataLen;
    if (sub.offset < 0 || sub.dataLen < 0 || end > len) {
        eiplog::Error("ChangeIOSubTagNodeValue",
                      "Invalid parameters: len=" + std::to_string(len) +
                          ", subInfo.offset=" + std::to_string(sub.offset) +
                          ", subInfo.dataLen=" + std::to_string(sub.dataLen));
        return false;
    }
    const NodePath path = TagPath(TagPath(IOTagsPath(alias), tag.alias), sub.alias);
    return ChangeTagNodeValue(path, tag, data + sub.offset, static_cast<uint16_t>(sub.dataLen));
}

namespace {

// The broker value of a tag's bytes; none (and the reason logged against the node's path) when
// the broker cannot hold it (a NaN or infinite REAL): the node keeps its last value and the
// device carries on with the next one.
template <typename PathText>
std::optional<Variant> PublishableValue(const TagInfo& tag, const uint8_t* data, uint16_t len,
                                        const PathText& pathText) {
    try {
        return EipNode::ConvertTagValue(tag, data, len);
    } catch (const std::system_error& e) {
        eiplog::LinkError(sdk::LogLevel::error, e.code(),
                          std::string(e.what()) + " - " + pathText());
    } catch (const std::exception& e) {
        eiplog::LinkError(sdk::LogLevel::error, sdk::make_error_code(sdk::strata_errc::bad_value),
                          std::string(e.what()) + " - " + pathText());
    }
    return std::nullopt;
}

}  // namespace

bool EipNode::ChangeTagNodeValue(const NodePath& path, const TagInfo& tag, const uint8_t* data,
                                 uint16_t len) const {
    std::optional<Variant> value =
        PublishableValue(tag, data, len, [&path] { return path.to_string(); });
    if (!value) {
        return false;
    }
    auto responder = GetResponder(context_.link, "ChangeTagNodeValue");
    if (!responder) {
        return false;
    }
    responder->set_value(path, std::move(*value));
    return true;
}

void EipNode::ChangeExplicitTagNodeValues(const std::string& alias,
                                          const std::vector<EipTagValue>& values) const {
    const NodePath list = ReadTagsListPath(alias);
    std::vector<std::pair<std::string, Variant>> named;
    named.reserve(values.size());
    for (const EipTagValue& value : values) {
        const TagInfo& tag = *value.tag;
        std::string name = sdk::string_escape(tag.alias);
        std::optional<Variant> converted =
            PublishableValue(tag, value.data.data(), static_cast<uint16_t>(value.data.size()),
                             [&] { return (list / name).to_string(); });
        if (converted) {
            named.emplace_back(std::move(name), std::move(*converted));
        }
    }
    auto responder = named.empty() ? nullptr : GetResponder(context_.link, "ChangeTagNodeValue");
    if (responder) {
        responder->set_values(list, std::move(named));
    }
}

Variant EipNode::ConvertTagValue(const TagInfo& tag, const uint8_t* data, uint16_t len) {
    if (len == 0 || data == nullptr) {
        return Variant(std::string());
    }
    if (tag.outputType > kOutputTypeDefault) {
        return Variant();
    }
    if (IsNumberType(tag.innerType)) {
        return NumberValue(tag.innerType, data, len);
    }
    switch (tag.innerType) {
        case kInnerTypeBool:
            return BoolValue(tag.family, data, len);
        case kInnerTypeString:
            return StringsValue(StringRecords(tag, data, len));
        case kInnerTypeString2:
            return StringsValue(WideStringRecords(data, len));
        case kInnerTypeShortString:
            return StringsValue(ShortStringRecords(data, len));
        case kInnerTypeStructure:
            if (const LogixStructureType* structure = DecodedStructure(tag)) {
                return StructureValue(*structure, tag, data, len);
            }
            if (tag.structHandle == kStringStructHandle && len % kStringStructRecordSize == 0) {
                return StringsValue(StringStructRecords(data, len));
            }
            return Variant(HexText(data, len, tag.structHandle));
        default:
            return Variant(HexText(data, len, std::nullopt));
    }
}
