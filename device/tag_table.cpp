#include "device/tag_table.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/eip_log.h"
#include "device/device_session.h"
#include "device/device_support.h"
#include "eip/eip_connection.h"
#include "family/logix_structure_cache.h"
#include "strata_sdk/json.h"
#include "tag/eip_tag.h"
#include "tag/protocol_handler.h"
#include "tag/protocol_handler_factory.h"
#include "tag/tag_parameter_parser.h"
#include "tag/taginfo_validator.h"

using kestrel::strata_sdk::NodePath;
using kestrel::strata_sdk::Variant;
using namespace device_detail;

namespace {

// Appends the "failed subtags" list of an add, edit or remove to the message.
void AppendFailedSubTags(std::string& message, const std::vector<std::string>& failed) {
    for (size_t i = 0; i < failed.size(); ++i) {
        message += (i == 0 ? ", but failed subtags - \"" : ", \"");
        message += failed[i];
        message += "\"";
    }
}

// Reads a trimmed string member of a map; empty when absent or not a string.
std::string TrimmedString(const Variant::MapType& map, const char* key) {
    auto it = map.find(key);
    if (it == map.end() || !it->second.is_string()) {
        return std::string();
    }
    std::string text = it->second.as_string();
    TrimSpaces(text);
    return text;
}

// The largest value a write encodes: what one explicit request can carry.
constexpr size_t kMinWriteBytes = 256;

}  // namespace

TagTable::TagTable(DeviceSession& session, PollList& pollList, DeviceCallbacks& callbacks,
                   const DeviceLife& life)
    : session_(session), pollList_(pollList), callbacks_(callbacks), life_(life) {}

TagTable::TagMap& TagTable::MapOf(int8_t kind) {
    return kind == kKindExplicit ? explicitTagMap_ : ioTagMap_;
}

std::shared_ptr<EipTag> TagTable::FindTagByAlias(const std::string& tagAlias, int8_t kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& map = MapOf(kind);
    auto it = map.find(tagAlias);
    return it == map.end() ? nullptr : it->second;
}

bool TagTable::CopyTagInfo(const std::string& tagAlias, int8_t kind, TagInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& map = MapOf(kind);
    auto it = map.find(tagAlias);
    if (it == map.end()) {
        return false;
    }
    info = it->second->GetInfo();
    return true;
}

std::vector<TagInfo> TagTable::ListTagInfos(int8_t kind, uint8_t rwMask) {
    std::vector<TagInfo> infos;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : MapOf(kind)) {
        if (rwMask == 0 || HasBit(entry.second->GetInfo().rwFlag, rwMask)) {
            infos.push_back(entry.second->GetInfo());
        }
    }
    return infos;
}

// ============================================================================= tag operations

std::unique_ptr<ProtocolHandler> TagTable::FamilyHandler() {
    return std::unique_ptr<ProtocolHandler>(
        ProtocolHandlerFactory::Create(session_.ConnectionInfo().family));
}

int TagTable::Fail(int code, std::string& message) {
    message = errorText(code);
    return code;
}

// The alias a remove or write request names; a PCCC tag may be named by its
// file address alone.
std::string TagTable::RequestedTagAlias(const Variant::MapType& map) const {
    std::string alias = TrimmedString(map, "Tag Alias");
    if (alias.empty() && session_.ConnectionInfo().family == kFamilyPccc) {
        alias = TrimmedString(map, "Tag Name");
    }
    return alias;
}

// The front of an add or edit: resets the answer, refuses a removed PLC and makes the family's
// handler; null with `result` set when either fails.
std::unique_ptr<ProtocolHandler> TagTable::BeginTagRequest(int failCode, std::string& tagAlias,
                                                           std::string& message, int& result) {
    tagAlias = "Unknown";
    message.clear();
    if (life_.retired.load()) {
        result = Fail(link_error::kPlcNotExist, message);
        return nullptr;
    }
    auto handler = FamilyHandler();
    if (handler == nullptr) {
        result = Fail(failCode, message);
    }
    return handler;
}

