#include "tag/taginfo_validator.h"

#include "action/tesselLink_error_code.h"

int TagInfoValidator::Validate(const TagInfo& info) const {
    if (info.alias.empty()) {
        return tessel::TL_ERR_TAG_ALIAS_NOT_INSERTED;
    }
    if (info.tagName.empty()) {
        return tessel::TL_ERR_TAG_NAME_NOT_INSERTED;
    }
    if (tagKind == EIP_TAG_KIND_EM) {
        if (info.rwFlag == 0 || (info.rwFlag & EIP_RW_FLAG_IO) != 0) {
            return tessel::TL_ERR_INVALID_RW_FLAG;
        }
    } else {
        if (info.rwFlag != EIP_RW_FLAG_IO) {
            return tessel::TL_ERR_INVALID_RW_FLAG;
        }
        // The size of the I/O data: a negative size is as unusable as none.
        if (info.dataLen <= 0) {
            return tessel::TL_ERR_DATALEN_NOT_INSERTED;
        }
    }
    if (info.outputType == EIP_OUTPUT_TYPE_UNKNOWN) {
        return tessel::TL_ERR_INVALID_OUTPUT_TYPE;
    }
    return 0;
}
