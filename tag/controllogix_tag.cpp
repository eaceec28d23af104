#include "tag/controllogix_tag.h"

ControlLogixTag::ControlLogixTag() {
    info.family = kFamilyCip;
}

void ControlLogixTag::SetInfo(const TagInfo& tagInfo) {
    EipTag::SetInfo(tagInfo);
    info.family = kFamilyCip;
}

int32_t ControlLogixTag::ParsingTagName() {
    if (!tagData.ParseTagName(info.tagName, info.alias)) {
        return -1;
    }
    info.elementCount = tagData.GetElementCount();
    return static_cast<int32_t>(tagData.GetEncodedAddress().size());
}