int TagTable::AddTag(EipConnection* testConnection, const Variant& tagObject, int8_t kind,
                     std::string& tagAlias, std::string& message, bool restore) {
    int result = 0;
    auto handler = BeginTagRequest(link_error::kAddTag, tagAlias, message, result);
    if (handler == nullptr) {
        return result;
    }
    TagParameterParser parser(kind, Variant(tagObject));
    result = parser.ParseForAdd(*handler);
    if (result != 0) {
        return Fail(result, message);
    }
    parser.FillMissingWithDefaults();
    TagInfo& info = parser.GetInfo();
    handler->PreProcessTagInfo(info);
    if (!info.alias.empty()) {
        tagAlias = info.alias;
    }
    result = ValidateOnAdd(kind, info);
    if (result != 0) {
        return Fail(result, message);
    }
    auto tag =
        CreateCheckedTag(testConnection, info, link_error::kAddTag, restore, result, message);
    if (tag == nullptr) {
        return result;
    }
    return DoAddTag(kind, std::move(tag), parser.GetSubtags(), message);
}

int TagTable::ValidateOnAdd(int8_t kind, const TagInfo& info) {
    int result = TagInfoValidator(kind).Validate(info);
    if (result != 0) {
        return result;
    }
    if (IsTagAliasExist(info.alias, kind)) {
        return link_error::kTagAliasExists;
    }
    if (IsTagNameExist(info.tagName, kind, info.alias)) {
        return link_error::kTagNameExists;
    }
    auto handler = FamilyHandler();
    return handler == nullptr ? link_error::kAddTag : handler->ValidateTagInfoOnAdd(info);
}

int TagTable::ValidateOnEdit(int8_t kind, const TagInfo& info) {
    int result = TagInfoValidator(kind).Validate(info);
    if (result != 0) {
        return result;
    }
    auto handler = FamilyHandler();
    return handler == nullptr ? link_error::kEditTag : handler->ValidateTagInfoOnEdit(info);
}

// The tag of info, built and checked against the PLC through testConnection; null with `result` set
// when either fails (failCode when building fails without a message). A tag the PLC does not
// have is kept when allowMissing (restoring a stored configuration).
std::shared_ptr<EipTag> TagTable::CreateCheckedTag(EipConnection* testConnection,
                                                   const TagInfo& info, int failCode,
                                                   bool allowMissing, int& result,
                                                   std::string& message) {
    auto tag = CreateTag(info, message);
    if (tag == nullptr) {
        result = message.empty() ? Fail(failCode, message) : link_error::kInvalidTagName;
        return nullptr;
    }
    result = TestAndUpdateTag(testConnection, tag.get(), message);
    if (result != 0 && !(allowMissing && result == -link_error::kTagNotFoundInPlc)) {
        return nullptr;
    }
    return tag;
}

std::shared_ptr<EipTag> TagTable::CreateTag(const TagInfo& info, std::string& message) {
    std::shared_ptr<EipTag> tag(EipTag::Create(session_.ConnectionInfo().family));
    if (tag == nullptr) {
        eiplog::Error("createTag", session_.Alias() + ": Create tag fail - " + info.alias);
        return nullptr;
    }
    tag->SetInfo(info);
    if (tag->ParsingTagName() < 0) {
        message = errorText(link_error::kInvalidTagName);
        return nullptr;
    }
    return tag;
}

int TagTable::TestAndUpdateTag(EipConnection* plcConnection, EipTag* tag, std::string& message) {
    TagInfo& info = tag->GetInfo();
    if (HasBit(info.rwFlag, kRwFlagIo)) {
        info.innerType = kInnerTypeSint;
        return 0;
    }
    tag->SetTested(false);
    auto response = std::make_unique<TagRequestSet>();
    // A read the controller answers without an item, or with an error status
    // for the item, is a tag the PLC does not know either.
    if (plcConnection == nullptr || plcConnection->TestExplicitTag(tag, *response) != 0 ||
        response->count < 1 || response->replies[0].generalStatus != 0) {
        message = errorText(link_error::kTagNotFoundInPlc);
        return -link_error::kTagNotFoundInPlc;
    }
    const TagReplySet& item = response->replies[0];
    const int32_t type = item.dataType;
    const int32_t supported = EipTag::SupportInnerType(type);
    if (supported != 0) {
        message = errorText(supported) + "(type=0x" + hex(static_cast<unsigned>(type), 4) + ")";
        return -1;
    }
    if (type == kInnerTypeStructure && item.structHandle != kStringStructHandle &&
        !(info.structure && info.structure->type)) {
        info.rwFlag = static_cast<uint8_t>(info.rwFlag & ~kRwFlagWrite);
        message = errorText(link_error::kStructRawOnly);
    }
    info.innerType = type;
    info.structHandle = item.structHandle;
    info.dataLen = item.dataLength;
    tag->SetTested(true);
    return 0;
}

