#include "tag/tag_parameter_parser.h"

#include "action/link_errors.h"
#include "tag/eip_tag.h"
#include "tag/protocol_handler.h"

TagParameterParser::TagParameterParser(int8_t tagKind, Variant&& params)
    : tagKind(tagKind), params(std::move(params)) {}

int TagParameterParser::Parse(const ExtraParamCallback& callback) {
    if (!params.is_map()) {
        return link_error::kInvalidJson;
    }
    const auto trimmed = [](const Variant& value) {
        std::string text = value.as_string();
        TrimSpaces(text);
        return text;
    };
    for (const auto& member : params.as_map()) {
        std::string key = member.first;
        TrimSpaces(key);
        const Variant& value = member.second;
        if (key == "Tag Alias" && value.is_string()) {
            info.alias = trimmed(value);
        } else if (key == "Tag Name" && value.is_string()) {
            info.tagName = trimmed(value);
        } else if (key == "OutputType" && value.is_string()) {
            outputTypeText = trimmed(value);
        } else if (key == "RW Flag" && value.is_string()) {
            rwFlagText = trimmed(value);
        } else if (key == "Description" && value.is_string()) {
            info.description = trimmed(value);
            descriptionGiven = true;
        } else if (key == "DataLen" && (value.is_int() || value.is_uint())) {
            info.dataLen = static_cast<int32_t>(value.is_int() ? value.as_int() : value.as_uint());
            dataLenGiven = true;
        } else if (key == "Subtags" && value.is_array()) {
            const Variant::ArrayType& list = value.as_array();
            subtags.insert(subtags.end(), list.begin(), list.end());
        } else if (const int code = callback(key, value, info, extra)) {
            return code;
        }
    }
    return 0;
}

int TagParameterParser::ParseForAdd(const ProtocolHandler& handler) {
    return Parse([&handler](const std::string& key, const Variant& value, TagInfo& tagInfo,
                            TagInfo& tagExtra) {
        return handler.ParseExtraParamsOnAdd(key, value, tagInfo, tagExtra);
    });
}

int TagParameterParser::ParseForEdit(const ProtocolHandler& handler) {
    return Parse([&handler](const std::string& key, const Variant& value, TagInfo& tagInfo,
                            TagInfo& tagExtra) {
        return handler.ParseExtraParamsOnEdit(key, value, tagInfo, tagExtra);
    });
}

void TagParameterParser::FillMissingWithDefaults() {
    if (!rwFlagText.empty()) {
        info.rwFlag = EipTag::StrToRWFlag(rwFlagText);
    } else {
        info.rwFlag = tagKind == kTagKindExplicit ? kRwFlagDefaultExplicit : kRwFlagDefaultIo;
    }
    info.outputType =
        outputTypeText.empty() ? kOutputTypeDefault : EipTag::StrToOutputType(outputTypeText);
}

void TagParameterParser::CopyMissingFrom(const TagInfo& old) {
    if (info.tagName.empty()) {
        info.tagName = old.tagName;
    }
    info.rwFlag = rwFlagText.empty() ? old.rwFlag : EipTag::StrToRWFlag(rwFlagText);
    info.outputType =
        outputTypeText.empty() ? old.outputType : EipTag::StrToOutputType(outputTypeText);
    if ((info.rwFlag & kRwFlagIo) != 0 && !dataLenGiven) {
        info.dataLen = old.dataLen;
    }
    if (!descriptionGiven) {
        info.description = old.description;
    }
}
