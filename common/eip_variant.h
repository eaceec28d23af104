#pragma once

// Helpers on broker values that never throw on the wrong kind of value.

#include <cstddef>

#include "strata_sdk/sdk.h"

// The element count of an array value; 0 for every other kind (maps and strings included).
size_t Size(const kestrel::strata_sdk::Variant& value);
