#include "tag/controllogix_handler.h"

#include "action/tesselLink_error_code.h"

bool ControlLogixHandler::IsConnectionUp(uint8_t /*ucmm*/, uint8_t em) const {
    // Logix tags are read over the Forward Open connection.
    return em != 0;
}

int ControlLogixHandler::ParseExtraParamsOnAdd(const std::string& /*key*/, const Variant& /*value*/,
                                               _eipTagInfo& /*info*/,
                                               _eipTagInfo& /*extra*/) const {
    return tessel::TL_ERR_INVALID_JSON;
}

int ControlLogixHandler::ParseExtraParamsOnEdit(const std::string& key, const Variant& value,
                                                _eipTagInfo& /*info*/, _eipTagInfo& extra) const {
    if (key == "New Tag Alias" && value.is_string()) {
        extra.alias = value.as_string();
        Tessel_TrimString(extra.alias);
        return 0;
    }
    return tessel::TL_ERR_INVALID_JSON;
}

void ControlLogixHandler::PreProcessTagInfo(_eipTagInfo& /*info*/) const {}

int ControlLogixHandler::PostProcessTagInfoOnEdit(_eipTagInfo& /*info*/, _eipTagInfo& /*extra*/,
                                                  const _eipTagInfo& /*old*/) const {
    return 0;
}

int ControlLogixHandler::ValidateTagInfoOnAdd(const _eipTagInfo& /*info*/) const {
    return 0;
}

int ControlLogixHandler::ValidateTagInfoOnEdit(const _eipTagInfo& /*info*/) const {
    return 0;
}
