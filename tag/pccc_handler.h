#pragma once

// Tag parameter policy of PLC5-class controllers: the "PLC5Address" is required on add and may
// never change on edit; alias and tag name stand in for each other.

#include "tag/protocol_handler.h"

class PcccHandler : public ProtocolHandler {
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
