#include "family/logix_browse.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <set>
#include <utility>

#include "eip/cip_wire.h"
#include "eip/eip_connection.h"
#include "family/controllogix_connection.h"

namespace {

constexpr uint8_t kSegInstance32 = 0x26;
constexpr uint16_t kSymbolAttributes[] = {LOGIX_SYMBOL_ATTR_NAME, LOGIX_SYMBOL_ATTR_TYPE,
                                          LOGIX_SYMBOL_ATTR_DIMENSIONS};
constexpr uint16_t kTemplateAttributes[] = {
    LOGIX_TEMPLATE_ATTR_DEFINITION_WORDS, LOGIX_TEMPLATE_ATTR_STRUCTURE_SIZE,
    LOGIX_TEMPLATE_ATTR_MEMBER_COUNT, LOGIX_TEMPLATE_ATTR_HANDLE};
// A definition larger than this is not a template any controller holds.
constexpr uint32_t kMaxDefinitionBytes = 1u << 20;
// More tags than any controller holds: a list (or a table) that grows past it is refused.
constexpr size_t kMaxSymbols = 1u << 20;
// Nested user structures are expanded this deep.
constexpr int kMaxMemberDepth = 4;
// Largest value the link reads (in fragments when it does not fit one reply): a larger
// structure cannot be read whole.
constexpr uint32_t kLargestReadableValue = ControlLogixConnection::kMaxValueBytes;
constexpr const char* kControllerScope = "Controller";
// Names of the members a controller adds for its own use (the SINT holding a structure's BOOLs).
constexpr const char* kHiddenMemberPrefix = "ZZZZZZZZZZ";
constexpr const char* kHiddenTagPrefix = "__";

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// Logical instance segment in its shortest form (8, 16 or 32 bits; the wider ones padded).
void WriteInstance(ByteWriter& w, uint32_t instance) {
    if (instance <= 0xFF) {
        w.u8(CIP_SEG_INSTANCE_8).u8(static_cast<uint8_t>(instance));
    } else if (instance <= 0xFFFF) {
        w.u8(CIP_SEG_INSTANCE_16).u8(0).u16(static_cast<uint16_t>(instance));
    } else {
        w.u8(kSegInstance32).u8(0).u32(instance);
    }
}

// Message Router request front: service, path size in words (patched), then the path written
// by `path`.
template <typename PathWriter>
void WriteRequest(ByteWriter& w, uint8_t service, PathWriter path) {
    w.u8(service);
    const ByteWriter::Slot words = w.reserve_u8();
    path(w);
    w.patch_u8(words, static_cast<uint8_t>((w.position() - words.end()) / 2));
}

void WriteAttributeList(ByteWriter& w, const uint16_t* ids, size_t count) {
    w.u16(static_cast<uint16_t>(count));
    for (size_t i = 0; i < count; ++i) {
        w.u16(ids[i]);
    }
}

std::string StatusText(uint8_t status) {
    switch (status) {
        case CIP_STATUS_PATH_SEGMENT_ERROR:
            return "path segment error";
        case CIP_STATUS_PATH_DESTINATION_UNKNOWN:
            return "path destination unknown";
        case CIP_STATUS_SERVICE_NOT_SUPPORTED:
            return "service not supported";
        case CIP_STATUS_OBJECT_DOES_NOT_EXIST:
            return "object does not exist";
        default:
            return "refused";
    }
}

std::string Refusal(const std::string& what, uint8_t status) {
    return what + " refused by the controller: CIP status " + Hex(status, 2) + " (" +
           StatusText(status) + ")";
}

std::string DimensionsText(const uint32_t* dims, unsigned count) {
    std::string text;
    for (unsigned i = 0; i < count; ++i) {
        text += (i == 0 ? "" : ",") + std::to_string(dims[i]);
    }
    return text;
}

bool IsReadableAtomic(uint8_t code) {
    return (code >= LOGIX_ATOMIC_BOOL && code <= LOGIX_ATOMIC_LREAL) || code == LOGIX_ATOMIC_DWORD;
}

// '*' matches any run of characters; both texts already upper-cased.
bool WildcardMatch(const char* text, const char* pattern) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*text != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = text;
        } else if (*pattern == *text) {
            ++pattern;
            ++text;
        } else if (star != nullptr) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') {
        ++pattern;
    }
    return *pattern == '\0';
}

}  // namespace

