#pragma once

// Per-family policy for tag parameters: which extra keys exist, how a record is completed, what
// is required, and when the PLC counts as connected. Results are link error codes (0 success).
// Handlers hold no state and may be called from any thread.

#include <cstdint>
#include <string>

#include "common/eip_utils.h"
#include "strata_sdk/sdk.h"

class ProtocolHandler {
  public:
    using Variant = kestrel::strata_sdk::Variant;

    virtual ~ProtocolHandler() = default;

    // ucmm: the unconnected session is up; em: the explicit-message (Forward Open) connection.
    virtual bool IsConnectionUp(uint8_t ucmm, uint8_t em) const = 0;
    // Keys of an Add Tags / Edit Tags object that the common parser does not know.
    virtual int ParseExtraParamsOnAdd(const std::string& key, const Variant& value, TagInfo& info,
                                      TagInfo& extra) const = 0;
    virtual int ParseExtraParamsOnEdit(const std::string& key, const Variant& value, TagInfo& info,
                                       TagInfo& extra) const = 0;
    virtual void PreProcessTagInfo(TagInfo& info) const = 0;
    virtual int PostProcessTagInfoOnEdit(TagInfo& info, TagInfo& extra,
                                         const TagInfo& old) const = 0;
    virtual int ValidateTagInfoOnAdd(const TagInfo& info) const = 0;
    virtual int ValidateTagInfoOnEdit(const TagInfo& info) const = 0;
};