// Gives an I/O tag its "Data" subtag covering the whole data.
void TagTable::AddDataSubTag(EipTag& tag, std::vector<SubTagInfo>& added) {
    const TagInfo& info = tag.GetInfo();
    if (HasBit(info.rwFlag, kRwFlagIo)) {
        const SubTagInfo data{kSubtagDataAlias, 0, kInnerTypeSint, info.dataLen};
        if (tag.AddSubTag(data) == 0) {
            added.push_back(data);
        }
    }
}

// Adds the subtags of a "Subtags" list to the tag; failures are listed in the
// message.
void TagTable::AddListedSubTags(EipTag& tag, const std::vector<Variant>& subtagList,
                                std::vector<SubTagInfo>& added, std::string& message) {
    std::vector<std::string> failed;
    for (const Variant& element : subtagList) {
        if (!element.is_map()) {
            continue;
        }
        SubTagInfo subtag;
        int fields = 0;
        EipTag::JsonToSubTagInfo(element, subtag, fields);
        if (fields == kSubtagFieldsAll && !subtag.alias.empty() && tag.AddSubTag(subtag) == 0) {
            added.push_back(subtag);
        } else {
            failed.push_back(subtag.alias);
        }
    }
    AppendFailedSubTags(message, failed);
}

int TagTable::DoAddTag(int8_t kind, std::shared_ptr<EipTag> tag,
                       const std::vector<Variant>& subtagList, std::string& message) {
    std::vector<SubTagInfo> subtags;
    if (!IsTagAliasExist(tag->GetInfo().alias, kind)) {
        AddDataSubTag(*tag, subtags);
        AddListedSubTags(*tag, subtagList, subtags, message);
    }
    if (AddTagToMap(std::move(tag), kind, &subtags) != 0) {
        return Fail(life_.retired.load() ? link_error::kPlcNotExist : link_error::kAddTag, message);
    }
    return 0;
}

int TagTable::AddTagToMap(std::shared_ptr<EipTag> tag, int8_t kind,
                          std::vector<SubTagInfo>* subtags) {
    const TagInfo info = tag->GetInfo();
    const std::string alias = session_.Alias();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& map = MapOf(kind);
        if (life_.retired.load()) {
            return -1;  // the PLC was removed while the tag was being checked
        }
        if (map.count(info.alias) != 0) {
            eiplog::Error("AddTagToMap", alias + ": Tag is already exist - " + info.alias);
            return -1;
        }
        if (eiplog::TraceOn()) {
            eiplog::Trace("AddTagToMap",
                          "Add a tag : name=\"" + info.tagName + "\", alias=\"" + info.alias +
                              "\", elementCnt=\"" + std::to_string(info.elementCount) +
                              "\", inner type=\"" + EipTag::InnerTypeToStr(info.innerType) + "\"");
        }
        map.emplace(info.alias, std::move(tag));
    }
    auto cb = callbacks_.Get();
    if (cb->tagNodeCreated) {
        cb->tagNodeCreated(alias, info, subtags);
    }
    return 0;
}

