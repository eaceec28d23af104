#pragma once

// Rules every tag record must meet, whatever its family. Results are link error codes.

#include <cstdint>

#include "common/eip_utils.h"

class TagInfoValidator {
  public:
    explicit TagInfoValidator(int8_t tagKind) : tagKind(tagKind) {}

    // The first failure of: alias (10018), tag name (10019), RW flag for the kind (10029),
    // I/O data length (10021), output type (10028); 0 when the record passes.
    int Validate(const TagInfo& info) const;

  private:
    int8_t tagKind;
};
