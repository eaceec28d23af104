#pragma once

// A tag of a Logix controller (CIP/EIP), addressed by its symbolic name in info.tagName.

#include "family/controllogix_tagdata.h"
#include "tag/eip_tag.h"

class ControlLogixTag : public EipTag {
  public:
    ControlLogixTag();

    void SetInfo(const TagInfo& tagInfo) override;
    const EipTagData& GetTagData() const override { return tagData; }
    const ControlLogixTagData& GetLogixTagData() const { return tagData; }
    int32_t ParsingTagName() override;

  private:
    ControlLogixTagData tagData;
};
