#pragma once
// One value read from a tag on its way from the device to the node tree.

#include <cstdint>
#include <memory>
#include <vector>

#include "common/eip_utils.h"

// The record is shared by the values of the same tag (not copied per value); its dataLen is
// this value's length.
struct EipTagValue {
    std::shared_ptr<const TagInfo> tag;
    std::vector<uint8_t> data;
};
