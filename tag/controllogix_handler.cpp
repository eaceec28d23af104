#include "tag/controllogix_handler.h"

#include "action/link_errors.h"

bool ControlLogixHandler::IsConnectionUp(uint8_t /*ucmm*/, uint8_t em) const {
    // Logix tags are read over the Forward Open connection.
    return em != 0;
}

int ControlLogixHandler::ParseExtraParamsOnAdd(const std::string& /*key*/, const Variant& /*value*/,
                                               TagInfo& /*info*/, TagInfo& /*extra*/) const {
    return link_error::kInvalidJson;
}

int ControlLogixHandler::ParseExtraParamsOnEdit(const std::string& key, const Variant& value,
                                                TagInfo& /*info*/, TagInfo& extra) const {
    if (key == "New Tag Alias" && value.is_string()) {
        extra.alias = value.as_string();
        TrimSpaces(extra.alias);
        return 0;
    }
    return link_error::kInvalidJson;
}

void ControlLogixHandler::PreProcessTagInfo(TagInfo& /*info*/) const {}

int ControlLogixHandler::PostProcessTagInfoOnEdit(TagInfo& /*info*/, TagInfo& /*extra*/,
                                                  const TagInfo& /*old*/) const {
    return 0;
}

int ControlLogixHandler::ValidateTagInfoOnAdd(const TagInfo& /*info*/) const {
    return 0;
}

int ControlLogixHandler::ValidateTagInfoOnEdit(const TagInfo& /*info*/) const {
    return 0;
}
