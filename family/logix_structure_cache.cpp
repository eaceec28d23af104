#include "family/logix_structure_cache.h"

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