int TagTable::RemoveTagFromMap(const std::string& tagAlias, int8_t kind, bool notify) {
    std::shared_ptr<EipTag> tag;
    {
        auto pollListEditor = pollList_.Edit();
        std::lock_guard<std::mutex> mapLock(mutex_);
        auto& map = MapOf(kind);
        auto it = map.find(tagAlias);
        if (it == map.end()) {
            eiplog::Info("RemoveTagFromMap",
                         session_.Alias() + ": Tag alias is not exist - " + tagAlias);
            return -1;
        }
        tag = std::move(it->second);
        pollListEditor.Replace(tag.get(), nullptr);
        map.erase(it);
    }
    const TagInfo info = tag->GetInfo();
    std::vector<SubTagInfo> subtags = tag->GetSubTags();
    auto cb = callbacks_.Get();
    if (notify && cb->tagNodeRemoved) {
        cb->tagNodeRemoved(session_.Alias(), info, &subtags);
    }
    return 0;
}

int TagTable::ResetTag(int8_t kind) {
    for (;;) {
        std::string first;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto& map = MapOf(kind);
            if (map.empty()) {
                return 0;
            }
            first = map.begin()->first;
        }
        const int result = RemoveTagFromMap(first, kind, true);
        if (result != 0) {
            eiplog::Info("ResetTag", "fail to remove tag from map");
            return result;
        }
    }
}

bool TagTable::IsTagAliasExist(const std::string& tagAlias, int8_t kind) {
    return FindTagByAlias(tagAlias, kind) != nullptr;
}

bool TagTable::IsTagNameExist(const std::string& tagName, int8_t kind,
                              const std::string& ignoreAlias) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : MapOf(kind)) {
        if (entry.first != ignoreAlias && entry.second->GetInfo().tagName == tagName) {
            return true;
        }
    }
    return false;
}

int TagTable::RemoveTag(const Variant& tagObject, int8_t kind, std::string& tagAlias,
                        std::string& message) {
    tagAlias = "Unknown";
    message.clear();
    if (!tagObject.is_map()) {
        return Fail(link_error::kInvalidJson, message);
    }
    const auto& map = tagObject.as_map();
    const std::string alias = RequestedTagAlias(map);
    if (alias.empty()) {
        return Fail(link_error::kTagAliasNotInserted, message);
    }
    tagAlias = alias;
    auto subtags = map.find("Subtags");
    if (subtags == map.end() || !subtags->second.is_array()) {
        if (RemoveTagFromMap(alias, kind, true) != 0) {
            return Fail(link_error::kRemoveTag, message);
        }
        return 0;
    }
    std::vector<std::string> failed;
    for (const Variant& element : subtags->second.as_array()) {
        std::string subAlias;
        if (element.is_string()) {
            subAlias = element.as_string();
            TrimSpaces(subAlias);
        } else if (element.is_map()) {
            SubTagInfo subtag;
            int fields = 0;
            subAlias = EipTag::JsonToSubTagInfo(element, subtag, fields);
        }
        if (subAlias.empty() || RemoveSubTag(alias, subAlias, true) != 0) {
            failed.push_back(subAlias);
        }
    }
    AppendFailedSubTags(message, failed);
    return 0;
}

int TagTable::EditTag(EipConnection* testConnection, const Variant& tagObject, int8_t kind,
                      std::string& tagAlias, std::string& message) {
    int result = 0;
    auto handler = BeginTagRequest(link_error::kEditTag, tagAlias, message, result);
    if (handler == nullptr) {
        return result;
    }
    TagParameterParser parser(kind, Variant(tagObject));
    result = parser.ParseForEdit(*handler);
    if (result != 0) {
        return Fail(result, message);
    }
    TagInfo& info = parser.GetInfo();
    TagInfo& extra = parser.GetExtra();
    handler->PreProcessTagInfo(info);
    if (info.alias.empty()) {
        return Fail(link_error::kTagAliasNotInserted, message);
    }
    const std::string oldAlias = info.alias;
    tagAlias = oldAlias;
    TagInfo old;
    if (!CopyTagInfo(oldAlias, kind, old)) {
        return Fail(link_error::kTagNotExist, message);
    }
    result = handler->PostProcessTagInfoOnEdit(info, extra, old);
    if (result != 0) {
        return Fail(result, message);
    }
    const std::string newAlias = extra.alias;
    if (!newAlias.empty() && newAlias != oldAlias && IsTagAliasExist(newAlias, kind)) {
        return Fail(link_error::kNewTagAliasExists, message);
    }
    if (!info.tagName.empty() && info.tagName != old.tagName &&
        IsTagNameExist(info.tagName, kind, oldAlias)) {
        return Fail(link_error::kTagNameExists, message);
    }
    parser.CopyMissingFrom(old);
    if (!newAlias.empty()) {
        info.alias = newAlias;
    }
    result = ValidateOnEdit(kind, info);
    if (result != 0) {
        return Fail(result, message);
    }
    auto tag = CreateCheckedTag(testConnection, info, link_error::kEditTag, false, result, message);
    if (tag == nullptr) {
        return result;
    }
    return DoEditTag(kind, oldAlias, std::move(tag), parser.GetSubtags(), message);
}

