#pragma once

// Logix symbolic tag names (Line1.Motors[3].Speed, Buffer[10~19]) turned into the CIP request
// path and element count of Read Tag / Write Tag.

#include "family/eip_tagdata.h"

class ControlLogixTagData : public EipTagData {
  public:
    // The request path must fit its one-byte word count.
    static constexpr size_t kMaxRequestPathBytes = 510;

    // Read Tag carries the whole encoded address; Write Tag (forRead false) leaves out the
    // trailing element count because it supplies type and count itself.
    int32_t FillData(bool forRead, uint8_t* buffer, uint16_t offset,
                     uint16_t capacity) const override;
    bool ParseTagName(const std::string& name, const std::string& alias) override;
};
