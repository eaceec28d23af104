#pragma once

// Tag parameter policy of PLC5-class controllers: the "PLC5Address" is required on add and may
// never change on edit; alias and tag name stand in for each other.

#include "tag/protocol_handler.h"

class PcccHandler : public ProtocolHandler {
  public:
    bool IsConnectionUp(uint8_t ucmm, uint8_t em) const override;
    int ParseExtraParamsOnAdd(const std::string& key, const Variant& value, TagInfo& info,
                              TagInfo& extra) const override;
    int ParseExtraParamsOnEdit(const std::string& key, const Variant& value, TagInfo& info,
                               TagInfo& extra) const override;
    void PreProcessTagInfo(TagInfo& info) const override;
    int PostProcessTagInfoOnEdit(TagInfo& info, TagInfo& extra, const TagInfo& old) const override;
    int ValidateTagInfoOnAdd(const TagInfo& info) const override;
    int ValidateTagInfoOnEdit(const TagInfo& info) const override;
};
