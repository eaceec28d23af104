#include "tag/taginfo_validator.h"

#include "action/link_errors.h"

int TagInfoValidator::Validate(const TagInfo& info) const {
    if (info.alias.empty()) {
        return link_error::kTagAliasNotInserted;
    }
    if (info.tagName.empty()) {
        return link_error::kTagNameNotInserted;
    }
    if (tagKind == EIP_TAG_KIND_EM) {
        if (info.rwFlag == 0 || (info.rwFlag & EIP_RW_FLAG_IO) != 0) {
            return link_error::kInvalidRwFlag;
        }
    } else {
        if (info.rwFlag != EIP_RW_FLAG_IO) {
            return link_error::kInvalidRwFlag;
        }
        // The size of the I/O data: a negative size is as unusable as none.
        if (info.dataLen <= 0) {
            return link_error::kDataLenNotInserted;
        }
    }
    if (info.outputType == EIP_OUTPUT_TYPE_UNKNOWN) {
        return link_error::kInvalidOutputType;
    }
    return 0;
}
