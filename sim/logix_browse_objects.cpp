#include "sim/logix_browse_objects.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string>
#include <vector>

#include "family/logix_browse.h"
#include "sim/logix_services.h"

namespace plcsim {

namespace {

// Message Router reply header: service, reserved, general status, additional status size.
constexpr size_t kReplyHeaderSize = 4;
constexpr size_t kSequenceCountSize = 2;
// General status of an attribute the object does not have.
constexpr uint8_t kCipStatusAttributeNotSupported = 0x14;
// Symbol entries fetched from the database per step while a reply is filled.
constexpr size_t kSymbolBatch = 64;
// Type words of the controller's own entries: a program and the I/O map.
constexpr uint16_t kProgramSymbolType = LOGIX_SYMBOL_SYSTEM | 0x68;
constexpr uint16_t kMapSymbolType = LOGIX_SYMBOL_SYSTEM | 0x69;
constexpr const char* kMapSymbolName = "Map:Local";
constexpr uint16_t kSymbolAttributes[] = {LOGIX_SYMBOL_ATTR_NAME, LOGIX_SYMBOL_ATTR_TYPE,
                                          LOGIX_SYMBOL_ATTR_DIMENSIONS};

// Room for the reply data of a request: the connection's size, or the unconnected limit.
size_t ReplyRoom(const CipRequest& request) {
    size_t limit = kUnconnectedReplyLimit;
    if (request.connection != nullptr &&
        request.connection->toConnectionSize > kSequenceCountSize) {
        limit = request.connection->toConnectionSize - kSequenceCountSize;
    }
    return limit > kReplyHeaderSize ? limit - kReplyHeaderSize : 0;
}

// Splits an optional leading symbol segment (a program's scope) off the path.
bool SplitScope(ByteView path, std::string& program, ByteView& rest) {
    ByteReader r(path);
    program.clear();
    if (r.peek_u8() == CIP_SEG_ANSI_SYMBOL) {
        r.u8();
        const uint8_t length = r.u8();
        program = r.str(length);
        if (length % 2 != 0) {
            r.skip(1);
        }
    }
    rest = r.rest();
    return r.ok();
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

LogixSymbol WireSymbol(const LogixSymbolEntry& entry) {
    LogixSymbol symbol;
    symbol.instance = entry.instance;
    symbol.name = entry.name;
    symbol.type = LogixBrowseObjects::SymbolType(*entry.type, entry.dims.size());
    std::copy(entry.dims.begin(), entry.dims.end(), symbol.dims.begin());
    return symbol;
}

// Appends the entry when it fits `room`; false (nothing written) when it does not.
bool AppendSymbol(ByteWriter& w, const LogixSymbol& symbol, size_t room) {
    ByteWriter entry;
    logix_browse::WriteSymbolEntry(entry, symbol);
    if (w.size() + entry.size() > room) {
        return false;
    }
    w.bytes(entry.view());
    return true;
}

// The template of a structure type, as the controller describes it.
LogixTemplate TemplateOf(const LogixType& type) {
    LogixTemplate out;
    out.handle = type.handle;
    out.name = type.name;
    out.structureSize = static_cast<uint32_t>(type.size);
    for (const LogixMember& member : type.members) {
        LogixTemplateMember wire;
        wire.name = member.name;
        wire.info = static_cast<uint16_t>(member.arrayLength);
        wire.type = LogixBrowseObjects::SymbolType(*member.type, member.arrayLength != 0 ? 1 : 0);
        wire.offset = static_cast<uint32_t>(member.offset);
        out.members.push_back(wire);
    }
    out.memberCount = static_cast<uint16_t>(out.members.size());
    const size_t bytes = logix_browse::EncodeTemplateDefinition(out).size();
    out.definitionWords =
        static_cast<uint32_t>((bytes + LOGIX_TEMPLATE_DEFINITION_OVERHEAD + 3) / 4);
    return out;
}

const LogixType* StructureOfTemplate(uint32_t instance) {
    for (const char* name : {"STRING", "MOTOR"}) {
        const LogixType* type = FindLogixType(name);
        if (type != nullptr && LogixBrowseObjects::TemplateId(*type) == instance) {
            return type;
        }
    }
    return nullptr;
}

// Get Attribute List reply of a template: count, then per attribute its id, status 0 and value
// (4 and 5: 32 bits; 1 and 2: 16 bits); an unknown attribute gets status 0x14 and no value.
std::vector<uint8_t> TemplateAttributes(const LogixTemplate& definition, ByteReader& ids,
                                        uint16_t count) {
    ByteWriter w;
    w.u16(count);
    for (uint16_t i = 0; i < count; ++i) {
        const uint16_t id = ids.u16();
        w.u16(id);
        switch (id) {
            case LOGIX_TEMPLATE_ATTR_DEFINITION_WORDS:
                w.u16(CIP_STATUS_SUCCESS).u32(definition.definitionWords);
                break;
            case LOGIX_TEMPLATE_ATTR_STRUCTURE_SIZE:
                w.u16(CIP_STATUS_SUCCESS).u32(definition.structureSize);
                break;
            case LOGIX_TEMPLATE_ATTR_MEMBER_COUNT:
                w.u16(CIP_STATUS_SUCCESS).u16(definition.memberCount);
                break;
            case LOGIX_TEMPLATE_ATTR_HANDLE:
                w.u16(CIP_STATUS_SUCCESS).u16(definition.handle);
                break;
            default:
                w.u16(kCipStatusAttributeNotSupported);
                break;
        }
    }
    return w.to_vector();
}

}  // namespace

LogixBrowseObjects::LogixBrowseObjects(PlcSimulator& sim, const LogixTagDatabase& tags)
    : sim_(sim), tags_(tags) {
    sim_.Router().RegisterClass(LOGIX_CLASS_SYMBOL,
                                [this](const CipRequest& r) { return SymbolObject(r); });
    sim_.Router().RegisterClass(LOGIX_CLASS_TEMPLATE,
                                [this](const CipRequest& r) { return TemplateObject(r); });
}

uint16_t LogixBrowseObjects::TemplateId(const LogixType& type) {
    return type.handle & LOGIX_SYMBOL_TEMPLATE_MASK;
}

uint16_t LogixBrowseObjects::SymbolType(const LogixType& type, size_t dimensions) {
    const uint16_t dims =
        static_cast<uint16_t>((dimensions << LOGIX_SYMBOL_DIMS_SHIFT) & LOGIX_SYMBOL_DIMS_MASK);
    if (type.IsStructure()) {
        return LOGIX_SYMBOL_STRUCTURE | dims | TemplateId(type);
    }
    return dims | (type.code & LOGIX_SYMBOL_ATOMIC_MASK);
}

CipReply LogixBrowseObjects::Refuse(uint8_t status, const std::string& what) const {
    sim_.NoteProtocolError(what);
    return CipReply::Error(status);
}

// Request data: attribute count 3 and the attributes 1, 2, 8. Reply data: entries of
// instance, name, type word and dimensions (family/logix_browse.h), as many as fit.
CipReply LogixBrowseObjects::SymbolObject(const CipRequest& request) const {
    std::string program;
    ByteView rest;
    LogicalPath target;
    if (!SplitScope(request.path, program, rest) || !ParseLogicalPath(rest, target) ||
        !target.hasInstance || target.hasAttribute) {
        return Refuse(CIP_STATUS_PATH_SEGMENT_ERROR, "symbol object path is malformed");
    }
    if (request.service != LOGIX_SVC_GET_INSTANCE_ATTRIBUTE_LIST) {
        return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    ByteReader r(request.data);
    const uint16_t count = r.u16();
    bool expected = count == std::size(kSymbolAttributes);
    for (uint16_t id : kSymbolAttributes) {
        expected = expected && r.u16() == id;
    }
    if (!expected || !r.ok() || !r.at_end()) {
        return Refuse(kCipStatusAttributeNotSupported,
                      "symbol list must ask for attributes 1, 2 and 8");
    }
    const std::vector<std::string> programs = tags_.Programs();
    if (!program.empty() && std::none_of(programs.begin(), programs.end(),
                                         [&](const auto& p) { return SameName(p, program); })) {
        return CipReply::Error(CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    }

    const size_t room = ReplyRoom(request);
    ByteWriter w;
    uint32_t next = target.instanceId;
    for (;;) {
        const std::vector<LogixSymbolEntry> batch = tags_.Symbols(program, next, kSymbolBatch);
        for (const LogixSymbolEntry& entry : batch) {
            if (!AppendSymbol(w, WireSymbol(entry), room)) {
                return CipReply::Error(CIP_STATUS_PARTIAL_TRANSFER, {}, w.to_vector());
            }
        }
        if (batch.size() < kSymbolBatch) {
            break;
        }
        next = batch.back().instance + 1;
    }
    if (program.empty()) {
        std::vector<LogixSymbol> own;
        for (const std::string& name : programs) {
            own.push_back(LogixSymbol{0, name, kProgramSymbolType, {}});
        }
        own.push_back(LogixSymbol{0, kMapSymbolName, kMapSymbolType, {}});
        for (size_t i = 0; i < own.size(); ++i) {
            own[i].instance = kLogixOwnEntriesInstance + static_cast<uint32_t>(i);
            if (own[i].instance >= target.instanceId && !AppendSymbol(w, own[i], room)) {
                return CipReply::Error(CIP_STATUS_PARTIAL_TRANSFER, {}, w.to_vector());
            }
        }
    }
    return CipReply::Success(w.to_vector());
}

// Get Attribute List: attribute count and ids. Read Template: byte offset (32 bits) and count
// (16 bits); the reply holds what fits, with "partial transfer" when the count is not reached.
CipReply LogixBrowseObjects::TemplateObject(const CipRequest& request) const {
    LogicalPath target;
    if (!ParseLogicalPath(request.path, target) || !target.hasInstance || target.hasAttribute) {
        return Refuse(CIP_STATUS_PATH_SEGMENT_ERROR, "template object path is malformed");
    }
    const LogixType* type = StructureOfTemplate(target.instanceId);
    if (type == nullptr) {
        return CipReply::Error(CIP_STATUS_OBJECT_DOES_NOT_EXIST);
    }
    const LogixTemplate definition = TemplateOf(*type);
    ByteReader r(request.data);
    if (request.service == LOGIX_SVC_GET_ATTRIBUTE_LIST) {
        const uint16_t count = r.u16();
        if (!r.ok() || r.remaining() != size_t{count} * 2) {
            return Refuse(CIP_STATUS_NOT_ENOUGH_DATA, "template attribute list is malformed");
        }
        return CipReply::Success(TemplateAttributes(definition, r, count));
    }
    if (request.service != LOGIX_SVC_READ_TEMPLATE) {
        return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    const uint32_t offset = r.u32();
    const uint16_t count = r.u16();
    const std::vector<uint8_t> bytes = logix_browse::EncodeTemplateDefinition(definition);
    if (!r.ok() || !r.at_end() || offset > bytes.size()) {
        return Refuse(CIP_STATUS_INVALID_PARAMETER_VALUE, "read template offset or size is wrong");
    }
    const size_t wanted = std::min<size_t>(count, bytes.size() - offset);
    const size_t piece = std::min(wanted, ReplyRoom(request));
    std::vector<uint8_t> data(bytes.begin() + offset, bytes.begin() + offset + piece);
    return piece < wanted ? CipReply::Error(CIP_STATUS_PARTIAL_TRANSFER, {}, std::move(data))
                          : CipReply::Success(std::move(data));
}

}  // namespace plcsim