// Replaces the tag under oldAlias by newTag in one step under the locks; the
// poll list gets the new tag in the old one's place (or loses it when the new
// tag is not read). An I/O tag keeps the subtags that still fit its data.
int TagTable::DoEditTag(int8_t kind, const std::string& oldAlias, std::shared_ptr<EipTag> newTag,
                        const std::vector<Variant>& subtagList, std::string& message) {
    const TagInfo info = newTag->GetInfo();
    std::vector<SubTagInfo> keptSubTags;
    if (auto current = FindTagByAlias(oldAlias, kind)) {
        keptSubTags = current->GetSubTags();
    }
    std::vector<SubTagInfo> subtags;
    AddDataSubTag(*newTag, subtags);
    std::vector<std::string> dropped;
    for (const auto& subtag : keptSubTags) {
        if (subtag.alias == kSubtagDataAlias) {
            continue;
        }
        if (newTag->AddSubTag(subtag) == 0) {
            subtags.push_back(subtag);
        } else {
            dropped.push_back(subtag.alias);
        }
    }
    AppendFailedSubTags(message, dropped);
    AddListedSubTags(*newTag, subtagList, subtags, message);

    std::shared_ptr<EipTag> oldTag;
    {
        auto pollListEditor = pollList_.Edit();
        std::lock_guard<std::mutex> mapLock(mutex_);
        auto& map = MapOf(kind);
        auto it = map.find(oldAlias);
        if (it == map.end()) {
            return Fail(link_error::kRemoveTag, message);
        }
        if (info.alias != oldAlias && map.count(info.alias) != 0) {
            return Fail(link_error::kAddTag, message);
        }
        oldTag = std::move(it->second);
        pollListEditor.Replace(oldTag.get(), HasBit(info.rwFlag, kRwFlagRead) ? newTag : nullptr);
        map.erase(it);
        map.emplace(info.alias, std::move(newTag));
    }
    const TagInfo oldInfo = oldTag->GetInfo();
    std::vector<SubTagInfo> oldSubTags = oldTag->GetSubTags();
    auto cb = callbacks_.Get();
    const std::string alias = session_.Alias();
    if (cb->tagNodeRemoved) {
        cb->tagNodeRemoved(alias, oldInfo, &oldSubTags);
    }
    if (cb->tagNodeCreated) {
        cb->tagNodeCreated(alias, info, &subtags);
    }
    return 0;
}

int TagTable::WriteTag(EipConnection* testConnection, const Variant& tagObject, int8_t kind,
                       std::string& tagAlias, std::string& message) {
    tagAlias = "Unknown";
    message.clear();
    if (!tagObject.is_map()) {
        return Fail(link_error::kInvalidJson, message);
    }
    const auto& map = tagObject.as_map();
    const std::string alias = RequestedTagAlias(map);
    if (!alias.empty()) {
        tagAlias = alias;
    }
    auto value = map.find("value");
    if (value == map.end()) {
        return Fail(link_error::kInvalidJson, message);
    }
    return WriteTagByAlias(testConnection, alias, value->second, kind, message);
}

