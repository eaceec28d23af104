#pragma once

// Tag parameter policy of Logix controllers: no extra keys on add, "New Tag Alias" on edit.

#include "tag/protocol_handler.h"

class ControlLogixHandler : public ProtocolHandler {
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
