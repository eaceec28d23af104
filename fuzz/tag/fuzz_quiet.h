#pragma once

#include "strata_sdk/logging.h"

// Parsers log their refusals; silence them so that the fuzzer spends its time parsing.
inline void QuietTagLogs() {
    kestrel::strata_sdk::set_debug_level(-1);
    kestrel::strata_sdk::set_log_level(kestrel::strata_sdk::LogLevel::fatal);
}