uint32_t LogixTemplate::DefinitionBytes() const {
    const uint64_t bytes = uint64_t{definitionWords} * 4;
    if (bytes <= LOGIX_TEMPLATE_DEFINITION_OVERHEAD ||
        bytes - LOGIX_TEMPLATE_DEFINITION_OVERHEAD > kMaxDefinitionBytes) {
        return 0;
    }
    return static_cast<uint32_t>(bytes - LOGIX_TEMPLATE_DEFINITION_OVERHEAD);
}

bool LogixTemplate::IsString() const {
    return members.size() == 2 && Upper(members[0].name) == "LEN" &&
           (members[0].type & LOGIX_SYMBOL_ATOMIC_MASK) == LOGIX_ATOMIC_DINT &&
           Upper(members[1].name) == "DATA" &&
           (members[1].type & LOGIX_SYMBOL_ATOMIC_MASK) == LOGIX_ATOMIC_SINT;
}

bool LogixTemplateMember::IsBit() const {
    return type == LOGIX_ATOMIC_BOOL;
}

std::vector<bool> LogixTemplate::HiddenMembers() const {
    std::set<uint32_t> hostOffsets;
    for (const LogixTemplateMember& member : members) {
        if (member.IsBit()) {
            hostOffsets.insert(member.offset);
        }
    }
    std::vector<bool> hidden;
    hidden.reserve(members.size());
    for (const LogixTemplateMember& member : members) {
        hidden.push_back(member.name.empty() || StartsWith(member.name, kHiddenMemberPrefix) ||
                         StartsWith(member.name, kHiddenTagPrefix) ||
                         (!member.IsBit() && hostOffsets.count(member.offset) != 0));
    }
    return hidden;
}

