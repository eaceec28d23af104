#include "common/eip_variant.h"

size_t Size(const kestrel::strata_sdk::Variant& value) {
    return value.is_array() ? value.as_array().size() : 0;
}
