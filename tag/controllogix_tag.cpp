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
    // What the test read learned of the controller's layout addresses the same bits again.
    const bool boolArray = info.wordType == kInnerTypeBitarray;
    if ((boolArray && !tagData.UseBoolArrayWords(info.boolArrayLength)) ||
        (!boolArray && info.wordType != 0 &&
         !tagData.UseBitOfElement(static_cast<uint8_t>(GetInnerTypeLength(info.wordType))))) {
        return -1;
    }
    info.elementCount = tagData.GetElementCount();
    return static_cast<int32_t>(tagData.GetEncodedAddress().size());
}
