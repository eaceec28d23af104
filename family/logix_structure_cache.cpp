#include "family/logix_structure_cache.h"

#include <algorithm>

using kestrel::strata_sdk::Variant;

namespace {

// Structures nested deeper than this are not followed (a controller allows far less).
constexpr int kMaxNesting = 8;

}  // namespace

LogixTemplateLookup LogixStructureType::Lookup() const {
    return [this](uint16_t templateId) -> std::shared_ptr<const LogixTemplate> {
        const auto found = nested.find(templateId);
        return found == nested.end() ? nullptr : found->second;
    };
}

bool LogixStructureType::Decode(ByteView bytes, Variant& out, std::string& reason) const {
    const size_t size = top->structureSize;
    if (size == 0 || bytes.size < size || bytes.size % size != 0) {
        reason = top->name + ": value of " + std::to_string(bytes.size) +
                 " bytes is no whole number of structures";
        return false;
    }
    const LogixTemplateLookup lookup = Lookup();
    Variant::ArrayType elements(bytes.size / size);
    for (size_t i = 0; i < elements.size(); ++i) {
        if (!logix_structure::DecodeStructure(ByteView{bytes.data + i * size, size}, *top, lookup,
                                              elements[i], reason)) {
            return false;
        }
    }
    out = elements.size() == 1 ? std::move(elements[0]) : Variant(std::move(elements));
    return true;
}

bool LogixStructureType::Encode(const Variant& value, ByteView current, std::vector<uint8_t>& out,
                                std::string& reason) const {
    const size_t size = top->structureSize;
    const size_t count = size == 0 ? 0 : current.size / size;
    const Variant::ArrayType single{value};
    const Variant::ArrayType& values = value.is_array() && count > 1 ? value.as_array() : single;
    if (count == 0 || current.size % size != 0 || values.size() > count) {
        reason = top->name + ": " + std::to_string(values.size()) + " values for " +
                 std::to_string(count) + " elements";
        return false;
    }
    out.assign(current.begin(), current.end());
    const LogixTemplateLookup lookup = Lookup();
    for (size_t i = 0; i < values.size(); ++i) {
        std::vector<uint8_t> element;
        if (!logix_structure::EncodeStructure(values[i], ByteView{current.data + i * size, size},
                                              *top, lookup, element, reason)) {
            out.clear();
            return false;
        }
        std::copy(element.begin(), element.end(), out.begin() + i * size);
    }
    return true;
}

std::shared_ptr<const LogixStructureType> LogixStructureCache::Resolve(
    const std::string& tagName, uint16_t handle, const LogixBrowser::Exchange& exchange,
    std::string& reason) {
    const auto known = byHandle.find(handle);
    if (known != byHandle.end()) {
        return known->second;
    }
    LogixBrowser browser(exchange, templates, std::string());
    auto type = std::make_shared<LogixStructureType>();
    type->top = browser.StructureOf(tagName, reason);
    if (!type->top || !AddNested(browser, *type->top, 0, *type, reason)) {
        return nullptr;
    }
    if (type->top->handle != handle) {
        reason = tagName + ": the controller's template of " + type->top->name +
                 " has another structure handle than its value";
        return nullptr;
    }
    byHandle[handle] = type;
    return type;
}

bool LogixStructureCache::AddNested(LogixBrowser& browser, const LogixTemplate& structure,
                                    int depth, LogixStructureType& type, std::string& reason) {
    for (const LogixTemplateMember& member : structure.members) {
        const uint16_t id = member.type & LOGIX_SYMBOL_TEMPLATE_MASK;
        if ((member.type & LOGIX_SYMBOL_STRUCTURE) == 0 || type.nested.count(id) != 0) {
            continue;
        }
        if (depth >= kMaxNesting) {
            reason = structure.name + ": structures nested too deep";
            return false;
        }
        std::shared_ptr<const LogixTemplate> nested = browser.Template(id, reason);
        if (!nested) {
            return false;
        }
        type.nested[id] = nested;
        if (!AddNested(browser, *nested, depth + 1, type, reason)) {
            return false;
        }
    }
    return true;
}
