#pragma once

// A tag of a PLC5-class controller (PCCC), addressed by its data-table address in
// info.plc5Address.

#include "family/pccc_tagdata.h"
#include "tag/eip_tag.h"

class PcccTag : public EipTag {
  public:
    PcccTag();

    void SetInfo(const TagInfo& tagInfo) override;
    const EipTagData& GetTagData() const override { return tagData; }
    int32_t ParsingTagName() override;
    // ST elements are written as an 84-byte element with byte-swapped character pairs; the
    // Logix-only string types are refused; numbers follow the Logix rules.
    int32_t ConvertJson2Raw(const Variant& value, uint8_t* buffer, uint16_t size) const override;

  private:
    PcccTagData tagData;
};