namespace logix_browse {

// Get Instance Attribute List request:
// | size | value                                                            |
// | 1    | 0x55                                                             |
// | 1    | path size in words                                               |
// | ...  | program scope only: 0x91, n, the n characters, 0x00 when n is odd |
// | 2    | 0x20 0x6B Symbol class                                           |
// | 2-6  | first instance: 0x24 id, 0x25 0x00 id16 or 0x26 0x00 id32        |
// | 2    | attribute count 3                                                |
// | 6    | attributes 1 (name), 2 (type), 8 (dimensions)                    |
std::vector<uint8_t> EncodeSymbolListRequest(const std::string& program, uint32_t first) {
    ByteWriter w;
    WriteRequest(w, LOGIX_SVC_GET_INSTANCE_ATTRIBUTE_LIST, [&](ByteWriter& path) {
        if (!program.empty()) {
            path.u8(CIP_SEG_ANSI_SYMBOL).u8(static_cast<uint8_t>(program.size())).bytes(program);
            if (program.size() % 2 != 0) {
                path.u8(0);
            }
        }
        path.u8(CIP_SEG_CLASS_8).u8(LOGIX_CLASS_SYMBOL);
        WriteInstance(path, first);
    });
    WriteAttributeList(w, kSymbolAttributes, std::size(kSymbolAttributes));
    return w.to_vector();
}

// One entry of a Get Instance Attribute List reply (the reply is a run of them):
// | size | value                          |
// | 4    | instance                       |
// | 2    | name length n                  |
// | n    | name                           |
// | 2    | symbol type word               |
// | 12   | three dimensions, 32 bits each |
void WriteSymbolEntry(ByteWriter& w, const LogixSymbol& symbol) {
    w.u32(symbol.instance).u16(static_cast<uint16_t>(symbol.name.size())).bytes(symbol.name);
    w.u16(symbol.type);
    for (uint32_t d : symbol.dims) {
        w.u32(d);
    }
}

bool DecodeSymbolList(ByteView data, std::vector<LogixSymbol>& out) {
    ByteReader r(data);
    while (r.ok() && !r.at_end()) {
        LogixSymbol symbol;
        symbol.instance = r.u32();
        symbol.name = r.str(r.u16());
        symbol.type = r.u16();
        for (uint32_t& d : symbol.dims) {
            d = r.u32();
        }
        if (r.ok()) {
            out.push_back(std::move(symbol));
        }
    }
    return r.ok();
}

// Get Attribute List request of a template:
// | size | value                                    |
// | 1    | 0x03                                     |
// | 1    | path size in words                       |
// | 2    | 0x20 0x6C Template class                 |
// | 2-4  | template instance (0x24 id or 0x25 0x00 id16) |
// | 2    | attribute count 4                        |
// | 8    | attributes 4, 5, 2, 1                    |
std::vector<uint8_t> EncodeTemplateAttributesRequest(uint16_t templateId) {
    ByteWriter w;
    WriteRequest(w, LOGIX_SVC_GET_ATTRIBUTE_LIST, [&](ByteWriter& path) {
        path.u8(CIP_SEG_CLASS_8).u8(LOGIX_CLASS_TEMPLATE);
        WriteInstance(path, templateId);
    });
    WriteAttributeList(w, kTemplateAttributes, std::size(kTemplateAttributes));
    return w.to_vector();
}

// Get Attribute List reply data:
// | size | value                                                      |
// | 2    | attribute count                                            |
// | per attribute:                                                    |
// | 2    | attribute id                                               |
// | 2    | status (0 = the value follows)                             |
// | 4/2  | value: 4 and 5 are 32 bits, 1 and 2 are 16 bits            |
bool DecodeTemplateAttributes(ByteView data, LogixTemplate& out) {
    ByteReader r(data);
    const uint16_t count = r.u16();
    unsigned found = 0;
    for (uint16_t i = 0; i < count && r.ok(); ++i) {
        const uint16_t id = r.u16();
        if (r.u16() != CIP_STATUS_SUCCESS) {
            return false;
        }
        switch (id) {
            case LOGIX_TEMPLATE_ATTR_DEFINITION_WORDS:
                out.definitionWords = r.u32();
                break;
            case LOGIX_TEMPLATE_ATTR_STRUCTURE_SIZE:
                out.structureSize = r.u32();
                break;
            case LOGIX_TEMPLATE_ATTR_MEMBER_COUNT:
                out.memberCount = r.u16();
                break;
            case LOGIX_TEMPLATE_ATTR_HANDLE:
                out.handle = r.u16();
                break;
            default:
                return false;
        }
        found |= 1u << id;
    }
    constexpr unsigned kAll =
        (1u << LOGIX_TEMPLATE_ATTR_DEFINITION_WORDS) | (1u << LOGIX_TEMPLATE_ATTR_STRUCTURE_SIZE) |
        (1u << LOGIX_TEMPLATE_ATTR_MEMBER_COUNT) | (1u << LOGIX_TEMPLATE_ATTR_HANDLE);
    return r.ok() && found == kAll;
}

// Read Template request:
// | size | value                                         |
// | 1    | 0x4C                                          |
// | 1    | path size in words                            |
// | 2    | 0x20 0x6C Template class                      |
// | 2-4  | template instance (0x24 id or 0x25 0x00 id16) |
// | 4    | byte offset into the definition               |
// | 2    | bytes wanted                                  |
std::vector<uint8_t> EncodeReadTemplateRequest(uint16_t templateId, uint32_t offset,
                                               uint16_t count) {
    ByteWriter w;
    WriteRequest(w, LOGIX_SVC_READ_TEMPLATE, [&](ByteWriter& path) {
        path.u8(CIP_SEG_CLASS_8).u8(LOGIX_CLASS_TEMPLATE);
        WriteInstance(path, templateId);
    });
    w.u32(offset).u16(count);
    return w.to_vector();
}

// Template definition (read in pieces with Read Template):
// | size       | value                                                        |
// | 8 × count  | per member: info (16: array size or BOOL bit), type word (16), |
// |            | offset in the structure (32)                                 |
// | ...        | "NAME;n" and a 0x00 (the name is the text before ';')        |
// | ...        | each member's name and a 0x00, in member order               |
// Bytes after the last name are padding.
std::vector<uint8_t> EncodeTemplateDefinition(const LogixTemplate& definition) {
    ByteWriter w;
    for (const LogixTemplateMember& member : definition.members) {
        w.u16(member.info).u16(member.type).u32(member.offset);
    }
    w.bytes(definition.name + ";n").u8(0);
    for (const LogixTemplateMember& member : definition.members) {
        w.bytes(member.name).u8(0);
    }
    return w.to_vector();
}

bool DecodeTemplateDefinition(ByteView data, LogixTemplate& inOut) {
    ByteReader r(data);
    if (!r.need(size_t{inOut.memberCount} * LOGIX_TEMPLATE_MEMBER_ENTRY_SIZE)) {
        return false;
    }
    std::vector<LogixTemplateMember> members(inOut.memberCount);
    for (LogixTemplateMember& member : members) {
        member.info = r.u16();
        member.type = r.u16();
        member.offset = r.u32();
    }
    // The names: NUL-terminated texts; the last one may end with the data.
    const auto nextName = [&r](std::string& out) {
        out.clear();
        while (r.ok() && !r.at_end()) {
            const char c = static_cast<char>(r.u8());
            if (c == '\0') {
                return true;
            }
            out.push_back(c);
        }
        return !out.empty();
    };
    std::string name;
    if (!nextName(name)) {
        return false;
    }
    for (LogixTemplateMember& member : members) {
        if (!nextName(member.name)) {
            return false;
        }
    }
    inOut.name = name.substr(0, name.find(';'));
    inOut.members = std::move(members);
    return true;
}

std::string AtomicTypeName(uint8_t code) {
    switch (code) {
        case LOGIX_ATOMIC_BOOL:
            return "BOOL";
        case LOGIX_ATOMIC_SINT:
            return "SINT";
        case LOGIX_ATOMIC_INT:
            return "INT";
        case LOGIX_ATOMIC_DINT:
            return "DINT";
        case LOGIX_ATOMIC_LINT:
            return "LINT";
        case LOGIX_ATOMIC_USINT:
            return "USINT";
        case LOGIX_ATOMIC_UINT:
            return "UINT";
        case LOGIX_ATOMIC_UDINT:
            return "UDINT";
        case LOGIX_ATOMIC_ULINT:
            return "ULINT";
        case LOGIX_ATOMIC_REAL:
            return "REAL";
        case LOGIX_ATOMIC_LREAL:
            return "LREAL";
        case LOGIX_ATOMIC_DWORD:
            return "DWORD";
        default:
            return Hex(code, 2);
    }
}

bool MatchesFilter(const std::string& name, const std::string& filter) {
    const std::string text = Upper(name);
    const std::string pattern = Upper(filter);
    if (pattern.find('*') == std::string::npos) {
        return text.find(pattern) != std::string::npos;
    }
    return WildcardMatch(text.c_str(), pattern.c_str());
}

}  // namespace logix_browse

