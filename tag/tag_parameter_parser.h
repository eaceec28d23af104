#pragma once

// Turns the parameter map of one Add Tags / Edit Tags object into a working tag record. Keys it
// does not know are handed to a per-family callback (ProtocolHandler::ParseExtraParamsOn...).
// Threads: one parser serves one Add Tags / Edit Tags object on the calling thread; it is
// never shared, so it takes no lock.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/eip_utils.h"
#include "strata_sdk/sdk.h"

class ProtocolHandler;

class TagParameterParser {
  public:
    using Variant = kestrel::strata_sdk::Variant;
    // (key, value, info, extra) -> link error code.
    using ExtraParamCallback =
        std::function<int(const std::string&, const Variant&, TagInfo&, TagInfo&)>;

    TagParameterParser(int8_t tagKind, Variant&& params);

    // 10016 when the parameters are not a map; the first non-zero callback result; else 0.
    int Parse(const ExtraParamCallback& callback);
    // Parse with the handler's add or edit callback.
    int ParseForAdd(const ProtocolHandler& handler);
    int ParseForEdit(const ProtocolHandler& handler);

    // Add: RW flag and output type from their texts, or the kind's defaults.
    void FillMissingWithDefaults();
    // Edit: tag name, RW flag, output type, I/O data length and description not given are taken
    // from the tag's current record. The alias is not copied.
    void CopyMissingFrom(const TagInfo& old);

    TagInfo& GetInfo() { return info; }
    const TagInfo& GetInfo() const { return info; }
    // Filled by the edit callbacks: new alias, rename, new address.
    TagInfo& GetExtra() { return extra; }
    const TagInfo& GetExtra() const { return extra; }
    // Elements of a "Subtags" array, in order.
    const std::vector<Variant>& GetSubtags() const { return subtags; }

  private:
    int8_t tagKind;
    Variant params;
    TagInfo info;
    TagInfo extra;
    std::string rwFlagText;
    std::string outputTypeText;
    std::vector<Variant> subtags;
    bool dataLenGiven = false;
    bool descriptionGiven = false;
};