int TagTable::WriteTagByAlias(EipConnection* plcConnection, const std::string& tagAlias,
                              const Variant& value, int8_t kind, std::string& message) {
    message.clear();
    if (life_.retired.load()) {
        return Fail(link_error::kPlcNotExist, message);
    }
    if (tagAlias.empty()) {
        return Fail(link_error::kTagAliasNotInserted, message);
    }
    TagInfo info;
    if (!CopyTagInfo(tagAlias, kind, info)) {
        return Fail(link_error::kTagNotExist, message);
    }
    if (!HasBit(info.rwFlag, kRwFlagWrite)) {
        return Fail(link_error::kTagNotWriteable, message);
    }
    // The write works on its own copy of the tag, so that polling and the other
    // actions never wait for the PLC's answer.
    std::string ignored;
    const std::shared_ptr<EipTag> tag = CreateTag(info, ignored);
    if (tag == nullptr) {
        return Fail(link_error::kWriteTag, message);
    }
    std::vector<uint8_t> bytes;
    int32_t length = 0;
    if (info.structure && info.structure->type) {
        length = MergeStructure(plcConnection, *tag, value, bytes, message);
    } else {
        // Room for the whole value the test read learned (a large array goes out in fragments).
        bytes.resize(std::clamp<size_t>(static_cast<size_t>(std::max(tag->GetInfo().dataLen, 0)),
                                        kMinWriteBytes, 0xFFFF));
        length = tag->ConvertVexa2Raw(value, bytes.data(), static_cast<uint16_t>(bytes.size()));
    }
    if (length <= 0) {
        const std::string reason = message;
        Fail(link_error::kInvalidValue, message);
        if (!reason.empty()) {
            message += ": " + reason;
        }
        return link_error::kInvalidValue;
    }
    if (plcConnection == nullptr ||
        plcConnection->WriteDataToTag(tag->GetInfo(), tag->GetTagData(), bytes.data(),
                                      static_cast<uint16_t>(length)) != 0) {
        return Fail(link_error::kWriteTag, message);
    }
    return 0;
}

// A structure write: the controller's current value with what value names merged in, so that
// members it leaves out keep their value. The bytes' length, or 0 with the refusal in reason
// (nothing is written).
int32_t TagTable::MergeStructure(EipConnection* plcConnection, const EipTag& tag,
                                 const Variant& value, std::vector<uint8_t>& bytes,
                                 std::string& reason) {
    const LogixStructureType& type = *tag.GetInfo().structure->type;
    TagReplySet current;
    if (plcConnection == nullptr ||
        plcConnection->ReadCurrentValue(tag.GetTagData(), current) != 0) {
        reason = "current value not read";
        return 0;
    }
    if (current.structHandle != type.top->handle) {
        reason = type.top->name + " changed in the controller; add the tag again";
        return 0;
    }
    if (!type.Encode(value, ByteView{current.data.data(), current.data.size()}, bytes, reason) ||
        bytes.size() > 0xFFFF) {
        return 0;
    }
    return static_cast<int32_t>(bytes.size());
}

// ======================================================================================= subtags

// Runs fn on the I/O tag under the tag-map lock; logs and returns false when
// the tag does not exist.
template <typename Fn>
bool TagTable::WithIOTag(const char* operation, const std::string& tagAlias, Fn fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ioTagMap_.find(tagAlias);
    if (it == ioTagMap_.end()) {
        eiplog::Error(operation, session_.Alias() + ": Tag alias does not exist - " + tagAlias);
        return false;
    }
    fn(*it->second);
    return true;
}

int TagTable::AddSubTag(const std::string& tagAlias, const SubTagInfo& subtag, bool notify) {
    int result = -1;
    TagInfo info;
    WithIOTag("AddSubTag", tagAlias, [&](EipTag& tag) {
        result = tag.AddSubTag(subtag);
        info = tag.GetInfo();
    });
    auto cb = callbacks_.Get();
    if (result == 0 && notify && cb->subTagNodeCreated) {
        cb->subTagNodeCreated(session_.Alias(), info, subtag);
    }
    return result;
}