// ---- Template cache -----------------------------------------------------------------------------

std::shared_ptr<const LogixTemplate> LogixTemplateCache::Find(
    const std::string& alias, uint16_t templateId, const LogixTemplate& attributes) const {
    std::lock_guard<std::mutex> lock(mutex);
    const auto plc = byAlias.find(alias);
    if (plc == byAlias.end()) {
        return nullptr;
    }
    const auto found = plc->second.find(templateId);
    if (found == plc->second.end()) {
        return nullptr;
    }
    const LogixTemplate& cached = *found->second;
    const bool same = cached.handle == attributes.handle &&
                      cached.memberCount == attributes.memberCount &&
                      cached.definitionWords == attributes.definitionWords &&
                      cached.structureSize == attributes.structureSize;
    return same ? found->second : nullptr;
}

void LogixTemplateCache::Store(const std::string& alias, uint16_t templateId,
                               std::shared_ptr<const LogixTemplate> definition) {
    std::lock_guard<std::mutex> lock(mutex);
    byAlias[alias][templateId] = std::move(definition);
}

void LogixTemplateCache::Drop(const std::string& alias) {
    std::lock_guard<std::mutex> lock(mutex);
    byAlias.erase(alias);
}

// ---- Browser ------------------------------------------------------------------------------------

LogixBrowser::LogixBrowser(Exchange exchange, LogixTemplateCache& cache, std::string alias)
    : exchange(std::move(exchange)), cache(cache), alias(std::move(alias)) {}

