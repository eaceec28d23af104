#include "tag/pccc_handler.h"

#include "action/link_errors.h"

namespace {

// Stores a trimmed string value; false when the value is not a string.
bool TakeTrimmedString(const kestrel::strata_sdk::Variant& value, std::string& out) {
    if (!value.is_string()) {
        return false;
    }
    out = value.as_string();
    TrimSpaces(out);
    return true;
}

// A PCCC tag has no symbolic name: alias and tag name stand in for each other.
void FillAliasAndName(TagInfo& info) {
    if (!info.alias.empty() && info.tagName.empty()) {
        info.tagName = info.alias;
    } else if (info.alias.empty() && !info.tagName.empty()) {
        info.alias = info.tagName;
    }
}

}  // namespace

bool PcccHandler::IsConnectionUp(uint8_t ucmm, uint8_t /*em*/) const {
    // PCCC requests travel unconnected.
    return ucmm != 0;
}

int PcccHandler::ParseExtraParamsOnAdd(const std::string& key, const Variant& value, TagInfo& info,
                                       TagInfo& /*extra*/) const {
    if (key == "PLC5Address" && TakeTrimmedString(value, info.plc5Address)) {
        return 0;
    }
    return link_error::kInvalidJson;
}

int PcccHandler::ParseExtraParamsOnEdit(const std::string& key, const Variant& value,
                                        TagInfo& /*info*/, TagInfo& extra) const {
    if ((key == "PLC5Address" && TakeTrimmedString(value, extra.plc5Address)) ||
        (key == "New Tag Alias" && TakeTrimmedString(value, extra.alias)) ||
        (key == "Tag Rename" && TakeTrimmedString(value, extra.tagName))) {
        return 0;
    }
    return link_error::kInvalidJson;
}

void PcccHandler::PreProcessTagInfo(TagInfo& info) const {
    FillAliasAndName(info);
}

int PcccHandler::PostProcessTagInfoOnEdit(TagInfo& info, TagInfo& extra, const TagInfo& old) const {
    if (!extra.plc5Address.empty() && extra.plc5Address != old.plc5Address) {
        return link_error::kPlc5AddressChange;
    }
    info.plc5Address = old.plc5Address;
    FillAliasAndName(extra);
    if (info.tagName.empty()) {
        info.tagName = extra.tagName;
    }
    return 0;
}

int PcccHandler::ValidateTagInfoOnAdd(const TagInfo& info) const {
    return info.plc5Address.empty() ? link_error::kPlc5AddressNotPresent : 0;
}

int PcccHandler::ValidateTagInfoOnEdit(const TagInfo& /*info*/) const {
    return 0;
}
