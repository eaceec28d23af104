// Subtags: named slices (offset, length, inner type) of an I/O tag's data block.

#include <cstdio>

#include "common/eip_log.h"
#include "tag/eip_tag.h"

using kestrel::strata_sdk::Variant;

namespace {

// A text as a JSON string body, so that any text survives export and import.
std::string JsonEscaped(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            escaped += '\\';
            escaped += c;
        } else if (byte < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", byte);
            escaped += code;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void LogSubtagMissing(const char* operation, const std::string& alias) {
    eiplog::Info(operation, "Subtag alias is not exist - " + alias);
}

}  // namespace

bool EipTag::IsValidSubTagInfo(const SubTagInfo& subtag) const {
    const int64_t tagLength = info.dataLen;
    const int64_t offset = subtag.offset;
    const int64_t length = subtag.dataLen;
    if (offset < 0 || offset >= tagLength || length <= 0) {
        return false;
    }
    // Whole numbers only: an INT slice of 3 bytes has no meaning.
    if (subtag.innerType >= kInnerTypeInt && subtag.innerType <= kInnerTypeReal &&
        length % GetInnerTypeLength(subtag.innerType) != 0) {
        return false;
    }
    return offset + length <= tagLength;
}

int EipTag::AddSubTag(const SubTagInfo& subtag) {
    std::lock_guard<std::mutex> lock(subtagMutex);
    if (!IsValidSubTagInfo(subtag)) {
        eiplog::Error("AddSubTag", "Invalid subtag info");
        return -1;
    }
    if (!subtags.emplace(subtag.alias, subtag).second) {
        eiplog::Error("AddSubTag", "Subtag alias is already exist - " + subtag.alias);
        return -1;
    }
    return 0;
}

int EipTag::EditSubTag(const std::string& oldAlias, const SubTagInfo& subtag) {
    std::lock_guard<std::mutex> lock(subtagMutex);
    if (oldAlias == kSubtagDataAlias) {
        return 0;
    }
    if (!IsValidSubTagInfo(subtag)) {
        eiplog::Error("EditSubTag", "Invalid subtag info");
        return -1;
    }
    const auto entry = subtags.find(oldAlias);
    if (entry == subtags.end()) {
        LogSubtagMissing("EditSubTag", oldAlias);
        return -1;
    }
    // Renaming onto another subtag would drop the edited one: refuse before changing anything.
    if (subtag.alias != oldAlias && subtags.count(subtag.alias) != 0) {
        eiplog::Error("EditSubTag", "Subtag alias is already exist - " + subtag.alias);
        return -1;
    }
    subtags.erase(entry);
    subtags.emplace(subtag.alias, subtag);
    return 0;
}

int EipTag::RemoveSubTag(const std::string& alias) {
    std::lock_guard<std::mutex> lock(subtagMutex);
    if (alias == kSubtagDataAlias) {
        return 0;
    }
    if (subtags.erase(alias) == 0) {
        LogSubtagMissing("RemoveSubTag", alias);
        return -1;
    }
    return 0;
}

SubTagInfo EipTag::GetSubTagInfo(const std::string& alias) const {
    std::lock_guard<std::mutex> lock(subtagMutex);
    const auto entry = subtags.find(alias);
    if (entry == subtags.end()) {
        LogSubtagMissing("GetSubTagInfo", alias);
        return SubTagInfo{};
    }
    return entry->second;
}

std::vector<SubTagInfo> EipTag::GetSubTags() const {
    std::lock_guard<std::mutex> lock(subtagMutex);
    std::vector<SubTagInfo> list;
    list.reserve(subtags.size());
    for (const auto& entry : subtags) {
        list.push_back(entry.second);
    }
    return list;
}

std::string EipTag::JsonToSubTagInfo(const Variant& value, SubTagInfo& subtag, int& fields) {
    std::string storedAlias;
    if (subtag.alias.empty()) {
        subtag.offset = 0;
        subtag.innerType = 0;
        subtag.dataLen = 0;
    }
    if (!value.is_map()) {
        return storedAlias;
    }
    std::string newAlias;
    for (const auto& member : value.as_map()) {
        std::string key = member.first;
        TrimSpaces(key);
        const Variant& field = member.second;
        const bool isInteger = field.is_int() || field.is_uint();
        if (key == "Alias" && field.is_string()) {
            subtag.alias = field.as_string();
            TrimSpaces(subtag.alias);
            fields |= kSubtagFieldAlias;
        } else if (key == "New Alias" && field.is_string()) {
            newAlias = field.as_string();
            TrimSpaces(newAlias);
        } else if (key == "Offset" && isInteger) {
            subtag.offset = static_cast<int32_t>(field.is_int() ? field.as_int() : field.as_uint());
            fields |= kSubtagFieldOffset;
        } else if (key == "InnerType" && field.is_string()) {
            std::string typeText = field.as_string();
            TrimSpaces(typeText);
            subtag.innerType = StrToInnerType(typeText);
            fields |= kSubtagFieldInnerType;
        } else if (key == "DataLen" && isInteger) {
            subtag.dataLen =
                static_cast<int32_t>(field.is_int() ? field.as_int() : field.as_uint());
            fields |= kSubtagFieldDataLen;
        }
    }
    if (subtag.alias.empty()) {
        return newAlias;
    }
    storedAlias = subtag.alias;
    if (!newAlias.empty()) {
        subtag.alias = newAlias;
    }
    if (subtag.innerType == 0) {
        subtag.innerType = kInnerTypeSint;
    }
    if (subtag.dataLen == 0) {
        subtag.dataLen = GetInnerTypeLength(subtag.innerType);
    }
    return storedAlias;
}

// {"Tag Alias":"<alias>", "Tag Name":"<name>", "OutputType":"<type>", "RW Flag":"<flag>",
//  "DataLen":<n>, "Description":"<text>"[\n,"Subtags":<ExportSubTags>]}
// Every text is a JSON string body, so that Add Tags takes the entry back as it was.
std::string EipTag::ExportTag() const {
    std::string out = "{\"Tag Alias\":\"" + JsonEscaped(info.alias) + "\", \"Tag Name\":\"" +
                      JsonEscaped(info.tagName) + "\", \"OutputType\":\"" +
                      OutputTypeToStr(info.outputType) + "\", \"RW Flag\":\"" +
                      RWFlagToStr(info.rwFlag) + "\", \"DataLen\":" + std::to_string(info.dataLen) +
                      ", \"Description\":\"" + JsonEscaped(info.description) + "\"";
    std::string subtagList;
    if (ExportSubTags(subtagList) > 0) {
        out += "\n,\"Subtags\":" + subtagList;
    }
    return out + "}";
}

// One entry: {"Alias":"<alias>", "Offset":<n>, "InnerType":"<type>", "DataLen":<n>}
int EipTag::ExportSubTags(std::string& out) const {
    out = "[";
    int written = 0;
    std::lock_guard<std::mutex> lock(subtagMutex);
    for (const auto& entry : subtags) {
        const SubTagInfo& subtag = entry.second;
        if (subtag.alias == kSubtagDataAlias) {
            continue;
        }
        if (written > 0) {
            out += ",\n";
        }
        out += "{\"Alias\":\"" + JsonEscaped(subtag.alias) +
               "\", \"Offset\":" + std::to_string(subtag.offset) + ", \"InnerType\":\"" +
               InnerTypeToStr(subtag.innerType) +
               "\", \"DataLen\":" + std::to_string(subtag.dataLen) + "}";
        ++written;
    }
    out += "]";
    return written;
}