bool LogixBrowser::Send(const std::vector<uint8_t>& request, Reply& reply, std::string& reason) {
    ++requests;
    reply = Reply{};
    if (!exchange(ByteView{request.data(), request.size()}, reply)) {
        reason = "no reply from the controller to a browse request";
        return false;
    }
    if (reply.service != (request.front() | CIP_SERVICE_REPLY)) {
        // The Unconnected Send itself was refused (no controller in the slot), or nonsense.
        reason =
            reply.generalStatus != CIP_STATUS_SUCCESS
                ? Refusal("the route to the controller", reply.generalStatus)
                : "the controller answered a browse request with service " + Hex(reply.service, 2);
        return false;
    }
    return true;
}

// Pages through one scope: each reply holds the entries that fit it, and "partial transfer"
// says that more follow from the instance after the last one returned.
bool LogixBrowser::ListSymbols(const std::string& program, std::vector<LogixSymbol>& out,
                               std::string& reason) {
    const std::string what = "the tag list" + (program.empty() ? std::string() : " of " + program);
    if (program.size() > UINT8_MAX) {
        reason = "the controller lists a program name longer than a request can carry";
        return false;
    }
    uint32_t first = 0;
    for (;;) {
        Reply reply;
        if (!Send(logix_browse::EncodeSymbolListRequest(program, first), reply, reason)) {
            return false;
        }
        const bool more = reply.generalStatus == CIP_STATUS_PARTIAL_TRANSFER;
        if (reply.generalStatus != CIP_STATUS_SUCCESS && !more) {
            reason = Refusal(what + " (Symbol object)", reply.generalStatus);
            return false;
        }
        const size_t before = out.size();
        if (!logix_browse::DecodeSymbolList(ByteView{reply.data.data(), reply.data.size()}, out)) {
            reason = "the controller sent a malformed entry in " + what;
            return false;
        }
        if (!more) {
            return true;
        }
        if (out.size() == before || out.back().instance < first || out.size() > kMaxSymbols ||
            out.back().instance == UINT32_MAX) {
            reason = "the controller's paging of " + what + " does not advance";
            return false;
        }
        first = out.back().instance + 1;
    }
}

bool LogixBrowser::ReadDefinition(uint16_t templateId, LogixTemplate& definition,
                                  std::string& reason) {
    const std::string what = "structure template " + std::to_string(templateId);
    const uint32_t total = definition.DefinitionBytes();
    if (total == 0) {
        reason = what + " announces an impossible size";
        return false;
    }
    std::vector<uint8_t> bytes;
    for (;;) {
        const uint32_t left = total - static_cast<uint32_t>(bytes.size());
        Reply reply;
        if (!Send(logix_browse::EncodeReadTemplateRequest(
                      templateId, static_cast<uint32_t>(bytes.size()),
                      static_cast<uint16_t>(std::min<uint32_t>(left, UINT16_MAX))),
                  reply, reason)) {
            return false;
        }
        const bool more = reply.generalStatus == CIP_STATUS_PARTIAL_TRANSFER;
        if (reply.generalStatus != CIP_STATUS_SUCCESS && !more) {
            reason = Refusal(what, reply.generalStatus);
            return false;
        }
        bytes.insert(bytes.end(), reply.data.begin(), reply.data.end());
        if (!more || bytes.size() >= total) {
            break;
        }
        if (reply.data.empty()) {
            reason = "the controller's reading of " + what + " does not advance";
            return false;
        }
    }
    if (!logix_browse::DecodeTemplateDefinition(ByteView{bytes.data(), bytes.size()}, definition)) {
        reason = "the controller sent a malformed " + what;
        return false;
    }
    return true;
}

