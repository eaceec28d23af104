#pragma once

// Tag parameter policy of Logix controllers: no extra keys on add, "New Tag Alias" on edit.

#include "tag/protocol_handler.h"

class ControlLogixHandler : public ProtocolHandler {
  public:
    bool IsConnectionUp(uint8_t ucmm, uint8_t em) const override;
    int ParseExtraParamsOnAdd(const std::string& key, const Variant& value, _eipTagInfo& info,
                              _eipTagInfo& extra) const override;
    int ParseExtraParamsOnEdit(const std::string& key, const Variant& value, _eipTagInfo& info,
                               _eipTagInfo& extra) const override;
    void PreProcessTagInfo(_eipTagInfo& info) const override;
    int PostProcessTagInfoOnEdit(_eipTagInfo& info, _eipTagInfo& extra,
                                 const _eipTagInfo& old) const override;
    int ValidateTagInfoOnAdd(const _eipTagInfo& info) const override;
    int ValidateTagInfoOnEdit(const _eipTagInfo& info) const override;
};