int TagTable::EditSubTag(const std::string& tagAlias, const std::string& oldSubTagAlias,
                         const SubTagInfo& subtag, bool notify) {
    int result = -1;
    TagInfo info;
    SubTagInfo old;
    WithIOTag("EditSubTag", tagAlias, [&](EipTag& tag) {
        old = tag.GetSubTagInfo(oldSubTagAlias);
        result = tag.EditSubTag(oldSubTagAlias, subtag);
        info = tag.GetInfo();
    });
    // "Data" is fixed: the edit succeeds without changing anything.
    if (result != 0 || !notify || oldSubTagAlias == kSubtagDataAlias) {
        return result;
    }
    auto cb = callbacks_.Get();
    const std::string alias = session_.Alias();
    if (cb->subTagNodeRemoved) {
        cb->subTagNodeRemoved(alias, info, old);
    }
    if (cb->subTagNodeCreated) {
        cb->subTagNodeCreated(alias, info, subtag);
    }
    return 0;
}

int TagTable::RemoveSubTag(const std::string& tagAlias, const std::string& subTagAlias,
                           bool notify) {
    int result = -1;
    TagInfo info;
    SubTagInfo old;
    WithIOTag("RemoveSubTag", tagAlias, [&](EipTag& tag) {
        old = tag.GetSubTagInfo(subTagAlias);
        result = tag.RemoveSubTag(subTagAlias);
        info = tag.GetInfo();
    });
    auto cb = callbacks_.Get();
    if (result == 0 && notify && subTagAlias != kSubtagDataAlias && cb->subTagNodeRemoved) {
        cb->subTagNodeRemoved(session_.Alias(), info, old);
    }
    return result;
}

int TagTable::ImportSubTags(const std::string& tagAlias, const Variant& subtags,
                            std::string& message) {
    message.clear();
    if (!subtags.is_array()) {
        return Fail(link_error::kInvalidJson, message);
    }
    bool failed = false;
    for (const Variant& element : subtags.as_array()) {
        SubTagInfo subtag;
        int fields = 0;
        EipTag::JsonToSubTagInfo(element, subtag, fields);
        if (subtag.alias.empty() || AddSubTag(tagAlias, subtag, true) != 0) {
            failed = true;
        }
    }
    return failed ? Fail(link_error::kImportSubtag, message) : 0;
}

// ================================================================================== persistence

void TagTable::AddPersistenceTagStr(const NodePath& path, const std::string& text) {
    std::lock_guard<std::mutex> lock(persistMutex_);
    persistedTagStrings_.emplace(path, text);
}

void TagTable::AddPersistenceSubTagStr(const NodePath& path, const SubTagInfo& subtag) {
    std::lock_guard<std::mutex> lock(persistMutex_);
    persistedSubTags_.emplace(path, subtag);
}

size_t TagTable::PersistedTagCount() {
    std::lock_guard<std::mutex> lock(persistMutex_);
    return persistedTagStrings_.size();
}

bool TagTable::ReplayPersistedTags(const EipDeviceCallbacks& cb) {
    std::map<NodePath, std::string> tagStrings;
    std::map<NodePath, SubTagInfo> subtags;
    {
        std::lock_guard<std::mutex> lock(persistMutex_);
        tagStrings.swap(persistedTagStrings_);
        subtags.swap(persistedSubTags_);
    }
    if (tagStrings.empty() && subtags.empty()) {
        return true;
    }
    std::unique_ptr<EipConnection> test;
    if (!tagStrings.empty()) {
        std::string message;
        test.reset(EipConnection::MakeTestConnection(session_.ConnectionInfo(), message,
                                                     session_.StopFd()));
        if (test == nullptr) {
            {
                std::lock_guard<std::mutex> lock(persistMutex_);
                persistedTagStrings_.insert(tagStrings.begin(), tagStrings.end());
                persistedSubTags_.insert(subtags.begin(), subtags.end());
            }
            return false;
        }
    }
    for (const auto& entry : tagStrings) {
        ReplayPersistedTag(cb, test.get(), entry.first, entry.second);
    }
    for (const auto& entry : subtags) {
        if (entry.second.alias != kSubtagDataAlias) {
            AddSubTag(
                kestrel::strata_sdk::string_unescape(entry.first.get_parent_path().get_name()),
                entry.second, true);
        }
    }
    return true;
}