std::shared_ptr<const LogixTemplate> LogixBrowser::Template(uint16_t templateId,
                                                            std::string& reason) {
    const auto known = seen.find(templateId);
    if (known != seen.end()) {
        return known->second;
    }
    Reply reply;
    if (!Send(logix_browse::EncodeTemplateAttributesRequest(templateId), reply, reason)) {
        return nullptr;
    }
    const std::string what = "structure template " + std::to_string(templateId);
    auto definition = std::make_shared<LogixTemplate>();
    if (reply.generalStatus != CIP_STATUS_SUCCESS) {
        reason = Refusal(what, reply.generalStatus);
        return nullptr;
    }
    if (!logix_browse::DecodeTemplateAttributes(ByteView{reply.data.data(), reply.data.size()},
                                                *definition)) {
        reason = "the controller sent malformed attributes of " + what;
        return nullptr;
    }
    std::shared_ptr<const LogixTemplate> result = cache.Find(alias, templateId, *definition);
    if (!result) {
        if (!ReadDefinition(templateId, *definition, reason)) {
            return nullptr;
        }
        result = definition;
        cache.Store(alias, templateId, result);
    }
    seen[templateId] = result;
    return result;
}

bool LogixBrowser::TypeOf(uint16_t type, std::string& name, bool& readable,
                          std::shared_ptr<const LogixTemplate>& structure, std::string& reason) {
    structure = nullptr;
    if ((type & LOGIX_SYMBOL_STRUCTURE) == 0) {
        const uint8_t code = type & LOGIX_SYMBOL_ATOMIC_MASK;
        name = logix_browse::AtomicTypeName(code);
        readable = IsReadableAtomic(code);
        return true;
    }
    structure = Template(type & LOGIX_SYMBOL_TEMPLATE_MASK, reason);
    if (!structure) {
        return false;
    }
    name = structure->name;
    readable = structure->IsString() || structure->structureSize <= kLargestReadableValue;
    return true;
}

bool LogixBrowser::AddMemberRows(const LogixTemplate& structure, const std::string& prefix,
                                 const std::string& scope, int depth,
                                 std::vector<LogixBrowseRow>& rows, std::string& reason) {
    const std::vector<bool> hidden = structure.HiddenMembers();
    for (size_t index = 0; index < structure.members.size(); ++index) {
        const LogixTemplateMember& member = structure.members[index];
        if (hidden[index]) {
            continue;
        }
        LogixBrowseRow row;
        std::shared_ptr<const LogixTemplate> nested;
        if (rows.size() >= kMaxSymbols) {
            reason = "the controller's structures give more rows than a table can hold";
            return false;
        }
        if (!TypeOf(member.type, row.type, row.readable, nested, reason)) {
            return false;
        }
        const bool isArray = (member.type & LOGIX_SYMBOL_DIMS_MASK) != 0;
        row.name = prefix + "." + member.name;
        row.dimensions = isArray ? std::to_string(member.info) : std::string();
        row.scope = scope;
        rows.push_back(row);
        if (nested && !isArray && !nested->IsString() && depth < kMaxMemberDepth &&
            !AddMemberRows(*nested, row.name, scope, depth + 1, rows, reason)) {
            return false;
        }
    }
    return true;
}

bool LogixBrowser::AddRows(const LogixSymbol& symbol, const std::string& scope,
                           std::vector<LogixBrowseRow>& rows, std::string& reason) {
    LogixBrowseRow row;
    std::shared_ptr<const LogixTemplate> structure;
    if (!TypeOf(symbol.type, row.type, row.readable, structure, reason)) {
        return false;
    }
    const unsigned dims = std::min(symbol.DimensionCount(), 3u);
    row.name = scope == kControllerScope ? symbol.name : scope + "." + symbol.name;
    row.dimensions = DimensionsText(symbol.dims.data(), dims);
    // A controller lists a BOOL array as the 32-bit words holding it; the row shows the BOOLs
    // its name addresses (Flags[37]).
    if (!symbol.IsStructure() && dims == 1 &&
        (symbol.type & LOGIX_SYMBOL_ATOMIC_MASK) == LOGIX_ATOMIC_DWORD) {
        row.type = logix_browse::AtomicTypeName(LOGIX_ATOMIC_BOOL);
        row.dimensions = std::to_string(uint64_t{symbol.dims[0]} * 32);
    }
    row.scope = scope;
    rows.push_back(row);
    if (structure && dims == 0 && !structure->IsString()) {
        return AddMemberRows(*structure, row.name, scope, 0, rows, reason);
    }
    return true;
}

