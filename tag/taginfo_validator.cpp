#include "tag/taginfo_validator.h"

#include "action/link_errors.h"

int TagInfoValidator::Validate(const TagInfo& info) const {
    if (info.alias.empty()) {
        return link_error::kTagAliasNotInserted;
    }
    if (info.tagName.empty()) {
        return link_error::kTagNameNotInserted;
    }
    if (tagKind == kTagKindExplicit) {
        if (info.rwFlag == 0 || (info.rwFlag & kRwFlagIo) != 0) {
            return link_error::kInvalidRwFlag;
        }
    } else {
        if (info.rwFlag != kRwFlagIo) {
            return link_error::kInvalidRwFlag;
        }
        // The size of the I/O data: a negative size is as unusable as none.
        if (info.dataLen <= 0) {
            return link_error::kDataLenNotInserted;
        }
    }
    if (info.outputType == kOutputTypeUnknown) {
        return link_error::kInvalidOutputType;
    }
    return 0;
}
