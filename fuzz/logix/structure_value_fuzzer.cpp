// Structure values through templates decoded from the input: the value decoded, encoded back,
// merged with a partial value given as JSON text, and a member path located and cut.
//
// Input:
// | size | field                                                          |
// | 1    | template count n (1 to 4)                                      |
// | ...  | n times: member count u16, structure size u16, handle u16,     |
// |      | definition length u16, the definition (Read Template bytes)    |
// | 1    | path length, the member path                                   |
// | 2    | JSON length, the partial value as JSON text                    |
// | ...  | the value bytes of the first template's structure              |

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "family/logix_structure.h"
#include "fuzz/fuzz_support.h"
#include "strata_sdk/json.h"

using kestrel::strata_sdk::Variant;

namespace {

constexpr size_t kMaxTemplates = 4;

using Templates = std::vector<std::shared_ptr<const LogixTemplate>>;

Templates ReadTemplates(ByteReader& r) {
    Templates templates;
    const size_t count = 1 + r.u8() % kMaxTemplates;
    for (size_t i = 0; i < count && r.ok(); ++i) {
        auto structure = std::make_shared<LogixTemplate>();
        structure->memberCount = r.u16();
        structure->structureSize = r.u16();
        structure->handle = r.u16();
        const ByteView definition = r.bytes(r.u16());
        if (r.ok() && logix_browse::DecodeTemplateDefinition(definition, *structure)) {
            templates.push_back(std::move(structure));
        }
    }
    return templates;
}

// A template by instance: the one whose handle names it, else (odd instances) any of them, so
// that nesting and cycles come easily; even unknown instances stay unknown.
LogixTemplateLookup LookupOf(const Templates& templates) {
    return [&templates](uint16_t id) -> std::shared_ptr<const LogixTemplate> {
        for (const auto& structure : templates) {
            if ((structure->handle & LOGIX_SYMBOL_TEMPLATE_MASK) == id) {
                return structure;
            }
        }
        return (id & 1) != 0 ? templates[id % templates.size()] : nullptr;
    };
}

Variant ParseJson(const std::string& text) {
    try {
        return kestrel::strata_sdk::json::from_json_string(text);
    } catch (const std::exception&) {
        return Variant();
    }
}

// A merge gives nothing or exactly the structure's bytes, which decode again.
void CheckMerge(const Variant& partial, ByteView current, const LogixTemplate& structure,
                const LogixTemplateLookup& lookup, bool decodes) {
    std::vector<uint8_t> out;
    std::string reason;
    const bool merged =
        logix_structure::EncodeStructure(partial, current, structure, lookup, out, reason);
    if (merged ? out.size() != structure.structureSize || current.size != out.size()
               : !out.empty() || reason.empty()) {
        __builtin_trap();
    }
    Variant again;
    if (merged && decodes &&
        !logix_structure::DecodeStructure(ByteView{out.data(), out.size()}, structure, lookup,
                                          again, reason)) {
        __builtin_trap();
    }
}

void CheckMember(const std::string& path, ByteView bytes, const LogixTemplate& structure,
                 const LogixTemplateLookup& lookup) {
    LogixMemberLocation at;
    std::string reason;
    if (!logix_structure::LocateMember(structure, path, lookup, at, reason)) {
        return;
    }
    std::vector<uint8_t> cut;
    if (logix_structure::CutMember(bytes, at, cut, reason) &&
        cut.size() != (at.bit >= 0 ? 1u : at.size)) {
        __builtin_trap();
    }
    LogixBitWrite write;
    if (logix_structure::BitWrite(at, true, write, reason) &&
        (write.orMask & ~write.andMask) != 0) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader r(data, size);
    const Templates templates = ReadTemplates(r);
    const std::string path = r.str(r.u8());
    const std::string json = r.str(r.u16());
    const ByteView bytes = r.rest();
    if (!r.ok() || templates.empty()) {
        return 0;
    }
    const LogixTemplate& structure = *templates.front();
    const LogixTemplateLookup lookup = LookupOf(templates);
    // The bytes a Read Tag of one structure gives: at most its size.
    const ByteView current{bytes.data, std::min<size_t>(bytes.size, structure.structureSize)};
    Variant value;
    std::string reason;
    const bool decoded =
        logix_structure::DecodeStructure(current, structure, lookup, value, reason);
    if (!decoded && reason.empty()) {
        __builtin_trap();
    }
    if (decoded) {
        CheckMerge(value, current, structure, lookup, true);
    }
    CheckMerge(ParseJson(json), current, structure, lookup, decoded);
    CheckMember(path, bytes, structure, lookup);
    return 0;
}
