#pragma once
// What the fuzz harnesses share.

#include <cstdint>

#include "common/eip_utils.h"
#include "strata_sdk/logging.h"

// Parsers log their refusals; silence them so that the fuzzer spends its time parsing.
inline void QuietLogs() {
    kestrel::strata_sdk::set_debug_level(-1);
    kestrel::strata_sdk::set_log_level(kestrel::strata_sdk::LogLevel::fatal);
}

// The inner types a harness picks from: every known code and one unknown (0xCC).
constexpr int32_t kFuzzInnerTypes[] = {
    kInnerTypeBool,
    kInnerTypeSint,
    kInnerTypeInt,
    kInnerTypeDint,
    kInnerTypeLint,
    kInnerTypeUsint,
    kInnerTypeUint,
    kInnerTypeUdint,
    kInnerTypeUlint,
    kInnerTypeReal,
    kInnerTypeLreal,
    kInnerTypeString,
    kInnerTypeString2,
    kInnerTypeShortString,
    kInnerTypeStructure,
    kInnerTypeBitarray,
    0xCC,
};