bool LogixBrowser::FindSymbol(const std::string& tagName, LogixSymbol& out, std::string& reason) {
    std::string program;
    std::string name = tagName;
    if (StartsWith(Upper(tagName), Upper(LOGIX_PROGRAM_PREFIX))) {
        const size_t dot = tagName.find('.');
        program = tagName.substr(0, dot);
        name = dot == std::string::npos ? std::string() : tagName.substr(dot + 1);
    }
    std::vector<LogixSymbol> symbols;
    if (!ListSymbols(program, symbols, reason)) {
        return false;
    }
    const std::string wanted = Upper(name);
    for (const LogixSymbol& symbol : symbols) {
        if (Upper(symbol.name) == wanted) {
            out = symbol;
            return true;
        }
    }
    reason = "the controller lists no tag " + tagName;
    return false;
}

namespace {

// The dot-separated parts of a tag name with their indexes left out: "Program:Main.Line[2].Sub"
// gives "Program:Main", "Line", "Sub".
std::vector<std::string> NameParts(const std::string& tagName) {
    std::vector<std::string> parts(1);
    int depth = 0;
    for (const char c : tagName) {
        if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
        } else if (depth == 0 && c == '.') {
            parts.emplace_back();
        } else if (depth == 0) {
            parts.back() += c;
        }
    }
    return parts;
}

}  // namespace

std::shared_ptr<const LogixTemplate> LogixBrowser::StructureOf(const std::string& tagName,
                                                               std::string& reason) {
    std::vector<std::string> parts = NameParts(tagName);
    size_t next = 1;
    std::string symbolName = parts[0];
    if (StartsWith(Upper(symbolName), Upper(LOGIX_PROGRAM_PREFIX)) && parts.size() > 1) {
        symbolName += "." + parts[1];
        next = 2;
    }
    LogixSymbol symbol;
    if (!FindSymbol(symbolName, symbol, reason)) {
        return nullptr;
    }
    uint16_t type = symbol.type;
    std::shared_ptr<const LogixTemplate> structure;
    for (size_t i = next - 1; i < parts.size(); ++i) {
        if ((type & LOGIX_SYMBOL_STRUCTURE) == 0) {
            reason = tagName + ": " + parts[i] + " is no structure";
            return nullptr;
        }
        structure = Template(type & LOGIX_SYMBOL_TEMPLATE_MASK, reason);
        if (!structure || i + 1 == parts.size()) {
            break;
        }
        const std::string wanted = Upper(parts[i + 1]);
        const auto member = std::find_if(
            structure->members.begin(), structure->members.end(),
            [&](const LogixTemplateMember& m) { return Upper(m.name) == wanted; });
        if (member == structure->members.end()) {
            reason = tagName + ": " + structure->name + " has no member " + parts[i + 1];
            return nullptr;
        }
        type = member->type;
    }
    return structure;
}

bool LogixBrowser::Browse(const std::string& filter, std::vector<LogixBrowseRow>& rows,
                          std::string& reason) {
    std::vector<LogixSymbol> controller;
    if (!ListSymbols("", controller, reason)) {
        return false;
    }
    std::vector<LogixBrowseRow> all;
    const auto addScope = [&](const std::vector<LogixSymbol>& symbols, const std::string& scope) {
        for (const LogixSymbol& symbol : symbols) {
            if (!symbol.IsSystem() && !StartsWith(symbol.name, kHiddenTagPrefix) &&
                !StartsWith(symbol.name, LOGIX_PROGRAM_PREFIX) &&
                !AddRows(symbol, scope, all, reason)) {
                return false;
            }
        }
        return true;
    };
    if (!addScope(controller, kControllerScope)) {
        return false;
    }
    for (const LogixSymbol& symbol : controller) {
        std::vector<LogixSymbol> programTags;
        if (StartsWith(symbol.name, LOGIX_PROGRAM_PREFIX) &&
            (!ListSymbols(symbol.name, programTags, reason) ||
             !addScope(programTags, symbol.name))) {
            return false;
        }
    }
    rows.clear();
    std::copy_if(all.begin(), all.end(), std::back_inserter(rows), [&](const LogixBrowseRow& row) {
        return filter.empty() || logix_browse::MatchesFilter(row.name, filter);
    });
    return true;
}