void TagTable::ReplayPersistedTag(const EipDeviceCallbacks& cb, EipConnection* test,
                                  const NodePath& path, const std::string& text) {
    const std::string tagAlias = kestrel::strata_sdk::string_unescape(path.get_name());
    const int8_t kind =
        path.get_parent_path().get_parent_path().get_name() == "EM Tags" ? kKindExplicit : kKindIO;
    if (IsTagAliasExist(tagAlias, kind)) {
        return;
    }
    Variant object;
    try {
        object = kestrel::strata_sdk::json::from_json_string(text);
    } catch (const std::exception&) {
        eiplog::Error("CreatePersistenceTag", "Failed to parse persistence tag: " + text);
        return;
    }
    std::string addedAlias;
    std::string message;
    const int result = AddTag(test, object, kind, addedAlias, message, true);
    if (result != 0) {
        eiplog::Info("CreatePersistenceTag", "error - " + message);
    }
    // A tag kept untested, or added with a remark, shows why on its node.
    if ((result != 0 || !message.empty()) && cb.tagStatus) {
        cb.tagStatus(session_.Alias(), tagAlias, kind, message);
    }
}

int TagTable::ExportTags(int8_t kind, std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto& map = MapOf(kind);
    if (map.empty()) {
        text = errorText(link_error::kTagNotExist);
        return -1;
    }
    text = "[";
    bool first = true;
    for (const auto& entry : map) {
        if (!first) {
            text += ",\n";
        }
        first = false;
        text += entry.second->ExportTag();
    }
    text += "]";
    return 0;
}

int TagTable::ExportSubTags(const std::string& tagAlias, std::string& text) {
    int written = -1;
    const bool found = WithIOTag("ExportSubTags", tagAlias,
                                 [&](EipTag& tag) { written = tag.ExportSubTags(text); });
    if (!found) {
        text = errorText(link_error::kTagNotExist);
        return -1;
    }
    if (written <= 0) {
        text = errorText(link_error::kSubtagsNotExist);
        return -1;
    }
    return 0;
}

// ======================================================================= polling and value queue

std::vector<PolledTag> TagTable::ReadTags() {
    std::vector<PolledTag> tags;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : explicitTagMap_) {
        const TagInfo& info = entry.second->GetInfo();
        if (HasBit(info.rwFlag, kRwFlagRead)) {
            tags.push_back(PolledTag{entry.second, std::make_shared<const TagInfo>(info)});
        }
    }
    return tags;
}

bool TagTable::StillMapped(const EipTag& tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = explicitTagMap_.find(tag.GetInfo().alias);
    return it != explicitTagMap_.end() && it->second.get() == &tag;
}

void TagTable::LearnDataLength(PolledTag& polled, int32_t dataLength) {
    std::lock_guard<std::mutex> lock(mutex_);
    TagInfo& info = polled.tag->GetInfo();
    info.dataLen = dataLength;
    polled.record = std::make_shared<const TagInfo>(info);
}

// Learned through the polling connection on the socket thread, on a copy of the tag, so that
// actions reading the tag never wait for the PLC.
bool TagTable::RelearnStructure(EipConnection& plcConnection, PolledTag& polled) {
    TagInfo info;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        info = polled.tag->GetInfo();
    }
    std::string ignored;
    const std::shared_ptr<EipTag> probe = CreateTag(info, ignored);
    auto response = std::make_unique<TagRequestSet>();
    if (probe == nullptr || plcConnection.TestExplicitTag(probe.get(), *response) != 0 ||
        !probe->GetInfo().structure) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    TagInfo& current = polled.tag->GetInfo();
    current.structure = probe->GetInfo().structure;
    if (current.structure->type) {
        current.structHandle = current.structure->type->top->handle;
    }
    polled.record = std::make_shared<const TagInfo>(current);
    return true;
}

std::vector<SubTagInfo> TagTable::IoSubTags(const std::string& tagAlias) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ioTagMap_.find(tagAlias);
    return it == ioTagMap_.end() ? std::vector<SubTagInfo>() : it->second->GetSubTags();
}
